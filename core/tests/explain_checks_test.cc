// The per-call judgement of every rule kind: verdicts and messages at each
// step, identifiers and contexts.
#include <gtest/gtest.h>

#include "explain_test_support.h"
#include "ossel/explain.h"

namespace ossel {
namespace {

using namespace testing;

struct Expected {
  bool passed;
  std::string explanation;
};

struct CheckCase {
  std::string name;
  SequenceRule rule;
  Aliases aliases;
  std::vector<std::string> calls;
  std::vector<Expected> expected;  // the rule's record at each step, in order
};

const std::vector<CheckCase>& check_cases() {
  static const std::vector<CheckCase> cases = {
      {"require passes at every call",
       {R::Require{sel("ReadFile")}}, {}, {"x", "ReadFile"},
       {{true, "Require 'ReadFile' (checked at end)"}, {true, "Require 'ReadFile' (checked at end)"}}},

      {"eventually within 3, never called",
       {R::Eventually{sel("t1"), 3}}, {}, {"x", "x", "x", "x", "x"},
       {{true, "'t1' required within 3 calls (at 1/3)"},
        {true, "'t1' required within 3 calls (at 2/3)"},
        {true, "'t1' required within 3 calls (at 3/3)"},
        {false, "'t1' not seen within first 3 calls"},
        {false, "'t1' not seen within first 3 calls"}}},
      {"eventually within 3, called late",
       {R::Eventually{sel("t1"), 3}}, {}, {"x", "x", "x", "x", "t1", "x"},
       {{true, "'t1' required within 3 calls (at 1/3)"},
        {true, "'t1' required within 3 calls (at 2/3)"},
        {true, "'t1' required within 3 calls (at 3/3)"},
        {false, "'t1' not seen within first 3 calls"},
        {true, "'t1' already seen ✓"},
        {true, "'t1' already seen ✓"}}},
      {"eventually within 3, called in time",
       {R::Eventually{sel("t1"), 3}}, {}, {"x", "t1", "x", "x", "x"},
       {{true, "'t1' required within 3 calls (at 1/3)"},
        {true, "'t1' already seen ✓"},
        {true, "'t1' already seen ✓"},
        {true, "'t1' already seen ✓"},
        {true, "'t1' already seen ✓"}}},
      {"eventually within 0 fails the first call",
       {R::Eventually{sel("t1"), 0}}, {}, {"x", "t1"},
       {{false, "'t1' not seen within first 0 calls"}, {true, "'t1' already seen ✓"}}},
      {"eventually within 0 passes a first call that matches",
       {R::Eventually{sel("t1"), 0}}, {}, {"t1"},
       {{true, "'t1' already seen ✓"}}},
      {"eventually through an alias member",
       {R::Eventually{sel("g"), 1}}, {{"g", {"a", "b"}}}, {"g", "b", "x"},
       {{true, "'g' required within 1 calls (at 1/1)"},
        {true, "'g' already seen ✓"},
        {true, "'g' already seen ✓"}}},
      {"eventually on an empty group is never seen",
       {R::Eventually{sel("g"), 1}}, {{"g", {}}}, {"g", "g"},
       {{true, "'g' required within 1 calls (at 1/1)"}, {false, "'g' not seen within first 1 calls"}}},
      {"eventually ignores argument patterns",
       {R::Eventually{CallSelector::Matching("run", {{"cmd", "rm.*"}}), 5}}, {}, {"run"},
       {{true, "'run[cmd]' already seen ✓"}}},

      {"max_calls over an alias group",
       {R::MaxCalls{sel("g"), 2}}, {{"g", {"a", "b"}}}, {"a", "b", "a", "c"},
       {{true, "'g' call 1/2"},
        {true, "'g' call 2/2"},
        {false, "'g' exceeded max calls (3 > 2)"},
        {false, "'g' exceeded max calls (3 > 2)"}}},
      {"max_calls 0 fails from the first matching call on",
       {R::MaxCalls{sel("t1"), 0}}, {}, {"x", "t1", "x"},
       {{true, "'t1' call 0/0"}, {false, "'t1' exceeded max calls (1 > 0)"}, {false, "'t1' exceeded max calls (1 > 0)"}}},
      {"max_calls counts a member once per listing",
       {R::MaxCalls{sel("g"), 5}}, {{"g", {"a", "a"}}}, {"a", "a", "x"},
       {{true, "'g' call 1/5"}, {true, "'g' call 3/5"}, {true, "'g' call 4/5"}}},
      {"max_calls on an empty group counts nothing",
       {R::MaxCalls{sel("g"), 0}}, {{"g", {}}}, {"g", "g"},
       {{true, "'g' call 0/0"}, {true, "'g' call 0/0"}}},
      {"max_calls counts the group's name only when listed",
       {R::MaxCalls{sel("g"), 5}}, {{"g", {"a"}}}, {"g", "a"},
       {{true, "'g' call 0/5"}, {true, "'g' call 1/5"}}},

      {"before through seen of the group name",
       {R::Before{sel("g"), sel("y")}}, {{"g", {"x"}}}, {"y", "g", "y"},
       {{false, "'y' requires 'g' first"}, {true, "Not 'y', rule not applicable"}, {true, "'g' was called first ✓"}}},
      {"before through history of a member",
       {R::Before{sel("g"), sel("y")}}, {{"g", {"x"}}}, {"x", "y"},
       {{true, "Not 'y', rule not applicable"}, {true, "'g' was called first ✓"}}},
      {"before: the current call never counts as first",
       {R::Before{sel("a"), sel("a")}}, {}, {"a", "a"},
       {{false, "'a' requires 'a' first"}, {true, "'a' was called first ✓"}}},
      {"before: an empty group's own name still counts through seen",
       {R::Before{sel("g"), sel("y")}}, {{"g", {}}}, {"y", "g", "y"},
       {{false, "'y' requires 'g' first"}, {true, "Not 'y', rule not applicable"}, {true, "'g' was called first ✓"}}},

      {"after answered in time",
       {R::After{sel("open"), sel("close"), 1}}, {}, {"open", "close", "x", "x"},
       {{true, "'open' triggered, 'close' required within 1"},
        {true, "'close' satisfies after 'open' ✓"},
        {true, "After rule: waiting for 'open'"},
        {true, "After rule: waiting for 'open'"}}},
      {"after overdue, then answered late",
       {R::After{sel("open"), sel("close"), 1}}, {}, {"open", "x", "x", "x", "close", "x"},
       {{true, "'open' triggered, 'close' required within 1"},
        {true, "Pending: 'close' needed within 0 more calls"},
        {false, "'close' required within 1 calls after 'open' (triggered at 0)"},
        {false, "'close' required within 1 calls after 'open' (triggered at 0)"},
        {false, "'close' called too late after 'open' (at 4, deadline 1)"},
        {true, "After rule: waiting for 'open'"}}},
      {"after re-triggered once answered",
       {R::After{sel("open"), sel("close"), 2}}, {}, {"open", "close", "x", "open", "x", "x", "x", "close"},
       {{true, "'open' triggered, 'close' required within 2"},
        {true, "'close' satisfies after 'open' ✓"},
        {true, "After rule: waiting for 'open'"},
        {true, "'open' triggered, 'close' required within 2"},
        {true, "Pending: 'close' needed within 1 more calls"},
        {true, "Pending: 'close' needed within 0 more calls"},
        {false, "'close' required within 2 calls after 'open' (triggered at 3)"},
        {false, "'close' called too late after 'open' (at 7, deadline 5)"}}},
      {"after: a trigger while pending is judged on the old deadline",
       {R::After{sel("open"), sel("close"), 1}}, {}, {"open", "x", "open", "open", "close"},
       {{true, "'open' triggered, 'close' required within 1"},
        {true, "Pending: 'close' needed within 0 more calls"},
        {false, "'close' required within 1 calls after 'open' (triggered at 0)"},
        {true, "Pending: 'close' needed within 0 more calls"},
        {true, "'close' satisfies after 'open' ✓"}}},
      {"after whose trigger equals then",
       {R::After{sel("a"), sel("a"), 1}}, {}, {"a", "a", "x", "x", "a"},
       {{true, "'a' triggered, 'a' required within 1"},
        {true, "'a' satisfies after 'a' ✓"},
        {true, "Pending: 'a' needed within 0 more calls"},
        {false, "'a' required within 1 calls after 'a' (triggered at 1)"},
        {false, "'a' called too late after 'a' (at 4, deadline 2)"}}},

      {"never_after",
       {R::NeverAfter{sel("a"), sel("b")}}, {}, {"b", "a", "b", "a"},
       {{true, "Waiting for trigger 'a'"},
        {true, "'a' triggered, 'b' now forbidden"},
        {false, "'b' forbidden after 'a' (triggered at index 1)"},
        {true, "'b' forbidden (trigger at 1)"}}},
      {"never_after: a first trigger that is also forbidden passes",
       {R::NeverAfter{sel("a"), sel("a")}}, {}, {"a", "a"},
       {{true, "'a' triggered, 'a' now forbidden"}, {false, "'a' forbidden after 'a' (triggered at index 0)"}}},

      {"sequence without steps",
       {R::Sequence{{}, true}}, {}, {"a", "b"},
       {{true, "Sequence complete ✓"}, {true, "Sequence complete ✓"}}},
      {"non-strict sequence with steps a, a",
       {R::Sequence{{sel("a"), sel("a")}, false}}, {}, {"a", "a", "a"},
       {{true, "Sequence step 1/2: 'a' ✓"}, {true, "Sequence step 2/2: 'a' ✓"}, {true, "Sequence complete ✓"}}},
      {"non-strict sequence order violation",
       {R::Sequence{{sel("a"), sel("b"), sel("c")}, false}}, {}, {"x", "c", "a", "b", "x", "c"},
       {{true, "Sequence: waiting for 'a' (0/3)"},
        {false, "Sequence order violated: 'c' before 'a'"},
        {true, "Sequence step 1/3: 'a' ✓"},
        {true, "Sequence step 2/3: 'b' ✓"},
        {true, "Sequence: waiting for 'c' (2/3)"},
        {true, "Sequence step 3/3: 'c' ✓"}}},
      {"strict sequence never resets",
       {R::Sequence{{sel("a"), sel("b")}, true}}, {}, {"x", "a", "x", "b", "x"},
       {{true, "Waiting for sequence start: 'a'"},
        {true, "Sequence step 1/2: 'a' ✓"},
        {false, "Strict sequence: expected 'b' but got 'x'"},
        {true, "Sequence step 2/2: 'b' ✓"},
        {true, "Sequence complete ✓"}}},
      {"sequence step through an alias quotes the call",
       {R::Sequence{{sel("g"), CallSelector::Matching("w", {{"p", "x"}})}, true}}, {{"g", {"a", "b"}}},
       {"b", "a", "w"},
       {{true, "Sequence step 1/2: 'b' ✓"},
        {false, "Strict sequence: expected 'w[p]' but got 'a'"},
        {true, "Sequence step 2/2: 'w' ✓"}}},
      {"sequence stuck on an empty group",
       {R::Sequence{{sel("g"), sel("b")}, false}}, {{"g", {}}}, {"g", "b"},
       {{true, "Sequence: waiting for 'g' (0/2)"}, {false, "Sequence order violated: 'b' before 'g'"}}},

      {"blocklist is case-sensitive",
       {R::Blocklist{"exec"}}, {}, {"shell_exec", "Exec"},
       {{false, "'shell_exec' matches blocklist pattern 'exec'"}, {true, "'Exec' does not match blocklist 'exec'"}}},
      {"blocklist with an empty pattern lists every call",
       {R::Blocklist{""}}, {}, {"x", ""},
       {{false, "'x' matches blocklist pattern ''"}, {false, "'' matches blocklist pattern ''"}}},
      {"blocklist ignores aliases",
       {R::Blocklist{"g"}}, {{"g", {"a"}}}, {"a", "big"},
       {{true, "'a' does not match blocklist 'g'"}, {false, "'big' matches blocklist pattern 'g'"}}},
  };
  return cases;
}

TEST(ExplainChecksTest, EveryStepOfTheWorkedExamples) {
  for (const CheckCase& c : check_cases()) {
    SCOPED_TRACE(c.name);
    TraceExplanation result =
        TraceExplainer(make_policy({c.rule}, c.aliases)).explain(trace(c.calls));
    ASSERT_EQ(result.steps.size(), c.expected.size());
    for (size_t i = 0; i < c.expected.size(); ++i) {
      SCOPED_TRACE("step " + std::to_string(i));
      const RuleEvaluation& record = result.steps[i].rules_evaluated.at(0);
      EXPECT_EQ(record.passed, c.expected[i].passed);
      EXPECT_EQ(record.explanation, c.expected[i].explanation);
      EXPECT_EQ(record.rule_type, c.rule.type_word());
      EXPECT_EQ(result.steps[i].verdict, c.expected[i].passed ? Verdict::kAllowed : Verdict::kBlocked);
    }
  }
}

TEST(ExplainChecksTest, RuleIdentifiersAreLowerCased) {
  const struct {
    SequenceRule rule;
    const char* id;
  } cases[] = {
      {{R::Require{sel("ReadFile")}}, "require_readfile"},
      {{R::Eventually{CallSelector::Matching("Run", {{"cmd", "X"}}), 3}}, "eventually_run_3"},
      {{R::MaxCalls{sel("G"), 2}}, "max_calls_g_2"},
      {{R::Before{sel("A"), sel("b")}}, "before_a_then_b"},
      {{R::After{sel("Open"), sel("CLOSE"), 1}}, "after_open_then_close"},
      {{R::NeverAfter{sel("a"), sel("B")}}, "never_after_a_forbidden_b"},
      {{R::Sequence{{sel("A"), sel("b"), sel("A")}, true}}, "sequence_a_b_a"},
      {{R::Sequence{{}, false}}, "sequence_"},
      {{R::Blocklist{"EXEC"}}, "blocklist_exec"},
      // Each name is lower-cased on its own: the capital sigma ends its word.
      {{R::Before{sel("ΟΔΟΣ"), sel("İX")}}, "before_οδος_then_i̇x"},
  };
  for (const auto& c : cases) {
    TraceExplanation result = TraceExplainer(make_policy({c.rule})).explain(trace({"q"}));
    EXPECT_EQ(result.steps[0].rules_evaluated.at(0).rule_id, c.id);
  }
}

TEST(ExplainChecksTest, ContextsKeepTheirKeyOrder) {
  const struct {
    SequenceRule rule;
    std::vector<std::string> calls;
    const char* context;  // of the last step; empty for none
  } cases[] = {
      {{R::Require{sel("a")}}, {"a"}, ""},
      {{R::Blocklist{"a"}}, {"a"}, ""},
      {{R::Eventually{CallSelector::Matching("run", {{"cmd", "rm.*"}}), 3}}, {"x", "run"},
       R"({"required_tool":{"tool":"run","args_match":{"cmd":"rm.*"}},"within":3,"current_index":1,"seen":true})"},
      {{R::MaxCalls{sel("a"), 1}}, {"a", "a"}, R"({"tool":"a","max":1,"current_count":2})"},
      {{R::Before{sel("a"), sel("b")}}, {"b"},
       R"({"first":"a","then":"b","first_seen":false,"is_then_call":true})"},
      {{R::After{sel("a"), CallSelector::Matching("b", {}), 4}}, {"a", "x"},
       R"({"trigger":"a","then":{"tool":"b","args_match":{}},"within":4})"},
      {{R::NeverAfter{sel("a"), sel("b")}}, {"a"}, R"({"trigger":"a","forbidden":"b","triggered":true})"},
      {{R::NeverAfter{sel("a"), sel("b")}}, {"x"}, R"({"trigger":"a","forbidden":"b","triggered":false})"},
      {{R::Sequence{{sel("a"), CallSelector::Matching("b", {{"z", "1"}, {"y", "2"}})}, true}}, {"a", "x"},
       R"({"tools":["a",{"tool":"b","args_match":{"y":"2","z":"1"}}],"strict":true,"progress":1})"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.context);
    TraceExplanation result = TraceExplainer(make_policy({c.rule})).explain(trace(c.calls));
    const std::optional<JsonValue>& context = result.steps.back().rules_evaluated.at(0).context;
    if (*c.context == '\0') {
      EXPECT_FALSE(context.has_value());
    } else {
      ASSERT_TRUE(context.has_value());
      EXPECT_EQ(to_json(*context), c.context);
    }
  }
}

}  // namespace
}  // namespace ossel
