#include "explain/explanation_json.h"

#include <algorithm>
#include <charconv>
#include <iterator>

#include "explain/check_text.h"
#include "explain/replay.h"
#include "ossel/explain.h"

namespace ossel {
namespace {

std::string_view verdict_name(Verdict verdict) {
  switch (verdict) {
    case Verdict::kAllowed: return "allowed";
    case Verdict::kBlocked: return "blocked";
    case Verdict::kWarning: return "warning";
  }
  return "allowed";
}

}  // namespace

void append_json(const TraceExplanation& explanation, std::string& out) {
  JsonWriter w(out);
  w.begin_object();
  w.key("policy_name");
  w.string(explanation.policy_name);
  w.key("policy_version");
  w.string(explanation.policy_version);
  w.key("total_steps");
  w.unsigned_integer(explanation.total_steps);
  w.key("allowed_steps");
  w.unsigned_integer(explanation.allowed_steps);
  w.key("blocked_steps");
  w.unsigned_integer(explanation.blocked_steps);
  if (explanation.first_block_index) {
    w.key("first_block_index");
    w.unsigned_integer(*explanation.first_block_index);
  }
  w.key("steps");
  w.begin_array();
  for (const ExplainedStep& step : explanation.steps) {
    w.begin_object();
    w.key("index");
    w.unsigned_integer(step.index);
    w.key("tool");
    w.string(step.tool);
    if (step.args) {
      w.key("args");
      w.value(*step.args);
    }
    w.key("verdict");
    w.string(verdict_name(step.verdict));
    w.key("rules_evaluated");
    w.begin_array();
    for (const RuleEvaluation& evaluation : step.rules_evaluated) {
      w.begin_object();
      w.key("rule_id");
      w.string(evaluation.rule_id);
      w.key("rule_type");
      w.string(evaluation.rule_type);
      w.key("passed");
      w.boolean(evaluation.passed);
      w.key("explanation");
      w.string(evaluation.explanation);
      if (evaluation.context) {
        w.key("context");
        w.value(*evaluation.context);
      }
      w.end_object();
    }
    w.end_array();
    if (!step.state_snapshot.empty()) {
      w.key("state_snapshot");
      w.begin_object();
      for (const auto& [key, value] : step.state_snapshot) {
        w.key(key);
        w.string(value);
      }
      w.end_object();
    }
    w.end_object();
  }
  w.end_array();
  w.key("blocking_rules");
  w.begin_array();
  for (const std::string& id : explanation.blocking_rules) w.string(id);
  w.end_array();
  w.end_object();
}

namespace explain {
namespace {

// Writes a context object's members as JSON text, after the record's
// "explanation" member. Contexts make up much of an explanation, so each
// member's key and scalar value are put together on the stack and appended
// at once rather than piece by piece.
class ContextText {
 public:
  explicit ContextText(std::string& out) : out_(out) {}

  void begin() {
    out_.append(",\"context\":{");
    first_ = true;
  }
  void end() { out_.push_back('}'); }
  void selector(std::string_view key, const CompiledSelector& selector) {
    member(key, {});
    out_.append(selector.json);
  }
  void steps(std::string_view key, const CompiledRule& rule) {
    member(key, {});
    out_.append(rule.steps_json);
  }
  void number(std::string_view key, uint64_t value) {
    char digits[20];
    member(key, std::string_view(digits, std::to_chars(digits, std::end(digits), value).ptr));
  }
  void flag(std::string_view key, bool value) { member(key, value ? "true" : "false"); }

 private:
  // Appends `,"key":` (no comma before the first member) and `scalar`.
  // Context keys are fixed ASCII words that need no escaping.
  void member(std::string_view key, std::string_view scalar) {
    const std::string_view separator = first_ ? "\"" : ",\"";
    first_ = false;
    char text[64];
    const size_t size = separator.size() + key.size() + 2 + scalar.size();
    if (size > sizeof text) {
      out_.append(separator).append(key).append("\":").append(scalar);
      return;
    }
    char* end = std::copy(separator.begin(), separator.end(), text);
    end = std::copy(key.begin(), key.end(), end);
    end = std::copy_n("\":", 2, end);
    std::copy(scalar.begin(), scalar.end(), end);
    out_.append(text, size);
  }

  std::string& out_;
  bool first_ = true;
};

// The members of the "state_snapshot" object, kept as text and patched in
// place as counts change: one call changes one count (or adds one tool), so
// keeping the text costs a constant per call instead of rewriting every
// count at every step.
class SnapshotText {
 public:
  // Brings the text up to date after the state observed a call.
  void update(const ExplainState& state) {
    const std::vector<TraceTool>& tools = state.tools();
    while (value_at_.size() < tools.size()) add(tools[value_at_.size()].name);
    set_count(state.current_tool(), tools[state.current_tool()].count);
  }
  const std::string& text() const { return text_; }

 private:
  void add(std::string_view tool) {
    if (!text_.empty()) text_.push_back(',');
    std::string key = "calls:";
    key.append(tool);
    append_json_string(key, text_);
    text_.append(":\"");
    value_at_.push_back(text_.size());
    width_.push_back(0);
    text_.push_back('"');
  }

  void set_count(uint32_t tool, uint32_t count) {
    char digits[16];
    const size_t width = static_cast<size_t>(std::to_chars(digits, digits + sizeof digits, count).ptr - digits);
    text_.replace(value_at_[tool], width_[tool], digits, width);
    if (width == width_[tool]) return;
    // A count that gains a digit moves every later tool's count.
    for (size_t later = tool + 1; later < value_at_.size(); ++later) value_at_[later] += width - width_[tool];
    width_[tool] = width;
  }

