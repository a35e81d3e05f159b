#include "trace_file/os_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "trace_file/blocking_call.h"

namespace ossel::python {

FileDescriptor::~FileDescriptor() {
  if (fd_ >= 0) ::close(fd_);
}

FileDescriptor& FileDescriptor::operator=(FileDescriptor&& other) noexcept {
  if (this != &other) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = std::exchange(other.fd_, -1);
  }
  return *this;
}

std::string os_error_text(int error_number) {
  char buffer[256];
  // The GNU strerror_r returns its text, which need not be in `buffer`.
  const char* description = strerror_r(error_number, buffer, sizeof buffer);
  return std::string(description) + " (os error " + std::to_string(error_number) + ")";
}

Result<FileDescriptor> open_file(std::string_view path, int flags, mode_t mode) {
  if (path.find('\0') != std::string_view::npos) {
    return Error{"file name contained an unexpected NUL byte"};
  }
  const std::string path_text(path);
  const int fd =
      call_blocking([&]() noexcept { return ::open(path_text.c_str(), flags | O_CLOEXEC, mode); });
  if (fd < 0) return Error{os_error_text(errno)};
  return FileDescriptor(fd);
}

Result<FileDescriptor> open_same_file(std::string_view path, int fd, int flags) {
  struct stat wanted;
  if (fstat(fd, &wanted) != 0) return Error{os_error_text(errno)};
  auto open_checked = [&](std::string_view name) -> Result<FileDescriptor> {
    // Without O_NONBLOCK, opening a FIFO waits for its other end.
    Result<FileDescriptor> opened = open_file(name, flags | O_NONBLOCK | O_NOCTTY);
    if (!opened) return opened;
    struct stat found;
    if (fstat(opened->get(), &found) != 0) return Error{os_error_text(errno)};
    if (found.st_dev != wanted.st_dev || found.st_ino != wanted.st_ino) {
      return Error{"not the same file"};
    }
    if (fcntl(opened->get(), F_SETFL, fcntl(opened->get(), F_GETFL) & ~O_NONBLOCK) != 0) {
      return Error{os_error_text(errno)};
    }
    return opened;
  };
  Result<FileDescriptor> by_path = open_checked(path);
  if (by_path || PyErr_Occurred()) return by_path;
  return open_checked("/proc/self/fd/" + std::to_string(fd));
}

}  // namespace ossel::python
