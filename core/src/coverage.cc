// Placeholder until the coverage engine lands: reports nothing covered.
#include "ossel/coverage.h"

#include "ossel/json.h"

namespace ossel {

struct CoverageAnalyzer::Data {};

CoverageAnalyzer::CoverageAnalyzer(const Policy&) : data_(std::make_unique<const Data>()) {}
CoverageAnalyzer::~CoverageAnalyzer() = default;
CoverageAnalyzer::CoverageAnalyzer(CoverageAnalyzer&&) noexcept = default;
CoverageAnalyzer& CoverageAnalyzer::operator=(CoverageAnalyzer&&) noexcept = default;

TraceCoverage CoverageAnalyzer::cover_trace(std::string trace_id,
                                            std::span<const ToolCall> calls) const {
  TraceCoverage record;
  record.trace_id = std::move(trace_id);
  for (const ToolCall& call : calls) record.tool_names.push_back(call.tool);
  return record;
}

CoverageReport CoverageAnalyzer::build_report(std::span<const TraceCoverage>,
                                              double threshold) const {
  CoverageReport report;
  report.threshold = threshold;
  return report;
}

void append_json(const CoverageReport& report, std::string& out) {
  JsonWriter w(out);
  w.begin_object();
  w.key("threshold");
  w.number(report.threshold);
  w.end_object();
}

}  // namespace ossel
