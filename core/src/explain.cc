// Placeholder until the replay engine lands: counts steps, checks nothing.
#include "ossel/explain.h"

namespace ossel {

struct TraceExplainer::Compiled {
  Policy policy;
};

TraceExplainer::TraceExplainer(Policy policy)
    : compiled_(std::make_unique<const Compiled>(Compiled{std::move(policy)})) {}
TraceExplainer::~TraceExplainer() = default;
TraceExplainer::TraceExplainer(TraceExplainer&&) noexcept = default;
TraceExplainer& TraceExplainer::operator=(TraceExplainer&&) noexcept = default;

const Policy& TraceExplainer::policy() const { return compiled_->policy; }

TraceExplanation TraceExplainer::explain(std::span<const ToolCall> calls) const {
  TraceExplanation result;
  result.policy_name = compiled_->policy.name;
  result.policy_version = compiled_->policy.version;
  result.total_steps = result.allowed_steps = calls.size();
  return result;
}

std::string TraceExplainer::explain_json(std::span<const ToolCall> calls) const {
  std::string out;
  append_json(explain(calls), out);
  return out;
}

TraceExplanation explain_trace(const Policy& policy, std::span<const ToolCall> calls) {
  return TraceExplainer(policy.clone()).explain(calls);
}

void append_json(const TraceExplanation& explanation, std::string& out) {
  JsonWriter w(out);
  w.begin_object();
  w.key("policy_name");
  w.string(explanation.policy_name);
  w.key("policy_version");
  w.string(explanation.policy_version);
  w.key("total_steps");
  w.unsigned_integer(explanation.total_steps);
  w.end_object();
}

}  // namespace ossel
