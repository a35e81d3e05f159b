// The OsselClient class: records trace objects as lines of compact JSON in a
// trace file named when the client is made.
#include <memory>
#include <optional>

#include "binding.h"
#include "convert.h"
#include "trace_file/trace_file_writer.h"

namespace ossel::python {
namespace {

// A client made without a trace file has no writer and never gets one.
struct ClientRecord {
  std::unique_ptr<TraceFileWriter> writer;
};

constexpr const char* kNewParameters[] = {"trace_file"};
constexpr Signature kNewSignature{"OsselClient", "__new__", kNewParameters, 0};
constexpr const char* kRecordParameters[] = {"trace"};
constexpr Signature kRecordSignature{"OsselClient", "record_trace", kRecordParameters, 1};

PyRef make_client(PyTypeObject* type, PyObject* trace_file_argument) {
  auto record = std::make_unique<ClientRecord>();
  if (trace_file_argument != nullptr && trace_file_argument != Py_None) {
    std::optional<std::string_view> path = read_text(trace_file_argument, "trace_file");
    if (!path) return PyRef();
    Result<std::unique_ptr<TraceFileWriter>> writer = TraceFileWriter::open(*path);
    if (!writer.ok()) {
      return raise_error_unless_set(PyExc_RuntimeError,
                                    "Failed to open trace file: " + writer.message());
    }
    record->writer = std::move(writer).value();
  }
  return new_native_object(type, std::move(record));
}

PyObject* new_entry(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return run_entry([&] {
    PyObject* bound[1];
    if (!bind_call(kNewSignature, args, kwargs, bound)) return PyRef();
    return make_client(type, bound[0]);
  });
}

PyRef record_trace(const ClientRecord& client, PyObject* trace) {
  if (!client.writer) {
    return raise_error(PyExc_RuntimeError,
                       "trace_file is not configured; provide trace_file when creating "
                       "OsselClient to enable record_trace");
  }
  if (client.writer->poisoned()) {
    return raise_error(PyExc_RuntimeError, TraceFileWriter::kPoisonedMessage);
  }
  // The trace is converted before the writer's lock is taken: the conversion
  // may run the caller's Python code, which may record on this very client.
  Result<JsonValue> value = json_from_python(trace);
  if (!value.ok()) return raise_conversion_error("Invalid trace format: ", value.error());
  if (std::optional<Error> error = client.writer->append(value.value())) {
    return raise_error_unless_set(PyExc_RuntimeError, error->message);
  }
  return PyRef::borrow(Py_None);
}

PyObject* record_trace_entry(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* keyword_names) {
  return run_method<ClientRecord, 1>(
      kRecordSignature, self, args, nargs, keyword_names,
      [](const ClientRecord& client, auto& bound) { return record_trace(client, bound[0]); });
}

PyMethodDef client_methods[] = {
    {"record_trace", as_method_table_entry(&record_trace_entry), METH_FASTCALL | METH_KEYWORDS,
     "record_trace($self, trace)\n--\n\n"
     "Record a trace object to the configured trace file.\n\n"
     "Args:\n"
     "    trace (Any): A JSON-serializable object (usually a dict) representing the trace.\n\n"
     "Raises:\n"
     "    RuntimeError: If no trace_file was configured or writing fails.\n"
     "    ValueError: If the trace object cannot be serialized to JSON."},
    {nullptr, nullptr, 0, nullptr},
};

ClassSpec client_spec() {
  return {"builtins.OsselClient",
          "OsselClient(trace_file=None)\n--\n\nA client for recording Ossel traces from Python.",
          &new_entry,
          client_methods,
          sizeof(NativeObject<ClientRecord>),
          &dealloc_native<ClientRecord>};
}

TypeCell client_cell(&client_spec);

}  // namespace

PyTypeObject* ossel_client_type() { return client_cell.get(); }

}  // namespace ossel::python
