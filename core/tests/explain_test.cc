// The explainer call by call: the judgement of every rule kind at each call
// and at the end of the trace (messages, verdicts, contexts, identifiers), the
// tools check, the summary, the snapshot and the explanation's JSON text.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <string_view>

#include "ossel/explain.h"

namespace ossel {
namespace {

using R = SequenceRule;
using Aliases = std::vector<std::pair<std::string, std::vector<std::string>>>;

CallSelector sel(std::string name) { return CallSelector::Plain(std::move(name)); }

Policy make_policy(std::vector<SequenceRule> rules = {}, Aliases aliases = {}) {
  Policy policy;
  policy.version = "1.0";
  policy.name = "test";
  policy.sequences = std::move(rules);
  for (auto& [group, members] : aliases) policy.aliases.insert_or_assign(group, std::move(members));
  return policy;
}

std::vector<ToolCall> trace(const std::vector<std::string>& tools) {
  std::vector<ToolCall> calls;
  for (const std::string& tool : tools) calls.push_back(ToolCall{tool, std::nullopt});
  return calls;
}

JsonValue object(std::vector<std::pair<std::string, JsonValue>> members) {
  JsonObject o;
  for (auto& [key, value] : members) o.insert_or_assign(key, std::move(value));
  return JsonValue(std::move(o));
}

// What the piece writer hands on, piece by piece.
std::vector<std::string> pieces_of(const TraceExplainer& explainer, const std::vector<ToolCall>& calls,
                                   size_t piece_size) {
  std::vector<std::string> pieces;
  EXPECT_TRUE(explainer.explain_json_pieces(calls, piece_size, [&](std::string_view piece) {
    pieces.emplace_back(piece);
    return true;
  }));
  return pieces;
}

std::string joined(const std::vector<std::string>& pieces) {
  std::string text;
  for (const std::string& piece : pieces) text += piece;
  return text;
}

// The direct writer's text, checked byte for byte against the text of the
// records that explain() returns and against the pieces of the piece writer,
// one step per piece and a few steps per piece.
std::string json_of(const TraceExplainer& explainer, const std::vector<ToolCall>& calls) {
  std::string from_records;
  append_json(explainer.explain(calls), from_records);
  std::string direct = explainer.explain_json(calls);
  EXPECT_EQ(direct, from_records);
  for (size_t piece_size : {0, 1000}) EXPECT_EQ(joined(pieces_of(explainer, calls, piece_size)), direct);
  return direct;
}

constexpr uint32_t kMax = UINT32_MAX;

struct CheckCase {
  SequenceRule rule;
  Aliases aliases;
  std::vector<std::string> calls;
  // Every record of the rule, step by step, the end-of-trace ones last; "!" marks a failure.
  std::vector<std::string> expected;
  const char* context = nullptr;  // of the last record, "" for none; nullptr: not checked
};

const std::vector<CheckCase>& check_cases() {
  static const std::vector<CheckCase> cases = {
      {{R::Eventually{sel("t"), 3}}, {}, {"x", "x", "x", "x", "t"},
       {"'t' required within 3 calls (at 1/3)", "'t' required within 3 calls (at 2/3)",
        "'t' required within 3 calls (at 3/3)", "!'t' not seen within first 3 calls", "'t' already seen ✓"}},
      {{R::Eventually{sel("t"), 3}}, {}, {"x", "t", "x"},
       {"'t' required within 3 calls (at 1/3)", "'t' already seen ✓", "'t' already seen ✓"}},
      {{R::Eventually{sel("t"), 0}}, {}, {"x", "t"}, {"!'t' not seen within first 0 calls", "'t' already seen ✓"}},
      {{R::Eventually{sel("t"), 0}}, {}, {"t"}, {"'t' already seen ✓"}},
      {{R::Eventually{CallSelector::Matching("run", {{"cmd", "rm.*"}}), 5}}, {}, {"run"}, {"'run[cmd]' already seen ✓"},
       R"({"required_tool":{"tool":"run","args_match":{"cmd":"rm.*"}},"within":5,"current_index":0,"seen":true})"},
      {{R::Eventually{sel("e"), kMax}}, {}, {"x"}, {"'e' required within 4294967295 calls (at 1/4294967295)"}},

      {{R::MaxCalls{sel("g"), 2}}, {{"g", {"a", "b"}}}, {"a", "b", "a", "c"},
       {"'g' call 1/2", "'g' call 2/2", "!'g' exceeded max calls (3 > 2)", "!'g' exceeded max calls (3 > 2)"},
       R"({"tool":"g","max":2,"current_count":3})"},
      {{R::MaxCalls{sel("t"), 0}}, {}, {"x", "t"}, {"'t' call 0/0", "!'t' exceeded max calls (1 > 0)"}},
      {{R::MaxCalls{sel("m"), kMax}}, {}, {"m"}, {"'m' call 1/4294967295"}},

      // A call of the first selector's own name counts, even for a group.
      {{R::Before{sel("g"), sel("y")}}, {{"g", {}}}, {"y", "g", "y"},
       {"!'y' requires 'g' first", "Not 'y', rule not applicable", "'g' was called first ✓"}},
      {{R::Before{sel("g"), sel("y")}}, {{"g", {"x"}}}, {"x", "y"},
       {"Not 'y', rule not applicable", "'g' was called first ✓"}},
      {{R::Before{sel("a"), sel("a")}}, {}, {"a", "a"}, {"!'a' requires 'a' first", "'a' was called first ✓"}},
      {{R::Before{sel("a"), sel("b")}}, {}, {"b"}, {"!'b' requires 'a' first"},
       R"({"first":"a","then":"b","first_seen":false,"is_then_call":true})"},

      {{R::After{sel("o"), sel("c"), 2}}, {}, {"o", "c", "x", "o", "x", "x", "x", "c", "x"},
       {"'o' triggered, 'c' required within 2", "'c' satisfies after 'o' ✓", "After rule: waiting for 'o'",
        "'o' triggered, 'c' required within 2", "Pending: 'c' needed within 1 more calls",
        "Pending: 'c' needed within 0 more calls", "!'c' required within 2 calls after 'o' (triggered at 3)",
        "!'c' called too late after 'o' (at 7, deadline 5)", "After rule: waiting for 'o'"},
       R"({"trigger":"o","then":"c","within":2})"},
      // A trigger while pending moves the deadline; one after the answer opens a new one.
      {{R::After{sel("o"), sel("c"), 1}}, {}, {"o", "x", "o", "o", "c", "o"},
       {"'o' triggered, 'c' required within 1", "Pending: 'c' needed within 0 more calls",
        "!'c' required within 1 calls after 'o' (triggered at 0)", "Pending: 'c' needed within 0 more calls",
        "'c' satisfies after 'o' ✓", "'o' triggered, 'c' required within 1",
        "!'o' triggered at 5, but 'c' never called within 1 steps (trace ended)"}},
      {{R::After{sel("a"), sel("a"), 1}}, {}, {"a", "a", "x", "x", "a"},
       {"'a' triggered, 'a' required within 1", "'a' satisfies after 'a' ✓", "Pending: 'a' needed within 0 more calls",
        "!'a' required within 1 calls after 'a' (triggered at 1)", "!'a' called too late after 'a' (at 4, deadline 2)",
        "!'a' triggered at 4, but 'a' never called within 1 steps (trace ended)"}},
      {{R::After{sel("o"), sel("c"), kMax}}, {}, {"x", "o", "x"},
       {"After rule: waiting for 'o'", "'o' triggered, 'c' required within 4294967295",
        "Pending: 'c' needed within 4294967294 more calls",
        "!'o' triggered at 1, but 'c' never called within 4294967295 steps (trace ended)"},
       R"({"trigger":"o","deadline":4294967296,"trace_len":3})"},

      {{R::NeverAfter{sel("a"), sel("b")}}, {}, {"b", "a", "b", "a"},
       {"Waiting for trigger 'a'", "'a' triggered, 'b' now forbidden",
        "!'b' forbidden after 'a' (triggered at index 1)", "'b' forbidden (trigger at 1)"},
       R"({"trigger":"a","forbidden":"b","triggered":true})"},
      {{R::NeverAfter{sel("a"), sel("a")}}, {}, {"a", "a"},
       {"'a' triggered, 'a' now forbidden", "!'a' forbidden after 'a' (triggered at index 0)"}},
      {{R::NeverAfter{sel("a"), sel("b")}}, {}, {"x"}, {"Waiting for trigger 'a'"},
       R"({"trigger":"a","forbidden":"b","triggered":false})"},

      {{R::Sequence{{}, true}}, {}, {"a"}, {"Sequence complete ✓"}},
      {{R::Sequence{{sel("a"), sel("a")}, false}}, {}, {"a", "a", "a"},
       {"Sequence step 1/2: 'a' ✓", "Sequence step 2/2: 'a' ✓", "Sequence complete ✓"}},
      {{R::Sequence{{sel("a"), sel("b"), sel("c")}, false}}, {}, {"x", "c", "a", "b", "x", "c"},
       {"Sequence: waiting for 'a' (0/3)", "!Sequence order violated: 'c' before 'a'", "Sequence step 1/3: 'a' ✓",
        "Sequence step 2/3: 'b' ✓", "Sequence: waiting for 'c' (2/3)", "Sequence step 3/3: 'c' ✓"}},
      {{R::Sequence{{sel("a"), sel("b")}, true}}, {}, {"x", "a", "x", "b", "x"},
       {"Waiting for sequence start: 'a'", "Sequence step 1/2: 'a' ✓", "!Strict sequence: expected 'b' but got 'x'",
        "Sequence step 2/2: 'b' ✓", "Sequence complete ✓"}},
      {{R::Sequence{{sel("g"), CallSelector::Matching("w", {{"p", "x"}})}, true}}, {{"g", {"a", "b"}}}, {"b", "a"},
       {"Sequence step 1/2: 'b' ✓", "!Strict sequence: expected 'w[p]' but got 'a'"},
       R"({"tools":["g",{"tool":"w","args_match":{"p":"x"}}],"strict":true,"progress":1})"},

      {{R::Blocklist{"g"}}, {{"g", {"a"}}}, {"a", "big", "G"},
       {"'a' does not match blocklist 'g'", "!'big' matches blocklist pattern 'g'", "'G' does not match blocklist 'g'"},
       ""},
      {{R::Blocklist{""}}, {}, {"x", ""}, {"!'x' matches blocklist pattern ''", "!'' matches blocklist pattern ''"}},

      // A group's own name is not a member.
      {{R::Require{CallSelector::Matching("g", {{"p", "x"}})}}, {{"g", {"a"}}}, {"g"},
       {"Require 'g[p]' (checked at end)", "!Required tool 'g[p]' never called"}, ""},
      {{R::Require{sel("e")}}, {{"e", {}}}, {"e"}, {"Require 'e' (checked at end)", "!Required tool 'e' never called"}},
  };
  return cases;
}

TEST(ExplainChecksTest, RecordsOfEveryStep) {
  for (size_t n = 0; n < check_cases().size(); ++n) {
    const CheckCase& c = check_cases()[n];
    SCOPED_TRACE("case " + std::to_string(n));
    TraceExplanation result = TraceExplainer(make_policy({c.rule}, c.aliases)).explain(trace(c.calls));
    std::vector<std::string> records;
    for (const ExplainedStep& step : result.steps) {
      // End-of-trace records never change the last step's verdict.
      EXPECT_EQ(step.verdict, step.rules_evaluated.at(0).passed ? Verdict::kAllowed : Verdict::kBlocked);
      for (const RuleEvaluation& record : step.rules_evaluated) {
        EXPECT_EQ(record.rule_type, c.rule.type_word());
        records.push_back((record.passed ? "" : "!") + record.explanation);
      }
    }
    EXPECT_EQ(records, c.expected);
    if (c.context) {
      const std::optional<JsonValue>& context = result.steps.back().rules_evaluated.back().context;
      EXPECT_EQ(context ? to_json(*context) : "", c.context);
    }
  }
}

TEST(ExplainChecksTest, RuleIdentifiersAreLowerCased) {
  const struct {
    SequenceRule rule;
    const char* id;
  } cases[] = {
      {{R::Eventually{CallSelector::Matching("Run", {{"cmd", "X"}}), 3}}, "eventually_run_3"},
      {{R::MaxCalls{sel("G"), kMax}}, "max_calls_g_4294967295"},
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

using Names = std::optional<std::vector<std::string>>;
Names names(std::initializer_list<std::string> list) { return std::vector<std::string>(list); }

TEST(ExplainReplayTest, ToolsCheck) {
  const struct {
    Names allow, deny;
    Aliases aliases;
    std::string tool;
    const char* rule_id;  // nullptr: passes
    const char* explanation;
  } cases[] = {
      {std::nullopt, std::nullopt, {}, "x", nullptr, ""},
      {names({"x"}), std::nullopt, {}, "x", nullptr, ""},
      {names({"Read"}), std::nullopt, {}, "read", "allow_list", "Tool 'read' is not in allow list"},
      {std::nullopt, names({"x"}), {}, "x", "deny_list", "Tool 'x' is in deny list"},
      {names({"x"}), names({"x"}), {}, "x", "deny_list", "Tool 'x' is in deny list"},
      // Any group's member passes the allow list; a group's own name does not.
      {names({}), std::nullopt, {{"g", {"a"}}}, "a", nullptr, ""},
      {names({}), std::nullopt, {{"g", {"a"}}}, "g", "allow_list", "Tool 'g' is not in allow list"},
      {names({}), std::nullopt, {{"g", {"a"}}, {"h", {"g"}}}, "g", nullptr, ""},
      // The deny list names tools, never groups.
      {std::nullopt, names({"g"}), {{"g", {"a"}}}, "a", nullptr, ""},
      {std::nullopt, names({"a"}), {{"g", {"a"}}}, "a", "deny_list", "Tool 'a' is in deny list"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.tool + " " + (c.rule_id ? c.rule_id : "passes"));
    Policy policy = make_policy({}, c.aliases);
    policy.tools.allow = c.allow;
    policy.tools.deny = c.deny;
    TraceExplanation result = explain_trace(policy, trace({c.tool}));
    const ExplainedStep& step = result.steps.at(0);
    EXPECT_EQ(step.verdict, c.rule_id ? Verdict::kBlocked : Verdict::kAllowed);
    std::vector<RuleEvaluation> expected;
    if (c.rule_id) {
      expected.push_back({c.rule_id, *c.rule_id == 'd' ? "deny" : "allow", false, c.explanation, std::nullopt});
    }
    EXPECT_EQ(step.rules_evaluated, expected);
  }
}

// The first failing check of a call is its reason; the end-of-trace records
// join the last step without changing its verdict; blocked calls still count.
TEST(ExplainReplayTest, VerdictsSummaryAndEndOfTrace) {
  Policy policy = make_policy({{R::Blocklist{"b"}}, {R::Before{sel("d"), sel("b")}}, {R::Require{sel("d")}},
                               {R::Require{sel("r")}}, {R::After{sel("a"), sel("b"), 1}}});
  policy.tools.allow = names({"a", "b"});
  policy.tools.deny = names({"d"});
  TraceExplanation result = explain_trace(policy, trace({"b", "d", "c", "d", "a"}));
  EXPECT_EQ(result.steps[4].verdict, Verdict::kAllowed);
  EXPECT_EQ(result.total_steps, 5u);
  EXPECT_EQ(result.blocked_steps, 4u);
  EXPECT_EQ(result.allowed_steps, 1u);
  EXPECT_EQ(result.first_block_index, 0u);
  EXPECT_FALSE(result.steps[0].rules_evaluated[1].passed);  // before fails too, but is not the reason
  EXPECT_EQ(result.steps[1].rules_evaluated[0].rule_id, "deny_list");
  EXPECT_EQ(result.blocking_rules,
            (std::vector<std::string>{"blocklist_b", "deny_list", "allow_list", "require_r", "after_a_then_b"}));
  std::vector<std::string> last_ids;
  for (const RuleEvaluation& record : result.steps.back().rules_evaluated) last_ids.push_back(record.rule_id);
  EXPECT_EQ(last_ids, (std::vector<std::string>{"blocklist_b", "before_d_then_b", "require_d", "require_r",
                                                "after_a_then_b", "require_r", "after_a_then_b"}));
  using Snapshot = std::vector<std::pair<std::string, std::string>>;
  EXPECT_EQ(result.steps[4].state_snapshot, (Snapshot{{"calls:b", "1"}, {"calls:d", "2"}, {"calls:c", "1"},
                                                      {"calls:a", "1"}}));
}

TEST(ExplainJsonTest, WholeExplanation) {
  Policy policy = make_policy({{R::Eventually{sel("a"), 1}}});
  policy.name = "p";
  policy.version = "1";
  policy.tools.allow = names({"a", "b"});
  // Arguments are written as held: numbers keep their kind, null stays apart from absent.
  std::vector<ToolCall> calls = {{"b", object({{"k", JsonValue(1)}, {"f", 3.0}, {"e", 1e-7}})},
                                 {"c", JsonValue(nullptr)}};
  TraceExplainer explainer(std::move(policy));
  EXPECT_EQ(
      json_of(explainer, calls),
      R"j({"policy_name":"p","policy_version":"1","total_steps":2,"allowed_steps":1,"blocked_steps":1,)j"
      R"j("first_block_index":1,"steps":[)j"
      R"j({"index":0,"tool":"b","args":{"k":1,"f":3.0,"e":1e-7},"verdict":"allowed","rules_evaluated":[)j"
      R"j({"rule_id":"eventually_a_1","rule_type":"eventually","passed":true,)j"
      R"j("explanation":"'a' required within 1 calls (at 1/1)",)j"
      R"j("context":{"required_tool":"a","within":1,"current_index":0,"seen":false}}],)j"
      R"j("state_snapshot":{"calls:b":"1"}},)j"
      R"j({"index":1,"tool":"c","args":null,"verdict":"blocked","rules_evaluated":[)j"
      R"j({"rule_id":"allow_list","rule_type":"allow","passed":false,"explanation":"Tool 'c' is not in allow list"},)j"
      R"j({"rule_id":"eventually_a_1","rule_type":"eventually","passed":false,)j"
      R"j("explanation":"'a' not seen within first 1 calls",)j"
      R"j("context":{"required_tool":"a","within":1,"current_index":1,"seen":false}}],)j"
      R"j("state_snapshot":{"calls:b":"1","calls:c":"1"}}],"blocking_rules":["allow_list"]})j");
  TraceExplanation records = explainer.explain(calls);
  records.steps[0].verdict = Verdict::kWarning;
  std::string text;
  append_json(records, text);
  EXPECT_NE(text.find(R"j("args":{"k":1,"f":3.0,"e":1e-7},"verdict":"warning",)j"), std::string::npos);
}

TEST(ExplainJsonTest, EmptyTraceAndEmptyRuleList) {
  // No steps, so the end-of-trace failures have nowhere to go and block nothing.
  Policy policy = make_policy({{R::Require{sel("a")}}, {R::After{sel("a"), sel("b"), 1}}});
  EXPECT_EQ(json_of(TraceExplainer(policy), {}),
            R"j({"policy_name":"test","policy_version":"1.0","total_steps":0,"allowed_steps":0,)j"
            R"j("blocked_steps":0,"steps":[],"blocking_rules":[]})j");
  EXPECT_NE(json_of(TraceExplainer(make_policy()), trace({"x"}))
                .find(R"j({"index":0,"tool":"x","verdict":"allowed","rules_evaluated":[],)j"),
            std::string::npos);
}

TEST(ExplainJsonTest, OddToolNamesAreEscapedEverywhere) {
  const struct {
    std::string tool;
    const char* escaped;
  } cases[] = {
      {"a\"b", R"j(a\"b)j"},
      {"back\\slash", R"j(back\\slash)j"},
      {"new\nline\ttab\r\b\f", R"j(new\nline\ttab\r\b\f)j"},
      {std::string("nul\0x\x01\x1b\x7f", 8), "nul\\u0000x\\u0001\\u001b\x7f"},
      {"naïve/ΣΑΣ", "naïve/ΣΑΣ"},
  };
  for (const auto& c : cases) {
    // Messages quote the call's tool name, the selectors' texts and blocklist patterns.
    Policy policy = make_policy({{R::Blocklist{c.tool}}, {R::Sequence{{sel(c.tool)}, false}},
                                 {R::Eventually{sel(c.tool), 1}}});
    policy.tools.deny = names({c.tool});
    std::string text = json_of(TraceExplainer(policy), {ToolCall{c.tool, std::nullopt}});
    const std::string e = c.escaped;
    for (const std::string& piece :
         {"\"tool\":\"" + e + "\"", "\"Tool '" + e + "' is in deny list\"",
          "\"'" + e + "' matches blocklist pattern '" + e + "'\"", "\"Sequence step 1/1: '" + e + "' ✓\"",
          "\"'" + e + "' already seen ✓\"", "\"context\":{\"tools\":[\"" + e + "\"]",
          "\"state_snapshot\":{\"calls:" + e + "\":\"1\"}"}) {
      EXPECT_NE(text.find(piece), std::string::npos) << piece << "\n" << text;
    }
  }
}

TEST(ExplainJsonTest, SnapshotCountsGrowingPastEachPowerOfTen) {
  std::vector<std::string> tools;
  for (int n = 0; n < 1200; ++n) tools.push_back(n % 3 == 0 ? "a" : n % 7 == 0 ? "bb" : n % 2 ? "c" : "a");
  tools.push_back("late");
  std::string text = json_of(TraceExplainer(make_policy()), trace(tools));
  EXPECT_NE(text.find(R"j("state_snapshot":{"calls:a":"9","calls:c":"4","calls:bb":"1"})j"), std::string::npos);
  EXPECT_NE(text.rfind(R"j(,"calls:late":"1"}}])j"), std::string::npos);
}

TEST(ExplainJsonTest, PiecesEndBetweenStepsAndStopWhenTheSinkSaysSo) {
  // Tool names of one, two, three and four UTF-8 bytes per character.
  std::vector<std::string> tools;
  for (int n = 0; n < 60; ++n) tools.push_back(std::vector<std::string>{"a", "é", "✓", "😀"}[n % 4]);
  const TraceExplainer explainer(make_policy({{R::Before{sel("a"), sel("✓")}}, {R::MaxCalls{sel("😀"), 3}}}));
  const std::vector<ToolCall> calls = trace(tools);
  const std::string text = explainer.explain_json(calls);

  // Piece size 0 hands on every step as it is written: the head comes with
  // the first step, the tail alone.
  std::vector<std::string> steps = pieces_of(explainer, calls, 0);
  ASSERT_EQ(steps.size(), calls.size() + 1);
  EXPECT_TRUE(steps.front().starts_with(R"({"policy_name":"test",)"));
  for (size_t i = 1; i < calls.size(); ++i) EXPECT_TRUE(steps[i].starts_with(",{\"index\":" + std::to_string(i)));
  EXPECT_EQ(steps.back(), R"(],"blocking_rules":["max_calls_😀_3"]})");

  size_t longest_step = 0;
  for (const std::string& step : steps) longest_step = std::max(longest_step, step.size());
  for (size_t piece_size : {size_t{1}, size_t{700}, size_t{5000}, text.size(), text.size() + 1}) {
    std::vector<std::string> pieces = pieces_of(explainer, calls, piece_size);
    EXPECT_EQ(joined(pieces), text);
    for (size_t n = 0; n < pieces.size(); ++n) {
      const std::string& piece = pieces[n];
      // Each piece is whole UTF-8 characters: it neither starts with a
      // continuation byte nor ends inside a sequence.
      EXPECT_NE(static_cast<unsigned char>(piece.front()) & 0xC0, 0x80) << piece_size << " " << n;
      EXPECT_LT(static_cast<unsigned char>(piece.back()), 0x80) << piece_size << " " << n;
      if (n + 1 == pieces.size()) continue;
      EXPECT_GE(piece.size(), piece_size) << n;
      EXPECT_LT(piece.size(), piece_size + longest_step) << n;
    }
  }

  int handed_on = 0;
  EXPECT_FALSE(explainer.explain_json_pieces(calls, 100, [&](std::string_view) { return ++handed_on < 3; }));
  EXPECT_EQ(handed_on, 3);
  // A sink that refuses the last piece alone is heard too.
  EXPECT_FALSE(explainer.explain_json_pieces(calls, text.size() + 1, [](std::string_view) { return false; }));
}

}  // namespace
}  // namespace ossel
