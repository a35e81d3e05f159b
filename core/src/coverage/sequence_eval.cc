#include "ossel/sequence_eval.h"

#include <algorithm>
#include <concepts>
#include <numeric>
#include <utility>
#include <variant>

#include "ossel/selector.h"
#include "ossel/selector_match.h"
#include "overloaded.h"

namespace ossel {
namespace {

void append_part(std::string& out, std::string_view text) { out.append(text); }
void append_part(std::string& out, std::integral auto number) {
  out.append(std::to_string(number));
}

template <class... Parts>
std::string concat(const Parts&... parts) {
  std::string out;
  (append_part(out, parts), ...);
  return out;
}

RuleOutcome satisfied(std::vector<size_t> positions) {
  RuleOutcome outcome;
  outcome.status = RuleStatus::kSatisfied;
  outcome.positions = std::move(positions);
  return outcome;
}

RuleOutcome violated(std::vector<size_t> positions, std::string message) {
  RuleOutcome outcome;
  outcome.status = RuleStatus::kViolated;
  outcome.positions = std::move(positions);
  outcome.message = std::move(message);
  return outcome;
}

RuleOutcome not_applicable(std::string message) {
  RuleOutcome outcome;
  outcome.status = RuleStatus::kNotApplicable;
  outcome.message = std::move(message);
  return outcome;
}

std::vector<size_t> every_index(size_t n) {
  std::vector<size_t> positions(n);
  std::iota(positions.begin(), positions.end(), size_t{0});
  return positions;
}

void sort_unique(std::vector<size_t>& positions) {
  std::sort(positions.begin(), positions.end());
  positions.erase(std::unique(positions.begin(), positions.end()), positions.end());
}

constexpr size_t kNone = static_cast<size_t>(-1);

// A selector ready for matching, with the display text that identifiers and
// messages quote.
struct Target {
  Target(const CallSelector& selector, const AliasMap& aliases, PatternCache& patterns)
      : matcher(selector, aliases, patterns), label(display_text(selector)) {}

  bool matches(const ToolCall& call) const { return matcher.matches(call); }

  // Index of the first call at or after `from` that matches, or kNone.
  size_t find_first(std::span<const ToolCall> trace, size_t from = 0) const {
    for (size_t i = from; i < trace.size(); ++i) {
      if (matches(trace[i])) return i;
    }
    return kNone;
  }

  SelectorMatcher matcher;
  std::string label;
};

struct Require {
  Target tool;

  RuleOutcome evaluate(std::span<const ToolCall> trace) const {
    std::vector<size_t> found = matching_positions(trace, tool.matcher);
    if (!found.empty()) return satisfied(std::move(found));
    return violated({}, concat("required tool '", tool.label, "' not found in trace"));
  }
};

struct Eventually {
  Target tool;
  uint32_t within;

  // Only the first matching call counts. The comparisons with `within` use
  // the full index and length, so they stay right on any trace length.
  RuleOutcome evaluate(std::span<const ToolCall> trace) const {
    const size_t n = trace.size();
    const size_t first = tool.find_first(trace);
    if (first != kNone) {
      if (within <= first) {
        return violated({first}, concat("tool '", tool.label, "' appeared at index ", first,
                                        " but must appear within first ", within, " calls"));
      }
      return satisfied({first});
    }
    if (within <= n) {
      return violated(every_index(n), concat("tool '", tool.label, "' required within first ",
                                             within, " calls but not found (trace length: ", n,
                                             ")"));
    }
    return violated(every_index(n),
                    concat("tool '", tool.label, "' required within the first ", within,
                           " calls but the run ended after ", n, " without it"));
  }
};

struct MaxCalls {
  Target tool;
  uint32_t max;

  RuleOutcome evaluate(std::span<const ToolCall> trace) const {
    std::vector<size_t> found = matching_positions(trace, tool.matcher);
    const size_t count = found.size();
    if (count <= max) return satisfied(std::move(found));
    return violated(std::move(found),
                    concat("tool '", tool.label, "' exceeded max calls (", count, " > ", max, ")"));
  }
};

struct Before {
  Target first;
  Target then;

  RuleOutcome evaluate(std::span<const ToolCall> trace) const {
    // One pass finds the first match of each selector.
    size_t f = kNone;
    size_t t = kNone;
    for (size_t i = 0; i < trace.size() && (f == kNone || t == kNone); ++i) {
      if (f == kNone && first.matches(trace[i])) f = i;
      if (t == kNone && then.matches(trace[i])) t = i;
    }
    if (t == kNone) {
      return not_applicable(
          concat("'", then.label, "' never appeared, so the ordering was never constrained"));
    }
    if (f == kNone) {
      return violated({t}, concat("tool '", then.label, "' was found (index ", t,
                                  ") but required preceding tool '", first.label,
                                  "' was missing"));
    }
    if (f <= t) return satisfied({f, t});
    return violated({f, t}, concat("tool '", first.label, "' appeared at index ", f,
                                   " but was required before tool '", then.label, "' (index ",
                                   t, ")"));
  }
};

struct After {
  Target trigger;
  Target then;
  uint32_t within;

