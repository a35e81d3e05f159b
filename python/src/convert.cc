// Placeholder until the conversion lands: accepts only str tool names in dicts.
#include "convert.h"

namespace ossel::python {

Result<JsonValue> json_from_python(PyObject*) { return Error{"conversion is not built yet"}; }

Result<ToolCall> tool_call_from_python(PyObject*) { return Error{"conversion is not built yet"}; }

}  // namespace ossel::python
