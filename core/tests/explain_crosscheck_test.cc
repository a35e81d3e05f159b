// Cross-checks the incremental explainer against a plain reference that
// rescans the whole history at every call, over many random policies and
// traces. The reference follows the rules directly, message by message, and
// shares with the engine only the records, the lower-case mapping and the
// selectors' display text and JSON form.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string_view>

#include "ossel/explain.h"
#include "ossel/selector.h"
#include "ossel/text.h"

namespace ossel {
namespace {

using R = SequenceRule;
using Strings = std::vector<std::string>;

JsonValue object(std::vector<std::pair<std::string, JsonValue>> members) {
  JsonObject o;
  for (auto& [key, value] : members) o.insert_or_assign(key, std::move(value));
  return JsonValue(std::move(o));
}

bool has(const Strings& list, const std::string& item) {
  return std::find(list.begin(), list.end(), item) != list.end();
}
std::string q(const std::string& text) { return "'" + text + "'"; }
std::string q(const CallSelector& s) { return q(display_text(s)); }
std::string lc(const CallSelector& s) { return unicode_lower(s.tool); }
std::string num(uint64_t n) { return std::to_string(n); }
JsonValue js(const CallSelector& s) { return selector_to_json(s); }
JsonValue js(size_t n) { return JsonValue(uint64_t{n}); }

class ReferenceReplay {
 public:
  explicit ReferenceReplay(const Policy& policy) : policy_(policy) {}

  TraceExplanation run(const std::vector<ToolCall>& calls) {
    TraceExplanation out{policy_.name, policy_.version, calls.size(), 0, 0, std::nullopt, {}, {}};
    auto block = [&](const std::string& id) {
      if (!has(out.blocking_rules, id)) out.blocking_rules.push_back(id);
    };
    for (size_t i = 0; i < calls.size(); ++i) {
      const std::string& t = calls[i].tool;
      ExplainedStep step{i, t, calls[i].args, Verdict::kAllowed, {}, {}};
      if (auto tools = tools_check(t)) step.rules_evaluated.push_back(*tools);
      for (const SequenceRule& rule : policy_.sequences) step.rules_evaluated.push_back(check(rule, t, i));
      history_.push_back(t);
      Strings named;
      for (const std::string& name : history_) {
        if (has(named, name)) continue;
        named.push_back(name);
        step.state_snapshot.push_back({"calls:" + name, num(calls_of(name))});
      }
      auto failed = std::find_if(step.rules_evaluated.begin(), step.rules_evaluated.end(),
                                 [](const RuleEvaluation& r) { return !r.passed; });
      if (failed == step.rules_evaluated.end()) {
        ++out.allowed_steps;
      } else {
        step.verdict = Verdict::kBlocked;
        ++out.blocked_steps;
        if (!out.first_block_index) out.first_block_index = i;
        block(failed->rule_id);
      }
      out.steps.push_back(std::move(step));
    }
    for (RuleEvaluation& failure : out.steps.empty() ? std::vector<RuleEvaluation>{} : finish()) {
      block(failure.rule_id);
      out.steps.back().rules_evaluated.push_back(std::move(failure));
    }
    return out;
  }

 private:
  Strings expand(const std::string& name) const {
    for (const auto& [group, members] : policy_.aliases) {
      if (group == name) return members;
    }
    return {name};
  }
  bool matches(const CallSelector& s, const std::string& t) const { return has(expand(s.tool), t); }
  uint32_t calls_of(const std::string& name) const { return std::count(history_.begin(), history_.end(), name); }
  // Where the calls so far that match stand in the history, from `from` on.
  std::vector<size_t> positions(const CallSelector& s, size_t from = 0) const {
    std::vector<size_t> out;
    for (size_t j = from; j < history_.size(); ++j) {
      if (matches(s, history_[j])) out.push_back(j);
    }
    return out;
  }

