#include "yaml/scalar.h"

#include <unicode/uchar.h>
#include <unicode/utf8.h>

#include <charconv>
#include <cmath>
#include <limits>

#include "ossel/json.h"
#include "yaml/messages.h"

namespace ossel::yaml {
namespace {

using u128 = unsigned __int128;

constexpr u128 kU64Max = std::numeric_limits<uint64_t>::max();
constexpr u128 kU128Max = ~u128{0};
constexpr u128 kI64MaxMagnitude = u128{1} << 63;    // of the most negative value
constexpr u128 kI128MaxMagnitude = u128{1} << 127;  // of the most negative value

bool starts_with_sign(std::string_view text) {
  return !text.empty() && (text.front() == '+' || text.front() == '-');
}

int digit_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'z') return c - 'a' + 10;
  if (c >= 'A' && c <= 'Z') return c - 'A' + 10;
  return 99;
}

// Unsigned digits of `radix` (at least one, nothing else) up to `limit`.
std::optional<u128> parse_digits(std::string_view digits, int radix, u128 limit) {
  if (digits.empty()) return std::nullopt;
  u128 value = 0;
  for (char c : digits) {
    int d = digit_value(c);
    if (d >= radix) return std::nullopt;
    if (value > (limit - static_cast<u128>(d)) / static_cast<u128>(radix)) return std::nullopt;
    value = value * static_cast<u128>(radix) + static_cast<u128>(d);
  }
  return value;
}

// A leading zero followed by nothing but digits ("007", "-00") is text in
// YAML 1.2, not a number.
bool digits_but_not_number(std::string_view text) {
  if (starts_with_sign(text)) text.remove_prefix(1);
  if (text.size() <= 1 || text.front() != '0') return false;
  for (char c : text.substr(1)) {
    if (c < '0' || c > '9') return false;
  }
  return true;
}

struct RadixPrefix {
  std::string_view prefix;
  int radix;
};
constexpr RadixPrefix kRadixPrefixes[] = {{"0x", 16}, {"0o", 8}, {"0b", 2}};

// An optional "+", then decimal digits or a 0x/0o/0b form, up to `limit`.
std::optional<u128> parse_unsigned_int(std::string_view text, u128 limit) {
  std::string_view unpositive = text;
  if (!unpositive.empty() && unpositive.front() == '+') unpositive.remove_prefix(1);
  for (const RadixPrefix& form : kRadixPrefixes) {
    if (unpositive.substr(0, 2) != form.prefix) continue;
    std::string_view rest = unpositive.substr(2);
    if (starts_with_sign(rest)) return std::nullopt;
    if (auto value = parse_digits(rest, form.radix, limit)) return value;
  }
  if (starts_with_sign(unpositive) || digits_but_not_number(text)) return std::nullopt;
  return parse_digits(unpositive, 10, limit);
}

// A signed integer as a magnitude and a sign: "-" with the same forms, or a
// signed decimal. `negative_limit` bounds the magnitude of negative values,
// positive values stay one below it.
struct SignedParse {
  bool negative;
  u128 magnitude;
};
std::optional<SignedParse> parse_signed_int(std::string_view text, u128 negative_limit) {
  for (const RadixPrefix& form : kRadixPrefixes) {
    if (text.size() < 3 || text.front() != '-' || text.substr(1, 2) != form.prefix) continue;
    std::string_view rest = text.substr(3);
    if (starts_with_sign(rest)) return std::nullopt;
    if (auto magnitude = parse_digits(rest, form.radix, negative_limit)) {
      return SignedParse{true, *magnitude};
    }
  }
  if (digits_but_not_number(text)) return std::nullopt;
  bool negative = !text.empty() && text.front() == '-';
  if (starts_with_sign(text)) text.remove_prefix(1);
  auto magnitude = parse_digits(text, 10, negative ? negative_limit : negative_limit - 1);
  if (!magnitude) return std::nullopt;
  return SignedParse{negative, *magnitude};
}

// Integers by their narrowest holder: unsigned 64, signed 64, then the
// 128-bit forms that nothing accepts but that messages name.
bool type_integer(std::string_view text, TypedScalar& out) {
  if (auto value = parse_unsigned_int(text, kU64Max)) {
    out.kind = TypedScalar::Kind::kUnsigned;
    out.unsigned_value = static_cast<uint64_t>(*value);
    return true;
  }
  if (auto value = parse_signed_int(text, kI64MaxMagnitude)) {
    out.kind = TypedScalar::Kind::kSigned;
    out.signed_value = value->negative ? static_cast<int64_t>(u128{0} - value->magnitude)
                                       : static_cast<int64_t>(value->magnitude);
    return true;
  }
  if (auto value = parse_unsigned_int(text, kU128Max)) {
    out.kind = TypedScalar::Kind::kUnsigned128;
    out.unsigned_wide = *value;
    return true;
  }
  if (auto value = parse_signed_int(text, kI128MaxMagnitude)) {
    out.kind = TypedScalar::Kind::kSigned128;
    out.signed_wide = value->negative ? static_cast<__int128>(u128{0} - value->magnitude)
                                      : static_cast<__int128>(value->magnitude);
    return true;
  }
  return false;
}

