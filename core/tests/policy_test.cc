#include "ossel/policy.h"

#include <gtest/gtest.h>

#include <memory>

#include "ossel/selector.h"

namespace ossel {
namespace {

Policy sample_policy() {
  Policy p;
  p.version = "1.0";
  p.name = "sample";
  JsonObject metadata;
  metadata.insert_or_assign("b", JsonValue(1));
  metadata.insert_or_assign("a", JsonValue("x"));
  p.metadata = JsonValue(std::move(metadata));
  p.tools.allow = std::vector<std::string>{"read", "write"};
  p.tools.deny = std::vector<std::string>{};
  p.tools.require_args.emplace();
  p.tools.require_args->insert_or_assign("write", {"path"});
  p.sequences.push_back({SequenceRule::After{CallSelector::Plain("open"), CallSelector::Plain("close")}});
  p.sequences.push_back({SequenceRule::Sequence{
      {CallSelector::Matching("write", {{"path", "^/tmp"}, {"mode", "w"}}), CallSelector::Plain("g")},
      true}});
  p.aliases.insert_or_assign("g", {"read", "read"});
  p.on_error = ErrorPolicy::kAllow;
  return p;
}

TEST(PolicyTest, DefaultsMatchADocumentWithOnlyAVersion) {
  Policy p;
  EXPECT_EQ(p.name, "");
  EXPECT_FALSE(p.metadata.has_value());
  EXPECT_FALSE(p.tools.allow || p.tools.deny || p.tools.require_args || p.tools.arg_constraints);
  EXPECT_TRUE(p.sequences.empty());
  EXPECT_TRUE(p.aliases.empty());
  EXPECT_EQ(p.on_error, ErrorPolicy::kBlock);
  EXPECT_EQ(SequenceRule::After{}.within, 1u);
  EXPECT_FALSE(SequenceRule::Sequence{}.strict);
}

TEST(PolicyTest, AbsentAndEmptyListsDiffer) {
  Policy absent, empty;
  empty.tools.allow = std::vector<std::string>{};
  EXPECT_NE(absent, empty);
}

TEST(PolicyTest, CloneIsEqualAndOutlivesItsSource) {
  auto source = std::make_unique<Policy>(sample_policy());
  Policy copy = source->clone();
  EXPECT_EQ(copy, *source);
  source.reset();
  EXPECT_EQ(copy, sample_policy());
  const auto& body = std::get<SequenceRule::Sequence>(copy.sequences[1].body);
  EXPECT_EQ(display_text(body.tools[0]), "write[mode,path]");
  EXPECT_EQ(to_json(*copy.metadata), R"({"b":1,"a":"x"})");
  EXPECT_EQ(copy.sequences[0].type_word(), "after");
  EXPECT_EQ(clone_rules(copy.sequences), copy.sequences);
}

TEST(SelectorTest, DisplayTextAndJsonForm) {
  EXPECT_EQ(display_text(CallSelector::Plain("read")), "read");
  EXPECT_EQ(display_text(CallSelector::Matching("read", {})), "read[]");
  EXPECT_EQ(to_json(selector_to_json(CallSelector::Plain("run"))), R"("run")");
  EXPECT_EQ(to_json(selector_to_json(CallSelector::Matching("run", {{"cmd", "rm.*"}, {"a", "x"}}))),
            R"({"tool":"run","args_match":{"a":"x","cmd":"rm.*"}})");
  EXPECT_EQ(selector_labels({CallSelector::Plain("a"), CallSelector::Matching("b", {{"k", ""}})}),
            (std::vector<std::string>{"a", "b[k]"}));
}

TEST(SelectorTest, AliasExpansionIsOneLevelDeep) {
  AliasMap aliases;
  aliases.insert_or_assign("fs", {"read", "net"});
  aliases.insert_or_assign("net", {"fetch"});
  aliases.insert_or_assign("none", {});
  EXPECT_EQ(expand_alias(aliases, "fs"), (std::vector<std::string>{"read", "net"}));
  EXPECT_TRUE(expand_alias(aliases, "none").empty());
  EXPECT_EQ(expand_alias(aliases, "other"), (std::vector<std::string>{"other"}));
  EXPECT_EQ(expand_alias(AliasMap{}, "fs"), (std::vector<std::string>{"fs"}));
}

}  // namespace
}  // namespace ossel
