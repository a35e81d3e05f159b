#include "trace_file/trace_file_writer.h"

#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <exception>
#include <mutex>
#include <string>

#include "trace_file/after_fork_in_child.h"
#include "trace_file/blocking_call.h"
#include "trace_file/file_lock.h"
#include "trace_file/interruptible_mutex.h"
#include "trace_file/os_file.h"

namespace ossel::python {
namespace {

// Records up to this size, line feed included, report a failed write as a
// failed flush, larger ones as a failed serialization: the texts callers have
// always seen for records that did or did not fit the former write buffer.
constexpr size_t kBufferedRecordLimit = 8192;

// The most bytes Linux accepts in one write; a larger record takes several.
constexpr size_t kMaxWriteSize = 0x7ffff000;

// Which file a writer writes to, whatever path or open reached it.
struct FileIdentity {
  dev_t device;
  ino_t inode;
  bool operator==(const FileIdentity&) const = default;
};

// Marks, for as long as it lives, that this thread is inside the locked step
// for one file. Python code runs inside the step only when a signal handler
// runs during a wait; a handler that records to the same file again must
// fail rather than wait for the locks its own thread holds.
class StepOnThisThread {
 public:
  explicit StepOnThisThread(const FileIdentity& file) : file_(file), outer_(innermost_) {
    innermost_ = this;
  }
  ~StepOnThisThread() { innermost_ = outer_; }
  StepOnThisThread(const StepOnThisThread&) = delete;
  StepOnThisThread& operator=(const StepOnThisThread&) = delete;

  static bool inside(const FileIdentity& file) {
    for (const StepOnThisThread* step = innermost_; step != nullptr; step = step->outer_) {
      if (step->file_ == file) return true;
    }
    return false;
  }

 private:
  static thread_local const StepOnThisThread* innermost_;
  const FileIdentity file_;
  const StepOnThisThread* const outer_;
};

thread_local const StepOnThisThread* StepOnThisThread::innermost_ = nullptr;

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

// The failure of a wait that a signal handler's exception ended; the caller
// passes the exception on and never shows this text.
Error interrupted() { return Error{os_error_text(EINTR)}; }

}  // namespace

struct TraceFileWriter::State {
  State(std::string path, FileDescriptor file, std::optional<FileDescriptor> reader,
        FileIdentity identity)
      : path(std::move(path)),
        file(std::move(file)),
        reader(std::move(reader)),
        identity(identity) {}

  // Run in a child made by fork(), alone (after_fork_in_child.h). The child
  // shares this open of the file with its parent, and with it the lock, which
  // the kernel frees only once every copy of the open is closed: were the
  // parent to die holding it, this copy would keep every writer of the file
  // waiting, the child's own new clients too, and the two processes would not
  // keep each other out. So the child replaces its copy at once with an open
  // of its own, whatever kind of file it is. Where none can be had, and where
  // the forking thread is itself inside a locked step on this file (it ends
  // the step on the open it locked), the copy stays until the next record.
  void open_own_in_child() {
    reopen_pending = mutex.held_by_this_thread() ||
                     !take_over(open_same_file_now(path.c_str(), file.get(), O_WRONLY | O_APPEND));
  }

  // The next record's try, with the interpreter lock held: should it fail
  // too, the shared open serves as before. False when a signal handler
  // raised while the open waited.
  bool open_own_after_fork() {
    if (!reopen_pending) return true;
    Result<FileDescriptor> own = open_same_file(path, file.get(), O_WRONLY | O_APPEND);
    if (!own && PyErr_Occurred()) return false;
    reopen_pending = false;
    if (own) take_over(own->get());
    return true;
  }

  // Makes `file`'s descriptor refer to the open `own` refers to, keeping its
  // number (dup3 replaces the former open in one step). Closes `own`, which
  // is -1 when there is nothing to take over. Async-signal-safe.
  bool take_over(int own) const {
    if (own < 0) return false;
    const bool taken = dup3(own, file.get(), O_CLOEXEC) >= 0;
    ::close(own);
    return taken;
  }

  struct Outcome {
    size_t written = 0;          // bytes the file accepted
    std::optional<int> error;    // errno, or 0 for a write that accepted nothing
  };
  // Writes `bytes` with as many write calls as the file needs: one, unless
  // the record is larger than one write may be or a write is short. Each
  // write is a blocking call; an error of EINTR means a signal handler raised.
  Outcome write_all(std::string_view bytes) const {
    Outcome outcome;
    while (outcome.written < bytes.size()) {
      const size_t size = std::min(bytes.size() - outcome.written, kMaxWriteSize);
      const char* data = bytes.data() + outcome.written;
      const ssize_t n = call_blocking([&]() noexcept { return ::write(file.get(), data, size); });
      if (n <= 0) {
        outcome.error = n < 0 ? errno : 0;
        break;
      }
      outcome.written += static_cast<size_t>(n);
      // A signal that cuts a write short (to a full FIFO, say) does not show
      // as EINTR: the write returns what it wrote. The handlers run before
      // the next write, which may wait for a long time.
      if (outcome.written < bytes.size() && PyErr_CheckSignals() < 0) {
        outcome.error = EINTR;
        break;
      }
    }
    return outcome;
  }

