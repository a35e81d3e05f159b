// ArgPattern: one compiled args_match pattern, searched anywhere in an
// argument's text.
//
// Patterns are compiled by RE2 with its default settings (case-sensitive,
// ^ and $ at the ends of the whole text, no flags beyond those written in the
// pattern), after a rewrite that gives RE2 the dialect policies are written
// in:
//   \d  decimal digits (general category Nd)
//   \s  the White_Space property
//   \w  Alphabetic, marks (M), Nd, connector punctuation (Pc), Join_Control
// and their negations take their Unicode meaning (RE2's own are ASCII-only);
// \u00E9, \u{E9}, \U000000E9 and \U{E9} name code points; (?<name>...) is a
// named group. Back-references and octal escapes (\1, \0), \Q...\E, \C and
// a Perl class as the end of a range inside brackets ([\d-z], [a-\w]) are
// syntax errors. \b and \B keep RE2's ASCII word boundary.
//
// A pattern that does not compile is kept as a pattern that never matches:
// nothing is reported, the call it is tested against simply does not match.
#ifndef OSSEL_ARG_PATTERN_H_
#define OSSEL_ARG_PATTERN_H_

#include <memory>
#include <string_view>

namespace re2 {
class RE2;
}

namespace ossel {

class ArgPattern {
 public:
  explicit ArgPattern(std::string_view pattern);
  ~ArgPattern();
  ArgPattern(ArgPattern&&) noexcept;
  ArgPattern& operator=(ArgPattern&&) noexcept;

  // False when the pattern did not compile.
  bool compiled() const { return regex_ != nullptr; }

  // True when the pattern matches somewhere in `text` (its own anchors
  // apply). Always false for a pattern that did not compile. Safe to call
  // from several threads at once.
  bool search(std::string_view text) const;

 private:
  std::unique_ptr<const re2::RE2> regex_;
};

}  // namespace ossel

#endif  // OSSEL_ARG_PATTERN_H_
