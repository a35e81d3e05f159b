// The YAML front end under the policy loader: syntax errors, document
// count, limits on nesting and alias replay, scalar typing and the texts that
// describe values in messages.
#include <gtest/gtest.h>

#include <time.h>

#include <cmath>
#include <limits>
#include <string>

#include "ossel/load_policy.h"
#include "yaml/scalar.h"

namespace ossel {
namespace {

std::string load_message(std::string_view document) {
  Result<Policy> result = load_policy(document);
  return result.ok() ? "loaded" : result.message();
}

TEST(LoadPolicyYamlTest, SyntaxErrorsDocumentsAndMarks) {
  const std::string more = "deserializing from YAML containing more than one document is not supported";
  const std::pair<std::string, std::string> cases[] = {
      {"version: 'abc", "found unexpected end of stream at line 1 column 14, while scanning a quoted scalar at line 1 column 10"},
      {"version: 1\n  name: x\n", "mapping values are not allowed in this context at line 2 column 7"},
      // At line 1 column 1 the position says nothing and is left out, for the context too.
      {"\tversion: 1\n", "found character that cannot start any token, while scanning for the next token"},
      // The context's position is left out when it repeats the problem's.
      {"version: !e!x 1\n", "found undefined tag handle at line 1 column 10, while parsing a node"},
      {"version: *nowhere\n", "unknown anchor at line 1 column 10"},
      {"version: 1\nname: \xff\n", "invalid leading UTF-8 octet at position 17"},
      // A problem the reader meets first wins over a later syntax error...
      {"version: 1\nname: [a\n", "name: invalid type: sequence, expected a string at line 2 column 7"},
      // ...but one that comes after everything the reader needed still counts.
      {"version: 1\nname: x\n  bad: y\n", "mapping values are not allowed in this context at line 3 column 6"},
      {"version: 1\n---\nversion: 2\n", more},
      {"version: 1\n...\n--- [unclosed\n", more},
      // Text after a complete flow document that cannot start another one.
      {"{version: 1} ]\n", more},
      // The first document's own problems come first.
      {"name: a\n---\nversion: 2\n", "missing field `version`"},
      {"---\nversion: 1\n...\n# trailing comment\n", "loaded"},
      // A UTF-8 mark is dropped and takes no column; UTF-16 marks are not UTF-8.
      {"\xef\xbb\xbfversion: [1]\n", "version: invalid type: sequence, expected a string at line 1 column 10"},
      {std::string("\xff\xfev\0e\0r\0", 8), "invalid leading UTF-8 octet"},
      // An error inside an alias points at the anchored node, for a key too.
      {"version: 1\nmetadata: &m {tool: 5}\nsequences: [*m]\n", "sequences[0]: missing field `type` at line 2 column 11"},
      {"version: &v 1\n*v : 2\n", "unknown field `1`, expected one of `version`, `name`, `metadata`, `tools`, `sequences`, `aliases`, `on_error` at line 1 column 10"},
  };
  for (const auto& [document, message] : cases) EXPECT_EQ(load_message(document), message) << document;
  EXPECT_EQ(load_message(std::string_view()), "missing field `version`");
}

// Expects `f` to take less than half a second of this thread's processor
// time: a load runs on the calling thread, so other work on the machine cannot
// stretch it past the bound. Under the sanitizers, which make every step
// several times slower, `f` runs and the bound is not checked.
template <class F>
void expect_under_half_a_second(F f) {
  auto now = [] {
    timespec time{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &time);
    return static_cast<double>(time.tv_sec) + static_cast<double>(time.tv_nsec) * 1e-9;
  };
  const double start = now();
  f();
#ifndef OSSEL_SANITIZED
  EXPECT_LT(now() - start, 0.5);
#endif
}

TEST(LoadPolicyYamlTest, NestingLimit) {
  // `depth` nested flow sequences under metadata; the root mapping is level 1.
  auto nested = [](size_t depth) {
    return "version: 1\nmetadata: " + std::string(depth, '[') + std::string(depth, ']') + "\n";
  };
  EXPECT_EQ(load_message(nested(127)), "loaded");
  // The 128th bracket is the 129th level, at column 10 + 128.
  EXPECT_EQ(load_message(nested(128)), "recursion limit exceeded at line 2 column 138");
  std::string message;
  expect_under_half_a_second([&] { message = load_message(nested(10000)); });
  EXPECT_EQ(message, "recursion limit exceeded at line 2 column 138");

  std::string mappings = "version: 1\nsequences:\n  - {type: require, tool: a, x: ";
  for (int i = 0; i < 10000; ++i) mappings += "{a: ";
  mappings += "b" + std::string(10000, '}') + "}\n";
  expect_under_half_a_second([&] { message = load_message(mappings); });
  // Root, list and entry are three levels; column 33 holds the 4th.
  EXPECT_EQ(message, "recursion limit exceeded at line 3 column " + std::to_string(33 + 4 * 125));

  // An anchor that contains its own alias nests without end.
  EXPECT_EQ(load_message("version: 1\nmetadata: &a [*a]\n"), "recursion limit exceeded at line 2 column 11");
}

TEST(LoadPolicyYamlTest, RepetitionLimit) {
  std::string laughs = "version: 1\nmetadata:\n  a: &a [lol, lol, lol, lol, lol, lol, lol, lol, lol]\n";
  for (char level = 'b'; level <= 'i'; ++level) {
    laughs += std::string("  ") + level + ": &" + level + " [";
    for (int i = 0; i < 9; ++i) laughs += std::string(i ? ", *" : "*") + char(level - 1);
    laughs += "]\n";
  }
  // One large anchored list used many times multiplies the same way.
  std::string wide = "version: 1\nmetadata:\n  a: &a [";
  for (int i = 0; i < 2000; ++i) wide += "x, ";
  wide += "x]\n  b: [";
  for (int i = 0; i < 2000; ++i) wide += "*a, ";
  wide += "*a]\n";
  for (const std::string& document : {laughs, wide}) {
    std::string message;
    expect_under_half_a_second([&] { message = load_message(document); });
    EXPECT_EQ(message, "repetition limit exceeded");
  }
  // Moderate reuse is fine.
  std::string reuse = "version: 1\naliases:\n  base: &base [a, b, c]\n";
  for (int i = 0; i < 500; ++i) reuse += "  g" + std::to_string(i) + ": *base\n";
  EXPECT_EQ(load_message(reuse), "loaded");
}

TEST(ScalarTypingTest, PlainScalarsAsJsonValues) {
  const std::pair<const char*, const char*> cases[] = {
      {"~", "null"}, {"Null", "null"}, {"nULL", "\"nULL\""}, {"False", "false"}, {"TRUE", "true"}, {"yes", "\"yes\""},
      {"+5", "5"}, {"-0", "0"}, {"007", "\"007\""}, {"00", "\"00\""}, {"0x1F", "31"}, {"0X1F", "\"0X1F\""},
      {"-0x10", "-16"}, {"0x", "\"0x\""}, {"0x+5", "\"0x+5\""}, {"0o17", "15"}, {"0b101", "5"}, {"0b2", "\"0b2\""},
      {"1_000", "\"1_000\""}, {"++5", "\"++5\""},
      {"18446744073709551615", "18446744073709551615"}, {"-9223372036854775808", "-9223372036854775808"},
      {"1e3", "1000.0"}, {"1.", "1.0"}, {".5", "0.5"}, {"-1.5E-2", "-0.015"}, {"007.5", "7.5"}, {"1e", "\"1e\""},
      {".", "\".\""}, {"1e400", "\"1e400\""}, {"1e-99999999999999999999", "0.0"}, {".inf", "null"}, {"-.Inf", "null"},
      {".nan", "null"}, {"+.nan", "\"+.nan\""}, {"inf", "\"inf\""}, {"0x1p3", "\"0x1p3\""},
      {"100000000000000000000000000000000000000000", "1e+41"},
      {"'5'", "\"5\""}, {"!!str 5", "\"5\""}, {"!!float 007", "7.0"}, {"!!int 0x10", "16"}, {"!!bool False", "false"},
      {"!!binary aGk=", "\"aGk=\""},
  };
  for (const auto& [scalar, json] : cases) {
    Result<Policy> result = load_policy(std::string("version: 1\nmetadata: [") + scalar + "]\n");
    ASSERT_TRUE(result.ok()) << scalar << ": " << result.message();
    EXPECT_EQ(to_json(*result->metadata), "[" + std::string(json) + "]") << scalar;
  }
}

TEST(ScalarTypingTest, DescriptionsOfValues) {
  const std::pair<const char*, const char*> typed[] = {
      {"", "unit value"}, {"True", "boolean `true`"}, {"-0x10", "integer `-16`"}, {"1e3", "floating point `1000.0`"},
      {"99999999999999999999", "integer `99999999999999999999` as u128"},
      {"-170141183460469231731687303715884105728", "integer `-170141183460469231731687303715884105728` as i128"},
      {"say \"hi\"", "string \"say \\\"hi\\\"\""},
  };
  for (const auto& [text, description] : typed) EXPECT_EQ(yaml::describe(yaml::type_plain_scalar(text)), description);

  constexpr double kInf = std::numeric_limits<double>::infinity();
  const std::pair<double, std::string> floats[] = {
      {3.0, "3.0"}, {123.456, "123.456"}, {1e-7, "0.0000001"}, {1e21, "1000000000000000000000.0"},
      {0.1 + 0.2, "0.30000000000000004"}, {-0.0, "-0.0"}, {5e-324, "0." + std::string(323, '0') + "5"},
      {kInf, "inf"}, {-kInf, "-inf"}, {std::nan(""), "NaN"},
  };
  for (const auto& [value, text] : floats) EXPECT_EQ(yaml::float_text(value), text);

  const std::pair<std::string_view, const char*> texts[] = {
      {"tab\there\r\n", "\"tab\\there\\r\\n\""},
      {std::string_view("nul\0!", 5), "\"nul\\0!\""},
      {"back\\slash 'single'", "\"back\\\\slash 'single'\""},
      {"\x01\x1f\x7f", "\"\\u{1}\\u{1f}\\u{7f}\""},
      {"caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80", "\"caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80\""},
      {"a\xcc\x81", "\"a\\u{301}\""},               // combining acute accent
      {"no\xc2\xa0" "break", "\"no\\u{a0}break\""},  // no-break space
      {"soft\xc2\xad", "\"soft\\u{ad}\""},           // soft hyphen (format)
      {"line\xe2\x80\xa8", "\"line\\u{2028}\""},     // line separator
      {"\xee\x80\x80", "\"\\u{e000}\""},             // private use
  };
  for (const auto& [text, quoted] : texts) EXPECT_EQ(yaml::quoted_text(text), quoted) << quoted;
}

}  // namespace
}  // namespace ossel
