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
    return Error{kNulInPathMessage};
  }
  const std::string path_text(path);
  const int fd =
      call_blocking([&]() noexcept { return ::open(path_text.c_str(), flags | O_CLOEXEC, mode); });
  if (fd < 0) return Error{os_error_text(errno)};
  return FileDescriptor(fd);
}

namespace {

// Opens `name` with `flags` and keeps it if it is the file `wanted`
// describes, O_NONBLOCK then cleared; else -1 with errno set.
int open_if_same(const char* name, const struct stat& wanted, int flags) {
  // Without O_NONBLOCK, opening a FIFO waits for its other end.
  const int opened = ::open(name, flags | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (opened < 0) return -1;
  struct stat found;
  int error = 0;
  if (fstat(opened, &found) != 0) {
    error = errno;
  } else if (found.st_dev != wanted.st_dev || found.st_ino != wanted.st_ino) {
    error = ESTALE;
  } else if (fcntl(opened, F_SETFL, fcntl(opened, F_GETFL) & ~O_NONBLOCK) != 0) {
    error = errno;
  }
  if (error == 0) return opened;
  ::close(opened);
  errno = error;
  return -1;
}

}  // namespace

int open_same_file_now(const char* path, int fd, int flags) noexcept {
  struct stat wanted;
  if (fstat(fd, &wanted) != 0) return -1;
  const int by_path = open_if_same(path, wanted, flags);
  if (by_path >= 0 || errno == EINTR) return by_path;
  // "/proc/self/fd/" and the descriptor's digits, written without allocating.
  char link[32] = "/proc/self/fd/";
  char digits[12];
  size_t count = 0;
  for (unsigned rest = static_cast<unsigned>(fd); count == 0 || rest != 0; rest /= 10) {
    digits[count++] = static_cast<char>('0' + rest % 10);
  }
  char* end = link + strlen(link);
  while (count > 0) *end++ = digits[--count];
  *end = '\0';
  return open_if_same(link, wanted, flags);
}

Result<FileDescriptor> open_same_file(std::string_view path, int fd, int flags) {
  // A NUL in the path cuts it short here: the identity check then refuses
  // whatever file the shorter path leads to.
  const std::string path_text(path);
  const int opened =
      call_blocking([&]() noexcept { return open_same_file_now(path_text.c_str(), fd, flags); });
  if (opened < 0) return Error{os_error_text(errno)};
  return FileDescriptor(opened);
}

}  // namespace ossel::python
