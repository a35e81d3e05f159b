// The explainer's view of a policy, computed once per explainer: every
// selector expanded through the aliases, every name the tools check needs in
// one hash table, rule identifiers lower-cased, and the fixed JSON fragments
// of each rule. The policy never changes, so none of this is ever redone per
// trace or per call.
#ifndef OSSEL_EXPLAIN_COMPILED_POLICY_H_
#define OSSEL_EXPLAIN_COMPILED_POLICY_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "ossel/json.h"
#include "ossel/ordered_map.h"
#include "ossel/policy.h"

namespace ossel::explain {

// The kinds in the order of SequenceRule::Body's alternatives.
enum class RuleKind : uint8_t {
  kRequire,
  kEventually,
  kMaxCalls,
  kBefore,
  kAfter,
  kNeverAfter,
  kSequence,
  kBlocklist,
};

// What the tools check concludes for one tool name.
enum class ToolsCheck : uint8_t { kPassed, kDenied, kNotAllowed };

// Identifiers of the distinct rule identifier texts. Blocking rules are
// de-duplicated by text, and two rules may share a text, so each text gets
// one class; the two tools-check identifiers come first.
inline constexpr uint32_t kDenyListId = 0;
inline constexpr uint32_t kAllowListId = 1;

// A rule selector with what the replay and the messages need. Matching looks
// at the selector's name only, so all selectors with one name share one
// `match_class`: a call matches the selector when its tool name is a member
// of that class's expansion.
struct CompiledSelector {
  uint32_t match_class = 0;
  uint32_t name = 0;   // index into CompiledPolicy::names of the name itself
  std::string text;    // display text, quoted in messages
  std::string text_json;  // the display text escaped for the inside of a JSON string
  JsonValue value;     // JSON form, for the contexts of records
  std::string json;    // the same value as compact JSON text
};

// A tool name the policy mentions: in allow, deny, an alias group, or as a
// selector name or a member of a selector's expansion.
struct PolicyName {
  struct Membership {
    uint32_t match_class;
    uint32_t multiplicity;  // how often the expansion lists the name
  };
  ToolsCheck tools = ToolsCheck::kPassed;
  std::vector<Membership> memberships;
};

struct CompiledRule {
  RuleKind kind = RuleKind::kRequire;
  uint32_t id_class = 0;       // index into CompiledPolicy::rule_ids
  uint32_t number = 0;         // within (eventually, after) or max (max_calls)
  bool strict = false;         // sequence
  std::string pattern;         // blocklist
  std::string pattern_json;    // the pattern escaped for the inside of a JSON string
  // Selector indexes: tool; first, then; trigger, then; trigger, forbidden;
  // or the steps of a sequence.
  std::vector<uint32_t> selectors;
  // The JSON text of the record up to the value of "passed":
  // {"rule_id":"...","rule_type":"...","passed":
  std::string record_head;
  // Sequence rules: the steps as one JSON array, value and text.
  JsonValue steps_value;
  std::string steps_json;
};

class CompiledPolicy {
 public:
  explicit CompiledPolicy(const Policy& policy);

  static constexpr uint32_t kNotInPolicy = UINT32_MAX;

  // The index of `tool` in names(), or kNotInPolicy.
  uint32_t find_name(std::string_view tool) const;
  // The tools check of a name the policy does not mention.
  ToolsCheck unnamed_tools_check() const { return unnamed_tools_check_; }

  const std::vector<PolicyName>& names() const { return names_; }
  const std::vector<CompiledSelector>& selectors() const { return selectors_; }
  const CompiledSelector& selector(uint32_t index) const { return selectors_[index]; }
  const std::vector<CompiledRule>& rules() const { return rules_; }
  size_t match_class_count() const { return match_class_count_; }
  const std::string& rule_id(uint32_t id_class) const { return rule_ids_[id_class]; }
  size_t rule_id_count() const { return rule_ids_.size(); }

 private:
  uint32_t intern_name(std::string_view name);
  uint32_t add_selector(const CallSelector& selector, const AliasMap& aliases);
  uint32_t intern_rule_id(std::string id);

  TextHashMap<uint32_t> name_index_;
  std::vector<PolicyName> names_;
  TextHashMap<uint32_t> match_class_index_;  // selector name -> match class
  size_t match_class_count_ = 0;
  std::vector<CompiledSelector> selectors_;
  std::vector<CompiledRule> rules_;
  TextHashMap<uint32_t> rule_id_index_;
  std::vector<std::string> rule_ids_;
  ToolsCheck unnamed_tools_check_ = ToolsCheck::kPassed;
};

}  // namespace ossel::explain

#endif  // OSSEL_EXPLAIN_COMPILED_POLICY_H_
