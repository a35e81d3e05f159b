// Text helpers shared by the engines.
#ifndef OSSEL_TEXT_H_
#define OSSEL_TEXT_H_

#include <string>
#include <string_view>

namespace ossel {

// The Unicode default lower-case mapping of the whole text: characters whose
// lower case is several characters expand, a word-final capital sigma becomes
// the final small sigma, characters without a lower case are copied. Only rule
// identifiers are lower-cased; every comparison of names stays exact.
std::string unicode_lower(std::string_view utf8);

}  // namespace ossel

#endif  // OSSEL_TEXT_H_
