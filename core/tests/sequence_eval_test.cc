#include "ossel/sequence_eval.h"

#include <gtest/gtest.h>

#include "call_builders.h"

namespace ossel {
namespace {

using testing::aliases_of;
using testing::call_with;
using testing::plain;
using testing::trace_of;

constexpr RuleStatus kSat = RuleStatus::kSatisfied;
constexpr RuleStatus kViol = RuleStatus::kViolated;
constexpr RuleStatus kNa = RuleStatus::kNotApplicable;

using Rule = SequenceRule;
Rule require(const char* tool) { return {Rule::Require{plain(tool)}}; }
Rule eventually(const char* tool, uint32_t within) {
  return {Rule::Eventually{plain(tool), within}};
}
Rule max_calls(const char* tool, uint32_t max) { return {Rule::MaxCalls{plain(tool), max}}; }
Rule before(const char* a, const char* b) { return {Rule::Before{plain(a), plain(b)}}; }
Rule after(const char* a, const char* b, uint32_t within) {
  return {Rule::After{plain(a), plain(b), within}};
}
Rule never_after(const char* a, const char* b) { return {Rule::NeverAfter{plain(a), plain(b)}}; }
Rule blocklist(const char* pattern) { return {Rule::Blocklist{pattern}}; }
SequenceRule sequence(std::vector<const char*> steps, bool strict) {
  SequenceRule::Sequence body{{}, strict};
  for (const char* step : steps) body.tools.push_back(plain(step));
  return {body};
}

struct Case {
  const char* label;
  SequenceRule rule;
  std::vector<ToolCall> trace;
  RuleStatus status;
  std::vector<size_t> positions;
  const char* message;  // null when the outcome carries none
};

void expect_outcomes(const std::vector<Case>& cases) {
  for (const Case& c : cases) {
    const Policy policy = testing::policy_with_rules({c.rule});
    const RuleOutcome outcome = evaluate_rule(c.rule, c.trace, policy);
    EXPECT_EQ(outcome.status, c.status) << c.label;
    EXPECT_EQ(outcome.positions, c.positions) << c.label;
    EXPECT_EQ(outcome.message.value_or("<none>"), c.message ? c.message : "<none>") << c.label;
    EXPECT_EQ(outcome.kind, c.rule.type_word()) << c.label;
    // The prepared evaluator and the engagement shortcut agree with it.
    const RuleEvaluator evaluator(policy);
    EXPECT_EQ(evaluator.evaluate(0, c.trace), outcome) << c.label;
    EXPECT_EQ(evaluator.engaged(0, c.trace), c.status != kNa) << c.label;
  }
}

TEST(SequenceEvalTest, EmptyTraceForEveryKind) {
  expect_outcomes({
      {"require", require("a"), {}, kViol, {}, "required tool 'a' not found in trace"},
      {"eventually 0", eventually("a", 0), {}, kViol, {},
       "tool 'a' required within first 0 calls but not found (trace length: 0)"},
      {"eventually 3", eventually("a", 3), {}, kViol, {},
       "tool 'a' required within the first 3 calls but the run ended after 0 without it"},
      {"max_calls", max_calls("a", 0), {}, kSat, {}, nullptr},
      {"before", before("a", "b"), {}, kNa, {},
       "'b' never appeared, so the ordering was never constrained"},
      {"after", after("a", "b", 1), {}, kNa, {}, "'a' never appeared, so no deadline started"},
      {"never_after", never_after("a", "b"), {}, kNa, {},
       "'a' never appeared, so nothing was forbidden"},
      {"sequence no steps", sequence({}, false), {}, kNa, {}, "the rule names no tools"},
      {"sequence", sequence({"a", "b"}, true), {}, kNa, {},
       "no tool named by the sequence appeared"},
      {"blocklist", blocklist("rm"), {}, kSat, {}, nullptr},
  });
}

TEST(SequenceEvalTest, CountingRules) {
  expect_outcomes({
      {"require found", require("a"), trace_of({"a", "b", "a"}), kSat, {0, 2}, nullptr},
      {"eventually late", eventually("a", 2), trace_of({"x", "y", "a"}), kViol, {2},
       "tool 'a' appeared at index 2 but must appear within first 2 calls"},
      {"eventually in time", eventually("a", 2), trace_of({"x", "a", "a"}), kSat, {1}, nullptr},
      {"eventually run ended", eventually("a", 5), trace_of({"x", "y", "z"}), kViol, {0, 1, 2},
       "tool 'a' required within the first 5 calls but the run ended after 3 without it"},
      {"eventually not found", eventually("a", 3), trace_of({"x", "y", "z"}), kViol, {0, 1, 2},
       "tool 'a' required within first 3 calls but not found (trace length: 3)"},
      {"eventually within 0", eventually("a", 0), trace_of({"a"}), kViol, {0},
       "tool 'a' appeared at index 0 but must appear within first 0 calls"},
      {"max 0 unused", max_calls("a", 0), trace_of({"x"}), kSat, {}, nullptr},
      {"max 0 used", max_calls("a", 0), trace_of({"x", "a"}), kViol, {1},
       "tool 'a' exceeded max calls (1 > 0)"},
      {"max 2", max_calls("a", 2), trace_of({"a", "a"}), kSat, {0, 1}, nullptr},
      {"blocklist hit", blocklist("rm"), trace_of({"ls", "farm", "rm"}), kViol, {1, 2},
       "tool 'farm' matches blocklist pattern 'rm'"},
      {"blocklist clear", blocklist("rm"), trace_of({"ls", "RM"}), kSat, {0, 1}, nullptr},
      {"blocklist empty", blocklist(""), trace_of({"x", "y"}), kViol, {0, 1},
       "tool 'x' matches blocklist pattern ''"},
  });
}

TEST(SequenceEvalTest, OrderingRules) {
  expect_outcomes({
      {"before kept", before("a", "b"), trace_of({"a", "x", "b"}), kSat, {0, 2}, nullptr},
      {"before one call", before("a", "a"), trace_of({"x", "a"}), kSat, {1, 1}, nullptr},
      {"before reversed", before("a", "b"), trace_of({"b", "x", "a"}), kViol, {2, 0},
       "tool 'a' appeared at index 2 but was required before tool 'b' (index 0)"},
      {"before missing", before("a", "b"), trace_of({"x", "b"}), kViol, {1},
       "tool 'b' was found (index 1) but required preceding tool 'a' was missing"},
      {"before no then", before("a", "b"), trace_of({"a"}), kNa, {},
       "'b' never appeared, so the ordering was never constrained"},
      {"never_after kept", never_after("a", "b"), trace_of({"b", "a", "x"}), kSat, {1}, nullptr},
      {"never_after broken", never_after("a", "b"), trace_of({"a", "x", "a", "b"}), kViol,
       {0, 3}, "tool 'b' at index 3 is forbidden after 'a' (triggered at index 0)"},
      {"never_after self", never_after("a", "a"), trace_of({"a"}), kSat, {0}, nullptr},
  });
}

TEST(SequenceEvalTest, AfterWindows) {
  expect_outcomes({
      {"shared answer", after("a", "c", 2), trace_of({"a", "a", "c"}), kSat, {0, 1, 2}, nullptr},
      {"window too short", after("a", "c", 1), trace_of({"a", "a", "c"}), kViol, {0, 1},
       "tool 'c' required within 1 calls after 'a' (triggered at index 0) and no call answered "
       "it by index 1"},
      {"within 0", after("a", "c", 0), trace_of({"a", "c"}), kViol, {0},
       "tool 'c' required within 0 calls after 'a' (triggered at index 0) and no call answered "
       "it by index 0"},
      {"last call", after("a", "c", 3), trace_of({"a", "c", "a"}), kViol, {0, 1, 2},
       "tool 'c' required within 3 calls after 'a' (triggered at index 2) and no call answered "
       "it by index 5"},
      {"later trigger fails", after("a", "c", 1), trace_of({"a", "c", "x", "a", "x", "a"}),
       kViol, {0, 1, 3, 5},
       "tool 'c' required within 1 calls after 'a' (triggered at index 3) and no call answered "
       "it by index 4"},
      {"every trigger answered", after("a", "c", 2), trace_of({"a", "x", "c", "a", "c"}), kSat,
       {0, 2, 3, 4}, nullptr},
      {"trigger answers trigger", after("a", "a", 1), trace_of({"a", "a"}), kViol, {0, 1},
       "tool 'a' required within 1 calls after 'a' (triggered at index 1) and no call answered "
       "it by index 2"},
  });
}

TEST(SequenceEvalTest, Sequences) {
  expect_outcomes({
      {"out of order", sequence({"a", "b", "c"}, false), trace_of({"a", "c"}), kViol, {0, 1},
       "sequence out of order: 'c' at index 1 appears before 'b'"},
      {"loose kept", sequence({"a", "b"}, false), trace_of({"x", "a", "y", "b", "a"}), kSat,
       {1, 3}, nullptr},
      {"loose repeats", sequence({"a", "b"}, false), trace_of({"a", "a", "b"}), kSat, {0, 2},
       nullptr},
      {"loose untouched", sequence({"a", "b"}, false), trace_of({"x"}), kNa, {},
       "no tool named by the sequence appeared"},
      {"loose starts late", sequence({"a", "b"}, false), trace_of({"b"}), kViol, {0},
       "sequence out of order: 'b' at index 0 appears before 'a'"},
      {"repeated step", sequence({"a", "a"}, false), trace_of({"a", "x", "a"}), kSat, {0, 2},
       nullptr},
      {"matched and later step", sequence({"a", "b", "a"}, false), trace_of({"a", "a"}), kViol,
       {0, 1}, "sequence out of order: 'a' at index 1 appears before 'b'"},
      {"strict broken", sequence({"a", "b"}, true), trace_of({"x", "a", "x"}), kViol, {1, 2},
       "strict sequence violated: expected 'b' at index 2 but found 'x'"},
      {"strict untouched", sequence({"a", "b"}, true), trace_of({"x", "y", "b"}), kNa, {},
       "no tool named by the sequence appeared"},
      {"strict kept", sequence({"a", "b"}, true), trace_of({"x", "a", "b", "z"}), kSat, {1, 2},
       nullptr},
      {"run ended", sequence({"a", "b"}, true), trace_of({"a"}), kViol, {0},
       "sequence reached 'a' and the run ended before 'b'"},
  });
}

TEST(SequenceEvalTest, SelectorsMatchThroughAliasesAndPatterns) {
  const Policy policy = testing::policy_with_rules({}, aliases_of({{"fs", {"read", "write"}}}));
  const CallSelector tmp_write = CallSelector::Matching("write", {{"path", "^/tmp/"}});
  const std::vector<ToolCall> trace = {call_with("write", "path", JsonValue("/etc/x")),
                                       testing::call("read"),
                                       call_with("write", "path", JsonValue("/tmp/x"))};
  EXPECT_EQ(evaluate_rule({SequenceRule::Require{tmp_write}}, trace, policy).positions,
            std::vector<size_t>{2});
  EXPECT_EQ(evaluate_rule({SequenceRule::Require{plain("fs")}}, trace, policy).positions,
            (std::vector<size_t>{0, 1, 2}));
  const RuleOutcome broken = evaluate_rule(
      {SequenceRule::Require{CallSelector::Matching("write", {{"path", "("}})}}, trace, policy);
  EXPECT_EQ(broken.status, kViol);
  EXPECT_EQ(broken.message, "required tool 'write[path]' not found in trace");
}

TEST(SequenceEvalTest, IdentifiersQuoteTheDisplayTexts) {
  const CallSelector read_args = CallSelector::Matching("Read", {{"path", "x"}, {"mode", "y"}});
  const struct {
    SequenceRule rule;
    const char* id;
  } cases[] = {
      {{SequenceRule::Require{read_args}}, "require:Read[mode,path]"},
      {eventually("a", 3), "eventually:a@3"},
      {max_calls("a", 2), "max_calls:a<=2"},
      {before("a", "b"), "before:a->b"},
      {after("a", "b", 4), "after:a->b@4"},
      {never_after("a", "b"), "never_after:a->b"},
      {sequence({"a", "b"}, true), "sequence:strict:a>b"},
      {sequence({"a", "b"}, false), "sequence:a>b"},
      {sequence({}, false), "sequence:"},
      {blocklist("RM"), "blocklist:RM"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(evaluate_rule(c.rule, {}, Policy{}).rule_id, c.id);
  }
}

TEST(SequenceEvalTest, EveryRuleInPolicyOrder) {
  EXPECT_TRUE(evaluate_rules(Policy{}, trace_of({"a"})).empty());
  const Policy policy = testing::policy_with_rules({require("a"), before("a", "b"), require("a")});
  const std::vector<RuleOutcome> outcomes = evaluate_rules(policy, trace_of({"a"}));
  ASSERT_EQ(outcomes.size(), 3u);
  EXPECT_EQ(outcomes[0], outcomes[2]);
  EXPECT_EQ(outcomes[0].status, kSat);
  EXPECT_EQ(outcomes[1].status, kNa);
}

}  // namespace
}  // namespace ossel
