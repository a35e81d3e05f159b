#include "trace_file/trace_file_writer.h"

#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <cerrno>
#include <exception>
#include <mutex>
#include <string>

#include "trace_file/after_fork_in_child.h"
#include "trace_file/blocking_call.h"
#include "trace_file/cut_at_fork.h"
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
  explicit State(std::string path) : path(std::move(path)) {}
  // The write descriptor is closed while forks are held off, and before the
  // registration for forks goes: a child forked meanwhile either has this
  // writer's open, and replaces it with its own, or has no copy of it.
  ~State() {
    const ForksHeldOff closing;
    file = FileDescriptor(-1);
  }

  // Opens `path` for appending into `file`: write-only, created when missing
  // (0666 less the umask), never truncated, closed on exec. Called with the
  // interpreter lock held, which is released while the open waits.
  //
  // The writer is registered for forks before this, and the open that makes
  // the descriptor and the store into `file` both happen while forks are held
  // off: a child made by another thread's fork() meanwhile has either the
  // writer's open, which it replaces at once (open_own_in_child), or no copy
  // of it. No child keeps a copy of an open that no writer of its own owns,
  // which would keep the parent's lock taken for as long as the child lives,
  // should the parent die holding it. The opens made with forks held off do
  // not wait: a FIFO without a reader fails them with ENXIO, and a blocking
  // open outside the lock then waits for a reader, after which the writer's
  // own open of the same FIFO is made. A child forked during that wait holds
  // a copy of the waiting open, which nobody locks; its only effect is that
  // the FIFO's reader sees no end of file while that child lives.
  std::optional<Error> open_file() {
    constexpr int kFlags = O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC;
    for (;;) {
      int opened = call_blocking([&]() noexcept {
        const ForksHeldOff opening;
        return keep_open(::open(path.c_str(), kFlags | O_NONBLOCK, 0666));
      });
      if (opened >= 0) return std::nullopt;
      const int error = errno;
      struct stat status;
      if (error != ENXIO || stat(path.c_str(), &status) != 0 || !S_ISFIFO(status.st_mode)) {
        return Error{os_error_text(error)};
      }
      const int waiting =
          call_blocking([&]() noexcept { return ::open(path.c_str(), kFlags, 0666); });
      if (waiting < 0) return Error{os_error_text(errno)};
      const FileDescriptor waiting_open(waiting);
      opened = call_blocking([&]() noexcept {
        const ForksHeldOff opening;
        return keep_open(open_same_file_now(path.c_str(), waiting, O_WRONLY | O_APPEND));
      });
      if (opened >= 0) return std::nullopt;
      if (errno != ENXIO) return Error{os_error_text(errno)};
      // The reader has gone again: wait for the next one.
    }
  }

  // Stores `opened` in `file`, blocking again; else closes it. Returns it, or
  // -1 with errno set. Called with forks held off.
  int keep_open(int opened) noexcept {
    if (opened < 0) return -1;
    const int flags = fcntl(opened, F_GETFL);
    if (flags < 0 || fcntl(opened, F_SETFL, flags & ~O_NONBLOCK) != 0) {
      const int error = errno;
      ::close(opened);
      errno = error;
      return -1;
    }
    file = FileDescriptor(opened);
    return opened;
  }

  // Run in a child made by fork(), alone (after_fork_in_child.h). The child
  // shares this open of the file with its parent, and with it the lock, which
  // the kernel frees only once every copy of the open is closed: were the
  // parent to die holding it, this copy would keep every writer of the file
  // waiting, the child's own new clients too, and the two processes would not
  // keep each other out. So the child replaces its copy at once with an open
  // of its own, whatever kind of file it is. Where none can be had, and where
  // the forking thread is itself inside a locked step on this file (it ends
  // the step on the open it locked), the copy stays until the next record.
  // A thread that was writing a record (the forking thread or another) may
  // have left part of it in the file, and the child will not finish it: the
  // file is noted, so that the child's next record there starts a new line.
  // Whether the mutex was held by the forking thread reads the same before
  // and after the mutex frees itself in the child, so the order in which the
  // two run does not matter.
  void open_own_in_child() {
    if (file.get() < 0) return;  // not open yet: the child has no copy of the open
    if (writing.load(std::memory_order_relaxed)) CutAtFork::note_in_child(identity);
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

  // Whether this thread forked since its locked step began, and goes on in
  // the child: Python code that it ran inside the step (a signal handler
  // during a wait, the warning) called fork(). The record is the parent's,
  // which holds the same lock on the same open and finishes it; the child
  // writes nothing more of it. Called holding `mutex`.
  bool forked_in_step() const { return fork_generation() != step_fork_generation; }

  struct Outcome {
    size_t written = 0;          // bytes the file accepted
    std::optional<int> error;    // errno, or 0 for a write that accepted nothing
    bool forked = false;         // the step goes on in a child: see forked_in_step
  };
  // Writes `bytes` with as many write calls as the file needs: one, unless
  // the record is larger than one write may be or a write is short. Each
  // write is a blocking call; an error of EINTR means a signal handler raised.
  // Called holding `mutex`.
  Outcome write_all(std::string_view bytes) {
    Outcome outcome;
    while (outcome.written < bytes.size()) {
      const size_t size = std::min(bytes.size() - outcome.written, kMaxWriteSize);
      const char* data = bytes.data() + outcome.written;
      // A child forked while this write waits may find part of the record in
      // the file, never to be finished; not so when the file takes the write
      // whole or not at all (a FIFO, up to PIPE_BUF bytes) and nothing of the
      // record went out before it.
      writing.store(outcome.written > 0 || size > whole_or_nothing_up_to, std::memory_order_relaxed);
      // Checked before every write, the repeats after signal handlers ran too.
      const ssize_t n = call_blocking([&]() noexcept -> ssize_t {
        if (forked_in_step()) {
          errno = 0;
          return -1;
        }
        return ::write(file.get(), data, size);
      });
      if (n <= 0) {
        outcome.forked = forked_in_step();
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
    writing.store(false, std::memory_order_relaxed);
    return outcome;
  }

  // What the locked step learns of the file before it writes: whether the
  // content ends inside a line, and the file's size when it was read.
  struct FileEnd {
    bool inside_a_line;
    std::optional<off_t> size;
  };
  // Read from the file when it can be; else (and should the reads fail) what
  // this process knows of the records cut short on the file: by this writer,
  // and by a fork (cut_at_fork.h). Called inside the locked step, so no other
  // writer of the file appends between this and the record.
  FileEnd read_file_end() const {
    if (!reader) return {known_cut(), std::nullopt};
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
    return {known_cut(), std::nullopt};
  }
  bool known_cut() const { return line_torn || CutAtFork::may_be_cut(identity); }

  const std::string path;  // as the client was given it, for reopening and messages
  // Write-only, appending; -1 until open_file opened it. Set and closed only
  // while forks are held off. Its number never changes once set; the open
  // behind it is replaced only in a forked child (by open_own_in_child, or
  // under `mutex`).
  FileDescriptor file{-1};
  bool reopen_pending = false;  // guarded by `mutex`, set in a forked child
  // Set once by open(), before the writer is used.
  std::optional<FileDescriptor> reader;  // read-only, for a regular file only
  FileIdentity identity{};
  InterruptibleMutex mutex;
  std::atomic<bool> poisoned{false};
  // Guarded by `mutex`: whether this writer's last record ended part way,
  // without its line feed, and the file's size after its last whole record
  // (when it was known), where read_file_end looks first.
  bool line_torn = false;
  std::optional<off_t> size_after_last_record;
  bool warned_unlocked = false;  // guarded by `mutex`
  unsigned step_fork_generation = 0;  // guarded by `mutex`: see forked_in_step
  // True while write_all writes a record that a fork may cut short, for a
  // child forked meanwhile by another thread to see (open_own_in_child).
  std::atomic<bool> writing{false};
  // Writes of up to this many bytes reach the file whole or not at all:
  // PIPE_BUF on a FIFO, none on any other file. Set once by open().
  size_t whole_or_nothing_up_to = 0;
  AfterForkInChild reopen_in_child{[this] { open_own_in_child(); }};
};

Result<std::unique_ptr<TraceFileWriter>> TraceFileWriter::open(std::string_view path) {
  if (path.find('\0') != std::string_view::npos) return Error{kNulInPathMessage};
  // Registered for forks first, with no file yet: see State::open_file.
  auto state = std::make_unique<State>(std::string(path));
  if (std::optional<Error> error = state->open_file()) return *std::move(error);
  struct stat status;
  if (fstat(state->file.get(), &status) != 0) return Error{os_error_text(errno)};
  state->identity = FileIdentity{status.st_dev, status.st_ino};
  if (S_ISFIFO(status.st_mode)) state->whole_or_nothing_up_to = PIPE_BUF;

  // The last byte is read through a second, read-only open of the very same
  // file (the path may have changed meanwhile). Only a regular file: opening
  // a FIFO or a device for reading would change what the other end sees.
  // Without it (no read permission, or the path changed and no /proc) the
  // writer goes on with what it knows itself. Nothing ever locks this open,
  // so a child that gets a copy of it as it is made is no concern.
  if (S_ISREG(status.st_mode)) {
    Result<FileDescriptor> opened = open_same_file(path, state->file.get(), O_RDONLY);
    if (opened) {
      state->reader.emplace(std::move(opened).value());
    } else if (PyErr_Occurred()) {
      return opened.error();
    }
  }
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
  // Python code that this thread runs inside the step (signal handlers
  // during the waits, the warning) may call fork(): after each place where it
  // may have run, and before each write, the step ends in the child.
  state.step_fork_generation = fork_generation();
  const StepOnThisThread step(state.identity);
  if (!state.open_own_after_fork()) return interrupted();
  if (state.forked_in_step()) return Error{kForkedMessage};
  const ExclusiveFileLock file_lock(state.file.get());
  if (file_lock.forked()) return Error{kForkedMessage};
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
    if (state.forked_in_step()) return Error{kForkedMessage};
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
      CutAtFork::record_written(state.identity);
      return std::nullopt;
    }
    // The rest of the record is the parent's to write; the file's end is the
    // parent's too (cut_at_fork.h says it in the child).
    if (outcome.forked) return Error{kForkedMessage};
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
