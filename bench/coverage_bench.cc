// Coverage analysis over 1,000 traces of 100 calls each, against a policy
// whose rules select calls by argument patterns.
#include <benchmark/benchmark.h>

#include <random>
#include <string>
#include <vector>

#include "ossel/coverage.h"

namespace ossel {
namespace {

constexpr int kTraces = 1000;
constexpr int kCallsPerTrace = 100;

CallSelector with_args(std::string tool, CallSelector::ArgsMatch patterns) {
  return CallSelector::Matching(std::move(tool), std::move(patterns));
}

Policy bench_policy() {
  Policy policy;
  policy.version = std::string("1");
  policy.tools.allow = std::vector<std::string>{"read_file", "write_file", "search", "fetch"};
  policy.tools.deny = std::vector<std::string>{"shell", "delete_file"};
  policy.aliases.insert_or_assign("fs", {"read_file", "write_file", "delete_file"});
  const CallSelector tmp_write = with_args("write_file", {{"path", "^/tmp/\\w+\\.txt$"}});
  const CallSelector big_write = with_args("write_file", {{"size", "^\\d{4,}$"}});
  const CallSelector secret_read = with_args("read_file", {{"path", "secret|\\.env$"}});
  const CallSelector web_fetch = with_args("fetch", {{"url", "^https://"}, {"method", "^GET$"}});
  policy.sequences = {
      {SequenceRule::Require{with_args("search", {{"query", "\\S"}})}},
      {SequenceRule::Eventually{CallSelector::Plain("fs"), 10}},
      {SequenceRule::MaxCalls{big_write, 5}},
      {SequenceRule::Before{CallSelector::Plain("read_file"), tmp_write}},
      {SequenceRule::After{web_fetch, CallSelector::Plain("search"), 3}},
      {SequenceRule::NeverAfter{secret_read, web_fetch}},
      {SequenceRule::Sequence{{CallSelector::Plain("search"), web_fetch, tmp_write}, false}},
      {SequenceRule::Sequence{{secret_read, CallSelector::Plain("shell")}, true}},
      {SequenceRule::Blocklist{"rm"}},
  };
  return policy;
}

JsonValue args_for(const std::string& tool, std::mt19937& random) {
  JsonObject args;
  const unsigned n = random() % 10000;
  if (tool == "fetch") {
    args.insert_or_assign("url", JsonValue(n % 3 ? "https://example.org/" + std::to_string(n)
                                                 : "http://example.org/"));
    args.insert_or_assign("method", JsonValue(n % 2 ? "GET" : "POST"));
  } else if (tool == "search") {
    args.insert_or_assign("query", JsonValue(n % 5 ? "coverage report " + std::to_string(n) : ""));
  } else {
    args.insert_or_assign("path", JsonValue(n % 4 ? "/tmp/file" + std::to_string(n) + ".txt"
                                                  : "/home/user/secret.env"));
    args.insert_or_assign("size", JsonValue(n));
  }
  return JsonValue(std::move(args));
}

std::vector<std::vector<ToolCall>> bench_traces() {
  const char* tools[] = {"read_file", "write_file", "search", "fetch", "list_dir", "delete_file"};
  std::mt19937 random(42);
  std::vector<std::vector<ToolCall>> traces(kTraces);
  for (std::vector<ToolCall>& trace : traces) {
    for (int i = 0; i < kCallsPerTrace; ++i) {
      std::string tool = tools[random() % std::size(tools)];
      JsonValue args = args_for(tool, random);
      trace.push_back(ToolCall{std::move(tool), std::move(args)});
    }
  }
  return traces;
}

std::string analyze(const CoverageAnalyzer& analyzer,
                    const std::vector<std::vector<ToolCall>>& traces) {
  std::vector<TraceCoverage> records;
  records.reserve(traces.size());
  for (size_t i = 0; i < traces.size(); ++i) {
    records.push_back(analyzer.cover_trace("trace_" + std::to_string(i), traces[i]));
  }
  std::string out;
  append_json(analyzer.build_report(records, 80.0), out);
  return out;
}

void BM_AnalyzeThousandTraces(benchmark::State& state) {
  const Policy policy = bench_policy();
  const std::vector<std::vector<ToolCall>> traces = bench_traces();
  const CoverageAnalyzer analyzer(policy);
  for (auto _ : state) benchmark::DoNotOptimize(analyze(analyzer, traces));
  state.SetItemsProcessed(state.iterations() * kTraces * kCallsPerTrace);
}
BENCHMARK(BM_AnalyzeThousandTraces)->Unit(benchmark::kMillisecond);

// Building the analyzer compiles every distinct pattern once.
void BM_BuildAnalyzer(benchmark::State& state) {
  const Policy policy = bench_policy();
  for (auto _ : state) benchmark::DoNotOptimize(CoverageAnalyzer(policy));
}
BENCHMARK(BM_BuildAnalyzer)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace ossel
