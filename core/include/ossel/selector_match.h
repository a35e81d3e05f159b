// Matching calls against call selectors: by tool name through the policy's
// aliases and, for the mapping form, by the args_match patterns.
//
// A call matches a selector when its tool name equals (byte for byte) one of
// the names the selector's name stands for (expand_alias), and, for the
// mapping form, every args_match entry holds, tested in ascending key order:
// the call's arguments are a JSON object with a member of that key, and the
// entry's pattern matches somewhere in the member's text. A string member is
// tested as its own characters; any other value as its compact JSON text.
// Arguments that are absent or not an object fail every entry; a pattern that
// does not compile fails its entry, silently.
#ifndef OSSEL_SELECTOR_MATCH_H_
#define OSSEL_SELECTOR_MATCH_H_

#include <cstddef>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "ossel/arg_pattern.h"
#include "ossel/ordered_map.h"
#include "ossel/policy.h"
#include "ossel/tool_call.h"

namespace ossel {

// The compiled patterns of one policy: each distinct pattern text is compiled
// once and shared by every selector that uses it.
class PatternCache {
 public:
  std::shared_ptr<const ArgPattern> get(const std::string& pattern);

 private:
  TextHashMap<std::shared_ptr<const ArgPattern>> compiled_;
};

// A selector prepared for testing many calls: its name expanded through the
// aliases and its patterns compiled, once. Immutable after construction, so
// it may be used from several threads at once.
class SelectorMatcher {
 public:
  SelectorMatcher(const CallSelector& selector, const AliasMap& aliases, PatternCache& patterns);

  bool matches(const ToolCall& call) const;

 private:
  bool name_matches(std::string_view tool) const;
  bool args_match(const ToolCall& call) const;

  std::vector<std::string> names_;
  TextHashMap<char> name_index_;  // filled only for long alias member lists
  // In ascending key order; empty for the bare-name form.
  std::vector<std::pair<std::string, std::shared_ptr<const ArgPattern>>> patterns_;
};

// Whether `call` is a call that `selector` names under the policy's aliases.
bool matches(const CallSelector& selector, const ToolCall& call, const Policy& policy);

// The ascending indices of the calls of `trace` that match.
std::vector<size_t> matching_positions(std::span<const ToolCall> trace,
                                       const CallSelector& selector, const Policy& policy);
std::vector<size_t> matching_positions(std::span<const ToolCall> trace,
                                       const SelectorMatcher& selector);

// The ascending indices of the calls whose tool name contains `pattern` as a
// contiguous run of bytes (case-sensitive; no aliases, no regular
// expression). The empty pattern is contained in every name.
std::vector<size_t> blocklist_positions(std::span<const ToolCall> trace, std::string_view pattern);

}  // namespace ossel

#endif  // OSSEL_SELECTOR_MATCH_H_
