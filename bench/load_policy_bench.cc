// Loading a large policy: about 1 MB of YAML with 12,000 rules, 2,200 alias
// groups, and selectors and member lists reused through YAML anchors.
#include <benchmark/benchmark.h>

#include <string>

#include "ossel/load_policy.h"

namespace {

std::string tool_name(int i) { return "tool_" + std::to_string(i); }

std::string large_policy() {
  std::string text = "version: \"2.1\"\nname: large\nmetadata:\n  owner: platform\n  tags: [a, b, c]\n";
  text += "tools:\n  allow:\n";
  for (int i = 0; i < 2000; ++i) text += "    - " + tool_name(i) + "\n";
  text += "  deny: [";
  for (int i = 2000; i < 2300; ++i) text += (i > 2000 ? ", " : "") + tool_name(i);
  text += "]\n  require_args:\n";
  for (int i = 0; i < 500; ++i) text += "    " + tool_name(i) + ": [path, mode, size]\n";
  text += "  arg_constraints:\n";
  for (int i = 0; i < 500; ++i) {
    text += "    " + tool_name(i) + ": {path: {pattern: \"^/srv/" + std::to_string(i) +
            "\"}, size: {max: 1048576}}\n";
  }
  text += "aliases:\n";
  for (int g = 0; g < 2000; ++g) {
    text += "  group_" + std::to_string(g) + ": ";
    text += g % 10 == 0 ? "&members_" + std::to_string(g) + " [" : "[";
    for (int m = 0; m < 8; ++m) text += (m ? ", " : "") + tool_name((g * 7 + m) % 2000);
    text += "]\n";
  }
  for (int g = 0; g < 200; ++g) {
    text += "  copy_" + std::to_string(g) + ": *members_" + std::to_string(g * 10) + "\n";
  }
  text += "sequences:\n";
  for (int r = 0; r < 12000; ++r) {
    std::string a = tool_name(r % 2000), b = tool_name((r * 13 + 1) % 2000);
    std::string anchor = "sel_" + std::to_string(r);
    switch (r % 8) {
      case 0: text += "  - {type: require, tool: " + a + "}\n"; break;
      case 1: text += "  - {type: eventually, tool: group_" + std::to_string(r % 2000) + ", within: 10}\n"; break;
      case 2:
        text += "  - type: max_calls\n    tool: &" + anchor + " {tool: " + a +
                ", args_match: {path: \"^/tmp/.*\", mode: \"w\"}}\n    max: 25\n";
        break;
      case 3: text += "  - {type: before, first: " + a + ", then: *sel_" + std::to_string(r - 1) + "}\n"; break;
      case 4: text += "  - [after, " + a + ", " + b + ", 3]\n"; break;
      case 5: text += "  - {type: never_after, trigger: *sel_" + std::to_string(r - 3) + ", forbidden: " + b + "}\n"; break;
      case 6: text += "  - {type: sequence, tools: [" + a + ", " + b + ", *sel_" + std::to_string(r - 4) + "], strict: true}\n"; break;
      default: text += "  - {type: blocklist, pattern: rm_" + std::to_string(r) + "}\n"; break;
    }
  }
  text += "on_error: block\n";
  return text;
}

void BM_LoadLargePolicy(benchmark::State& state) {
  const std::string text = large_policy();
  size_t rules = 0;
  for (auto _ : state) {
    ossel::Result<ossel::Policy> policy = ossel::load_policy(text);
    if (!policy.ok()) {
      state.SkipWithError(policy.message().c_str());
      return;
    }
    rules = policy->sequences.size();
    benchmark::DoNotOptimize(policy);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
  state.counters["bytes"] = static_cast<double>(text.size());
  state.counters["rules"] = static_cast<double>(rules);
}
BENCHMARK(BM_LoadLargePolicy)->Unit(benchmark::kMillisecond);

// Documents that must fail fast: nine levels of nine aliases each, and
// sequences nested 10,000 deep.
std::string billion_laughs() {
  std::string text = "version: 1\nmetadata:\n  l0: &l0 [lol, lol, lol, lol, lol, lol, lol, lol, lol]\n";
  for (int level = 1; level < 9; ++level) {
    std::string name = "l" + std::to_string(level);
    text += "  " + name + ": &" + name + " [";
    for (int i = 0; i < 9; ++i) text += (i ? ", *l" : "*l") + std::to_string(level - 1);
    text += "]\n";
  }
  return text;
}

std::string deep_nesting() {
  return "version: 1\nmetadata: " + std::string(10000, '[') + std::string(10000, ']') + "\n";
}

void BM_RefuseHostileDocument(benchmark::State& state, const std::string& text) {
  for (auto _ : state) {
    ossel::Result<ossel::Policy> policy = ossel::load_policy(text);
    if (policy.ok()) {
      state.SkipWithError("a hostile document loaded");
      return;
    }
    benchmark::DoNotOptimize(policy);
  }
}
BENCHMARK_CAPTURE(BM_RefuseHostileDocument, billion_laughs, billion_laughs())
    ->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_RefuseHostileDocument, nesting_10000, deep_nesting())
    ->Unit(benchmark::kMicrosecond);

}  // namespace
