// The records of a loaded policy. Only the policy loader builds them; after
// loading a Policy is never changed, and every engine reads it as plain data.
//
// Optional members distinguish "absent" (std::nullopt) from "present but
// empty": with no allow list the explainer runs no allow check, with an empty
// one it blocks every tool that is not an alias member.
#ifndef OSSEL_POLICY_H_
#define OSSEL_POLICY_H_

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "ossel/json.h"
#include "ossel/ordered_map.h"

namespace ossel {

// How a rule names calls: a bare tool (or alias) name, or a name with
// argument patterns. `args_match` is ordered by key in byte order.
struct CallSelector {
  using ArgsMatch = std::map<std::string, std::string>;

  std::string tool;
  std::optional<ArgsMatch> args_match;  // present only for the mapping form

  static CallSelector Plain(std::string name) { return CallSelector{std::move(name), std::nullopt}; }
  static CallSelector Matching(std::string tool, ArgsMatch args_match) {
    return CallSelector{std::move(tool), std::move(args_match)};
  }

  bool operator==(const CallSelector&) const = default;
};

// One ordering or counting rule; the variant index is the rule kind's index
// (require 0 ... blocklist 7), the same order as the policy file's type words.
struct SequenceRule {
  struct Require {
    CallSelector tool;
    bool operator==(const Require&) const = default;
  };
  struct Eventually {
    CallSelector tool;
    uint32_t within = 0;
    bool operator==(const Eventually&) const = default;
  };
  struct MaxCalls {
    CallSelector tool;
    uint32_t max = 0;
    bool operator==(const MaxCalls&) const = default;
  };
  struct Before {
    CallSelector first;
    CallSelector then;
    bool operator==(const Before&) const = default;
  };
  struct After {
    CallSelector trigger;
    CallSelector then;
    uint32_t within = 1;
    bool operator==(const After&) const = default;
  };
  struct NeverAfter {
    CallSelector trigger;
    CallSelector forbidden;
    bool operator==(const NeverAfter&) const = default;
  };
  struct Sequence {
    std::vector<CallSelector> tools;
    bool strict = false;
    bool operator==(const Sequence&) const = default;
  };
  struct Blocklist {
    std::string pattern;
    bool operator==(const Blocklist&) const = default;
  };

  using Body = std::variant<Require, Eventually, MaxCalls, Before, After, NeverAfter, Sequence,
                            Blocklist>;
  Body body;

  // The rule's type word as written in a policy file: "require", "eventually",
  // "max_calls", "before", "after", "never_after", "sequence" or "blocklist".
  std::string_view type_word() const;

  bool operator==(const SequenceRule&) const = default;
};

// The eight type words, indexed like SequenceRule::Body.
inline constexpr std::string_view kRuleTypeWords[] = {
    "require", "eventually", "max_calls", "before", "after", "never_after", "sequence", "blocklist"};

inline std::string_view SequenceRule::type_word() const { return kRuleTypeWords[body.index()]; }

enum class ErrorPolicy { kBlock, kAllow };

struct ToolsPolicy {
  std::optional<std::vector<std::string>> allow;
  std::optional<std::vector<std::string>> deny;
  std::optional<OrderedMap<std::vector<std::string>>> require_args;
  std::optional<OrderedMap<JsonObject>> arg_constraints;

  bool operator==(const ToolsPolicy&) const = default;
};

// Group name to member tool names, in policy order. A repeated group name in
// the file keeps its first position and takes the later member list.
using AliasMap = OrderedMap<std::vector<std::string>>;

struct Policy {
  std::string version;
  std::string name;
  std::optional<JsonValue> metadata;
  ToolsPolicy tools;
  std::vector<SequenceRule> sequences;
  AliasMap aliases;
  ErrorPolicy on_error = ErrorPolicy::kBlock;

  // A new, independent policy equal to this one field by field.
  Policy clone() const { return *this; }

  bool operator==(const Policy&) const = default;
};

// Copies a rule list rule by rule, keeping order.
inline std::vector<SequenceRule> clone_rules(const std::vector<SequenceRule>& rules) {
  return rules;
}

}  // namespace ossel

#endif  // OSSEL_POLICY_H_
