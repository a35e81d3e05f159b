#include "ossel/arg_pattern.h"

#include <re2/re2.h>
#include <unicode/uniset.h>
#include <unicode/unistr.h>

#include <algorithm>
#include <cctype>
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

bool is_decimal_digit(char c) { return c >= '0' && c <= '9'; }
bool is_hex_digit(char c) { return std::isxdigit(static_cast<unsigned char>(c)) != 0; }

// Rewrites a pattern into RE2's syntax, keeping the meaning it has in the
// dialect the policies are written in, which differs from RE2's in a few
// escapes and one group form:
//   - the Perl classes \d \s \w and their negations become Unicode sets;
//   - the code point escapes \u00E9, \u{E9}, \U000000E9 and \U{E9} become
//     \x{...};
//   - a named group (?<name>...) becomes (?P<name>...).
// Patterns that RE2 would accept but the dialect refuses are refused here:
// back-references and octal escapes (\1, \0, \012), \Q...\E quoting, the
// single-byte class \C, and a Perl class used as a range end inside brackets
// ([\d-z]). Returns nothing for a refused pattern; everything else is copied
// unchanged for RE2 to judge.
class PatternRewriter {
 public:
  explicit PatternRewriter(std::string_view pattern) : pattern_(pattern) {}

  std::optional<std::string> run() {
    out_.reserve(pattern_.size());
    while (at_ < pattern_.size()) {
      const char c = pattern_[at_];
      bool ok = true;
      if (c == '[') {
        ok = bracket_expression();
      } else if (c == '\\') {
        ok = outside_escape();
      } else if (named_group_at()) {
        out_.append("(?P<");
        at_ += 3;
      } else {
        copy(1);
      }
      if (!ok) return std::nullopt;
    }
    return std::move(out_);
  }

 private:
  void copy(size_t count) {
    count = std::min(count, pattern_.size() - at_);
    out_.append(pattern_.substr(at_, count));
    at_ += count;
  }

  // "(?<" that opens a named group, not a look-behind (which RE2 refuses).
  bool named_group_at() const {
    return pattern_.substr(at_).starts_with("(?<") && at_ + 3 < pattern_.size() &&
           pattern_[at_ + 3] != '=' && pattern_[at_ + 3] != '!';
  }

  bool perl_class_at(size_t position) const {
    bool negated;
    return position + 1 < pattern_.size() && pattern_[position] == '\\' &&
           perl_class(pattern_[position + 1], negated) != nullptr;
  }

  bool outside_escape() {
    bool negated;
    if (perl_class_at(at_)) {
      const ClassText* set = perl_class(pattern_[at_ + 1], negated);
      out_.append(negated ? "[^" : "[");
      out_.append(set->members);
      out_.push_back(']');
      at_ += 2;
      return true;
    }
    return escape();
  }

  // Copies or translates one escape other than a Perl class, from its
  // backslash; false for an escape the dialect refuses.
  bool escape() {
    if (at_ + 1 >= pattern_.size()) {
      copy(1);  // a trailing backslash, which RE2 refuses
      return true;
    }
    const char letter = pattern_[at_ + 1];
    if (is_decimal_digit(letter) || letter == 'Q' || letter == 'C') return false;
    if (letter == 'u') return code_point_escape(4);
    if (letter == 'U') return code_point_escape(8);
    if ((letter == 'x' || letter == 'p' || letter == 'P') && at_ + 2 < pattern_.size() &&
        pattern_[at_ + 2] == '{') {
      const size_t close = pattern_.find('}', at_ + 3);
      copy(close == std::string_view::npos ? pattern_.size() - at_ : close + 1 - at_);
      return true;
    }
    copy(1);
    copy(utf8_length(static_cast<unsigned char>(letter)));
    return true;
  }

  // \u or \U with a braced hex number, or with exactly `digits` hex digits.
  bool code_point_escape(size_t digits) {
    const size_t start = at_ + 2;
    std::string_view hex;
    size_t end;
    if (start < pattern_.size() && pattern_[start] == '{') {
      const size_t close = pattern_.find('}', start);
      if (close == std::string_view::npos) return false;
      hex = pattern_.substr(start + 1, close - start - 1);
      end = close + 1;
    } else {
      hex = pattern_.substr(start, digits);
      end = start + digits;
      if (hex.size() < digits) return false;
    }
    if (hex.empty() || !std::all_of(hex.begin(), hex.end(), is_hex_digit)) return false;
    out_.append("\\x{");
    out_.append(hex);
    out_.push_back('}');
    at_ = end;
    return true;
  }

  // Copies one character of a bracket expression: an escape or one UTF-8
  // encoded character.
  bool class_character() {
    if (pattern_[at_] == '\\') return escape();
    copy(utf8_length(static_cast<unsigned char>(pattern_[at_])));
    return true;
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
      if (!class_character()) return false;
      if (starts_range()) {
        copy(1);
        if (perl_class_at(at_)) return false;
        if (at_ < pattern_.size() && !class_character()) return false;
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
  std::optional<std::string> rewritten = PatternRewriter(pattern).run();
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
