// The first YAML document of a text as a flat list of parse events.
//
// The policy reader walks this list instead of a node tree: an alias is an
// event that points back at the first event of its anchored node, so reading
// an alias replays that node's events, and a document that reuses one anchor
// many times costs no more memory than its text. Parsing stops at the first
// syntax error; the events before it stay readable, so a reader that finds a
// problem earlier in the document reports that problem instead.
#ifndef OSSEL_YAML_DOCUMENT_H_
#define OSSEL_YAML_DOCUMENT_H_

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "ossel/progress.h"

namespace ossel::yaml {

// How deep mappings and sequences may nest (the root counts as one level).
inline constexpr size_t kNestingLimit = 128;

// A position in the text; 0-based, as the parser counts (columns in
// characters). Messages show both 1-based.
struct Mark {
  size_t line = 0;
  size_t column = 0;
};

enum class ScalarStyle : unsigned char { kPlain, kSingleQuoted, kDoubleQuoted, kLiteral, kFolded };

enum class EventKind : unsigned char {
  kScalar,
  kSequenceStart,
  kSequenceEnd,
  kMappingStart,
  kMappingEnd,
  kAlias,
  // Stands for the missing root node of a stream that holds no document.
  kVoid,
};

struct Event {
  EventKind kind = EventKind::kVoid;
  ScalarStyle style = ScalarStyle::kPlain;  // scalars only
  Mark mark;                                // where the node (or end) starts
  // Number of events the node spans: 1 for a scalar, an alias or an end; from
  // a start event to its end event inclusive (or to the cut) for collections.
  size_t extent = 1;
  size_t target = 0;  // aliases: index of the anchored node's first event
  // Scalar text and resolved tag ("" when untagged), as slices of
  // Document::text_pool.
  size_t value_begin = 0, value_size = 0;
  size_t tag_begin = 0, tag_size = 0;

  bool is_start() const {
    return kind == EventKind::kSequenceStart || kind == EventKind::kMappingStart;
  }
  bool is_end() const { return kind == EventKind::kSequenceEnd || kind == EventKind::kMappingEnd; }
};

struct Document {
  std::vector<Event> events;
  std::string text_pool;  // every scalar value and tag, back to back

  // The complete message of the syntax error (or unknown anchor) that cut
  // `events` short, if any.
  std::optional<std::string> error;
  // True when anything but the end of the stream follows the first document:
  // another document, or a syntax error after the first one ended.
  bool more_documents = false;

  std::string_view value(const Event& e) const {
    return std::string_view(text_pool).substr(e.value_begin, e.value_size);
  }
  std::string_view tag(const Event& e) const {
    return std::string_view(text_pool).substr(e.tag_begin, e.tag_size);
  }
};

// Parses `text` (UTF-8) up to the end of its first document, counting every
// event on `progress`; once that says stop, the document ends there with
// kStoppedMessage as its error.
//
// Parsing also stops at a collection nested two levels past kNestingLimit.
// No reader can get that far: every node of a document is read, and the
// reader fails at the parent one level past the limit, if not before. Stopping
// there keeps the parser from spending time quadratic in the nesting depth on
// text that can only fail.
Document parse_first_document(std::string_view text, ProgressCheck& progress);
Document parse_first_document(std::string_view text);

// " at line L column C" (1-based), or "" for the very start of the text, where
// a position says nothing.
std::string position_suffix(Mark mark);

}  // namespace ossel::yaml

#endif  // OSSEL_YAML_DOCUMENT_H_
