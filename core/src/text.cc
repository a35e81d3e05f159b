#include "ossel/text.h"

#include <unicode/locid.h>
#include <unicode/unistr.h>

namespace ossel {

std::string unicode_lower(std::string_view utf8) {
  // ASCII text, by far the common case, needs no trip through ICU.
  bool ascii = true;
  for (char c : utf8) {
    if (static_cast<unsigned char>(c) >= 0x80) {
      ascii = false;
      break;
    }
  }
  if (ascii) {
    std::string out(utf8);
    for (char& c : out) {
      if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return out;
  }
  // The root locale gives the language-independent default mapping, with the
  // final-sigma context rule.
  icu::UnicodeString text = icu::UnicodeString::fromUTF8(
      icu::StringPiece(utf8.data(), static_cast<int32_t>(utf8.size())));
  text.toLower(icu::Locale::getRoot());
  std::string out;
  text.toUTF8String(out);
  return out;
}

}  // namespace ossel
