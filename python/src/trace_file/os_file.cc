#include "trace_file/os_file.h"

#include <fcntl.h>
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
  const int fd = call_blocking([&] { return ::open(path_text.c_str(), flags | O_CLOEXEC, mode); });
  if (fd < 0) return Error{os_error_text(errno)};
  return FileDescriptor(fd);
}

Result<FileDescriptor> open_same_file(int fd, int flags) {
  return open_file("/proc/self/fd/" + std::to_string(fd), flags);
}

}  // namespace ossel::python
