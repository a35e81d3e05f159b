// Small builders for explainer tests: policies and traces written in code.
#ifndef OSSEL_TESTS_EXPLAIN_TEST_SUPPORT_H_
#define OSSEL_TESTS_EXPLAIN_TEST_SUPPORT_H_

#include <initializer_list>
#include <string>
#include <utility>
#include <vector>

#include "ossel/explain.h"
#include "ossel/policy.h"
#include "ossel/tool_call.h"

namespace ossel::testing {

inline CallSelector sel(std::string name) { return CallSelector::Plain(std::move(name)); }

inline Policy make_policy(std::vector<SequenceRule> rules = {},
                          std::vector<std::pair<std::string, std::vector<std::string>>> aliases = {}) {
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

}  // namespace ossel::testing

#endif  // OSSEL_TESTS_EXPLAIN_TEST_SUPPORT_H_
