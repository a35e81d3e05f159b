// JsonValue: the dynamic JSON value used for call arguments, policy metadata,
// rule contexts and trace-file lines, and the compact writer for all output.
//
// Objects keep their members in insertion order. Integers keep their sign
// class: a non-negative integer is always held as unsigned, a negative one as
// signed, so equal numbers compare equal whichever constructor made them.
#ifndef OSSEL_JSON_H_
#define OSSEL_JSON_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "ossel/ordered_map.h"

namespace ossel {

class JsonValue;
using JsonArray = std::vector<JsonValue>;
using JsonObject = OrderedMap<JsonValue>;

class JsonValue {
 public:
  enum class Kind { kNull, kBool, kSigned, kUnsigned, kDouble, kString, kArray, kObject };

  JsonValue() : value_(nullptr) {}
  JsonValue(std::nullptr_t) : value_(nullptr) {}
  JsonValue(bool b) : value_(b) {}
  JsonValue(int v) : JsonValue(static_cast<int64_t>(v)) {}
  JsonValue(unsigned v) : value_(static_cast<uint64_t>(v)) {}
  JsonValue(long v) : JsonValue(static_cast<long long>(v)) {}
  JsonValue(long long v);
  JsonValue(unsigned long v) : value_(static_cast<uint64_t>(v)) {}
  JsonValue(unsigned long long v) : value_(static_cast<uint64_t>(v)) {}
  JsonValue(double v) : value_(v) {}
  JsonValue(const char* s) : value_(std::string(s)) {}
  JsonValue(std::string_view s) : value_(std::string(s)) {}
  JsonValue(std::string s) : value_(std::move(s)) {}
  JsonValue(JsonArray a) : value_(std::move(a)) {}
  JsonValue(JsonObject o) : value_(std::move(o)) {}

  Kind kind() const { return static_cast<Kind>(value_.index()); }
  bool is_null() const { return kind() == Kind::kNull; }
  bool is_bool() const { return kind() == Kind::kBool; }
  bool is_string() const { return kind() == Kind::kString; }
  bool is_array() const { return kind() == Kind::kArray; }
  bool is_object() const { return kind() == Kind::kObject; }

  bool as_bool() const { return std::get<bool>(value_); }
  int64_t as_signed() const { return std::get<int64_t>(value_); }
  uint64_t as_unsigned() const { return std::get<uint64_t>(value_); }
  double as_double() const { return std::get<double>(value_); }
  const std::string& as_string() const { return std::get<std::string>(value_); }
  const JsonArray& as_array() const { return std::get<JsonArray>(value_); }
  JsonArray& as_array() { return std::get<JsonArray>(value_); }
  const JsonObject& as_object() const { return std::get<JsonObject>(value_); }
  JsonObject& as_object() { return std::get<JsonObject>(value_); }

  bool operator==(const JsonValue& other) const { return value_ == other.value_; }

 private:
  std::variant<std::nullptr_t, bool, int64_t, uint64_t, double, std::string, JsonArray,
               JsonObject>
      value_;
};

// --- Compact JSON text -------------------------------------------------------
//
// Strings escape exactly '"', '\\' and the code points below U+0020 (\b \t \n
// \f \r by name, the rest as \u00xx in lower case); everything else, '/',
// U+007F and non-ASCII included, is copied as its UTF-8 bytes. Finite doubles
// are written with the shortest digits that read back as the same value, in
// plain notation for decimal exponents -5..15 (always with a fraction: 1.0,
// 0.00001) and as d.ddde±X otherwise; NaN and the infinities are written null.

void append_json(const JsonValue& value, std::string& out);
void append_json_string(std::string_view text, std::string& out);
// The escaped text alone, without the surrounding quotes: for writing a
// string from escaped pieces.
void append_json_string_content(std::string_view text, std::string& out);
void append_json_number(double value, std::string& out);
void append_json_number(uint64_t value, std::string& out);
void append_json_number(int64_t value, std::string& out);
std::string to_json(const JsonValue& value);

// The shortest decimal form of a finite double: value = ±d1.d2d3... × 10^exponent,
// `digits` without trailing zeros ("0" for zero). Shared by the JSON writer and
// by the policy loader's descriptions of floating-point values.
struct ShortestDecimal {
  bool negative = false;
  std::string digits;
  int exponent = 0;
};
ShortestDecimal shortest_decimal(double finite_value);

// Appends the decimal in plain notation, always with a fraction: 1.0, 120.5,
// 0.00001; the sign is the caller's to write.
void append_plain_decimal(const ShortestDecimal& decimal, std::string& out);

// Writes records member by member into one growing buffer, placing the commas
// and colons. Keys and values alternate inside objects:
//   JsonWriter w(out); w.begin_object(); w.key("a"); w.unsigned_integer(1); w.end_object();
class JsonWriter {
 public:
  explicit JsonWriter(std::string& out) : out_(out) {}

  void begin_object() { open('{'); }
  void end_object() { close('}'); }
  void begin_array() { open('['); }
  void end_array() { close(']'); }
  void key(std::string_view name);

  void null();
  void boolean(bool b);
  void unsigned_integer(uint64_t v);
  void signed_integer(int64_t v);
  void number(double v);
  void string(std::string_view text);
  void value(const JsonValue& v);

  std::string& buffer() { return out_; }

 private:
  void before_value();
  void open(char bracket);
  void close(char bracket);

  std::string& out_;
  bool need_comma_ = false;
};

}  // namespace ossel

#endif  // OSSEL_JSON_H_
