// The CoverageAnalyzer class: measures how a set of traces covers a policy.
#include <memory>
#include <string>
#include <vector>

#include "binding.h"
#include "convert.h"
#include "ossel/coverage.h"

namespace ossel::python {
namespace {

constexpr const char* kAnalyzeParameters[] = {"traces", "threshold"};
constexpr Signature kAnalyzeSignature{"CoverageAnalyzer", "analyze", kAnalyzeParameters, 2};

PyObject* new_entry(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return run_entry([&] {
    const Policy* policy = bind_policy_constructor("CoverageAnalyzer", args, kwargs);
    if (policy == nullptr) return PyRef();
    // The analyzer keeps what it needs of the policy, independent of the
    // Policy object it was built from.
    return new_native_object(type, std::make_unique<CoverageAnalyzer>(*policy));
  });
}

// Every trace is read as a sequence first (each one as the iteration over
// `traces` reaches it), so a malformed trace anywhere is reported before any
// call is converted; then the threshold; then the traces
// are converted and evaluated one at a time, each reduced to its coverage
// record before the next one is converted. Ctrl-C is looked for every so many
// traces and calls read, converted, evaluated and summed up in the report
// (inside a long trace too); only a signal handler stops the work, so a stop
// returns with its exception set.
PyRef analyze(const CoverageAnalyzer& analyzer, PyObject* traces_argument,
              PyObject* threshold_argument) {
  ProgressCheck progress = signal_check();
  std::optional<std::vector<std::vector<PyRef>>> traces =
      read_sequence_of_sequences(traces_argument, "traces", progress);
  if (!traces) return PyRef();
  std::optional<double> threshold = read_double(threshold_argument, "threshold");
  if (!threshold) return PyRef();

  std::vector<TraceCoverage> records;
  records.reserve(traces->size());
  for (size_t i = 0; i < traces->size(); ++i) {
    // Each trace counts as a call too, so a run of empty traces is checked.
    if (!progress.advance()) return PyRef();
    Result<std::vector<ToolCall>> calls = tool_calls_from_python((*traces)[i], progress);
    if (!calls) return raise_conversion_error("Invalid trace format: ", calls.error());
    Result<TraceCoverage> record = analyzer.cover_trace("trace_" + std::to_string(i), calls.value(), progress);
    if (!record) return PyRef();
    records.push_back(std::move(record).value());
  }
  Result<CoverageReport> report = analyzer.build_report(records, *threshold, progress);
  if (!report) return PyRef();
  std::string json;
  append_json(report.value(), json);
  return new_text(json);
}

PyObject* analyze_entry(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* keyword_names) {
  return run_method<CoverageAnalyzer, 2>(
      kAnalyzeSignature, self, args, nargs, keyword_names,
      [](const CoverageAnalyzer& analyzer, auto& bound) {
        return analyze(analyzer, bound[0], bound[1]);
      });
}

PyMethodDef analyzer_methods[] = {
    {"analyze", as_method_table_entry(&analyze_entry), METH_FASTCALL | METH_KEYWORDS,
     "analyze($self, traces, threshold)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

ClassSpec analyzer_spec() {
  return {"builtins.CoverageAnalyzer", "CoverageAnalyzer(policy)\n--\n\n", &new_entry,
          analyzer_methods, sizeof(NativeObject<CoverageAnalyzer>),
          &dealloc_native<CoverageAnalyzer>};
}

TypeCell analyzer_cell(&analyzer_spec);

}  // namespace

PyTypeObject* coverage_analyzer_type() { return analyzer_cell.get(); }

}  // namespace ossel::python
