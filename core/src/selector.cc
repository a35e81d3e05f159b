#include "ossel/selector.h"

namespace ossel {

std::vector<std::string> expand_alias(const AliasMap& aliases, std::string_view name) {
  if (const std::vector<std::string>* members = aliases.find(name)) return *members;
  return {std::string(name)};
}

void append_display_text(const CallSelector& selector, std::string& out) {
  out.append(selector.tool);
  if (!selector.args_match) return;
  out.push_back('[');
  bool first = true;
  for (const auto& [key, pattern] : *selector.args_match) {
    if (!first) out.push_back(',');
    first = false;
    out.append(key);
  }
  out.push_back(']');
}

std::string display_text(const CallSelector& selector) {
  std::string out;
  append_display_text(selector, out);
  return out;
}

std::vector<std::string> selector_labels(const std::vector<CallSelector>& selectors) {
  std::vector<std::string> labels;
  labels.reserve(selectors.size());
  for (const CallSelector& selector : selectors) labels.push_back(display_text(selector));
  return labels;
}

JsonValue selector_to_json(const CallSelector& selector) {
  if (!selector.args_match) return JsonValue(selector.tool);
  JsonObject patterns;
  for (const auto& [key, pattern] : *selector.args_match) patterns.insert_or_assign(key, pattern);
  JsonObject object;
  object.insert_or_assign("tool", selector.tool);
  object.insert_or_assign("args_match", std::move(patterns));
  return object;
}

}  // namespace ossel
