// The explanation as compact JSON: member order, omitted members, escaping,
// numbers, and the direct writer against the records' writer.
#include <gtest/gtest.h>

#include <cmath>

#include "explain_test_support.h"
#include "ossel/explain.h"

namespace ossel {
namespace {

using namespace testing;

TEST(ExplainJsonTest, WholeExplanation) {
  Policy policy = make_policy({{R::Eventually{sel("a"), 1}}});
  policy.name = "p";
  policy.version = "1";
  policy.tools.allow = std::vector<std::string>{"a", "b"};
  std::vector<ToolCall> calls = {{"b", object({{"k", JsonValue(1)}})}, {"c", std::nullopt}};
  EXPECT_EQ(
      json_of(TraceExplainer(policy), calls),
      R"j({"policy_name":"p","policy_version":"1","total_steps":2,"allowed_steps":1,"blocked_steps":1,)j"
      R"j("first_block_index":1,"steps":[)j"
      R"j({"index":0,"tool":"b","args":{"k":1},"verdict":"allowed","rules_evaluated":[)j"
      R"j({"rule_id":"eventually_a_1","rule_type":"eventually","passed":true,)j"
      R"j("explanation":"'a' required within 1 calls (at 1/1)",)j"
      R"j("context":{"required_tool":"a","within":1,"current_index":0,"seen":false}}],)j"
      R"j("state_snapshot":{"calls:b":"1"}},)j"
      R"j({"index":1,"tool":"c","verdict":"blocked","rules_evaluated":[)j"
      R"j({"rule_id":"allow_list","rule_type":"allow","passed":false,"explanation":"Tool 'c' is not in allow list"},)j"
      R"j({"rule_id":"eventually_a_1","rule_type":"eventually","passed":false,)j"
      R"j("explanation":"'a' not seen within first 1 calls",)j"
      R"j("context":{"required_tool":"a","within":1,"current_index":1,"seen":false}}],)j"
      R"j("state_snapshot":{"calls:b":"1","calls:c":"1"}}],"blocking_rules":["allow_list"]})j");
}

TEST(ExplainJsonTest, EmptyTraceAndEmptyRuleList) {
  Policy policy = make_policy({{R::Require{sel("a")}}});
  EXPECT_EQ(json_of(TraceExplainer(policy), {}),
            R"j({"policy_name":"test","policy_version":"1.0","total_steps":0,"allowed_steps":0,)j"
            R"j("blocked_steps":0,"steps":[],"blocking_rules":[]})j");
  EXPECT_NE(json_of(TraceExplainer(make_policy()), trace({"x"})).find(R"j("rules_evaluated":[],)j"),
            std::string::npos);
}

TEST(ExplainJsonTest, ArgumentsAreWrittenAsHeld) {
  const struct {
    std::optional<JsonValue> args;
    const char* text;  // the step's text up to its verdict
  } cases[] = {
      {std::nullopt, R"j({"index":0,"tool":"t","verdict")j"},
      {JsonValue(JsonObject()), R"j({"index":0,"tool":"t","args":{},"verdict")j"},
      {JsonValue(nullptr), R"j({"index":0,"tool":"t","args":null,"verdict")j"},
      {object({{"x", 3.0}, {"y", 1e16}, {"z", 0.0001}, {"w", 1e-7}, {"n", JsonValue(3)}, {"m", JsonValue(-2)}}),
       R"j({"index":0,"tool":"t","args":{"x":3.0,"y":1e+16,"z":0.0001,"w":1e-7,"n":3,"m":-2},"verdict")j"},
      {JsonValue(JsonArray{JsonValue("a\"b"), JsonValue(true), JsonValue(JsonValue(std::nan("")))}),
       R"j({"index":0,"tool":"t","args":["a\"b",true,null],"verdict")j"},
  };
  for (const auto& c : cases) {
    std::string text = json_of(TraceExplainer(make_policy()), {ToolCall{"t", c.args}});
    EXPECT_NE(text.find(c.text), std::string::npos) << text;
  }
}

TEST(ExplainJsonTest, OddToolNamesAreEscapedEverywhere) {
  const struct {
    std::string tool;
    const char* escaped;
  } cases[] = {
      {"a\"b", R"j(a\"b)j"},
      {"back\\slash", R"j(back\\slash)j"},
      {"new\nline\ttab\r\b\f", R"j(new\nline\ttab\r\b\f)j"},
      {std::string("nul\0x\x01\x1b\x7f", 8), "nul\\u0000x\\u0001\\u001b\x7f"},
      {"naïve/ΣΑΣ", "naïve/ΣΑΣ"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.escaped);
    Policy policy = make_policy({{R::Blocklist{""}}, {R::Sequence{{sel(c.tool)}, false}}});
    policy.tools.deny = std::vector<std::string>{c.tool};
    std::string text = json_of(TraceExplainer(policy), {ToolCall{c.tool, std::nullopt}});
    const std::string e = c.escaped;
    for (const std::string& piece : {
             "\"tool\":\"" + e + "\"",
             "\"Tool '" + e + "' is in deny list\"",
             "\"'" + e + "' matches blocklist pattern ''\"",
             "\"Sequence step 1/1: '" + e + "' ✓\"",
             "\"context\":{\"tools\":[\"" + e + "\"]",
             "\"state_snapshot\":{\"calls:" + e + "\":\"1\"}",
         }) {
      EXPECT_NE(text.find(piece), std::string::npos) << piece << "\n" << text;
    }
  }
}

TEST(ExplainJsonTest, SnapshotCountsGrowingPastEachPowerOfTen) {
  std::vector<std::string> tools;
  for (int n = 0; n < 1200; ++n) tools.push_back(n % 3 == 0 ? "a" : n % 7 == 0 ? "bb" : n % 2 ? "c" : "a");
  tools.push_back("late");
  std::string text = json_of(TraceExplainer(make_policy()), trace(tools));
  EXPECT_NE(text.find(R"j("state_snapshot":{"calls:a":"9","calls:c":"4","calls:bb":"1"})j"), std::string::npos);
  EXPECT_NE(text.rfind(R"j(,"calls:late":"1"}}])j"), std::string::npos);
}

TEST(ExplainJsonTest, RecordsWrittenByHand) {
  TraceExplanation explanation;
  ExplainedStep& step = explanation.steps.emplace_back();
  step.tool = "t";
  step.verdict = Verdict::kWarning;
  step.rules_evaluated.push_back({"r", "require", true, "why", std::nullopt});
  explanation.total_steps = 1;
  std::string text;
  append_json(explanation, text);
  EXPECT_EQ(text,
            R"j({"policy_name":"","policy_version":"","total_steps":1,"allowed_steps":0,"blocked_steps":0,)j"
            R"j("steps":[{"index":0,"tool":"t","verdict":"warning","rules_evaluated":[)j"
            R"j({"rule_id":"r","rule_type":"require","passed":true,"explanation":"why"}]}],"blocking_rules":[]})j");
}

}  // namespace
}  // namespace ossel
