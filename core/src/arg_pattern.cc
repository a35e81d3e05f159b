#include "ossel/arg_pattern.h"

#include <re2/re2.h>
#include <unicode/uniset.h>
#include <unicode/unistr.h>

#include <cstdio>
#include <optional>
#include <string>

namespace ossel {
namespace {

// One Perl class as the inside of a bracket expression, every range written
// with \x{...} escapes so that no member needs quoting, plus its complement
// (without the surrogates, which valid UTF-8 never holds).
struct ClassText {
  std::string members;
  std::string complement;
};

void append_ranges(const icu::UnicodeSet& set, std::string& out) {
  char buffer[32];
  for (int32_t i = 0; i < set.getRangeCount(); ++i) {
    const UChar32 low = set.getRangeStart(i);
    const UChar32 high = set.getRangeEnd(i);
    const int length = low == high
                           ? std::snprintf(buffer, sizeof buffer, "\\x{%X}", low)
                           : std::snprintf(buffer, sizeof buffer, "\\x{%X}-\\x{%X}", low, high);
    out.append(buffer, static_cast<size_t>(length));
  }
}

ClassText class_from_icu(const char16_t* set_pattern) {
  UErrorCode status = U_ZERO_ERROR;
  icu::UnicodeSet set(icu::UnicodeString(set_pattern), status);
  if (U_FAILURE(status)) set.clear();
  icu::UnicodeSet complement(set);
  complement.complement();
  complement.remove(0xD800, 0xDFFF);
  ClassText text;
  append_ranges(set, text.members);
  append_ranges(complement, text.complement);
  return text;
}

struct PerlClasses {
  ClassText digit = class_from_icu(u"[\\p{Nd}]");
  ClassText space = class_from_icu(u"[\\p{White_Space}]");
  ClassText word =
      class_from_icu(u"[\\p{Alphabetic}\\p{M}\\p{Nd}\\p{Pc}\\p{Join_Control}]");
};

// Built on first use (thread-safe static initialisation) and kept for the
// life of the process.
const PerlClasses& perl_classes() {
  static const PerlClasses classes;
  return classes;
}

// The Unicode set a Perl class escape letter names, with whether it is the
// negated form; null for any other letter.
const ClassText* perl_class(char letter, bool& negated) {
  const PerlClasses& classes = perl_classes();
  negated = letter == 'D' || letter == 'S' || letter == 'W';
  switch (letter) {
    case 'd': case 'D': return &classes.digit;
    case 's': case 'S': return &classes.space;
    case 'w': case 'W': return &classes.word;
    default: return nullptr;
  }
}

size_t utf8_length(unsigned char lead) {
  if (lead < 0xC0) return 1;
  if (lead < 0xE0) return 2;
  if (lead < 0xF0) return 3;
  return 4;
}

// Rewrites every Perl class escape into its Unicode set and copies the rest
// of the pattern unchanged. Returns nothing when a Perl class is used as the
// end of a range inside brackets, which is a syntax error.
class PerlClassRewriter {
 public:
  explicit PerlClassRewriter(std::string_view pattern) : pattern_(pattern) {}

  std::optional<std::string> run() {
    out_.reserve(pattern_.size());
    while (at_ < pattern_.size()) {
      const char c = pattern_[at_];
      if (c == '[') {
        if (!bracket_expression()) return std::nullopt;
      } else if (c == '\\' && at_ + 1 < pattern_.size()) {
        outside_escape();
      } else {
        copy(1);
      }
    }
    return std::move(out_);
  }

 private:
  void copy(size_t count) {
    count = std::min(count, pattern_.size() - at_);
    out_.append(pattern_.substr(at_, count));
    at_ += count;
  }

  bool perl_class_at(size_t position) const {
    bool negated;
    return position + 1 < pattern_.size() && pattern_[position] == '\\' &&
           perl_class(pattern_[position + 1], negated) != nullptr;
  }