  std::optional<RuleEvaluation> tools_check(const std::string& t) const {
    if (policy_.tools.deny && has(*policy_.tools.deny, t)) {
      return RuleEvaluation{"deny_list", "deny", false, "Tool " + q(t) + " is in deny list", std::nullopt};
    }
    if (!policy_.tools.allow || has(*policy_.tools.allow, t)) return std::nullopt;
    for (const auto& [group, members] : policy_.aliases) {
      if (has(members, t)) return std::nullopt;
    }
    return RuleEvaluation{"allow_list", "allow", false, "Tool " + q(t) + " is not in allow list", std::nullopt};
  }

  RuleEvaluation check(const SequenceRule& rule, const std::string& t, size_t i) const {
    RuleEvaluation r{"", std::string(rule.type_word()), true, "", std::nullopt};
    auto judge = [&](bool passed, const std::string& if_passed, const std::string& if_failed) {
      r.passed = passed;
      r.explanation = passed ? if_passed : if_failed;
    };
    if (const auto* x = std::get_if<R::Require>(&rule.body)) {
      r.rule_id = "require_" + lc(x->tool);
      r.explanation = "Require " + q(x->tool) + " (checked at end)";
    } else if (const auto* x = std::get_if<R::Blocklist>(&rule.body)) {
      r.rule_id = "blocklist_" + unicode_lower(x->pattern);
      judge(t.find(x->pattern) == std::string::npos, q(t) + " does not match blocklist " + q(x->pattern),
            q(t) + " matches blocklist pattern " + q(x->pattern));
    } else if (const auto* x = std::get_if<R::Eventually>(&rule.body)) {
      r.rule_id = "eventually_" + lc(x->tool) + "_" + num(x->within);
      const bool seen = !positions(x->tool).empty() || matches(x->tool, t);
      const std::string n = num(x->within);
      judge(seen || x->within > static_cast<uint32_t>(i),
            seen ? q(x->tool) + " already seen ✓"
                 : q(x->tool) + " required within " + n + " calls (at " + num(i + 1) + "/" + n + ")",
            q(x->tool) + " not seen within first " + n + " calls");
      r.context = object(
          {{"required_tool", js(x->tool)}, {"within", x->within}, {"current_index", js(i)}, {"seen", seen}});
    } else if (const auto* x = std::get_if<R::MaxCalls>(&rule.body)) {
      r.rule_id = "max_calls_" + lc(x->tool) + "_" + num(x->max);
      // The sum of the counts of the names the selector stands for.
      uint32_t count = matches(x->tool, t) ? 1 : 0;
      for (const std::string& name : expand(x->tool.tool)) count += calls_of(name);
      judge(count <= x->max, q(x->tool) + " call " + num(count) + "/" + num(x->max),
            q(x->tool) + " exceeded max calls (" + num(count) + " > " + num(x->max) + ")");
      r.context = object({{"tool", js(x->tool)}, {"max", x->max}, {"current_count", count}});
    } else if (const auto* x = std::get_if<R::Before>(&rule.body)) {
      r.rule_id = "before_" + lc(x->first) + "_then_" + lc(x->then);
      const bool is_then = matches(x->then, t);
      const bool first_seen = has(history_, x->first.tool) || !positions(x->first).empty();
      judge(!is_then || first_seen,
            is_then ? q(x->first) + " was called first ✓" : "Not " + q(x->then) + ", rule not applicable",
            q(x->then) + " requires " + q(x->first) + " first");
      r.context = object(
          {{"first", js(x->first)}, {"then", js(x->then)}, {"first_seen", first_seen}, {"is_then_call", is_then}});
    } else if (const auto* x = std::get_if<R::After>(&rule.body)) {
      r.rule_id = "after_" + lc(x->trigger) + "_then_" + lc(x->then);
      const std::vector<size_t> triggers = positions(x->trigger);
      const std::string trigger = q(x->trigger), then = q(x->then), n = num(x->within);
      if (triggers.empty() || !positions(x->then, triggers.back() + 1).empty()) {
        r.explanation = matches(x->trigger, t) ? trigger + " triggered, " + then + " required within " + n
                                               : "After rule: waiting for " + trigger;
      } else if (const size_t g = triggers.back(), d = g + x->within; matches(x->then, t)) {
        judge(d >= i, then + " satisfies after " + trigger + " ✓",
              then + " called too late after " + trigger + " (at " + num(i) + ", deadline " + num(d) + ")");
      } else {
        judge(d >= i, "Pending: " + then + " needed within " + num(d - i) + " more calls",
              then + " required within " + n + " calls after " + trigger + " (triggered at " + num(g) + ")");
      }
      r.context = object({{"trigger", js(x->trigger)}, {"then", js(x->then)}, {"within", x->within}});
    } else if (const auto* x = std::get_if<R::NeverAfter>(&rule.body)) {
      r.rule_id = "never_after_" + lc(x->trigger) + "_forbidden_" + lc(x->forbidden);
      const std::vector<size_t> triggers = positions(x->trigger);
      const std::string trigger = q(x->trigger), forbidden = q(x->forbidden);
      const std::string g = triggers.empty() ? "" : num(triggers.front());
      judge(triggers.empty() || !matches(x->forbidden, t),
            !triggers.empty()        ? forbidden + " forbidden (trigger at " + g + ")"
            : matches(x->trigger, t) ? trigger + " triggered, " + forbidden + " now forbidden"
                                     : "Waiting for trigger " + trigger,
            forbidden + " forbidden after " + trigger + " (triggered at index " + g + ")");
      r.context = object({{"trigger", js(x->trigger)}, {"forbidden", js(x->forbidden)},
                          {"triggered", matches(x->trigger, t) || !triggers.empty()}});
    } else if (const auto* x = std::get_if<R::Sequence>(&rule.body)) {
      r.rule_id = "sequence_";
      JsonArray steps;
      for (const CallSelector& s : x->tools) {
        r.rule_id += (steps.empty() ? "" : "_") + lc(s);
        steps.push_back(js(s));
      }
      size_t p = 0, n = x->tools.size();
      for (const std::string& name : history_) p += p < n && matches(x->tools[p], name);
      if (p >= n) {
        r.explanation = "Sequence complete ✓";
      } else if (matches(x->tools[p], t)) {
        r.explanation = "Sequence step " + num(p + 1) + "/" + num(n) + ": " + q(t) + " ✓";
      } else if (x->strict) {
        judge(p == 0, "Waiting for sequence start: " + q(x->tools[0]),
              "Strict sequence: expected " + q(x->tools[p]) + " but got " + q(t));
      } else {
        bool later = std::any_of(x->tools.begin() + p + 1, x->tools.end(), [&](auto& s) { return matches(s, t); });
        judge(!later, "Sequence: waiting for " + q(x->tools[p]) + " (" + num(p) + "/" + num(n) + ")",
              "Sequence order violated: " + q(t) + " before " + q(x->tools[p]));
      }
      r.context = object({{"tools", JsonValue(std::move(steps))}, {"strict", x->strict}, {"progress", js(p)}});
    }
    return r;
  }

