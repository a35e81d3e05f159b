#include "yaml/document.h"

#include <yaml.h>

#include <string>
#include <unordered_map>

namespace ossel::yaml {
namespace {

Mark mark_of(const yaml_mark_t& m) { return Mark{m.line, m.column}; }

std::string line_column(Mark mark) {
  return "line " + std::to_string(mark.line + 1) + " column " + std::to_string(mark.column + 1);
}

bool is_text_start(Mark mark) { return mark.line == 0 && mark.column == 0; }

// The parser's own problem text with its position, then its context text
// with the context's position when that says something more.
std::string syntax_error_message(const yaml_parser_t& parser) {
  std::string message =
      parser.problem != nullptr ? parser.problem : "libyaml parser failed but there is no error";
  Mark problem = mark_of(parser.problem_mark);
  if (!is_text_start(problem)) {
    message += " at " + line_column(problem);
  } else if (parser.problem_offset != 0) {
    // Encoding problems carry a byte offset instead of a line and column.
    message += " at position " + std::to_string(parser.problem_offset);
  }
  if (parser.context != nullptr) {
    message += ", ";
    message += parser.context;
    Mark context = mark_of(parser.context_mark);
    if (!is_text_start(context) &&
        (context.line != problem.line || context.column != problem.column)) {
      message += " at " + line_column(context);
    }
  }
  return message;
}

class Parser {
 public:
  explicit Parser(std::string_view text) {
    yaml_parser_initialize(&parser_);
    // libyaml insists on a non-null pointer, even for no text.
    const char* data = text.data() != nullptr ? text.data() : "";
    yaml_parser_set_input_string(&parser_, reinterpret_cast<const unsigned char*>(data), text.size());
    // The text is UTF-8 whatever its first bytes are: libyaml would take a
    // UTF-16 byte-order mark at the start as a switch to UTF-16. Detection
    // stays on otherwise, since it drops a UTF-8 byte-order mark without
    // counting it as a column.
    if (text.starts_with("\xff\xfe") || text.starts_with("\xfe\xff")) {
      yaml_parser_set_encoding(&parser_, YAML_UTF8_ENCODING);
    }
  }
  ~Parser() { yaml_parser_delete(&parser_); }
  Parser(const Parser&) = delete;
  Parser& operator=(const Parser&) = delete;

  // Fills `event`; false with the syntax error's message otherwise.
  bool next(yaml_event_t& event, std::string& error) {
    if (yaml_parser_parse(&parser_, &event)) return true;
    error = syntax_error_message(parser_);
    return false;
  }

 private:
  yaml_parser_t parser_;
};

class EventOwner {
 public:
  yaml_event_t event{};
  EventOwner() = default;
  ~EventOwner() { yaml_event_delete(&event); }
  EventOwner(const EventOwner&) = delete;
  EventOwner& operator=(const EventOwner&) = delete;
};

class DocumentBuilder {
 public:
  explicit DocumentBuilder(Document& document) : document_(document) {}

  // Adds one parse event of the first document. Returns false once the
  // document is complete or cut short.
  bool add(const yaml_event_t& e) {
    switch (e.type) {
      case YAML_STREAM_START_EVENT:
      case YAML_DOCUMENT_START_EVENT:
      case YAML_NO_EVENT:
        return true;
      case YAML_STREAM_END_EVENT:
        // A stream without a document reads as one empty root node.
        push(EventKind::kVoid, e.start_mark);
        return false;
      case YAML_DOCUMENT_END_EVENT:
        return false;
      case YAML_ALIAS_EVENT:
        return add_alias(e);
      case YAML_SCALAR_EVENT: {
        Event& scalar = push(EventKind::kScalar, e.start_mark);
        anchor(e.data.scalar.anchor);
        scalar.style = style_of(e.data.scalar.style);
        scalar.tag_begin = document_.text_pool.size();
        scalar.tag_size = append_c_string(e.data.scalar.tag);
        scalar.value_begin = document_.text_pool.size();
        scalar.value_size = e.data.scalar.length;
        document_.text_pool.append(reinterpret_cast<const char*>(e.data.scalar.value),
                                   e.data.scalar.length);
        return true;
      }
      case YAML_SEQUENCE_START_EVENT:
        return start(EventKind::kSequenceStart, e.start_mark, e.data.sequence_start.anchor,
                     e.data.sequence_start.tag);
      case YAML_MAPPING_START_EVENT:
        return start(EventKind::kMappingStart, e.start_mark, e.data.mapping_start.anchor,
                     e.data.mapping_start.tag);
      case YAML_SEQUENCE_END_EVENT:
        end(EventKind::kSequenceEnd, e.start_mark);
        return true;
      case YAML_MAPPING_END_EVENT:
        end(EventKind::kMappingEnd, e.start_mark);
        return true;
    }
    return true;
  }

