// Cross-checks the incremental explainer against a plain reference that
// rescans the whole history at every call, over many random policies and
// traces. The reference is written from the rules directly, message by
// message, and shares nothing with the engine but the records, the lower-case
// mapping and the selectors' JSON form.
#include <gtest/gtest.h>

#include <map>
#include <random>
#include <set>

#include "explain_test_support.h"
#include "ossel/explain.h"
#include "ossel/selector.h"
#include "ossel/text.h"

namespace ossel {
namespace {

using R = SequenceRule;

std::string q(const std::string& text) { return "'" + text + "'"; }
std::string num(uint64_t n) { return std::to_string(n); }

std::string label(const CallSelector& s) {
  std::string text = s.tool;
  if (!s.args_match) return text;
  text += "[";
  bool first = true;
  for (const auto& [key, pattern] : *s.args_match) {
    text += (first ? "" : ",") + key;
    first = false;
  }
  return text + "]";
}

class ReferenceReplay {
 public:
  explicit ReferenceReplay(const Policy& policy) : policy_(policy) {}

  TraceExplanation run(const std::vector<ToolCall>& calls) {
    TraceExplanation out;
    out.policy_name = policy_.name;
    out.policy_version = policy_.version;
    auto add_blocking = [&](const std::string& id) {
      for (const std::string& listed : out.blocking_rules) {
        if (listed == id) return;
      }
      out.blocking_rules.push_back(id);
    };
    for (size_t i = 0; i < calls.size(); ++i) {
      const std::string& t = calls[i].tool;
      ExplainedStep step;
      step.index = i;
      step.tool = t;
      step.args = calls[i].args;
      std::optional<std::string> reason;
      if (auto tools = tools_check(t)) {
        reason = tools->rule_id;
        step.rules_evaluated.push_back(*tools);
      }
      for (size_t k = 0; k < policy_.sequences.size(); ++k) {
        RuleEvaluation r = check(k, policy_.sequences[k], t, i);
        if (!r.passed && !reason) reason = r.rule_id;
        step.rules_evaluated.push_back(std::move(r));
      }
      observe(t, i);
      for (const std::string& name : history_) {
        std::pair<std::string, std::string> entry{"calls:" + name, num(counts_.at(name))};
        if (std::find(step.state_snapshot.begin(), step.state_snapshot.end(), entry) == step.state_snapshot.end()) {
          step.state_snapshot.push_back(entry);
        }
      }
      step.verdict = reason ? Verdict::kBlocked : Verdict::kAllowed;
      if (reason) {
        ++out.blocked_steps;
        if (!out.first_block_index) out.first_block_index = i;
        add_blocking(*reason);
      } else {
        ++out.allowed_steps;
      }
      out.steps.push_back(std::move(step));
    }
    out.total_steps = calls.size();
    if (!out.steps.empty()) {
      for (RuleEvaluation& failure : finish()) {
        add_blocking(failure.rule_id);
        out.steps.back().rules_evaluated.push_back(std::move(failure));
      }
    }
    return out;
  }

 private:
  std::vector<std::string> expand(const std::string& name) const {
    for (const auto& [group, members] : policy_.aliases) {
      if (group == name) return members;
    }
    return {name};
  }
  bool matches(const CallSelector& s, const std::string& t) const {
    for (const std::string& name : expand(s.tool)) {
      if (name == t) return true;
    }
    return false;
  }
  bool history_matches(const CallSelector& s, size_t from, size_t to) const {
    for (size_t j = from; j < to && j < history_.size(); ++j) {
      if (matches(s, history_[j])) return true;
    }
    return false;
  }

  std::optional<RuleEvaluation> tools_check(const std::string& t) const {
    auto listed = [&](const std::vector<std::string>& list) {
      return std::find(list.begin(), list.end(), t) != list.end();
    };
    if (policy_.tools.deny && listed(*policy_.tools.deny)) {
      return RuleEvaluation{"deny_list", "deny", false, "Tool " + q(t) + " is in deny list", std::nullopt};
    }
    if (policy_.tools.allow && !listed(*policy_.tools.allow)) {
      for (const auto& [group, members] : policy_.aliases) {
        if (listed(members)) return std::nullopt;
      }
      return RuleEvaluation{"allow_list", "allow", false, "Tool " + q(t) + " is not in allow list", std::nullopt};
    }
    return std::nullopt;
  }

