// An exclusive advisory lock on an open file, held for the lifetime of the
// object. Every other open of the same file that locks it this way, in this
// process or another, waits for it. The lock belongs to the open file
// description, not to the process: the kernel drops it when the last
// descriptor that refers to that open is closed. A holder that dies leaves it
// taken while another process still has a copy of the open, as a child made
// by fork() has until it closes its inherited descriptor; so a forked child
// replaces its copy at once (trace_file_writer.cc).
//
// The lock is a flock. Where the file system refuses flock (some network and
// FUSE file systems), it is an open-file-description lock on the whole file
// (fcntl F_OFD_SETLKW), which network file systems serve through their lock
// manager; it belongs to the open file as a flock does.
//
// For the same reason a child made by fork() while the lock is held must
// never give it back: its copy of the open is the holder's own, and unlocking
// it would free the lock for the parent too, in the middle of the parent's
// record. So the lock is given back only in the process that took it.
#ifndef OSSEL_PYTHON_TRACE_FILE_FILE_LOCK_H_
#define OSSEL_PYTHON_TRACE_FILE_FILE_LOCK_H_

namespace ossel::python {

class ExclusiveFileLock {
 public:
  // Takes the lock on `fd`: at once when it is free, else waiting as a
  // blocking call (blocking_call.h). Called with the interpreter lock held.
  // A file system that offers neither lock leaves the lock not held, and the
  // caller goes on without it, as writers did before locks were taken.
  explicit ExclusiveFileLock(int fd);
  ~ExclusiveFileLock();
  ExclusiveFileLock(const ExclusiveFileLock&) = delete;
  ExclusiveFileLock& operator=(const ExclusiveFileLock&) = delete;

  // True when a signal handler raised during the wait: the lock is not held
  // and the handler's exception is set.
  bool interrupted() const { return error_ == kInterrupted; }
  // True when a signal handler called fork() during the wait and this is the
  // child: the wait ended there, and the lock is not taken.
  bool forked() const { return error_ == kForked; }
  // The error number of the refusal when no lock could be had at all, else 0.
  int refusal() const { return error_ < 0 ? 0 : error_; }

 private:
  enum class Kind { kNone, kFlock, kOpenFileDescription };
  static constexpr int kInterrupted = -1;
  static constexpr int kForked = -2;

  // Makes `lock`, a system call, as a blocking call, unless this process is
  // a child forked since the lock was asked for: then it fails at once with
  // errno 0. The wait repeats the call after signal handlers ran, and one of
  // them may have forked.
  template <class Lock>
  int wait_unless_forked(Lock&& lock) const;

  const int fd_;
  const unsigned fork_generation_;  // when the lock was asked for
  Kind held_ = Kind::kNone;
  int error_ = 0;  // kInterrupted, kForked, the refusal's error number, or 0
};

}  // namespace ossel::python

#endif  // OSSEL_PYTHON_TRACE_FILE_FILE_LOCK_H_
