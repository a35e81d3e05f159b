// Reader: walks the events of a parsed document node by node, for the
// policy's record readers, and keeps what every read shares: alias replay with
// its repetition limit, the nesting limit, the path of the node being read,
// and the one error message that ends a read.
//
// Every read function takes the index of a node's first event and returns
// false once the read has failed; error() then holds the complete message:
//   "{path}: {message} at line {L} column {C}"
// with the path left out at the document root and the position left out at
// line 1, column 1. Reads stop at the first failure, so nothing is undone on
// the way out.
#ifndef OSSEL_YAML_READER_H_
#define OSSEL_YAML_READER_H_

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "ossel/json.h"
#include "yaml/document.h"

namespace ossel::yaml {

// How many events alias replays may read, per event of the document.
inline constexpr size_t kReplayEventsPerEvent = 100;

class Reader {
 public:
  // Every event visited, replays included, is counted on `progress` (if
  // given); once it says stop, the read fails with kStoppedMessage.
  explicit Reader(const Document& document, ProgressCheck* progress = nullptr)
      : document_(document), progress_(progress) {}
  Reader(const Reader&) = delete;
  Reader& operator=(const Reader&) = delete;

  const Document& document() const { return document_; }
  const std::string& error() const { return error_; }

  // --- Walking events ---------------------------------------------------------

  // The event at `index`; nullptr where the document was cut short by a
  // syntax error, which then becomes the error.
  const Event* at(size_t index);
  // The index just past the node that starts at `index`.
  size_t after(size_t index) const;
  // Moves `index` from an alias to its anchored node, counting the replayed
  // events against the repetition limit, and returns that node's event.
  const Event* resolve(size_t& index);
  // The node an alias stands for, without counting a replay: for naming keys.
  const Event* peek_resolved(size_t index) const;

  // Calls on_child(index) for each child of the collection starting at
  // `start`, in order.
  template <class OnChild>
  bool for_each_child(size_t start, OnChild on_child);
  // Calls on_entry(key, value) for each pair of the mapping starting at
  // `start`, in order.
  template <class OnEntry>
  bool for_each_entry(size_t start, OnEntry on_entry);

  // Enters a mapping or sequence; fails past the nesting limit.
  bool enter(const Event& collection);
  void leave() { ++remaining_depth_; }

  // --- Paths ------------------------------------------------------------------

  void push_key(std::string_view key) { path_.push_back({Segment::kKey, key, 0}); }
  // The value of a key that is not a scalar.
  void push_unknown_key() { path_.push_back({Segment::kUnknownKey, {}, 0}); }
  void push_index(size_t index) { path_.push_back({Segment::kIndex, {}, index}); }
  void pop() { path_.pop_back(); }
  // Pushes the path of the value whose key is the node at `key`.
  void push_key_of(size_t key);

  // --- Errors -----------------------------------------------------------------

  // Sets the error to `message` at the current path and `mark`; returns false.
  bool fail(std::string_view message, Mark mark);
  // The same at the path one level up (the collection holding the current
  // node).
  bool fail_outside(std::string_view message, Mark mark);
  // Sets the error to `message` as it stands; returns false.
  bool fail_unplaced(std::string message);
  // The "invalid type" message for finding `found` where `expected` was
  // wanted; a scalar is described by its typed value (or by the message its
  // tag gives).
  std::string type_error(const Event& found, std::string_view expected) const;

  // --- Value shapes -----------------------------------------------------------

  // Any scalar, as its text (tags and style ignored).
  bool read_scalar_text(size_t node, std::string_view expected, const Event*& scalar);
  bool read_text(size_t node, std::string& out);

  // A sequence, or an empty plain scalar as no items. on_item(index) runs
  // with the item's position pushed on the path.
  template <class OnItem>
  bool read_sequence(size_t node, std::string_view expected, Mark& mark, OnItem on_item);

  // A mapping, or an empty plain scalar (or an empty document) as no
  // entries. `mark` is set before the first on_entry(key, value) runs.
  template <class OnEntry>
  bool read_mapping(size_t node, std::string_view expected, Mark& mark, OnEntry on_entry);

  // Whether an optional value is present: null-like values are absent, a
  // scalar tagged !!null must hold a null word. Moves `node` past an alias.
  bool read_presence(size_t& node, bool& present);

  // Any node as a JSON value: mappings as objects (keys in document order, a
  // repeated key keeps its place and takes the later value), sequences as
  // arrays, scalars by their typing.
  bool read_json(size_t node, JsonValue& out);

 private:
  struct Segment {
    enum Kind { kKey, kUnknownKey, kIndex } kind;
    std::string_view key;
    size_t index;
  };
  std::string path_text(size_t segments) const;
  bool fail_with_path(std::string_view message, Mark mark, size_t segments);

  const Document& document_;
  ProgressCheck* progress_;
  std::string error_;
  std::vector<Segment> path_;
  size_t remaining_depth_ = kNestingLimit;
  size_t replayed_events_ = 0;
};

// --- Templates ---------------------------------------------------------------

template <class OnChild>
bool Reader::for_each_child(size_t start, OnChild on_child) {
  for (size_t child = start + 1;; child = after(child)) {
    const Event* event = at(child);
    if (event == nullptr) return false;
    if (event->is_end()) return true;
    if (!on_child(child)) return false;
  }
}

template <class OnEntry>
bool Reader::for_each_entry(size_t start, OnEntry on_entry) {
  for (size_t key = start + 1;;) {
    const Event* event = at(key);
    if (event == nullptr) return false;
    if (event->is_end()) return true;
    size_t value = after(key);
    if (!on_entry(key, value)) return false;
    key = after(value);
  }
}

inline bool is_empty_plain_scalar(const Document& document, const Event& event) {
  return event.kind == EventKind::kScalar && event.style == ScalarStyle::kPlain &&
         document.value(event).empty();
}

template <class OnItem>
bool Reader::read_sequence(size_t node, std::string_view expected, Mark& mark, OnItem on_item) {
  const Event* event = resolve(node);
  if (event == nullptr) return false;
  mark = event->mark;
  if (event->kind == EventKind::kSequenceStart) {
    if (!enter(*event)) return false;
    size_t position = 0;
    bool ok = for_each_child(node, [&](size_t item) {
      push_index(position++);
      if (!on_item(item)) return false;
      pop();
      return true;
    });
    if (!ok) return false;
    leave();
    return true;
  }
  if (event->kind == EventKind::kVoid || is_empty_plain_scalar(document_, *event)) return true;
  return fail(type_error(*event, expected), event->mark);
}

template <class OnEntry>
bool Reader::read_mapping(size_t node, std::string_view expected, Mark& mark, OnEntry on_entry) {
  const Event* event = resolve(node);
  if (event == nullptr) return false;
  mark = event->mark;
  if (event->kind == EventKind::kMappingStart) {
    if (!enter(*event)) return false;
    if (!for_each_entry(node, on_entry)) return false;
    leave();
    return true;
  }
  if (event->kind == EventKind::kVoid || is_empty_plain_scalar(document_, *event)) return true;
  return fail(type_error(*event, expected), event->mark);
}

}  // namespace ossel::yaml

#endif  // OSSEL_YAML_READER_H_
