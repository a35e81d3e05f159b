"""CoverageAnalyzer end to end: the report over a set of traces, the order in
which traces and threshold are read, and the conversion errors of calls."""
import collections.abc
import gc
import json
import math

import pytest

import ossel._native as native
from policy_files import load_policy

POLICY = """\
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
GAP = {"tool": "shell", "reason": "Tool is in deny list but never appeared in test traces",
       "severity": "high"}


@pytest.fixture
def policy(tmp_path):
    return load_policy(tmp_path, POLICY)


@pytest.fixture
def analyzer(policy):
    return native.CoverageAnalyzer(policy)


def report(text):
    parsed = json.loads(text)
    for key in ("unseen_tools", "unexpected_tools"):
        parsed["tool_coverage"][key] = sorted(parsed["tool_coverage"][key])
    return parsed


def test_report_over_one_trace(analyzer):
    text = analyzer.analyze([[{"tool": "a"}]], 80.0)
    assert report(text) == {
        "tool_coverage": {"total_tools_in_policy": 4, "tools_seen_in_traces": 1, "coverage_pct": 25.0,
                          "unseen_tools": ["b", "shell"], "unexpected_tools": []},
        "rule_coverage": {"total_rules": 1, "rules_triggered": 1, "coverage_pct": 100.0,
                          "untriggered_rules": []},
        "high_risk_gaps": [GAP],
        "policy_violations": [],
        "policy_warnings": [],
        "overall_coverage_pct": 62.5,
        "meets_threshold": False,
        "threshold": 80.0,
    }
    assert text.startswith('{"tool_coverage":{"total_tools_in_policy":4,"tools_seen_in_traces":1,'
                           '"coverage_pct":25.0,')
    assert text.endswith(',"policy_violations":[],"policy_warnings":[],"overall_coverage_pct":62.5,'
                         '"meets_threshold":false,"threshold":80.0}')


def test_report_over_no_traces_and_over_one_empty_trace(analyzer):
    none = report(analyzer.analyze([], 80.0))
    assert none["tool_coverage"]["unseen_tools"] == ["a", "b", "group", "shell"]
    assert none["rule_coverage"]["untriggered_rules"] == ["require_a"]
    assert none["overall_coverage_pct"] == 0.0

    # An empty trace still engages the require rule; the int 50 is read as 50.0.
    text = analyzer.analyze([[]], 50)
    empty = report(text)
    assert empty["rule_coverage"]["rules_triggered"] == 1
    assert empty["overall_coverage_pct"] == 50.0
    assert empty["meets_threshold"] is True
    assert text.endswith('"threshold":50.0}')


def test_traces_are_combined_across_the_whole_set(analyzer):
    parsed = report(analyzer.analyze([[{"tool": "a"}], ({"name": "shell"},), [{"tool": "zzz"}]], 0.0))
    assert parsed["tool_coverage"]["tools_seen_in_traces"] == 2
    assert parsed["tool_coverage"]["unseen_tools"] == ["b"]
    assert parsed["tool_coverage"]["unexpected_tools"] == ["zzz"]
    assert parsed["high_risk_gaps"] == []
    assert parsed["meets_threshold"] is True


class Float:
    def __float__(self):
        return 12.5


class FailsAfterFirst(list):
    """Yields its first element, then its iteration raises."""

    def __iter__(self):
        yield from self[:1]
        raise KeyError("iteration failed")


@pytest.mark.parametrize(
    "threshold, written",
    [(math.nan, "null"), (math.inf, "null"), (-0.0, "-0.0"), (1e16, "1e+16"), (True, "1.0"),
     (Float(), "12.5")],
    ids=["nan", "inf", "negative zero", "large", "bool", "__float__"],
)
def test_threshold_is_any_float_convertible_value(analyzer, threshold, written):
    text = analyzer.analyze([], threshold)
    assert text.endswith(f'"threshold":{written}}}')


@pytest.mark.parametrize(
    "traces, threshold, error_type, message, parameter",
    [
        ("abc", 80.0, TypeError, "Can't extract `str` to `Vec`", "traces"),
        (["abc"], 80.0, TypeError, "Can't extract `str` to `Vec`", "traces"),
        ({"tool": "a"}, 80.0, TypeError, "'dict' object is not an instance of 'Sequence'", "traces"),
        ([[], None], 80.0, TypeError, "'None' is not an instance of 'Sequence'", "traces"),
        # Both arguments wrong: traces is read first.
        ("abc", "high", TypeError, "Can't extract `str` to `Vec`", "traces"),
        # Every trace is read as a sequence before any call is converted.
        ([[5], 7], 80.0, TypeError, "'int' object is not an instance of 'Sequence'", "traces"),
        # Each trace is read as the iteration reaches it: a bad trace ahead of a
        # failing iteration is the error reported; the iteration's own error
        # comes through unchanged.
        (FailsAfterFirst(["abc"]), 80.0, TypeError, "Can't extract `str` to `Vec`", "traces"),
        (FailsAfterFirst([[]]), 80.0, KeyError, "'iteration failed'", "traces"),
        ([FailsAfterFirst([{}])], 80.0, KeyError, "'iteration failed'", "traces"),
        ([[]], "high", TypeError, "must be real number, not str", "threshold"),
        ([[]], None, TypeError, "must be real number, not NoneType", "threshold"),
        ([[]], 10**400, OverflowError, "int too large to convert to float", "threshold"),
    ],
)
def test_argument_errors_name_the_argument_in_a_note(analyzer, traces, threshold, error_type, message,
                                                      parameter):
    with pytest.raises(error_type) as raised:
        analyzer.analyze(traces, threshold)
    assert type(raised.value) is error_type
    assert str(raised.value) == message
    assert raised.value.__notes__ == [f"while processing '{parameter}'"]


@pytest.mark.parametrize(
    "traces, message",
    [
        ([[{"tool": "a"}], [5]], "unexpected type: 'int' object is not an instance of 'Mapping'"),
        ([[{"tool": "a", "tool_name": "b", "tool_name ": 1}, {"args": object()}]],
         "unsupported type object"),
        ([[{1: "a"}]], "dict keys must have type str"),
    ],
)
def test_unconvertible_calls_are_value_errors_and_give_no_report(analyzer, traces, message):
    with pytest.raises(ValueError) as raised:
        analyzer.analyze(traces, 80.0)
    assert str(raised.value) == "Invalid trace format: " + message
    assert not getattr(raised.value, "__notes__", None)


def test_self_containing_arguments_are_refused_not_recursed_forever(analyzer):
    looped = []
    looped.append(looped)
    with pytest.raises(ValueError) as raised:
        analyzer.analyze([[{"tool": "a", "params": looped}]], 80.0)
    assert str(raised.value).startswith("Invalid trace format: ")


def test_analyzers_keep_their_own_copy_and_no_state_between_calls(policy):
    analyzer = native.CoverageAnalyzer(policy)
    del policy
    gc.collect()
    first = report(analyzer.analyze([[{"tool": "a"}, {"tool": "b"}, {"tool": "group"}]], 1.0))
    assert report(analyzer.analyze([], 1.0))["tool_coverage"]["tools_seen_in_traces"] == 0
    assert report(analyzer.analyze([[{"tool": "a"}, {"tool": "b"}, {"tool": "group"}]], 1.0)) == first


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
    assert outer["tool_coverage"]["unexpected_tools"] == []
    assert outer["tool_coverage"]["tools_seen_in_traces"] == 1
