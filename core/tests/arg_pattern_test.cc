#include "ossel/arg_pattern.h"

#include <gtest/gtest.h>

#include <vector>

namespace ossel {
namespace {

struct SearchCase {
  const char* pattern;
  const char* text;
  bool found;
};

void expect_searches(const std::vector<SearchCase>& cases) {
  for (const SearchCase& c : cases) {
    ArgPattern pattern(c.pattern);
    EXPECT_TRUE(pattern.compiled()) << c.pattern;
    EXPECT_EQ(pattern.search(c.text), c.found) << "pattern " << c.pattern << " text " << c.text;
  }
}

TEST(ArgPatternTest, PerlClassesAreUnicodeAware) {
  expect_searches({
      {"^\\d+$", "\u0661\u0662\u0663", true}, {"\\d", "\u096B", true},  // Arabic-Indic, Devanagari
      {"\\d", "x", false}, {"\\d", "\u00B2", false},  // superscript two is not Nd
      {"^\\D$", "\u0663", false}, {"^\\D$", "\n", true},
      {"^\\w+$", "caf\u00E9", true}, {"^\\w+$", "\u03BB\u03CC\u03B3\u03BF\u03C2", true},
      {"^\\w+$", "e\u0301", true},  // combining mark
      {"^\\w$", "\u203F", true}, {"^\\w$", "\u200D", true},  // connector, zero width joiner
      {"\\w", "- !", false}, {"\\W", "\u00E9", false}, {"\\W", "!", true},
      {"\\s", "\u00A0", true}, {"\\s", "\u2003", true}, {"\\s", "\u3000", true},
      {"^\\s+$", " \t\n\r\v\f", true}, {"\\s", "\u200B", false}, {"\\S", "\u00A0", false},
      {"^\\d{4}-\\d{2}$", "\u0662\u0660\u0662\u0664-\u0660\u0661", true},
  });
}

TEST(ArgPatternTest, PerlClassesInsideBracketsKeepSetMeaning) {
  expect_searches({
      {"^[^\\d]$", "\u0663", false}, {"^[^\\d]$", "a", true},
      {"^[\\D]$", "\u0663", false},  {"^[\\D]$", "a", true},
      {"^[^\\D]$", "\u0663", true},  {"^[^\\D]$", "a", false},
      {"^[\\d\\s]+$", "\u0663\u2003", true},
      {"^[^\\w\\s]$", "\u00E9", false}, {"^[^\\w\\s]$", "!", true},
      {"^[\\d-]+$", "1-\u0663", true}, {"^[-\\d]+$", "-1", true},  // literal dashes
      {"^[]\\d]+$", "]1", true},  // ']' first in brackets is literal
      {"^[[:alpha:]\\d]+$", "ab1", true},
  });
}

TEST(ArgPatternTest, EscapedBackslashesAreNotClasses) {
  expect_searches({
      {"\\\\d", "\\d", true}, {"\\\\d", "5", false},
      {"^\\\\\\d$", "\\\u0663", true},  // backslash then a digit
      {"^[\\\\d]+$", "\\d", true}, {"^[\\\\d]$", "5", false},
      {"\\[\\d\\]", "[\u0663]", true},
  });
}

TEST(ArgPatternTest, SearchIsUnanchoredWithDefaultFlags) {
  expect_searches({
      {"ab", "xaby", true}, {"^ab$", "xaby", false},
      {"a$", "a\n", false}, {"^b", "a\nb", false}, {"(?m)^b", "a\nb", true},
      {"abc", "ABC", false}, {"(?i)abc", "ABC", true}, {"(?i)\u00E9", "\u00C9", true},
      {"^.$", "\u00E9", true}, {"a.b", "a\nb", false}, {"", "", true},
  });
}

TEST(ArgPatternTest, CodePointEscapesAndNamedGroups) {
  expect_searches({
      {"^\\u0041$", "A", true},          {"^\\u{E9}$", "\u00E9", true},
      {"^\\U0001F600$", "\U0001F600", true}, {"^\\U{1F600}$", "\U0001F600", true},
      {"^[\\u0041-\\u005A]+$", "QZ", true}, {"^[\\u0041-\\u005A]+$", "Qz", false},
      {"^\\u00411$", "A1", true},  // exactly four digits belong to the escape
      {"^(?<word>ab)+$", "abab", true},   {"^(?P<word>ab)$", "ab", true},
      {"\\x{1F600}", "\U0001F600", true}, {"[\\x{41}-\\x{43}]", "B", true},
  });
}

TEST(ArgPatternTest, FlagsAnchorsAndAlternations) {
  expect_searches({
      {"(?i)^(rm|del)$", "DEL", true},  {"(?i)^(rm|del)$", "xdel", false},
      {"^rm|del$", "rm -rf", true},     {"^rm|del$", "xdel", true},  // anchors bind per branch
      {"^(?:rm|del)$", "rm -rf", false}, {"(?i)[^k]", "K", false},
      {"(?i)[^k]", "\u212A", false},  // Kelvin sign folds to k
      {"(?i)\\W", "K", false},  {"(?i)\\d", "\u0663", true},
      {"a(?i)b", "aB", true},    {"a(?i)b", "AB", false}, {"(?i:a)b", "AB", false},
      {"^a|", "xyz", true},     {"\\A\\z", "", true}, {"\\.", "a", false},
      {"^[^\\s\\d]+$", "abc", true}, {"^[^\\s\\d]+$", "a\u00A0c", false},
  });
}

TEST(ArgPatternTest, PatternsThatDoNotCompileNeverMatch) {
  for (const char* bad :
       {"[unclosed", "(a", "a{2,1}", "(?<=a)b", "(?<!a)b", "(a)\\1", "*", "[\\d-z]",
        "[a-\\w]", "[!-\\d]", "\\d{1001}", "\\Q.\\E", "a\\Cb", "\\0", "\\012", "[\\0]",
        "\\8", "\\u004", "\\u{}", "\\u{41", "\\uZZZZ", "\\U0041", "\\u{110000}", "a\\",
        "(?<", "[\\Q]\\E]"}) {
    ArgPattern pattern(bad);
    EXPECT_FALSE(pattern.compiled()) << bad;
    EXPECT_FALSE(pattern.search("")) << bad;
    EXPECT_FALSE(pattern.search("a]b1-z!ab(a)a")) << bad;
  }
}

}  // namespace
}  // namespace ossel
