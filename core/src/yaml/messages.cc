#include "yaml/messages.h"

namespace ossel::yaml {
namespace {

// "`a`", "`a` or `b`", or "one of `a`, `b`, `c`".
std::string one_of(std::span<const std::string_view> names) {
  std::string text;
  if (names.size() > 2) text = "one of ";
  size_t i = 0;
  for (std::string_view name : names) {
    if (i > 0) text += names.size() == 2 ? " or " : ", ";
    text.append("`").append(name).append("`");
    ++i;
  }
  return text;
}

std::string with_name(std::string_view before, std::string_view name) {
  std::string text(before);
  text.append("`").append(name).append("`");
  return text;
}

}  // namespace

std::string invalid_type(std::string_view found, std::string_view expected) {
  std::string message = "invalid type: ";
  message.append(found).append(", expected ").append(expected);
  return message;
}

std::string invalid_value(std::string_view found, std::string_view expected) {
  std::string message = "invalid value: ";
  message.append(found).append(", expected ").append(expected);
  return message;
}

std::string missing_field(std::string_view name) { return with_name("missing field ", name); }

std::string duplicate_field(std::string_view name) { return with_name("duplicate field ", name); }

std::string unknown_field(std::string_view key, std::span<const std::string_view> fields) {
  return with_name("unknown field ", key) + ", expected " + one_of(fields);
}

std::string unknown_variant(std::string_view text,
                            std::span<const std::string_view> variants) {
  return with_name("unknown variant ", text) + ", expected " + one_of(variants);
}

}  // namespace ossel::yaml
