// TraceFileWriter: appends JSON records, one whole line each, to a trace file
// that other clients, threads and processes may be appending to as well.
//
// A record (its compact JSON text and a line feed) is built whole in memory,
// then written in one locked step: the writer's own mutex keeps apart the
// threads that share the writer, and an exclusive flock on the file keeps out
// every other writer of the file, another client in this process or a client
// in another process (file_lock.h). Inside the step the writer reads the
// file's last byte; when the content ends inside a line (a writer died, or a
// write failed, part way through a record) it writes a line feed ahead of the
// record. So every record starts a line of its own, and a fragment stays in
// the file as a line of its own: nothing in the file is ever truncated or
// rewritten. A record too large for one write goes out in several, all inside
// the step. A writer inherited through fork() opens the file anew in the
// child as fork() returns there, so that it locks apart from its parent, and
// its mutex is free there; no child gets a copy of an open being made.
//
// Only a regular file that the process may read can be read back. For any
// other file (a FIFO, a device, a file without read permission) the writer
// knows only the records it tore itself and those that a fork cut short (a
// thread of the parent was writing one), and starts its next record with a
// line feed after one of those.
#ifndef OSSEL_PYTHON_TRACE_FILE_TRACE_FILE_WRITER_H_
#define OSSEL_PYTHON_TRACE_FILE_TRACE_FILE_WRITER_H_

#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <string_view>

#include "ossel/json.h"
#include "ossel/result.h"

namespace ossel::python {

class TraceFileWriter {
 public:
  // Opens `path` for appending: write-only, created when missing (0666 less
  // the umask), never truncated, closed on exec; a regular file is opened a
  // second time, read-only, to read its last byte. Called with the
  // interpreter lock held, which is released while the open waits (a FIFO
  // waits for a reader). The error text is the operating system's
  // "{description} (os error {n})", or "file name contained an unexpected NUL
  // byte"; the caller adds "Failed to open trace file: ". When a signal
  // handler raised during the wait, its exception is set, to be passed on.
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
  // A signal handler that runs while its thread is inside the locked step
  // for a file cannot record to that same file: the locks it would wait for
  // are held by its own thread.
  static constexpr const char* kNestedMessage =
      "Cannot record a trace from a signal handler while its thread writes to the same trace file";
  // A thread that forks inside its own locked step (a signal handler that
  // runs during a wait and calls fork()) goes on in the child with the
  // parent's record half written, on the parent's open and under the
  // parent's lock. The child leaves the record to the parent: it writes
  // nothing more of it and keeps its hands off the lock.
  static constexpr const char* kForkedMessage =
      "Cannot finish a trace record in a process forked while it was being written: "
      "the parent process writes it";

  // Appends the compact JSON text of `record` and a line feed as one whole
  // line. Called with the interpreter lock held; the text is built before the
  // writer's locks are taken, and every wait (for the locks, for a write)
  // releases the interpreter lock. Returns nothing on success, else the full
  // RuntimeError message ("Failed to lock trace file writer",
  // kNestedMessage, kForkedMessage, "Failed to flush: ...", "Failed to
  // serialize trace: ...").
  // When a signal handler raised during a wait, the call gives up and the
  // handler's exception is set, to be passed on instead of the message. Where
  // the file cannot be locked at all, the first append warns with a
  // RuntimeWarning naming the file; should the warning be raised as an error,
  // nothing is written and it is passed on in the same way.
  std::optional<Error> append(const JsonValue& record);

 private:
  friend class TraceFileWriterTestPeer;
  struct State;
  explicit TraceFileWriter(std::unique_ptr<State> state);

  // Runs `body` inside the locked step: holding the writer's mutex and the
  // file's lock. Fails when the mutex is poisoned, for a nested record to the
  // same file on this thread, when a wait is interrupted, or in a child that
  // this thread forked since the step began. A C++ exception leaving `body`
  // poisons the mutex and propagates.
  std::optional<Error> locked(const std::function<std::optional<Error>()>& body);

  std::unique_ptr<State> state_;
};

}  // namespace ossel::python

#endif  // OSSEL_PYTHON_TRACE_FILE_TRACE_FILE_WRITER_H_
