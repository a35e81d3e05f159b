#include "ossel/coverage.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <thread>

#include "call_builders.h"

namespace ossel {
namespace {

using testing::aliases_of;
using testing::plain;
using testing::trace_of;

using Names = std::vector<std::string>;

SequenceRule require(const char* tool) { return {SequenceRule::Require{plain(tool)}}; }
SequenceRule before(CallSelector first, CallSelector then) {
  return {SequenceRule::Before{std::move(first), std::move(then)}};
}

// The report over one record per trace.
CoverageReport analyze(const Policy& policy, const std::vector<std::vector<ToolCall>>& traces,
                       double threshold = 0.0) {
  const CoverageAnalyzer analyzer(policy);
  std::vector<TraceCoverage> records;
  for (size_t i = 0; i < traces.size(); ++i) {
    records.push_back(analyzer.cover_trace("trace_" + std::to_string(i), traces[i]));
  }
  return analyzer.build_report(records, threshold);
}

std::string json_of(const CoverageReport& report) {
  std::string out;
  append_json(report, out);
  return out;
}

TEST(CoverageTest, CoverageIdentifiersAreLowerCasedToolNames) {
  const CallSelector read_args = CallSelector::Matching("Read", {{"path", "x"}});
  const struct {
    SequenceRule rule;
    const char* id;
  } cases[] = {
      {require("Read_File"), "require_read_file"},
      {{SequenceRule::Require{read_args}}, "require_read"},
      {{SequenceRule::Eventually{plain("Search"), 3}}, "eventually_search_3"},
      {{SequenceRule::MaxCalls{plain("A"), 4294967295u}}, "max_calls_a_4294967295"},
      {before(plain("A"), read_args), "before_a_then_read"},
      {{SequenceRule::After{plain("Open"), plain("Close"), 7}}, "after_open_then_close"},
      {{SequenceRule::NeverAfter{plain("A"), plain("B")}}, "never_after_a_forbidden_b"},
      {{SequenceRule::Sequence{{plain("Login"), plain("Fetch")}, true}}, "strict_login_fetch"},
      {{SequenceRule::Sequence{{plain("Login"), read_args}, false}}, "seq_login_read"},
      {{SequenceRule::Sequence{{}, false}}, "seq_"},
      {{SequenceRule::Sequence{{}, true}}, "strict_"},
      {{SequenceRule::Blocklist{"RM"}}, "blocklist_rm"},
      {require("\u039F\u0394\u039F\u03A3"), "require_\u03BF\u03B4\u03BF\u03C2"},  // final sigma
  };
  for (const auto& c : cases) EXPECT_EQ(coverage_id(c.rule), c.id);
}

TEST(CoverageTest, WorkedExampleReport) {
  Policy policy = testing::policy_with_rules({require("a")}, aliases_of({{"group", {"a", "b"}}}));
  policy.tools.deny = Names{"shell"};
  const CoverageReport report = analyze(policy, {trace_of({"a"})}, 80.0);
  EXPECT_EQ(json_of(report),
            "{\"tool_coverage\":{\"total_tools_in_policy\":4,\"tools_seen_in_traces\":1,"
            "\"coverage_pct\":25.0,\"unseen_tools\":[\"shell\",\"b\"],\"unexpected_tools\":[]},"
            "\"rule_coverage\":{\"total_rules\":1,\"rules_triggered\":1,\"coverage_pct\":100.0,"
            "\"untriggered_rules\":[]},\"high_risk_gaps\":[{\"tool\":\"shell\",\"reason\":"
            "\"Tool is in deny list but never appeared in test traces\",\"severity\":\"high\"}],"
            "\"policy_violations\":[],\"policy_warnings\":[],\"overall_coverage_pct\":62.5,"
            "\"meets_threshold\":false,\"threshold\":80.0}");
}

TEST(CoverageTest, EmptyPolicyOverNoTraces) {
  const CoverageReport report = analyze(Policy{}, {}, -1.0);
  EXPECT_FALSE(report.meets_threshold);
  EXPECT_EQ(json_of(analyze(Policy{}, {}, 0.0)),
            "{\"tool_coverage\":{\"total_tools_in_policy\":0,\"tools_seen_in_traces\":0,"
            "\"coverage_pct\":0.0,\"unseen_tools\":[],\"unexpected_tools\":[]},"
            "\"rule_coverage\":{\"total_rules\":0,\"rules_triggered\":0,\"coverage_pct\":0.0,"
            "\"untriggered_rules\":[]},\"high_risk_gaps\":[],\"policy_violations\":[],"
            "\"policy_warnings\":[],\"overall_coverage_pct\":0.0,\"meets_threshold\":false,"
            "\"threshold\":0.0}");
}

TEST(CoverageTest, AliasesCoverBothWays) {
  const Policy policy = testing::policy_with_rules({}, aliases_of({{"group", {"a", "b"}}}));
  const CoverageReport member = analyze(policy, {trace_of({"a"})});
  EXPECT_EQ(member.tool_coverage.total_tools_in_policy, 3u);
  EXPECT_EQ(member.tool_coverage.tools_seen_in_traces, 1u);
  EXPECT_EQ(member.tool_coverage.unseen_tools, Names{"b"});
  EXPECT_EQ(member.overall_coverage_pct, member.tool_coverage.coverage_pct);
  EXPECT_NE(json_of(member).find("\"coverage_pct\":33.33333333333333,"), std::string::npos);

  const CoverageReport name = analyze(policy, {trace_of({"group"})});
  EXPECT_EQ(name.tool_coverage.tools_seen_in_traces, 1u);
  EXPECT_EQ(name.tool_coverage.unseen_tools, Names{});

  // One level only: an alias listed as a member is exercised through its own
  // members, not through the outer alias's name.
  const Policy nested = testing::policy_with_rules(
      {}, aliases_of({{"inner", {"y"}}, {"outer", {"inner", "x"}}}));
  EXPECT_EQ(analyze(nested, {trace_of({"outer"})}).tool_coverage.unseen_tools,
            (Names{"inner", "y"}));
  EXPECT_EQ(analyze(nested, {trace_of({"y"})}).tool_coverage.unseen_tools,
            (Names{"outer", "x"}));
}

TEST(CoverageTest, ListsFollowPolicyAndCallOrder) {
  Policy policy = testing::policy_with_rules(
      {require("Read"), {SequenceRule::NeverAfter{plain("a"), plain("z")}},
       {SequenceRule::Blocklist{"rm"}}});
  policy.tools.allow = Names{"b", "c"};
  policy.tools.deny = Names{"a", "b", "*any", ""};
  const CoverageReport report =
      analyze(policy, {trace_of({"read", "c", "q"}), trace_of({"read", "p", "rm"})});
  const ToolCoverage& tools = report.tool_coverage;
  EXPECT_EQ(tools.total_tools_in_policy, 7u);  // b, c, a, *any, "", Read, z
  EXPECT_EQ(tools.tools_seen_in_traces, 1u);
  EXPECT_EQ(tools.unseen_tools, (Names{"b", "a", "*any", "", "Read", "z"}));
  EXPECT_EQ(tools.unexpected_tools, (Names{"read", "q", "p", "rm"}));
  std::vector<std::string> gaps;
  for (const HighRiskGap& gap : report.high_risk_gaps) {
    EXPECT_EQ(gap.reason, "Tool is in deny list but never appeared in test traces");
    EXPECT_EQ(gap.severity, "high");
    gaps.push_back(gap.tool);
  }
  EXPECT_EQ(gaps, (Names{"b", "a", "", "z"}));  // only a leading "*" keeps a name out
  EXPECT_EQ(report.rule_coverage.untriggered_rules, Names{"never_after_a_forbidden_z"});
}

TEST(CoverageTest, RuleCountingByIdentifier) {
  const CallSelector a_tmp = CallSelector::Matching("a", {{"p", "tmp"}});
  const CallSelector a_etc = CallSelector::Matching("a", {{"p", "etc"}});
  const Policy policy = testing::policy_with_rules({
      before(a_tmp, plain("b")),
      before(a_etc, plain("b")),
      {SequenceRule::After{plain("x"), plain("y"), 1}},
      {SequenceRule::After{plain("x"), plain("y"), 5}},
      {SequenceRule::Sequence{{plain("s"), plain("t")}, false}},
      {SequenceRule::NeverAfter{plain("n"), plain("m")}},
      {SequenceRule::Eventually{plain("e"), 1}},
      {SequenceRule::MaxCalls{plain("e"), 1}},
      {SequenceRule::Blocklist{"k"}},
      require("r"),
  });
  const CoverageAnalyzer analyzer(policy);
  EXPECT_EQ(analyzer.rules_triggered({}),
            (Names{"eventually_e_1", "max_calls_e_1", "blocklist_k", "require_r"}));
  EXPECT_EQ(analyzer.rules_triggered(trace_of({"b", "y", "x", "t"})),
            (Names{"before_a_then_b", "after_x_then_y", "seq_s_t", "eventually_e_1",
                   "max_calls_e_1", "blocklist_k", "require_r"}));

  const TraceCoverage record = analyzer.cover_trace("trace_0", trace_of({"b", "b"}));
  EXPECT_EQ(record.trace_id, "trace_0");
  EXPECT_EQ(record.tool_names, (Names{"b", "b"}));
  const CoverageReport report = analyzer.build_report(std::span(&record, 1), 0.0);
  EXPECT_EQ(report.rule_coverage.total_rules, 10u);
  EXPECT_EQ(report.rule_coverage.rules_triggered, 6u);  // both before rules count
  EXPECT_EQ(report.rule_coverage.untriggered_rules,
            (Names{"after_x_then_y", "after_x_then_y", "seq_s_t", "never_after_n_forbidden_m"}));
}

TEST(CoverageTest, OverallValueAndThresholds) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double inf = std::numeric_limits<double>::infinity();
  // Tools: 1 of a, b, c seen. Rules: both requires engaged, before not.
  Policy policy = testing::policy_with_rules(
      {require("a"), require("b"), before(plain("b"), plain("c"))});
  policy.tools.allow = Names{"a", "b", "c"};
  policy.tools.deny = Names{"c", "a"};  // in both lists: counted once
  const CoverageAnalyzer analyzer(policy);
  const TraceCoverage record = analyzer.cover_trace("trace_0", trace_of({"a"}));
  const CoverageReport report = analyzer.build_report(std::span(&record, 1), 0.0);
  EXPECT_EQ(report.tool_coverage.total_tools_in_policy, 3u);
  const std::string text = json_of(report);
  for (const char* member :
       {"\"coverage_pct\":33.33333333333333,", "\"coverage_pct\":66.66666666666666,",
        "\"overall_coverage_pct\":49.99999999999999,"}) {
    EXPECT_NE(text.find(member), std::string::npos) << member;
  }

