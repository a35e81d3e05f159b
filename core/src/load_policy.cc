// The policy document reader: the key loops of the policy mapping and of
// `tools`, the shape of every value, and `on_error`. Sequence rules are read
// by loader/rule_entry_reader.h; the YAML walking, paths, positions and
// limits live in yaml/reader.h.
#include "ossel/load_policy.h"

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "loader/rule_entry_reader.h"
#include "yaml/document.h"
#include "yaml/messages.h"
#include "yaml/reader.h"
#include "yaml/scalar.h"

namespace ossel {
namespace {

using yaml::Event;
using yaml::EventKind;
using yaml::Mark;

constexpr std::string_view kPolicyFields[] = {"version",   "name",    "metadata", "tools",
                                              "sequences", "aliases", "on_error"};
enum PolicyField { kVersion, kName, kMetadata, kTools, kSequences, kAliases, kOnError };

constexpr std::string_view kToolsFields[] = {"allow", "deny", "require_args", "arg_constraints"};
enum ToolsField { kAllow, kDeny, kRequireArgs, kArgConstraints };

constexpr std::string_view kErrorPolicyWords[] = {"block", "allow"};

class PolicyReader {
 public:
  explicit PolicyReader(yaml::Reader& reader) : reader_(reader) {}

  bool read_policy(size_t node, Policy& policy) {
    Mark mark;
    uint32_t fields_set = 0;
    bool ok = read_record(node, "struct Policy", kPolicyFields, mark, fields_set,
                          [&](size_t field, size_t value) {
                            switch (field) {
                              case kVersion:
                                return reader_.read_text(value, policy.version);
                              case kName:
                                return reader_.read_text(value, policy.name);
                              case kMetadata:
                                return read_optional_json(value, policy.metadata);
                              case kTools:
                                return read_tools(value, policy.tools);
                              case kSequences:
                                return read_rules(value, policy.sequences);
                              case kAliases:
                                return read_text_list_map(value, policy.aliases);
                              default:
                                return read_error_policy(value, policy.on_error);
                            }
                          });
    if (!ok) return false;
    if ((fields_set & (1u << kVersion)) == 0) {
      return reader_.fail(yaml::missing_field("version"), mark);
    }
    return true;
  }

 private:
  // The key loop of a record: every key must name one of `fields`, once;
  // read_field(field, value) reads its value. `mark` is the record's start.
  template <class ReadField>
  bool read_record(size_t node, std::string_view expected, std::span<const std::string_view> fields,
                   Mark& mark, uint32_t& fields_set, ReadField read_field) {
    return reader_.read_mapping(node, expected, mark, [&](size_t key, size_t value) {
      const Event* key_scalar = nullptr;
      if (!reader_.read_scalar_text(key, "field identifier", key_scalar)) return false;
      std::string_view name = reader_.document().value(*key_scalar);
      size_t field = 0;
      while (field < fields.size() && fields[field] != name) ++field;
      if (field == fields.size()) {
        return reader_.fail(yaml::unknown_field(name, fields), key_scalar->mark);
      }
      if (fields_set & (1u << field)) return reader_.fail(yaml::duplicate_field(name), mark);
      fields_set |= 1u << field;
      reader_.push_key(fields[field]);
      if (!read_field(field, value)) return false;
      reader_.pop();
      return true;
    });
  }

  bool read_tools(size_t node, ToolsPolicy& tools) {
    Mark mark;
    uint32_t fields_set = 0;
    return read_record(node, "struct ToolsPolicy", kToolsFields, mark, fields_set,
                       [&](size_t field, size_t value) {
                         switch (field) {
                           case kAllow:
                             return read_optional(value, tools.allow, &PolicyReader::read_text_list);
                           case kDeny:
                             return read_optional(value, tools.deny, &PolicyReader::read_text_list);
                           case kRequireArgs:
                             return read_optional(value, tools.require_args,
                                                  &PolicyReader::read_text_list_map);
                           default:
                             return read_optional(value, tools.arg_constraints,
                                                  &PolicyReader::read_constraints);
                         }
                       });
  }

  // A null-like value leaves `out` absent; anything else is read by `read`.
  template <class T>
  bool read_optional(size_t node, std::optional<T>& out, bool (PolicyReader::*read)(size_t, T&)) {
    bool present = false;
    if (!reader_.read_presence(node, present)) return false;
    if (!present) {
      out.reset();
      return true;
    }
    return (this->*read)(node, out.emplace());
  }

