// OrderedMap<V>: a map from text keys that iterates in insertion order.
//
// Every map the system reads from a policy or writes as JSON keeps the order
// its keys were first inserted in, so output is deterministic. Re-inserting a
// key replaces its value but keeps its first position. Small maps are scanned
// linearly; once a map grows past a few entries a hash index takes over, so
// building an object with many keys stays linear.
#ifndef OSSEL_ORDERED_MAP_H_
#define OSSEL_ORDERED_MAP_H_

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

namespace ossel {

struct TextHash {
  using is_transparent = void;
  size_t operator()(std::string_view text) const noexcept {
    return std::hash<std::string_view>{}(text);
  }
};

// A hash set/map of text keys that can be probed with a std::string_view.
template <class V>
using TextHashMap = std::unordered_map<std::string, V, TextHash, std::equal_to<>>;

template <class V>
class OrderedMap {
 public:
  using Entry = std::pair<std::string, V>;
  using const_iterator = typename std::vector<Entry>::const_iterator;

  // Inserts `key` with `value`; an existing key keeps its position and takes
  // the new value. Returns the stored value.
  V& insert_or_assign(std::string key, V value);

  const V* find(std::string_view key) const;
  V* find(std::string_view key);
  bool contains(std::string_view key) const { return find(key) != nullptr; }

  size_t size() const { return entries_.size(); }
  bool empty() const { return entries_.empty(); }
  const_iterator begin() const { return entries_.begin(); }
  const_iterator end() const { return entries_.end(); }
  const Entry& operator[](size_t position) const { return entries_[position]; }

  // Equal when both hold the same entries in the same order.
  bool operator==(const OrderedMap& other) const { return entries_ == other.entries_; }

 private:
  static constexpr size_t kLinearLimit = 8;
  size_t position_of(std::string_view key) const;

  std::vector<Entry> entries_;
  TextHashMap<size_t> index_;  // filled only once size() > kLinearLimit
};

template <class V>
size_t OrderedMap<V>::position_of(std::string_view key) const {
  if (entries_.size() > kLinearLimit) {
    auto it = index_.find(key);
    return it == index_.end() ? entries_.size() : it->second;
  }
  for (size_t i = 0; i < entries_.size(); ++i) {
    if (entries_[i].first == key) return i;
  }
  return entries_.size();
}

template <class V>
V& OrderedMap<V>::insert_or_assign(std::string key, V value) {
  size_t position = position_of(key);
  if (position < entries_.size()) {
    entries_[position].second = std::move(value);
    return entries_[position].second;
  }
  entries_.emplace_back(std::move(key), std::move(value));
  if (entries_.size() > kLinearLimit) {
    if (index_.empty()) {
      for (size_t i = 0; i < entries_.size(); ++i) index_.emplace(entries_[i].first, i);
    } else {
      index_.emplace(entries_.back().first, entries_.size() - 1);
    }
  }
  return entries_.back().second;
}

template <class V>
const V* OrderedMap<V>::find(std::string_view key) const {
  size_t position = position_of(key);
  return position < entries_.size() ? &entries_[position].second : nullptr;
}

template <class V>
V* OrderedMap<V>::find(std::string_view key) {
  size_t position = position_of(key);
  return position < entries_.size() ? &entries_[position].second : nullptr;
}

}  // namespace ossel

#endif  // OSSEL_ORDERED_MAP_H_
