#include "ossel/coverage.h"

#include <string_view>
#include <unordered_set>

#include "ossel/ordered_map.h"
#include "ossel/sequence_eval.h"
#include "overloaded.h"
#include "rule_identifier.h"

namespace ossel {
namespace {

constexpr std::string_view kGapReason = "Tool is in deny list but never appeared in test traces";
constexpr std::string_view kGapSeverity = "high";

using NameSet = std::unordered_set<std::string_view>;

double percentage(size_t part, size_t total) {
  if (total == 0) return 0.0;
  // Divide first, then scale: 1 of 3 gives 33.33333333333333.
  return static_cast<double>(part) / static_cast<double>(total) * 100.0;
}

}  // namespace

std::string coverage_id(const SequenceRule& rule) {
  return rule_identifier(rule, {.strict = "strict", .loose = "seq"});
}

// Everything the analyzer needs from the policy, built once at construction
// and only read afterwards, so concurrent calls share it safely.
struct CoverageAnalyzer::Data {
  struct PolicyTool {
    std::string name;
    bool high_risk = false;
    // The other names whose call exercises this one: for an alias name its
    // members, for any other name the aliases that list it.
    std::vector<std::string> covered_by;
  };

  explicit Data(const Policy& policy) : evaluator(policy) {
    add_tools(policy);
    std::vector<std::string> distinct_ids;
    TextHashMap<size_t> id_slots;
    for (const SequenceRule& rule : policy.sequences) {
      std::string id = coverage_id(rule);
      auto [slot, inserted] = id_slots.emplace(id, id_slots.size());
      rule_slots.push_back(slot->second);
      if (inserted) slot_ids.push_back(id);
      rule_ids.push_back(std::move(id));
    }
  }

  // Every tool name the policy mentions, in the order of first mention.
  void add_tools(const Policy& policy) {
    const ToolsPolicy& tools = policy.tools;
    if (tools.allow) {
      for (const std::string& name : *tools.allow) add_tool(name);
    }
    if (tools.deny) {
      for (const std::string& name : *tools.deny) add_tool(name).high_risk = true;
    }
    if (tools.require_args) {
      for (const auto& [name, args] : *tools.require_args) add_tool(name);
    }
    for (const SequenceRule& rule : policy.sequences) {
      std::visit(Overloaded{
                     [&](const SequenceRule::Require& r) { add_tool(r.tool.tool); },
                     [&](const SequenceRule::Eventually& r) { add_tool(r.tool.tool); },
                     [&](const SequenceRule::MaxCalls& r) { add_tool(r.tool.tool); },
                     [&](const SequenceRule::Before& r) {
                       add_tool(r.first.tool);
                       add_tool(r.then.tool);
                     },
                     [&](const SequenceRule::After& r) {
                       add_tool(r.trigger.tool);
                       add_tool(r.then.tool);
                     },
                     [&](const SequenceRule::NeverAfter& r) {
                       add_tool(r.trigger.tool);
                       add_tool(r.forbidden.tool).high_risk = true;
                     },
                     [&](const SequenceRule::Sequence& r) {
                       for (const CallSelector& step : r.tools) add_tool(step.tool);
                     },
                     // A blocklist pattern names no tool. Its high-risk entry
                     // ("*pattern*") could never yield a gap, so it is not kept.
                     [](const SequenceRule::Blocklist&) {},
                 },
                 rule.body);
    }
    for (const auto& [alias, members] : policy.aliases) {
      add_tool(alias);
      for (const std::string& member : members) add_tool(member);
    }
    for (const auto& [alias, members] : policy.aliases) {
      known_tool(alias).covered_by = members;
      for (const std::string& member : members) {
        // An alias name is exercised only through its own members.
        if (policy.aliases.contains(member)) continue;
        std::vector<std::string>& covered_by = known_tool(member).covered_by;
        if (covered_by.empty() || covered_by.back() != alias) covered_by.push_back(alias);
      }
    }
  }

  PolicyTool& add_tool(const std::string& name) {
    auto [slot, inserted] = tool_index.emplace(name, policy_tools.size());
    if (inserted) policy_tools.push_back(PolicyTool{name, false, {}});
    return policy_tools[slot->second];
  }

  PolicyTool& known_tool(std::string_view name) {
    return policy_tools[tool_index.find(name)->second];
  }

  bool is_known_tool(std::string_view name) const { return tool_index.contains(name); }

  // Whether a policy tool was exercised: called itself, or, one alias level,
  // an alias name called for one of its members or a member called for an
  // alias name.
  static bool is_covered(const PolicyTool& tool, const NameSet& seen) {
    if (seen.contains(tool.name)) return true;
    for (const std::string& name : tool.covered_by) {
      if (seen.contains(name)) return true;
    }
    return false;
  }