  const double overall = report.overall_coverage_pct;
  const struct {
    double threshold;
    bool meets;
    const char* written;
  } cases[] = {
      {overall, true, "49.99999999999999"},
      {50.0, false, "50.0"},
      {nan, false, "null"},
      {inf, false, "null"},
      {-inf, true, "null"},
      {-0.0, true, "-0.0"},
      {1e16, false, "1e+16"},
  };
  for (const auto& c : cases) {
    const CoverageReport r = analyzer.build_report(std::span(&record, 1), c.threshold);
    EXPECT_EQ(r.meets_threshold, c.meets) << c.written;
    const std::string json = json_of(r);
    EXPECT_EQ(json.substr(json.rfind("\"threshold\":")),
              "\"threshold\":" + std::string(c.written) + "}");
  }

  // No traces: nothing seen, every rule untriggered, still met at 0.0 when
  // there is something to cover; with nothing to cover never met.
  const CoverageReport none = analyzer.build_report({}, 0.0);
  EXPECT_EQ(none.overall_coverage_pct, 0.0);
  EXPECT_TRUE(none.meets_threshold);
  EXPECT_EQ(none.rule_coverage.untriggered_rules,
            (Names{"require_a", "require_b", "before_b_then_c"}));
  EXPECT_EQ(none.high_risk_gaps.size(), 2u);
  EXPECT_FALSE(analyze(Policy{}, {trace_of({"a"})}, -inf).meets_threshold);