  RuleEvaluation check(size_t k, const SequenceRule& rule, const std::string& t, size_t i) const {
    RuleEvaluation r;
    r.rule_type = rule.type_word();
    JsonObject context;
    auto put = [&](const char* key, JsonValue value) { context.insert_or_assign(key, std::move(value)); };
    auto lc = [](const CallSelector& s) { return unicode_lower(s.tool); };
    if (const auto* x = std::get_if<R::Require>(&rule.body)) {
      r.rule_id = "require_" + lc(x->tool);
      r.explanation = "Require " + q(label(x->tool)) + " (checked at end)";
      return r;
    }
    if (const auto* x = std::get_if<R::Blocklist>(&rule.body)) {
      r.rule_id = "blocklist_" + unicode_lower(x->pattern);
      r.passed = t.find(x->pattern) == std::string::npos;
      r.explanation = r.passed ? q(t) + " does not match blocklist " + q(x->pattern)
                               : q(t) + " matches blocklist pattern " + q(x->pattern);
      return r;
    }
    if (const auto* x = std::get_if<R::Eventually>(&rule.body)) {
      r.rule_id = "eventually_" + lc(x->tool) + "_" + num(x->within);
      bool seen = history_matches(x->tool, 0, i) || matches(x->tool, t);
      if (seen) {
        r.explanation = q(label(x->tool)) + " already seen ✓";
      } else if (x->within <= static_cast<uint32_t>(i)) {
        r.passed = false;
        r.explanation = q(label(x->tool)) + " not seen within first " + num(x->within) + " calls";
      } else {
        r.explanation = q(label(x->tool)) + " required within " + num(x->within) + " calls (at " + num(i + 1) +
                        "/" + num(x->within) + ")";
      }
      put("required_tool", selector_to_json(x->tool));
      put("within", x->within);
      put("current_index", JsonValue(uint64_t{i}));
      put("seen", seen);
    } else if (const auto* x = std::get_if<R::MaxCalls>(&rule.body)) {
      r.rule_id = "max_calls_" + lc(x->tool) + "_" + num(x->max);
      uint32_t sum = 0;
      for (const std::string& name : expand(x->tool.tool)) {
        auto it = counts_.find(name);
        sum += it == counts_.end() ? 0 : it->second;
      }
      uint32_t count = sum + (matches(x->tool, t) ? 1 : 0);
      r.passed = count <= x->max;
      r.explanation = r.passed ? q(label(x->tool)) + " call " + num(count) + "/" + num(x->max)
                               : q(label(x->tool)) + " exceeded max calls (" + num(count) + " > " + num(x->max) + ")";
      put("tool", selector_to_json(x->tool));
      put("max", x->max);
      put("current_count", count);
    } else if (const auto* x = std::get_if<R::Before>(&rule.body)) {
      r.rule_id = "before_" + lc(x->first) + "_then_" + lc(x->then);
      bool is_then = matches(x->then, t);
      bool first_seen = seen_.count(x->first.tool) > 0 || history_matches(x->first, 0, i);
      if (!is_then) {
        r.explanation = "Not " + q(label(x->then)) + ", rule not applicable";
      } else if (first_seen) {
        r.explanation = q(label(x->first)) + " was called first ✓";
      } else {
        r.passed = false;
        r.explanation = q(label(x->then)) + " requires " + q(label(x->first)) + " first";
      }
      put("first", selector_to_json(x->first));
      put("then", selector_to_json(x->then));
      put("first_seen", first_seen);
      put("is_then_call", is_then);
    } else if (const auto* x = std::get_if<R::After>(&rule.body)) {
      r.rule_id = "after_" + lc(x->trigger) + "_then_" + lc(x->then);
      auto entry = after_deadlines_.find(k);
      bool pending = entry != after_deadlines_.end() && !history_matches(x->then, entry->second.first + 1, i);
      const std::string trigger = q(label(x->trigger)), then = q(label(x->then));
      if (!pending) {
        r.explanation = matches(x->trigger, t) ? trigger + " triggered, " + then + " required within " + num(x->within)
                                               : "After rule: waiting for " + trigger;
      } else {
        auto [g, d] = entry->second;
        if (matches(x->then, t)) {
          r.passed = d >= i;
          r.explanation = r.passed ? then + " satisfies after " + trigger + " ✓"
                                   : then + " called too late after " + trigger + " (at " + num(i) + ", deadline " +
                                         num(d) + ")";
        } else if (d >= i) {
          r.explanation = "Pending: " + then + " needed within " + num(d - i) + " more calls";
        } else {
          r.passed = false;
          r.explanation = then + " required within " + num(x->within) + " calls after " + trigger + " (triggered at " +
                          num(g) + ")";
        }
      }
      put("trigger", selector_to_json(x->trigger));
      put("then", selector_to_json(x->then));
      put("within", x->within);
    } else if (const auto* x = std::get_if<R::NeverAfter>(&rule.body)) {
      r.rule_id = "never_after_" + lc(x->trigger) + "_forbidden_" + lc(x->forbidden);
      auto g = never_after_triggers_.find(k);
      const std::string trigger = q(label(x->trigger)), forbidden = q(label(x->forbidden));
      bool is_trigger = matches(x->trigger, t);
      if (g != never_after_triggers_.end()) {
        r.passed = !matches(x->forbidden, t);
        r.explanation = r.passed ? forbidden + " forbidden (trigger at " + num(g->second) + ")"
                                 : forbidden + " forbidden after " + trigger + " (triggered at index " +
                                       num(g->second) + ")";
      } else {
        r.explanation = is_trigger ? trigger + " triggered, " + forbidden + " now forbidden"
                                   : "Waiting for trigger " + trigger;
      }
      put("trigger", selector_to_json(x->trigger));
      put("forbidden", selector_to_json(x->forbidden));
      put("triggered", is_trigger || g != never_after_triggers_.end());
    } else if (const auto* x = std::get_if<R::Sequence>(&rule.body)) {
      r.rule_id = "sequence_";
      JsonArray steps;
      for (size_t s = 0; s < x->tools.size(); ++s) {
        r.rule_id += (s ? "_" : "") + lc(x->tools[s]);
        steps.push_back(selector_to_json(x->tools[s]));
      }
      auto found = sequence_progress_.find(k);
      size_t p = found == sequence_progress_.end() ? 0 : found->second, n = x->tools.size();
      if (p >= n) {
        r.explanation = "Sequence complete ✓";
      } else if (matches(x->tools[p], t)) {
        r.explanation = "Sequence step " + num(p + 1) + "/" + num(n) + ": " + q(t) + " ✓";
      } else if (x->strict) {
        r.passed = p == 0;
        r.explanation = r.passed ? "Waiting for sequence start: " + q(label(x->tools[0]))
                                 : "Strict sequence: expected " + q(label(x->tools[p])) + " but got " + q(t);
      } else {
        bool later = false;
        for (size_t s = p + 1; s < n; ++s) later = later || matches(x->tools[s], t);
        r.passed = !later;
        r.explanation = later ? "Sequence order violated: " + q(t) + " before " + q(label(x->tools[p]))
                              : "Sequence: waiting for " + q(label(x->tools[p])) + " (" + num(p) + "/" + num(n) + ")";
      }
      put("tools", JsonValue(std::move(steps)));
      put("strict", x->strict);
      put("progress", JsonValue(uint64_t{p}));
    }
    r.context = JsonValue(std::move(context));
    return r;
  }

