// The replay around the rule checks: the tools check, verdicts, the summary,
// the end-of-trace records and the call-count snapshot.
#include <gtest/gtest.h>

#include "explain_test_support.h"
#include "ossel/explain.h"

namespace ossel {
namespace {

using namespace testing;
using Names = std::optional<std::vector<std::string>>;

Names names(std::initializer_list<std::string> list) { return std::vector<std::string>(list); }

TEST(ExplainReplayTest, ToolsCheck) {
  const struct {
    const char* name;
    Names allow;
    Names deny;
    Aliases aliases;
    std::string tool;
    const char* rule_id;  // nullptr: passes
    const char* explanation;
  } cases[] = {
      {"no lists", std::nullopt, std::nullopt, {}, "x", nullptr, ""},
      {"allowed", names({"x"}), std::nullopt, {}, "x", nullptr, ""},
      {"not allowed", names({"x"}), std::nullopt, {}, "y", "allow_list", "Tool 'y' is not in allow list"},
      {"allow is case-sensitive", names({"Read"}), std::nullopt, {}, "read", "allow_list",
       "Tool 'read' is not in allow list"},
      {"denied", std::nullopt, names({"x"}), {}, "x", "deny_list", "Tool 'x' is in deny list"},
      {"deny wins over allow", names({"x"}), names({"x"}), {}, "x", "deny_list", "Tool 'x' is in deny list"},
      {"empty deny blocks nothing", std::nullopt, names({}), {}, "x", nullptr, ""},
      {"empty allow blocks a non-member", names({}), std::nullopt, {{"g", {"a"}}}, "x", "allow_list",
       "Tool 'x' is not in allow list"},
      {"empty allow passes a member", names({}), std::nullopt, {{"g", {"a"}}}, "a", nullptr, ""},
      {"a group's own name is not a member", names({}), std::nullopt, {{"g", {"a"}}}, "g", "allow_list",
       "Tool 'g' is not in allow list"},
      {"a group's name that is a member elsewhere", names({}), std::nullopt, {{"g", {"a"}}, {"h", {"g"}}}, "g",
       nullptr, ""},
      {"any group's member passes allow", names({"x"}), std::nullopt, {{"g", {"a"}}}, "a", nullptr, ""},
      {"deny does not expand groups", std::nullopt, names({"g"}), {{"g", {"a"}}}, "a", nullptr, ""},
      {"deny blocks a group's own name", std::nullopt, names({"g"}), {{"g", {"a"}}}, "g", "deny_list",
       "Tool 'g' is in deny list"},
      {"deny blocks an alias member", std::nullopt, names({"a"}), {{"g", {"a"}}}, "a", "deny_list",
       "Tool 'a' is in deny list"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Policy policy = make_policy({}, c.aliases);
    policy.tools.allow = c.allow;
    policy.tools.deny = c.deny;
    TraceExplanation result = explain_trace(policy, trace({c.tool}));
    const ExplainedStep& step = result.steps.at(0);
    if (!c.rule_id) {
      EXPECT_EQ(step.verdict, Verdict::kAllowed);
      EXPECT_TRUE(step.rules_evaluated.empty());
      continue;
    }
    EXPECT_EQ(step.verdict, Verdict::kBlocked);
    ASSERT_EQ(step.rules_evaluated.size(), 1u);
    const RuleEvaluation& record = step.rules_evaluated[0];
    EXPECT_EQ(record.rule_id, c.rule_id);
    EXPECT_EQ(record.rule_type, std::string(c.rule_id) == "deny_list" ? "deny" : "allow");
    EXPECT_FALSE(record.passed);
    EXPECT_EQ(record.explanation, c.explanation);
    EXPECT_FALSE(record.context.has_value());
    EXPECT_EQ(result.blocking_rules, std::vector<std::string>{c.rule_id});
  }
}

TEST(ExplainReplayTest, EmptyTraceHasNoStepsEvenWithEndOfTraceFailures) {
  Policy policy = make_policy({{R::Require{sel("a")}}, {R::After{sel("a"), sel("b"), 1}}});
  TraceExplanation result = explain_trace(policy, {});
  EXPECT_EQ(result.total_steps, 0u);
  EXPECT_EQ(result.allowed_steps, 0u);
  EXPECT_EQ(result.blocked_steps, 0u);
  EXPECT_FALSE(result.first_block_index.has_value());
  EXPECT_TRUE(result.steps.empty());
  EXPECT_TRUE(result.blocking_rules.empty());
  EXPECT_EQ(result.policy_name, "test");
  EXPECT_EQ(result.policy_version, "1.0");
}

TEST(ExplainReplayTest, FirstFailureBlocksAndLaterFailuresAreOnlyRecorded) {
  Policy policy = make_policy({{R::MaxCalls{sel("x"), 0}}, {R::Blocklist{"x"}}, {R::Require{sel("x")}}});
  policy.tools.allow = std::vector<std::string>{};
  TraceExplanation result = explain_trace(policy, trace({"ok", "x", "x"}));
  // "ok" fails the allow check only; both x calls fail all three checks.
  EXPECT_EQ(result.blocked_steps, 3u);
  EXPECT_EQ(result.allowed_steps, 0u);
  EXPECT_EQ(result.first_block_index, 0u);
  const ExplainedStep& step = result.steps[1];
  ASSERT_EQ(step.rules_evaluated.size(), 4u);
  EXPECT_EQ(step.rules_evaluated[0].rule_id, "allow_list");
  EXPECT_EQ(step.rules_evaluated[1].rule_id, "max_calls_x_0");
  EXPECT_FALSE(step.rules_evaluated[1].passed);
  EXPECT_FALSE(step.rules_evaluated[2].passed);
  EXPECT_TRUE(step.rules_evaluated[3].passed);
  EXPECT_EQ(result.blocking_rules, std::vector<std::string>{"allow_list"});
}

TEST(ExplainReplayTest, BlockedCallsAreStillObserved) {
  Policy policy = make_policy({{R::Require{sel("x")}}});
  policy.tools.deny = std::vector<std::string>{"x"};
  TraceExplanation result = explain_trace(policy, trace({"x", "y"}));
  EXPECT_EQ(result.steps[1].rules_evaluated.size(), 1u);  // no end-of-trace record
  EXPECT_EQ(result.steps[1].verdict, Verdict::kAllowed);
  EXPECT_EQ(result.blocking_rules, std::vector<std::string>{"deny_list"});
}

TEST(ExplainReplayTest, BlockingRulesAreListedOnceInOrderOfFirstAppearance) {
  Policy policy = make_policy({{R::Blocklist{"b"}}, {R::Blocklist{"a"}}, {R::Require{sel("r")}},
                               {R::Require{sel("R")}}, {R::Blocklist{"a"}}});
  TraceExplanation result = explain_trace(policy, trace({"x", "a", "b", "a", "ab", "y"}));
  EXPECT_EQ(result.first_block_index, 1u);
  EXPECT_EQ(result.blocked_steps, 4u);
  EXPECT_EQ(result.allowed_steps, 2u);
  // Two rules share "blocklist_a" and two share "require_r": each text once.
  EXPECT_EQ(result.blocking_rules, (std::vector<std::string>{"blocklist_a", "blocklist_b", "require_r"}));
}

TEST(ExplainReplayTest, EndOfTraceRecordsJoinTheLastStepWithoutChangingItsVerdict) {
  Policy policy = make_policy({{R::Require{sel("r")}}, {R::After{sel("open"), sel("close"), 1}},
                               {R::Require{CallSelector::Matching("w", {{"p", "x"}})}}});
  TraceExplanation result = explain_trace(policy, trace({"open", "x", "open", "close", "open", "w"}));
  const ExplainedStep& last = result.steps.back();
  EXPECT_EQ(last.verdict, Verdict::kAllowed);
  EXPECT_EQ(result.blocked_steps, 1u);  // the second open comes past the first deadline
  ASSERT_EQ(last.rules_evaluated.size(), 5u);
  const RuleEvaluation& require = last.rules_evaluated[3];
  EXPECT_EQ(require.rule_id, "require_r");
  EXPECT_FALSE(require.passed);
  EXPECT_EQ(require.explanation, "Required tool 'r' never called");
  EXPECT_FALSE(require.context.has_value());
  const RuleEvaluation& after = last.rules_evaluated[4];
  EXPECT_EQ(after.rule_id, "after_open_then_close");
  EXPECT_EQ(after.rule_type, "after");
  EXPECT_EQ(after.explanation, "'open' triggered at 4, but 'close' never called within 1 steps (trace ended)");
  EXPECT_EQ(to_json(*after.context), R"({"trigger":"open","deadline":5,"trace_len":6})");
  EXPECT_EQ(result.blocking_rules, (std::vector<std::string>{"after_open_then_close", "require_r"}));
}

TEST(ExplainReplayTest, AfterIsSatisfiedAtTheEndByAnyLateAnswer) {
  const struct {
    std::vector<std::string> calls;
    bool end_record;
  } cases[] = {
      {{"open", "x", "x", "x", "x", "close"}, false},  // late, judged per call only
      {{"open", "close", "open", "x"}, true},          // answered only before the second trigger
      {{"x"}, false},                                  // never triggered
  };
  for (const auto& c : cases) {
    TraceExplanation result =
        explain_trace(make_policy({{R::After{sel("open"), sel("close"), 1}}}), trace(c.calls));
    EXPECT_EQ(result.steps.back().rules_evaluated.size(), c.end_record ? 2u : 1u);
  }
  TraceExplanation same = explain_trace(make_policy({{R::After{sel("a"), sel("a"), 3}}}), trace({"a", "a"}));
  ASSERT_EQ(same.steps.back().rules_evaluated.size(), 2u);
  EXPECT_EQ(same.steps.back().rules_evaluated[1].explanation,
            "'a' triggered at 1, but 'a' never called within 3 steps (trace ended)");
}

TEST(ExplainReplayTest, RequireThroughAliases) {
  const struct {
    std::string call;
    bool satisfied;
  } cases[] = {{"a", true}, {"g", false}, {"x", false}};
  for (const auto& c : cases) {
    Policy policy = make_policy({{R::Require{sel("g")}}, {R::Require{sel("e")}}}, {{"g", {"a"}}, {"e", {}}});
    TraceExplanation result = explain_trace(policy, trace({c.call, "e"}));
    // The empty group e is never satisfied, not even by a call of its name.
    EXPECT_EQ(result.steps.back().rules_evaluated.size(), c.satisfied ? 3u : 4u) << c.call;
    EXPECT_EQ(result.steps.back().rules_evaluated.back().rule_id, "require_e");
  }
}

TEST(ExplainReplayTest, SnapshotCountsEveryToolInFirstCallOrder) {
  TraceExplanation result = explain_trace(make_policy(), trace({"b", "a", "b", "B"}));
  using Snapshot = std::vector<std::pair<std::string, std::string>>;
  EXPECT_EQ(result.steps[0].state_snapshot, (Snapshot{{"calls:b", "1"}}));
  EXPECT_EQ(result.steps[2].state_snapshot, (Snapshot{{"calls:b", "2"}, {"calls:a", "1"}}));
  EXPECT_EQ(result.steps[3].state_snapshot, (Snapshot{{"calls:b", "2"}, {"calls:a", "1"}, {"calls:B", "1"}}));
}

TEST(ExplainReplayTest, ExplainerIsReusableAndKeepsItsPolicy) {
  Policy policy = make_policy({{R::MaxCalls{sel("a"), 1}}});
  TraceExplainer explainer(policy.clone());
  EXPECT_EQ(explainer.policy(), policy);
  TraceExplanation first = explainer.explain(trace({"a", "a"}));
  TraceExplanation second = explainer.explain(trace({"a", "a"}));
  EXPECT_EQ(first, second);
  EXPECT_EQ(first.blocked_steps, 1u);
  TraceExplainer moved = std::move(explainer);
  EXPECT_EQ(moved.explain(trace({"a", "a"})), first);
}

}  // namespace
}  // namespace ossel
