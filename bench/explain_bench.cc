// Time per call of explaining long traces against a policy with rules of
// every kind and long allow and deny lists. The cost of a call must not grow
// with the length of the trace: compare the per-call figures across sizes.
#include <benchmark/benchmark.h>

#include <malloc.h>

#include <random>
#include <string>
#include <vector>

#include "ossel/explain.h"

namespace {

// glibc serves the 7 MB text of a 1k-call trace from recycled heap memory
// but maps the 70 MB and 700 MB texts of longer traces fresh, and first
// touches of fresh pages cost about as much as writing the text. A fixed
// mapping threshold gives every size fresh memory, so the per-call figures
// compare the explainer and not the allocator's recycling.
const int kFreshOutputMemory = mallopt(M_MMAP_THRESHOLD, 1 << 20);

using ossel::CallSelector;
using ossel::Policy;
using ossel::SequenceRule;
using ossel::ToolCall;
using R = SequenceRule;

std::string numbered(const char* prefix, int n) { return prefix + std::to_string(n); }
CallSelector tool(int n) { return CallSelector::Plain(numbered("tool_", n)); }
CallSelector group(int n) { return CallSelector::Plain(numbered("group_", n)); }

// About thirty rules of all kinds over the first forty tools and five alias
// groups of ten members; 200 allowed and 200 denied names.
Policy bench_policy() {
  Policy p;
  p.version = "1.0";
  p.name = "bench";
  p.tools.allow.emplace();
  p.tools.deny.emplace();
  for (int n = 0; n < 200; ++n) {
    p.tools.allow->push_back(numbered("tool_", n));
    p.tools.deny->push_back(numbered("denied_", n));
  }
  for (int g = 0; g < 5; ++g) {
    std::vector<std::string> members;
    for (int m = 0; m < 10; ++m) members.push_back(numbered("tool_", g * 10 + m));
    p.aliases.insert_or_assign(numbered("group_", g), std::move(members));
  }
  auto add = [&](R::Body body) { p.sequences.push_back({std::move(body)}); };
  for (int k = 0; k < 3; ++k) add(R::Require{tool(k)});
  for (int k = 0; k < 4; ++k) add(R::Eventually{k % 2 ? group(k) : tool(40 + k), 50u * k});
  for (int k = 0; k < 4; ++k) add(R::MaxCalls{k % 2 ? group(k) : tool(k), 1000u * (k + 1)});
  for (int k = 0; k < 4; ++k) add(R::Before{tool(k + 5), k % 2 ? group(k + 1) : tool(k + 20)});
  for (int k = 0; k < 5; ++k) add(R::After{tool(k + 10), k % 2 ? group(k % 5) : tool(k + 30), 3u + k});
  for (int k = 0; k < 3; ++k) add(R::NeverAfter{tool(k + 15), tool(k + 35)});
  for (int k = 0; k < 4; ++k) {
    std::vector<CallSelector> steps;
    for (int s = 0; s < 4; ++s) steps.push_back(tool(k * 4 + s));
    add(R::Sequence{std::move(steps), k % 2 == 0});
  }
  for (const char* pattern : {"denied_1", "tool_4", "exec"}) add(R::Blocklist{pattern});
  return p;
}

// Calls of sixty allowed tools, with an occasional denied or unknown name.
std::vector<ToolCall> bench_trace(size_t length) {
  std::mt19937 rng(42);
  std::uniform_int_distribution<int> pick(0, 99);
  std::vector<ToolCall> calls;
  calls.reserve(length);
  for (size_t i = 0; i < length; ++i) {
    int roll = pick(rng);
    std::string name = roll < 2 ? numbered("denied_", roll) : roll < 4 ? "shell_exec" : numbered("tool_", roll % 60);
    calls.push_back({std::move(name), std::nullopt});
  }
  return calls;
}

void set_counters(benchmark::State& state, size_t length, size_t bytes) {
  state.counters["ns_per_call"] = benchmark::Counter(
      static_cast<double>(length) * 1e-9, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
  state.counters["MB_out"] = static_cast<double>(bytes) / 1e6;
}

void BM_ExplainJson(benchmark::State& state) {
  const size_t length = static_cast<size_t>(state.range(0));
  const ossel::TraceExplainer explainer(bench_policy());
  const std::vector<ToolCall> calls = bench_trace(length);
  size_t bytes = 0;
  for (auto _ : state) {
    std::string text = explainer.explain_json(calls);
    bytes = text.size();
    benchmark::DoNotOptimize(text.data());
  }
  set_counters(state, length, bytes);
}
BENCHMARK(BM_ExplainJson)->Arg(1000)->Arg(10000)->Arg(100000)->Unit(benchmark::kMillisecond);

// The same text handed on in pieces of 256 KiB, as the Python module takes
// it: the piece buffer is reused, so this is the writer's cost without the
// page faults of a text that is held whole.
void BM_ExplainJsonPieces(benchmark::State& state) {
  const size_t length = static_cast<size_t>(state.range(0));
  const ossel::TraceExplainer explainer(bench_policy());
  const std::vector<ToolCall> calls = bench_trace(length);
  size_t bytes = 0;
  for (auto _ : state) {
    bytes = 0;
    explainer.explain_json_pieces(calls, 256 * 1024, [&](std::string_view piece) {
      bytes += piece.size();
      benchmark::DoNotOptimize(piece.data());
      return true;
    });
  }
  set_counters(state, length, bytes);
}
BENCHMARK(BM_ExplainJsonPieces)->Arg(1000)->Arg(10000)->Arg(100000)->Unit(benchmark::kMillisecond);

// The record tree holds a context object per check, several hundred bytes
// each, so it is measured on shorter traces only.
void BM_ExplainRecords(benchmark::State& state) {
  const size_t length = static_cast<size_t>(state.range(0));
  const ossel::TraceExplainer explainer(bench_policy());
  const std::vector<ToolCall> calls = bench_trace(length);
  for (auto _ : state) {
    ossel::TraceExplanation result = explainer.explain(calls);
    benchmark::DoNotOptimize(result.steps.data());
  }
  set_counters(state, length, 0);
}
BENCHMARK(BM_ExplainRecords)->Arg(1000)->Arg(10000)->Unit(benchmark::kMillisecond);

}  // namespace
