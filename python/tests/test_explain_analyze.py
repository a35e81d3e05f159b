"""TraceExplainer and CoverageAnalyzer as Python code drives them: the sequences
they accept, independence from the Policy object, re-entrant use, errors, and
memory that stays flat over many calls and near the result's size. What the
engine answers is checked by the C++ tests and the guide's examples."""
import collections
import collections.abc
import dataclasses
import gc
import json
import os
import subprocess
import sys
import types

import pytest

import ossel._native as native
from conftest import bounds_time_or_memory

POLICY = """\
version: "1.0"
name: demo
tools:
  deny: [delete_file, shell]
aliases:
  group: [a, b]
sequences:
  - type: before
    first: read_file
    then: write_file
"""
TRACE = [{"tool": "read_file", "args": {"path": "a.txt"}}, {"tool": "delete_file"},
         {"name": "write_file", "params": {"x": 1.5}}]


@pytest.fixture
def policy(load_policy):
    return load_policy(POLICY)


@pytest.fixture
def explainer(policy):
    return native.TraceExplainer(policy)


@pytest.fixture
def analyzer(policy):
    return native.CoverageAnalyzer(policy)


def test_any_non_text_sequence_is_read_and_each_object_keeps_its_own_policy(load_policy):
    class Calls(collections.abc.Sequence):
        def __len__(self):
            raise RuntimeError("the length is only a hint")

        def __getitem__(self, index):
            return TRACE[index]

    explainer, analyzer = native.TraceExplainer(load_policy(POLICY)), native.CoverageAnalyzer(load_policy(POLICY))
    gc.collect()
    expected = explainer.explain(TRACE)
    assert json.loads(expected)["blocking_rules"] == ["deny_list"]
    for traces in (tuple(TRACE), Calls(), collections.deque(TRACE)):
        assert explainer.explain(traces) == expected
    # No state is kept from one call to the next.
    first = analyzer.analyze([TRACE], 1.0)
    assert json.loads(analyzer.analyze([], 1.0))["tool_coverage"]["tools_seen_in_traces"] == 0
    assert analyzer.analyze([Calls()], 1.0) == first


def test_unconvertible_calls_give_no_report_and_no_note(analyzer):
    with pytest.raises(ValueError) as raised:
        analyzer.analyze([[{"tool": "a"}], [{"args": object()}]], 80.0)
    assert str(raised.value) == "Invalid trace format: unsupported type object"
    assert not hasattr(raised.value, "__notes__")


def test_explain_and_analyze_called_again_from_python_code_they_run(explainer, analyzer):
    inner = []

    class ReentrantCall(collections.abc.Mapping):
        def __getitem__(self, key):
            return {"tool": "write_file"}[key]

        def __iter__(self):
            return iter(["tool"])

        def __len__(self):
            return 1

        def keys(self):
            inner.append(explainer.explain(TRACE))
            return ["tool"]

    class ReentrantTrace(collections.abc.Sequence):
        def __len__(self):
            return 1

        def __getitem__(self, index):
            if index > 0:
                raise IndexError(index)
            inner.append(analyzer.analyze([[{"tool": "zzz"}]], 0.0))
            return {"tool": "a"}

    outer = json.loads(explainer.explain([{"tool": "read_file"}, ReentrantCall()]))
    assert inner == [explainer.explain(TRACE)]
    assert [step["tool"] for step in outer["steps"]] == ["read_file", "write_file"]
    coverage = json.loads(analyzer.analyze([ReentrantTrace()], 0.0))["tool_coverage"]
    assert json.loads(inner[1])["tool_coverage"]["unexpected_tools"] == ["zzz"]
    assert (coverage["unexpected_tools"], coverage["tools_seen_in_traces"]) == ([], 1)