  bool read_json(size_t node, JsonValue& out) { return reader_.read_json(node, out); }

  bool read_optional_json(size_t node, std::optional<JsonValue>& out) {
    return read_optional(node, out, &PolicyReader::read_json);
  }

  bool read_text_list(size_t node, std::vector<std::string>& out) {
    Mark mark;
    return reader_.read_sequence(node, "a sequence", mark, [&](size_t item) {
      return reader_.read_text(item, out.emplace_back());
    });
  }

  // A map from text keys: a repeated key keeps its first place and takes the
  // later value.
  template <class V>
  bool read_text_map(size_t node, OrderedMap<V>& out, bool (PolicyReader::*read)(size_t, V&)) {
    Mark mark;
    return reader_.read_mapping(node, "a map", mark, [&](size_t key, size_t value) {
      const Event* key_scalar = nullptr;
      if (!reader_.read_scalar_text(key, "a string", key_scalar)) return false;
      std::string_view name = reader_.document().value(*key_scalar);
      V item{};
      reader_.push_key(name);
      if (!(this->*read)(value, item)) return false;
      reader_.pop();
      out.insert_or_assign(std::string(name), std::move(item));
      return true;
    });
  }

  bool read_text_list_map(size_t node, OrderedMap<std::vector<std::string>>& out) {
    return read_text_map(node, out, &PolicyReader::read_text_list);
  }

  bool read_json_map(size_t node, JsonObject& out) {
    return read_text_map(node, out, &PolicyReader::read_json);
  }

  bool read_constraints(size_t node, OrderedMap<JsonObject>& out) {
    return read_text_map(node, out, &PolicyReader::read_json_map);
  }

  bool read_rules(size_t node, std::vector<SequenceRule>& out) {
    Mark list_mark;
    return reader_.read_sequence(node, "a sequence", list_mark, [&](size_t item) {
      return loader::read_sequence_rule(reader_, item, list_mark, out.emplace_back());
    });
  }

  // `block` or `allow`, as a scalar's text or as a local tag (!block) on a
  // node that holds nothing.
  bool read_error_policy(size_t node, ErrorPolicy& out) {
    const Event* event = reader_.resolve(node);
    if (event == nullptr) return false;
    auto select = [&](std::string_view word) {
      if (word == kErrorPolicyWords[0]) {
        out = ErrorPolicy::kBlock;
      } else if (word == kErrorPolicyWords[1]) {
        out = ErrorPolicy::kAllow;
      } else {
        return reader_.fail(yaml::unknown_variant(word, kErrorPolicyWords), event->mark);
      }
      return true;
    };
    const yaml::Document& document = reader_.document();
    std::optional<std::string_view> tag = yaml::local_tag_name(document.tag(*event));
    if (event->kind == EventKind::kScalar) {
      std::string_view text = document.value(*event);
      if (!tag) return select(text);
      if (!select(*tag)) return false;
      if (event->style == yaml::ScalarStyle::kPlain && yaml::is_null_like(text)) return true;
      return reader_.fail(yaml::invalid_value(yaml::describe_text(text), "null"), event->mark);
    }
    if (event->is_start()) {
      std::string_view found = event->kind == EventKind::kSequenceStart ? "sequence" : "map";
      if (!tag) {
        return reader_.fail(yaml::invalid_type(found, "a YAML tag starting with '!'"), event->mark);
      }
      if (!select(*tag)) return false;
      return reader_.fail(yaml::invalid_type(found, "unit"), event->mark);
    }
    return true;
  }

  yaml::Reader& reader_;
};

// Parse and read events between two questions to the caller: some
// milliseconds of work.
constexpr size_t kEventsPerCheck = 4096;

}  // namespace

Result<Policy> load_policy(std::string_view yaml_text, KeepGoing keep_going) {
  ProgressCheck progress(std::move(keep_going), kEventsPerCheck);
  yaml::Document document = yaml::parse_first_document(yaml_text, progress);
  yaml::Reader reader(document, &progress);
  Policy policy;
  const bool read = PolicyReader(reader).read_policy(0, policy);
  if (progress.stopped()) return Error{kStoppedMessage};
  if (!read) return Error{reader.error()};
  // A syntax error after the part the reader needed still spoils the file.
  if (document.error) return Error{*document.error};
  if (document.more_documents) {
    return Error{"deserializing from YAML containing more than one document is not supported"};
  }
  return policy;
}

}  // namespace ossel
