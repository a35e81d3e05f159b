// TraceFileWriter: appends JSON records, one whole line each, to a trace file.
#ifndef OSSEL_PYTHON_TRACE_FILE_WRITER_H_
#define OSSEL_PYTHON_TRACE_FILE_WRITER_H_

#include <memory>
#include <optional>
#include <string_view>

#include "ossel/json.h"
#include "ossel/result.h"

namespace ossel::python {

class TraceFileWriter {
 public:
  // Opens `path` for appending: created when missing (0666 less the umask),
  // never truncated, closed on exec. The error text is the operating system's
  // "{description} (os error {n})", or "file name contained an unexpected NUL
  // byte"; the caller adds "Failed to open trace file: ".
  static Result<std::unique_ptr<TraceFileWriter>> open(std::string_view path);

  ~TraceFileWriter();
  TraceFileWriter(const TraceFileWriter&) = delete;
  TraceFileWriter& operator=(const TraceFileWriter&) = delete;

  // True once an internal fault interrupted a holder of the writer's lock.
  bool poisoned() const;

  // Appends the compact JSON text of `record` and a line feed as one whole
  // line. Called with the interpreter lock held; waits for the writer's lock
  // with the interpreter lock released. Returns nothing on success, else the
  // full RuntimeError message ("Failed to lock trace file writer",
  // "Failed to flush: ...", "Failed to serialize trace: ...").
  std::optional<Error> append(const JsonValue& record);

 private:
  struct State;
  explicit TraceFileWriter(std::unique_ptr<State> state);
  std::unique_ptr<State> state_;
};

}  // namespace ossel::python

#endif  // OSSEL_PYTHON_TRACE_FILE_WRITER_H_
