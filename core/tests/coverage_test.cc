#include "ossel/coverage.h"

#include <gtest/gtest.h>

#include <limits>
#include <tuple>

#include "call_builders.h"
#include "ossel/sequence_eval.h"

namespace ossel {
namespace {

using namespace testing;  // NOLINT: the builders read as a small language
using Names = std::vector<std::string>;

// The report over one record per trace, each trace given as space-separated names.
CoverageReport analyze(const Policy& policy, const std::vector<std::string>& traces,
                       double threshold = 0.0) {
  const CoverageAnalyzer analyzer(policy);
  std::vector<TraceCoverage> records;
  for (const std::string& names : traces) {
    records.push_back(analyzer.cover_trace(names, trace_of(names)));
  }
  return analyzer.build_report(records, threshold);
}

std::string json_of(const CoverageReport& report) {
  std::string out;
  append_json(report, out);
  return out;
}

// The evaluator's rule id keeps the display texts; the coverage id keeps only
// the tool names, lower-cased.
TEST(CoverageTest, RuleAndCoverageIdentifiers) {
  const CallSelector read = CallSelector::Matching("Read", {{"path", "x"}, {"mode", "y"}});
  const std::tuple<Rule, const char*, const char*> cases[] = {
      {{Rule::Require{read}}, "require:Read[mode,path]", "require_read"},
      {eventually("Search", 3), "eventually:Search@3", "eventually_search_3"},
      {max_calls("A", 4294967295u), "max_calls:A<=4294967295", "max_calls_a_4294967295"},
      {{Rule::Before{plain("A"), read}}, "before:A->Read[mode,path]", "before_a_then_read"},
      {after("Open", "Close", 7), "after:Open->Close@7", "after_open_then_close"},
      {never_after("A", "B"), "never_after:A->B", "never_after_a_forbidden_b"},
      {sequence("a b", true), "sequence:strict:a>b", "strict_a_b"},
      {{Rule::Sequence{{plain("Log"), read}}}, "sequence:Log>Read[mode,path]", "seq_log_read"},
      {sequence("", false), "sequence:", "seq_"},
      {blocklist("RM"), "blocklist:RM", "blocklist_rm"},
      {require("\u039F\u03A3"), "require:\u039F\u03A3", "require_\u03BF\u03C2"},  // final sigma
  };
  for (const auto& [rule, rule_id, coverage] : cases) {
    EXPECT_EQ(evaluate_rule(rule, {}, Policy{}).rule_id, rule_id);
    EXPECT_EQ(coverage_id(rule), coverage);
  }
}

TEST(CoverageTest, WorkedExampleReport) {
  Policy policy = policy_with_rules({require("a")}, aliases_of({{"group", {"a", "b"}}}));
  policy.tools.deny = Names{"shell"};
  EXPECT_EQ(json_of(analyze(policy, {"a"}, 80.0)),
            "{\"tool_coverage\":{\"total_tools_in_policy\":4,\"tools_seen_in_traces\":1,"
            "\"coverage_pct\":25.0,\"unseen_tools\":[\"shell\",\"b\"],\"unexpected_tools\":[]},"
            "\"rule_coverage\":{\"total_rules\":1,\"rules_triggered\":1,\"coverage_pct\":100.0,"
            "\"untriggered_rules\":[]},\"high_risk_gaps\":[{\"tool\":\"shell\",\"reason\":"
            "\"Tool is in deny list but never appeared in test traces\",\"severity\":\"high\"}],"
            "\"policy_violations\":[],\"policy_warnings\":[],\"overall_coverage_pct\":62.5,"
            "\"meets_threshold\":false,\"threshold\":80.0}");
}

TEST(CoverageTest, AliasesCoverOneLevelBothWays) {
  const Policy policy = policy_with_rules({}, aliases_of({{"group", {"a", "b"}}}));
  const CoverageReport member = analyze(policy, {"a"});
  EXPECT_NE(json_of(member).find("\"tools_seen_in_traces\":1,\"coverage_pct\":33.33333333333333,"
                                 "\"unseen_tools\":[\"b\"]"), std::string::npos);
  EXPECT_EQ(member.overall_coverage_pct, member.tool_coverage.coverage_pct);
  EXPECT_EQ(analyze(policy, {"group"}).tool_coverage.unseen_tools, Names{});
  // An alias listed as a member is exercised through its own members only.
  const Policy nested = policy_with_rules({}, aliases_of({{"in", {"y"}}, {"out", {"in", "x"}}}));
  EXPECT_EQ(analyze(nested, {"out"}).tool_coverage.unseen_tools, (Names{"in", "y"}));
  EXPECT_EQ(analyze(nested, {"y"}).tool_coverage.unseen_tools, (Names{"out", "x"}));
}

TEST(CoverageTest, ListsFollowPolicyAndCallOrder) {
  Policy policy = policy_with_rules({require("Read"), never_after("a", "z"), blocklist("rm")});
  policy.tools.allow = Names{"b", "c"};
  policy.tools.deny = Names{"a", "b", "*any", ""};
  const CoverageReport report = analyze(policy, {"read c q", "read p rm"});
  EXPECT_EQ(report.tool_coverage.total_tools_in_policy, 7u);
  EXPECT_EQ(report.tool_coverage.unseen_tools, (Names{"b", "a", "*any", "", "Read", "z"}));
  EXPECT_EQ(report.tool_coverage.unexpected_tools, (Names{"read", "q", "p", "rm"}));
  Names gaps;
  for (const HighRiskGap& gap : report.high_risk_gaps) gaps.push_back(gap.tool);
  EXPECT_EQ(gaps, (Names{"b", "a", "", "z"}));  // only a leading "*" keeps a name out
  EXPECT_EQ(report.rule_coverage.untriggered_rules, Names{"never_after_a_forbidden_z"});
}

TEST(CoverageTest, RulesSharingAnIdentifierCountOnceEach) {
  const CoverageAnalyzer analyzer(policy_with_rules({
      {Rule::Before{CallSelector::Matching("a", {{"p", "tmp"}}), plain("b")}},
      {Rule::Before{CallSelector::Matching("a", {{"p", "etc"}}), plain("b")}},
      after("x", "y", 1), after("x", "y", 5), require("r")}));
  EXPECT_EQ(analyzer.rules_triggered(trace_of("x b")),
            (Names{"before_a_then_b", "after_x_then_y", "require_r"}));
  const TraceCoverage record = analyzer.cover_trace("t", trace_of("b b"));
  const RuleCoverage rules = analyzer.build_report(std::span(&record, 1), 0.0).rule_coverage;
  EXPECT_EQ(rules.total_rules, 5u);
  EXPECT_EQ(rules.rules_triggered, 3u);
  EXPECT_EQ(rules.untriggered_rules, (Names{"after_x_then_y", "after_x_then_y"}));
}

// Asked to stop, as the calls each rule looks at and each record holds add up,
// cover_trace and build_report give nothing.
TEST(CoverageTest, StopsWhenAskedTo) {
  const CoverageAnalyzer analyzer(policy_with_rules({require("a"), before("a", "b")}));
  ProgressCheck stop_in_rules([] { return false; }, 3);
  EXPECT_EQ(analyzer.cover_trace("t", trace_of("a b"), stop_in_rules).error(), Error{kStoppedMessage});
  const TraceCoverage record = analyzer.cover_trace("t", trace_of("a b c"));
  ProgressCheck stop_in_report([] { return false; }, 3);
  EXPECT_EQ(analyzer.build_report(std::span(&record, 1), 0.0, stop_in_report).error(), Error{kStoppedMessage});
}

TEST(CoverageTest, OverallValueAndThresholds) {
  // Tools: 1 of a, b, c seen. Rules: both requires engaged, before not.
  Policy policy = policy_with_rules({require("a"), require("b"), before("b", "c")});
  policy.tools.allow = Names{"a", "b", "c"};
  policy.tools.deny = Names{"c"};
  const CoverageAnalyzer analyzer(policy);
  const TraceCoverage record = analyzer.cover_trace("t", trace_of("a"));
  const auto report_at = [&](double t) { return analyzer.build_report(std::span(&record, 1), t); };
  const std::string text = json_of(report_at(0.0));
  EXPECT_NE(text.find("\"coverage_pct\":66.66666666666666,"), std::string::npos) << text;
  EXPECT_NE(text.find("\"overall_coverage_pct\":49.99999999999999,"), std::string::npos) << text;
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double inf = std::numeric_limits<double>::infinity();
  const std::tuple<double, bool, const char*> cases[] = {
      {49.99999999999999, true, "49.99999999999999"},  // equal to the overall value
      {50.0, false, "50.0"},
      {nan, false, "null"},
      {-inf, true, "null"},
      {-0.0, true, "-0.0"},
  };
  for (const auto& [threshold, meets, written] : cases) {
    const CoverageReport report = report_at(threshold);
    EXPECT_EQ(report.meets_threshold, meets) << written;
    EXPECT_TRUE(json_of(report).ends_with(",\"threshold\":" + std::string(written) + "}"));
  }
  // Nothing seen still meets 0.0; nothing to cover never meets; rules alone
  // make the overall value by themselves.
  EXPECT_TRUE(analyzer.build_report({}, 0.0).meets_threshold);
  const CoverageReport empty = analyze(Policy{}, {"a"}, -inf);
  EXPECT_FALSE(empty.meets_threshold);
  EXPECT_EQ(empty.tool_coverage.coverage_pct + empty.rule_coverage.coverage_pct, 0.0);
  EXPECT_EQ(analyze(policy_with_rules({blocklist("rm")}), {""}).overall_coverage_pct, 100.0);
}

}  // namespace
}  // namespace ossel