  // Only blocklist rules: no policy tools, and any trace engages every rule.
  const Policy blocklist_only = testing::policy_with_rules({{SequenceRule::Blocklist{"rm"}}});
  const CoverageReport blocked = analyze(blocklist_only, {trace_of({})});
  EXPECT_EQ(blocked.tool_coverage.total_tools_in_policy, 0u);
  EXPECT_EQ(blocked.overall_coverage_pct, 100.0);
  EXPECT_TRUE(blocked.high_risk_gaps.empty());
}

TEST(CoverageTest, NamesAreEscapedInJson) {
  Policy policy;
  policy.tools.deny = Names{"q\"t\\\n"};
  const std::string text = json_of(analyze(policy, {trace_of({"\x01"})}));
  EXPECT_NE(text.find("\"unseen_tools\":[\"q\\\"t\\\\\\n\"]"), std::string::npos) << text;
  EXPECT_NE(text.find("\"unexpected_tools\":[\"\\u0001\"]"), std::string::npos) << text;
  EXPECT_NE(text.find("{\"tool\":\"q\\\"t\\\\\\n\""), std::string::npos) << text;
}

TEST(CoverageTest, OneAnalyzerServesConcurrentCallers) {
  const CoverageAnalyzer analyzer(testing::policy_with_rules(
      {before(CallSelector::Matching("a", {{"p", "^\\d+$"}}), plain("b"))}));
  const std::vector<ToolCall> trace = {testing::call_with("a", "p", JsonValue("\u0663")),
                                       testing::call("b")};
  std::vector<int> agreed(4, 0);
  std::vector<std::thread> threads;
  for (int& count : agreed) {
    threads.emplace_back([&] {
      for (int i = 0; i < 200; ++i) {
        count += analyzer.rules_triggered(trace) == Names{"before_a_then_b"};
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(agreed, std::vector<int>(4, 200));
}

}  // namespace
}  // namespace ossel
