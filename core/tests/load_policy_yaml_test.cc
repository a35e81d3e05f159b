// The YAML front end under the policy loader: syntax errors, document
// count, limits on nesting and alias replay, scalar typing and the texts that
// describe values in messages.
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <limits>
#include <string>

#include "ossel/load_policy.h"
#include "yaml/scalar.h"

namespace ossel {
namespace {

std::string load_message(const std::string& document) {
  Result<Policy> result = load_policy(document);
  return result.ok() ? "loaded" : result.message();
}

TEST(LoadPolicyYamlTest, SyntaxErrorsCarryTheParsersTextsAndPositions) {
  const std::pair<std::string, std::string> cases[] = {
      {"version: 'abc",
       "found unexpected end of stream at line 1 column 14, while scanning a quoted scalar at line "
       "1 column 10"},
      {"version: 1\n  name: x\n", "mapping values are not allowed in this context at line 2 column 7"},
      // At line 1 column 1 the position says nothing and is left out, for
      // the context too.
      {"\tversion: 1\n", "found character that cannot start any token, while scanning for the next token"},
      {"...\n", "did not find expected node content, while parsing a block node"},
      {"version: !e!x 1\n", "found undefined tag handle at line 1 column 10, while parsing a node"},
      {"version: *nowhere\n", "unknown anchor at line 1 column 10"},
      {"version: 1\nname: \xff\n", "invalid leading UTF-8 octet at position 17"},
      // A problem the reader meets first wins over a later syntax error.
      {"version: 1\nname: [a\n", "name: invalid type: sequence, expected a string at line 2 column 7"},
      {"version: 1\nVersion: 2\nname: 'x\n",
       "unknown field `Version`, expected one of `version`, `name`, `metadata`, `tools`, "
       "`sequences`, `aliases`, `on_error` at line 2 column 1"},
      // ...but one that comes after everything the reader needed still counts.
      {"version: 1\nname: x\n  bad: y\n",
       "mapping values are not allowed in this context at line 3 column 6"},
  };
  for (const auto& [document, message] : cases) EXPECT_EQ(load_message(document), message) << document;
}

TEST(LoadPolicyYamlTest, NoTextAtAll) {
  EXPECT_EQ(load_policy(std::string_view()).message(), "missing field `version`");
}

TEST(LoadPolicyYamlTest, OnlyOneDocumentPerFile) {
  const std::string more = "deserializing from YAML containing more than one document is not supported";
  EXPECT_EQ(load_message("version: 1\n---\nversion: 2\n"), more);
  EXPECT_EQ(load_message("version: 1\n---\n"), more);
  EXPECT_EQ(load_message("version: 1\n...\n--- [unclosed\n"), more);
  // Text after a complete flow document that cannot start another one.
  EXPECT_EQ(load_message("{version: 1} ]\n"), more);
  // The first document's own problems come first.
  EXPECT_EQ(load_message("name: a\n---\nversion: 2\n"), "missing field `version`");
  EXPECT_EQ(load_message("---\nversion: 1\n...\n# trailing comment\n"), "loaded");
}

TEST(LoadPolicyYamlTest, ByteOrderMarks) {
  // A UTF-8 mark is dropped and takes no column; UTF-16 marks are not UTF-8.
  EXPECT_EQ(load_message("\xef\xbb\xbfversion: [1]\n"),
            "version: invalid type: sequence, expected a string at line 1 column 10");
  EXPECT_EQ(load_message("\xff\xfev\0e\0r\0"), "invalid leading UTF-8 octet");
  EXPECT_EQ(load_message("\xfe\xff\0v\0e\0r"), "invalid leading UTF-8 octet");
}

// `depth` nested flow sequences under metadata; the root mapping is level 1.
std::string nested_metadata(size_t depth) {
  return "version: 1\nmetadata: " + std::string(depth, '[') + std::string(depth, ']') + "\n";
}

template <class F>
double seconds_of(F f) {
  auto start = std::chrono::steady_clock::now();
  f();
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

TEST(LoadPolicyYamlTest, NestingLimit) {
  EXPECT_EQ(load_message(nested_metadata(127)), "loaded");
  // The 128th bracket is the 129th level, at column 10 + 128.
  EXPECT_EQ(load_message(nested_metadata(128)), "recursion limit exceeded at line 2 column 138");

  std::string message;
  double seconds = seconds_of([&] { message = load_message(nested_metadata(10000)); });
  EXPECT_EQ(message, "recursion limit exceeded at line 2 column 138");
  EXPECT_LT(seconds, 0.5);

  std::string mappings = "version: 1\nsequences:\n  - {type: require, tool: a, x: ";
  for (int i = 0; i < 10000; ++i) mappings += "{a: ";
  mappings += "b" + std::string(10000, '}') + "}\n";
  seconds = seconds_of([&] { message = load_message(mappings); });
  // Root, list and entry are three levels; column 33 holds the 4th.
  EXPECT_EQ(message, "recursion limit exceeded at line 3 column " + std::to_string(33 + 4 * 125));
  EXPECT_LT(seconds, 0.5);

  // An anchor that contains its own alias nests without end.
  EXPECT_EQ(load_message("version: 1\nmetadata: &a [*a]\n"),
            "recursion limit exceeded at line 2 column 11");
}

TEST(LoadPolicyYamlTest, RepetitionLimit) {
  std::string laughs = "version: 1\nmetadata:\n  a: &a [lol, lol, lol, lol, lol, lol, lol, lol, lol]\n";
  const char* names = "abcdefghi";
  for (int level = 1; level < 9; ++level) {
    laughs += std::string("  ") + names[level] + ": &" + names[level] + " [";
    for (int i = 0; i < 9; ++i) laughs += std::string(i ? ", *" : "*") + names[level - 1];
    laughs += "]\n";
  }
  std::string message;
  double seconds = seconds_of([&] { message = load_message(laughs); });
  EXPECT_EQ(message, "repetition limit exceeded");
  EXPECT_LT(seconds, 0.5);

  // One large anchored list used many times multiplies the same way.
  std::string wide = "version: 1\nmetadata:\n  a: &a [";
  for (int i = 0; i < 2000; ++i) wide += "x, ";
  wide += "x]\n  b: [";
  for (int i = 0; i < 2000; ++i) wide += "*a, ";
  wide += "*a]\n";
  seconds = seconds_of([&] { message = load_message(wide); });
  EXPECT_EQ(message, "repetition limit exceeded");
  EXPECT_LT(seconds, 0.5);

  // Moderate reuse is fine.
  std::string reuse = "version: 1\naliases:\n  base: &base [a, b, c]\n";
  for (int i = 0; i < 500; ++i) reuse += "  g" + std::to_string(i) + ": *base\n";
  EXPECT_EQ(load_message(reuse), "loaded");
}

TEST(LoadPolicyYamlTest, ErrorsInsideAnAliasPointAtTheAnchoredNode) {
  EXPECT_EQ(load_message("version: 1\nmetadata: &m [a]\nname: *m\n"),
            "name: invalid type: sequence, expected a string at line 2 column 11");
  EXPECT_EQ(load_message("version: 1\nmetadata: &m {tool: 5}\nsequences: [*m]\n"),
            "sequences[0]: missing field `type` at line 2 column 11");
  // The same for an alias used as a key.
  EXPECT_EQ(load_message("version: &v 1\n*v : 2\n"),
            "unknown field `1`, expected one of `version`, `name`, `metadata`, `tools`, "
            "`sequences`, `aliases`, `on_error` at line 1 column 10");
}

TEST(ScalarTypingTest, PlainScalarsAsJsonValues) {
  const std::pair<const char*, const char*> cases[] = {
      {"~", "null"},          {"Null", "null"},       {"NULL", "null"},
      {"nULL", "\"nULL\""},  {"true", "true"},       {"False", "false"},     {"TRUE", "true"},
      {"yes", "\"yes\""},    {"0", "0"},             {"+5", "5"},            {"-5", "-5"},
      {"-0", "0"},           {"007", "\"007\""},     {"-007", "\"-007\""},   {"+0", "0"},
      {"00", "\"00\""},      {"0x1F", "31"},         {"0X1F", "\"0X1F\""},   {"-0x10", "-16"},
      {"+0x10", "16"},       {"0x", "\"0x\""},       {"0x+5", "\"0x+5\""},   {"0o17", "15"},
      {"0b101", "5"},        {"0b2", "\"0b2\""},     {"1_000", "\"1_000\""}, {"++5", "\"++5\""},
      {"18446744073709551615", "18446744073709551615"},
      {"-9223372036854775808", "-9223372036854775808"},
      {"1e3", "1000.0"},     {"1.", "1.0"},          {".5", "0.5"},          {"-1.5E-2", "-0.015"},
      {"007.5", "7.5"},      {"1e", "\"1e\""},       {".", "\".\""},         {"1e400", "\"1e400\""},
      {"1e-400", "0.0"},     {".inf", "null"},       {"-.Inf", "null"},      {"+.INF", "null"},
      {".nan", "null"},      {"+.nan", "\"+.nan\""}, {"inf", "\"inf\""},     {"nan", "\"nan\""},
      {"0x1p3", "\"0x1p3\""}, {"1e99999999999999999999", "\"1e99999999999999999999\""},
      {"1e-99999999999999999999", "0.0"},
      {"100000000000000000000000000000000000000000", "1e+41"},
      {"'5'", "\"5\""},      {"\"true\"", "\"true\""}, {"!!str 5", "\"5\""},
      {"!!float 5", "5.0"},  {"!!float 007", "7.0"}, {"!!int 0x10", "16"},   {"!!bool False", "false"},
      {"!!null ~", "null"},  {"!!binary aGk=", "\"aGk=\""},
  };
  for (const auto& [scalar, json] : cases) {
    Result<Policy> result = load_policy(std::string("version: 1\nmetadata: [") + scalar + "]\n");
    ASSERT_TRUE(result.ok()) << scalar << ": " << result.message();
    EXPECT_EQ(to_json(*result->metadata), "[" + std::string(json) + "]") << scalar;
  }
}

TEST(ScalarTypingTest, DescriptionsOfValues) {
  using yaml::TypedScalar;
  auto typed = [](const char* text) { return yaml::describe(yaml::type_plain_scalar(text)); };
  EXPECT_EQ(typed(""), "unit value");
  EXPECT_EQ(typed("True"), "boolean `true`");
  EXPECT_EQ(typed("-0x10"), "integer `-16`");
  EXPECT_EQ(typed("99999999999999999999"), "integer `99999999999999999999` as u128");
  EXPECT_EQ(typed("-170141183460469231731687303715884105728"),
            "integer `-170141183460469231731687303715884105728` as i128");
  EXPECT_EQ(typed("1e3"), "floating point `1000.0`");
  EXPECT_EQ(typed("say \"hi\""), "string \"say \\\"hi\\\"\"");

  const std::pair<double, const char*> floats[] = {
      {3.0, "3.0"},
      {1e3, "1000.0"},
      {1.5, "1.5"},
      {123.456, "123.456"},
      {1e-7, "0.0000001"},
      {1e21, "1000000000000000000000.0"},
      {0.1 + 0.2, "0.30000000000000004"},
      {-0.0, "-0.0"},
      {0.0, "0.0"},
      {5e-324, nullptr},
      {std::numeric_limits<double>::infinity(), "inf"},
      {-std::numeric_limits<double>::infinity(), "-inf"},
      {std::nan(""), "NaN"},
  };
  for (const auto& [value, text] : floats) {
    std::string expected = text ? text : "0." + std::string(323, '0') + "5";
    EXPECT_EQ(yaml::float_text(value), expected);
  }

  const std::pair<const char*, const char*> texts[] = {
      {"plain", "\"plain\""},
      {"tab\there\r\n", "\"tab\\there\\r\\n\""},
      {std::string_view("nul\0!", 5).data(), "\"nul\\0!\""},
      {"back\\slash 'single'", "\"back\\\\slash 'single'\""},
      {"\x01\x1f\x7f", "\"\\u{1}\\u{1f}\\u{7f}\""},
      {"caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80", "\"caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80\""},
      {"a\xcc\x81", "\"a\\u{301}\""},                // combining acute accent
      {"no\xc2\xa0" "break", "\"no\\u{a0}break\""},   // no-break space
      {"soft\xc2\xad", "\"soft\\u{ad}\""},            // soft hyphen (format)
      {"zw\xe2\x80\x8bj", "\"zw\\u{200b}j\""},        // zero-width space
      {"line\xe2\x80\xa8", "\"line\\u{2028}\""},      // line separator
      {"\xee\x80\x80", "\"\\u{e000}\""},              // private use
      {"\xef\xb8\x8f", "\"\\u{fe0f}\""},              // variation selector
  };
  for (const auto& [text, quoted] : texts) {
    std::string_view view = text;
    if (view == "nul") view = std::string_view(text, 5);
    EXPECT_EQ(yaml::quoted_text(view), quoted) << quoted;
  }
}

}  // namespace
}  // namespace ossel
