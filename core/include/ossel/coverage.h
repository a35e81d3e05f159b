// The coverage analyzer: how well a set of traces exercises a policy's tools
// and sequence rules.
#ifndef OSSEL_COVERAGE_H_
#define OSSEL_COVERAGE_H_

#include <memory>
#include <span>
#include <string>
#include <vector>

#include "ossel/policy.h"
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

class CoverageAnalyzer {
 public:
  explicit CoverageAnalyzer(const Policy& policy);
  ~CoverageAnalyzer();
  CoverageAnalyzer(CoverageAnalyzer&&) noexcept;
  CoverageAnalyzer& operator=(CoverageAnalyzer&&) noexcept;

  // Evaluates every rule over one whole trace and keeps what the report needs.
  TraceCoverage cover_trace(std::string trace_id, std::span<const ToolCall> calls) const;

  CoverageReport build_report(std::span<const TraceCoverage> records, double threshold) const;

 private:
  struct Data;
  std::unique_ptr<const Data> data_;
};

}  // namespace ossel

#endif  // OSSEL_COVERAGE_H_
