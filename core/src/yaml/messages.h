// The message texts that every reader of the policy document shares.
#ifndef OSSEL_YAML_MESSAGES_H_
#define OSSEL_YAML_MESSAGES_H_

#include <span>
#include <string>
#include <string_view>

namespace ossel::yaml {

// "invalid type: {found}, expected {expected}"
std::string invalid_type(std::string_view found, std::string_view expected);
// "invalid value: {found}, expected {expected}"
std::string invalid_value(std::string_view found, std::string_view expected);
// "missing field `{name}`", "duplicate field `{name}`"
std::string missing_field(std::string_view name);
std::string duplicate_field(std::string_view name);
// "unknown field `{key}`, expected one of `a`, `b`, ..."
std::string unknown_field(std::string_view key, std::span<const std::string_view> fields);
// "unknown variant `{text}`, expected `a` or `b`" (or "one of ..." for more)
std::string unknown_variant(std::string_view text,
                            std::span<const std::string_view> variants);

}  // namespace ossel::yaml

#endif  // OSSEL_YAML_MESSAGES_H_
