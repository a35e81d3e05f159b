"""Time and memory of TraceExplainer.explain on long traces, seen from Python.

For 1k, 10k and 100k calls of a policy with 30 rules of every kind, allow and
deny lists of 200 tools and 10 alias groups of 5, calls drawn from 90 tools,
prints:

- explain: the best time of explainer.explain(trace);
- floor: the best time of json.dumps(trace) plus decoding the result's UTF-8
  bytes to a str, measured in the same process, interleaved with explain;
- ratio: explain / floor;
- result: the result's size as UTF-8 text and as the str object in memory
  (a str that holds a character above U+00FF, such as the check mark of the
  messages, takes two bytes per character);
- peak: the resident memory that one explain adds to its process at its
  highest (peak RSS minus baseline). The baseline is the child's RSS after it
  has built the trace and the explainer, right before explain; the peak is
  the child's high-water RSS, reset at that moment, read after explain returns.

Each size runs in a child process of its own, so that no size inherits the
heap of another, and with glibc's block thresholds fixed (fresh_large_blocks).
`--million` explains instead one trace of 1,000,000 calls of 10 tools and
reports its time, sizes and peak. Exits 1 when a bound is not met: ratio at
most 2.0 at every size, peak over baseline at most 2.2 times the UTF-8 result
at 100k calls.

    PYTHONPATH=build/cmake/python python3.12 bench/explain_memory.py [--million] [--package DIR]

DIR (or the environment variable OSSEL_PACKAGE_ROOT) names a folder that holds
the ossel package, for running against a build tree without PYTHONPATH.
"""
import argparse
import ctypes
import gc
import json
import os
import random
import subprocess
import sys
import tempfile
import time

SIZES = (1_000, 10_000, 100_000)
REPEATS = {1_000: 21, 10_000: 7, 100_000: 3}
PEAK_BOUND = 2.2  # peak over baseline, in UTF-8 result sizes
RATIO_BOUND = 2.0


def policy_yaml():
    """30 rules of every kind over tool_0..tool_89 and ten groups of five."""
    t = lambda n: f"tool_{n}"
    g = lambda n: f"group_{n}"
    rules = []
    rules += [{"type": "require", "tool": t(k)} for k in range(3)]
    rules += [{"type": "eventually", "tool": g(k) if k % 2 else t(40 + k), "within": 50 * k} for k in range(4)]
    rules += [{"type": "max_calls", "tool": g(k) if k % 2 else t(k), "max": 1000 * (k + 1)} for k in range(4)]
    rules += [{"type": "before", "first": t(k + 5), "then": g(k + 1) if k % 2 else t(k + 20)} for k in range(4)]
    rules += [{"type": "after", "trigger": t(k + 10), "then": g(k) if k % 2 else t(k + 30), "within": 3 + k}
              for k in range(5)]
    rules += [{"type": "never_after", "trigger": t(k + 15), "forbidden": t(k + 60)} for k in range(3)]
    rules += [{"type": "sequence", "tools": [t(k * 4 + s) for s in range(4)], "strict": k % 2 == 0}
              for k in range(4)]
    rules += [{"type": "blocklist", "pattern": p} for p in ("denied_1", "tool_4", "exec")]
    assert len(rules) == 30
    policy = {
        "version": "1.0",
        "name": "bench",
        "tools": {"allow": [t(n) for n in range(200)], "deny": [f"denied_{n}" for n in range(200)]},
        "aliases": {g(k): [t(k * 5 + m) for m in range(5)] for k in range(10)},
        "sequences": rules,
    }
    return json.dumps(policy)  # JSON is YAML


def make_trace(calls, tools):
    rng = random.Random(13)
    return [{"tool": f"tool_{rng.randrange(tools)}", "args": {"path": f"/srv/data/{i % 977}.txt", "limit": i % 50}}
            for i in range(calls)]


def status_kb(field):
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    raise RuntimeError(f"no {field} in /proc/self/status")


def reset_peak():
    """Resets the high-water RSS to the current RSS (Linux 4.0 and later)."""
    with open("/proc/self/clear_refs", "w") as clear_refs:
        clear_refs.write("5")


def fresh_large_blocks():
    """Gives every block of 1 MiB or more fresh memory, as explain_bench does.

    glibc adapts its mmap threshold to the largest block freed (up to 32 MiB),
    so whether the 1k floor's 15 MB str is faulted in fresh or found warm turns
    on a few bytes of difference between blocks, and the floor halves or
    doubles with the layout of the run. A fixed threshold treats explain and
    the floor alike at every size; a high trim threshold keeps freed smaller
    blocks warm, as glibc does on its own once it has adapted.
    """
    try:
        libc = ctypes.CDLL(None)
        libc.mallopt(-3, 1 << 20)  # M_MMAP_THRESHOLD
        libc.mallopt(-1, 64 << 20)  # M_TRIM_THRESHOLD
    except (OSError, AttributeError):
        pass  # not glibc: its allocator decides


