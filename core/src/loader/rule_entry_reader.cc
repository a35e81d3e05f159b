#include "loader/rule_entry_reader.h"

#include <string>
#include <string_view>

#include "loader/rule_body.h"
#include "yaml/messages.h"
#include "yaml/scalar.h"

namespace ossel::loader {
namespace {

using yaml::Event;
using yaml::EventKind;
using yaml::Reader;

constexpr std::string_view kEntryExpected = "internally tagged enum SequenceRule";
constexpr std::string_view kAnyValue = "any value";
constexpr std::string_view kEnumInput =
    "untagged and internally tagged enums do not support enum input";

bool has_local_tag(const yaml::Document& document, const Event& event) {
  return (event.kind == EventKind::kScalar || event.is_start()) &&
         yaml::local_tag_name(document.tag(event)).has_value();
}

// A typed scalar as a buffered value. Integers beyond 64 bits have no place
// in a rule and are refused with one text wherever they stand: a value or a
// key, at any depth, the entry's own keys included.
bool buffer_typed(Reader& reader, const yaml::TypedScalar& typed, const Event& scalar,
                  BufferedValue& out) {
  using Kind = yaml::TypedScalar::Kind;
  switch (typed.kind) {
    case Kind::kUnit:
      out.kind = BufferedValue::Kind::kUnit;
      return true;
    case Kind::kBool:
      out.kind = BufferedValue::Kind::kBool;
      out.boolean = typed.boolean;
      return true;
    case Kind::kUnsigned:
      out.kind = BufferedValue::Kind::kUnsigned;
      out.unsigned_value = typed.unsigned_value;
      return true;
    case Kind::kSigned:
      out.kind = BufferedValue::Kind::kSigned;
      out.signed_value = typed.signed_value;
      return true;
    case Kind::kFloat:
      out.kind = BufferedValue::Kind::kFloat;
      out.float_value = typed.float_value;
      return true;
    case Kind::kString:
      out.kind = BufferedValue::Kind::kText;
      out.text.assign(typed.text);
      return true;
    case Kind::kUnsigned128:
    case Kind::kSigned128:
      return reader.fail(yaml::invalid_type(yaml::describe(typed), kAnyValue), scalar.mark);
  }
  return true;
}

bool type_scalar(Reader& reader, const Event& scalar, yaml::TypedScalar& typed) {
  std::string error;
  if (yaml::type_scalar(reader.document(), scalar, typed, error)) return true;
  return reader.fail(error, scalar.mark);
}

// Any node of the entry, as a buffered value.
bool buffer_node(Reader& reader, size_t node, BufferedValue& out) {
  const Event* event = reader.resolve(node);
  if (event == nullptr) return false;
  if (has_local_tag(reader.document(), *event)) return reader.fail(kEnumInput, event->mark);
  switch (event->kind) {
    case EventKind::kScalar: {
      yaml::TypedScalar typed;
      return type_scalar(reader, *event, typed) &&
             buffer_typed(reader, typed, *event, out);
    }
    case EventKind::kSequenceStart: {
      if (!reader.enter(*event)) return false;
      out.kind = BufferedValue::Kind::kList;
      size_t position = 0;
      bool ok = reader.for_each_child(node, [&](size_t item) {
        reader.push_index(position++);
        if (!buffer_node(reader, item, out.items.emplace_back())) return false;
        reader.pop();
        return true;
      });
      if (!ok) return false;
      reader.leave();
      return true;
    }
    case EventKind::kMappingStart: {
      if (!reader.enter(*event)) return false;
      out.kind = BufferedValue::Kind::kPairs;
      bool ok = reader.for_each_entry(node, [&](size_t key, size_t value) {
        BufferedValue buffered_key;
        if (!buffer_node(reader, key, buffered_key)) return false;
        BufferedValue buffered_value;
        reader.push_key_of(key);
        if (!buffer_node(reader, value, buffered_value)) return false;
        reader.pop();
        out.items.push_back(std::move(buffered_key));
        out.items.push_back(std::move(buffered_value));
        return true;
      });
      if (!ok) return false;
      reader.leave();
      return true;
    }
    default:
      out.kind = BufferedValue::Kind::kUnit;
      return true;
  }
}

// A key of the entry mapping: the `type` key (a key that types as the text
// "type", however it is quoted), or a key of the body.
bool read_entry_key(Reader& reader, size_t key, bool& is_type, BufferedValue& out) {
  const Event* event = reader.resolve(key);
  if (event == nullptr) return false;
  is_type = false;
  if (event->kind != EventKind::kScalar || has_local_tag(reader.document(), *event)) {
    return buffer_node(reader, key, out);
  }
  yaml::TypedScalar typed;
  if (!type_scalar(reader, *event, typed)) return false;
  if (typed.kind == yaml::TypedScalar::Kind::kString && typed.text == "type") {
    is_type = true;
    return true;
  }
  return buffer_typed(reader, typed, *event, out);
}

// The rule kind named by the node at `node`: its text as written.
bool read_rule_type(Reader& reader, size_t node, size_t& type_index) {
  const Event* scalar = nullptr;
  if (!reader.read_scalar_text(node, "variant identifier", scalar)) return false;
  std::string_view word = reader.document().value(*scalar);
  for (size_t i = 0; i < std::size(kRuleTypeWords); ++i) {
    if (kRuleTypeWords[i] == word) {
      type_index = i;
      return true;
    }
  }
  return reader.fail(yaml::unknown_variant(word, kRuleTypeWords), scalar->mark);
}

bool read_mapping_entry(Reader& reader, size_t node, const Event& entry_start, RuleEntry& entry) {
  entry.body.kind = BufferedValue::Kind::kPairs;
  bool have_type = false;
  bool ok = reader.for_each_entry(node, [&](size_t key, size_t value) {
    bool is_type = false;
    BufferedValue buffered_key;
    if (!read_entry_key(reader, key, is_type, buffered_key)) return false;
    if (is_type && have_type) return reader.fail(yaml::duplicate_field("type"), entry_start.mark);
    reader.push_key_of(key);
    if (is_type) {
      have_type = true;
      if (!read_rule_type(reader, value, entry.type_index)) return false;
    } else {
      BufferedValue buffered_value;
      if (!buffer_node(reader, value, buffered_value)) return false;
      entry.body.items.push_back(std::move(buffered_key));
      entry.body.items.push_back(std::move(buffered_value));
    }
    reader.pop();
    return true;
  });
  if (!ok) return false;
  if (!have_type) return reader.fail(yaml::missing_field("type"), entry_start.mark);
  return true;
}

bool read_list_entry(Reader& reader, size_t node, const Event& entry_start, RuleEntry& entry) {
  entry.body.kind = BufferedValue::Kind::kList;
  size_t position = 0;
  bool ok = reader.for_each_child(node, [&](size_t item) {
    reader.push_index(position);
    bool read = position == 0
                    ? read_rule_type(reader, item, entry.type_index)
                    : buffer_node(reader, item, entry.body.items.emplace_back());
    if (!read) return false;
    reader.pop();
    ++position;
    return true;
  });
  if (!ok) return false;
  if (position == 0) return reader.fail(yaml::missing_field("type"), entry_start.mark);
  return true;
}

}  // namespace

bool read_rule_entry(Reader& reader, size_t node, RuleEntry& entry) {
  const Event* event = reader.resolve(node);
  if (event == nullptr) return false;
  if (has_local_tag(reader.document(), *event)) {
    return reader.fail(yaml::invalid_type("enum", kEntryExpected), event->mark);
  }
  bool is_mapping = event->kind == EventKind::kMappingStart;
  if (!is_mapping && event->kind != EventKind::kSequenceStart) {
    return reader.fail(reader.type_error(*event, kEntryExpected), event->mark);
  }
  if (!reader.enter(*event)) return false;
  bool ok = is_mapping ? read_mapping_entry(reader, node, *event, entry)
                       : read_list_entry(reader, node, *event, entry);
  if (!ok) return false;
  reader.leave();
  return true;
}

bool read_sequence_rule(Reader& reader, size_t node, yaml::Mark list_mark, SequenceRule& rule) {
  RuleEntry entry;
  if (!read_rule_entry(reader, node, entry)) return false;
  Result<SequenceRule> built = build_rule(entry.type_index, entry.body);
  if (!built.ok()) return reader.fail_outside(built.message(), list_mark);
  rule = std::move(built).value();
  return true;
}

}  // namespace ossel::loader