  void observe(const std::string& t, size_t i) {
    ++counts_[t];
    seen_.insert(t);
    for (size_t k = 0; k < policy_.sequences.size(); ++k) {
      const SequenceRule& rule = policy_.sequences[k];
      if (const auto* x = std::get_if<R::After>(&rule.body); x && matches(x->trigger, t)) {
        after_deadlines_[k] = {i, i + size_t{x->within}};
      }
      if (const auto* x = std::get_if<R::NeverAfter>(&rule.body); x && matches(x->trigger, t)) {
        never_after_triggers_.try_emplace(k, i);
      }
      if (const auto* x = std::get_if<R::Sequence>(&rule.body)) {
        size_t& p = sequence_progress_[k];
        if (p < x->tools.size() && matches(x->tools[p], t)) ++p;
      }
    }
    history_.push_back(t);
  }

  std::vector<RuleEvaluation> finish() const {
    std::vector<RuleEvaluation> failures;
    for (size_t k = 0; k < policy_.sequences.size(); ++k) {
      const SequenceRule& rule = policy_.sequences[k];
      if (const auto* x = std::get_if<R::Require>(&rule.body); x && !history_matches(x->tool, 0, history_.size())) {
        failures.push_back({"require_" + unicode_lower(x->tool.tool), "require", false,
                            "Required tool " + q(label(x->tool)) + " never called", std::nullopt});
      }
      const auto* x = std::get_if<R::After>(&rule.body);
      auto entry = after_deadlines_.find(k);
      if (!x || entry == after_deadlines_.end()) continue;
      auto [p, deadline] = entry->second;
      if (history_matches(x->then, p + 1, history_.size())) continue;
      JsonObject context;
      context.insert_or_assign("trigger", selector_to_json(x->trigger));
      context.insert_or_assign("deadline", JsonValue(uint64_t{deadline}));
      context.insert_or_assign("trace_len", JsonValue(uint64_t{history_.size()}));
      failures.push_back({"after_" + unicode_lower(x->trigger.tool) + "_then_" + unicode_lower(x->then.tool), "after",
                          false,
                          q(label(x->trigger)) + " triggered at " + num(p) + ", but " + q(label(x->then)) +
                              " never called within " + num(x->within) + " steps (trace ended)",
                          JsonValue(std::move(context))});
    }
    return failures;
  }

