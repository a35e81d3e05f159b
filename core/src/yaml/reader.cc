#include "yaml/reader.h"

#include <cmath>

#include "yaml/messages.h"
#include "yaml/scalar.h"

namespace ossel::yaml {

const Event* Reader::at(size_t index) {
  if (progress_ != nullptr && !progress_->advance()) {
    fail_unplaced(kStoppedMessage);
    return nullptr;
  }
  if (index < document_.events.size()) return &document_.events[index];
  // Only a syntax error ends the events before the reader is done.
  fail_unplaced(document_.error.value_or("EOF while parsing a value"));
  return nullptr;
}

size_t Reader::after(size_t index) const {
  if (index >= document_.events.size()) return document_.events.size();
  return index + document_.events[index].extent;
}

const Event* Reader::resolve(size_t& index) {
  const Event* event = at(index);
  if (event == nullptr || event->kind != EventKind::kAlias) return event;
  index = event->target;
  const Event& anchored = document_.events[index];
  // Each replay counts every event it reads again, so a document whose
  // aliases multiply (nested, or one large node reused many times) stops
  // after work and memory proportional to its own size.
  replayed_events_ += anchored.extent;
  if (replayed_events_ > kReplayEventsPerEvent * document_.events.size()) {
    fail_unplaced("repetition limit exceeded");
    return nullptr;
  }
  return &anchored;
}

const Event* Reader::peek_resolved(size_t index) const {
  if (index >= document_.events.size()) return nullptr;
  const Event* event = &document_.events[index];
  return event->kind == EventKind::kAlias ? &document_.events[event->target] : event;
}

bool Reader::enter(const Event& collection) {
  if (remaining_depth_ == 0) {
    return fail_unplaced("recursion limit exceeded" + position_suffix(collection.mark));
  }
  --remaining_depth_;
  return true;
}

void Reader::push_key_of(size_t key) {
  const Event* event = peek_resolved(key);
  if (event != nullptr && event->kind == EventKind::kScalar) {
    push_key(document_.value(*event));
  } else {
    push_unknown_key();
  }
}

std::string Reader::path_text(size_t segments) const {
  std::string text;
  for (size_t i = 0; i < segments; ++i) {
    const Segment& segment = path_[i];
    switch (segment.kind) {
      case Segment::kKey:
        if (i > 0) text.push_back('.');
        text.append(segment.key);
        break;
      case Segment::kUnknownKey:
        if (i > 0) text.push_back('.');
        text.push_back('?');
        break;
      case Segment::kIndex:
        if (i == 0) text.push_back('.');
        text.push_back('[');
        text.append(std::to_string(segment.index));
        text.push_back(']');
        break;
    }
  }
  return text;
}

bool Reader::fail_with_path(std::string_view message, Mark mark, size_t segments) {
  std::string text = path_text(segments);
  if (!text.empty()) text.append(": ");
  text.append(message);
  text.append(position_suffix(mark));
  return fail_unplaced(std::move(text));
}

bool Reader::fail(std::string_view message, Mark mark) {
  return fail_with_path(message, mark, path_.size());
}

bool Reader::fail_outside(std::string_view message, Mark mark) {
  return fail_with_path(message, mark, path_.empty() ? 0 : path_.size() - 1);
}

bool Reader::fail_unplaced(std::string message) {
  error_ = std::move(message);
  return false;
}

std::string Reader::type_error(const Event& found, std::string_view expected) const {
  switch (found.kind) {
    case EventKind::kSequenceStart:
      return invalid_type("sequence", expected);
    case EventKind::kMappingStart:
      return invalid_type("map", expected);
    case EventKind::kScalar: {
      TypedScalar typed;
      std::string error;
      if (!type_scalar(document_, found, typed, error)) return error;
      return invalid_type(describe(typed), expected);
    }
    default:
      return "EOF while parsing a value";
  }
}

bool Reader::read_scalar_text(size_t node, std::string_view expected, const Event*& scalar) {
  const Event* event = resolve(node);
  if (event == nullptr) return false;
  if (event->kind != EventKind::kScalar) return fail(type_error(*event, expected), event->mark);
  scalar = event;
  return true;
}

bool Reader::read_text(size_t node, std::string& out) {
  const Event* scalar = nullptr;
  if (!read_scalar_text(node, "a string", scalar)) return false;
  out.assign(document_.value(*scalar));
  return true;
}

bool Reader::read_presence(size_t& node, bool& present) {
  const Event* event = resolve(node);
  if (event == nullptr) return false;
  present = true;
  if (event->kind == EventKind::kVoid) {
    present = false;
  } else if (event->kind == EventKind::kScalar && event->style == ScalarStyle::kPlain) {
    std::string_view text = document_.value(*event);
    std::string_view tag = document_.tag(*event);
    if (tag == kNullTag) {
      if (!is_null_word(text)) return fail(invalid_value(describe_text(text), "null"), event->mark);
      present = false;
    } else if (tag.empty()) {
      present = !is_null_like(text);
    }
  }
  return true;
}

bool Reader::read_json(size_t node, JsonValue& out) {
  static constexpr std::string_view kExpected = "any valid JSON value";
  const Event* event = resolve(node);
  if (event == nullptr) return false;
  if ((event->kind == EventKind::kScalar || event->is_start()) &&
      local_tag_name(document_.tag(*event))) {
    return fail(invalid_type("enum", kExpected), event->mark);
  }
  switch (event->kind) {
    case EventKind::kScalar: {
      TypedScalar typed;
      std::string error;
      if (!type_scalar(document_, *event, typed, error)) return fail(error, event->mark);
      switch (typed.kind) {
        case TypedScalar::Kind::kUnit:
          out = JsonValue();
          return true;
        case TypedScalar::Kind::kBool:
          out = JsonValue(typed.boolean);
          return true;
        case TypedScalar::Kind::kUnsigned:
          out = JsonValue(static_cast<unsigned long long>(typed.unsigned_value));
          return true;
        case TypedScalar::Kind::kSigned:
          out = JsonValue(static_cast<long long>(typed.signed_value));
          return true;
        case TypedScalar::Kind::kFloat:
          // JSON has no infinities or NaN: they read as null.
          out = std::isfinite(typed.float_value) ? JsonValue(typed.float_value) : JsonValue();
          return true;
        case TypedScalar::Kind::kString:
          out = JsonValue(std::string(typed.text));
          return true;
        case TypedScalar::Kind::kUnsigned128:
        case TypedScalar::Kind::kSigned128:
          return fail("JSON number out of range", event->mark);
      }
      return true;
    }
    case EventKind::kSequenceStart: {
      if (!enter(*event)) return false;
      JsonArray items;
      size_t position = 0;
      bool ok = for_each_child(node, [&](size_t item) {
        push_index(position++);
        if (!read_json(item, items.emplace_back())) return false;
        pop();
        return true;
      });
      if (!ok) return false;
      leave();
      out = JsonValue(std::move(items));
      return true;
    }
    case EventKind::kMappingStart: {
      if (!enter(*event)) return false;
      JsonObject members;
      bool ok = for_each_entry(node, [&](size_t key, size_t value) {
        const Event* key_scalar = nullptr;
        if (!read_scalar_text(key, "a string key", key_scalar)) return false;
        JsonValue member;
        push_key(document_.value(*key_scalar));
        if (!read_json(value, member)) return false;
        pop();
        members.insert_or_assign(std::string(document_.value(*key_scalar)), std::move(member));
        return true;
      });
      if (!ok) return false;
      leave();
      out = JsonValue(std::move(members));
      return true;
    }
    default:
      out = JsonValue();
      return true;
  }
}

}  // namespace ossel::yaml
