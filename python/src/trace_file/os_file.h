// Opening files by path, with the error texts Python callers see: a path
// holding a NUL character, and the operating system's own errors as
// "{description} (os error {number})". Opening can wait (a FIFO waits for its
// other end), so it is made as a blocking call (blocking_call.h).
#ifndef OSSEL_PYTHON_TRACE_FILE_OS_FILE_H_
#define OSSEL_PYTHON_TRACE_FILE_OS_FILE_H_

#include <sys/types.h>

#include <string>
#include <string_view>
#include <utility>

#include "ossel/result.h"

namespace ossel::python {

// Owns one open file descriptor and closes it on every way out.
class FileDescriptor {
 public:
  explicit FileDescriptor(int fd) : fd_(fd) {}
  FileDescriptor(FileDescriptor&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  // Closes the descriptor held so far and takes over `other`'s.
  FileDescriptor& operator=(FileDescriptor&& other) noexcept;
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  ~FileDescriptor();

  int get() const { return fd_; }

 private:
  int fd_;
};

// Which file a descriptor is open on, whatever path or open reached it.
struct FileIdentity {
  dev_t device;
  ino_t inode;
  bool operator==(const FileIdentity&) const = default;
};

// "{description} (os error {number})", the description being the C library's
// text for the error number.
std::string os_error_text(int error_number);

// The failure of an open whose path holds a NUL character.
constexpr const char* kNulInPathMessage = "file name contained an unexpected NUL byte";

// open(2) of `path` with `flags` (O_CLOEXEC is added) and `mode`, made with
// call_blocking: called with the interpreter lock held, which is released
// while the open waits. Fails with kNulInPathMessage or with os_error_text
// of the failure; when a signal handler raised during the wait, the failure
// is os_error_text(EINTR) and the handler's exception is set.
Result<FileDescriptor> open_file(std::string_view path, int flags, mode_t mode = 0);

// A new open, with `flags`, of the very file that `fd` is open on: by `path`
// when it still leads to that file (the same device and inode), else through
// the descriptor's link in /proc, which reaches a file since deleted or
// replaced. So /proc is needed only once the path has changed. The open does
// not wait for the other end of a FIFO: it fails instead. Made with
// call_blocking; fails with os_error_text of the failure (ESTALE when
// neither way leads to that file), and when a signal handler raised, as
// open_file does.
Result<FileDescriptor> open_same_file(std::string_view path, int fd, int flags);

// The same, as a bare system call for places where only async-signal-safe
// calls may be made (a child made by fork(), before fork() returns there):
// it allocates nothing and needs no interpreter lock. Returns the new
// descriptor (closed on exec), or -1 with errno set: ESTALE when what it
// opened was another file, EINTR when a signal interrupted the open by path.
int open_same_file_now(const char* path, int fd, int flags) noexcept;

}  // namespace ossel::python

#endif  // OSSEL_PYTHON_TRACE_FILE_OS_FILE_H_
