// The replay loop shared by the record builder and the direct JSON writer:
// judges every call in order, decides its verdict, and gathers the summary.
#ifndef OSSEL_EXPLAIN_REPLAY_H_
#define OSSEL_EXPLAIN_REPLAY_H_

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "explain/compiled_policy.h"
#include "explain/explain_state.h"
#include "ossel/tool_call.h"

namespace ossel::explain {

// One call, judged: what a step record is built from.
struct JudgedStep {
  size_t index = 0;
  const ToolCall* call = nullptr;
  ToolsCheck tools = ToolsCheck::kPassed;  // the tools check; a failure comes first
  std::vector<CheckOutcome> checks;        // one per rule, in policy order
  std::vector<CheckOutcome> end_failures;  // last step only: what the trace leaves unsatisfied
  bool blocked = false;
};

struct ReplaySummary {
  size_t allowed_steps = 0;
  size_t blocked_steps = 0;
  std::optional<size_t> first_block_index;
  // Distinct identifiers (CompiledPolicy::rule_id) in order of first appearance.
  std::vector<uint32_t> blocking_rules;
};

// Replays `calls`, handing each judged step to `on_step(const JudgedStep&,
// const ExplainState&)`; the state then already counts the step's call.
// The step object is reused from call to call. `on_step` returns false to stop
// the replay there; the summary then covers only the steps handed on.
template <class OnStep>
ReplaySummary replay(const CompiledPolicy& policy, std::span<const ToolCall> calls, OnStep&& on_step) {
  ReplaySummary summary;
  std::vector<bool> listed(policy.rule_id_count(), false);
  auto list = [&](uint32_t id) {
    if (listed[id]) return;
    listed[id] = true;
    summary.blocking_rules.push_back(id);
  };

  ExplainState state(policy);
  JudgedStep step;
  const uint32_t rule_count = static_cast<uint32_t>(policy.rules().size());
  // Every step has one check per rule, so the slots are made once and
  // overwritten from call to call.
  step.checks.resize(rule_count);
  for (size_t i = 0; i < calls.size(); ++i) {
    step.index = i;
    step.call = &calls[i];
    state.begin_call(calls[i].tool);

    // The first failure decides the step; later failures are recorded only.
    std::optional<uint32_t> reason;
    step.tools = state.tools_check();
    if (step.tools == ToolsCheck::kDenied) reason = kDenyListId;
    if (step.tools == ToolsCheck::kNotAllowed) reason = kAllowListId;
    for (uint32_t k = 0; k < rule_count; ++k) {
      const CheckOutcome& outcome = step.checks[k] = state.check_rule(k);
      if (!outcome.passed && !reason) reason = policy.rules()[k].id_class;
    }
    state.observe();

    step.blocked = reason.has_value();
    if (step.blocked) {
      ++summary.blocked_steps;
      if (!summary.first_block_index) summary.first_block_index = i;
      list(*reason);
    } else {
      ++summary.allowed_steps;
    }
    // The end-of-trace failures join the last step's records without
    // changing its verdict.
    if (i + 1 == calls.size()) {
      step.end_failures = state.finish();
      for (const CheckOutcome& failure : step.end_failures) list(policy.rules()[failure.rule].id_class);
    }
    if (!on_step(static_cast<const JudgedStep&>(step), static_cast<const ExplainState&>(state))) break;
  }
  return summary;
}

}  // namespace ossel::explain

#endif  // OSSEL_EXPLAIN_REPLAY_H_
