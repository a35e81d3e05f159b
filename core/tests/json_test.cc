#include "ossel/json.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <random>

namespace ossel {
namespace {

std::string number_text(double v) {
  std::string out;
  append_json_number(v, out);
  return out;
}

TEST(JsonNumberTest, Texts) {
  constexpr double kInf = std::numeric_limits<double>::infinity();
  const std::pair<double, const char*> cases[] = {
      {3.0, "3.0"}, {-0.0, "-0.0"}, {-12.25, "-12.25"}, {0.1 + 0.2, "0.30000000000000004"},
      {1e15, "1000000000000000.0"}, {123456789012345.6, "123456789012345.6"}, {1e16, "1e+16"},
      {1.2345e20, "1.2345e+20"}, {1.7976931348623157e308, "1.7976931348623157e+308"},
      {1e-5, "0.00001"}, {1e-6, "1e-6"}, {1.5e-7, "1.5e-7"}, {5e-324, "5e-324"},
      {std::nan(""), "null"}, {kInf, "null"}, {-kInf, "null"},
  };
  for (const auto& [value, text] : cases) EXPECT_EQ(number_text(value), text) << text;
  std::string out;
  for (int64_t n : {std::numeric_limits<int64_t>::min(), int64_t{-7}}) append_json_number(n, out += ' ');
  for (uint64_t n : {uint64_t{0}, std::numeric_limits<uint64_t>::max()}) append_json_number(n, out += ' ');
  EXPECT_EQ(out, " -9223372036854775808 -7 0 18446744073709551615");
}

// Every finite double must read back exactly, and with one significant digit
// fewer it must not: the text is the shortest that round-trips.
TEST(JsonNumberTest, RandomDoublesRoundTripWithShortestDigits) {
  std::mt19937_64 rng(20261206);
  for (int i = 0; i < 1'000'000; ++i) {
    uint64_t bits = rng();
    double value;
    std::memcpy(&value, &bits, sizeof value);
    if (!std::isfinite(value)) continue;
    std::string text = number_text(value);
    double back = std::strtod(text.c_str(), nullptr);
    ASSERT_EQ(std::memcmp(&back, &value, sizeof value), 0) << text;
    ShortestDecimal d = shortest_decimal(value);
    if (d.digits.size() > 1) {
      char shorter[64];
      std::snprintf(shorter, sizeof shorter, "%.*e", static_cast<int>(d.digits.size()) - 2, value);
      ASSERT_NE(std::strtod(shorter, nullptr), value) << text;
    }
  }
}

TEST(JsonStringTest, EscapesExactlyQuoteBackslashAndControls) {
  const std::pair<std::string, const char*> cases[] = {
      {"a\"b\\c", R"("a\"b\\c")"}, {"\b\f\n\r\t", R"("\b\f\n\r\t")"}, {std::string("\0\x01\x1f\x1b", 4), R"("\u0000\u0001\u001f\u001b")"},
      {"/\x7f caf\xc3\xa9 \xe2\x9c\x93", "\"/\x7f caf\xc3\xa9 \xe2\x9c\x93\""},
  };
  for (const auto& [text, json] : cases) {
    std::string out;
    append_json_string(text, out);
    EXPECT_EQ(out, json);
  }
}

TEST(JsonObjectTest, ManyKeysStayOrderedAndFindable) {
  JsonObject object;
  constexpr int kKeys = 200'000;
  for (int i = 0; i < kKeys; ++i) object.insert_or_assign("k" + std::to_string(i), JsonValue(i));
  object.insert_or_assign("k7", JsonValue(-1));
  ASSERT_EQ(object.size(), static_cast<size_t>(kKeys));
  EXPECT_EQ(object[7].first, "k7");
  EXPECT_EQ(*object.find("k7"), JsonValue(-1));
  EXPECT_EQ(*object.find("k199999"), JsonValue(199999));
  EXPECT_EQ(object.find("nope"), nullptr);
  // A copy keeps a working index.
  JsonObject copy = object;
  copy.insert_or_assign("k3", JsonValue(0));
  EXPECT_EQ(*copy.find("k3"), JsonValue(0));
  EXPECT_EQ(*object.find("k3"), JsonValue(3));
}

}  // namespace
}  // namespace ossel
