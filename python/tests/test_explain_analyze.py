"""TraceExplainer and CoverageAnalyzer end to end: an explanation with blocked
calls, a coverage report, independence from the Policy object, re-entrant
use, and memory that stays flat over many calls."""
import collections
import collections.abc
import dataclasses
import gc
import json
import os
import types

import pytest

import ossel._native as native
from conftest import bounds_time_or_memory

POLICY = """\
version: "1.0"
name: demo
tools:
  allow: [read_file, write_file]
  deny: [delete_file]
sequences:
  - type: before
    first: read_file
    then: write_file
"""
COVERAGE_POLICY = """\
version: "1"
name: coverage
tools:
  deny: [shell]
aliases:
  group: [a, b]
sequences:
  - type: require
    tool: a
"""
GAP = {"tool": "shell", "reason": "Tool is in deny list but never appeared in test traces", "severity": "high"}


@pytest.fixture
def policy(load_policy):
    return load_policy(POLICY)


@pytest.fixture
def explainer(policy):
    return native.TraceExplainer(policy)


def before_rule(explanation, first_seen=True, is_then=False):
    return {"rule_id": "before_read_file_then_write_file", "rule_type": "before", "passed": True,
            "explanation": explanation,
            "context": {"first": "read_file", "then": "write_file", "first_seen": first_seen,
                        "is_then_call": is_then}}


TRACE = [{"tool": "read_file", "args": {"path": "a.txt"}}, {"tool": "delete_file"},
         {"name": "write_file", "params": {"x": 1.5}}]
EXPECTED = {
    "policy_name": "demo", "policy_version": "1.0",
    "total_steps": 3, "allowed_steps": 2, "blocked_steps": 1, "first_block_index": 1,
    "steps": [
        {"index": 0, "tool": "read_file", "args": {"path": "a.txt"}, "verdict": "allowed",
         "rules_evaluated": [before_rule("Not 'write_file', rule not applicable", first_seen=False)],
         "state_snapshot": {"calls:read_file": "1"}},
        {"index": 1, "tool": "delete_file", "verdict": "blocked",
         "rules_evaluated": [{"rule_id": "deny_list", "rule_type": "deny", "passed": False,
                              "explanation": "Tool 'delete_file' is in deny list"},
                             before_rule("Not 'write_file', rule not applicable")],
         "state_snapshot": {"calls:read_file": "1", "calls:delete_file": "1"}},
        {"index": 2, "tool": "write_file", "args": {"x": 1.5}, "verdict": "allowed",
         "rules_evaluated": [before_rule("'read_file' was called first ✓", is_then=True)],
         "state_snapshot": {"calls:read_file": "1", "calls:delete_file": "1", "calls:write_file": "1"}},
    ],
    "blocking_rules": ["deny_list"],
}


def test_explains_a_trace_with_blocked_calls(explainer):
    text = explainer.explain(TRACE)
    assert json.loads(text) == EXPECTED
    top = json.loads(text, object_pairs_hook=lambda pairs: pairs)
    assert [key for key, _ in top] == list(EXPECTED)
    assert [key for key, _ in dict(top)["steps"][0]] == ["index", "tool", "args", "verdict", "rules_evaluated",
                                                       "state_snapshot"]
    assert explainer.explain([]) == ('{"policy_name":"demo","policy_version":"1.0","total_steps":0,'
                                     '"allowed_steps":0,"blocked_steps":0,"steps":[],"blocking_rules":[]}')


def test_explain_accepts_any_non_text_sequence_and_keeps_its_own_policy(policy):
    class Calls(collections.abc.Sequence):
        def __len__(self):
            raise RuntimeError("the length is only a hint")

        def __getitem__(self, index):
            return TRACE[index]

    explainer, other = native.TraceExplainer(policy), native.TraceExplainer(policy)
    del policy
    gc.collect()
    for traces in (tuple(TRACE), Calls(), collections.deque(TRACE)):
        assert json.loads(explainer.explain(traces)) == EXPECTED
    assert explainer.explain([{"tool": "delete_file"}]) == other.explain([{"tool": "delete_file"}])


def test_explain_called_again_from_inside_a_conversion(explainer):
    inner = []

    class ReentrantCall(collections.abc.Mapping):
        def __getitem__(self, key):
            return {"tool": "write_file"}[key]

        def __iter__(self):
            return iter(["tool"])

        def __len__(self):
            inner.append(explainer.explain(TRACE))
            return 1

        def keys(self):
            inner.append(explainer.explain(TRACE))
            return ["tool"]

    outer = json.loads(explainer.explain([{"tool": "read_file"}, ReentrantCall()]))
    assert inner and all(json.loads(text) == EXPECTED for text in inner)
    assert [step["tool"] for step in outer["steps"]] == ["read_file", "write_file"]
    assert outer["blocked_steps"] == 0


