#include "text_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "trace_file/blocking_call.h"
#include "trace_file/os_file.h"

namespace ossel::python {

Result<std::string> read_text_file(std::string_view path) {
  Result<FileDescriptor> file = open_file(path, O_RDONLY);
  if (!file) return file.error();

  std::string content;
  struct stat status;
  if (fstat(file->get(), &status) == 0 && status.st_size > 0) {
    content.reserve(static_cast<size_t>(status.st_size));
  }
  char chunk[64 * 1024];
  for (;;) {
    const ssize_t count =
        call_blocking([&]() noexcept { return read(file->get(), chunk, sizeof chunk); });
    if (count == 0) break;
    if (count < 0) return Error{os_error_text(errno)};
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
