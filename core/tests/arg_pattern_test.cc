#include "ossel/arg_pattern.h"

#include <gtest/gtest.h>

#include <initializer_list>
#include <vector>

namespace ossel {
namespace {

// One pattern, the texts it finds and the texts it must not find.
struct SearchCase {
  const char* pattern;
  std::vector<const char*> found;
  std::vector<const char*> missed;
};

void expect_searches(std::initializer_list<SearchCase> cases) {
  for (const SearchCase& c : cases) {
    const ArgPattern pattern(c.pattern);
    EXPECT_TRUE(pattern.compiled()) << c.pattern;
    for (const char* t : c.found) EXPECT_TRUE(pattern.search(t)) << c.pattern << " in " << t;
    for (const char* t : c.missed) EXPECT_FALSE(pattern.search(t)) << c.pattern << " in " << t;
  }
}

TEST(ArgPatternTest, PerlClassesAreUnicodeInsideAndOutsideBrackets) {
  expect_searches({
      {"^\\d+$", {"\u0661\u0662\u0663", "\u096B"}, {"x", "\u00B2"}},  // superscript two is not Nd
      {"^\\D$", {"\n"}, {"\u0663"}},
      {"^\\w+$", {"caf\u00E9", "\u03BB\u03CC\u03B3\u03BF\u03C2", "e\u0301"}, {"a-b", "a b"}},
      {"^\\w$", {"\u203F", "\u200D"}, {}},  // connector punctuation, zero width joiner
      {"\\W", {"!"}, {"\u00E9"}},
      {"^\\s+$", {"\u00A0", "\u2003", "\u3000", " \t\n\r\v\f"}, {"\u200B"}},
      {"\\S", {}, {"\u00A0"}},
      {"^[^\\d]$", {"a"}, {"\u0663"}},
      {"^[\\D]$", {"a"}, {"\u0663"}},
      {"^[^\\D]$", {"\u0663"}, {"a"}},
      {"^[\\d\\s]+$", {"\u0663\u2003"}, {"a"}},
      {"^[^\\w\\s]$", {"!"}, {"\u00E9", "\u00A0"}},
      {"^[\\d-]+$", {"1-\u0663"}, {}},  // a dash next to a class is literal
      {"^[-\\d]+$", {"-1"}, {}},
      {"^[]\\d]+$", {"]1"}, {}},
      {"^[[:alpha:]\\d]+$", {"ab1"}, {}},
      {"\\\\d", {"\\d"}, {"5"}},  // an escaped backslash starts no class
      {"^\\\\\\d$", {"\\\u0663"}, {}},
      {"^[\\\\d]+$", {"\\d"}, {"5"}},
      {"\\[\\d\\]", {"[\u0663]"}, {}},
      {"(?i)\\W", {}, {"K"}},
  });
}

TEST(ArgPatternTest, DialectFlagsAndCodePointEscapes) {
  expect_searches({
      {"ab", {"xaby"}, {"ABC"}},  // unanchored, case-sensitive
      {"a$", {}, {"a\n"}},
      {"^.$", {"\u00E9"}, {}},
      {"(?i)[^k]", {}, {"K", "\u212A"}},  // Kelvin sign folds to k
      {"^rm|del$", {"rm -rf", "xdel"}, {}},  // anchors bind per branch
      {"^\\u0041$", {"A"}, {}},
      {"^\\u{E9}$", {"\u00E9"}, {}},
      {"^\\U0001F600$", {"\U0001F600"}, {}},
      {"^\\U{1F600}$", {"\U0001F600"}, {}},
      {"^[\\u0041-\\u005A]+$", {"QZ"}, {"Qz"}},
      {"^\\u00411$", {"A1"}, {}},  // exactly four digits belong to the escape
      {"^(?<word>ab)+$", {"abab"}, {}},
  });
}

TEST(ArgPatternTest, RefusedSyntaxNeverMatches) {
  for (const char* bad :
       {"[unclosed", "(a", "a{2,1}", "(?<=a)b", "(?<!a)b", "(a)\\1", "*", "[\\d-z]", "[a-\\w]",
        "[!-\\d]", "\\d{1001}", "\\Q.\\E", "a\\Cb", "\\0", "\\012", "[\\0]", "\\8", "\\u004",
        "\\u{}", "\\u{41", "\\uZZZZ", "\\U0041", "\\u{110000}", "a\\", "(?<", "[\\Q]\\E]"}) {
    const ArgPattern pattern(bad);
    EXPECT_FALSE(pattern.compiled()) << bad;
    EXPECT_FALSE(pattern.search("")) << bad;
    EXPECT_FALSE(pattern.search("a]b1-z!ab(a)a")) << bad;
  }
}

}  // namespace
}  // namespace ossel
