#include "explain/check_text.h"

#include <array>
#include <charconv>
#include <initializer_list>
#include <string_view>

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

// A message pattern, split at its "{}" placeholders when the program is
// compiled, so writing a message does not search its pattern.
class Pattern {
 public:
  consteval Pattern(const char* pattern) {
    std::string_view rest(pattern);
    for (size_t brace = rest.find("{}"); brace != std::string_view::npos; brace = rest.find("{}")) {
      parts_[count_++] = rest.substr(0, brace);
      rest.remove_prefix(brace + 2);
    }
    parts_[count_++] = rest;
  }

  // The text between placeholders: count() parts, one more than placeholders.
  size_t count() const { return count_; }
  std::string_view part(size_t n) const { return parts_[n]; }

 private:
  static constexpr size_t kMostParts = 6;
  std::array<std::string_view, kMostParts> parts_{};
  size_t count_ = 0;
};

// Appends `pattern` with each "{}" replaced by the next argument.
void append_format(std::string& out, const Pattern& pattern, std::initializer_list<FormatArg> args) {
  auto arg = args.begin();
  out.append(pattern.part(0));
  for (size_t n = 1; n < pattern.count(); ++n) {
    (arg++)->append_to(out);
    out.append(pattern.part(n));
  }
}

}  // namespace

std::string_view tools_rule_id(ToolsCheck check) {
  return check == ToolsCheck::kDenied ? "deny_list" : "allow_list";
}

std::string_view tools_rule_type(ToolsCheck check) {
  return check == ToolsCheck::kDenied ? "deny" : "allow";
}

void append_tools_explanation(ToolsCheck check, std::string_view tool, std::string& out) {
  if (check == ToolsCheck::kDenied) {
    append_format(out, "Tool '{}' is in deny list", {tool});
  } else {
    append_format(out, "Tool '{}' is not in allow list", {tool});
  }
}

void append_explanation(const CompiledPolicy& policy, const CheckOutcome& outcome,
                        std::string_view tool, size_t position, std::string& out, TextForm form) {
  const CompiledRule& rule = policy.rules()[outcome.rule];
  const bool escaped = form == TextForm::kJsonEscaped;
  auto text = [&](size_t which) -> const std::string& {
    const CompiledSelector& selector = policy.selector(rule.selectors[which]);
    return escaped ? selector.text_json : selector.text;
  };
  const std::string& pattern = escaped ? rule.pattern_json : rule.pattern;
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
      return append_format(out, "'{}' matches blocklist pattern '{}'", {tool, pattern});
    case Message::kBlocklistClear:
      return append_format(out, "'{}' does not match blocklist '{}'", {tool, pattern});
  }
}

}  // namespace ossel::explain
