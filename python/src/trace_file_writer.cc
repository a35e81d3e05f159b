#include "trace_file_writer.h"

#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <exception>
#include <mutex>
#include <string>

#include "os_file.h"

namespace ossel::python {
namespace {

// Records up to this size, line feed included, report a failed write as a
// failed flush, larger ones as a failed serialization: the texts callers have
// always seen for records that did or did not fit the former write buffer.
constexpr size_t kBufferedRecordLimit = 8192;

// Releases the interpreter lock for the lifetime of the object, so that a
// thread blocked on the writer's lock never keeps other Python threads (one of
// which may hold the writer's lock and want the interpreter) from running.
class InterpreterLockReleased {
 public:
  InterpreterLockReleased() : thread_state_(PyEval_SaveThread()) {}
  ~InterpreterLockReleased() { PyEval_RestoreThread(thread_state_); }
  InterpreterLockReleased(const InterpreterLockReleased&) = delete;
  InterpreterLockReleased& operator=(const InterpreterLockReleased&) = delete;

 private:
  PyThreadState* thread_state_;
};

// Sets `flag` when destroyed by stack unwinding, i.e. when an exception ends
// the scope it guards.
class SetOnUnwind {
 public:
  explicit SetOnUnwind(std::atomic<bool>& flag)
      : flag_(flag), exceptions_at_entry_(std::uncaught_exceptions()) {}
  ~SetOnUnwind() {
    if (std::uncaught_exceptions() > exceptions_at_entry_) flag_.store(true);
  }
  SetOnUnwind(const SetOnUnwind&) = delete;
  SetOnUnwind& operator=(const SetOnUnwind&) = delete;

 private:
  std::atomic<bool>& flag_;
  int exceptions_at_entry_;
};

}  // namespace

struct TraceFileWriter::State {
  explicit State(FileDescriptor file) : file(std::move(file)) {}

  struct Outcome {
    size_t written = 0;          // bytes the file accepted
    std::optional<int> error;    // errno, or 0 for a write that accepted nothing
  };
  // Writes `bytes` with as many write calls as the file needs: one, unless a
  // write is short; a write interrupted by a signal is repeated.
  Outcome write_all(std::string_view bytes) const {
    Outcome outcome;
    while (outcome.written < bytes.size()) {
      ssize_t n = ::write(file.get(), bytes.data() + outcome.written, bytes.size() - outcome.written);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) {
        outcome.error = n < 0 ? errno : 0;
        break;
      }
      outcome.written += static_cast<size_t>(n);
    }
    return outcome;
  }

  const FileDescriptor file;
  std::mutex mutex;
  std::atomic<bool> poisoned{false};
  // Set while the file ends inside a record whose write failed part way:
  // the next record then writes a line feed first. Guarded by `mutex`.
  bool line_torn = false;
};

Result<std::unique_ptr<TraceFileWriter>> TraceFileWriter::open(std::string_view path) {
  Result<FileDescriptor> file = open_file(path, O_WRONLY | O_APPEND | O_CREAT, 0666);
  if (!file) return file.error();
  auto state = std::make_unique<State>(std::move(file).value());
  return std::unique_ptr<TraceFileWriter>(new TraceFileWriter(std::move(state)));
}

TraceFileWriter::TraceFileWriter(std::unique_ptr<State> state) : state_(std::move(state)) {}
TraceFileWriter::~TraceFileWriter() = default;

bool TraceFileWriter::poisoned() const { return state_->poisoned.load(); }

std::optional<Error> TraceFileWriter::locked(
    const std::function<std::optional<Error>()>& body) {
  std::unique_lock<std::mutex> lock(state_->mutex, std::try_to_lock);
  if (!lock.owns_lock()) {
    InterpreterLockReleased released;
    lock.lock();
  }
  if (state_->poisoned.load()) return Error{kPoisonedMessage};
  SetOnUnwind poison_on_fault(state_->poisoned);
  return body();
}

std::optional<Error> TraceFileWriter::append(const JsonValue& record) {
  // The record's bytes follow one spare leading byte, the line feed that ends
  // a torn line, so either form goes out in one write without a copy.
  std::string line = "\n";
  append_json(record, line);
  line.push_back('\n');
  const size_t record_size = line.size() - 1;

  return locked([&]() -> std::optional<Error> {
    State& state = *state_;
    const size_t start = state.line_torn ? 0 : 1;
    const State::Outcome outcome = state.write_all(std::string_view(line).substr(start));
    if (!outcome.error) {
      state.line_torn = false;
      return std::nullopt;
    }
    // Where the file now ends: before the spare byte (nothing went out), just
    // after it (the torn line is closed), or inside this record.
    const size_t end = start + outcome.written;
    if (end > 0) state.line_torn = end > 1;

    const bool buffered = record_size <= kBufferedRecordLimit;
    std::string message = buffered ? "Failed to flush: " : "Failed to serialize trace: ";
    if (*outcome.error != 0) {
      message += os_error_text(*outcome.error);
    } else {
      message += buffered ? "failed to write the buffered data" : "failed to write whole buffer";
    }
    return Error{std::move(message)};
  });
}

}  // namespace ossel::python
