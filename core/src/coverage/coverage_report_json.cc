#include "ossel/coverage.h"

#include <string>
#include <string_view>
#include <vector>

#include "ossel/json.h"

namespace ossel {
namespace {

// One object member, key then value, for each value type the report holds.
void member(JsonWriter& w, std::string_view key, size_t count) {
  w.key(key);
  w.unsigned_integer(count);
}
void member(JsonWriter& w, std::string_view key, double number) {
  w.key(key);
  w.number(number);
}
void member(JsonWriter& w, std::string_view key, bool flag) {
  w.key(key);
  w.boolean(flag);
}
void member(JsonWriter& w, std::string_view key, const std::string& text) {
  w.key(key);
  w.string(text);
}
void member(JsonWriter& w, std::string_view key, const std::vector<std::string>& texts) {
  w.key(key);
  w.begin_array();
  for (const std::string& text : texts) w.string(text);
  w.end_array();
}

// An array member whose elements are objects written by `write`.
template <class T, class WriteOne>
void member(JsonWriter& w, std::string_view key, const std::vector<T>& elements, WriteOne write) {
  w.key(key);
  w.begin_array();
  for (const T& element : elements) {
    w.begin_object();
    write(element);
    w.end_object();
  }
  w.end_array();
}

}  // namespace

void append_json(const CoverageReport& report, std::string& out) {
  JsonWriter w(out);
  const ToolCoverage& tools = report.tool_coverage;
  const RuleCoverage& rules = report.rule_coverage;
  w.begin_object();
  w.key("tool_coverage");
  w.begin_object();
  member(w, "total_tools_in_policy", tools.total_tools_in_policy);
  member(w, "tools_seen_in_traces", tools.tools_seen_in_traces);
  member(w, "coverage_pct", tools.coverage_pct);
  member(w, "unseen_tools", tools.unseen_tools);
  member(w, "unexpected_tools", tools.unexpected_tools);
  w.end_object();
  w.key("rule_coverage");
  w.begin_object();
  member(w, "total_rules", rules.total_rules);
  member(w, "rules_triggered", rules.rules_triggered);
  member(w, "coverage_pct", rules.coverage_pct);
  member(w, "untriggered_rules", rules.untriggered_rules);
  w.end_object();
  member(w, "high_risk_gaps", report.high_risk_gaps, [&](const HighRiskGap& gap) {
    member(w, "tool", gap.tool);
    member(w, "reason", gap.reason);
    member(w, "severity", gap.severity);
  });
  member(w, "policy_violations", report.policy_violations, [&](const PolicyViolation& v) {
    member(w, "trace_id", v.trace_id);
    member(w, "tool", v.tool);
    member(w, "error_code", v.error_code);
    member(w, "reason", v.reason);
  });
  member(w, "policy_warnings", report.policy_warnings, [&](const PolicyWarning& v) {
    member(w, "trace_id", v.trace_id);
    member(w, "tool", v.tool);
    member(w, "warning_code", v.warning_code);
    member(w, "reason", v.reason);
  });
  member(w, "overall_coverage_pct", report.overall_coverage_pct);
  member(w, "meets_threshold", report.meets_threshold);
  member(w, "threshold", report.threshold);
  w.end_object();
}

}  // namespace ossel
