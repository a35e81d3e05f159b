#include "ossel/sequence_eval.h"

#include <gtest/gtest.h>

#include "call_builders.h"

namespace ossel {
namespace {

using namespace testing;  // NOLINT: the builders read as a small language

constexpr RuleStatus kSat = RuleStatus::kSatisfied;
constexpr RuleStatus kViol = RuleStatus::kViolated;
constexpr RuleStatus kNa = RuleStatus::kNotApplicable;

struct Case {
  Rule rule;
  const char* trace;  // space-separated tool names
  RuleStatus status;
  std::vector<size_t> positions;
  const char* message;  // null when the outcome carries none
};

void expect_outcomes(const std::vector<Case>& cases) {
  for (const Case& c : cases) {
    const Policy policy = policy_with_rules({c.rule});
    const std::vector<ToolCall> trace = trace_of(c.trace);
    const RuleOutcome outcome = evaluate_rule(c.rule, trace, policy);
    const std::string where = outcome.rule_id + " over '" + c.trace + "'";
    EXPECT_EQ(outcome.status, c.status) << where;
    EXPECT_EQ(outcome.positions, c.positions) << where;
    EXPECT_EQ(outcome.message.value_or("<none>"), c.message ? c.message : "<none>") << where;
    EXPECT_EQ(outcome.kind, c.rule.type_word()) << where;
    // The prepared evaluator and its engagement shortcut agree.
    const RuleEvaluator evaluator(policy);
    EXPECT_EQ(evaluator.evaluate(0, trace), outcome) << where;
    EXPECT_EQ(evaluator.engaged(0, trace), c.status != kNa) << where;
  }
}

TEST(SequenceEvalTest, EmptyTraceForEveryKind) {
  expect_outcomes({
      {require("a"), "", kViol, {}, "required tool 'a' not found in trace"},
      {eventually("a", 0), "", kViol, {},
       "tool 'a' required within first 0 calls but not found (trace length: 0)"},
      {eventually("a", 3), "", kViol, {},
       "tool 'a' required within the first 3 calls but the run ended after 0 without it"},
      {max_calls("a", 0), "", kSat, {}, nullptr},
      {before("a", "b"), "", kNa, {}, "'b' never appeared, so the ordering was never constrained"},
      {after("a", "b", 1), "", kNa, {}, "'a' never appeared, so no deadline started"},
      {never_after("a", "b"), "", kNa, {}, "'a' never appeared, so nothing was forbidden"},
      {sequence("", false), "", kNa, {}, "the rule names no tools"},
      {sequence("a b", true), "", kNa, {}, "no tool named by the sequence appeared"},
      {blocklist("rm"), "", kSat, {}, nullptr},
  });
}

TEST(SequenceEvalTest, CountingAndOrderingRules) {
  const Rule broken_pattern = {Rule::Require{CallSelector::Matching("w", {{"p", "("}})}};
  expect_outcomes({
      {require("a"), "a b a", kSat, {0, 2}, nullptr},
      {broken_pattern, "w", kViol, {}, "required tool 'w[p]' not found in trace"},
      {eventually("a", 2), "x a a", kSat, {1}, nullptr},
      {eventually("a", 2), "x y a", kViol, {2},
       "tool 'a' appeared at index 2 but must appear within first 2 calls"},
      {eventually("a", 3), "x y z", kViol, {0, 1, 2},
       "tool 'a' required within first 3 calls but not found (trace length: 3)"},
      {max_calls("a", 0), "x a", kViol, {1}, "tool 'a' exceeded max calls (1 > 0)"},
      {max_calls("a", 2), "a a", kSat, {0, 1}, nullptr},
      {blocklist("rm"), "ls farm rm", kViol, {1, 2}, "tool 'farm' matches blocklist pattern 'rm'"},
      {blocklist("rm"), "ls RM", kSat, {0, 1}, nullptr},
      {before("a", "b"), "a x b", kSat, {0, 2}, nullptr},
      {before("a", "a"), "x a", kSat, {1, 1}, nullptr},
      {before("a", "b"), "b x a", kViol, {2, 0},
       "tool 'a' appeared at index 2 but was required before tool 'b' (index 0)"},
      {before("a", "b"), "x b", kViol, {1},
       "tool 'b' was found (index 1) but required preceding tool 'a' was missing"},
      {never_after("a", "b"), "b a x", kSat, {1}, nullptr},
      {never_after("a", "b"), "a x a b", kViol, {0, 3},
       "tool 'b' at index 3 is forbidden after 'a' (triggered at index 0)"},
      {never_after("a", "a"), "a", kSat, {0}, nullptr},
  });
}

TEST(SequenceEvalTest, AfterWindowsForSeveralTriggers) {
  expect_outcomes({
      {after("a", "c", 2), "a a c", kSat, {0, 1, 2}, nullptr},
      {after("a", "c", 2), "a x c a c", kSat, {0, 2, 3, 4}, nullptr},
      {after("a", "c", 1), "a a c", kViol, {0, 1},
       "tool 'c' required within 1 calls after 'a' (triggered at index 0) and no call answered "
       "it by index 1"},
      {after("a", "c", 3), "a c a", kViol, {0, 1, 2},
       "tool 'c' required within 3 calls after 'a' (triggered at index 2) and no call answered "
       "it by index 5"},
      {after("a", "c", 1), "a c x a x a", kViol, {0, 1, 3, 5},
       "tool 'c' required within 1 calls after 'a' (triggered at index 3) and no call answered "
       "it by index 4"},
      {after("a", "a", 1), "a a", kViol, {0, 1},
       "tool 'a' required within 1 calls after 'a' (triggered at index 1) and no call answered "
       "it by index 2"},
  });
}

TEST(SequenceEvalTest, StrictAndLooseSequences) {
  expect_outcomes({
      {sequence("a b", false), "x a y b a", kSat, {1, 3}, nullptr},
      {sequence("a b", false), "a a b", kSat, {0, 2}, nullptr},
      {sequence("a a", false), "a x a", kSat, {0, 2}, nullptr},
      {sequence("a b c", false), "a c", kViol, {0, 1},
       "sequence out of order: 'c' at index 1 appears before 'b'"},
      {sequence("a b", false), "b", kViol, {0},
       "sequence out of order: 'b' at index 0 appears before 'a'"},
      {sequence("a b a", false), "a a", kViol, {0, 1},
       "sequence out of order: 'a' at index 1 appears before 'b'"},
      {sequence("a b", true), "x a b z", kSat, {1, 2}, nullptr},
      {sequence("a b", true), "x y b", kNa, {}, "no tool named by the sequence appeared"},
      {sequence("a b", true), "x a x", kViol, {1, 2},
       "strict sequence violated: expected 'b' at index 2 but found 'x'"},
      {sequence("a b", true), "a", kViol, {0},
       "sequence reached 'a' and the run ended before 'b'"},
  });
}

TEST(SequenceEvalTest, EveryRuleInPolicyOrder) {
  const Policy policy = policy_with_rules({require("a"), before("a", "b")});
  const std::vector<RuleOutcome> outcomes = evaluate_rules(policy, trace_of("a"));
  ASSERT_EQ(outcomes.size(), 2u);
  EXPECT_EQ(outcomes[1].status, kNa);
}

}  // namespace
}  // namespace ossel
