// The human-readable side of a check: its message and its context object.
// Both the record builder and the direct JSON writer render through these,
// so the two outputs cannot drift apart.
#ifndef OSSEL_EXPLAIN_CHECK_TEXT_H_
#define OSSEL_EXPLAIN_CHECK_TEXT_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "explain/compiled_policy.h"
#include "explain/explain_state.h"

namespace ossel::explain {

// The rule_id and rule_type of a failed tools check.
std::string_view tools_rule_id(ToolsCheck check);
std::string_view tools_rule_type(ToolsCheck check);

// The form of the texts a message quotes: as they are, for the records, or
// escaped for the inside of a JSON string, so the JSON writer writes the
// message straight into its text. The messages' own words hold no character
// that JSON escapes, so only the quoted texts differ.
enum class TextForm : uint8_t { kPlain, kJsonEscaped };

// Appends the message of a failed tools check for a call of `tool`, which is
// given in the form wanted.
void append_tools_explanation(ToolsCheck check, std::string_view tool, std::string& out);

// Appends the message of `outcome`, judged on a call of `tool` at `position`;
// `tool` is given in `form`, and the policy's texts are quoted in it.
void append_explanation(const CompiledPolicy& policy, const CheckOutcome& outcome,
                        std::string_view tool, size_t position, std::string& out,
                        TextForm form = TextForm::kPlain);

// Feeds the context object of `outcome` to `sink`, key by key in output
// order, and returns true; returns false, feeding nothing, for the checks
// that carry no context. A Sink has begin(), end(), and for each member
// selector(key, CompiledSelector), steps(key, CompiledRule), number(key,
// uint64_t) and flag(key, bool).
template <class Sink>
bool emit_context(const CompiledPolicy& policy, const CheckOutcome& outcome, size_t position,
                  Sink& sink) {
  const CompiledRule& rule = policy.rules()[outcome.rule];
  auto selector = [&](size_t which) -> const CompiledSelector& {
    return policy.selector(rule.selectors[which]);
  };
  switch (rule.kind) {
    case RuleKind::kRequire:
    case RuleKind::kBlocklist:
      return false;
    case RuleKind::kEventually:
      sink.begin();
      sink.selector("required_tool", selector(0));
      sink.number("within", rule.number);
      sink.number("current_index", position);
      sink.flag("seen", outcome.flag);
      break;
    case RuleKind::kMaxCalls:
      sink.begin();
      sink.selector("tool", selector(0));
      sink.number("max", rule.number);
      sink.number("current_count", outcome.value);
      break;
    case RuleKind::kBefore:
      sink.begin();
      sink.selector("first", selector(0));
      sink.selector("then", selector(1));
      sink.flag("first_seen", outcome.flag);
      sink.flag("is_then_call", outcome.is_then_call);
      break;
    case RuleKind::kAfter:
      sink.begin();
      sink.selector("trigger", selector(0));
      if (outcome.message == Message::kAfterNeverAnswered) {
        sink.number("deadline", outcome.deadline);
        sink.number("trace_len", outcome.trace_length);
      } else {
        sink.selector("then", selector(1));
        sink.number("within", rule.number);
      }
      break;
    case RuleKind::kNeverAfter:
      sink.begin();
      sink.selector("trigger", selector(0));
      sink.selector("forbidden", selector(1));
      sink.flag("triggered", outcome.flag);
      break;
    case RuleKind::kSequence:
      sink.begin();
      sink.steps("tools", rule);
      sink.flag("strict", rule.strict);
      sink.number("progress", outcome.value);
      break;
  }
  sink.end();
  return true;
}

}  // namespace ossel::explain

#endif  // OSSEL_EXPLAIN_CHECK_TEXT_H_
