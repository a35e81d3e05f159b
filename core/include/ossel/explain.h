// The trace explainer: replays one trace call by call against a policy and
// says, for every call, whether it is allowed and why.
#ifndef OSSEL_EXPLAIN_H_
#define OSSEL_EXPLAIN_H_

#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "ossel/json.h"
#include "ossel/policy.h"
#include "ossel/tool_call.h"

namespace ossel {

enum class Verdict { kAllowed, kBlocked, kWarning };

struct RuleEvaluation {
  std::string rule_id;
  std::string rule_type;
  bool passed = true;
  std::string explanation;
  std::optional<JsonValue> context;

  bool operator==(const RuleEvaluation&) const = default;
};

struct ExplainedStep {
  size_t index = 0;
  std::string tool;
  std::optional<JsonValue> args;
  Verdict verdict = Verdict::kAllowed;
  std::vector<RuleEvaluation> rules_evaluated;
  // "calls:{tool}" -> decimal count, in the order the tools were first called.
  std::vector<std::pair<std::string, std::string>> state_snapshot;

  bool operator==(const ExplainedStep&) const = default;
};

struct TraceExplanation {
  std::string policy_name;
  std::string policy_version;
  size_t total_steps = 0;
  size_t allowed_steps = 0;
  size_t blocked_steps = 0;
  std::optional<size_t> first_block_index;
  std::vector<ExplainedStep> steps;
  std::vector<std::string> blocking_rules;

  bool operator==(const TraceExplanation&) const = default;
};

// Appends the compact JSON text of the explanation.
void append_json(const TraceExplanation& explanation, std::string& out);

// Takes one piece of an explanation's text; returns false to stop the writing.
using JsonPieceSink = std::function<bool(std::string_view piece)>;

// Holds its own policy and what it precomputes from it once; explaining is
// const and keeps nothing between traces, so one explainer serves any number
// of traces, also re-entrantly.
class TraceExplainer {
 public:
  explicit TraceExplainer(Policy policy);
  ~TraceExplainer();
  TraceExplainer(TraceExplainer&&) noexcept;
  TraceExplainer& operator=(TraceExplainer&&) noexcept;

  const Policy& policy() const;

  TraceExplanation explain(std::span<const ToolCall> calls) const;
  // The same explanation, written straight as compact JSON text.
  std::string explain_json(std::span<const ToolCall> calls) const;
  // The same text, handed to `sink` piece by piece while it is written, so a
  // caller can take it up without the whole text ever being held at once. A
  // piece ends between two steps, so on a character boundary; each but the
  // last is at least `piece_size` bytes long and goes past that by less than
  // its last step's text. The pieces joined are explain_json's text. Returns
  // false, having written no further, when the sink returned false.
  bool explain_json_pieces(std::span<const ToolCall> calls, size_t piece_size, const JsonPieceSink& sink) const;

 private:
  struct Compiled;
  std::unique_ptr<const Compiled> compiled_;
};

// Convenience for one-off use: builds an explainer for `policy` and explains.
TraceExplanation explain_trace(const Policy& policy, std::span<const ToolCall> calls);

}  // namespace ossel

#endif  // OSSEL_EXPLAIN_H_
