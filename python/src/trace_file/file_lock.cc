#include "trace_file/file_lock.h"

#include <fcntl.h>
#include <sys/file.h>

#include <cerrno>

#include "trace_file/after_fork_in_child.h"
#include "trace_file/blocking_call.h"

namespace ossel::python {
namespace {

// The errors of a file system that does not offer the kind of lock asked for.
bool lock_refused(int error) {
  return error == ENOLCK || error == EOPNOTSUPP || error == EINVAL || error == ENOSYS;
}

// Sets (F_WRLCK) or drops (F_UNLCK) the lock on the whole file, however long
// it grows, with `command` F_OFD_SETLK or F_OFD_SETLKW.
int lock_whole_file(int fd, short type, int command) {
  struct flock whole {};  // l_start and l_len 0: from the start to any end; l_pid must be 0
  whole.l_type = type;
  whole.l_whence = SEEK_SET;
  return fcntl(fd, command, &whole);
}

}  // namespace

template <class Lock>
int ExclusiveFileLock::wait_unless_forked(Lock&& lock) const {
  return call_blocking([&]() noexcept {
    if (fork_generation() != fork_generation_) {
      errno = 0;
      return -1;
    }
    return lock();
  });
}

ExclusiveFileLock::ExclusiveFileLock(int fd) : fd_(fd), fork_generation_(fork_generation()) {
  // Trying first keeps the interpreter lock while the lock is free, which is
  // the common case and the cheap one.
  int result = flock(fd, LOCK_EX | LOCK_NB);
  if (result != 0 && errno == EWOULDBLOCK) {
    result = wait_unless_forked([&] { return flock(fd, LOCK_EX); });
  }
  if (result == 0) {
    held_ = Kind::kFlock;
    return;
  }
  if (lock_refused(errno)) {
    result = lock_whole_file(fd, F_WRLCK, F_OFD_SETLK);
    if (result != 0 && (errno == EAGAIN || errno == EACCES)) {
      result = wait_unless_forked([&] { return lock_whole_file(fd, F_WRLCK, F_OFD_SETLKW); });
    }
    if (result == 0) {
      held_ = Kind::kOpenFileDescription;
      return;
    }
  }
  if (fork_generation() != fork_generation_) {
    error_ = kForked;
  } else {
    error_ = errno == EINTR ? kInterrupted : errno;
  }
}

ExclusiveFileLock::~ExclusiveFileLock() {
  if (fork_generation() != fork_generation_) return;  // the parent's lock: see the header
  if (held_ == Kind::kFlock) flock(fd_, LOCK_UN);
  if (held_ == Kind::kOpenFileDescription) lock_whole_file(fd_, F_UNLCK, F_OFD_SETLK);
}

}  // namespace ossel::python
