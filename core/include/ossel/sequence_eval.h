// Whole-trace rule evaluation: judges each sequence rule of a policy over one
// complete trace, after the run has ended.
//
// Each rule yields a RuleOutcome: whether the trace keeps the rule, breaks
// it, or never engaged it, the positions of the calls that decided this, and
// a message. Selectors match through the policy's aliases and apply their
// args_match patterns (selector_match.h).
#ifndef OSSEL_SEQUENCE_EVAL_H_
#define OSSEL_SEQUENCE_EVAL_H_

#include <cstddef>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "ossel/policy.h"
#include "ossel/tool_call.h"

namespace ossel {

enum class RuleStatus {
  kSatisfied,      // the trace keeps the rule
  kViolated,       // the trace breaks the rule
  kNotApplicable,  // the rule never engaged, or names nothing to look for
};

struct RuleOutcome {
  // "require:read", "sequence:strict:a>b", ...: the kind and the selectors'
  // display texts, nothing lower-cased.
  std::string rule_id;
  std::vector<size_t> positions;       // 0-based call indices, as each kind defines
  std::optional<std::string> message;  // absent exactly when satisfied
  std::string_view kind;               // the rule's type word
  RuleStatus status = RuleStatus::kNotApplicable;

  bool operator==(const RuleOutcome&) const = default;
};

// One outcome per rule of policy.sequences, in policy order.
std::vector<RuleOutcome> evaluate_rules(const Policy& policy, std::span<const ToolCall> trace);

// The outcome of one rule; `policy` supplies the aliases.
RuleOutcome evaluate_rule(const SequenceRule& rule, std::span<const ToolCall> trace,
                          const Policy& policy);

// The rules of one policy prepared for many traces: every selector expanded
// and every distinct pattern compiled once, at construction. Immutable
// afterwards, so one evaluator may serve several threads at once.
class RuleEvaluator {
 public:
  explicit RuleEvaluator(const Policy& policy);
  ~RuleEvaluator();
  RuleEvaluator(RuleEvaluator&&) noexcept;
  RuleEvaluator& operator=(RuleEvaluator&&) noexcept;

  size_t rule_count() const;
  RuleOutcome evaluate(size_t rule_index, std::span<const ToolCall> trace) const;
  std::vector<RuleOutcome> evaluate_all(std::span<const ToolCall> trace) const;

  // Whether the trace engages the rule: its status is not kNotApplicable.
  // Only before, after, never_after and sequence rules can stay unengaged;
  // every other kind is engaged by any trace, the empty one included, and is
  // answered without a pass over the trace.
  bool engaged(size_t rule_index, std::span<const ToolCall> trace) const;

 private:
  class CompiledRule;
  friend RuleOutcome evaluate_rule(const SequenceRule&, std::span<const ToolCall>, const Policy&);

  std::vector<CompiledRule> rules_;
};

}  // namespace ossel

#endif  // OSSEL_SEQUENCE_EVAL_H_
