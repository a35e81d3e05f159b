// The per-call judgement of each rule kind, read from the state as it stood
// before the call.
#include "explain/explain_state.h"

namespace ossel::explain {

bool ExplainState::matches_later_step(const CompiledRule& rule, size_t progress) const {
  for (size_t s = progress + 1; s < rule.selectors.size(); ++s) {
    if (matches(rule.selectors[s])) return true;
  }
  return false;
}

CheckOutcome ExplainState::check_rule(uint32_t k) const {
  const CompiledRule& rule = policy_.rules()[k];
  const RuleState& state = rules_[k];
  const size_t i = position_;
  CheckOutcome out{.rule = k};
  auto fail = [&](Message message) {
    out.message = message;
    out.passed = false;
  };
  switch (rule.kind) {
    case RuleKind::kRequire:
      out.message = Message::kRequireCheckedAtEnd;
      break;

    case RuleKind::kEventually:
      out.flag = state.flag || matches(rule.selectors[0]);
      if (out.flag) {
        out.message = Message::kEventuallySeen;
      } else if (rule.number <= static_cast<uint32_t>(i)) {
        // The window is compared on 32-bit values, the position reduced to
        // its low 32 bits.
        fail(Message::kEventuallyMissed);
      } else {
        out.message = Message::kEventuallyWaiting;
      }
      break;

    case RuleKind::kMaxCalls: {
      uint32_t count = state.count + (matches(rule.selectors[0]) ? 1u : 0u);
      out.value = count;
      if (count > rule.number) {
        fail(Message::kMaxCallsExceeded);
      } else {
        out.message = Message::kMaxCallsCount;
      }
      break;
    }

    case RuleKind::kBefore:
      out.flag = state.flag;  // first seen, before this call
      out.is_then_call = matches(rule.selectors[1]);
      if (!out.is_then_call) {
        out.message = Message::kBeforeNotApplicable;
      } else if (out.flag) {
        out.message = Message::kBeforeFirstCalled;
      } else {
        fail(Message::kBeforeFirstMissing);
      }
      break;

    case RuleKind::kAfter: {
      out.value = state.position;
      out.deadline = state.position + size_t{rule.number};
      const bool pending = state.flag && !state.answered;
      if (!pending) {
        out.message = matches(rule.selectors[0]) ? Message::kAfterTriggered : Message::kAfterWaiting;
      } else if (matches(rule.selectors[1])) {
        if (out.deadline >= i) {
          out.message = Message::kAfterSatisfied;
        } else {
          fail(Message::kAfterTooLate);
        }
      } else if (out.deadline >= i) {
        out.message = Message::kAfterPending;
      } else {
        fail(Message::kAfterOverdue);
      }
      break;
    }

    case RuleKind::kNeverAfter: {
      out.value = state.position;
      const bool is_trigger = matches(rule.selectors[0]);
      out.flag = state.flag || is_trigger;
      if (state.flag) {
        if (matches(rule.selectors[1])) {
          fail(Message::kNeverAfterViolated);
        } else {
          out.message = Message::kNeverAfterArmed;
        }
      } else {
        out.message = is_trigger ? Message::kNeverAfterTriggered : Message::kNeverAfterWaiting;
      }
      break;
    }

    case RuleKind::kSequence: {
      const size_t p = state.progress;
      out.value = p;
      if (p >= rule.selectors.size()) {
        out.message = Message::kSequenceComplete;
      } else if (matches(rule.selectors[p])) {
        out.message = Message::kSequenceStep;
      } else if (rule.strict) {
        if (p == 0) {
          out.message = Message::kSequenceWaitingStart;
        } else {
          fail(Message::kSequenceStrictMismatch);
        }
      } else if (matches_later_step(rule, p)) {
        fail(Message::kSequenceOrderViolated);
      } else {
        out.message = Message::kSequenceWaiting;
      }
      break;
    }

    case RuleKind::kBlocklist:
      if (std::string_view(tools_[current_].name).find(rule.pattern) != std::string_view::npos) {
        fail(Message::kBlocklistListed);
      } else {
        out.message = Message::kBlocklistClear;
      }
      break;
  }
  return out;
}

}  // namespace ossel::explain
