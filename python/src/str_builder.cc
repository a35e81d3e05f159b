#include "str_builder.h"

#include <utility>

#include "errors.h"

namespace ossel::python {

bool StrBuilder::append(std::string_view utf8) {
  PyRef piece = new_text(utf8);
  if (!piece) {
    text_ = PyRef();
    return false;
  }
  if (!text_) {
    text_ = std::move(piece);
    return true;
  }
  // PyUnicode_Append takes over the reference to the left side and leaves a
  // new one (the same object when it grew in place), or null on failure.
  PyObject* left = text_.release();
  PyUnicode_Append(&left, piece.get());
  text_ = PyRef::steal(left);
  return static_cast<bool>(text_);
}

PyRef StrBuilder::finish() && {
  if (text_) return std::move(text_);
  return new_text("");
}

}  // namespace ossel::python
