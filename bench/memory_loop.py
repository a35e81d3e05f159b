"""Calls explain and analyze many times in one process and reports the
resident memory along the way; it must stay flat once the first calls have
warmed the caches. Exits 1 when it grows by more than the allowed margin.

    PYTHONPATH=build/cmake/python build/venv-3.12/bin/python bench/memory_loop.py [calls] [policy.yaml]
"""
import json
import os
import pathlib
import resource
import sys

from ossel._native import CoverageAnalyzer, Policy, TraceExplainer

ROOT = pathlib.Path(__file__).resolve().parent.parent
PAGE = os.sysconf("SC_PAGE_SIZE")
ALLOWED_GROWTH_KB = 1024


def resident_kb():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * PAGE // 1024


def main(argv):
    calls = int(argv[0]) if argv else 100_000
    policy_path = argv[1] if len(argv) > 1 else str(ROOT / "examples" / "policy.yaml")
    traces = [json.loads(path.read_text()) for path in sorted((ROOT / "examples" / "traces").glob("*.json"))]
    # Conversion errors travel the failure path; they must not leak either.
    bad_trace = traces[0] + [{"tool": "x", "args": b"bytes"}]

    policy = Policy.from_file(policy_path)
    explainer = TraceExplainer(policy)
    analyzer = CoverageAnalyzer(policy)
    warm_up = max(calls // 20, 1)
    samples = []
    for i in range(calls):
        explainer.explain(traces[i % len(traces)])
        analyzer.analyze(traces, 80.0)
        if i % 100 == 0:
            for call in (lambda: explainer.explain(bad_trace), lambda: analyzer.analyze([bad_trace], 1.0)):
                try:
                    call()
                except ValueError:
                    pass
        if i + 1 == warm_up or (i + 1) % (calls // 10 or 1) == 0:
            samples.append((i + 1, resident_kb()))

    print(f"{calls} explain + {calls} analyze calls ({sum(map(len, traces))} calls in {len(traces)} traces)")
    for done, kb in samples:
        print(f"  after {done:>7} iterations: resident {kb} kB")
    growth = samples[-1][1] - samples[0][1]
    peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    print(f"growth after warm-up: {growth} kB (peak resident {peak} kB)")
    return 0 if growth <= ALLOWED_GROWTH_KB else 1


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
