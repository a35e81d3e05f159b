// Whole explanations of traces that engage many rules at once, written out
// by hand call by call: every record, message, context and summary member of
// the text a user reads.
#include <gtest/gtest.h>

#include <cstdint>

#include "explain_test_support.h"
#include "ossel/explain.h"

namespace ossel {
namespace {

using namespace testing;

// The allow and deny lists, an alias group counted by max_calls, an after
// rule left unanswered and a never_after rule; a require rule that is never
// met and whose selector has argument patterns.
TEST(ExplainTranscriptTest, ToolsListsCountsDeadlinesAndEndOfTrace) {
  Policy policy = make_policy({{R::Require{CallSelector::Matching("Audit", {{"who", ".*"}})}},
                               {R::MaxCalls{sel("fs"), 1}},
                               {R::After{sel("write"), sel("audit"), 1}},
                               {R::NeverAfter{sel("rm"), sel("read")}}},
                              {{"fs", {"read", "write"}}});
  policy.name = "p";
  policy.version = "2";
  policy.tools.allow = std::vector<std::string>{"read", "write"};
  policy.tools.deny = std::vector<std::string>{"rm"};
  std::vector<ToolCall> calls = {{"read", std::nullopt},
                                 {"write", object({{"path", JsonValue("/x")}})},
                                 {"rm", std::nullopt},
                                 {"read", std::nullopt}};

  const std::string require =
      R"j({"rule_id":"require_audit","rule_type":"require","passed":true,)j"
      R"j("explanation":"Require 'Audit[who]' (checked at end)"},)j";
  const std::string after_context = R"j("context":{"trigger":"write","then":"audit","within":1}},)j";
  const std::string never_after_waiting =
      R"j({"rule_id":"never_after_rm_forbidden_read","rule_type":"never_after","passed":true,)j"
      R"j("explanation":"Waiting for trigger 'rm'",)j"
      R"j("context":{"trigger":"rm","forbidden":"read","triggered":false}})j";
  auto max_calls = [](bool passed, const std::string& explanation, int count) {
    return std::string(R"j({"rule_id":"max_calls_fs_1","rule_type":"max_calls","passed":)j") +
           (passed ? "true" : "false") + R"j(,"explanation":")j" + explanation +
           R"j(","context":{"tool":"fs","max":1,"current_count":)j" + std::to_string(count) + "}},";
  };

  EXPECT_EQ(
      json_of(TraceExplainer(std::move(policy)), calls),
      R"j({"policy_name":"p","policy_version":"2","total_steps":4,"allowed_steps":1,"blocked_steps":3,)j"
      R"j("first_block_index":1,"steps":[)j"
      // read: within every limit.
      R"j({"index":0,"tool":"read","verdict":"allowed","rules_evaluated":[)j" +
          require + max_calls(true, "'fs' call 1/1", 1) +
          R"j({"rule_id":"after_write_then_audit","rule_type":"after","passed":true,)j"
          R"j("explanation":"After rule: waiting for 'write'",)j" +
          after_context + never_after_waiting + R"j(],"state_snapshot":{"calls:read":"1"}},)j"
      // write: the group's second call; it also opens the after deadline.
      R"j({"index":1,"tool":"write","args":{"path":"/x"},"verdict":"blocked","rules_evaluated":[)j" +
          require + max_calls(false, "'fs' exceeded max calls (2 > 1)", 2) +
          R"j({"rule_id":"after_write_then_audit","rule_type":"after","passed":true,)j"
          R"j("explanation":"'write' triggered, 'audit' required within 1",)j" +
          after_context + never_after_waiting +
          R"j(],"state_snapshot":{"calls:read":"1","calls:write":"1"}},)j"
      // rm: denied (the allow list is not consulted); it arms never_after.
      R"j({"index":2,"tool":"rm","verdict":"blocked","rules_evaluated":[)j"
      R"j({"rule_id":"deny_list","rule_type":"deny","passed":false,"explanation":"Tool 'rm' is in deny list"},)j" +
          require + max_calls(false, "'fs' exceeded max calls (2 > 1)", 2) +
          R"j({"rule_id":"after_write_then_audit","rule_type":"after","passed":true,)j"
          R"j("explanation":"Pending: 'audit' needed within 0 more calls",)j" +
          after_context +
          R"j({"rule_id":"never_after_rm_forbidden_read","rule_type":"never_after","passed":true,)j"
          R"j("explanation":"'rm' triggered, 'read' now forbidden",)j"
          R"j("context":{"trigger":"rm","forbidden":"read","triggered":true}})j"
          R"j(],"state_snapshot":{"calls:read":"1","calls:write":"1","calls:rm":"1"}},)j"
      // read: fails three rules; then the end-of-trace failures.
      R"j({"index":3,"tool":"read","verdict":"blocked","rules_evaluated":[)j" +
          require + max_calls(false, "'fs' exceeded max calls (3 > 1)", 3) +
          R"j({"rule_id":"after_write_then_audit","rule_type":"after","passed":false,)j"
          R"j("explanation":"'audit' required within 1 calls after 'write' (triggered at 1)",)j" +
          after_context +
          R"j({"rule_id":"never_after_rm_forbidden_read","rule_type":"never_after","passed":false,)j"
          R"j("explanation":"'read' forbidden after 'rm' (triggered at index 2)",)j"
          R"j("context":{"trigger":"rm","forbidden":"read","triggered":true}},)j"
          R"j({"rule_id":"require_audit","rule_type":"require","passed":false,)j"
          R"j("explanation":"Required tool 'Audit[who]' never called"},)j"
          R"j({"rule_id":"after_write_then_audit","rule_type":"after","passed":false,)j"
          R"j("explanation":"'write' triggered at 1, but 'audit' never called within 1 steps (trace ended)",)j"
          R"j("context":{"trigger":"write","deadline":2,"trace_len":4}})j"
          R"j(],"state_snapshot":{"calls:read":"2","calls:write":"1","calls:rm":"1"}}],)j"
          R"j("blocking_rules":["max_calls_fs_1","deny_list","require_audit","after_write_then_audit"]})j");
}

