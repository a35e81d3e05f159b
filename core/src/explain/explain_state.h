// The running state of one trace replay, kept incrementally.
//
// Every check is a function of the calls made so far. Instead of rescanning
// the history at each call, the state keeps per rule exactly the summary a
// check needs (a seen flag, a group count, the latest trigger and whether it
// has been answered since, a sequence's progress), so the cost of one call
// depends on the policy, not on the length of the trace.
#ifndef OSSEL_EXPLAIN_EXPLAIN_STATE_H_
#define OSSEL_EXPLAIN_EXPLAIN_STATE_H_

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "explain/compiled_policy.h"
#include "ossel/ordered_map.h"

namespace ossel::explain {

// Which message a check produced; the numbers and flags it quotes travel in
// CheckOutcome.
enum class Message : uint8_t {
  kRequireCheckedAtEnd,
  kRequireNeverCalled,  // end of trace
  kEventuallySeen,
  kEventuallyMissed,
  kEventuallyWaiting,
  kMaxCallsExceeded,
  kMaxCallsCount,
  kBeforeFirstCalled,
  kBeforeFirstMissing,
  kBeforeNotApplicable,
  kAfterTriggered,
  kAfterWaiting,
  kAfterSatisfied,
  kAfterTooLate,
  kAfterPending,
  kAfterOverdue,
  kAfterNeverAnswered,  // end of trace
  kNeverAfterViolated,
  kNeverAfterArmed,
  kNeverAfterTriggered,
  kNeverAfterWaiting,
  kSequenceComplete,
  kSequenceStep,
  kSequenceWaitingStart,
  kSequenceStrictMismatch,
  kSequenceOrderViolated,
  kSequenceWaiting,
  kBlocklistListed,
  kBlocklistClear,
};

// One rule judged at one call (or at the end of the trace), before it is
// rendered as text.
struct CheckOutcome {
  uint32_t rule = 0;  // index into the policy's rules
  Message message = Message::kRequireCheckedAtEnd;
  bool passed = true;
  // eventually: seen; before: first seen; never_after: triggered.
  bool flag = false;
  bool is_then_call = false;  // before
  // max_calls: the count; sequence: the progress; after and never_after:
  // the trigger position.
  uint64_t value = 0;
  // after: the deadline; at the end of the trace also the trace length.
  uint64_t deadline = 0;
  uint64_t trace_length = 0;
};

// A distinct tool name of the trace, in the order of first call.
struct TraceTool {
  std::string name;
  uint32_t count = 0;
  uint32_t policy_name = CompiledPolicy::kNotInPolicy;
  ToolsCheck tools = ToolsCheck::kPassed;
};

class ExplainState {
 public:
  explicit ExplainState(const CompiledPolicy& policy);

  // Starts the call at the next position: finds its tool and marks the
  // selectors it matches.
  void begin_call(std::string_view tool);

  ToolsCheck tools_check() const { return tools_[current_].tools; }
  // Judges rule `k` on the state before the current call.
  CheckOutcome check_rule(uint32_t k) const;
  // Folds the current call into the state.
  void observe();

  // The rules the trace as a whole leaves unsatisfied, in policy order.
  std::vector<CheckOutcome> finish() const;

  // The call counts, every tool called so far in first-call order.
  const std::vector<TraceTool>& tools() const { return tools_; }
  // The index into tools() of the current call's tool.
  uint32_t current_tool() const { return current_; }

 private:
  // What one rule remembers of the calls observed so far.
  struct RuleState {
    bool flag = false;       // require, eventually: matched; before: first seen;
                             // after, never_after: triggered
    bool answered = false;   // after: a then call followed the latest trigger
    uint32_t count = 0;      // max_calls: calls of the group
    size_t position = 0;     // after: latest trigger; never_after: first trigger
    size_t progress = 0;     // sequence: steps matched
  };

  bool matches(uint32_t selector) const {
    return match_stamp_[policy_.selector(selector).match_class] == stamp_;
  }
  uint32_t multiplicity(uint32_t selector) const;
  bool matches_later_step(const CompiledRule& rule, size_t progress) const;

  const CompiledPolicy& policy_;
  std::vector<TraceTool> tools_;
  TextHashMap<uint32_t> tool_index_;
  std::vector<RuleState> rules_;
  // Per match class, the stamp of the latest call that matched it; the
  // current call matches a class when its stamp equals stamp_.
  std::vector<uint64_t> match_stamp_;
  std::vector<uint32_t> match_multiplicity_;
  uint64_t stamp_ = 0;
  size_t position_ = 0;      // position of the current call
  size_t observed_ = 0;      // calls folded in so far
  uint32_t current_ = 0;
};

}  // namespace ossel::explain

#endif  // OSSEL_EXPLAIN_EXPLAIN_STATE_H_
