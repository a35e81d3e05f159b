// Second phase of reading a sequence rule: the fields of one rule kind from
// its buffered body. A mapping body matches keys to fields by name or by
// position (unknown keys are skipped); a list body gives the fields in their
// declared order. Call selectors, integers, flags and texts are converted
// here.
#ifndef OSSEL_LOADER_RULE_BODY_H_
#define OSSEL_LOADER_RULE_BODY_H_

#include <cstddef>
#include <optional>

#include "loader/buffered_value.h"
#include "ossel/policy.h"
#include "ossel/result.h"

namespace ossel::loader {

// The rule of kind `type_index` (index into kRuleTypeWords) from `body`.
Result<SequenceRule> build_rule(size_t type_index, const BufferedValue& body);

// A call selector: a text is a plain tool name; a mapping with `tool` and
// `args_match` (texts only) is the matching form. Nothing else is one.
std::optional<CallSelector> to_call_selector(const BufferedValue& value);

}  // namespace ossel::loader

#endif  // OSSEL_LOADER_RULE_BODY_H_
