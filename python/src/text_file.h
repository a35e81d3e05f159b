// Reading a whole file as UTF-8 text, with the error texts Python callers see
// in FileNotFoundError.
#ifndef OSSEL_PYTHON_TEXT_FILE_H_
#define OSSEL_PYTHON_TEXT_FILE_H_

#include <string>
#include <string_view>

#include "ossel/result.h"

namespace ossel::python {

// The whole content of the file at `path`. Called with the interpreter lock
// held; the open and every read are blocking calls (blocking_call.h), since a
// FIFO or a device can keep them waiting. Fails with "file name contained an
// unexpected NUL byte", with os_error_text (os_file.h) of the failing open or
// read, or with "stream did not contain valid UTF-8". When a signal handler
// raised during a wait, the failure is os_error_text(EINTR) and the handler's
// exception is set.
Result<std::string> read_text_file(std::string_view path);

// Whether `bytes` is well-formed UTF-8 (no overlong forms, no surrogates,
// nothing above U+10FFFF).
bool is_valid_utf8(std::string_view bytes);

}  // namespace ossel::python

#endif  // OSSEL_PYTHON_TEXT_FILE_H_
