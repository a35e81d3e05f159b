// Writes an explanation as compact JSON straight from the replay, without
// building the record tree: the text is byte for byte that of append_json
// over the records that explain() returns.
#ifndef OSSEL_EXPLAIN_EXPLANATION_JSON_H_
#define OSSEL_EXPLAIN_EXPLANATION_JSON_H_

#include <span>
#include <string>

#include "explain/compiled_policy.h"
#include "ossel/policy.h"
#include "ossel/tool_call.h"

namespace ossel::explain {

void write_explanation_json(const Policy& policy, const CompiledPolicy& compiled,
                            std::span<const ToolCall> calls, std::string& out);

}  // namespace ossel::explain

#endif  // OSSEL_EXPLAIN_EXPLANATION_JSON_H_