  // What the locked step learns of the file before it writes: whether the
  // content ends inside a line, and the file's size when it was read.
  struct FileEnd {
    bool inside_a_line;
    std::optional<off_t> size;
  };
  // Read from the file when it can be; else (and should the reads fail) what
  // this writer knows of the records it tore itself. Called inside the locked
  // step, so no other writer of the file appends between this and the record.
  FileEnd read_file_end() const {
    if (!reader) return {line_torn, std::nullopt};
    // The file most likely still ends where this writer's last record ended.
    // One read proves it: a line feed there, and no byte after it.
    if (size_after_last_record) {
      char bytes[2];
      const off_t last = *size_after_last_record - 1;
      if (pread(reader->get(), bytes, 2, last) == 1 && bytes[0] == '\n') {
        return {false, size_after_last_record};
      }
    }
    struct stat status;
    char last;
    if (fstat(file.get(), &status) == 0) {
      if (status.st_size == 0) return {false, 0};
      if (pread(reader->get(), &last, 1, status.st_size - 1) == 1) {
        return {last != '\n', status.st_size};
      }
    }
    return {line_torn, std::nullopt};
  }

  const std::string path;  // as the client was given it, for reopening and messages
  // Write-only, appending. Its number never changes; the open behind it is
  // replaced only in a forked child (by open_own_in_child, or under `mutex`).
  const FileDescriptor file;
  bool reopen_pending = false;  // guarded by `mutex`, set in a forked child
  const std::optional<FileDescriptor> reader;  // read-only, for a regular file only
  const FileIdentity identity;
  InterruptibleMutex mutex;
  std::atomic<bool> poisoned{false};
  // Guarded by `mutex`: whether this writer's last record ended part way,
  // without its line feed, and the file's size after its last whole record
  // (when it was known), where read_file_end looks first.
  bool line_torn = false;
  std::optional<off_t> size_after_last_record;
  bool warned_unlocked = false;  // guarded by `mutex`
  AfterForkInChild reopen_in_child{[this] { open_own_in_child(); }};
};

Result<std::unique_ptr<TraceFileWriter>> TraceFileWriter::open(std::string_view path) {
  Result<FileDescriptor> file = open_file(path, O_WRONLY | O_APPEND | O_CREAT, 0666);
  if (!file) return file.error();
  struct stat status;
  if (fstat(file->get(), &status) != 0) return Error{os_error_text(errno)};

  // The last byte is read through a second, read-only open of the very same
  // file (the path may have changed meanwhile). Only a regular file: opening
  // a FIFO or a device for reading would change what the other end sees.
  // Without it (no read permission, or the path changed and no /proc) the
  // writer goes on with what it knows itself.
  std::optional<FileDescriptor> reader;
  if (S_ISREG(status.st_mode)) {
    Result<FileDescriptor> opened = open_same_file(path, file->get(), O_RDONLY);
    if (opened) {
      reader.emplace(std::move(opened).value());
    } else if (PyErr_Occurred()) {
      return opened.error();
    }
  }
  auto state = std::make_unique<State>(std::string(path), std::move(file).value(),
                                       std::move(reader),
                                       FileIdentity{status.st_dev, status.st_ino});
  return std::unique_ptr<TraceFileWriter>(new TraceFileWriter(std::move(state)));
}

TraceFileWriter::TraceFileWriter(std::unique_ptr<State> state) : state_(std::move(state)) {}
TraceFileWriter::~TraceFileWriter() = default;

bool TraceFileWriter::poisoned() const { return state_->poisoned.load(); }

std::optional<Error> TraceFileWriter::locked(
    const std::function<std::optional<Error>()>& body) {
  State& state = *state_;
  if (StepOnThisThread::inside(state.identity)) return Error{kNestedMessage};
  if (!state.mutex.lock()) return interrupted();
  std::unique_lock<InterruptibleMutex> unlock_mutex(state.mutex, std::adopt_lock);
  if (state.poisoned.load()) return Error{kPoisonedMessage};
  const StepOnThisThread step(state.identity);
  if (!state.open_own_after_fork()) return interrupted();
  const ExclusiveFileLock file_lock(state.file.get());
  if (file_lock.interrupted()) return interrupted();
  if (file_lock.refusal() != 0 && !state.warned_unlocked) {
    // Once per client. Should the warning be raised as an error, nothing is
    // written and the exception is passed on.
    state.warned_unlocked = true;
    const std::string reason = os_error_text(file_lock.refusal());
    if (PyErr_WarnFormat(PyExc_RuntimeWarning, 1,
                         "Cannot lock trace file '%s' (%s): its records are written without "
                         "the lock, and other clients' writes can come between their bytes",
                         state.path.c_str(), reason.c_str()) < 0) {
      return interrupted();
    }
  }
  SetOnUnwind poison_on_fault(state.poisoned);
  return body();
}

std::optional<Error> TraceFileWriter::append(const JsonValue& record) {
  // The record's bytes follow one spare leading byte, the line feed that ends
  // an unfinished line, so either form goes out without a copy.
  std::string line = "\n";
  append_json(record, line);
  line.push_back('\n');
  const size_t record_size = line.size() - 1;

  return locked([&]() -> std::optional<Error> {
    State& state = *state_;
    const State::FileEnd file_end = state.read_file_end();
    const size_t start = file_end.inside_a_line ? 0 : 1;
    const State::Outcome outcome = state.write_all(std::string_view(line).substr(start));
    state.size_after_last_record.reset();
    if (!outcome.error) {
      state.line_torn = false;
      if (file_end.size) state.size_after_last_record = *file_end.size + outcome.written;
      return std::nullopt;
    }
    // Where the file now ends: before the spare byte (nothing went out), just
    // after it (the unfinished line is closed), or inside this record.
    const size_t end = start + outcome.written;
    if (end > 0) state.line_torn = end > 1;
    if (*outcome.error == EINTR) return interrupted();

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
