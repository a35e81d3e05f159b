// What a YAML scalar means: the typing of plain scalars (null, boolean,
// integer, float, else text) and of scalars with a standard type tag, and the
// texts that describe a typed value in messages ("integer `5`").
#ifndef OSSEL_YAML_SCALAR_H_
#define OSSEL_YAML_SCALAR_H_

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "yaml/document.h"

namespace ossel::yaml {

inline constexpr std::string_view kNullTag = "tag:yaml.org,2002:null";
inline constexpr std::string_view kBoolTag = "tag:yaml.org,2002:bool";
inline constexpr std::string_view kIntTag = "tag:yaml.org,2002:int";
inline constexpr std::string_view kFloatTag = "tag:yaml.org,2002:float";

struct TypedScalar {
  enum class Kind {
    kUnit,
    kBool,
    kUnsigned,
    kSigned,  // from a negative form ("-0" included)
    kFloat,
    kString,
    // Integers that fit 128 bits but not 64: nothing accepts them, and their
    // description says so ("integer `N` as u128").
    kUnsigned128,
    kSigned128,
  };
  Kind kind = Kind::kUnit;
  bool boolean = false;
  uint64_t unsigned_value = 0;
  int64_t signed_value = 0;
  double float_value = 0;
  unsigned __int128 unsigned_wide = 0;
  __int128 signed_wide = 0;
  std::string_view text;  // kString: the scalar's text
};

// The six boolean words; nothing else is a boolean.
std::optional<bool> parse_bool(std::string_view text);
// `~`, null, Null, NULL (not the empty text).
bool is_null_word(std::string_view text);
// A plain scalar that stands for nothing: empty or a null word.
bool is_null_like(std::string_view text);

// Types a plain, untagged scalar text.
TypedScalar type_plain_scalar(std::string_view text);

// Types a scalar event by its tag and style: a standard null/bool/int/float
// tag demands that form (otherwise an "invalid value" message is returned);
// an untagged or locally tagged plain scalar is typed by its text; every other
// scalar is text.
bool type_scalar(const Document& document, const Event& scalar, TypedScalar& out,
                 std::string& error);

// A local tag ("!name") names an enum variant: the text after "!", or "!"
// itself for the bare non-specific tag. Empty for any other tag.
std::optional<std::string_view> local_tag_name(std::string_view tag);

// --- Descriptions ------------------------------------------------------------

// The text in double quotes with \t \r \n \0 \" \\ escaped, and control,
// non-printing and combining characters written \u{hex}.
std::string quoted_text(std::string_view utf8);

// A float in plain decimal notation, shortest digits, always with a decimal
// point: 3.0, 1000.0, 0.0000001; inf, -inf and NaN for the others.
std::string float_text(double value);

std::string describe(const TypedScalar& value);  // "integer `5`", "string \"a\"", ...
std::string describe_text(std::string_view text);  // "string \"...\""

}  // namespace ossel::yaml

#endif  // OSSEL_YAML_SCALAR_H_
