#include "explain/compiled_policy.h"

#include <utility>

#include "ossel/selector.h"
#include "rule_identifier.h"

namespace ossel::explain {
namespace {

// What the policy's tools section says of a name, gathered before the tools
// check of each name can be decided.
enum NameFlag : uint8_t { kDenied = 1, kAllowed = 2, kAliasMember = 4 };

// The selectors a rule names, in the order CompiledRule::selectors keeps them.
std::vector<const CallSelector*> rule_selectors(const SequenceRule& rule) {
  struct Visitor {
    std::vector<const CallSelector*> operator()(const SequenceRule::Require& r) const {
      return {&r.tool};
    }
    std::vector<const CallSelector*> operator()(const SequenceRule::Eventually& r) const {
      return {&r.tool};
    }
    std::vector<const CallSelector*> operator()(const SequenceRule::MaxCalls& r) const {
      return {&r.tool};
    }
    std::vector<const CallSelector*> operator()(const SequenceRule::Before& r) const {
      return {&r.first, &r.then};
    }
    std::vector<const CallSelector*> operator()(const SequenceRule::After& r) const {
      return {&r.trigger, &r.then};
    }
    std::vector<const CallSelector*> operator()(const SequenceRule::NeverAfter& r) const {
      return {&r.trigger, &r.forbidden};
    }
    std::vector<const CallSelector*> operator()(const SequenceRule::Sequence& r) const {
      std::vector<const CallSelector*> steps;
      for (const CallSelector& step : r.tools) steps.push_back(&step);
      return steps;
    }
    std::vector<const CallSelector*> operator()(const SequenceRule::Blocklist&) const {
      return {};
    }
  };
  return std::visit(Visitor{}, rule.body);
}

}  // namespace

CompiledPolicy::CompiledPolicy(const Policy& policy) {
  intern_rule_id("deny_list");
  intern_rule_id("allow_list");

  std::vector<uint8_t> flags;
  auto flag = [&](std::string_view name, uint8_t bit) {
    uint32_t index = intern_name(name);
    if (flags.size() <= index) flags.resize(index + 1, 0);
    flags[index] |= bit;
  };
  for (const auto& [group, members] : policy.aliases) {
    for (const std::string& member : members) flag(member, kAliasMember);
  }
  if (policy.tools.allow) {
    for (const std::string& name : *policy.tools.allow) flag(name, kAllowed);
  }
  if (policy.tools.deny) {
    for (const std::string& name : *policy.tools.deny) flag(name, kDenied);
  }

  for (const SequenceRule& rule : policy.sequences) {
    CompiledRule compiled;
    compiled.kind = static_cast<RuleKind>(rule.body.index());
    compiled.id_class = intern_rule_id(rule_identifier(rule, {.strict = "sequence", .loose = "sequence"}));
    for (const CallSelector* selector : rule_selectors(rule)) {
      compiled.selectors.push_back(add_selector(*selector, policy.aliases));
    }
    if (const auto* r = std::get_if<SequenceRule::Eventually>(&rule.body)) compiled.number = r->within;
    if (const auto* r = std::get_if<SequenceRule::MaxCalls>(&rule.body)) compiled.number = r->max;
    if (const auto* r = std::get_if<SequenceRule::After>(&rule.body)) compiled.number = r->within;
    if (const auto* r = std::get_if<SequenceRule::Blocklist>(&rule.body)) {
      compiled.pattern = r->pattern;
      append_json_string_content(r->pattern, compiled.pattern_json);
    }
    if (const auto* r = std::get_if<SequenceRule::Sequence>(&rule.body)) {
      compiled.strict = r->strict;
      JsonArray steps;
      for (const CallSelector& step : r->tools) steps.push_back(selector_to_json(step));
      compiled.steps_value = JsonValue(std::move(steps));
      compiled.steps_json = to_json(compiled.steps_value);
    }
    compiled.record_head = "{\"rule_id\":";
    append_json_string(rule_ids_[compiled.id_class], compiled.record_head);
    compiled.record_head += ",\"rule_type\":";
    append_json_string(rule.type_word(), compiled.record_head);
    compiled.record_head += ",\"passed\":";
    rules_.push_back(std::move(compiled));
  }

  // Every name is interned now; decide each one's tools check.
  flags.resize(names_.size(), 0);
  const bool has_allow = policy.tools.allow.has_value();
  for (size_t n = 0; n < names_.size(); ++n) {
    if (flags[n] & kDenied) {
      names_[n].tools = ToolsCheck::kDenied;
    } else if (has_allow && !(flags[n] & (kAllowed | kAliasMember))) {
      names_[n].tools = ToolsCheck::kNotAllowed;
    }
  }
  unnamed_tools_check_ = has_allow ? ToolsCheck::kNotAllowed : ToolsCheck::kPassed;
}

uint32_t CompiledPolicy::find_name(std::string_view tool) const {
  auto it = name_index_.find(tool);
  return it == name_index_.end() ? kNotInPolicy : it->second;
}

uint32_t CompiledPolicy::intern_name(std::string_view name) {
  auto [it, inserted] = name_index_.try_emplace(std::string(name), static_cast<uint32_t>(names_.size()));
  if (inserted) names_.emplace_back();
  return it->second;
}

uint32_t CompiledPolicy::add_selector(const CallSelector& selector, const AliasMap& aliases) {
  CompiledSelector compiled;
  compiled.name = intern_name(selector.tool);
  auto [it, inserted] =
      match_class_index_.try_emplace(selector.tool, static_cast<uint32_t>(match_class_count_));
  compiled.match_class = it->second;
  if (inserted) {
    ++match_class_count_;
    // Each distinct member once, with the number of times the group lists it
    // (a max_calls count adds a name's calls once per listing).
    TextHashMap<uint32_t> multiplicity;
    std::vector<std::string_view> order;
    std::vector<std::string> members = expand_alias(aliases, selector.tool);
    for (const std::string& member : members) {
      if (multiplicity[member]++ == 0) order.push_back(member);
    }
    for (std::string_view member : order) {
      uint32_t name = intern_name(member);
      names_[name].memberships.push_back({compiled.match_class, multiplicity.find(member)->second});
    }
  }
  compiled.text = display_text(selector);
  append_json_string_content(compiled.text, compiled.text_json);
  compiled.value = selector_to_json(selector);
  compiled.json = to_json(compiled.value);
  selectors_.push_back(std::move(compiled));
  return static_cast<uint32_t>(selectors_.size() - 1);
}

uint32_t CompiledPolicy::intern_rule_id(std::string id) {
  auto [it, inserted] = rule_id_index_.try_emplace(id, static_cast<uint32_t>(rule_ids_.size()));
  if (inserted) rule_ids_.push_back(std::move(id));
  return it->second;
}

}  // namespace ossel::explain
