// The explanation's JSON text: its exact form, escaping in every place a
// name appears, and the pieces it is handed on in. What each rule judges, with
// its message, context and identifier, is checked by the cross-check.
#include <gtest/gtest.h>

#include <string_view>

#include "ossel/explain.h"

namespace ossel {
namespace {

using R = SequenceRule;

CallSelector sel(std::string name) { return CallSelector::Plain(std::move(name)); }

Policy make_policy(std::vector<SequenceRule> rules) {
  Policy policy;
  policy.version = "1.0";
  policy.name = "test";
  policy.sequences = std::move(rules);
  return policy;
}

JsonValue object(std::vector<std::pair<std::string, JsonValue>> members) {
  JsonObject o;
  for (auto& [key, value] : members) o.insert_or_assign(key, std::move(value));
  return JsonValue(std::move(o));
}

TEST(ExplainJsonTest, WholeExplanation) {
  Policy policy = make_policy({{R::Eventually{sel("a"), 1}}});
  policy.name = "p";
  policy.version = "1";
  policy.tools.allow = std::vector<std::string>{"a", "b"};
  // Arguments are written as held: numbers keep their kind, null stays apart from absent.
  std::vector<ToolCall> calls = {{"b", object({{"k", JsonValue(1)}, {"f", 3.0}, {"e", 1e-7}})},
                                 {"c", JsonValue(nullptr)}};
  TraceExplainer explainer(std::move(policy));
  // The direct writer and the records that explain() returns give one text.
  TraceExplanation records = explainer.explain(calls);
  std::string text;
  append_json(records, text);
  EXPECT_EQ(explainer.explain_json(calls), text);
  EXPECT_EQ(
      text,
      R"j({"policy_name":"p","policy_version":"1","total_steps":2,"allowed_steps":1,"blocked_steps":1,)j"
      R"j("first_block_index":1,"steps":[)j"
      R"j({"index":0,"tool":"b","args":{"k":1,"f":3.0,"e":1e-7},"verdict":"allowed","rules_evaluated":[)j"
      R"j({"rule_id":"eventually_a_1","rule_type":"eventually","passed":true,)j"
      R"j("explanation":"'a' required within 1 calls (at 1/1)",)j"
      R"j("context":{"required_tool":"a","within":1,"current_index":0,"seen":false}}],)j"
      R"j("state_snapshot":{"calls:b":"1"}},)j"
      R"j({"index":1,"tool":"c","args":null,"verdict":"blocked","rules_evaluated":[)j"
      R"j({"rule_id":"allow_list","rule_type":"allow","passed":false,"explanation":"Tool 'c' is not in allow list"},)j"
      R"j({"rule_id":"eventually_a_1","rule_type":"eventually","passed":false,)j"
      R"j("explanation":"'a' not seen within first 1 calls",)j"
      R"j("context":{"required_tool":"a","within":1,"current_index":1,"seen":false}}],)j"
      R"j("state_snapshot":{"calls:b":"1","calls:c":"1"}}],"blocking_rules":["allow_list"]})j");
  records.steps[0].verdict = Verdict::kWarning;
  text.clear();
  append_json(records, text);
  EXPECT_NE(text.find(R"j("args":{"k":1,"f":3.0,"e":1e-7},"verdict":"warning",)j"), std::string::npos);
}

// Where pieces end and that they are whole characters is checked by the cross-check.
TEST(ExplainJsonTest, PiecesEndBetweenStepsAndStopWhenTheSinkSaysSo) {
  const TraceExplainer explainer(make_policy({{R::MaxCalls{sel("😀"), 3}}}));
  const std::vector<ToolCall> calls(60, ToolCall{"😀", std::nullopt});
  const std::string text = explainer.explain_json(calls);

  // Piece size 0 hands on every step as it is written: the head comes with
  // the first step, the tail alone.
  std::vector<std::string> steps;
  EXPECT_TRUE(explainer.explain_json_pieces(calls, 0, [&](std::string_view piece) {
    steps.emplace_back(piece);
    return true;
  }));
  ASSERT_EQ(steps.size(), calls.size() + 1);
  EXPECT_TRUE(steps.front().starts_with(R"({"policy_name":"test",)"));
  for (size_t i = 1; i < calls.size(); ++i) EXPECT_TRUE(steps[i].starts_with(",{\"index\":" + std::to_string(i)));
  EXPECT_EQ(steps.back(), R"(],"blocking_rules":["max_calls_😀_3"]})");

  int handed_on = 0;
  EXPECT_FALSE(explainer.explain_json_pieces(calls, 100, [&](std::string_view) { return ++handed_on < 3; }));
  EXPECT_EQ(handed_on, 3);
  // A sink that refuses the last piece alone is heard too.
  EXPECT_FALSE(explainer.explain_json_pieces(calls, text.size() + 1, [](std::string_view) { return false; }));
}

}  // namespace
}  // namespace ossel