  std::vector<RuleEvaluation> finish() const {
    std::vector<RuleEvaluation> failures;
    for (const SequenceRule& rule : policy_.sequences) {
      if (const auto* x = std::get_if<R::Require>(&rule.body); x && positions(x->tool).empty()) {
        std::string text = "Required tool " + q(x->tool) + " never called";
        failures.push_back({"require_" + lc(x->tool), "require", false, text, std::nullopt});
      }
      const auto* x = std::get_if<R::After>(&rule.body);
      if (!x || positions(x->trigger).empty()) continue;
      const size_t g = positions(x->trigger).back();
      if (!positions(x->then, g + 1).empty()) continue;
      failures.push_back({"after_" + lc(x->trigger) + "_then_" + lc(x->then), "after", false,
                          q(x->trigger) + " triggered at " + num(g) + ", but " + q(x->then) + " never called within " +
                              num(x->within) + " steps (trace ended)",
                          object({{"trigger", js(x->trigger)}, {"deadline", js(g + x->within)},
                                  {"trace_len", js(history_.size())}})});
    }
    return failures;
  }

  const Policy& policy_;
  Strings history_;
};

// Random policies over a small vocabulary, so that rules, groups and calls
// meet often: groups that are empty, list themselves or other groups, or
// repeat members; names differing only in case, or that JSON must escape
// (the explanation writes them, and texts quoting them, escaped in place);
// selectors with patterns.
class RandomPolicies {
 public:
  explicit RandomPolicies(uint32_t seed) : rng_(seed) {}

