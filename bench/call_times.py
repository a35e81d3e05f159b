"""Times explain and analyze of two or more builds side by side, alternating.

Each round runs every build once, in turn, in a child process of its own, and
each child reports its best time of several calls:

- explain: TraceExplainer.explain of one trace of 10,000 calls;
- analyze: CoverageAnalyzer.analyze of 1,000 traces of 100 calls, threshold 80.

The calls are dicts {"tool": ..., "args": {"path": ..., "n": ...}} over the
tools of examples/policy.yaml and two it does not name, the same in every
child (a fixed random seed; PYTHONHASHSEED is fixed too). Alternating rounds
spread the machine's drift over all builds; the table gives, per build, the
best and the worst of the rounds' figures.

    build/venv-3.12/bin/python bench/call_times.py DIR [DIR ...] [--rounds N]

Each DIR holds the ossel package of one build (such as build/cmake/python).
"""
import argparse
import json
import os
import pathlib
import subprocess
import sys

POLICY = pathlib.Path(__file__).resolve().parents[1] / "examples" / "policy.yaml"
REPEATS = 15

CHILD = r"""
import json, random, sys, time
sys.path.insert(0, sys.argv[1])
from ossel._native import CoverageAnalyzer, Policy, TraceExplainer

policy = Policy.from_file(sys.argv[2])
repeats = int(sys.argv[3])
tools = ["read_file", "list_dir", "search", "write_file", "send_email", "calendar", "run_shell"]
rng = random.Random(7)
def call():
    return {"tool": rng.choice(tools), "args": {"path": f"/tmp/{rng.randrange(1000)}.md", "n": rng.randrange(10)}}
traces = [[call() for _ in range(100)] for _ in range(1000)]
trace = [call() for _ in range(10_000)]
explainer, analyzer = TraceExplainer(policy), CoverageAnalyzer(policy)

def best(run):
    times = []
    for _ in range(repeats):
        start = time.perf_counter()
        run()
        times.append(time.perf_counter() - start)
    return min(times) * 1e3

print(json.dumps({"explain": best(lambda: explainer.explain(trace)),
                  "analyze": best(lambda: analyzer.analyze(traces, 80.0))}))
"""


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("packages", nargs="+", help="folders that hold an ossel package")
    parser.add_argument("--rounds", type=int, default=3)
    arguments = parser.parse_args()
    env = {**os.environ, "PYTHONHASHSEED": "0"}
    figures = {package: {"explain": [], "analyze": []} for package in arguments.packages}
    for _ in range(arguments.rounds):
        for package in arguments.packages:
            output = subprocess.run([sys.executable, "-c", CHILD, package, str(POLICY), str(REPEATS)],
                                    env=env, check=True, capture_output=True, text=True).stdout
            for name, value in json.loads(output).items():
                figures[package][name].append(value)
    print(f"{'build':<40} {'explain 10k (ms)':>18} {'analyze 1000x100 (ms)':>22}")
    for package, times in figures.items():
        cells = [f"{min(times[name]):.2f} to {max(times[name]):.2f}" for name in ("explain", "analyze")]
        print(f"{package:<40} {cells[0]:>18} {cells[1]:>22}")


if __name__ == "__main__":
    main()
