// Sequence rules and call selectors: both entry forms, field keys by name and
// by position, value conversion, and which node each message names.
#include <gtest/gtest.h>

#include <string>

#include "ossel/load_policy.h"

namespace ossel {
namespace {

#define RULE_TYPES "`require`, `eventually`, `max_calls`, `before`, `after`, `never_after`, `sequence`, `blocklist`"
#define NO_SELECTOR "data did not match any variant of untagged enum CallSelector"
// Second-phase messages name the list and where it starts.
#define AT_LIST(message) "sequences: " message " at line 3 column 3"

// The entry is the first item of a block list that starts at line 3 column 3;
// the entry itself starts at column 5.
Result<Policy> load_entry(const std::string& entry) {
  return load_policy("version: 1\nsequences:\n  - " + entry + "\n");
}

void expect_messages(std::initializer_list<std::pair<std::string, std::string>> cases) {
  for (const auto& [entry, message] : cases) {
    Result<Policy> result = load_entry(entry);
    ASSERT_FALSE(result.ok()) << entry;
    EXPECT_EQ(result.message(), message) << entry;
  }
}

CallSelector plain(const char* name) { return CallSelector::Plain(name); }

TEST(LoadRulesTest, EntryAndBufferingMessages) {
  expect_messages({
      {"{type: Require, tool: a}", "sequences[0].type: unknown variant `Require`, expected one of " RULE_TYPES " at line 3 column 12"},
      {"{type: 5, tool: a}", "sequences[0].type: unknown variant `5`, expected one of " RULE_TYPES " at line 3 column 12"},
      // An empty type value, positioned where the parser places the empty node.
      {"type:\n    tool: a", "sequences[0].type: unknown variant ``, expected one of " RULE_TYPES " at line 3 column 10"},
      {"{type: [require], tool: a}", "sequences[0].type: invalid type: sequence, expected variant identifier at line 3 column 12"},
      // The tag is resolved when it is met, before later keys are looked at.
      {"{tool: 5, type: nope, x: 99999999999999999999}", "sequences[0].type: unknown variant `nope`, expected one of " RULE_TYPES " at line 3 column 21"},
      {"[Require, a]", "sequences[0][0]: unknown variant `Require`, expected one of " RULE_TYPES " at line 3 column 6"},
      {"{tool: a}", "sequences[0]: missing field `type` at line 3 column 5"},
      {"[]", "sequences[0]: missing field `type` at line 3 column 5"},
      {"{type: require, type: require, tool: a}", "sequences[0]: duplicate field `type` at line 3 column 5"},
      {"require", "sequences[0]: invalid type: string \"require\", expected internally tagged enum SequenceRule at line 3 column 5"},
      {"", "sequences[0]: invalid type: unit value, expected internally tagged enum SequenceRule at line 3 column 4"},
      {"!!null", "sequences[0]: invalid value: string \"\", expected null at line 3 column 5"},
      {"!x [require, a]", "sequences[0]: invalid type: enum, expected internally tagged enum SequenceRule at line 3 column 5"},
      {"{type: require, tool: a, note: [1, -99999999999999999999]}", "sequences[0].note[1]: invalid type: integer `-99999999999999999999` as i128, expected any value at line 3 column 40"},
      // An integer beyond 64 bits as a key gives the one buffering text at
      // every depth: the path names the mapping that holds the key, the
      // position is the key's, whether it stands before or after `type`.
      {"{type: require, tool: a, 99999999999999999999: x}", "sequences[0]: invalid type: integer `99999999999999999999` as u128, expected any value at line 3 column 30"},
      {"{99999999999999999999: x, type: require, tool: a}", "sequences[0]: invalid type: integer `99999999999999999999` as u128, expected any value at line 3 column 6"},
      {"{type: require, -99999999999999999999: a}", "sequences[0]: invalid type: integer `-99999999999999999999` as i128, expected any value at line 3 column 21"},
      {"{type: require, tool: a, note: {99999999999999999999: x}}", "sequences[0].note: invalid type: integer `99999999999999999999` as u128, expected any value at line 3 column 37"},
      {"[require, a, {k: {99999999999999999999: x}}]", "sequences[0][2].k: invalid type: integer `99999999999999999999` as u128, expected any value at line 3 column 23"},
      {"{type: require, tool: !x a}", "sequences[0].tool: untagged and internally tagged enums do not support enum input at line 3 column 27"},
      {"[require, !!bool yes]", "sequences[0][1]: invalid value: string \"yes\", expected a boolean at line 3 column 15"},
  });
}

TEST(LoadRulesTest, BodyMessagesNameTheList) {
  expect_messages({
      {"{type: require}", AT_LIST("missing field `tool`")},
      {"{type: after, then: b}", AT_LIST("missing field `trigger`")},
      {"{type: before, then: b}", AT_LIST("missing field `first`")},
      {"{type: sequence}", AT_LIST("missing field `tools`")},
      {"{type: max_calls, tool: a, max: 4294967296}", AT_LIST("invalid value: integer `4294967296`, expected u32")},
      {"{type: max_calls, tool: a, max: -1}", AT_LIST("invalid value: integer `-1`, expected u32")},
      {"{type: max_calls, tool: a, max: 1e3}", AT_LIST("invalid type: floating point `1000.0`, expected u32")},
      {"{type: eventually, tool: a, within: '5'}", AT_LIST("invalid type: string \"5\", expected u32")},
      {"{type: after, trigger: a, then: b, within: }", AT_LIST("invalid type: unit value, expected u32")},
      {"{type: blocklist, pattern: 5}", AT_LIST("invalid type: integer `5`, expected a string")},
      {"{type: sequence, tools: [a], strict: yes}", AT_LIST("invalid type: string \"yes\", expected a boolean")},
      {"{type: sequence, tools: a}", AT_LIST("invalid type: string \"a\", expected a sequence")},
      {"{type: max_calls, tool: a, 0: b, max: 1}", AT_LIST("duplicate field `tool`")},
      // A negative form is never a position, not even -0.
      {"{type: require, tool: a, -0: x}", AT_LIST("invalid type: integer `0`, expected field identifier")},
      {"{type: require, tool: a, [k]: x}", AT_LIST("invalid type: sequence, expected field identifier")},
      // The first failing pair in document order is the one reported.
      {"{type: max_calls, max: -1, tool: 5}", AT_LIST("invalid value: integer `-1`, expected u32")},
      {"[require]", AT_LIST("invalid length 0, expected struct variant SequenceRule::Require with 1 element")},
      {"[require, a, b]", AT_LIST("invalid length 2, expected 1 element in sequence")},
      {"[max_calls, a]", AT_LIST("invalid length 1, expected struct variant SequenceRule::MaxCalls with 2 elements")},
      {"[max_calls, a, 3, x]", AT_LIST("invalid length 3, expected 2 elements in sequence")},
      {"[after, a]", AT_LIST("invalid length 1, expected struct variant SequenceRule::After with 3 elements")},
      {"[max_calls, 5, x]", AT_LIST(NO_SELECTOR)},
      {"{type: never_after, trigger: a, forbidden: [b, c]}", AT_LIST(NO_SELECTOR)},
  });
  // A flow list starts at its bracket.
  EXPECT_EQ(load_policy("version: 1\nsequences: [{type: require}]\n").message(),
            "sequences: missing field `tool` at line 2 column 12");
}

TEST(LoadRulesTest, SelectorFailuresShareOneMessage) {
  const char* selectors[] = {
      "[a, b]", "~", "{tool: a}", "{args_match: {}}", "{tool: 5, args_match: {}}", "{tool: a, tool: b, args_match: {}}",
      "{tool: a, args_match: {}, args_match: {}}", "{tool: a, args_match: [x]}", "{tool: a, args_match: {n: 5}}",
      "{tool: a, args_match: {~: x}}", "{tool: a, args_match: {}, true: x}",
  };
  for (const char* selector : selectors) {
    expect_messages({{std::string("{type: require, tool: ") + selector + "}", AT_LIST(NO_SELECTOR)},
                     {std::string("{type: sequence, tools: [a, ") + selector + "]}", AT_LIST(NO_SELECTOR)}});
  }
}

TEST(LoadRulesTest, RuleShapes) {
  using R = SequenceRule;
  const std::pair<std::string, SequenceRule> cases[] = {
      {"{type: require, tool: read_file, note: x}", {R::Require{plain("read_file")}}},
      {"{type: eventually, tool: a, within: 0}", {R::Eventually{plain("a"), 0}}},
      {"{type: max_calls, tool: a, max: 4294967295}", {R::MaxCalls{plain("a"), 4294967295u}}},
      {"{type: max_calls, tool: a, max: 0x10}", {R::MaxCalls{plain("a"), 16}}},
      {"{type: max_calls, tool: a, max: -0}", {R::MaxCalls{plain("a"), 0}}},
      // Standard tags type the text whatever its quoting; the type value is taken as written, tag or not.
      {"{type: eventually, tool: a, within: !!int '7'}", {R::Eventually{plain("a"), 7}}},
      {"[!x blocklist, !!str 1]", {R::Blocklist{"1"}}},
      {"{type: max_calls, 0: a, 1: 3}", {R::MaxCalls{plain("a"), 3}}},
      {"{type: max_calls, tool: a, max: 1, 2: x, 99999: y}", {R::MaxCalls{plain("a"), 1}}},
      {"{type: before, first: a, then: b}", {R::Before{plain("a"), plain("b")}}},
      {"{type: after, trigger: a, then: b}", {R::After{plain("a"), plain("b"), 1}}},
      {"{type: never_after, trigger: a, forbidden: b}", {R::NeverAfter{plain("a"), plain("b")}}},
      {"{type: sequence, tools: [a, b]}", {R::Sequence{{plain("a"), plain("b")}, false}}},
      {"{type: sequence, tools: [], strict: True}", {R::Sequence{{}, true}}},
      {"{type: blocklist, pattern: '5'}", {R::Blocklist{"5"}}},
      {"[require, a]", {R::Require{plain("a")}}},
      {"[after, a, b]", {R::After{plain("a"), plain("b"), 1}}},
      {"[after, a, b, 2]", {R::After{plain("a"), plain("b"), 2}}},
      {"[sequence, [a], false]", {R::Sequence{{plain("a")}, false}}},
      {"{type: require, tool: 007}", {R::Require{plain("007")}}},
      {"{type: require, tool: {tool: a, args_match: {path: x, path: y}, note: z}}", {R::Require{CallSelector::Matching("a", {{"path", "y"}})}}},
      {"{type: require, tool: {0: a, 1: {k: v}, 2: [x]}}", {R::Require{CallSelector::Matching("a", {{"k", "v"}})}}},
  };
  for (const auto& [entry, rule] : cases) {
    Result<Policy> result = load_entry(entry);
    ASSERT_TRUE(result.ok()) << entry << ": " << result.message();
    ASSERT_EQ(result->sequences.size(), 1u) << entry;
    EXPECT_EQ(result->sequences[0], rule) << entry;
  }
}

TEST(LoadRulesTest, MergeKeysAreSkippedAndAliasesReplay) {
  EXPECT_EQ(load_policy("version: 1\nmetadata: &base {tool: x}\nsequences:\n  - {type: require, <<: *base}\n")
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
  const auto& never = std::get<SequenceRule::NeverAfter>(aliased->sequences[1].body);
  EXPECT_EQ(never.trigger, CallSelector::Matching("open", {{"mode", "w"}}));
  EXPECT_EQ(never.forbidden, never.trigger);
  // An alias key reads as its anchored text: here the tag key, then a field.
  Result<Policy> keyed =
      load_policy("version: 1\nname: &t type\nmetadata: &f tool\nsequences:\n  - {*t : require, *f : a}\n");
  ASSERT_TRUE(keyed.ok()) << keyed.message();
  EXPECT_EQ(keyed->sequences[0], (SequenceRule{SequenceRule::Require{plain("a")}}));
}

}  // namespace
}  // namespace ossel
