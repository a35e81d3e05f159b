// Conversion of Python values into the engines' values: one tool call into a
// ToolCall, and any value into a JsonValue. Runs with the interpreter lock
// held and may call back into Python code of the caller's own objects.
//
// Failures come back as an Error carrying the message text that the calling
// operation embeds in its own exception ("Invalid tool call format: {}",
// "Invalid trace format: {}"); no Python error is left set on return. An
// exception raised by Python code during the conversion is carried as
// "{qualified type name}: {str(exception)}", except an interruption (an
// exception that is not an Exception, see errors.h): that one ends the
// conversion and stays set, for raise_conversion_error to pass on unchanged.
//
// Neither function keeps a reference to the object or to anything inside it
// once it returns; every object it walks is held by a strong reference while
// it is used, so Python code that mutates a container mid-way cannot make the
// conversion read freed memory.
#ifndef OSSEL_PYTHON_CONVERT_H_
#define OSSEL_PYTHON_CONVERT_H_

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <span>
#include <string_view>
#include <vector>

#include "ossel/json.h"
#include "ossel/progress.h"
#include "ossel/result.h"
#include "ossel/tool_call.h"
#include "py_ref.h"

namespace ossel::python {

// Containers (lists, tuples, sets, mappings, sequences, dataclass instances)
// may nest this many levels inside one another; a deeper value, such as a list
// that holds itself, is refused with kNestingTooDeepMessage instead of
// recursing without end.
inline constexpr int kMaxNestingDepth = 256;
inline constexpr const char* kNestingTooDeepMessage = "value nested more than 256 levels deep";

// Any Python value to a JSON value (None, bool, int, float, str, lists,
// tuples, dicts, sets, Sequence and Mapping instances, dataclasses).
Result<JsonValue> json_from_python(PyObject* object);

// One tool call (a mapping or a dataclass instance) to a ToolCall: the name
// from "tool"/"name", else "tool_name", else "unknown"; the arguments from
// "args", else "params"/"arguments". The arguments get the full nesting depth.
Result<ToolCall> tool_call_from_python(PyObject* object);

// Every call of a trace, in order, each counted on `progress`; the first call
// that cannot be converted ends the conversion with its error, and so does
// `progress` saying stop (Error{kStoppedMessage}, the signal handler's
// exception set).
Result<std::vector<ToolCall>> tool_calls_from_python(std::span<const PyRef> calls,
                                                     ProgressCheck& progress);

// Raises ValueError "{prefix}{error text}" for a failed conversion, or leaves
// the interruption that ended it in place. Returns a null PyRef.
PyRef raise_conversion_error(std::string_view prefix, const Error& error);

}  // namespace ossel::python

#endif  // OSSEL_PYTHON_CONVERT_H_