  std::string text_;
  std::vector<size_t> value_at_;  // offset of each tool's count digits
  std::vector<size_t> width_;     // number of digits of each count
};

constexpr size_t kStepsToEstimateFrom = 64;

// `tool` is scratch space for the step's tool name, escaped once for the
// "tool" member and every message that quotes it.
void write_step(const CompiledPolicy& policy, const JudgedStep& step, const ExplainState& state,
                SnapshotText& snapshot, std::string& tool, std::string& out) {
  tool.clear();
  append_json_string_content(step.call->tool, tool);
  if (step.index > 0) out.push_back(',');
  out.append("{\"index\":");
  append_json_number(uint64_t{step.index}, out);
  out.append(",\"tool\":\"");
  out.append(tool);
  out.push_back('"');
  if (step.call->args) {
    out.append(",\"args\":");
    append_json(*step.call->args, out);
  }
  out.append(step.blocked ? ",\"verdict\":\"blocked\",\"rules_evaluated\":["
                          : ",\"verdict\":\"allowed\",\"rules_evaluated\":[");
  bool first = true;
  if (step.tools != ToolsCheck::kPassed) {
    out.append("{\"rule_id\":");
    append_json_string(tools_rule_id(step.tools), out);
    out.append(",\"rule_type\":");
    append_json_string(tools_rule_type(step.tools), out);
    out.append(",\"passed\":false,\"explanation\":\"");
    append_tools_explanation(step.tools, tool, out);
    out.append("\"}");
    first = false;
  }
  ContextText context(out);
  auto write_check = [&](const CheckOutcome& outcome) {
    if (!first) out.push_back(',');
    first = false;
    out.append(policy.rules()[outcome.rule].record_head);
    out.append(outcome.passed ? "true,\"explanation\":\"" : "false,\"explanation\":\"");
    append_explanation(policy, outcome, tool, step.index, out, TextForm::kJsonEscaped);
    out.push_back('"');
    emit_context(policy, outcome, step.index, context);
    out.push_back('}');
  };
  for (const CheckOutcome& outcome : step.checks) write_check(outcome);
  for (const CheckOutcome& outcome : step.end_failures) write_check(outcome);
  out.push_back(']');
  snapshot.update(state);
  out.append(",\"state_snapshot\":{");
  out.append(snapshot.text());
  out.append("}}");
}

// Writes the whole text into `out`. After each step, `after_step(step, out)`
// may hand on what `out` holds so far and clear it; it returns false to stop
// the writing, and then so does this.
template <class AfterStep>
bool write_text(const Policy& policy, const CompiledPolicy& compiled, std::span<const ToolCall> calls,
                std::string& out, AfterStep&& after_step) {
  // The summary counts precede the steps in the text, so a first, silent
  // replay finds them; judging is cheap next to writing the records.
  const ReplaySummary summary =
      replay(compiled, calls, [](const JudgedStep&, const ExplainState&) { return true; });

  out.append("{\"policy_name\":");
  append_json_string(policy.name, out);
  out.append(",\"policy_version\":");
  append_json_string(policy.version, out);
  out.append(",\"total_steps\":");
  append_json_number(uint64_t{calls.size()}, out);
  out.append(",\"allowed_steps\":");
  append_json_number(uint64_t{summary.allowed_steps}, out);
  out.append(",\"blocked_steps\":");
  append_json_number(uint64_t{summary.blocked_steps}, out);
  if (summary.first_block_index) {
    out.append(",\"first_block_index\":");
    append_json_number(uint64_t{*summary.first_block_index}, out);
  }
  out.append(",\"steps\":[");
  SnapshotText snapshot;
  std::string tool;
  bool stopped = false;
  replay(compiled, calls, [&](const JudgedStep& step, const ExplainState& state) {
    write_step(compiled, step, state, snapshot, tool, out);
    stopped = !after_step(step, out);
    return !stopped;
  });
  if (stopped) return false;
  out.append("],\"blocking_rules\":[");
  for (size_t n = 0; n < summary.blocking_rules.size(); ++n) {
    if (n > 0) out.push_back(',');
    append_json_string(compiled.rule_id(summary.blocking_rules[n]), out);
  }
  out.append("]}");
  return true;
}

}  // namespace

void write_explanation_json(const Policy& policy, const CompiledPolicy& compiled,
                            std::span<const ToolCall> calls, std::string& out) {
  const size_t start = out.size();
  write_text(policy, compiled, calls, out, [&](const JudgedStep& step, std::string& text) {
    // Long traces give texts of hundreds of megabytes: size the buffer once
    // from the first steps rather than copying it at every doubling.
    if (step.index + 1 == kStepsToEstimateFrom && calls.size() > 2 * kStepsToEstimateFrom) {
      const size_t per_step = (text.size() - start) / kStepsToEstimateFrom;
      text.reserve(text.size() + (calls.size() - kStepsToEstimateFrom) * (per_step + per_step / 4));
    }
    return true;
  });
}

bool write_explanation_json_pieces(const Policy& policy, const CompiledPolicy& compiled,
                                   std::span<const ToolCall> calls, size_t piece_size,
                                   const JsonPieceSink& sink) {
  // One buffer serves every piece: cleared once handed on, it keeps its
  // capacity, so its memory stays warm in the cache for the next piece.
  std::string piece;
  // A piece is handed on only between steps, where the text is ASCII
  // punctuation, so no piece ends inside a UTF-8 sequence.
  const bool written = write_text(policy, compiled, calls, piece, [&](const JudgedStep&, std::string& text) {
    if (text.size() < piece_size) return true;
    if (!sink(text)) return false;
    text.clear();
    return true;
  });
  return written && sink(piece);
}

}  // namespace explain
}  // namespace ossel