// A decimal float: sign, digits with an optional point (at least one digit),
// optional exponent. Checked here because from_chars alone would also take
// "inf", "nan" and hex forms.
bool is_decimal_float(std::string_view text) {
  size_t i = 0;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) ++i;
  size_t digits = 0;
  while (i < text.size() && text[i] >= '0' && text[i] <= '9') ++i, ++digits;
  if (i < text.size() && text[i] == '.') {
    ++i;
    while (i < text.size() && text[i] >= '0' && text[i] <= '9') ++i, ++digits;
  }
  if (digits == 0) return false;
  if (i < text.size() && (text[i] == 'e' || text[i] == 'E')) {
    ++i;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) ++i;
    size_t exponent_digits = 0;
    while (i < text.size() && text[i] >= '0' && text[i] <= '9') ++i, ++exponent_digits;
    if (exponent_digits == 0) return false;
  }
  return i == text.size();
}

// Whether an out-of-range decimal float is too large (rather than too small):
// its leading digit's power of ten is not negative.
bool decimal_overflows(std::string_view text) {
  size_t i = (text.front() == '-' || text.front() == '+') ? 1 : 0;
  int64_t power = -1;
  bool found = false;
  int64_t int_digits = 0;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    if (found || text[i] != '0') found = true;
    if (found) ++int_digits;
  }
  if (found) {
    power = int_digits - 1;
  } else if (i < text.size() && text[i] == '.') {
    for (++i; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i, --power) {
      if (text[i] != '0') break;
    }
  }
  while (i < text.size() && text[i] != 'e' && text[i] != 'E') ++i;
  int64_t exponent = 0;
  if (i < text.size()) {
    ++i;
    bool negative = text[i] == '-';
    if (text[i] == '+' || text[i] == '-') ++i;
    for (; i < text.size(); ++i) {
      exponent = std::min<int64_t>(exponent * 10 + (text[i] - '0'), int64_t{1} << 40);
    }
    if (negative) exponent = -exponent;
  }
  return power + exponent >= 0;
}

// YAML's .inf/.nan words and finite decimal floats; an overflowing decimal is
// not a float.
std::optional<double> parse_float(std::string_view text) {
  std::string_view unpositive = text;
  if (!unpositive.empty() && unpositive.front() == '+') {
    unpositive.remove_prefix(1);
    if (starts_with_sign(unpositive)) return std::nullopt;
  }
  if (unpositive == ".inf" || unpositive == ".Inf" || unpositive == ".INF") {
    return std::numeric_limits<double>::infinity();
  }
  if (text == "-.inf" || text == "-.Inf" || text == "-.INF") {
    return -std::numeric_limits<double>::infinity();
  }
  if (text == ".nan" || text == ".NaN" || text == ".NAN") {
    return std::numeric_limits<double>::quiet_NaN();
  }
  if (!is_decimal_float(unpositive)) return std::nullopt;
  double value = 0;
  auto [end, ec] = std::from_chars(unpositive.data(), unpositive.data() + unpositive.size(), value,
                                   std::chars_format::general);
  if (ec == std::errc::result_out_of_range) {
    if (decimal_overflows(unpositive)) return std::nullopt;
    return unpositive.front() == '-' ? -0.0 : 0.0;
  }
  if (ec != std::errc() || end != unpositive.data() + unpositive.size() || !std::isfinite(value)) {
    return std::nullopt;
  }
  return value;
}

std::string wide_decimal(u128 value) {
  std::string digits;
  do {
    digits.insert(digits.begin(), static_cast<char>('0' + static_cast<int>(value % 10)));
    value /= 10;
  } while (value != 0);
  return digits;
}

std::string signed_wide_decimal(__int128 value) {
  if (value >= 0) return wide_decimal(static_cast<u128>(value));
  return "-" + wide_decimal(u128{0} - static_cast<u128>(value));
}

void append_hex_escape(char32_t c, std::string& out) {
  static constexpr char kHex[] = "0123456789abcdef";
  out += "\\u{";
  bool started = false;
  for (int shift = 20; shift >= 0; shift -= 4) {
    int digit = static_cast<int>((c >> shift) & 0xF);
    if (digit != 0 || started || shift == 0) {
      out.push_back(kHex[digit]);
      started = true;
    }
  }
  out.push_back('}');
}

bool needs_unicode_escape(UChar32 c) {
  if (u_hasBinaryProperty(c, UCHAR_GRAPHEME_EXTEND)) return true;
  switch (u_charType(c)) {
    case U_CONTROL_CHAR:
    case U_FORMAT_CHAR:
    case U_SURROGATE:
    case U_PRIVATE_USE_CHAR:
    case U_UNASSIGNED:
    case U_LINE_SEPARATOR:
    case U_PARAGRAPH_SEPARATOR:
      return true;
    case U_SPACE_SEPARATOR:
      return c != ' ';
    default:
      return false;
  }
}

}  // namespace