def test_calls_nested_through_python_code_end_before_the_stack_does(explainer, tmp_path):
    """Each round of conversion and Python code nests native frames that the
    interpreter does not count; running out of stack must be a RecursionError."""
    client = native.OsselClient(str(tmp_path / "trace.jsonl"))

    class Again(collections.abc.Sequence):
        def __len__(self):
            value = Again()
            for _ in range(250):
                value = [value]
            client.record_trace(value)

        def __getitem__(self, index):
            raise IndexError(index)

    class Call(dict):
        def keys(self):
            explainer.explain([Call()])

    for run in (lambda: client.record_trace(Again()), lambda: explainer.explain([Call()])):
        with pytest.raises(ValueError, match="RecursionError: maximum recursion depth exceeded"):
            run()
    assert (tmp_path / "trace.jsonl").read_text() == ""


def resident_kib():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * (os.sysconf("SC_PAGESIZE") // 1024)


@dataclasses.dataclass
class Call:
    tool: object
    args: object


@bounds_time_or_memory
def test_repeated_calls_keep_memory_flat(explainer, analyzer):
    """Every reference taken while converting and explaining is released."""
    call = {"tool": "write_file", "args": {"query": "x" * 40, "ratio": 0.5, "tags": ("a", "b"), "set": {7},
                                       "proxy": types.MappingProxyType({"p": [1, 2]}), "point": Call(1, range(3))},
            "extra": object()}
    failing = [{"args": {"ok": [1, 2], "bad": {"k": b"x"}}}]

    def run(times):
        for _ in range(times):
            explainer.explain([call])
            analyzer.analyze([[call]], 50.0)
            with pytest.raises(ValueError):
                explainer.explain(failing)

    run(1000)
    before = resident_kib()
    run(20000)
    assert resident_kib() - before < 1024


MEMORY_POLICY = "\n".join(
    ['version: "1"', "name: memory", "sequences:", "  - {type: before, first: t0, then: t1}"]
    + [f"  - {{type: max_calls, tool: t{k}, max: 100000}}" for k in range(10)]
    + [f"  - {{type: eventually, tool: t{k}, within: 5}}" for k in range(10)]
    + [f"  - {{type: never_after, trigger: t{k}, forbidden: never_{k}}}" for k in range(10)]
    + [f"  - {{type: sequence, tools: [t{k}, t{k + 1}, t{k + 2}]}}" for k in range(5)]) + "\n"

# Run apart, so that the peak belongs to this one explain: the baseline is the
# resident size once the trace and the explainer exist, the peak the high-water
# mark from then until the result is back. The text, handed on in many
# pieces, must come out with every step.
MEASURE_PEAK = """\
import sys
sys.path.insert(0, sys.argv[1])
from ossel._native import Policy, TraceExplainer

def status_kib(field):
    with open("/proc/self/status") as status:
        return next(int(line.split()[1]) for line in status if line.startswith(field + ":"))

explainer = TraceExplainer(Policy.from_file(sys.argv[2]))
trace = [{"tool": f"t{i % 10}", "args": {"i": i}} for i in range(6000)]
baseline = status_kib("VmRSS")
with open("/proc/self/clear_refs", "w") as clear_refs:
    clear_refs.write("5")  # the high-water mark starts again from here
result = explainer.explain(trace)
peak = status_kib("VmHWM") - baseline
assert result.count('{"index":') == len(trace) and result.endswith("]}")
print(peak, len(result.encode()), max(result) > "\\xff")
"""


@bounds_time_or_memory
@pytest.mark.skipif(not os.path.exists("/proc/self/clear_refs"), reason="needs Linux's resettable peak RSS")
def test_explaining_holds_the_result_and_little_else(tmp_path):
    (tmp_path / "policy.yaml").write_text(MEMORY_POLICY)
    package_root = os.path.dirname(os.path.dirname(native.__file__))
    out = subprocess.run([sys.executable, "-c", MEASURE_PEAK, package_root, str(tmp_path / "policy.yaml")],
                         capture_output=True, text=True, check=True).stdout.split()
    added_kib, text_bytes, two_bytes_per_character = int(out[0]), int(out[1]), out[2] == "True"
    # The messages' check marks make a str of two bytes per character: the
    # str alone is twice the UTF-8 text. Holding the whole text next to it
    # would make it three times.
    assert two_bytes_per_character and text_bytes > 30_000_000
    assert added_kib * 1024 < 2.25 * text_bytes
