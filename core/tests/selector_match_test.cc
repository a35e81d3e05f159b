#include "ossel/selector_match.h"

#include <gtest/gtest.h>

#include "call_builders.h"

namespace ossel {
namespace {

using testing::aliases_of;
using testing::call;
using testing::call_with;
using testing::plain;
using testing::trace_of;

Policy with_aliases(AliasMap aliases) { return testing::policy_with_rules({}, std::move(aliases)); }

TEST(SelectorMatchTest, NamesMatchExactlyThroughOneAliasLevel) {
  struct Case {
    const char* label;
    AliasMap aliases;
    const char* selector;
    std::vector<const char*> matching;
    std::vector<const char*> not_matching;
  };
  std::vector<std::string> many;
  for (int i = 0; i < 20; ++i) many.push_back("tool" + std::to_string(i));
  const Case cases[] = {
      {"group", aliases_of({{"fs", {"read", "write"}}}), "fs", {"read", "write"}, {"fs"}},
      {"empty group", aliases_of({{"fs", {}}}), "fs", {}, {"fs", "read"}},
      {"one level", aliases_of({{"fs", {"read", "net"}}, {"net", {"fetch"}}}), "fs",
       {"read", "net"}, {"fetch", "fs"}},
      {"lists itself", aliases_of({{"fs", {"fs", "read"}}}), "fs", {"fs", "read"}, {"write"}},
      {"not a key", aliases_of({{"fs", {"read"}}}), "read", {"read"}, {"Read", "read ", "fs"}},
      {"long group", aliases_of({{"all", many}}), "all", {"tool0", "tool15", "tool19"},
       {"tool20", "all"}},
  };
  for (const Case& c : cases) {
    const Policy policy = with_aliases(c.aliases);
    for (const char* name : c.matching) {
      EXPECT_TRUE(matches(plain(c.selector), call(name), policy)) << c.label << ": " << name;
    }
    for (const char* name : c.not_matching) {
      EXPECT_FALSE(matches(plain(c.selector), call(name), policy)) << c.label << ": " << name;
    }
  }
}

TEST(SelectorMatchTest, ArgumentPatternsTestTheValueText) {
  JsonObject nested;
  nested.insert_or_assign("a", JsonValue(1));
  struct Case {
    JsonValue value;
    const char* pattern;
    bool found;
  };
  const Case cases[] = {
      {JsonValue(42), "^42$", true},      {JsonValue("42"), "^42$", true},
      {JsonValue("42"), "^\"42\"$", false}, {JsonValue(-3), "^-3$", true},
      {JsonValue(1e16), "^1e\\+16$", true}, {JsonValue(true), "^true$", true},
      {JsonValue(nullptr), "^null$", true},
      {JsonValue(nested), "^\\{\"a\":1\\}$", true},
      {JsonValue(JsonArray{JsonValue(1), JsonValue("x")}), "^\\[1,\"x\"\\]$", true},
      {JsonValue("xaby"), "ab", true},    {JsonValue("xaby"), "^ab$", false},
      {JsonValue("a"), "[unclosed", false},
  };
  const Policy policy;
  for (const Case& c : cases) {
    const CallSelector selector = CallSelector::Matching("w", {{"v", c.pattern}});
    EXPECT_EQ(matches(selector, call_with("w", "v", c.value), policy), c.found)
        << c.pattern << " against " << to_json(c.value);
  }
}

TEST(SelectorMatchTest, ArgumentsMustBeAnObjectHoldingEveryKey) {
  const Policy policy = with_aliases(aliases_of({{"fs", {"write"}}}));
  const CallSelector two = CallSelector::Matching("fs", {{"mode", "^w$"}, {"path", "^/tmp"}});
  JsonObject both;
  both.insert_or_assign("path", JsonValue("/tmp/x"));
  both.insert_or_assign("mode", JsonValue("w"));
  EXPECT_TRUE(matches(two, call("write", JsonValue(both)), policy));
  EXPECT_FALSE(matches(two, call("fs", JsonValue(both)), policy));  // name goes through the alias
  EXPECT_FALSE(matches(two, call_with("write", "path", JsonValue("/tmp/x")), policy));
  EXPECT_FALSE(matches(two, call_with("write", "mode", JsonValue("w")), policy));
  EXPECT_FALSE(matches(two, call_with("write", "path", JsonValue("/etc")), policy));
  for (const JsonValue& args :
       {JsonValue(nullptr), JsonValue(JsonArray{}), JsonValue("s"), JsonValue(1)}) {
    EXPECT_FALSE(matches(two, call("write", args), policy)) << to_json(args);
  }
  EXPECT_FALSE(matches(two, call("write"), policy));

  const CallSelector no_patterns = CallSelector::Matching("write", {});
  EXPECT_TRUE(matches(no_patterns, call("write"), policy));
  EXPECT_TRUE(matches(no_patterns, call("write", JsonValue(nullptr)), policy));
  EXPECT_FALSE(matches(no_patterns, call("read"), policy));
}

TEST(SelectorMatchTest, PositionFinders) {
  const Policy policy = with_aliases(aliases_of({{"fs", {"read", "write"}}}));
  const std::vector<ToolCall> trace = trace_of({"read", "rm_rf", "write", "farm", "RM", "read"});
  EXPECT_EQ(matching_positions(trace, plain("fs"), policy), (std::vector<size_t>{0, 2, 5}));
  EXPECT_EQ(matching_positions(trace, plain("none"), policy), std::vector<size_t>{});
  EXPECT_EQ(matching_positions({}, plain("fs"), policy), std::vector<size_t>{});
  EXPECT_EQ(blocklist_positions(trace, "rm"), (std::vector<size_t>{1, 3}));
  EXPECT_EQ(blocklist_positions(trace, ""), (std::vector<size_t>{0, 1, 2, 3, 4, 5}));
  EXPECT_EQ(blocklist_positions(trace, "fs"), std::vector<size_t>{});
}

TEST(SelectorMatchTest, PatternCacheCompilesEachTextOnce) {
  PatternCache cache;
  const auto first = cache.get("^a\\d$");
  EXPECT_EQ(cache.get("^a\\d$"), first);
  EXPECT_NE(cache.get("^b$"), first);
  const auto broken = cache.get("(");
  EXPECT_EQ(cache.get("("), broken);
  EXPECT_FALSE(broken->compiled());
}

}  // namespace
}  // namespace ossel
