// TraceFileWriter: appends JSON records, one whole line each, to a trace file.
//
// Each record (its compact JSON text and a line feed) is built whole in memory
// and handed to the append-mode file in one write, so records of any size from
// any number of writers on the same file stay whole lines; a short write is
// continued with its remainder only. Nothing of a failed record is kept for
// the next one; if a failed record reached the file in part, the next record
// starts with a line feed so that it still begins a line of its own.
#ifndef OSSEL_PYTHON_TRACE_FILE_WRITER_H_
#define OSSEL_PYTHON_TRACE_FILE_WRITER_H_

#include <functional>
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

  // Closes the file. Every record has already been handed to the operating
  // system by append(), so nothing is left to write.
  ~TraceFileWriter();
  TraceFileWriter(const TraceFileWriter&) = delete;
  TraceFileWriter& operator=(const TraceFileWriter&) = delete;

  // True once an internal fault interrupted a holder of the writer's lock;
  // every later append then fails with kPoisonedMessage.
  bool poisoned() const;
  static constexpr const char* kPoisonedMessage = "Failed to lock trace file writer";

  // Appends the compact JSON text of `record` and a line feed as one whole
  // line. Called with the interpreter lock held; the text is built before the
  // writer's lock is taken, and a thread that must wait for that lock waits
  // with the interpreter lock released. Returns nothing on success, else the
  // full RuntimeError message ("Failed to lock trace file writer",
  // "Failed to flush: ...", "Failed to serialize trace: ...").
  std::optional<Error> append(const JsonValue& record);

 private:
  friend class TraceFileWriterTestPeer;
  struct State;
  explicit TraceFileWriter(std::unique_ptr<State> state);

  // Runs `body` holding the writer's lock, or fails when the lock is
  // poisoned. A C++ exception leaving `body` poisons the lock and propagates.
  std::optional<Error> locked(const std::function<std::optional<Error>()>& body);

  std::unique_ptr<State> state_;
};

}  // namespace ossel::python

#endif  // OSSEL_PYTHON_TRACE_FILE_WRITER_H_