// before through an alias group, eventually and a non-strict sequence with
// argument patterns (never applied), and a blocklist; letter case kept
// everywhere but in the identifiers.
TEST(ExplainTranscriptTest, OrderingRulesThroughAnAliasGroup) {
  const CallSelector fetch = CallSelector::Matching("Fetch", {{"url", "^https"}, {"method", "GET"}});
  Policy policy = make_policy({{R::Before{sel("Login"), sel("g")}},
                               {R::Eventually{fetch, 2}},
                               {R::Sequence{{sel("Login"), sel("g"), CallSelector::Matching("Save", {})}, false}},
                               {R::Blocklist{"EX"}}},
                              {{"g", {"a", "b"}}});
  policy.name = "Ünï \"q\"";
  std::vector<ToolCall> calls = trace({"b", "Login", "a", "Save", "Fetch", "xEX"});
  calls[3].args = object({{"n", JsonValue(1.5)}});

  auto before = [](bool passed, const std::string& explanation, bool first_seen, bool is_then) {
    return std::string(R"j({"rule_id":"before_login_then_g","rule_type":"before","passed":)j") +
           (passed ? "true" : "false") + R"j(,"explanation":")j" + explanation +
           R"j(","context":{"first":"Login","then":"g","first_seen":)j" + (first_seen ? "true" : "false") +
           R"j(,"is_then_call":)j" + (is_then ? "true" : "false") + "}},";
  };
  auto eventually = [](bool passed, const std::string& explanation, int index, bool seen) {
    return std::string(R"j({"rule_id":"eventually_fetch_2","rule_type":"eventually","passed":)j") +
           (passed ? "true" : "false") + R"j(,"explanation":")j" + explanation +
           R"j(","context":{"required_tool":{"tool":"Fetch","args_match":{"method":"GET","url":"^https"}},)j"
           R"j("within":2,"current_index":)j" +
           std::to_string(index) + R"j(,"seen":)j" + (seen ? "true" : "false") + "}},";
  };
  auto sequence = [](bool passed, const std::string& explanation, int progress) {
    return std::string(R"j({"rule_id":"sequence_login_g_save","rule_type":"sequence","passed":)j") +
           (passed ? "true" : "false") + R"j(,"explanation":")j" + explanation +
           R"j(","context":{"tools":["Login","g",{"tool":"Save","args_match":{}}],"strict":false,"progress":)j" +
           std::to_string(progress) + "}},";
  };
  auto blocklist_clear = [](const std::string& tool) {
    return R"j({"rule_id":"blocklist_ex","rule_type":"blocklist","passed":true,"explanation":"')j" + tool +
           R"j(' does not match blocklist 'EX'"})j";
  };
  const std::string not_applicable = "Not 'g', rule not applicable";

  EXPECT_EQ(
      json_of(TraceExplainer(std::move(policy)), calls),
      R"j({"policy_name":"Ünï \"q\"","policy_version":"1.0","total_steps":6,"allowed_steps":2,)j"
      R"j("blocked_steps":4,"first_block_index":0,"steps":[)j"
      R"j({"index":0,"tool":"b","verdict":"blocked","rules_evaluated":[)j" +
          before(false, "'g' requires 'Login' first", false, true) +
          eventually(true, "'Fetch[method,url]' required within 2 calls (at 1/2)", 0, false) +
          sequence(false, "Sequence order violated: 'b' before 'Login'", 0) + blocklist_clear("b") +
          R"j(],"state_snapshot":{"calls:b":"1"}},)j"
          R"j({"index":1,"tool":"Login","verdict":"allowed","rules_evaluated":[)j" +
          before(true, not_applicable, false, false) +
          eventually(true, "'Fetch[method,url]' required within 2 calls (at 2/2)", 1, false) +
          sequence(true, "Sequence step 1/3: 'Login' ✓", 0) + blocklist_clear("Login") +
          R"j(],"state_snapshot":{"calls:b":"1","calls:Login":"1"}},)j"
          R"j({"index":2,"tool":"a","verdict":"blocked","rules_evaluated":[)j" +
          before(true, "'Login' was called first ✓", true, true) +
          eventually(false, "'Fetch[method,url]' not seen within first 2 calls", 2, false) +
          sequence(true, "Sequence step 2/3: 'a' ✓", 1) + blocklist_clear("a") +
          R"j(],"state_snapshot":{"calls:b":"1","calls:Login":"1","calls:a":"1"}},)j"
          R"j({"index":3,"tool":"Save","args":{"n":1.5},"verdict":"blocked","rules_evaluated":[)j" +
          before(true, not_applicable, true, false) +
          eventually(false, "'Fetch[method,url]' not seen within first 2 calls", 3, false) +
          sequence(true, "Sequence step 3/3: 'Save' ✓", 2) + blocklist_clear("Save") +
          R"j(],"state_snapshot":{"calls:b":"1","calls:Login":"1","calls:a":"1","calls:Save":"1"}},)j"
          R"j({"index":4,"tool":"Fetch","verdict":"allowed","rules_evaluated":[)j" +
          before(true, not_applicable, true, false) +
          eventually(true, "'Fetch[method,url]' already seen ✓", 4, true) +
          sequence(true, "Sequence complete ✓", 3) + blocklist_clear("Fetch") +
          R"j(],"state_snapshot":{"calls:b":"1","calls:Login":"1","calls:a":"1","calls:Save":"1",)j"
          R"j("calls:Fetch":"1"}},)j"
          R"j({"index":5,"tool":"xEX","verdict":"blocked","rules_evaluated":[)j" +
          before(true, not_applicable, true, false) +
          eventually(true, "'Fetch[method,url]' already seen ✓", 5, true) +
          sequence(true, "Sequence complete ✓", 3) +
          R"j({"rule_id":"blocklist_ex","rule_type":"blocklist","passed":false,)j"
          R"j("explanation":"'xEX' matches blocklist pattern 'EX'"})j"
          R"j(],"state_snapshot":{"calls:b":"1","calls:Login":"1","calls:a":"1","calls:Save":"1",)j"
          R"j("calls:Fetch":"1","calls:xEX":"1"}}],)j"
          R"j("blocking_rules":["before_login_then_g","eventually_fetch_2","blocklist_ex"]})j");
}

