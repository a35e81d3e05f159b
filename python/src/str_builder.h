// Building a large str from UTF-8 text that arrives in pieces.
//
// The limited API makes a str only from a complete UTF-8 text, so a result
// made in one go needs the whole text and the whole str at once; for a str
// that holds a character above U+00FF (two or four bytes per character),
// that is three to five times the text. StrBuilder decodes each piece as it
// arrives and appends it to the str built so far, which CPython resizes in
// place (realloc, that is mremap for large blocks) while this builder holds
// its only reference. At its highest the memory is the str plus one piece,
// as UTF-8 and decoded.
// The exception is a piece that widens the str's character size (the first
// character above U+007F, U+00FF or U+FFFF): that append copies the str built
// so far once.
#ifndef OSSEL_PYTHON_STR_BUILDER_H_
#define OSSEL_PYTHON_STR_BUILDER_H_

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <string_view>

#include "py_ref.h"

namespace ossel::python {

class StrBuilder {
 public:
  // Appends one piece, which must hold whole UTF-8 characters. False, with
  // the Python error set (MemoryError, UnicodeDecodeError), when it fails;
  // the builder then holds nothing.
  bool append(std::string_view utf8);

  // The str built so far (an empty str when nothing was appended), handed
  // over to the caller; null with the Python error set on failure.
  PyRef finish() &&;

 private:
  PyRef text_;
};

}  // namespace ossel::python

#endif  // OSSEL_PYTHON_STR_BUILDER_H_