  RuleEvaluator evaluator;
  std::vector<std::string> rule_ids;  // one per rule, in policy order
  std::vector<size_t> rule_slots;     // per rule, the index of its id in slot_ids
  std::vector<std::string> slot_ids;  // the distinct ids, in first-rule order
  std::vector<PolicyTool> policy_tools;
  TextHashMap<size_t> tool_index;  // name to its position in policy_tools
};

CoverageAnalyzer::CoverageAnalyzer(const Policy& policy)
    : data_(std::make_unique<const Data>(policy)) {}
CoverageAnalyzer::~CoverageAnalyzer() = default;
CoverageAnalyzer::CoverageAnalyzer(CoverageAnalyzer&&) noexcept = default;
CoverageAnalyzer& CoverageAnalyzer::operator=(CoverageAnalyzer&&) noexcept = default;

std::vector<std::string> CoverageAnalyzer::rules_triggered(std::span<const ToolCall> calls) const {
  ProgressCheck never_stops;
  return std::move(rules_triggered(calls, never_stops)).value();
}

Result<std::vector<std::string>> CoverageAnalyzer::rules_triggered(std::span<const ToolCall> calls,
                                                                   ProgressCheck& progress) const {
  const Data& data = *data_;
  std::vector<std::string> triggered;
  std::vector<bool> slot_done(data.slot_ids.size(), false);
  for (size_t rule = 0; rule < data.rule_ids.size(); ++rule) {
    const size_t slot = data.rule_slots[rule];
    // Once one rule has put an identifier in, a rule sharing it adds nothing.
    if (slot_done[slot]) continue;
    // Counted before the rule's pass over the trace, so even one long trace
    // is asked about between its rules.
    if (!progress.advance(calls.size())) return Error{kStoppedMessage};
    if (!data.evaluator.engaged(rule, calls)) continue;
    slot_done[slot] = true;
    triggered.push_back(data.slot_ids[slot]);
  }
  return triggered;
}

TraceCoverage CoverageAnalyzer::cover_trace(std::string trace_id,
                                            std::span<const ToolCall> calls) const {
  ProgressCheck never_stops;
  return std::move(cover_trace(std::move(trace_id), calls, never_stops)).value();
}

Result<TraceCoverage> CoverageAnalyzer::cover_trace(std::string trace_id, std::span<const ToolCall> calls,
                                                    ProgressCheck& progress) const {
  Result<std::vector<std::string>> triggered = rules_triggered(calls, progress);
  if (!triggered) return triggered.error();
  TraceCoverage record;
  record.trace_id = std::move(trace_id);
  record.tool_names.reserve(calls.size());
  for (const ToolCall& call : calls) record.tool_names.push_back(call.tool);
  record.triggered_rules = std::move(triggered).value();
  return record;
}

CoverageReport CoverageAnalyzer::build_report(std::span<const TraceCoverage> records,
                                              double threshold) const {
  ProgressCheck never_stops;
  return std::move(build_report(records, threshold, never_stops)).value();
}

Result<CoverageReport> CoverageAnalyzer::build_report(std::span<const TraceCoverage> records,
                                                      double threshold, ProgressCheck& progress) const {
  const Data& data = *data_;
  CoverageReport report;

  NameSet seen;
  NameSet triggered;
  size_t known_seen = 0;
  ToolCoverage& tools = report.tool_coverage;
  for (const TraceCoverage& record : records) {
    if (!progress.advance(record.tool_names.size())) return Error{kStoppedMessage};
    for (const std::string& name : record.tool_names) {
      if (!seen.insert(name).second) continue;
      if (data.is_known_tool(name)) {
        ++known_seen;
      } else {
        tools.unexpected_tools.push_back(name);
      }
    }
    triggered.insert(record.triggered_rules.begin(), record.triggered_rules.end());
  }

  tools.total_tools_in_policy = data.policy_tools.size();
  tools.tools_seen_in_traces = known_seen;
  tools.coverage_pct = percentage(known_seen, tools.total_tools_in_policy);
  for (const Data::PolicyTool& tool : data.policy_tools) {
    if (Data::is_covered(tool, seen)) continue;
    tools.unseen_tools.push_back(tool.name);
    // A deny-list name that begins with "*" is never reported as a gap.
    if (tool.high_risk && !tool.name.starts_with('*')) {
      report.high_risk_gaps.push_back(
          HighRiskGap{tool.name, std::string(kGapReason), std::string(kGapSeverity)});
    }
  }

  RuleCoverage& rules = report.rule_coverage;
  rules.total_rules = data.rule_ids.size();
  for (const std::string& id : data.rule_ids) {
    if (triggered.contains(id)) {
      ++rules.rules_triggered;
    } else {
      rules.untriggered_rules.push_back(id);
    }
  }
  rules.coverage_pct = percentage(rules.rules_triggered, rules.total_rules);

  // The mean over the kinds the policy has at all; nothing to cover never
  // meets a threshold. The comparison is false for a NaN threshold.
  const int kinds = (tools.total_tools_in_policy > 0 ? 1 : 0) + (rules.total_rules > 0 ? 1 : 0);
  if (kinds > 0) {
    report.overall_coverage_pct = (tools.coverage_pct + rules.coverage_pct) / kinds;
    report.meets_threshold = report.overall_coverage_pct >= threshold;
  }
  report.threshold = threshold;
  return report;
}

}  // namespace ossel
