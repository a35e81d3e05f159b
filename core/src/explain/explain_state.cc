#include "explain/explain_state.h"

namespace ossel::explain {

ExplainState::ExplainState(const CompiledPolicy& policy)
    : policy_(policy),
      rules_(policy.rules().size()),
      match_stamp_(policy.match_class_count(), 0),
      match_multiplicity_(policy.match_class_count(), 0) {}

void ExplainState::begin_call(std::string_view tool) {
  position_ = observed_;
  stamp_ = static_cast<uint64_t>(position_) + 1;
  auto [it, inserted] = tool_index_.try_emplace(std::string(tool), static_cast<uint32_t>(tools_.size()));
  if (inserted) {
    TraceTool& added = tools_.emplace_back();
    added.name = tool;
    added.policy_name = policy_.find_name(tool);
    added.tools = added.policy_name == CompiledPolicy::kNotInPolicy
                      ? policy_.unnamed_tools_check()
                      : policy_.names()[added.policy_name].tools;
  }
  current_ = it->second;
  if (uint32_t name = tools_[current_].policy_name; name != CompiledPolicy::kNotInPolicy) {
    for (const PolicyName::Membership& m : policy_.names()[name].memberships) {
      match_stamp_[m.match_class] = stamp_;
      match_multiplicity_[m.match_class] = m.multiplicity;
    }
  }
}

uint32_t ExplainState::multiplicity(uint32_t selector) const {
  return matches(selector) ? match_multiplicity_[policy_.selector(selector).match_class] : 0;
}

void ExplainState::observe() {
  TraceTool& tool = tools_[current_];
  ++tool.count;
  const std::vector<CompiledRule>& rules = policy_.rules();
  for (size_t k = 0; k < rules.size(); ++k) {
    const CompiledRule& rule = rules[k];
    RuleState& state = rules_[k];
    switch (rule.kind) {
      case RuleKind::kRequire:
      case RuleKind::kEventually:
        state.flag = state.flag || matches(rule.selectors[0]);
        break;
      case RuleKind::kMaxCalls:
        // The group count is the sum of its members' counts, so every call
        // adds as often as the group lists its name (wrapping like a u32 sum).
        state.count += multiplicity(rule.selectors[0]);
        break;
      case RuleKind::kBefore:
        // A call of the first selector's own name counts even when that name
        // is an alias group.
        state.flag = state.flag || matches(rule.selectors[0]) ||
                     tool.policy_name == policy_.selector(rule.selectors[0]).name;
        break;
      case RuleKind::kAfter:
        // Answer the standing trigger first: a call that matches both answers
        // the old trigger and then opens a new, unanswered one.
        if (state.flag && matches(rule.selectors[1])) state.answered = true;
        if (matches(rule.selectors[0])) {
          state.flag = true;
          state.position = position_;
          state.answered = false;
        }
        break;
      case RuleKind::kNeverAfter:
        if (!state.flag && matches(rule.selectors[0])) {
          state.flag = true;
          state.position = position_;
        }
        break;
      case RuleKind::kSequence:
        if (state.progress < rule.selectors.size() && matches(rule.selectors[state.progress])) {
          ++state.progress;
        }
        break;
      case RuleKind::kBlocklist:
        break;
    }
  }
  ++observed_;
}

std::vector<CheckOutcome> ExplainState::finish() const {
  std::vector<CheckOutcome> failures;
  const std::vector<CompiledRule>& rules = policy_.rules();
  for (uint32_t k = 0; k < rules.size(); ++k) {
    const RuleState& state = rules_[k];
    if (rules[k].kind == RuleKind::kRequire && !state.flag) {
      failures.push_back({.rule = k, .message = Message::kRequireNeverCalled, .passed = false});
    } else if (rules[k].kind == RuleKind::kAfter && state.flag && !state.answered) {
      failures.push_back({.rule = k,
                          .message = Message::kAfterNeverAnswered,
                          .passed = false,
                          .value = state.position,
                          .deadline = state.position + size_t{rules[k].number},
                          .trace_length = observed_});
    }
  }
  return failures;
}

}  // namespace ossel::explain
