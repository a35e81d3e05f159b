// Short builders for the calls, traces, selectors and rules the engine tests use.
#ifndef OSSEL_TESTS_CALL_BUILDERS_H_
#define OSSEL_TESTS_CALL_BUILDERS_H_

#include <initializer_list>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "ossel/policy.h"
#include "ossel/tool_call.h"

namespace ossel::testing {

inline ToolCall call(std::string tool, std::optional<JsonValue> args = std::nullopt) {
  return ToolCall{std::move(tool), std::move(args)};
}

// A call whose arguments are the object {key: value}.
inline ToolCall call_with(std::string tool, std::string key, JsonValue value) {
  JsonObject args;
  args.insert_or_assign(std::move(key), std::move(value));
  return call(std::move(tool), JsonValue(std::move(args)));
}

// Calls without arguments, one per space-separated name: trace_of("a b a").
inline std::vector<ToolCall> trace_of(const std::string& names) {
  std::vector<ToolCall> trace;
  std::istringstream words(names);
  for (std::string name; words >> name;) trace.push_back(call(name));
  return trace;
}

inline CallSelector plain(std::string name) { return CallSelector::Plain(std::move(name)); }

using Rule = SequenceRule;
using Name = const char*;
inline Rule require(Name a) { return {Rule::Require{plain(a)}}; }
inline Rule eventually(Name a, uint32_t n) { return {Rule::Eventually{plain(a), n}}; }
inline Rule max_calls(Name a, uint32_t n) { return {Rule::MaxCalls{plain(a), n}}; }
inline Rule before(Name a, Name b) { return {Rule::Before{plain(a), plain(b)}}; }
inline Rule after(Name a, Name b, uint32_t n) { return {Rule::After{plain(a), plain(b), n}}; }
inline Rule never_after(Name a, Name b) { return {Rule::NeverAfter{plain(a), plain(b)}}; }
inline Rule blocklist(Name pattern) { return {Rule::Blocklist{pattern}}; }
inline Rule sequence(const std::string& steps, bool strict) {
  Rule::Sequence body{{}, strict};
  for (const ToolCall& step : trace_of(steps)) body.tools.push_back(plain(step.tool));
  return {body};
}

inline AliasMap aliases_of(
    std::initializer_list<std::pair<const char*, std::vector<std::string>>> groups) {
  AliasMap aliases;
  for (const auto& [name, members] : groups) aliases.insert_or_assign(name, members);
  return aliases;
}

inline Policy policy_with_rules(std::vector<Rule> rules, AliasMap aliases = {}) {
  Policy policy;
  policy.sequences = std::move(rules);
  policy.aliases = std::move(aliases);
  return policy;
}

}  // namespace ossel::testing

#endif  // OSSEL_TESTS_CALL_BUILDERS_H_
