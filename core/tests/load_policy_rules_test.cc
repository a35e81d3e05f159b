// Sequence rules and call selectors: both entry forms, field keys by name and
// by position, value conversion, and which node each message names.
#include <gtest/gtest.h>

#include <string>

#include "ossel/load_policy.h"

namespace ossel {
namespace {

constexpr const char* kUnknownRule =
    "expected one of `require`, `eventually`, `max_calls`, `before`, `after`, `never_after`, "
    "`sequence`, `blocklist`";
constexpr const char* kNoSelector = "data did not match any variant of untagged enum CallSelector";

// The entry is the first item of a block list that starts at line 3 column 3;
// the entry itself starts at column 5.
std::string rule_document(const std::string& entry) {
  return "version: 1\nsequences:\n  - " + entry + "\n";
}

// Second-phase messages name the list and where it starts.
std::string at_list(const std::string& message) {
  return "sequences: " + message + " at line 3 column 3";
}

struct Case {
  std::string entry;
  std::string message;
};

void expect_rule_messages(const std::vector<Case>& cases) {
  for (const Case& c : cases) {
    Result<Policy> result = load_policy(rule_document(c.entry));
    ASSERT_FALSE(result.ok()) << c.entry;
    EXPECT_EQ(result.message(), c.message) << c.entry;
  }
}

SequenceRule load_rule(const std::string& entry) {
  Result<Policy> result = load_policy(rule_document(entry));
  EXPECT_TRUE(result.ok()) << entry << ": " << (result.ok() ? "" : result.message());
  if (!result.ok() || result->sequences.size() != 1) return {};
  return result->sequences[0];
}

CallSelector plain(const char* name) { return CallSelector::Plain(name); }

TEST(LoadRulesTest, EntryAndTypeMessages) {
  expect_rule_messages({
      {"{type: Require, tool: a}",
       std::string("sequences[0].type: unknown variant `Require`, ") + kUnknownRule +
           " at line 3 column 12"},
      {"{type: 5, tool: a}",
       std::string("sequences[0].type: unknown variant `5`, ") + kUnknownRule + " at line 3 column 12"},
      {"{type: \"max calls\"}",
       std::string("sequences[0].type: unknown variant `max calls`, ") + kUnknownRule +
           " at line 3 column 12"},
      {"{type: [require], tool: a}",
       "sequences[0].type: invalid type: sequence, expected variant identifier at line 3 column 12"},
      {"{type: {a: b}}",
       "sequences[0].type: invalid type: map, expected variant identifier at line 3 column 12"},
      // The tag is resolved when it is met, before later keys are looked at.
      {"{tool: 5, type: nope, x: 99999999999999999999}",
       std::string("sequences[0].type: unknown variant `nope`, ") + kUnknownRule +
           " at line 3 column 21"},
      {"{tool: a}", "sequences[0]: missing field `type` at line 3 column 5"},
      {"[]", "sequences[0]: missing field `type` at line 3 column 5"},
      {"{type: require, type: require, tool: a}",
       "sequences[0]: duplicate field `type` at line 3 column 5"},
      {"{'type': require, \"type\": after}",
       "sequences[0]: duplicate field `type` at line 3 column 5"},
      {"[Require, a]",
       std::string("sequences[0][0]: unknown variant `Require`, ") + kUnknownRule + " at line 3 column 6"},
      {"[[require], a]",
       "sequences[0][0]: invalid type: sequence, expected variant identifier at line 3 column 6"},
      {"require",
       "sequences[0]: invalid type: string \"require\", expected internally tagged enum "
       "SequenceRule at line 3 column 5"},
      {"5", "sequences[0]: invalid type: integer `5`, expected internally tagged enum SequenceRule "
            "at line 3 column 5"},
      {"\"require\"",
       "sequences[0]: invalid type: string \"require\", expected internally tagged enum "
       "SequenceRule at line 3 column 5"},
      {"99999999999999999999",
       "sequences[0]: invalid type: integer `99999999999999999999` as u128, expected internally "
       "tagged enum SequenceRule at line 3 column 5"},
      {"!!null", "sequences[0]: invalid value: string \"\", expected null at line 3 column 5"},
      {"!x [require, a]",
       "sequences[0]: invalid type: enum, expected internally tagged enum SequenceRule at line 3 "
       "column 5"},
      {"!require {tool: a}",
       "sequences[0]: invalid type: enum, expected internally tagged enum SequenceRule at line 3 "
       "column 5"},
  });
  // An empty entry, and an empty type value, positioned where the parser
  // places the empty node.
  Result<Policy> empty = load_policy("version: 1\nsequences:\n  -\n");
  EXPECT_EQ(empty.message(),
            "sequences[0]: invalid type: unit value, expected internally tagged enum SequenceRule "
            "at line 3 column 4");
  Result<Policy> untyped = load_policy("version: 1\nsequences:\n  - type:\n    tool: a\n");
  EXPECT_EQ(untyped.message(),
            std::string("sequences[0].type: unknown variant ``, ") + kUnknownRule + " at line 3 column 10");
}

TEST(LoadRulesTest, BufferingMessagesNameTheNode) {
  expect_rule_messages({
      {"{type: require, tool: a, note: 99999999999999999999}",
       "sequences[0].note: invalid type: integer `99999999999999999999` as u128, expected any "
       "value at line 3 column 36"},
      {"{type: require, tool: a, note: [1, -99999999999999999999]}",
       "sequences[0].note[1]: invalid type: integer `-99999999999999999999` as i128, expected any "
       "value at line 3 column 40"},
      {"{type: require, 99999999999999999999: a}",
       "sequences[0]: invalid type: integer `99999999999999999999` as u128, expected a type tag "
       "`type` or any other value at line 3 column 21"},
      {"{type: require, tool: !x a}",
       "sequences[0].tool: untagged and internally tagged enums do not support enum input at "
       "line 3 column 27"},
      {"{type: require, tool: a, x: {!k y: 1}}",
       "sequences[0].x: untagged and internally tagged enums do not support enum input at line 3 "
       "column 34"},
      {"{type: require, tool: !!int a}",
       "sequences[0].tool: invalid value: string \"a\", expected an integer at line 3 column 27"},
      {"[require, !!bool yes]",
       "sequences[0][1]: invalid value: string \"yes\", expected a boolean at line 3 column 15"},
  });
}

TEST(LoadRulesTest, BodyMessagesNameTheList) {
  expect_rule_messages({
      {"{type: require}", at_list("missing field `tool`")},
      {"{type: after, then: b}", at_list("missing field `trigger`")},
      {"{type: before, then: b}", at_list("missing field `first`")},
      {"{type: max_calls, max: 1}", at_list("missing field `tool`")},
      {"{type: sequence}", at_list("missing field `tools`")},
      {"{type: max_calls, tool: a, max: 4294967296}",
       at_list("invalid value: integer `4294967296`, expected u32")},
      {"{type: max_calls, tool: a, max: -1}", at_list("invalid value: integer `-1`, expected u32")},
      {"{type: max_calls, tool: a, max: 3.0}",
       at_list("invalid type: floating point `3.0`, expected u32")},
      {"{type: max_calls, tool: a, max: 1e3}",
       at_list("invalid type: floating point `1000.0`, expected u32")},
      {"{type: max_calls, tool: a, max: '5'}", at_list("invalid type: string \"5\", expected u32")},
      {"{type: max_calls, tool: a, max: }", at_list("invalid type: unit value, expected u32")},
      {"{type: eventually, tool: a, within: true}",
       at_list("invalid type: boolean `true`, expected u32")},
      {"{type: eventually, tool: a, within: [1]}", at_list("invalid type: sequence, expected u32")},
      {"{type: eventually, tool: a, within: !!float '7'}",
       at_list("invalid type: floating point `7.0`, expected u32")},
      {"{type: eventually, tool: a, within: .nan}",
       at_list("invalid type: floating point `NaN`, expected u32")},
      {"{type: eventually, tool: a, within: -.inf}",
       at_list("invalid type: floating point `-inf`, expected u32")},
      {"{type: eventually, tool: a, within: -1e-400}",
       at_list("invalid type: floating point `-0.0`, expected u32")},
      {"{type: eventually, tool: a, within: 0x}", at_list("invalid type: string \"0x\", expected u32")},
      {"{type: eventually, tool: a, within: -0x1}",
       at_list("invalid value: integer `-1`, expected u32")},
      {"{type: blocklist, pattern: !!bool 'true'}",
       at_list("invalid type: boolean `true`, expected a string")},
      {"{type: after, trigger: a, then: b, within: {}}", at_list("invalid type: map, expected u32")},
      {"{type: max_calls, tool: a, 0: b, max: 1}", at_list("duplicate field `tool`")},
      {"{type: max_calls, tool: a, max: 1, max: 2}", at_list("duplicate field `max`")},
      {"{type: require, tool: a, -1: x}",
       at_list("invalid type: integer `-1`, expected field identifier")},
      {"{type: require, tool: a, true: x}",
       at_list("invalid type: boolean `true`, expected field identifier")},
      {"{type: require, tool: a, 1.5: x}",
       at_list("invalid type: floating point `1.5`, expected field identifier")},
      // A negative form is never a position, not even -0.
      {"{type: require, tool: a, -0: x}",
       at_list("invalid type: integer `0`, expected field identifier")},
      {"{type: require, tool: a, ~: x}",
       at_list("invalid type: unit value, expected field identifier")},
      {"{type: require, tool: a, [k]: x}",
       at_list("invalid type: sequence, expected field identifier")},
      {"{type: blocklist, pattern: 5}", at_list("invalid type: integer `5`, expected a string")},
      {"{type: blocklist, pattern: ~}", at_list("invalid type: unit value, expected a string")},
      {"{type: sequence, tools: [a], strict: 1}",
       at_list("invalid type: integer `1`, expected a boolean")},
      {"{type: sequence, tools: [a], strict: yes}",
       at_list("invalid type: string \"yes\", expected a boolean")},
      {"{type: sequence, tools: a}", at_list("invalid type: string \"a\", expected a sequence")},
      // The first failing pair in document order is the one reported.
      {"{type: max_calls, max: -1, tool: 5}", at_list("invalid value: integer `-1`, expected u32")},
      {"[require]",
       at_list("invalid length 0, expected struct variant SequenceRule::Require with 1 element")},
      {"[require, a, b]", at_list("invalid length 2, expected 1 element in sequence")},
      {"[max_calls, a]",
       at_list("invalid length 1, expected struct variant SequenceRule::MaxCalls with 2 elements")},
      {"[max_calls, a, 3, x]", at_list("invalid length 3, expected 2 elements in sequence")},
      {"[after, a]",
       at_list("invalid length 1, expected struct variant SequenceRule::After with 3 elements")},
      {"[after, a, b, 2, x]", at_list("invalid length 4, expected 3 elements in sequence")},
      {"[blocklist]",
       at_list("invalid length 0, expected struct variant SequenceRule::Blocklist with 1 element")},
      {"[sequence, [a], true, x]", at_list("invalid length 3, expected 2 elements in sequence")},
      {"[max_calls, 5, x]", at_list(kNoSelector)},
  });
  // A flow list starts at its bracket.
  EXPECT_EQ(load_policy("version: 1\nsequences: [{type: require}]\n").message(),
            "sequences: missing field `tool` at line 2 column 12");
}

TEST(LoadRulesTest, SelectorFailuresShareOneMessage) {
  const char* selectors[] = {
      "5",        "true",     "~",        "1.5",      "[a, b]",  "{tool: a}",
      "{args_match: {}}", "{tool: a, args_match: {n: 5}}", "{tool: 5, args_match: {}}",
      "{tool: a, tool: b, args_match: {}}", "{tool: a, args_match: {}, args_match: {}}",
      "{tool: a, args_match: [x]}", "{tool: a, args_match: }", "{tool: a, args_match: {~: x}}",
      "{tool: a, args_match: {}, true: x}", "{tool: a, args_match: {}, -1: x}",
      "{tool: a, args_match: {<<: {x: y}}}", "!!null null",
  };
  for (const char* selector : selectors) {
    expect_rule_messages({{std::string("{type: require, tool: ") + selector + "}", at_list(kNoSelector)}});
    expect_rule_messages(
        {{std::string("{type: sequence, tools: [a, ") + selector + "]}", at_list(kNoSelector)}});
  }
  expect_rule_messages({{"{type: never_after, trigger: a, forbidden: [b, c]}", at_list(kNoSelector)}});
}

TEST(LoadRulesTest, RuleShapes) {
  using R = SequenceRule;
  const std::pair<std::string, SequenceRule> cases[] = {
      {"{type: require, tool: read_file, note: x}", {R::Require{plain("read_file")}}},
      {"{'type': \"require\", tool: a}", {R::Require{plain("a")}}},
      {"{type: eventually, tool: a, within: 0}", {R::Eventually{plain("a"), 0}}},
      {"{type: max_calls, tool: a, max: 4294967295}", {R::MaxCalls{plain("a"), 4294967295u}}},
      {"{type: max_calls, tool: a, max: 0x10}", {R::MaxCalls{plain("a"), 16}}},
      {"{type: max_calls, tool: a, max: 0o17}", {R::MaxCalls{plain("a"), 15}}},
      {"{type: max_calls, tool: a, max: 0b101}", {R::MaxCalls{plain("a"), 5}}},
      {"{type: max_calls, tool: a, max: +7}", {R::MaxCalls{plain("a"), 7}}},
      {"{type: max_calls, tool: a, max: -0}", {R::MaxCalls{plain("a"), 0}}},
      // Standard tags type the text whatever its quoting; the type value is
      // taken as written, tag or not.
      {"{type: eventually, tool: a, within: !!int '7'}", {R::Eventually{plain("a"), 7}}},
      {"{type: !!int require, tool: !!str 5}", {R::Require{plain("5")}}},
      {"[!x blocklist, !!str 1]", {R::Blocklist{"1"}}},
      {"{type: max_calls, 0: a, 1: 3}", {R::MaxCalls{plain("a"), 3}}},
      {"{type: max_calls, tool: a, max: 1, 2: x, 99999: y}", {R::MaxCalls{plain("a"), 1}}},
      {"{type: before, first: a, then: b}", {R::Before{plain("a"), plain("b")}}},
      {"{type: after, trigger: a, then: b}", {R::After{plain("a"), plain("b"), 1}}},
      {"{type: after, trigger: a, then: b, within: 4}", {R::After{plain("a"), plain("b"), 4}}},
      {"{type: never_after, trigger: a, forbidden: b}", {R::NeverAfter{plain("a"), plain("b")}}},
      {"{type: sequence, tools: [a, b]}", {R::Sequence{{plain("a"), plain("b")}, false}}},
      {"{type: sequence, tools: [], strict: True}", {R::Sequence{{}, true}}},
      {"{type: blocklist, pattern: '5'}", {R::Blocklist{"5"}}},
      {"{type: blocklist, pattern: ''}", {R::Blocklist{""}}},
      {"[require, a]", {R::Require{plain("a")}}},
      {"[after, a, b]", {R::After{plain("a"), plain("b"), 1}}},
      {"[after, a, b, 2]", {R::After{plain("a"), plain("b"), 2}}},
      {"[sequence, [a, b]]", {R::Sequence{{plain("a"), plain("b")}, false}}},
      {"[sequence, [a], false]", {R::Sequence{{plain("a")}, false}}},
      {"[blocklist, rm]", {R::Blocklist{"rm"}}},
      {"{type: require, tool: '5'}", {R::Require{plain("5")}}},
      {"{type: require, tool: 007}", {R::Require{plain("007")}}},
      {"{type: require, tool: {tool: a, args_match: {}}}",
       {R::Require{CallSelector::Matching("a", {})}}},
      {"{type: require, tool: {tool: a, args_match: {path: x, path: y}, note: z}}",
       {R::Require{CallSelector::Matching("a", {{"path", "y"}})}}},
      {"{type: require, tool: {0: a, 1: {k: v}, 2: [x]}}",
       {R::Require{CallSelector::Matching("a", {{"k", "v"}})}}},
  };
  for (const auto& [entry, rule] : cases) EXPECT_EQ(load_rule(entry), rule) << entry;

  // args_match is ordered by key, whatever the document order.
  SequenceRule sorted = load_rule("{type: require, tool: {args_match: {b: '1', a: '2'}, tool: a}}");
  const auto& selector = std::get<SequenceRule::Require>(sorted.body).tool;
  ASSERT_TRUE(selector.is_matching());
  EXPECT_EQ(selector.args_match->begin()->first, "a");
}

TEST(LoadRulesTest, MergeKeysAreSkippedAndAliasesReplay) {
  EXPECT_EQ(load_policy("version: 1\nmetadata: &base {tool: x}\nsequences:\n"
                        "  - {type: require, <<: *base}\n")
                .message(),
            "sequences: missing field `tool` at line 4 column 3");
  Result<Policy> aliased = load_policy(
      "version: 1\n"
      "sequences:\n"
      "  - &r {type: after, trigger: &t {tool: open, args_match: {mode: w}}, then: close}\n"
      "  - {type: never_after, trigger: *t, forbidden: *t}\n"
      "  - *r\n");
  ASSERT_TRUE(aliased.ok()) << aliased.message();
  ASSERT_EQ(aliased->sequences.size(), 3u);
  EXPECT_EQ(aliased->sequences[0], aliased->sequences[2]);
  // An alias key reads as its anchored text: here the tag key, then a field.
  Result<Policy> keyed = load_policy(
      "version: 1\nname: &t type\nmetadata: &f tool\nsequences:\n  - {*t : require, *f : a}\n");
  ASSERT_TRUE(keyed.ok()) << keyed.message();
  EXPECT_EQ(keyed->sequences[0], (SequenceRule{SequenceRule::Require{plain("a")}}));
  const auto& never = std::get<SequenceRule::NeverAfter>(aliased->sequences[1].body);
  EXPECT_EQ(never.trigger, CallSelector::Matching("open", {{"mode", "w"}}));
  EXPECT_EQ(never.forbidden, never.trigger);
}

}  // namespace
}  // namespace ossel