def child(calls, tools, timed):
    fresh_large_blocks()
    from ossel._native import Policy, TraceExplainer

    with tempfile.NamedTemporaryFile("w", suffix=".yaml", delete=False) as f:
        f.write(policy_yaml())
    try:
        explainer = TraceExplainer(Policy.from_file(f.name))
    finally:
        os.unlink(f.name)
    trace = make_trace(calls, tools)
    gc.collect()
    gc.disable()

    baseline = status_kb("VmRSS")
    reset_peak()
    start = time.perf_counter()
    result = explainer.explain(trace)
    first_time = time.perf_counter() - start
    peak = status_kb("VmHWM")
    report = {
        "calls": calls,
        "baseline_kb": baseline,
        "peak_kb": peak,
        "first_time": first_time,
        "chars": len(result),
        "str_bytes": sys.getsizeof(result),
    }
    # In slices: the whole text as bytes next to the str would double the
    # child's memory after the measurement.
    slice_chars = 1 << 24
    report["utf8_bytes"] = sum(len(result[n:n + slice_chars].encode()) for n in range(0, len(result), slice_chars))
    encoded = result.encode() if timed else None
    del result

    if timed:
        explain_times, floor_times = [], []
        for _ in range(REPEATS[calls]):
            start = time.perf_counter()
            out = explainer.explain(trace)
            explain_times.append(time.perf_counter() - start)
            del out
            start = time.perf_counter()
            json.dumps(trace)
            out = encoded.decode()
            floor_times.append(time.perf_counter() - start)
            del out
        report["explain"] = min(explain_times)
        report["floor"] = min(floor_times)
    print(json.dumps(report))


def run_child(calls, tools, timed, package):
    command = [sys.executable, os.path.abspath(__file__), "--child", str(calls), str(tools)]
    if timed:
        command.append("--timed")
    env = dict(os.environ)
    if package:
        env["OSSEL_PACKAGE_ROOT"] = package
    done = subprocess.run(command, capture_output=True, text=True, env=env)
    if done.returncode != 0:
        sys.exit(f"the child for {calls} calls failed:\n{done.stderr}")
    return json.loads(done.stdout.splitlines()[-1])


def mb(n_bytes):
    return f"{n_bytes / 1e6:.1f} MB"


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--million", action="store_true", help="explain one trace of 1,000,000 calls of 10 tools")
    parser.add_argument("--package", help="folder that holds the ossel package")
    parser.add_argument("--child", nargs=2, type=int, help=argparse.SUPPRESS)
    parser.add_argument("--timed", action="store_true", help=argparse.SUPPRESS)
    args = parser.parse_args()

    package = args.package or os.environ.get("OSSEL_PACKAGE_ROOT")
    if args.child:
        if package:
            sys.path.insert(0, package)
        child(*args.child, args.timed)
        return 0

    if args.million:
        r = run_child(1_000_000, 10, False, package)
        added = (r["peak_kb"] - r["baseline_kb"]) * 1024
        print(f"1,000,000 calls of 10 tools: explain {r['first_time']:.2f} s, result {mb(r['utf8_bytes'])} UTF-8 "
              f"({mb(r['str_bytes'])} as str), baseline {mb(r['baseline_kb'] * 1024)}, "
              f"peak {mb(r['peak_kb'] * 1024)} (+{mb(added)} = {added / r['utf8_bytes']:.2f} x result)")
        return 0

    print(f"{'calls':>7} {'explain':>10} {'floor':>10} {'ratio':>6} {'result UTF-8':>13} {'as str':>11} "
          f"{'baseline':>10} {'peak':>10} {'peak-base':>10} {'x result':>8}")
    ok = True
    for calls in SIZES:
        r = run_child(calls, 90, True, package)
        ratio = r["explain"] / r["floor"]
        added = (r["peak_kb"] - r["baseline_kb"]) * 1024
        times = added / r["utf8_bytes"]
        ok &= ratio <= RATIO_BOUND and (calls < 100_000 or times <= PEAK_BOUND)
        print(f"{calls:>7} {r['explain'] * 1e3:>8.1f}ms {r['floor'] * 1e3:>8.1f}ms {ratio:>6.2f} "
              f"{mb(r['utf8_bytes']):>13} {mb(r['str_bytes']):>11} {mb(r['baseline_kb'] * 1024):>10} "
              f"{mb(r['peak_kb'] * 1024):>10} {mb(added):>10} {times:>8.2f}")
    print(f"bounds: ratio <= {RATIO_BOUND} at every size, peak-base <= {PEAK_BOUND} x UTF-8 result at 100k: "
          + ("met" if ok else "NOT met"))
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
