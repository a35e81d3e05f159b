#include "trace_file/file_lock.h"

#include <sys/file.h>

#include <cerrno>

#include "trace_file/blocking_call.h"

namespace ossel::python {

ExclusiveFileLock::ExclusiveFileLock(int fd) {
  // Trying first keeps the interpreter lock while the lock is free, which is
  // the common case and the cheap one.
  int result = flock(fd, LOCK_EX | LOCK_NB);
  if (result != 0 && errno == EWOULDBLOCK) {
    result = call_blocking([&] { return flock(fd, LOCK_EX); });
  }
  if (result == 0) {
    held_fd_ = fd;
  } else {
    interrupted_ = errno == EINTR;
  }
}

ExclusiveFileLock::~ExclusiveFileLock() {
  if (held_fd_ >= 0) flock(held_fd_, LOCK_UN);
}

}  // namespace ossel::python