  // Collections left open by a syntax error span to the cut.
  void close_open_collections() {
    for (size_t start : open_) document_.events[start].extent = document_.events.size() - start;
    open_.clear();
  }

 private:
  static ScalarStyle style_of(yaml_scalar_style_t style) {
    switch (style) {
      case YAML_SINGLE_QUOTED_SCALAR_STYLE:
        return ScalarStyle::kSingleQuoted;
      case YAML_DOUBLE_QUOTED_SCALAR_STYLE:
        return ScalarStyle::kDoubleQuoted;
      case YAML_LITERAL_SCALAR_STYLE:
        return ScalarStyle::kLiteral;
      case YAML_FOLDED_SCALAR_STYLE:
        return ScalarStyle::kFolded;
      default:
        return ScalarStyle::kPlain;
    }
  }

  Event& push(EventKind kind, const yaml_mark_t& mark) {
    Event& event = document_.events.emplace_back();
    event.kind = kind;
    event.mark = mark_of(mark);
    return event;
  }

  size_t append_c_string(const yaml_char_t* text) {
    if (text == nullptr) return 0;
    std::string_view view(reinterpret_cast<const char*>(text));
    document_.text_pool.append(view);
    return view.size();
  }

  // A later anchor of the same name hides the earlier one from then on.
  void anchor(const yaml_char_t* name) {
    if (name != nullptr) {
      anchors_.insert_or_assign(reinterpret_cast<const char*>(name), document_.events.size() - 1);
    }
  }

  // Returns false at a collection too deep for any reader to reach.
  bool start(EventKind kind, const yaml_mark_t& mark, const yaml_char_t* anchor_name,
             const yaml_char_t* tag) {
    if (open_.size() > kNestingLimit) {
      document_.error = "recursion limit exceeded" + position_suffix(mark_of(mark));
      return false;
    }
    Event& event = push(kind, mark);
    anchor(anchor_name);
    event.tag_begin = document_.text_pool.size();
    event.tag_size = append_c_string(tag);
    open_.push_back(document_.events.size() - 1);
    return true;
  }

  void end(EventKind kind, const yaml_mark_t& mark) {
    push(kind, mark);
    size_t start = open_.back();
    open_.pop_back();
    document_.events[start].extent = document_.events.size() - start;
  }

  bool add_alias(const yaml_event_t& e) {
    auto found = anchors_.find(reinterpret_cast<const char*>(e.data.alias.anchor));
    if (found == anchors_.end()) {
      document_.error = "unknown anchor" + position_suffix(mark_of(e.start_mark));
      return false;
    }
    push(EventKind::kAlias, e.start_mark).target = found->second;
    return true;
  }

  Document& document_;
  std::unordered_map<std::string, size_t> anchors_;
  std::vector<size_t> open_;  // start events of the collections being read
};

}  // namespace

std::string position_suffix(Mark mark) {
  if (is_text_start(mark)) return "";
  return " at " + line_column(mark);
}

Document parse_first_document(std::string_view text) {
  ProgressCheck never_stops;
  return parse_first_document(text, never_stops);
}

Document parse_first_document(std::string_view text, ProgressCheck& progress) {
  Document document;
  document.text_pool.reserve(text.size());
  Parser parser(text);
  DocumentBuilder builder(document);
  std::string error;
  bool reading = true;
  while (reading) {
    if (!progress.advance()) {
      document.error = kStoppedMessage;
      break;
    }
    EventOwner owner;
    if (!parser.next(owner.event, error)) {
      document.error = std::move(error);
      break;
    }
    bool document_ended = owner.event.type == YAML_DOCUMENT_END_EVENT;
    reading = builder.add(owner.event);
    if (document_ended) {
      // Only the end of the stream may follow; a further document, or text
      // that cannot start one, is one document too many.
      EventOwner next;
      document.more_documents =
          !parser.next(next.event, error) || next.event.type != YAML_STREAM_END_EVENT;
    }
  }
  builder.close_open_collections();
  return document;
}

}  // namespace ossel::yaml
