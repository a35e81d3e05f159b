// The policy document: keys, value shapes, defaults, on_error, and every
// message with its path and position.
#include "ossel/load_policy.h"

#include <gtest/gtest.h>

#include <string>

namespace ossel {
namespace {

Policy load_ok(const std::string& document) {
  Result<Policy> result = load_policy(document);
  EXPECT_TRUE(result.ok()) << (result.ok() ? "" : result.message()) << "\ndocument:\n" << document;
  return result.ok() ? std::move(result).value() : Policy{};
}

#define POLICY_FIELDS "`version`, `name`, `metadata`, `tools`, `sequences`, `aliases`, `on_error`"
#define TOOLS_FIELDS "`allow`, `deny`, `require_args`, `arg_constraints`"
#define ON_ERROR(value) "version: 1\non_error:" value "\n"
#define VARIANT(word) "on_error: unknown variant `" word "`, expected `block` or `allow`"

TEST(LoadPolicyTest, DocumentMessages) {
  const std::pair<const char*, const char*> cases[] = {
      // Key loops; a missing version is noticed at the end of the mapping.
      {"", "missing field `version`"},
      {"name: a\n", "missing field `version`"},
      {"\nname: a\n", "missing field `version` at line 2 column 1"},
      {"---\n", "missing field `version` at line 2 column 1"},
      // Without a final line break the parser still ends the text on a new line.
      {"# only a comment", "missing field `version` at line 2 column 1"},
      {"name: a\nVersion: 1\n", "unknown field `Version`, expected one of " POLICY_FIELDS " at line 2 column 1"},
      {"version: 1\n<<: {name: a}\n", "unknown field `<<`, expected one of " POLICY_FIELDS " at line 2 column 1"},
      {"version: 1\ntools:\n  alow: [a]\n", "tools: unknown field `alow`, expected one of " TOOLS_FIELDS " at line 3 column 3"},
      // A duplicate is reported where its mapping starts; a null value still sets the field.
      {"# lead\nversion: 1\nname: a\nname: b\n", "duplicate field `name` at line 2 column 1"},
      {"version: 1\nmetadata: ~\nmetadata: {a: 1}\n", "duplicate field `metadata`"},
      {"version: 1\ntools:\n  allow: [a]\n  allow: [b]\n", "tools: duplicate field `allow` at line 3 column 3"},
      {"version: 1\n[a]: 1\n", "invalid type: sequence, expected field identifier at line 2 column 1"},
      // Value shapes.
      {"5\n", "invalid type: integer `5`, expected struct Policy"},
      {"~\n", "invalid type: unit value, expected struct Policy"},
      {"--- 'text'\n", "invalid type: string \"text\", expected struct Policy at line 1 column 5"},
      {"version: [1]\n", "version: invalid type: sequence, expected a string at line 1 column 10"},
      {"version: 1\ntools: ~\n", "tools: invalid type: unit value, expected struct ToolsPolicy at line 2 column 8"},
      {"version: 1\nsequences: ~\n", "sequences: invalid type: unit value, expected a sequence at line 2 column 12"},
      {"version: 1\nsequences: !!str ~\n", "sequences: invalid type: string \"~\", expected a sequence at line 2 column 12"},
      {"version: 1\naliases: ~\n", "aliases: invalid type: unit value, expected a map at line 2 column 10"},
      {"version: 1\naliases:\n  readers: [a, [b]]\n", "aliases.readers[1]: invalid type: sequence, expected a string at line 3 column 16"},
      {"version: 1\naliases:\n  [r]: [a]\n", "aliases: invalid type: sequence, expected a string at line 3 column 3"},
      {"version: 1\ntools:\n  allow: read\n", "tools.allow: invalid type: string \"read\", expected a sequence at line 3 column 10"},
      {"version: 1\ntools:\n  allow: !!null \"~\"\n", "tools.allow: invalid type: unit value, expected a sequence at line 3 column 10"},
      {"version: 1\ntools:\n  allow: !!null\n", "tools.allow: invalid value: string \"\", expected null at line 3 column 10"},
      {"version: 1\ntools: !!int x\n", "tools: invalid value: string \"x\", expected an integer at line 2 column 8"},
      {"version: 1\ntools:\n  arg_constraints: {write: [1]}\n", "tools.arg_constraints.write: invalid type: sequence, expected a map at line 3 column 28"},
      {"version: 1\ntools:\n  arg_constraints:\n    write: {path: !!bool maybe}\n", "tools.arg_constraints.write.path: invalid value: string \"maybe\", expected a boolean at line 4 column 19"},
      {"version: 1\nmetadata: {[a]: 1}\n", "metadata: invalid type: sequence, expected a string key at line 2 column 12"},
      {"version: 1\nmetadata: !!null x\n", "metadata: invalid value: string \"x\", expected null at line 2 column 11"},
      {"version: 1\nmetadata: {f: !!float abc}\n", "metadata.f: invalid value: string \"abc\", expected a float at line 2 column 15"},
      {"version: 1\nmetadata: [!local x]\n", "metadata[0]: invalid type: enum, expected any valid JSON value at line 2 column 12"},
      {"version: 1\nmetadata: {big: 99999999999999999999}\n", "metadata.big: JSON number out of range at line 2 column 17"},
      // on_error: only a local tag names a variant; a standard tag leaves the text, "!" is a name of its own.
      {ON_ERROR(" Allow"), VARIANT("Allow") " at line 2 column 11"},
      {ON_ERROR(""), VARIANT("") " at line 2 column 10"},
      {ON_ERROR(" !deny"), VARIANT("deny") " at line 2 column 11"},
      {ON_ERROR(" !!bool true"), VARIANT("true") " at line 2 column 11"},
      {ON_ERROR(" !"), VARIANT("!") " at line 2 column 11"},
      {ON_ERROR(" !deny {}"), VARIANT("deny") " at line 2 column 11"},
      {ON_ERROR(" {}"), "on_error: invalid type: map, expected a YAML tag starting with '!' at line 2 column 11"},
      {ON_ERROR(" !allow x"), "on_error: invalid value: string \"x\", expected null at line 2 column 11"},
      {ON_ERROR(" !allow ''"), "on_error: invalid value: string \"\", expected null at line 2 column 11"},
      {ON_ERROR(" !block []"), "on_error: invalid type: sequence, expected unit at line 2 column 11"},
  };
  for (const auto& [document, message] : cases) {
    Result<Policy> result = load_policy(document);
    ASSERT_FALSE(result.ok()) << "loaded: " << document;
    EXPECT_EQ(result.message(), message) << "document:\n" << document;
  }
}

TEST(LoadPolicyTest, OnErrorForms) {
  const std::pair<const char*, ErrorPolicy> cases[] = {
      {" block", ErrorPolicy::kBlock}, {" \"allow\"", ErrorPolicy::kAllow}, {" !allow", ErrorPolicy::kAllow},
      {" !<!allow> null", ErrorPolicy::kAllow}, {" !!str allow", ErrorPolicy::kAllow},
  };
  for (const auto& [value, expected] : cases) {
    EXPECT_EQ(load_ok(std::string("version: 1\non_error:") + value + "\n").on_error, expected) << value;
  }
}

TEST(LoadPolicyTest, DocumentWithOnlyAVersionTakesEveryDefault) {
  Policy expected;
  expected.version = "1";
  EXPECT_EQ(load_ok("version: '1'\n"), expected);
  EXPECT_EQ(expected.on_error, ErrorPolicy::kBlock);
}

TEST(LoadPolicyTest, TextFieldsTakeAnyScalarAsWritten) {
  const std::pair<const char*, const char*> cases[] = {
      {"1.0", "1.0"}, {"", ""}, {"~", "~"}, {"007", "007"}, {"\"tab\\there\"", "tab\there"}, {"!!int 5", "5"},
      {"!x word", "word"}, {">-\n  folded\n  text", "folded text"}, {"|\n  kept", "kept\n"},
  };
  for (const auto& [written, text] : cases) {
    Policy policy = load_ok(std::string("version: ") + written + "\nname: " + written + "\n");
    EXPECT_EQ(policy.version, text) << written;
    EXPECT_EQ(policy.name, text) << written;
  }
}

TEST(LoadPolicyTest, ToolsMembersDistinguishAbsentFromEmpty) {
  EXPECT_EQ(load_ok("version: 1\ntools:\n").tools, ToolsPolicy{});
  EXPECT_EQ(
      load_ok("version: 1\ntools:\n  allow: ~\n  deny:\n  require_args: null\n  arg_constraints: !!null NULL\n").tools,
      ToolsPolicy{});
  ToolsPolicy empty =
      load_ok("version: 1\ntools: {allow: [], deny: [], require_args: {}, arg_constraints: {}}\n").tools;
  ASSERT_TRUE(empty.allow && empty.deny && empty.require_args && empty.arg_constraints);
  EXPECT_TRUE(empty.allow->empty() && empty.deny->empty());
  EXPECT_TRUE(empty.require_args->empty() && empty.arg_constraints->empty());
  EXPECT_EQ(load_ok("version: 1\ntools:\n  allow: [read, 1, ~, '']\n").tools.allow,
            (std::vector<std::string>{"read", "1", "~", ""}));
}

TEST(LoadPolicyTest, MapsKeepFirstPlaceAndTakeLaterValue) {
  Policy policy = load_ok(
      "version: 1\n"
      "aliases: {readers: [a, b], writers: , '<<': [m], readers: [c]}\n"
      "tools:\n"
      "  require_args: {write: [path, mode]}\n"
      "  arg_constraints:\n"
      "    write: {path: {prefix: /tmp}, size: 5}\n"
      "    write: {mode: [r, w], path: ~}\n");
  using Aliases = OrderedMap<std::vector<std::string>>;
  Aliases aliases;
  aliases.insert_or_assign("readers", {"c"});
  aliases.insert_or_assign("writers", {});
  aliases.insert_or_assign("<<", {"m"});
  EXPECT_EQ(policy.aliases, aliases);
  ASSERT_TRUE(policy.tools.require_args && policy.tools.arg_constraints);
  EXPECT_EQ(*policy.tools.require_args->find("write"), (std::vector<std::string>{"path", "mode"}));
  const JsonObject* write = policy.tools.arg_constraints->find("write");
  ASSERT_NE(write, nullptr);
  EXPECT_EQ(to_json(JsonValue(*write)), R"({"mode":["r","w"],"path":null})");
}

TEST(LoadPolicyTest, MetadataIsAJsonValueInDocumentOrder) {
  EXPECT_FALSE(load_ok("version: 1\nmetadata: ~\n").metadata.has_value());
  EXPECT_FALSE(load_ok("version: 1\nmetadata:\n").metadata.has_value());
  EXPECT_EQ(to_json(*load_ok("version: 1\nmetadata: 7\n").metadata), "7");
  Policy policy =
      load_ok("version: 1\nmetadata:\n  b: 1\n  a: [x, -2, 1.5, true, ~, 007, {k: v}]\n  c: {z: {}, y: []}\n  b: !!str 2\n");
  ASSERT_TRUE(policy.metadata);
  EXPECT_EQ(to_json(*policy.metadata), R"({"b":"2","a":["x",-2,1.5,true,null,"007",{"k":"v"}],"c":{"z":{},"y":[]}})");
}

// Rules replayed through aliases are checked with the rules.
TEST(LoadPolicyTest, AnchorsAndAliasesReadAsTheAnchoredNode) {
  Policy policy = load_ok(
      "version: &v '2'\n"
      "name: *v\n"
      "aliases: {readers: &readers [read_file, list_dir], again: *readers}\n"
      "tools: {allow: *readers}\n");
  EXPECT_EQ(policy.name, "2");
  EXPECT_EQ(policy.aliases[1].second, policy.aliases[0].second);
  EXPECT_EQ(policy.tools.allow, policy.aliases[0].second);
  // A later anchor of the same name hides the earlier one.
  EXPECT_EQ(load_ok("version: 1\nname: &n a\naliases: {x: [&n b, *n]}\n").aliases[0].second,
            (std::vector<std::string>{"b", "b"}));
}

// Asked to stop, a load ends with the stop, whether it is parsing (a long
// document that the reader refuses at its first event) or reading (alias
// replays of a short one).
TEST(LoadPolicyTest, StopsWhenAskedTo) {
  std::string items, aliases;
  for (int i = 0; i < 5000; ++i) items += "1, ";
  for (int i = 0; i < 50; ++i) aliases += "*a, ";
  const std::string texts[] = {"[" + items + "]",
                               "version: 1\nmetadata: {a: &a [" + items.substr(0, 300) + "], b: [" + aliases + "]}\n"};
  for (const std::string& text : texts) {
    EXPECT_EQ(load_policy(text, [] { return false; }).error(), Error{kStoppedMessage}) << text.substr(0, 20);
  }
}

TEST(LoadPolicyTest, FullPolicyLoadsEveryField) {
  Policy policy = load_ok(R"(
version: "1.0"
name: demo
metadata: {owner: team}
tools:
  allow: [read_file, write_file]
  deny: [delete_file]
  require_args: {write_file: [path]}
  arg_constraints: {write_file: {path: {pattern: "^/tmp"}}}
sequences:
  - type: before
    first: read_file
    then: {tool: write_file, args_match: {path: "^/tmp"}}
  - [max_calls, read_file, 3]
aliases:
  readers: [read_file]
on_error: allow
)");
  Policy expected;
  expected.version = "1.0";
  expected.name = "demo";
  JsonObject owner, pattern, path;
  owner.insert_or_assign("owner", JsonValue("team"));
  expected.metadata = JsonValue(owner);
  expected.tools.allow = std::vector<std::string>{"read_file", "write_file"};
  expected.tools.deny = std::vector<std::string>{"delete_file"};
  expected.tools.require_args.emplace().insert_or_assign("write_file", {"path"});
  pattern.insert_or_assign("pattern", JsonValue("^/tmp"));
  path.insert_or_assign("path", JsonValue(pattern));
  expected.tools.arg_constraints.emplace().insert_or_assign("write_file", path);
  expected.sequences = {
      {SequenceRule::Before{CallSelector::Plain("read_file"), CallSelector::Matching("write_file", {{"path", "^/tmp"}})}},
      {SequenceRule::MaxCalls{CallSelector::Plain("read_file"), 3}},
  };
  expected.aliases.insert_or_assign("readers", {"read_file"});
  expected.on_error = ErrorPolicy::kAllow;
  EXPECT_EQ(policy, expected);
}

}  // namespace
}  // namespace ossel
