// An exclusive advisory lock (flock) on an open file, held for the lifetime
// of the object. Every other open of the same file that locks it this way, in
// this process or another, waits for it; the kernel drops it when the holding
// open is closed, so a holder that dies never leaves it taken.
#ifndef OSSEL_PYTHON_TRACE_FILE_FILE_LOCK_H_
#define OSSEL_PYTHON_TRACE_FILE_FILE_LOCK_H_

namespace ossel::python {

class ExclusiveFileLock {
 public:
  // Takes the lock on `fd`: at once when it is free, else waiting as a
  // blocking call (blocking_call.h). Called with the interpreter lock held.
  // A file system without such locks leaves the lock not held, and the
  // caller goes on without it, as writers did before locks were taken.
  explicit ExclusiveFileLock(int fd);
  ~ExclusiveFileLock();
  ExclusiveFileLock(const ExclusiveFileLock&) = delete;
  ExclusiveFileLock& operator=(const ExclusiveFileLock&) = delete;

  // True when a signal handler raised during the wait: the lock is not held
  // and the handler's exception is set.
  bool interrupted() const { return interrupted_; }

 private:
  int held_fd_ = -1;  // the file whose lock is held, or -1
  bool interrupted_ = false;
};

}  // namespace ossel::python

#endif  // OSSEL_PYTHON_TRACE_FILE_FILE_LOCK_H_
