#include "text_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace ossel::python {
namespace {

// Closes the descriptor on every way out.
class FileDescriptor {
 public:
  explicit FileDescriptor(int fd) : fd_(fd) {}
  ~FileDescriptor() {
    if (fd_ >= 0) close(fd_);
  }
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};

}  // namespace

std::string os_error_text(int error_number) {
  char buffer[256];
  // The GNU strerror_r returns its text, which need not be in `buffer`.
  const char* description = strerror_r(error_number, buffer, sizeof buffer);
  return std::string(description) + " (os error " + std::to_string(error_number) + ")";
}

Result<std::string> read_text_file(std::string_view path) {
  if (path.find('\0') != std::string_view::npos) {
    return Error{"file name contained an unexpected NUL byte"};
  }
  const std::string path_text(path);
  int fd;
  do {
    fd = open(path_text.c_str(), O_RDONLY | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return Error{os_error_text(errno)};
  FileDescriptor file(fd);

  std::string content;
  struct stat status;
  if (fstat(file.get(), &status) == 0 && status.st_size > 0) {
    content.reserve(static_cast<size_t>(status.st_size));
  }
  char chunk[64 * 1024];
  for (;;) {
    ssize_t count = read(file.get(), chunk, sizeof chunk);
    if (count == 0) break;
    if (count < 0) {
      if (errno == EINTR) continue;
      return Error{os_error_text(errno)};
    }
    content.append(chunk, static_cast<size_t>(count));
  }
  if (!is_valid_utf8(content)) return Error{"stream did not contain valid UTF-8"};
  return content;
}

bool is_valid_utf8(std::string_view bytes) {
  const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
  const auto* end = p + bytes.size();
  auto continuation = [](unsigned char c) { return (c & 0xC0) == 0x80; };
  while (p < end) {
    unsigned char lead = *p;
    if (lead < 0x80) {
      ++p;
      continue;
    }
    size_t length;
    unsigned char second_low = 0x80, second_high = 0xBF;  // allowed range of the second byte
    if (lead >= 0xC2 && lead <= 0xDF) {
      length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      length = 3;
      if (lead == 0xE0) second_low = 0xA0;   // no overlong three-byte forms
      if (lead == 0xED) second_high = 0x9F;  // no surrogates
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      length = 4;
      if (lead == 0xF0) second_low = 0x90;   // no overlong four-byte forms
      if (lead == 0xF4) second_high = 0x8F;  // nothing above U+10FFFF
    } else {
      return false;
    }
    if (static_cast<size_t>(end - p) < length) return false;
    if (p[1] < second_low || p[1] > second_high) return false;
    for (size_t i = 2; i < length; ++i) {
      if (!continuation(p[i])) return false;
    }
    p += length;
  }
  return true;
}

}  // namespace ossel::python
