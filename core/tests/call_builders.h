// Short builders for the calls, traces and selectors the engine tests use.
#ifndef OSSEL_TESTS_CALL_BUILDERS_H_
#define OSSEL_TESTS_CALL_BUILDERS_H_

#include <initializer_list>
#include <string>
#include <utility>
#include <vector>

#include "ossel/policy.h"
#include "ossel/tool_call.h"

namespace ossel::testing {

inline ToolCall call(std::string tool) { return ToolCall{std::move(tool), std::nullopt}; }

inline ToolCall call(std::string tool, JsonValue args) {
  return ToolCall{std::move(tool), std::move(args)};
}

// A call whose arguments are the object {key: value}.
inline ToolCall call_with(std::string tool, std::string key, JsonValue value) {
  JsonObject args;
  args.insert_or_assign(std::move(key), std::move(value));
  return call(std::move(tool), JsonValue(std::move(args)));
}

// A trace of calls without arguments, one per name.
inline std::vector<ToolCall> trace_of(std::initializer_list<const char*> names) {
  std::vector<ToolCall> trace;
  for (const char* name : names) trace.push_back(call(name));
  return trace;
}

inline CallSelector plain(std::string name) { return CallSelector::Plain(std::move(name)); }

inline AliasMap aliases_of(
    std::initializer_list<std::pair<const char*, std::vector<std::string>>> groups) {
  AliasMap aliases;
  for (const auto& [name, members] : groups) aliases.insert_or_assign(name, members);
  return aliases;
}

inline Policy policy_with_rules(std::vector<SequenceRule> rules, AliasMap aliases = {}) {
  Policy policy;
  policy.sequences = std::move(rules);
  policy.aliases = std::move(aliases);
  return policy;
}

}  // namespace ossel::testing

#endif  // OSSEL_TESTS_CALL_BUILDERS_H_
