#include "ossel/explain.h"

#include "explain/check_text.h"
#include "explain/compiled_policy.h"
#include "explain/explanation_json.h"
#include "explain/replay.h"

namespace ossel {

struct TraceExplainer::Compiled {
  explicit Compiled(Policy p) : policy(std::move(p)), compiled(policy) {}
  Policy policy;
  explain::CompiledPolicy compiled;  // built from `policy` above
};

namespace {

// Builds a context object from the members emit_context feeds it.
class ContextValue {
 public:
  void begin() { object_ = JsonObject(); }
  void end() {}
  void selector(std::string_view key, const explain::CompiledSelector& selector) {
    object_.insert_or_assign(std::string(key), selector.value);
  }
  void steps(std::string_view key, const explain::CompiledRule& rule) {
    object_.insert_or_assign(std::string(key), rule.steps_value);
  }
  void number(std::string_view key, uint64_t value) {
    object_.insert_or_assign(std::string(key), JsonValue(value));
  }
  void flag(std::string_view key, bool value) { object_.insert_or_assign(std::string(key), JsonValue(value)); }

  JsonValue take() { return JsonValue(std::move(object_)); }

 private:
  JsonObject object_;
};

RuleEvaluation evaluation_record(const explain::CompiledPolicy& policy,
                                 const explain::CheckOutcome& outcome, std::string_view tool,
                                 size_t position) {
  const explain::CompiledRule& rule = policy.rules()[outcome.rule];
  RuleEvaluation record;
  record.rule_id = policy.rule_id(rule.id_class);
  record.rule_type = kRuleTypeWords[static_cast<size_t>(rule.kind)];
  record.passed = outcome.passed;
  explain::append_explanation(policy, outcome, tool, position, record.explanation);
  ContextValue context;
  if (explain::emit_context(policy, outcome, position, context)) record.context = context.take();
  return record;
}

ExplainedStep step_record(const explain::CompiledPolicy& policy, const explain::JudgedStep& step,
                          const explain::ExplainState& state) {
  const std::string& tool = step.call->tool;
  ExplainedStep record;
  record.index = step.index;
  record.tool = tool;
  record.args = step.call->args;
  record.verdict = step.blocked ? Verdict::kBlocked : Verdict::kAllowed;
  record.rules_evaluated.reserve(step.checks.size() + step.end_failures.size() + 1);
  if (step.tools != explain::ToolsCheck::kPassed) {
    RuleEvaluation& tools = record.rules_evaluated.emplace_back();
    tools.rule_id = explain::tools_rule_id(step.tools);
    tools.rule_type = explain::tools_rule_type(step.tools);
    tools.passed = false;
    explain::append_tools_explanation(step.tools, tool, tools.explanation);
  }
  for (const explain::CheckOutcome& outcome : step.checks) {
    record.rules_evaluated.push_back(evaluation_record(policy, outcome, tool, step.index));
  }
  for (const explain::CheckOutcome& outcome : step.end_failures) {
    record.rules_evaluated.push_back(evaluation_record(policy, outcome, tool, step.index));
  }
  record.state_snapshot.reserve(state.tools().size());
  for (const explain::TraceTool& called : state.tools()) {
    record.state_snapshot.emplace_back("calls:" + called.name, std::to_string(called.count));
  }
  return record;
}

}  // namespace

TraceExplainer::TraceExplainer(Policy policy) : compiled_(std::make_unique<const Compiled>(std::move(policy))) {}
TraceExplainer::~TraceExplainer() = default;
TraceExplainer::TraceExplainer(TraceExplainer&&) noexcept = default;
TraceExplainer& TraceExplainer::operator=(TraceExplainer&&) noexcept = default;

const Policy& TraceExplainer::policy() const { return compiled_->policy; }

TraceExplanation TraceExplainer::explain(std::span<const ToolCall> calls) const {
  const explain::CompiledPolicy& policy = compiled_->compiled;
  TraceExplanation result;
  result.policy_name = compiled_->policy.name;
  result.policy_version = compiled_->policy.version;
  result.total_steps = calls.size();
  result.steps.reserve(calls.size());
  explain::ReplaySummary summary =
      explain::replay(policy, calls, [&](const explain::JudgedStep& step, const explain::ExplainState& state) {
        result.steps.push_back(step_record(policy, step, state));
        return true;
      });
  result.allowed_steps = summary.allowed_steps;
  result.blocked_steps = summary.blocked_steps;
  result.first_block_index = summary.first_block_index;
  for (uint32_t id : summary.blocking_rules) result.blocking_rules.push_back(policy.rule_id(id));
  return result;
}

std::string TraceExplainer::explain_json(std::span<const ToolCall> calls) const {
  std::string out;
  explain::write_explanation_json(compiled_->policy, compiled_->compiled, calls, out);
  return out;
}

bool TraceExplainer::explain_json_pieces(std::span<const ToolCall> calls, size_t piece_size,
                                         const JsonPieceSink& sink) const {
  return explain::write_explanation_json_pieces(compiled_->policy, compiled_->compiled, calls, piece_size, sink);
}

TraceExplanation explain_trace(const Policy& policy, std::span<const ToolCall> calls) {
  return TraceExplainer(policy.clone()).explain(calls);
}

}  // namespace ossel
