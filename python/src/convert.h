// Conversion of Python values into the engines' values: one tool call into a
// ToolCall, and any value into a JsonValue. Runs with the interpreter lock
// held and may call back into Python code of the caller's own objects.
//
// Failures come back as an Error carrying the message text that the calling
// operation embeds in its own exception ("Invalid tool call format: {}",
// "Invalid trace format: {}"); no Python error is left set on return.
#ifndef OSSEL_PYTHON_CONVERT_H_
#define OSSEL_PYTHON_CONVERT_H_

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "ossel/json.h"
#include "ossel/result.h"
#include "ossel/tool_call.h"

namespace ossel::python {

// Any Python value to a JSON value (None, bool, int, float, str, lists,
// tuples, dicts, sets, Sequence and Mapping instances, dataclasses).
Result<JsonValue> json_from_python(PyObject* object);

// One tool call (a mapping or a dataclass instance) to a ToolCall.
Result<ToolCall> tool_call_from_python(PyObject* object);

}  // namespace ossel::python

#endif  // OSSEL_PYTHON_CONVERT_H_
