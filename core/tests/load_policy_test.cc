// The policy document: keys, value shapes, defaults, on_error, and every
// message with its path and position.
#include "ossel/load_policy.h"

#include <gtest/gtest.h>

#include <string>

namespace ossel {
namespace {

struct MessageCase {
  const char* document;
  const char* message;
};

void expect_messages(const MessageCase* begin, const MessageCase* end) {
  for (const MessageCase* c = begin; c != end; ++c) {
    Result<Policy> result = load_policy(c->document);
    ASSERT_FALSE(result.ok()) << "loaded: " << c->document;
    EXPECT_EQ(result.message(), c->message) << "document:\n" << c->document;
  }
}

Policy load_ok(const std::string& document) {
  Result<Policy> result = load_policy(document);
  EXPECT_TRUE(result.ok()) << (result.ok() ? "" : result.message()) << "\ndocument:\n" << document;
  return result.ok() ? std::move(result).value() : Policy{};
}

TEST(LoadPolicyTest, KeyLoopMessages) {
  const MessageCase cases[] = {
      {"", "missing field `version`"},
      {"# only\n# comments\n", "missing field `version` at line 3 column 1"},
      // Without a final line break the parser still ends the text on a new line.
      {"# only a comment", "missing field `version` at line 2 column 1"},
      {"---\n", "missing field `version` at line 2 column 1"},
      {"name: a\n", "missing field `version`"},
      {"\nname: a\n", "missing field `version` at line 2 column 1"},
      {"Version: 1\n",
       "unknown field `Version`, expected one of `version`, `name`, `metadata`, `tools`, "
       "`sequences`, `aliases`, `on_error`"},
      // The unknown key is met before the end of the mapping, where a
      // missing version would be noticed.
      {"name: a\nVersion: 1\n",
       "unknown field `Version`, expected one of `version`, `name`, `metadata`, `tools`, "
       "`sequences`, `aliases`, `on_error` at line 2 column 1"},
      {"version: 1\n<<: {name: a}\n",
       "unknown field `<<`, expected one of `version`, `name`, `metadata`, `tools`, "
       "`sequences`, `aliases`, `on_error` at line 2 column 1"},
      {"version: 1\nname: a\nname: b\n", "duplicate field `name`"},
      {"# lead\nversion: 1\nname: a\nname: b\n", "duplicate field `name` at line 2 column 1"},
      // A null value still sets the field.
      {"version: 1\nmetadata: ~\nmetadata: {a: 1}\n", "duplicate field `metadata`"},
      {"version: 1\n[a]: 1\n", "invalid type: sequence, expected field identifier at line 2 column 1"},
      {"version: 1\ntools:\n  allow: [a]\n  allow: [b]\n",
       "tools: duplicate field `allow` at line 3 column 3"},
      {"version: 1\ntools:\n  alow: [a]\n",
       "tools: unknown field `alow`, expected one of `allow`, `deny`, `require_args`, "
       "`arg_constraints` at line 3 column 3"},
      {"version: 1\ntools:\n  <<: {}\n",
       "tools: unknown field `<<`, expected one of `allow`, `deny`, `require_args`, "
       "`arg_constraints` at line 3 column 3"},
      {"version: 1\ntools: {deny: [], {a: 1}: x}\n",
       "tools: invalid type: map, expected field identifier at line 2 column 19"},
  };
  expect_messages(std::begin(cases), std::end(cases));
}

TEST(LoadPolicyTest, ValueShapeMessages) {
  const MessageCase cases[] = {
      {"[a, b]\n", "invalid type: sequence, expected struct Policy"},
      {"5\n", "invalid type: integer `5`, expected struct Policy"},
      {"~\n", "invalid type: unit value, expected struct Policy"},
      {"--- 'text'\n", "invalid type: string \"text\", expected struct Policy at line 1 column 5"},
      {"version: [1]\n", "version: invalid type: sequence, expected a string at line 1 column 10"},
      {"version: 1\nname: {a: b}\n", "name: invalid type: map, expected a string at line 2 column 7"},
      {"version: 1\ntools: ~\n",
       "tools: invalid type: unit value, expected struct ToolsPolicy at line 2 column 8"},
      {"version: 1\ntools: [allow]\n",
       "tools: invalid type: sequence, expected struct ToolsPolicy at line 2 column 8"},
      // A standard tag types the value that the shape then refuses.
      {"version: 1\ntools: !!null ~\n",
       "tools: invalid type: unit value, expected struct ToolsPolicy at line 2 column 8"},
      {"version: 1\nsequences: !!str ~\n",
       "sequences: invalid type: string \"~\", expected a sequence at line 2 column 12"},
      {"version: 1\ntools:\n  allow: !!null \"~\"\n",
       "tools.allow: invalid type: unit value, expected a sequence at line 3 column 10"},
      {"version: 1\ntools:\n  deny: !!bool true\n",
       "tools.deny: invalid type: boolean `true`, expected a sequence at line 3 column 9"},
      {"version: 1\naliases: {a: !x ~}\n",
       "aliases.a: invalid type: unit value, expected a sequence at line 2 column 14"},
      {"version: 1\ntools: !!int x\n",
       "tools: invalid value: string \"x\", expected an integer at line 2 column 8"},
      {"version: 1\nsequences: ~\n",
       "sequences: invalid type: unit value, expected a sequence at line 2 column 12"},
      {"version: 1\nsequences: {a: 1}\n",
       "sequences: invalid type: map, expected a sequence at line 2 column 12"},
      {"version: 1\naliases: ~\n", "aliases: invalid type: unit value, expected a map at line 2 column 10"},
      {"version: 1\naliases: [a]\n", "aliases: invalid type: sequence, expected a map at line 2 column 10"},
      {"version: 1\naliases:\n  readers: ~\n",
       "aliases.readers: invalid type: unit value, expected a sequence at line 3 column 12"},
      {"version: 1\naliases:\n  readers: [a, [b]]\n",
       "aliases.readers[1]: invalid type: sequence, expected a string at line 3 column 16"},
      {"version: 1\naliases:\n  [r]: [a]\n",
       "aliases: invalid type: sequence, expected a string at line 3 column 3"},
      {"version: 1\ntools:\n  allow: {a: 1}\n",
       "tools.allow: invalid type: map, expected a sequence at line 3 column 10"},
      {"version: 1\ntools:\n  allow: read\n",
       "tools.allow: invalid type: string \"read\", expected a sequence at line 3 column 10"},
      {"version: 1\ntools:\n  deny: [a, b, [c]]\n",
       "tools.deny[2]: invalid type: sequence, expected a string at line 3 column 16"},
      {"version: 1\ntools:\n  allow: !!null x\n",
       "tools.allow: invalid value: string \"x\", expected null at line 3 column 10"},
      {"version: 1\ntools:\n  allow: !!null\n",
       "tools.allow: invalid value: string \"\", expected null at line 3 column 10"},
      {"version: 1\ntools:\n  require_args: {write: ~}\n",
       "tools.require_args.write: invalid type: unit value, expected a sequence at line 3 column 25"},
      {"version: 1\ntools:\n  require_args: [write]\n",
       "tools.require_args: invalid type: sequence, expected a map at line 3 column 17"},
      {"version: 1\ntools:\n  arg_constraints: {write: [1]}\n",
       "tools.arg_constraints.write: invalid type: sequence, expected a map at line 3 column 28"},
      {"version: 1\ntools:\n  arg_constraints:\n    write: {path: !!bool maybe}\n",
       "tools.arg_constraints.write.path: invalid value: string \"maybe\", expected a boolean "
       "at line 4 column 19"},
      {"version: 1\nmetadata: {[a]: 1}\n",
       "metadata: invalid type: sequence, expected a string key at line 2 column 12"},
      {"version: 1\nmetadata: !!null x\n",
       "metadata: invalid value: string \"x\", expected null at line 2 column 11"},
      {"version: 1\nmetadata: {n: !!int abc}\n",
       "metadata.n: invalid value: string \"abc\", expected an integer at line 2 column 15"},
      {"version: 1\nmetadata: {f: !!float abc}\n",
       "metadata.f: invalid value: string \"abc\", expected a float at line 2 column 15"},
      {"version: 1\nmetadata: [!local x]\n",
       "metadata[0]: invalid type: enum, expected any valid JSON value at line 2 column 12"},
      {"version: 1\nmetadata: {big: 99999999999999999999}\n",
       "metadata.big: JSON number out of range at line 2 column 17"},
  };
  expect_messages(std::begin(cases), std::end(cases));
}

TEST(LoadPolicyTest, OnErrorMessages) {
  const char* kUnknown = "unknown variant `{}`, expected `block` or `allow`";
  auto unknown = [&](const std::string& word, const std::string& where) {
    std::string text = kUnknown;
    return "on_error: " + text.replace(text.find("{}"), 2, word) + where;
  };
  struct Case {
    const char* value;
    std::string message;
  };
  const Case cases[] = {
      {" Allow", unknown("Allow", " at line 2 column 11")},
      {"", unknown("", " at line 2 column 10")},
      {" ~", unknown("~", " at line 2 column 11")},
      {" 'BLOCK'", unknown("BLOCK", " at line 2 column 11")},
      {" !deny", unknown("deny", " at line 2 column 11")},
      // Only a local tag names a variant: a standard tag leaves the text,
      // and the bare "!" is a name of its own.
      {" !!null", unknown("", " at line 2 column 11")},
      {" !!bool true", unknown("true", " at line 2 column 11")},
      {" !", unknown("!", " at line 2 column 11")},
      {" !deny {}", unknown("deny", " at line 2 column 11")},
      {" {}", "on_error: invalid type: map, expected a YAML tag starting with '!' at line 2 column 11"},
      {" [allow]",
       "on_error: invalid type: sequence, expected a YAML tag starting with '!' at line 2 column 11"},
      {" !allow x", "on_error: invalid value: string \"x\", expected null at line 2 column 11"},
      {" !allow ''", "on_error: invalid value: string \"\", expected null at line 2 column 11"},
      {" !allow {a: 1}", "on_error: invalid type: map, expected unit at line 2 column 11"},
      {" !block []", "on_error: invalid type: sequence, expected unit at line 2 column 11"},
  };
  for (const Case& c : cases) {
    Result<Policy> result = load_policy(std::string("version: 1\non_error:") + c.value + "\n");
    ASSERT_FALSE(result.ok()) << c.value;
    EXPECT_EQ(result.message(), c.message) << c.value;
  }
  const std::pair<const char*, ErrorPolicy> accepted[] = {
      {"allow", ErrorPolicy::kAllow},   {"\"allow\"", ErrorPolicy::kAllow},
      {"block", ErrorPolicy::kBlock},   {"!allow", ErrorPolicy::kAllow},
      {"!allow ~", ErrorPolicy::kAllow}, {"!<!allow> null", ErrorPolicy::kAllow},
      {"!!str allow", ErrorPolicy::kAllow}, {"|-\n  allow", ErrorPolicy::kAllow},
  };
  for (const auto& [value, expected] : accepted) {
    EXPECT_EQ(load_ok(std::string("version: 1\non_error: ") + value + "\n").on_error, expected)
        << value;
  }
}

TEST(LoadPolicyTest, DocumentWithOnlyAVersionTakesEveryDefault) {
  Policy policy = load_ok("version: '1'\n");
  Policy expected;
  expected.version = "1";
  EXPECT_EQ(policy, expected);
  EXPECT_EQ(policy.on_error, ErrorPolicy::kBlock);
}

TEST(LoadPolicyTest, TextFieldsTakeAnyScalarAsWritten) {
  const std::pair<const char*, const char*> cases[] = {
      {"1.0", "1.0"},       {"", ""},           {"~", "~"},         {"null", "null"},
      {"true", "true"},     {"007", "007"},     {"'a b'", "a b"},   {"\"tab\\there\"", "tab\there"},
      {"!!int 5", "5"},     {"!x word", "word"}, {">-\n  folded\n  text", "folded text"}, {"|\n  kept", "kept\n"},
  };
  for (const auto& [written, text] : cases) {
    Policy policy = load_ok(std::string("version: ") + written + "\nname: " + written + "\n");
    EXPECT_EQ(policy.version, text) << written;
    EXPECT_EQ(policy.name, text) << written;
  }
}

TEST(LoadPolicyTest, ToolsMembersDistinguishAbsentFromEmpty) {
  EXPECT_EQ(load_ok("version: 1\ntools:\n").tools, ToolsPolicy{});
  EXPECT_EQ(load_ok("version: 1\ntools: {}\n").tools, ToolsPolicy{});

  Policy absent = load_ok("version: 1\ntools:\n  allow: ~\n  deny:\n  require_args: null\n"
                          "  arg_constraints: !!null NULL\n");
  EXPECT_EQ(absent.tools, ToolsPolicy{});

  Policy empty = load_ok("version: 1\ntools:\n  allow: []\n  deny: []\n  require_args: {}\n"
                         "  arg_constraints: {}\n");
  ASSERT_TRUE(empty.tools.allow && empty.tools.deny);
  EXPECT_TRUE(empty.tools.allow->empty());
  EXPECT_TRUE(empty.tools.deny->empty());
  ASSERT_TRUE(empty.tools.require_args && empty.tools.arg_constraints);
  EXPECT_TRUE(empty.tools.require_args->empty());

  Policy texts = load_ok("version: 1\ntools:\n  allow: [read, 1, true, ~, '']\n");
  EXPECT_EQ(texts.tools.allow, (std::vector<std::string>{"read", "1", "true", "~", ""}));
}

TEST(LoadPolicyTest, MapsKeepFirstPlaceAndTakeLaterValue) {
  Policy policy = load_ok(
      "version: 1\n"
      "aliases:\n"
      "  readers: [a, b]\n"
      "  writers:\n"
      "  '<<': [m]\n"
      "  readers: [c]\n"
      "tools:\n"
      "  require_args:\n"
      "    write: [path, mode]\n"
      "  arg_constraints:\n"
      "    write: {path: {prefix: /tmp}, size: 5}\n"
      "    write: {mode: [r, w], path: ~}\n");
  ASSERT_EQ(policy.aliases.size(), 3u);
  EXPECT_EQ(policy.aliases[0].first, "readers");
  EXPECT_EQ(policy.aliases[0].second, (std::vector<std::string>{"c"}));
  EXPECT_EQ(policy.aliases[1].first, "writers");
  EXPECT_TRUE(policy.aliases[1].second.empty());
  EXPECT_EQ(policy.aliases[2].first, "<<");

  ASSERT_TRUE(policy.tools.require_args);
  EXPECT_EQ(*policy.tools.require_args->find("write"), (std::vector<std::string>{"path", "mode"}));
  ASSERT_TRUE(policy.tools.arg_constraints);
  const JsonObject* write = policy.tools.arg_constraints->find("write");
  ASSERT_NE(write, nullptr);
  EXPECT_EQ(to_json(JsonValue(*write)), R"({"mode":["r","w"],"path":null})");
}

TEST(LoadPolicyTest, MetadataIsAJsonValueInDocumentOrder) {
  EXPECT_FALSE(load_ok("version: 1\nmetadata: ~\n").metadata.has_value());
  EXPECT_FALSE(load_ok("version: 1\nmetadata:\n").metadata.has_value());
  Policy policy = load_ok(
      "version: 1\n"
      "metadata:\n"
      "  b: 1\n"
      "  a: [x, 'y', -2, 1.5, .inf, true, ~, 007, 0x10, \"5\"]\n"
      "  c: {z: {}, y: []}\n"
      "  b: !!str 2\n");
  ASSERT_TRUE(policy.metadata);
  EXPECT_EQ(to_json(*policy.metadata),
            R"({"b":"2","a":["x","y",-2,1.5,null,true,null,"007",16,"5"],"c":{"z":{},"y":[]}})");
  EXPECT_EQ(to_json(*load_ok("version: 1\nmetadata: 7\n").metadata), "7");
}

TEST(LoadPolicyTest, AnchorsAndAliasesReadAsTheAnchoredNode) {
  Policy policy = load_ok(
      "version: &v '2'\n"
      "name: *v\n"
      "aliases:\n"
      "  readers: &readers [read_file, list_dir]\n"
      "  again: *readers\n"
      "tools:\n"
      "  allow: *readers\n"
      "sequences:\n"
      "  - &rule {type: require, tool: read_file}\n"
      "  - *rule\n");
  EXPECT_EQ(policy.name, "2");
  EXPECT_EQ(policy.aliases[1].second, policy.aliases[0].second);
  EXPECT_EQ(policy.tools.allow, policy.aliases[0].second);
  ASSERT_EQ(policy.sequences.size(), 2u);
  EXPECT_EQ(policy.sequences[0], policy.sequences[1]);

  // A later anchor of the same name hides the earlier one.
  Policy redefined = load_ok("version: 1\nname: &n a\naliases: {x: [&n b, *n]}\n");
  EXPECT_EQ(redefined.aliases[0].second, (std::vector<std::string>{"b", "b"}));
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
  JsonObject owner;
  owner.insert_or_assign("owner", JsonValue("team"));
  expected.metadata = JsonValue(owner);
  expected.tools.allow = std::vector<std::string>{"read_file", "write_file"};
  expected.tools.deny = std::vector<std::string>{"delete_file"};
  expected.tools.require_args.emplace().insert_or_assign("write_file", {"path"});
  JsonObject pattern, path;
  pattern.insert_or_assign("pattern", JsonValue("^/tmp"));
  path.insert_or_assign("path", JsonValue(pattern));
  expected.tools.arg_constraints.emplace().insert_or_assign("write_file", path);
  expected.sequences = {
      {SequenceRule::Before{CallSelector::Plain("read_file"),
                            CallSelector::Matching("write_file", {{"path", "^/tmp"}})}},
      {SequenceRule::MaxCalls{CallSelector::Plain("read_file"), 3}},
  };
  expected.aliases.insert_or_assign("readers", {"read_file"});
  expected.on_error = ErrorPolicy::kAllow;
  EXPECT_EQ(policy, expected);
}

}  // namespace
}  // namespace ossel