  // The answer to a trigger t is the first call after t that matches `then`;
  // it counts when it lies within t + within. One forward pass records every
  // trigger and gives each the first `then` match after it, so the walk over
  // the triggers below needs no window scans.
  RuleOutcome evaluate(std::span<const ToolCall> trace) const {
    const size_t n = trace.size();
    std::vector<size_t> triggers;
    std::vector<size_t> next_then;  // parallel to triggers; kNone when none follows
    size_t unanswered = 0;          // triggers before this index already have their answer
    for (size_t i = 0; i < n; ++i) {
      // Testing `then` first lets a call that matches both answer earlier
      // triggers before it starts a window of its own.
      if (unanswered < triggers.size() && then.matches(trace[i])) {
        for (; unanswered < triggers.size(); ++unanswered) next_then[unanswered] = i;
      }
      if (trigger.matches(trace[i])) {
        triggers.push_back(i);
        next_then.push_back(kNone);
      }
    }
    if (triggers.empty()) {
      return not_applicable(concat("'", trigger.label, "' never appeared, so no deadline started"));
    }
    std::vector<size_t> positions = triggers;
    for (size_t k = 0; k < triggers.size(); ++k) {
      const size_t t = triggers[k];
      const size_t answer = next_then[k];
      if (answer == kNone || answer - t > within) {
        sort_unique(positions);
        return violated(std::move(positions),
                        concat("tool '", then.label, "' required within ", within, " calls after '",
                               trigger.label, "' (triggered at index ", t,
                               ") and no call answered it by index ", t + within));
      }
      positions.push_back(answer);
    }
    sort_unique(positions);
    return satisfied(std::move(positions));
  }
};

struct NeverAfter {
  Target trigger;
  Target forbidden;

  RuleOutcome evaluate(std::span<const ToolCall> trace) const {
    const size_t g = trigger.find_first(trace);
    if (g == kNone) {
      return not_applicable(
          concat("'", trigger.label, "' never appeared, so nothing was forbidden"));
    }
    const size_t h = forbidden.find_first(trace, g + 1);
    if (h == kNone) return satisfied({g});
    return violated({g, h}, concat("tool '", forbidden.label, "' at index ", h,
                                   " is forbidden after '", trigger.label,
                                   "' (triggered at index ", g, ")"));
  }
};

struct Sequence {
  std::vector<Target> steps;
  bool strict;

  bool matches_later_step(const ToolCall& call, size_t k) const {
    for (size_t later = k + 1; later < steps.size(); ++later) {
      if (steps[later].matches(call)) return true;
    }
    return false;
  }

  RuleOutcome evaluate(std::span<const ToolCall> trace) const {
    if (steps.empty()) return not_applicable("the rule names no tools");
    std::vector<size_t> recorded;
    size_t k = 0;
    for (size_t i = 0; i < trace.size(); ++i) {
      const ToolCall& call = trace[i];
      if (steps[k].matches(call)) {
        recorded.push_back(i);
        if (++k == steps.size()) return satisfied(std::move(recorded));
        continue;
      }
      if (strict) {
        if (recorded.empty()) continue;  // the sequence has not begun
        recorded.push_back(i);
        return violated(std::move(recorded),
                        concat("strict sequence violated: expected '", steps[k].label,
                               "' at index ", i, " but found '", call.tool, "'"));
      }
      if (matches_later_step(call, k)) {
        recorded.push_back(i);
        return violated(std::move(recorded),
                        concat("sequence out of order: '", call.tool, "' at index ", i,
                               " appears before '", steps[k].label, "'"));
      }
    }
    if (recorded.empty()) return not_applicable("no tool named by the sequence appeared");
    return violated(std::move(recorded), concat("sequence reached '", steps[k - 1].label,
                                                "' and the run ended before '", steps[k].label,
                                                "'"));
  }
};

struct Blocklist {
  std::string pattern;

