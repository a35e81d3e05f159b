#include "ossel/selector_match.h"

#include "ossel/json.h"
#include "ossel/selector.h"

namespace ossel {
namespace {

// Alias groups longer than this are looked up through a hash index rather
// than by scanning the member list.
constexpr size_t kLinearNameLimit = 8;

}  // namespace

std::shared_ptr<const ArgPattern> PatternCache::get(const std::string& pattern) {
  auto it = compiled_.find(pattern);
  if (it == compiled_.end()) {
    it = compiled_.emplace(pattern, std::make_shared<const ArgPattern>(pattern)).first;
  }
  return it->second;
}

SelectorMatcher::SelectorMatcher(const CallSelector& selector, const AliasMap& aliases,
                                 PatternCache& patterns)
    : names_(expand_alias(aliases, selector.tool)) {
  if (names_.size() > kLinearNameLimit) {
    for (const std::string& name : names_) name_index_.emplace(name, 0);
  }
  if (selector.args_match) {
    for (const auto& [key, pattern] : *selector.args_match) {
      patterns_.emplace_back(key, patterns.get(pattern));
    }
  }
}

bool SelectorMatcher::name_matches(std::string_view tool) const {
  if (!name_index_.empty()) return name_index_.contains(tool);
  for (const std::string& name : names_) {
    if (name == tool) return true;
  }
  return false;
}

bool SelectorMatcher::args_match(const ToolCall& call) const {
  if (patterns_.empty()) return true;
  if (!call.args || !call.args->is_object()) return false;
  const JsonObject& args = call.args->as_object();
  std::string json_text;
  for (const auto& [key, pattern] : patterns_) {
    const JsonValue* value = args.find(key);
    if (value == nullptr) return false;
    std::string_view text;
    if (value->is_string()) {
      text = value->as_string();
    } else {
      json_text.clear();
      append_json(*value, json_text);
      text = json_text;
    }
    if (!pattern->search(text)) return false;
  }
  return true;
}

bool SelectorMatcher::matches(const ToolCall& call) const {
  return name_matches(call.tool) && args_match(call);
}

bool matches(const CallSelector& selector, const ToolCall& call, const Policy& policy) {
  PatternCache patterns;
  return SelectorMatcher(selector, policy.aliases, patterns).matches(call);
}

std::vector<size_t> matching_positions(std::span<const ToolCall> trace,
                                       const SelectorMatcher& selector) {
  std::vector<size_t> positions;
  for (size_t i = 0; i < trace.size(); ++i) {
    if (selector.matches(trace[i])) positions.push_back(i);
  }
  return positions;
}

std::vector<size_t> matching_positions(std::span<const ToolCall> trace,
                                       const CallSelector& selector, const Policy& policy) {
  PatternCache patterns;
  return matching_positions(trace, SelectorMatcher(selector, policy.aliases, patterns));
}

std::vector<size_t> blocklist_positions(std::span<const ToolCall> trace,
                                        std::string_view pattern) {
  std::vector<size_t> positions;
  for (size_t i = 0; i < trace.size(); ++i) {
    if (trace[i].tool.find(pattern) != std::string::npos) positions.push_back(i);
  }
  return positions;
}

}  // namespace ossel
