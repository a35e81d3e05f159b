// Selector operations that need no call arguments: alias expansion, the
// display text quoted in messages and identifiers, and the JSON form used in
// rule contexts. Argument-pattern matching lives in selector_match.h.
#ifndef OSSEL_SELECTOR_H_
#define OSSEL_SELECTOR_H_

#include <string>
#include <string_view>
#include <vector>

#include "ossel/json.h"
#include "ossel/policy.h"

namespace ossel {

// The tool names `name` stands for: when it is a key of `aliases`, that
// group's member list (complete, in order, possibly empty; the key itself is
// not included), otherwise `name` alone. One level deep: members are taken
// literally even when they are group names themselves.
std::vector<std::string> expand_alias(const AliasMap& aliases, std::string_view name);

// The display text: the bare name, or the tool followed by the args_match
// keys in brackets ("write_file[mode,path]", "read[]"). Patterns are not shown.
void append_display_text(const CallSelector& selector, std::string& out);
std::string display_text(const CallSelector& selector);

// The display text of each selector, in order.
std::vector<std::string> selector_labels(const std::vector<CallSelector>& selectors);

// A bare name as a JSON string; the mapping form as {"tool":...,"args_match":{...}}
// with the patterns in key order.
JsonValue selector_to_json(const CallSelector& selector);

}  // namespace ossel

#endif  // OSSEL_SELECTOR_H_
