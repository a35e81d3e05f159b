"""How every method and constructor binds its arguments: the TypeError texts
for surplus, repeated, unknown and missing arguments, keyword calls, and the
note naming the parameter whose value has the wrong type."""
import pathlib

import pytest

import ossel._native as native
from policy_files import load_policy

MISSING_PATH = "Policy.from_file() missing 1 required positional argument: 'path'"


@pytest.fixture
def policy(tmp_path):
    return load_policy(tmp_path, 'version: "1"\nname: binding\n')


@pytest.fixture
def bound(policy, tmp_path):
    """The instance methods, ready to be called with arguments."""
    return {
        "explain": native.TraceExplainer(policy).explain,
        "analyze": native.CoverageAnalyzer(policy).analyze,
        "record_trace": native.OsselClient().record_trace,
    }


# (callable, positional arguments, keyword arguments, TypeError text)
CLASS_LEVEL_CASES = [
    (native.Policy.from_file, (), {}, MISSING_PATH),
    (native.Policy.from_file, ("a", "b"), {},
     "Policy.from_file() takes 1 positional arguments but 2 were given"),
    (native.Policy.from_file, ("a",), {"path": "b"},
     "Policy.from_file() got multiple values for argument 'path'"),
    (native.Policy.from_file, (), {"paths": "a"},
     "Policy.from_file() got an unexpected keyword argument 'paths'"),
    (native.TraceExplainer, (), {},
     "TraceExplainer.__new__() missing 1 required positional argument: 'policy'"),
    (native.TraceExplainer, (1, 2), {},
     "TraceExplainer.__new__() takes 1 positional arguments but 2 were given"),
    (native.TraceExplainer, (1,), {"policy": 2},
     "TraceExplainer.__new__() got multiple values for argument 'policy'"),
    (native.TraceExplainer, (), {"Policy": 1},
     "TraceExplainer.__new__() got an unexpected keyword argument 'Policy'"),
    (native.CoverageAnalyzer, (), {},
     "CoverageAnalyzer.__new__() missing 1 required positional argument: 'policy'"),
    (native.CoverageAnalyzer, (1, 2, 3), {},
     "CoverageAnalyzer.__new__() takes 1 positional arguments but 3 were given"),
    (native.OsselClient, (None, None), {},
     "OsselClient.__new__() takes from 0 to 1 positional arguments but 2 were given"),
    (native.OsselClient, (None,), {"trace_file": None},
     "OsselClient.__new__() got multiple values for argument 'trace_file'"),
    (native.OsselClient, (), {"tracefile": None},
     "OsselClient.__new__() got an unexpected keyword argument 'tracefile'"),
]


@pytest.mark.parametrize("function, args, kwargs, message", CLASS_LEVEL_CASES)
def test_constructor_and_static_binding_errors(function, args, kwargs, message):
    with pytest.raises(TypeError) as raised:
        function(*args, **kwargs)
    assert str(raised.value) == message
    assert not getattr(raised.value, "__notes__", None)


# (method, positional arguments, keyword arguments, TypeError text)
INSTANCE_CASES = [
    ("explain", (), {}, "TraceExplainer.explain() missing 1 required positional argument: 'traces'"),
    ("explain", ([], []), {}, "TraceExplainer.explain() takes 1 positional arguments but 2 were given"),
    ("explain", ([],), {"traces": []}, "TraceExplainer.explain() got multiple values for argument 'traces'"),
    ("explain", (), {"trace": []}, "TraceExplainer.explain() got an unexpected keyword argument 'trace'"),
    ("analyze", (), {},
     "CoverageAnalyzer.analyze() missing 2 required positional arguments: 'traces' and 'threshold'"),
    ("analyze", ([],), {},
     "CoverageAnalyzer.analyze() missing 1 required positional argument: 'threshold'"),
    ("analyze", (), {"threshold": 1.0},
     "CoverageAnalyzer.analyze() missing 1 required positional argument: 'traces'"),
    ("analyze", ([], 1.0, 2.0), {},
     "CoverageAnalyzer.analyze() takes 2 positional arguments but 3 were given"),
    ("analyze", ([], 1.0), {"threshold": 2.0},
     "CoverageAnalyzer.analyze() got multiple values for argument 'threshold'"),
    # The first offending keyword decides, before missing arguments are counted.
    ("analyze", (), {"limit": 1.0, "traces": []},
     "CoverageAnalyzer.analyze() got an unexpected keyword argument 'limit'"),
    ("analyze", (), {"traces": [], "traces_": []},
     "CoverageAnalyzer.analyze() got an unexpected keyword argument 'traces_'"),
    ("record_trace", (), {}, "OsselClient.record_trace() missing 1 required positional argument: 'trace'"),
    ("record_trace", ({}, {}), {}, "OsselClient.record_trace() takes 1 positional arguments but 2 were given"),
    ("record_trace", (), {"traces": {}}, "OsselClient.record_trace() got an unexpected keyword argument 'traces'"),
]


