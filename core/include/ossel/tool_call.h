// One tool call as the engines see it: the tool's name and its arguments.
#ifndef OSSEL_TOOL_CALL_H_
#define OSSEL_TOOL_CALL_H_

#include <optional>
#include <string>

#include "ossel/json.h"

namespace ossel {

struct ToolCall {
  std::string tool;                 // "unknown" when the caller gave no name
  std::optional<JsonValue> args;    // absent when the caller gave no arguments

  bool operator==(const ToolCall&) const = default;
};

}  // namespace ossel

#endif  // OSSEL_TOOL_CALL_H_