// Limits at the top of their 32-bit range: quoted whole in identifiers,
// messages and contexts, and a deadline past them held in a machine word.
TEST(ExplainTranscriptTest, LargestLimits) {
  constexpr uint32_t kMax = UINT32_MAX;
  Policy policy = make_policy({{R::Eventually{sel("e"), kMax}},
                               {R::MaxCalls{sel("m"), kMax}},
                               {R::After{sel("o"), sel("c"), kMax}}});
  TraceExplanation result = TraceExplainer(std::move(policy)).explain(trace({"x", "o", "m", "x"}));
  const struct {
    size_t step, rule;
    const char* rule_id;
    const char* explanation;
    const char* context;
  } cases[] = {
      {0, 0, "eventually_e_4294967295", "'e' required within 4294967295 calls (at 1/4294967295)",
       R"j({"required_tool":"e","within":4294967295,"current_index":0,"seen":false})j"},
      {2, 1, "max_calls_m_4294967295", "'m' call 1/4294967295",
       R"j({"tool":"m","max":4294967295,"current_count":1})j"},
      {1, 2, "after_o_then_c", "'o' triggered, 'c' required within 4294967295",
       R"j({"trigger":"o","then":"c","within":4294967295})j"},
      {3, 2, "after_o_then_c", "Pending: 'c' needed within 4294967293 more calls",
       R"j({"trigger":"o","then":"c","within":4294967295})j"},
      {3, 3, "after_o_then_c", "'o' triggered at 1, but 'c' never called within 4294967295 steps (trace ended)",
       R"j({"trigger":"o","deadline":4294967296,"trace_len":4})j"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.explanation);
    const RuleEvaluation& record = result.steps.at(c.step).rules_evaluated.at(c.rule);
    EXPECT_EQ(record.rule_id, c.rule_id);
    EXPECT_EQ(record.explanation, c.explanation);
    ASSERT_TRUE(record.context.has_value());
    EXPECT_EQ(to_json(*record.context), c.context);
  }
  EXPECT_EQ(result.blocked_steps, 0u);
}

}  // namespace
}  // namespace ossel
