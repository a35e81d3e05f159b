// The pieces the explanation's JSON text is handed on in. What each rule
// judges, with its message, context and identifier, and the text's escaping
// are checked by the cross-check; the whole text's form by the guide's
// examples.
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
