// The TraceExplainer class: explains one trace at a time, call by call,
// against its own copy of a policy.
#include <memory>
#include <string_view>
#include <utility>
#include <vector>

#include "binding.h"
#include "convert.h"
#include "ossel/explain.h"
#include "str_builder.h"

namespace ossel::python {
namespace {

constexpr const char* kExplainParameters[] = {"traces"};
constexpr Signature kExplainSignature{"TraceExplainer", "explain", kExplainParameters, 1};

// The text goes into the result str in pieces of this size: small enough to
// stay in the processor's cache between being written and being decoded,
// large enough that the str grows by few appends.
constexpr size_t kTextPieceSize = 256 * 1024;

PyObject* new_entry(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return run_entry([&] {
    const Policy* policy = bind_policy_constructor("TraceExplainer", args, kwargs);
    if (policy == nullptr) return PyRef();
    // The explainer keeps its own deep copy, so the Policy object may go away.
    return new_native_object(type, std::make_unique<TraceExplainer>(policy->clone()));
  });
}

// The whole trace is converted before the engine runs: a call that cannot be
// converted leaves nothing explained. The explanation (thousands of bytes per
// call) is decoded into the result piece by piece as it is written, so its
// UTF-8 text is never held whole next to the str. Ctrl-C is looked for while
// the calls are read and converted, and at every piece (a piece is well under a millisecond of
// explaining and decoding); it ends the call with the handler's exception and
// drops what was built. The interpreter lock stays held throughout: the
// conversion needs it, and the engine's work comes between pieces that are
// decoded into the str under it, so other threads could only run between two
// pieces; taking the lock back behind a busy thread costs a switch interval
// (5 ms) at every piece, several times the piece's own work.
PyRef explain(const TraceExplainer& explainer, PyObject* traces_argument) {
  ProgressCheck progress = signal_check();
  std::optional<std::vector<PyRef>> values = read_sequence(traces_argument, "traces", progress);
  if (!values) return PyRef();
  Result<std::vector<ToolCall>> calls = tool_calls_from_python(*values, progress);
  if (!calls) return raise_conversion_error("Invalid tool call format: ", calls.error());
  StrBuilder result;
  const bool written = explainer.explain_json_pieces(calls.value(), kTextPieceSize, [&](std::string_view piece) {
    return no_signal_raised() && result.append(piece);
  });
  if (!written) return PyRef();
  return std::move(result).finish();
}

PyObject* explain_entry(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* keyword_names) {
  return run_method<TraceExplainer, 1>(
      kExplainSignature, self, args, nargs, keyword_names,
      [](const TraceExplainer& explainer, auto& bound) { return explain(explainer, bound[0]); });
}

PyMethodDef explainer_methods[] = {
    {"explain", as_method_table_entry(&explain_entry), METH_FASTCALL | METH_KEYWORDS,
     "explain($self, traces)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

ClassSpec explainer_spec() {
  return {"builtins.TraceExplainer", "TraceExplainer(policy)\n--\n\n", &new_entry,
          explainer_methods, sizeof(NativeObject<TraceExplainer>), &dealloc_native<TraceExplainer>};
}

TypeCell explainer_cell(&explainer_spec);

}  // namespace

PyTypeObject* trace_explainer_type() { return explainer_cell.get(); }

}  // namespace ossel::python