  RuleOutcome evaluate(std::span<const ToolCall> trace) const {
    std::vector<size_t> hits = blocklist_positions(trace, pattern);
    if (hits.empty()) return satisfied(every_index(trace.size()));
    std::string message =
        concat("tool '", trace[hits.front()].tool, "' matches blocklist pattern '", pattern, "'");
    return violated(std::move(hits), std::move(message));
  }
};

std::string joined_labels(const std::vector<Target>& steps) {
  std::string out;
  for (size_t i = 0; i < steps.size(); ++i) {
    if (i > 0) out.push_back('>');
    out.append(steps[i].label);
  }
  return out;
}

}  // namespace

class RuleEvaluator::CompiledRule {
 public:
  CompiledRule(const SequenceRule& rule, const AliasMap& aliases, PatternCache& patterns)
      : body_(compile(rule.body, aliases, patterns)), kind_(rule.type_word()) {
    rule_id_ = std::visit(
        Overloaded{
            [](const Require& r) { return concat("require:", r.tool.label); },
            [](const Eventually& r) { return concat("eventually:", r.tool.label, "@", r.within); },
            [](const MaxCalls& r) { return concat("max_calls:", r.tool.label, "<=", r.max); },
            [](const Before& r) { return concat("before:", r.first.label, "->", r.then.label); },
            [](const After& r) {
              return concat("after:", r.trigger.label, "->", r.then.label, "@", r.within);
            },
            [](const NeverAfter& r) {
              return concat("never_after:", r.trigger.label, "->", r.forbidden.label);
            },
            [](const Sequence& r) {
              return concat("sequence", r.strict ? ":strict" : "", ":", joined_labels(r.steps));
            },
            [](const Blocklist& r) { return concat("blocklist:", r.pattern); },
        },
        body_);
  }

  bool can_stay_unengaged() const {
    return std::holds_alternative<Before>(body_) || std::holds_alternative<After>(body_) ||
           std::holds_alternative<NeverAfter>(body_) || std::holds_alternative<Sequence>(body_);
  }

  RuleOutcome evaluate(std::span<const ToolCall> trace) const {
    RuleOutcome outcome = std::visit([&](const auto& rule) { return rule.evaluate(trace); }, body_);
    outcome.rule_id = rule_id_;
    outcome.kind = kind_;
    return outcome;
  }

 private:
  using Body = std::variant<Require, Eventually, MaxCalls, Before, After, NeverAfter, Sequence,
                            Blocklist>;

  static Body compile(const SequenceRule::Body& body, const AliasMap& aliases,
                      PatternCache& patterns) {
    auto target = [&](const CallSelector& selector) { return Target(selector, aliases, patterns); };
    return std::visit(
        Overloaded{
            [&](const SequenceRule::Require& r) -> Body { return Require{target(r.tool)}; },
            [&](const SequenceRule::Eventually& r) -> Body {
              return Eventually{target(r.tool), r.within};
            },
            [&](const SequenceRule::MaxCalls& r) -> Body {
              return MaxCalls{target(r.tool), r.max};
            },
            [&](const SequenceRule::Before& r) -> Body {
              return Before{target(r.first), target(r.then)};
            },
            [&](const SequenceRule::After& r) -> Body {
              return After{target(r.trigger), target(r.then), r.within};
            },
            [&](const SequenceRule::NeverAfter& r) -> Body {
              return NeverAfter{target(r.trigger), target(r.forbidden)};
            },
            [&](const SequenceRule::Sequence& r) -> Body {
              std::vector<Target> steps;
              steps.reserve(r.tools.size());
              for (const CallSelector& step : r.tools) steps.push_back(target(step));
              return Sequence{std::move(steps), r.strict};
            },
            [&](const SequenceRule::Blocklist& r) -> Body { return Blocklist{r.pattern}; },
        },
        body);
  }

  Body body_;
  std::string rule_id_;
  std::string_view kind_;
};

RuleEvaluator::RuleEvaluator(const Policy& policy) {
  PatternCache patterns;
  rules_.reserve(policy.sequences.size());
  for (const SequenceRule& rule : policy.sequences) {
    rules_.emplace_back(rule, policy.aliases, patterns);
  }
}

RuleEvaluator::~RuleEvaluator() = default;
RuleEvaluator::RuleEvaluator(RuleEvaluator&&) noexcept = default;
RuleEvaluator& RuleEvaluator::operator=(RuleEvaluator&&) noexcept = default;

size_t RuleEvaluator::rule_count() const { return rules_.size(); }

RuleOutcome RuleEvaluator::evaluate(size_t rule_index, std::span<const ToolCall> trace) const {
  return rules_[rule_index].evaluate(trace);
}

bool RuleEvaluator::engaged(size_t rule_index, std::span<const ToolCall> trace) const {
  const CompiledRule& rule = rules_[rule_index];
  return !rule.can_stay_unengaged() || rule.evaluate(trace).status != RuleStatus::kNotApplicable;
}

std::vector<RuleOutcome> RuleEvaluator::evaluate_all(std::span<const ToolCall> trace) const {
  std::vector<RuleOutcome> outcomes;
  outcomes.reserve(rules_.size());
  for (const CompiledRule& rule : rules_) outcomes.push_back(rule.evaluate(trace));
  return outcomes;
}

std::vector<RuleOutcome> evaluate_rules(const Policy& policy, std::span<const ToolCall> trace) {
  return RuleEvaluator(policy).evaluate_all(trace);
}

RuleOutcome evaluate_rule(const SequenceRule& rule, std::span<const ToolCall> trace,
                          const Policy& policy) {
  PatternCache patterns;
  return RuleEvaluator::CompiledRule(rule, policy.aliases, patterns).evaluate(trace);
}

}  // namespace ossel
