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

TEST(JsonNumberTest, FloatTexts) {
  struct Case {
    double value;
    const char* text;
  };
  const Case cases[] = {
      {3.0, "3.0"},
      {1e16, "1e+16"},
      {1e15, "1000000000000000.0"},
      {0.0001, "0.0001"},
      {1e-5, "0.00001"},
      {1e-6, "1e-6"},
      {1.5e-7, "1.5e-7"},
      {1.2345e20, "1.2345e+20"},
      {5e-324, "5e-324"},
      {0.1 + 0.2, "0.30000000000000004"},
      {-0.0, "-0.0"},
      {0.0, "0.0"},
      {250.0, "250.0"},
      {1.5, "1.5"},
      {12.25, "12.25"},
      {-12.25, "-12.25"},
      {33.33333333333333, "33.33333333333333"},
      {123456789012345.6, "123456789012345.6"},
      {1.7976931348623157e308, "1.7976931348623157e+308"},
      {std::numeric_limits<double>::quiet_NaN(), "null"},
      {std::numeric_limits<double>::infinity(), "null"},
      {-std::numeric_limits<double>::infinity(), "null"},
  };
  for (const Case& c : cases) EXPECT_EQ(number_text(c.value), c.text) << c.text;
}

TEST(JsonNumberTest, IntegerTexts) {
  std::string out;
  append_json_number(uint64_t{0}, out);
  out += ' ';
  append_json_number(std::numeric_limits<uint64_t>::max(), out);
  out += ' ';
  append_json_number(std::numeric_limits<int64_t>::min(), out);
  out += ' ';
  append_json_number(int64_t{-7}, out);
  EXPECT_EQ(out, "0 18446744073709551615 -9223372036854775808 -7");
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
  struct Case {
    std::string text;
    const char* json;
  };
  const Case cases[] = {
      {"plain", "\"plain\""},
      {"a\"b", "\"a\\\"b\""},
      {"a\\b", "\"a\\\\b\""},
      {"\b\f\n\r\t", "\"\\b\\f\\n\\r\\t\""},
      {"\x1b", "\"\\u001b\""},
      {std::string("\0", 1), "\"\\u0000\""},
      {"\x01\x1f", "\"\\u0001\\u001f\""},
      {"/\x7f", "\"/\x7f\""},
      {"caf\xc3\xa9 \xe2\x9c\x93", "\"caf\xc3\xa9 \xe2\x9c\x93\""},
  };
  for (const Case& c : cases) {
    std::string out;
    append_json_string(c.text, out);
    EXPECT_EQ(out, c.json);
  }
}

TEST(JsonValueTest, WritesNestedValuesCompactly) {
  JsonObject inner;
  inner.insert_or_assign("b", JsonValue(1));
  inner.insert_or_assign("a", JsonArray{JsonValue(1.5), JsonValue(), JsonValue(true)});
  JsonObject outer;
  outer.insert_or_assign("x", JsonValue(std::move(inner)));
  outer.insert_or_assign("e", JsonValue(JsonObject{}));
  outer.insert_or_assign("l", JsonValue(JsonArray{}));
  outer.insert_or_assign("n", JsonValue(-3));
  EXPECT_EQ(to_json(JsonValue(std::move(outer))),
            R"({"x":{"b":1,"a":[1.5,null,true]},"e":{},"l":[],"n":-3})");
}

TEST(JsonValueTest, IntegersCompareEqualWhateverTheirSourceType) {
  EXPECT_EQ(JsonValue(5), JsonValue(uint64_t{5}));
  EXPECT_EQ(JsonValue(int64_t{5}).kind(), JsonValue::Kind::kUnsigned);
  EXPECT_EQ(JsonValue(-5).kind(), JsonValue::Kind::kSigned);
}

TEST(JsonObjectTest, RepeatedKeyKeepsFirstPositionAndTakesLaterValue) {
  JsonObject object;
  object.insert_or_assign("b", JsonValue(1));
  object.insert_or_assign("a", JsonValue(2));
  object.insert_or_assign("b", JsonValue(3));
  EXPECT_EQ(to_json(JsonValue(object)), R"({"b":3,"a":2})");
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

TEST(JsonWriterTest, PlacesCommasAndColons) {
  std::string out;
  JsonWriter w(out);
  w.begin_object();
  w.key("a");
  w.begin_array();
  w.unsigned_integer(1);
  w.begin_object();
  w.end_object();
  w.string("x");
  w.end_array();
  w.key("b");
  w.number(2.0);
  w.key("c");
  w.null();
  w.end_object();
  EXPECT_EQ(out, R"({"a":[1,{},"x"],"b":2.0,"c":null})");
}

}  // namespace
}  // namespace ossel
