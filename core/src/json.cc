#include "ossel/json.h"

#include <charconv>
#include <cmath>
#include <cstdlib>

namespace ossel {

JsonValue::JsonValue(long long v) {
  if (v >= 0) {
    value_ = static_cast<uint64_t>(v);
  } else {
    value_ = static_cast<int64_t>(v);
  }
}

namespace {

constexpr char kHexDigits[] = "0123456789abcdef";

void append_unsigned(uint64_t value, std::string& out) {
  char buffer[24];
  auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
  out.append(buffer, result.ptr);
}

}  // namespace

void append_json_string(std::string_view text, std::string& out) {
  out.push_back('"');
  append_json_string_content(text, out);
  out.push_back('"');
}

void append_json_string_content(std::string_view text, std::string& out) {
  size_t run_start = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    if (c >= 0x20 && c != '"' && c != '\\') continue;
    out.append(text.data() + run_start, i - run_start);
    run_start = i + 1;
    switch (c) {
      case '"': out.append("\\\""); break;
      case '\\': out.append("\\\\"); break;
      case '\b': out.append("\\b"); break;
      case '\t': out.append("\\t"); break;
      case '\n': out.append("\\n"); break;
      case '\f': out.append("\\f"); break;
      case '\r': out.append("\\r"); break;
      default:
        out.append("\\u00");
        out.push_back(kHexDigits[c >> 4]);
        out.push_back(kHexDigits[c & 0xf]);
    }
  }
  out.append(text.data() + run_start, text.size() - run_start);
}

ShortestDecimal shortest_decimal(double finite_value) {
  ShortestDecimal result;
  result.negative = std::signbit(finite_value);
  double magnitude = std::fabs(finite_value);
  if (magnitude == 0.0) {
    result.digits = "0";
    return result;
  }
  // Scientific form gives the shortest round-trip digits as "d[.ddd]e±XX".
  char buffer[64];
  auto written = std::to_chars(buffer, buffer + sizeof buffer, magnitude,
                               std::chars_format::scientific);
  std::string_view text(buffer, written.ptr - buffer);
  size_t e = text.find('e');
  for (char c : text.substr(0, e)) {
    if (c != '.') result.digits.push_back(c);
  }
  while (result.digits.size() > 1 && result.digits.back() == '0') result.digits.pop_back();
  std::string_view exponent = text.substr(e + 1);
  bool exponent_negative = exponent.front() == '-';
  int value = 0;
  std::from_chars(exponent.data() + 1, exponent.data() + exponent.size(), value);
  result.exponent = exponent_negative ? -value : value;
  return result;
}

void append_plain_decimal(const ShortestDecimal& decimal, std::string& out) {
  const std::string& digits = decimal.digits;
  const int n = static_cast<int>(digits.size());
  const int e = decimal.exponent;
  if (n - 1 <= e) {
    // An integer: the digits, the zeros the exponent calls for, ".0".
    out.append(digits);
    out.append(static_cast<size_t>(e - n + 1), '0');
    out.append(".0");
  } else if (e < 0) {
    out.append("0.");
    out.append(static_cast<size_t>(-e - 1), '0');
    out.append(digits);
  } else {
    out.append(digits, 0, static_cast<size_t>(e + 1));
    out.push_back('.');
    out.append(digits, static_cast<size_t>(e + 1));
  }
}

void append_json_number(double value, std::string& out) {
  if (!std::isfinite(value)) {
    out.append("null");
    return;
  }
  ShortestDecimal d = shortest_decimal(value);
  if (d.negative) out.push_back('-');
  const int n = static_cast<int>(d.digits.size());
  const int e = d.exponent;
  if (e >= -5 && e <= 15) {
    append_plain_decimal(d, out);
  } else {
    out.push_back(d.digits[0]);
    if (n > 1) {
      out.push_back('.');
      out.append(d.digits, 1);
    }
    out.push_back('e');
    out.push_back(e < 0 ? '-' : '+');
    append_unsigned(static_cast<uint64_t>(e < 0 ? -e : e), out);
  }
}

void append_json_number(uint64_t value, std::string& out) { append_unsigned(value, out); }

void append_json_number(int64_t value, std::string& out) {
  if (value < 0) {
    out.push_back('-');
    // Negate in unsigned arithmetic so INT64_MIN does not overflow.
    append_unsigned(0 - static_cast<uint64_t>(value), out);
  } else {
    append_unsigned(static_cast<uint64_t>(value), out);
  }
}

void append_json(const JsonValue& value, std::string& out) {
  switch (value.kind()) {
    case JsonValue::Kind::kNull: out.append("null"); break;
    case JsonValue::Kind::kBool: out.append(value.as_bool() ? "true" : "false"); break;
    case JsonValue::Kind::kSigned: append_json_number(value.as_signed(), out); break;
    case JsonValue::Kind::kUnsigned: append_json_number(value.as_unsigned(), out); break;
    case JsonValue::Kind::kDouble: append_json_number(value.as_double(), out); break;
    case JsonValue::Kind::kString: append_json_string(value.as_string(), out); break;
    case JsonValue::Kind::kArray: {
      out.push_back('[');
      bool first = true;
      for (const JsonValue& element : value.as_array()) {
        if (!first) out.push_back(',');
        first = false;
        append_json(element, out);
      }
      out.push_back(']');
      break;
    }
    case JsonValue::Kind::kObject: {
      out.push_back('{');
      bool first = true;
      for (const auto& [key, member] : value.as_object()) {
        if (!first) out.push_back(',');
        first = false;
        append_json_string(key, out);
        out.push_back(':');
        append_json(member, out);
      }
      out.push_back('}');
      break;
    }
  }
}

std::string to_json(const JsonValue& value) {
  std::string out;
  append_json(value, out);
  return out;
}

// --- JsonWriter ---------------------------------------------------------------

void JsonWriter::before_value() {
  if (need_comma_) out_.push_back(',');
  need_comma_ = true;
}

void JsonWriter::open(char bracket) {
  before_value();
  out_.push_back(bracket);
  need_comma_ = false;
}

void JsonWriter::close(char bracket) {
  out_.push_back(bracket);
  need_comma_ = true;
}

void JsonWriter::key(std::string_view name) {
  if (need_comma_) out_.push_back(',');
  append_json_string(name, out_);
  out_.push_back(':');
  need_comma_ = false;
}

void JsonWriter::null() {
  before_value();
  out_.append("null");
}

void JsonWriter::boolean(bool b) {
  before_value();
  out_.append(b ? "true" : "false");
}

void JsonWriter::unsigned_integer(uint64_t v) {
  before_value();
  append_json_number(v, out_);
}

void JsonWriter::signed_integer(int64_t v) {
  before_value();
  append_json_number(v, out_);
}

void JsonWriter::number(double v) {
  before_value();
  append_json_number(v, out_);
}

void JsonWriter::string(std::string_view text) {
  before_value();
  append_json_string(text, out_);
}

void JsonWriter::value(const JsonValue& v) {
  before_value();
  append_json(v, out_);
}

}  // namespace ossel