std::optional<bool> parse_bool(std::string_view text) {
  if (text == "true" || text == "True" || text == "TRUE") return true;
  if (text == "false" || text == "False" || text == "FALSE") return false;
  return std::nullopt;
}

bool is_null_word(std::string_view text) {
  return text == "~" || text == "null" || text == "Null" || text == "NULL";
}

bool is_null_like(std::string_view text) { return text.empty() || is_null_word(text); }

TypedScalar type_plain_scalar(std::string_view text) {
  TypedScalar out;
  out.text = text;
  if (is_null_like(text)) return out;
  if (auto boolean = parse_bool(text)) {
    out.kind = TypedScalar::Kind::kBool;
    out.boolean = *boolean;
    return out;
  }
  if (type_integer(text, out)) return out;
  if (!digits_but_not_number(text)) {
    if (auto value = parse_float(text)) {
      out.kind = TypedScalar::Kind::kFloat;
      out.float_value = *value;
      return out;
    }
  }
  out.kind = TypedScalar::Kind::kString;
  return out;
}

bool type_scalar(const Document& document, const Event& scalar, TypedScalar& out,
                 std::string& error) {
  std::string_view text = document.value(scalar);
  std::string_view tag = document.tag(scalar);
  bool plain = scalar.style == ScalarStyle::kPlain;
  out = TypedScalar{};
  out.text = text;
  if (tag == kBoolTag) {
    if (auto boolean = parse_bool(text)) {
      out.kind = TypedScalar::Kind::kBool;
      out.boolean = *boolean;
      return true;
    }
    error = invalid_value(describe_text(text), "a boolean");
    return false;
  }
  if (tag == kIntTag) {
    if (type_integer(text, out)) return true;
    error = invalid_value(describe_text(text), "an integer");
    return false;
  }
  if (tag == kFloatTag) {
    if (auto value = parse_float(text)) {
      out.kind = TypedScalar::Kind::kFloat;
      out.float_value = *value;
      return true;
    }
    error = invalid_value(describe_text(text), "a float");
    return false;
  }
  if (tag == kNullTag) {
    if (is_null_word(text)) return true;  // kUnit
    error = invalid_value(describe_text(text), "null");
    return false;
  }
  if (plain && (tag.empty() || tag.front() == '!')) {
    out = type_plain_scalar(text);
    return true;
  }
  out.kind = TypedScalar::Kind::kString;
  return true;
}

std::optional<std::string_view> local_tag_name(std::string_view tag) {
  if (tag.empty() || tag.front() != '!') return std::nullopt;
  return tag.size() == 1 ? tag : tag.substr(1);
}

std::string quoted_text(std::string_view utf8) {
  std::string out;
  out.reserve(utf8.size() + 2);
  out.push_back('"');
  const auto* bytes = reinterpret_cast<const uint8_t*>(utf8.data());
  int32_t length = static_cast<int32_t>(utf8.size());
  for (int32_t i = 0; i < length;) {
    int32_t start = i;
    UChar32 c;
    U8_NEXT(bytes, i, length, c);
    switch (c) {
      case '\t': out += "\\t"; continue;
      case '\r': out += "\\r"; continue;
      case '\n': out += "\\n"; continue;
      case '\0': out += "\\0"; continue;
      case '"': out += "\\\""; continue;
      case '\\': out += "\\\\"; continue;
      default: break;
    }
    if (c < 0) {
      // Not UTF-8: only reachable with bytes the parser would have refused.
      out += "\\u{fffd}";
    } else if (c >= 0x20 && c < 0x7F) {
      out.push_back(static_cast<char>(c));
    } else if (needs_unicode_escape(c)) {
      append_hex_escape(static_cast<char32_t>(c), out);
    } else {
      out.append(utf8.substr(static_cast<size_t>(start), static_cast<size_t>(i - start)));
    }
  }
  out.push_back('"');
  return out;
}

std::string float_text(double value) {
  if (std::isnan(value)) return "NaN";
  if (std::isinf(value)) return value < 0 ? "-inf" : "inf";
  ShortestDecimal d = shortest_decimal(value);
  std::string out = d.negative ? "-" : "";
  append_plain_decimal(d, out);
  return out;
}

std::string describe_text(std::string_view text) { return "string " + quoted_text(text); }

std::string describe(const TypedScalar& value) {
  using Kind = TypedScalar::Kind;
  switch (value.kind) {
    case Kind::kUnit:
      return "unit value";
    case Kind::kBool:
      return value.boolean ? "boolean `true`" : "boolean `false`";
    case Kind::kUnsigned:
      return "integer `" + std::to_string(value.unsigned_value) + "`";
    case Kind::kSigned:
      return "integer `" + std::to_string(value.signed_value) + "`";
    case Kind::kFloat:
      return "floating point `" + float_text(value.float_value) + "`";
    case Kind::kString:
      return describe_text(value.text);
    case Kind::kUnsigned128:
      return "integer `" + wide_decimal(value.unsigned_wide) + "` as u128";
    case Kind::kSigned128:
      return "integer `" + signed_wide_decimal(value.signed_wide) + "` as i128";
  }
  return "unit value";
}

}  // namespace ossel::yaml
