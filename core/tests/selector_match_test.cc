#include "ossel/selector_match.h"

#include <gtest/gtest.h>

#include "call_builders.h"

namespace ossel {
namespace {

using namespace testing;  // NOLINT: the builders read as a small language

TEST(SelectorMatchTest, NamesMatchExactlyThroughOneAliasLevel) {
  std::vector<std::string> many;  // long enough to be looked up through an index
  for (int i = 0; i < 20; ++i) many.push_back("t" + std::to_string(i));
  const struct {
    AliasMap aliases;
    const char* selector;
    const char* calls;
    std::vector<size_t> matching;
  } cases[] = {
      {aliases_of({{"fs", {"read", "write"}}}), "fs", "read fs write", {0, 2}},
      {aliases_of({{"fs", {}}}), "fs", "fs read", {}},
      {aliases_of({{"fs", {"read", "net"}}, {"net", {"fetch"}}}), "fs", "fetch net", {1}},
      {aliases_of({{"fs", {"fs", "read"}}}), "fs", "write fs read", {1, 2}},
      {aliases_of({{"fs", {"read"}}}), "read", "Read fs read", {2}},
      {aliases_of({{"all", many}}), "all", "t0 t20 all t19", {0, 3}},
  };
  for (const auto& c : cases) {
    const Policy policy = policy_with_rules({}, c.aliases);
    EXPECT_EQ(matching_positions(trace_of(c.calls), plain(c.selector), policy), c.matching)
        << c.selector << " over " << c.calls;
  }
}

TEST(SelectorMatchTest, PatternsSearchStringsAsTextAndOtherValuesAsJson) {
  const struct {
    JsonValue value;
    const char* pattern;
    bool found;
  } cases[] = {
      {JsonValue(42), "^42$", true},
      {JsonValue("42"), "^42$", true},
      {JsonValue("42"), "^\"42\"$", false},
      {JsonValue(nullptr), "^null$", true},
      {JsonValue(JsonArray{JsonValue(1), JsonValue("x")}), "^\\[1,\"x\"\\]$", true},
      {JsonValue("a"), "[unclosed", false},
  };
  for (const auto& c : cases) {
    const CallSelector selector = CallSelector::Matching("w", {{"v", c.pattern}});
    EXPECT_EQ(matches(selector, call_with("w", "v", c.value), Policy{}), c.found) << c.pattern;
  }
}

TEST(SelectorMatchTest, ArgumentsMustBeAnObjectHoldingEveryKey) {
  const Policy policy = policy_with_rules({}, aliases_of({{"fs", {"write"}}}));
  const CallSelector two = CallSelector::Matching("fs", {{"mode", "^w$"}, {"path", "^/tmp"}});
  JsonObject both;
  both.insert_or_assign("path", JsonValue("/tmp/x"));
  both.insert_or_assign("mode", JsonValue("w"));
  EXPECT_TRUE(matches(two, call("write", JsonValue(both)), policy));
  for (const ToolCall& wrong :
       {call_with("write", "path", JsonValue("/tmp/x")), call_with("write", "mode", JsonValue("w")),
        call("write", JsonValue(JsonArray{})), call("write", JsonValue("s")), call("write")}) {
    EXPECT_FALSE(matches(two, wrong, policy)) << to_json(wrong.args.value_or(JsonValue()));
  }
  EXPECT_TRUE(matches(CallSelector::Matching("write", {}), call("write"), policy));
}

TEST(SelectorMatchTest, PatternCacheCompilesEachTextOnce) {
  PatternCache cache;
  const auto first = cache.get("^a\\d$");
  EXPECT_EQ(cache.get("^a\\d$"), first);
  EXPECT_NE(cache.get("^b$"), first);
  EXPECT_FALSE(cache.get("(")->compiled());
}

}  // namespace
}  // namespace ossel
