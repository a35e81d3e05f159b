#include "trace_file/file_lock.h"

#include <fcntl.h>
#include <sys/file.h>

#include <cerrno>

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

ExclusiveFileLock::ExclusiveFileLock(int fd) : fd_(fd) {
  // Trying first keeps the interpreter lock while the lock is free, which is
  // the common case and the cheap one.
  int result = flock(fd, LOCK_EX | LOCK_NB);
  if (result != 0 && errno == EWOULDBLOCK) {
    result = call_blocking([&]() noexcept { return flock(fd, LOCK_EX); });
  }
  if (result == 0) {
    held_ = Kind::kFlock;
    return;
  }
  if (lock_refused(errno)) {
    result = lock_whole_file(fd, F_WRLCK, F_OFD_SETLK);
    if (result != 0 && (errno == EAGAIN || errno == EACCES)) {
      result = call_blocking([&]() noexcept { return lock_whole_file(fd, F_WRLCK, F_OFD_SETLKW); });
    }
    if (result == 0) {
      held_ = Kind::kOpenFileDescription;
      return;
    }
  }
  error_ = errno == EINTR ? kInterrupted : errno;
}

ExclusiveFileLock::~ExclusiveFileLock() {
  if (held_ == Kind::kFlock) flock(fd_, LOCK_UN);
  if (held_ == Kind::kOpenFileDescription) lock_whole_file(fd_, F_UNLCK, F_OFD_SETLK);
}

}  // namespace ossel::python