  const Policy& policy_;
  std::vector<std::string> history_;
  std::map<std::string, uint32_t> counts_;
  std::set<std::string> seen_;
  std::map<size_t, size_t> never_after_triggers_;
  std::map<size_t, std::pair<size_t, size_t>> after_deadlines_;
  std::map<size_t, size_t> sequence_progress_;
};

// Random policies over a small vocabulary, so that rules, groups and calls
// meet often: groups that are empty, list themselves or other groups, or
// repeat members; names differing only in case; selectors with patterns.
class RandomPolicies {
 public:
  explicit RandomPolicies(uint32_t seed) : rng_(seed) {}

  Policy policy() {
    Policy p = testing::make_policy();
    for (const char* group : {"g", "h", "e"}) {
      if (coin(3)) continue;
      std::vector<std::string> members;
      for (int m = pick(4); m > 0; --m) members.push_back(name());
      p.aliases.insert_or_assign(group, std::move(members));
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
  bool coin(int one_in) { return pick(one_in) == 0; }
  std::string name() {
    static const char* const kNames[] = {"a", "b", "c", "g", "h", "e", "A", "x"};
    return kNames[pick(8)];
  }
  std::vector<std::string> names() {
    std::vector<std::string> out;
    for (int n = pick(4); n > 0; --n) out.push_back(name());
    return out;
  }
  CallSelector selector() {
    if (coin(5)) return CallSelector::Matching(name(), {{"p", "x"}, {"a", ""}});
    return CallSelector::Plain(name());
  }
  SequenceRule rule() {
    switch (pick(8)) {
      case 0: return {R::Require{selector()}};
      case 1: return {R::Eventually{selector(), static_cast<uint32_t>(pick(6))}};
      case 2: return {R::MaxCalls{selector(), static_cast<uint32_t>(pick(5))}};
      case 3: return {R::Before{selector(), selector()}};
      case 4: return {R::After{selector(), selector(), static_cast<uint32_t>(pick(4))}};
      case 5: return {R::NeverAfter{selector(), selector()}};
      case 6: {
        std::vector<CallSelector> steps;
        for (int s = pick(5); s > 0; --s) steps.push_back(selector());
        return {R::Sequence{std::move(steps), coin(2)}};
      }
      default: {
        static const char* const kPatterns[] = {"", "a", "b", "x", "A", "ab"};
        return {R::Blocklist{kPatterns[pick(6)]}};
      }
    }
  }

  std::mt19937 rng_;
};

TEST(ExplainCrossCheckTest, IncrementalEngineAgreesWithRescanningReference) {
  for (uint32_t seed = 1; seed <= 3000; ++seed) {
    RandomPolicies random(seed);
    Policy policy = random.policy();
    TraceExplainer explainer(policy.clone());
    for (int t = 0; t < 3; ++t) {
      std::vector<ToolCall> calls = random.calls();
      TraceExplanation expected = ReferenceReplay(policy).run(calls);
      TraceExplanation actual = explainer.explain(calls);
      std::string expected_json;
      append_json(expected, expected_json);
      ASSERT_EQ(explainer.explain_json(calls), expected_json) << "seed " << seed;
      ASSERT_EQ(actual, expected) << "seed " << seed;
    }
  }
}

}  // namespace
}  // namespace ossel
