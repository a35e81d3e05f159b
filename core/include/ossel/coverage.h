// The coverage analyzer: how well a set of traces exercises a policy's tools
// and sequence rules.
#ifndef OSSEL_COVERAGE_H_
#define OSSEL_COVERAGE_H_

#include <cstddef>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "ossel/policy.h"
#include "ossel/progress.h"
#include "ossel/result.h"
#include "ossel/tool_call.h"

namespace ossel {

// What the analysis keeps of one trace.
struct TraceCoverage {
  std::string trace_id;
  std::vector<std::string> tool_names;       // every call's tool name, in call order
  std::vector<std::string> triggered_rules;  // distinct coverage ids, first-triggered order
};

struct ToolCoverage {
  size_t total_tools_in_policy = 0;
  size_t tools_seen_in_traces = 0;
  double coverage_pct = 0.0;
  std::vector<std::string> unseen_tools;
  std::vector<std::string> unexpected_tools;
};

struct RuleCoverage {
  size_t total_rules = 0;
  size_t rules_triggered = 0;
  double coverage_pct = 0.0;
  std::vector<std::string> untriggered_rules;
};

struct HighRiskGap {
  std::string tool;
  std::string reason;
  std::string severity;
};

struct PolicyViolation {
  std::string trace_id;
  std::string tool;
  std::string error_code;
  std::string reason;
};

struct PolicyWarning {
  std::string trace_id;
  std::string tool;
  std::string warning_code;
  std::string reason;
};

struct CoverageReport {
  ToolCoverage tool_coverage;
  RuleCoverage rule_coverage;
  std::vector<HighRiskGap> high_risk_gaps;
  std::vector<PolicyViolation> policy_violations;
  std::vector<PolicyWarning> policy_warnings;
  double overall_coverage_pct = 0.0;
  bool meets_threshold = false;
  double threshold = 0.0;
};

// Appends the compact JSON text of the report; every member is always written.
void append_json(const CoverageReport& report, std::string& out);

// The rule's coverage identifier: its kind and its selectors' tool names
// (never the args_match keys), lower-cased: "require_read_file",
// "eventually_search_3", "before_a_then_b", "strict_login_fetch",
// "seq_login_fetch", "blocklist_rm". Rules that differ only in args_match or
// in an after rule's `within` share one identifier.
std::string coverage_id(const SequenceRule& rule);

class CoverageAnalyzer {
 public:
  explicit CoverageAnalyzer(const Policy& policy);
  ~CoverageAnalyzer();
  CoverageAnalyzer(CoverageAnalyzer&&) noexcept;
  CoverageAnalyzer& operator=(CoverageAnalyzer&&) noexcept;

  // Evaluates every rule over one whole trace and keeps what the report needs.
  TraceCoverage cover_trace(std::string trace_id, std::span<const ToolCall> calls) const;
  // The same, counting the calls each rule's pass goes over on `progress`;
  // Error{kStoppedMessage} once it says stop.
  Result<TraceCoverage> cover_trace(std::string trace_id, std::span<const ToolCall> calls,
                                    ProgressCheck& progress) const;

  // The distinct coverage identifiers of the rules the trace engaged (held or
  // broke), in the order of the first rule engaged with each.
  std::vector<std::string> rules_triggered(std::span<const ToolCall> calls) const;

  // The report over every record. Lists the policy's names in the order the
  // policy first mentions them (allow, deny, require_args keys, rule tools in
  // rule order, then alias names and members), unexpected tools in first-call
  // order, untriggered rules in policy order. A NaN threshold is never met.
  CoverageReport build_report(std::span<const TraceCoverage> records, double threshold) const;
  // The same, counting every record's calls on `progress`; Error{kStoppedMessage}
  // once it says stop.
  Result<CoverageReport> build_report(std::span<const TraceCoverage> records, double threshold,
                                      ProgressCheck& progress) const;

 private:
  Result<std::vector<std::string>> rules_triggered(std::span<const ToolCall> calls,
                                                   ProgressCheck& progress) const;

  struct Data;
  std::unique_ptr<const Data> data_;
};

}  // namespace ossel

#endif  // OSSEL_COVERAGE_H_