  void outside_escape() {
    const char letter = pattern_[at_ + 1];
    bool negated;
    if (const ClassText* set = perl_class(letter, negated)) {
      out_.append(negated ? "[^" : "[");
      out_.append(set->members);
      out_.push_back(']');
      at_ += 2;
    } else if (letter == 'Q') {
      // Quoted text up to \E is literal: nothing in it is rewritten.
      const size_t end = pattern_.find("\\E", at_ + 2);
      copy(end == std::string_view::npos ? pattern_.size() - at_ : end + 2 - at_);
    } else {
      copy(1);
      copy(utf8_length(static_cast<unsigned char>(letter)));
    }
  }

  // Copies one character of a bracket expression: an escape or one UTF-8
  // encoded character.
  void class_character() {
    if (pattern_[at_] != '\\' || at_ + 1 >= pattern_.size()) {
      copy(utf8_length(static_cast<unsigned char>(pattern_[at_])));
      return;
    }
    const char letter = pattern_[at_ + 1];
    if ((letter == 'x' || letter == 'p' || letter == 'P') && at_ + 2 < pattern_.size() &&
        pattern_[at_ + 2] == '{') {
      const size_t close = pattern_.find('}', at_ + 3);
      copy(close == std::string_view::npos ? pattern_.size() - at_ : close + 1 - at_);
      return;
    }
    copy(1);
    copy(utf8_length(static_cast<unsigned char>(letter)));
  }

  // Copies one bracket expression, starting at its '['. Perl classes in it
  // are inlined as their ranges, and their negated forms as the complement's
  // ranges, so [^\d] and [\D] keep their set meaning.
  bool bracket_expression() {
    copy(1);
    if (at_ < pattern_.size() && pattern_[at_] == '^') copy(1);
    bool first = true;
    while (at_ < pattern_.size()) {
      const char c = pattern_[at_];
      if (c == ']' && !first) {
        copy(1);
        return true;
      }
      first = false;
      if (c == '[' && at_ + 1 < pattern_.size() && pattern_[at_ + 1] == ':') {
        const size_t close = pattern_.find(":]", at_ + 2);
        copy(close == std::string_view::npos ? pattern_.size() - at_ : close + 2 - at_);
        continue;
      }
      bool negated;
      if (perl_class_at(at_)) {
        const ClassText* set = perl_class(pattern_[at_ + 1], negated);
        out_.append(negated ? set->complement : set->members);
        at_ += 2;
        if (starts_range()) return false;
        continue;
      }
      class_character();
      if (starts_range()) {
        copy(1);
        if (perl_class_at(at_)) return false;
        if (at_ < pattern_.size()) class_character();
      }
    }
    return true;  // unterminated: left for RE2 to refuse
  }

  // A '-' here, not followed by the closing ']', makes the item before it the
  // start of a range.
  bool starts_range() const {
    return at_ + 1 < pattern_.size() && pattern_[at_] == '-' && pattern_[at_ + 1] != ']';
  }

  std::string_view pattern_;
  size_t at_ = 0;
  std::string out_;
};

}  // namespace

ArgPattern::ArgPattern(std::string_view pattern) {
  std::optional<std::string> rewritten = PerlClassRewriter(pattern).run();
  if (!rewritten) return;
  RE2::Options options;
  options.set_log_errors(false);
  auto regex = std::make_unique<const re2::RE2>(*rewritten, options);
  if (regex->ok()) regex_ = std::move(regex);
}

ArgPattern::~ArgPattern() = default;
ArgPattern::ArgPattern(ArgPattern&&) noexcept = default;
ArgPattern& ArgPattern::operator=(ArgPattern&&) noexcept = default;

bool ArgPattern::search(std::string_view text) const {
  if (!regex_) return false;
  return re2::RE2::PartialMatch(re2::StringPiece(text.data(), text.size()), *regex_);
}

}  // namespace ossel