@pytest.mark.parametrize("method, args, kwargs, message", INSTANCE_CASES)
def test_method_binding_errors(bound, method, args, kwargs, message):
    with pytest.raises(TypeError) as raised:
        bound[method](*args, **kwargs)
    assert str(raised.value) == message


def test_keyword_calls_bind_like_positional_ones(policy, tmp_path):
    path = tmp_path / "policy.yaml"
    assert type(native.Policy.from_file(path=str(path))) is native.Policy
    explainer = native.TraceExplainer(policy=policy)
    assert explainer.explain(traces=[]) == explainer.explain([])
    analyzer = native.CoverageAnalyzer(policy=policy)
    assert analyzer.analyze(threshold=80.0, traces=[]) == analyzer.analyze([], 80.0)
    assert analyzer.analyze([], threshold=80.0) == analyzer.analyze([], 80.0)


# (call, exception type, text, parameter named in the note)
CONVERSION_CASES = [
    (lambda: native.TraceExplainer(42), TypeError, "'int' object is not an instance of 'Policy'", "policy"),
    (lambda: native.TraceExplainer(None), TypeError, "'None' is not an instance of 'Policy'", "policy"),
    (lambda: native.CoverageAnalyzer(5), TypeError, "'int' object is not an instance of 'Policy'", "policy"),
    (lambda: native.CoverageAnalyzer(policy="p"), TypeError, "'str' object is not an instance of 'Policy'",
     "policy"),
    (lambda: native.TraceExplainer(native.OsselClient()), TypeError,
     "'OsselClient' object is not an instance of 'Policy'", "policy"),
    (lambda: native.Policy.from_file(pathlib.PurePosixPath("p.yaml")), TypeError,
     "'PurePosixPath' object is not an instance of 'str'", "path"),
    (lambda: native.Policy.from_file(None), TypeError, "'None' is not an instance of 'str'", "path"),
    (lambda: native.Policy.from_file(b"p.yaml"), TypeError, "'bytes' object is not an instance of 'str'",
     "path"),
    (lambda: native.OsselClient(trace_file=b"x"), TypeError, "'bytes' object is not an instance of 'str'",
     "trace_file"),
    (lambda: native.OsselClient(7), TypeError, "'int' object is not an instance of 'str'", "trace_file"),
]


@pytest.mark.parametrize("call, error_type, message, parameter", CONVERSION_CASES)
def test_wrong_argument_types_carry_the_parameter_note(call, error_type, message, parameter):
    with pytest.raises(error_type) as raised:
        call()
    assert type(raised.value) is error_type
    assert str(raised.value) == message
    assert raised.value.__notes__ == [f"while processing '{parameter}'"]


def test_text_without_utf8_form_keeps_the_encoding_error_and_gets_the_note():
    for call, parameter in [
        (lambda: native.Policy.from_file("\udc80.yaml"), "path"),
        (lambda: native.OsselClient("\ud800"), "trace_file"),
    ]:
        with pytest.raises(UnicodeEncodeError) as raised:
            call()
        assert raised.value.__notes__ == [f"while processing '{parameter}'"]


def test_str_subclass_is_accepted_as_text(tmp_path):
    class Path(str):
        pass

    missing = Path(str(tmp_path / "missing.yaml"))
    with pytest.raises(FileNotFoundError):
        native.Policy.from_file(missing)
