// Writes an explanation as compact JSON straight from the replay, without
// building the record tree: the text is byte for byte that of append_json
// over the records that explain() returns.
#ifndef OSSEL_EXPLAIN_EXPLANATION_JSON_H_
#define OSSEL_EXPLAIN_EXPLANATION_JSON_H_

#include <cstddef>
#include <span>
#include <string>

#include "explain/compiled_policy.h"
#include "ossel/explain.h"
#include "ossel/policy.h"
#include "ossel/tool_call.h"

namespace ossel::explain {

// Appends the whole text to `out`.
void write_explanation_json(const Policy& policy, const CompiledPolicy& compiled,
                            std::span<const ToolCall> calls, std::string& out);

// Hands the text to `sink` piece by piece (TraceExplainer::explain_json_pieces).
bool write_explanation_json_pieces(const Policy& policy, const CompiledPolicy& compiled,
                                   std::span<const ToolCall> calls, size_t piece_size,
                                   const JsonPieceSink& sink);

}  // namespace ossel::explain

#endif  // OSSEL_EXPLAIN_EXPLANATION_JSON_H_