@pytest.fixture
def analyzer(load_policy):
    return native.CoverageAnalyzer(load_policy(COVERAGE_POLICY))


def report(text):
    parsed = json.loads(text)
    for key in ("unseen_tools", "unexpected_tools"):
        parsed["tool_coverage"][key] = sorted(parsed["tool_coverage"][key])
    return parsed


def test_coverage_reports(analyzer):
    text = analyzer.analyze([[{"tool": "a"}]], 80.0)
    assert report(text) == {
        "tool_coverage": {"total_tools_in_policy": 4, "tools_seen_in_traces": 1, "coverage_pct": 25.0,
                          "unseen_tools": ["b", "shell"], "unexpected_tools": []},
        "rule_coverage": {"total_rules": 1, "rules_triggered": 1, "coverage_pct": 100.0, "untriggered_rules": []},
        "high_risk_gaps": [GAP], "policy_violations": [], "policy_warnings": [],
        "overall_coverage_pct": 62.5, "meets_threshold": False, "threshold": 80.0,
    }
    assert text.startswith('{"tool_coverage":{"total_tools_in_policy":4,"tools_seen_in_traces":1,"coverage_pct":25.0,')
    assert text.endswith(',"policy_violations":[],"policy_warnings":[],"overall_coverage_pct":62.5,'
                         '"meets_threshold":false,"threshold":80.0}')
    none = report(analyzer.analyze([], 80.0))
    assert none["tool_coverage"]["unseen_tools"] == ["a", "b", "group", "shell"]
    assert (none["rule_coverage"]["untriggered_rules"], none["overall_coverage_pct"]) == (["require_a"], 0.0)
    # An empty trace still engages the require rule.
    empty = report(analyzer.analyze([[]], 50.0))
    assert (empty["rule_coverage"]["rules_triggered"], empty["overall_coverage_pct"], empty["meets_threshold"]) == (
        1, 50.0, True)
    combined = report(analyzer.analyze([[{"tool": "a"}], ({"name": "shell"},), [{"tool": "zzz"}]], 0.0))
    assert combined["tool_coverage"]["tools_seen_in_traces"] == 2
    assert combined["tool_coverage"]["unseen_tools"] == ["b"]
    assert combined["tool_coverage"]["unexpected_tools"] == ["zzz"]
    assert (combined["high_risk_gaps"], combined["meets_threshold"]) == ([], True)


def test_unconvertible_calls_give_no_report_and_no_note(analyzer):
    for traces, message in [
        ([[{"tool": "a"}], [5]], "unexpected type: 'int' object is not an instance of 'Mapping'"),
        ([[{"tool": "a", "tool_name": "b", "tool_name ": 1}, {"args": object()}]], "unsupported type object"),
        ([[{1: "a"}]], "dict keys must have type str"),
        ([[{"tool": "a"}], [{"args": object()}]], "unsupported type object"),  # in a later trace
    ]:
        with pytest.raises(ValueError) as raised:
            analyzer.analyze(traces, 80.0)
        assert str(raised.value) == "Invalid trace format: " + message
        assert not hasattr(raised.value, "__notes__")


def test_analyzers_keep_their_own_policy_and_no_state_between_calls(load_policy):
    analyzer = native.CoverageAnalyzer(load_policy(COVERAGE_POLICY))
    gc.collect()
    trace = [{"tool": "a"}, {"tool": "b"}, {"tool": "group"}]
    first = analyzer.analyze([trace], 1.0)
    assert report(analyzer.analyze([], 1.0))["tool_coverage"]["tools_seen_in_traces"] == 0
    assert analyzer.analyze([trace], 1.0) == first


def test_analyze_called_again_from_python_code_it_runs(analyzer):
    inner = []

    class ReentrantTrace(collections.abc.Sequence):
        def __len__(self):
            return 1

        def __getitem__(self, index):
            if index > 0:
                raise IndexError(index)
            inner.append(analyzer.analyze([[{"tool": "zzz"}]], 0.0))
            return {"tool": "a"}

    outer = report(analyzer.analyze([ReentrantTrace()], 0.0))
    assert inner and report(inner[0])["tool_coverage"]["unexpected_tools"] == ["zzz"]
    assert (outer["tool_coverage"]["unexpected_tools"], outer["tool_coverage"]["tools_seen_in_traces"]) == ([], 1)


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
