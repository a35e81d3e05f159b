// Small builders for explainer tests: policies and traces written in code,
// and the explanation text as both writers produce it.
#ifndef OSSEL_TESTS_EXPLAIN_TEST_SUPPORT_H_
#define OSSEL_TESTS_EXPLAIN_TEST_SUPPORT_H_

#include <gtest/gtest.h>

#include <initializer_list>
#include <string>
#include <utility>
#include <vector>

#include "ossel/explain.h"
#include "ossel/json.h"
#include "ossel/policy.h"
#include "ossel/tool_call.h"

namespace ossel::testing {

using R = SequenceRule;
using Aliases = std::vector<std::pair<std::string, std::vector<std::string>>>;

inline CallSelector sel(std::string name) { return CallSelector::Plain(std::move(name)); }

inline Policy make_policy(std::vector<SequenceRule> rules = {}, Aliases aliases = {}) {
  Policy policy;
  policy.version = "1.0";
  policy.name = "test";
  policy.sequences = std::move(rules);
  for (auto& [group, members] : aliases) policy.aliases.insert_or_assign(group, std::move(members));
  return policy;
}

inline std::vector<ToolCall> trace(const std::vector<std::string>& tools) {
  std::vector<ToolCall> calls;
  for (const std::string& tool : tools) calls.push_back(ToolCall{tool, std::nullopt});
  return calls;
}

inline JsonValue object(std::vector<std::pair<std::string, JsonValue>> members) {
  JsonObject o;
  for (auto& [key, value] : members) o.insert_or_assign(key, std::move(value));
  return JsonValue(std::move(o));
}

// The explanation's text from the direct writer, checked to be byte for byte
// the text of the records that explain() returns.
inline std::string json_of(const TraceExplainer& explainer, const std::vector<ToolCall>& calls) {
  std::string from_records;
  append_json(explainer.explain(calls), from_records);
  std::string direct = explainer.explain_json(calls);
  EXPECT_EQ(direct, from_records);
  return direct;
}

}  // namespace ossel::testing

#endif  // OSSEL_TESTS_EXPLAIN_TEST_SUPPORT_H_
