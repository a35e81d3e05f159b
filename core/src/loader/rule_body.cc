#include "loader/rule_body.h"

#include <limits>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "yaml/messages.h"

namespace ossel::loader {
namespace {

using Kind = BufferedValue::Kind;

constexpr std::string_view kNoSelector =
    "data did not match any variant of untagged enum CallSelector";

enum class FieldKind { kSelector, kU32, kText, kBool, kSelectorList };

struct FieldShape {
  std::string_view name;
  FieldKind kind;
  bool required;
};

// The fields of each rule kind in declared order, indexed like
// kRuleTypeWords; the list form and integer keys use these positions.
struct RuleShape {
  std::string_view length_text;  // what a too-short list form was expected to be
  size_t field_count;
  FieldShape fields[3];
};

constexpr RuleShape kRuleShapes[] = {
    {"struct variant SequenceRule::Require with 1 element", 1,
     {{"tool", FieldKind::kSelector, true}}},
    {"struct variant SequenceRule::Eventually with 2 elements", 2,
     {{"tool", FieldKind::kSelector, true}, {"within", FieldKind::kU32, true}}},
    {"struct variant SequenceRule::MaxCalls with 2 elements", 2,
     {{"tool", FieldKind::kSelector, true}, {"max", FieldKind::kU32, true}}},
    {"struct variant SequenceRule::Before with 2 elements", 2,
     {{"first", FieldKind::kSelector, true}, {"then", FieldKind::kSelector, true}}},
    {"struct variant SequenceRule::After with 3 elements", 3,
     {{"trigger", FieldKind::kSelector, true},
      {"then", FieldKind::kSelector, true},
      {"within", FieldKind::kU32, false}}},
    {"struct variant SequenceRule::NeverAfter with 2 elements", 2,
     {{"trigger", FieldKind::kSelector, true}, {"forbidden", FieldKind::kSelector, true}}},
    {"struct variant SequenceRule::Sequence with 2 elements", 2,
     {{"tools", FieldKind::kSelectorList, true}, {"strict", FieldKind::kBool, false}}},
    {"struct variant SequenceRule::Blocklist with 1 element", 1,
     {{"pattern", FieldKind::kText, true}}},
};
static_assert(std::size(kRuleShapes) == std::size(kRuleTypeWords));

using FieldValue =
    std::variant<CallSelector, uint32_t, std::string, bool, std::vector<CallSelector>>;

Result<FieldValue> to_u32(const BufferedValue& value) {
  constexpr uint64_t kMax = std::numeric_limits<uint32_t>::max();
  if (value.kind == Kind::kUnsigned) {
    if (value.unsigned_value <= kMax) return FieldValue(static_cast<uint32_t>(value.unsigned_value));
    return Error{yaml::invalid_value(describe(value), "u32")};
  }
  if (value.kind == Kind::kSigned) {
    // Only "-0" arrives here in range.
    if (value.signed_value == 0) return FieldValue(uint32_t{0});
    return Error{yaml::invalid_value(describe(value), "u32")};
  }
  return Error{yaml::invalid_type(describe(value), "u32")};
}

Result<FieldValue> convert(const FieldShape& field, const BufferedValue& value) {
  switch (field.kind) {
    case FieldKind::kSelector:
      if (auto selector = to_call_selector(value)) return FieldValue(std::move(*selector));
      return Error{std::string(kNoSelector)};
    case FieldKind::kU32:
      return to_u32(value);
    case FieldKind::kText:
      if (value.kind == Kind::kText) return FieldValue(value.text);
      return Error{yaml::invalid_type(describe(value), "a string")};
    case FieldKind::kBool:
      if (value.kind == Kind::kBool) return FieldValue(value.boolean);
      return Error{yaml::invalid_type(describe(value), "a boolean")};
    case FieldKind::kSelectorList: {
      if (value.kind != Kind::kList) return Error{yaml::invalid_type(describe(value), "a sequence")};
      std::vector<CallSelector> selectors;
      selectors.reserve(value.items.size());
      for (const BufferedValue& item : value.items) {
        auto selector = to_call_selector(item);
        if (!selector) return Error{std::string(kNoSelector)};
        selectors.push_back(std::move(*selector));
      }
      return FieldValue(std::move(selectors));
    }
  }
  return Error{std::string(kNoSelector)};
}

using Slots = std::optional<FieldValue>[3];

constexpr size_t kSkip = ~size_t{0};

// The field a body key selects: by name, or by position for an unsigned
// integer; kSkip for names and positions the rule does not have.
Result<size_t> field_of_key(const RuleShape& shape, const BufferedValue& key) {
  if (key.kind == Kind::kText) {
    for (size_t i = 0; i < shape.field_count; ++i) {
      if (shape.fields[i].name == key.text) return i;
    }
    return kSkip;
  }
  if (key.kind == Kind::kUnsigned) {
    return key.unsigned_value < shape.field_count ? static_cast<size_t>(key.unsigned_value) : kSkip;
  }
  return Error{yaml::invalid_type(describe(key), "field identifier")};
}

std::optional<Error> fill_from_pairs(const RuleShape& shape, const BufferedValue& body,
                                     Slots& slots) {
  for (size_t pair = 0; pair < body.pair_count(); ++pair) {
    Result<size_t> field = field_of_key(shape, body.key(pair));
    if (!field.ok()) return field.error();
    if (field.value() == kSkip) continue;
    const FieldShape& target = shape.fields[field.value()];
    if (slots[field.value()]) return Error{yaml::duplicate_field(target.name)};
    Result<FieldValue> value = convert(target, body.value(pair));
    if (!value.ok()) return value.error();
    slots[field.value()] = std::move(value).value();
  }
  for (size_t i = 0; i < shape.field_count; ++i) {
    if (shape.fields[i].required && !slots[i]) return Error{yaml::missing_field(shape.fields[i].name)};
  }
  return std::nullopt;
}

std::string invalid_length(size_t found, std::string_view expected) {
  return "invalid length " + std::to_string(found) + ", expected " + std::string(expected);
}

std::optional<Error> fill_from_list(const RuleShape& shape, const BufferedValue& body,
                                    Slots& slots) {
  const size_t count = body.items.size();
  for (size_t i = 0; i < shape.field_count; ++i) {
    if (i >= count) {
      if (shape.fields[i].required) return Error{invalid_length(i, shape.length_text)};
      continue;
    }
    Result<FieldValue> value = convert(shape.fields[i], body.items[i]);
    if (!value.ok()) return value.error();
    slots[i] = std::move(value).value();
  }
  if (count > shape.field_count) {
    size_t used = shape.field_count;
    std::string expected = used == 1 ? "1 element in sequence"
                                     : std::to_string(used) + " elements in sequence";
    return Error{invalid_length(count, expected)};
  }
  return std::nullopt;
}

SequenceRule assemble(size_t type_index, Slots& slots) {
  auto selector = [&](size_t i) { return std::get<CallSelector>(std::move(*slots[i])); };
  auto u32_or = [&](size_t i, uint32_t fallback) {
    return slots[i] ? std::get<uint32_t>(*slots[i]) : fallback;
  };
  switch (type_index) {
    case 0:
      return {SequenceRule::Require{selector(0)}};
    case 1:
      return {SequenceRule::Eventually{selector(0), u32_or(1, 0)}};
    case 2:
      return {SequenceRule::MaxCalls{selector(0), u32_or(1, 0)}};
    case 3:
      return {SequenceRule::Before{selector(0), selector(1)}};
    case 4:
      return {SequenceRule::After{selector(0), selector(1), u32_or(2, 1)}};
    case 5:
      return {SequenceRule::NeverAfter{selector(0), selector(1)}};
    case 6:
      return {SequenceRule::Sequence{std::get<std::vector<CallSelector>>(std::move(*slots[0])),
                                     slots[1] ? std::get<bool>(*slots[1]) : false}};
    default:
      return {SequenceRule::Blocklist{std::get<std::string>(std::move(*slots[0]))}};
  }
}

}  // namespace

std::optional<CallSelector> to_call_selector(const BufferedValue& value) {
  if (value.kind == Kind::kText) return CallSelector::Plain(value.text);
  if (value.kind != Kind::kPairs) return std::nullopt;
  std::optional<std::string> tool;
  std::optional<CallSelector::ArgsMatch> args_match;
  for (size_t pair = 0; pair < value.pair_count(); ++pair) {
    const BufferedValue& key = value.key(pair);
    const BufferedValue& field = value.value(pair);
    bool is_tool = (key.kind == Kind::kText && key.text == "tool") ||
                   (key.kind == Kind::kUnsigned && key.unsigned_value == 0);
    bool is_args = (key.kind == Kind::kText && key.text == "args_match") ||
                   (key.kind == Kind::kUnsigned && key.unsigned_value == 1);
    if (is_tool) {
      if (tool || field.kind != Kind::kText) return std::nullopt;
      tool = field.text;
    } else if (is_args) {
      if (args_match || field.kind != Kind::kPairs) return std::nullopt;
      args_match.emplace();
      for (size_t arg = 0; arg < field.pair_count(); ++arg) {
        if (field.key(arg).kind != Kind::kText || field.value(arg).kind != Kind::kText) {
          return std::nullopt;
        }
        args_match->insert_or_assign(field.key(arg).text, field.value(arg).text);
      }
    } else if (key.kind != Kind::kText && key.kind != Kind::kUnsigned) {
      return std::nullopt;
    }
  }
  if (!tool || !args_match) return std::nullopt;
  return CallSelector::Matching(std::move(*tool), std::move(*args_match));
}

Result<SequenceRule> build_rule(size_t type_index, const BufferedValue& body) {
  const RuleShape& shape = kRuleShapes[type_index];
  Slots slots;
  std::optional<Error> error = body.kind == Kind::kPairs ? fill_from_pairs(shape, body, slots)
                                                          : fill_from_list(shape, body, slots);
  if (error) return *error;
  return assemble(type_index, slots);
}

}  // namespace ossel::loader