  Policy policy() {
    Policy p;
    p.name = "random";
    for (const char* group : {"g", "h", "e"}) {
      if (!coin(3)) p.aliases.insert_or_assign(group, names());
    }
    if (coin(2)) p.tools.allow = names();
    if (coin(2)) p.tools.deny = names();
    for (int k = pick(9); k > 0; --k) p.sequences.push_back(rule());
    return p;
  }

  std::vector<ToolCall> calls() {
    std::vector<ToolCall> out;
    for (int n = pick(40); n > 0; --n) out.push_back({coin(8) ? std::string("ab") : name(), std::nullopt});
    return out;
  }

 private:
  int pick(int below) { return std::uniform_int_distribution<int>(0, below - 1)(rng_); }
  // Now and then the largest count, whose deadline lies past the 32-bit range.
  uint32_t small() { return coin(8) ? UINT32_MAX : static_cast<uint32_t>(pick(6)); }
  bool coin(int one_in) { return pick(one_in) == 0; }
  std::string name() {
    return std::vector<std::string>{"a", "b", "c", "g", "h", "e", "A", "x", std::string("\"\\\n\0\x1b\xc3\x89\xf0\x9f\x98\x80", 11)}[pick(9)];
  }
  std::vector<std::string> names() {
    std::vector<std::string> out;
    for (int n = pick(4); n > 0; --n) out.push_back(name());
    return out;
  }
  CallSelector selector() {
    return coin(5) ? CallSelector::Matching(name(), {{"p", "x"}, {"a", ""}}) : CallSelector::Plain(name());
  }
  SequenceRule rule() {
    switch (pick(8)) {
      case 0: return {R::Require{selector()}};
      case 1: return {R::Eventually{selector(), small()}};
      case 2: return {R::MaxCalls{selector(), small()}};
      case 3: return {R::Before{selector(), selector()}};
      case 4: return {R::After{selector(), selector(), small()}};
      case 5: return {R::NeverAfter{selector(), selector()}};
      case 6: {
        std::vector<CallSelector> steps;
        for (int s = pick(5); s > 0; --s) steps.push_back(selector());
        return {R::Sequence{std::move(steps), coin(2)}};
      }
      default: return {R::Blocklist{coin(4) ? name() : std::vector<std::string>{"", "a", "b", "x", "A", "ab"}[pick(6)]}};
    }
  }

  std::mt19937 rng_;
};

// One explainer serves three traces, so state left over from one trace would show.
TEST(ExplainCrossCheckTest, IncrementalEngineAgreesWithRescanningReference) {
  for (uint32_t seed = 1; seed <= 3000; ++seed) {
    RandomPolicies random(seed);
    Policy policy = random.policy();
    TraceExplainer explainer(policy.clone());
    for (int t = 0; t < 3; ++t) {
      std::vector<ToolCall> calls = random.calls();
      TraceExplanation expected = ReferenceReplay(policy).run(calls);
      std::string expected_json;
      append_json(expected, expected_json);
      ASSERT_EQ(explainer.explain_json(calls), expected_json) << "seed " << seed;
      // Each piece is whole UTF-8 characters, and all but the last at least the piece size.
      std::string pieces, last;
      explainer.explain_json_pieces(calls, seed % 512, [&](std::string_view piece) {
        const bool after_a_full_piece = pieces.empty() || last.size() >= seed % 512;
        EXPECT_TRUE(after_a_full_piece && !piece.empty() && (piece[0] & 0xC0) != 0x80 && (piece.back() & 0x80) == 0)
            << "seed " << seed;
        pieces.append(last = piece);
        return true;
      });
      ASSERT_EQ(pieces, expected_json) << "seed " << seed << ", in pieces";
      ASSERT_EQ(explainer.explain(calls), expected) << "seed " << seed;
    }
  }
}

}  // namespace
}  // namespace ossel
