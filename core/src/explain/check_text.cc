#include "explain/check_text.h"

#include <charconv>
#include <initializer_list>

namespace ossel::explain {
namespace {

// One value for a "{}" placeholder: a text, or an unsigned integer written
// in plain decimal.
class FormatArg {
 public:
  FormatArg(std::string_view text) : text_(text), is_number_(false) {}
  FormatArg(const std::string& text) : text_(text), is_number_(false) {}
  FormatArg(uint64_t number) : number_(number), is_number_(true) {}
  FormatArg(uint32_t number) : number_(number), is_number_(true) {}
  FormatArg(unsigned long long number) : number_(number), is_number_(true) {}

  void append_to(std::string& out) const {
    if (!is_number_) {
      out.append(text_);
      return;
    }
    char digits[24];
    auto end = std::to_chars(digits, digits + sizeof digits, number_).ptr;
    out.append(digits, end);
  }

 private:
  std::string_view text_;
  uint64_t number_ = 0;
  bool is_number_;
};

// Appends `pattern` with each "{}" replaced by the next argument.
void append_format(std::string& out, std::string_view pattern, std::initializer_list<FormatArg> args) {
  auto arg = args.begin();
  size_t start = 0;
  for (size_t brace = pattern.find("{}"); brace != std::string_view::npos;
       brace = pattern.find("{}", start)) {
    out.append(pattern.substr(start, brace - start));
    arg->append_to(out);
    ++arg;
    start = brace + 2;
  }
  out.append(pattern.substr(start));
}

}  // namespace

std::string_view tools_rule_id(ToolsCheck check) {
  return check == ToolsCheck::kDenied ? "deny_list" : "allow_list";
}

std::string_view tools_rule_type(ToolsCheck check) {
  return check == ToolsCheck::kDenied ? "deny" : "allow";
}

void append_tools_explanation(ToolsCheck check, std::string_view tool, std::string& out) {
  append_format(out,
                check == ToolsCheck::kDenied ? "Tool '{}' is in deny list"
                                             : "Tool '{}' is not in allow list",
                {tool});
}

void append_explanation(const CompiledPolicy& policy, const CheckOutcome& outcome,
                        std::string_view tool, size_t position, std::string& out) {
  const CompiledRule& rule = policy.rules()[outcome.rule];
  auto text = [&](size_t which) -> const std::string& {
    return policy.selector(rule.selectors[which]).text;
  };
  const uint64_t i = position;
  const uint64_t value = outcome.value;
  const uint32_t number = rule.number;
  const uint64_t steps = rule.selectors.size();
  switch (outcome.message) {
    case Message::kRequireCheckedAtEnd:
      return append_format(out, "Require '{}' (checked at end)", {text(0)});
    case Message::kRequireNeverCalled:
      return append_format(out, "Required tool '{}' never called", {text(0)});
    case Message::kEventuallySeen:
      return append_format(out, "'{}' already seen ✓", {text(0)});
    case Message::kEventuallyMissed:
      return append_format(out, "'{}' not seen within first {} calls", {text(0), number});
    case Message::kEventuallyWaiting:
      return append_format(out, "'{}' required within {} calls (at {}/{})",
                           {text(0), number, i + 1, number});
    case Message::kMaxCallsExceeded:
      return append_format(out, "'{}' exceeded max calls ({} > {})", {text(0), value, number});
    case Message::kMaxCallsCount:
      return append_format(out, "'{}' call {}/{}", {text(0), value, number});
    case Message::kBeforeFirstCalled:
      return append_format(out, "'{}' was called first ✓", {text(0)});
    case Message::kBeforeFirstMissing:
      return append_format(out, "'{}' requires '{}' first", {text(1), text(0)});
    case Message::kBeforeNotApplicable:
      return append_format(out, "Not '{}', rule not applicable", {text(1)});
    case Message::kAfterTriggered:
      return append_format(out, "'{}' triggered, '{}' required within {}", {text(0), text(1), number});
    case Message::kAfterWaiting:
      return append_format(out, "After rule: waiting for '{}'", {text(0)});
    case Message::kAfterSatisfied:
      return append_format(out, "'{}' satisfies after '{}' ✓", {text(1), text(0)});
    case Message::kAfterTooLate:
      return append_format(out, "'{}' called too late after '{}' (at {}, deadline {})",
                           {text(1), text(0), i, outcome.deadline});
    case Message::kAfterPending:
      return append_format(out, "Pending: '{}' needed within {} more calls",
                           {text(1), outcome.deadline - i});
    case Message::kAfterOverdue:
      return append_format(out, "'{}' required within {} calls after '{}' (triggered at {})",
                           {text(1), number, text(0), value});
    case Message::kAfterNeverAnswered:
      return append_format(out, "'{}' triggered at {}, but '{}' never called within {} steps (trace ended)",
                           {text(0), value, text(1), number});
    case Message::kNeverAfterViolated:
      return append_format(out, "'{}' forbidden after '{}' (triggered at index {})",
                           {text(1), text(0), value});
    case Message::kNeverAfterArmed:
      return append_format(out, "'{}' forbidden (trigger at {})", {text(1), value});
    case Message::kNeverAfterTriggered:
      return append_format(out, "'{}' triggered, '{}' now forbidden", {text(0), text(1)});
    case Message::kNeverAfterWaiting:
      return append_format(out, "Waiting for trigger '{}'", {text(0)});
    case Message::kSequenceComplete:
      return append_format(out, "Sequence complete ✓", {});
    case Message::kSequenceStep:
      return append_format(out, "Sequence step {}/{}: '{}' ✓", {value + 1, steps, tool});
    case Message::kSequenceWaitingStart:
      return append_format(out, "Waiting for sequence start: '{}'", {text(0)});
    case Message::kSequenceStrictMismatch:
      return append_format(out, "Strict sequence: expected '{}' but got '{}'", {text(value), tool});
    case Message::kSequenceOrderViolated:
      return append_format(out, "Sequence order violated: '{}' before '{}'", {tool, text(value)});
    case Message::kSequenceWaiting:
      return append_format(out, "Sequence: waiting for '{}' ({}/{})", {text(value), value, steps});
    case Message::kBlocklistListed:
      return append_format(out, "'{}' matches blocklist pattern '{}'", {tool, rule.pattern});
    case Message::kBlocklistClear:
      return append_format(out, "'{}' does not match blocklist '{}'", {tool, rule.pattern});
  }
}

}  // namespace ossel::explain
