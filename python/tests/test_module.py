"""The module as the interpreter sees it: attributes, classes, doc texts, flags,
how every callable binds its arguments, and Policy.from_file's errors."""
import errno
import importlib.machinery
import importlib.util
import math
import os
import pathlib
import subprocess
import sys
import weakref

import pytest

import ossel._native as native

NAMES = ["Policy", "CoverageAnalyzer", "OsselClient", "TraceExplainer"]
CLASSES = [getattr(native, name) for name in NAMES]
Py_TPFLAGS_DISALLOW_INSTANTIATION, Py_TPFLAGS_BASETYPE, Py_TPFLAGS_HAVE_GC = 1 << 7, 1 << 10, 1 << 14
RECORD_TRACE_DOC = """Record a trace object to the configured trace file.

Args:
    trace (Any): A JSON-serializable object (usually a dict) representing the trace.

Raises:
    RuntimeError: If no trace_file was configured or writing fails.
    ValueError: If the trace object cannot be serialized to JSON."""


def test_module_attributes_and_one_type_object_per_process():
    assert sys.version_info >= (3, 12)
    assert native.__file__.endswith("_native.abi3.so")
    assert (native.__name__, native.__doc__, native.__all__) == ("ossel._native", "", NAMES)
    assert sorted(name for name in vars(native) if not name.startswith("__")) == sorted(NAMES)
    loader = importlib.machinery.ExtensionFileLoader("second_copy._native", native.__file__)
    again = importlib.util.module_from_spec(
        importlib.util.spec_from_file_location("second_copy._native", native.__file__, loader=loader))
    loader.exec_module(again)
    assert again is not native and again.__all__ == NAMES
    assert [getattr(again, name) for name in NAMES] == CLASSES


@pytest.mark.parametrize("cls, method", zip(CLASSES, ["from_file", "analyze", "record_trace", "explain"]))
def test_class_names_flags_and_single_method(cls, method):
    assert (cls.__module__, cls.__qualname__, cls.__bases__) == ("builtins", cls.__name__, (object,))
    assert repr(cls) == f"<class 'builtins.{cls.__name__}'>"
    assert {name for name in vars(cls) if not name.startswith("__")} == {method}
    assert not cls.__flags__ & (Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC)
    assert bool(cls.__flags__ & Py_TPFLAGS_DISALLOW_INSTANTIATION) == (cls is native.Policy)
    assert cls.__dictoffset__ == 0 and cls.__weakrefoffset__ == 0
    with pytest.raises(TypeError):
        type("Derived", (cls,), {})


def test_policy_cannot_be_made_and_instances_take_no_attributes_or_weak_references():
    assert isinstance(vars(native.Policy)["from_file"], staticmethod)
    for make in (native.Policy, lambda: native.Policy.__new__(native.Policy)):
        with pytest.raises(TypeError):
            make()
    client = native.OsselClient()
    with pytest.raises(AttributeError):
        client.anything = 1
    with pytest.raises(TypeError):
        weakref.ref(client)


REPLACED_CONSTRUCTORS = """
import sys
sys.path.insert(0, sys.argv[1])
import ossel._native as native
policy = native.Policy.from_file(sys.argv[2])
bare = staticmethod(lambda cls, *args: object.__new__(cls))
for cls, use in [(native.Policy, native.TraceExplainer),
                 (native.TraceExplainer, lambda made: made.explain([])),
                 (native.CoverageAnalyzer, lambda made: made.analyze([], 1.0)),
                 (native.OsselClient, lambda made: made.record_trace({}))]:
    cls.__new__ = bare
    try:
        use(cls() if cls is native.Policy else cls(policy))
    except TypeError as error:
        print(error)
"""


def test_instances_made_by_a_replaced_constructor_are_refused(tmp_path):
    # Run apart: a class whose __new__ was replaced cannot be given its own back.
    (tmp_path / "policy.yaml").write_text('version: "1"\n')
    package_root = os.path.dirname(os.path.dirname(native.__file__))
    lines = subprocess.run([sys.executable, "-c", REPLACED_CONSTRUCTORS, package_root, str(tmp_path / "policy.yaml")],
                           capture_output=True, text=True, check=True).stdout.splitlines()
    assert sorted(lines) == sorted(f"'{name}' object is uninitialized" for name in NAMES)


@pytest.mark.parametrize("obj, signature, doc", [
    (native.Policy, None, None),
    (native.TraceExplainer, "(policy)", ""),
    (native.CoverageAnalyzer, "(policy)", ""),
    (native.OsselClient, "(trace_file=None)", "A client for recording Ossel traces from Python."),
    (native.Policy.from_file, "(path)", None),
    (native.TraceExplainer.explain, "($self, traces)", None),
    (native.CoverageAnalyzer.analyze, "($self, traces, threshold)", None),
    (native.OsselClient.record_trace, "($self, trace)", RECORD_TRACE_DOC),
])
def test_doc_texts_and_text_signatures(obj, signature, doc):
    assert (getattr(obj, "__text_signature__", None), obj.__doc__) == (signature, doc)


@pytest.fixture
def callables(load_policy):
    policy = load_policy()
    return {"from_file": native.Policy.from_file, "TraceExplainer": native.TraceExplainer,
            "CoverageAnalyzer": native.CoverageAnalyzer, "OsselClient": native.OsselClient,
            "explain": native.TraceExplainer(policy).explain,
            "analyze": native.CoverageAnalyzer(policy).analyze,
            "record_trace": native.OsselClient().record_trace}


@pytest.mark.parametrize("name, args, kwargs, message", [
    ("from_file", (), {}, "Policy.from_file() missing 1 required positional argument: 'path'"),
    ("from_file", ("a", "b"), {}, "Policy.from_file() takes 1 positional arguments but 2 were given"),
    ("from_file", ("a",), {"path": "b"}, "Policy.from_file() got multiple values for argument 'path'"),
    ("from_file", (), {"paths": "a"}, "Policy.from_file() got an unexpected keyword argument 'paths'"),
    ("TraceExplainer", (), {}, "TraceExplainer.__new__() missing 1 required positional argument: 'policy'"),
    ("TraceExplainer", (1, 2), {}, "TraceExplainer.__new__() takes 1 positional arguments but 2 were given"),
    ("TraceExplainer", (1,), {"policy": 2}, "TraceExplainer.__new__() got multiple values for argument 'policy'"),
    ("TraceExplainer", (), {"Policy": 1}, "TraceExplainer.__new__() got an unexpected keyword argument 'Policy'"),
    ("CoverageAnalyzer", (), {}, "CoverageAnalyzer.__new__() missing 1 required positional argument: 'policy'"),
    ("CoverageAnalyzer", (1, 2, 3), {}, "CoverageAnalyzer.__new__() takes 1 positional arguments but 3 were given"),
    ("OsselClient", (None, None), {},
     "OsselClient.__new__() takes from 0 to 1 positional arguments but 2 were given"),
    ("OsselClient", (None,), {"trace_file": None}, "OsselClient.__new__() got multiple values for argument 'trace_file'"),
    ("OsselClient", (), {"tracefile": None}, "OsselClient.__new__() got an unexpected keyword argument 'tracefile'"),
    ("explain", (), {}, "TraceExplainer.explain() missing 1 required positional argument: 'traces'"),
    ("explain", ([], []), {}, "TraceExplainer.explain() takes 1 positional arguments but 2 were given"),
    ("explain", ([],), {"traces": []}, "TraceExplainer.explain() got multiple values for argument 'traces'"),
    ("explain", (), {"trace": []}, "TraceExplainer.explain() got an unexpected keyword argument 'trace'"),
    ("analyze", (), {}, "CoverageAnalyzer.analyze() missing 2 required positional arguments: 'traces' and 'threshold'"),
    ("analyze", ([],), {}, "CoverageAnalyzer.analyze() missing 1 required positional argument: 'threshold'"),
    ("analyze", (), {"threshold": 1.0}, "CoverageAnalyzer.analyze() missing 1 required positional argument: 'traces'"),
    ("analyze", ([], 1.0, 2.0), {}, "CoverageAnalyzer.analyze() takes 2 positional arguments but 3 were given"),
    ("analyze", ([], 1.0), {"threshold": 2.0}, "CoverageAnalyzer.analyze() got multiple values for argument 'threshold'"),
    # The first offending keyword decides, before missing arguments are counted.
    ("analyze", (), {"limit": 1.0, "traces": []}, "CoverageAnalyzer.analyze() got an unexpected keyword argument 'limit'"),
    ("analyze", (), {"traces": [], "traces_": []}, "CoverageAnalyzer.analyze() got an unexpected keyword argument 'traces_'"),
    ("record_trace", (), {}, "OsselClient.record_trace() missing 1 required positional argument: 'trace'"),
    ("record_trace", ({}, {}), {}, "OsselClient.record_trace() takes 1 positional arguments but 2 were given"),
    ("record_trace", (), {"traces": {}}, "OsselClient.record_trace() got an unexpected keyword argument 'traces'"),
])
def test_binding_errors(callables, name, args, kwargs, message):
    with pytest.raises(TypeError) as raised:
        callables[name](*args, **kwargs)
    assert str(raised.value) == message
    assert not hasattr(raised.value, "__notes__")


class Float:
    def __float__(self):
        return 12.5


class FailsAfterFirst(list):
    """Yields its first element, then its iteration raises."""

    def __iter__(self):
        yield from self[:1]
        raise KeyError("iteration failed")


class BrokenIteration:
    def __getitem__(self, index):
        raise LookupError("no calls here")


@pytest.mark.parametrize("name, args, error_type, message, parameter", [
    ("TraceExplainer", (42,), TypeError, "'int' object is not an instance of 'Policy'", "policy"),
    ("TraceExplainer", (None,), TypeError, "'None' is not an instance of 'Policy'", "policy"),
    ("CoverageAnalyzer", ("p",), TypeError, "'str' object is not an instance of 'Policy'", "policy"),
    ("TraceExplainer", (native.OsselClient(),), TypeError, "'OsselClient' object is not an instance of 'Policy'", "policy"),
    ("from_file", (pathlib.PurePosixPath("p.yaml"),), TypeError, "'PurePosixPath' object is not an instance of 'str'", "path"),
    ("from_file", (None,), TypeError, "'None' is not an instance of 'str'", "path"),
    ("from_file", (b"p.yaml",), TypeError, "'bytes' object is not an instance of 'str'", "path"),
    ("from_file", ("\udc80.yaml",), UnicodeEncodeError, None, "path"),
    ("OsselClient", (b"x",), TypeError, "'bytes' object is not an instance of 'str'", "trace_file"),
    ("OsselClient", (7,), TypeError, "'int' object is not an instance of 'str'", "trace_file"),
    ("OsselClient", ("\ud800",), UnicodeEncodeError, None, "trace_file"),
    ("explain", ("abc",), TypeError, "Can't extract `str` to `Vec`", "traces"),
    ("explain", ({"tool": "x"},), TypeError, "'dict' object is not an instance of 'Sequence'", "traces"),
    ("explain", ({"tool"},), TypeError, "'set' object is not an instance of 'Sequence'", "traces"),
    ("explain", ((c for c in []),), TypeError, "'generator' object is not an instance of 'Sequence'", "traces"),
    ("explain", (None,), TypeError, "'None' is not an instance of 'Sequence'", "traces"),
    ("explain", (BrokenIteration(),), LookupError, "no calls here", "traces"),
    ("analyze", (["abc"], 80.0), TypeError, "Can't extract `str` to `Vec`", "traces"),
    ("analyze", ([[], 3], 80.0), TypeError, "'int' object is not an instance of 'Sequence'", "traces"),
    # traces is read before threshold, and every trace before any call is converted.
    ("analyze", ("abc", "high"), TypeError, "Can't extract `str` to `Vec`", "traces"),
    ("analyze", ([[5], 7], 80.0), TypeError, "'int' object is not an instance of 'Sequence'", "traces"),
    # Each trace is read as the iteration reaches it; the iteration's own error comes through.
    ("analyze", (FailsAfterFirst(["abc"]), 80.0), TypeError, "Can't extract `str` to `Vec`", "traces"),
    ("analyze", (FailsAfterFirst([[]]), 80.0), KeyError, "'iteration failed'", "traces"),
    ("analyze", ([FailsAfterFirst([{}])], 80.0), KeyError, "'iteration failed'", "traces"),
    ("analyze", ([[]], "high"), TypeError, "must be real number, not str", "threshold"),
    ("analyze", ([[]], None), TypeError, "must be real number, not NoneType", "threshold"),
    ("analyze", ([[]], 10**400), OverflowError, "int too large to convert to float", "threshold"),
])
def test_wrong_argument_values_carry_the_parameter_note(callables, name, args, error_type, message, parameter):
    with pytest.raises(error_type) as raised:
        callables[name](*args)
    assert type(raised.value) is error_type
    assert message is None or str(raised.value) == message
    assert raised.value.__notes__ == [f"while processing '{parameter}'"]


@pytest.mark.parametrize("threshold, written", [
    (math.nan, "null"), (-math.inf, "null"), (-0.0, "-0.0"), (1e16, "1e+16"), (True, "1.0"), (50, "50.0"),
    (Float(), "12.5"),
])
def test_keyword_calls_and_any_float_convertible_threshold(load_policy, tmp_path, threshold, written):
    class Path(str):
        pass

    first = load_policy()
    policy = native.Policy.from_file(path=Path(tmp_path / "policy.yaml"))
    assert type(policy) is native.Policy and policy is not first
    explainer = native.TraceExplainer(policy=policy)
    assert explainer.explain(traces=[]) == explainer.explain([])
    analyzer = native.CoverageAnalyzer(policy=policy)
    text = analyzer.analyze(threshold=threshold, traces=[])
    assert text == analyzer.analyze([], threshold) == analyzer.analyze([], threshold=threshold)
    assert text.endswith(f'"threshold":{written}}}')


@pytest.mark.parametrize("name, message", [
    ("absent.yaml", f"{os.strerror(errno.ENOENT)} (os error 2)"),
    (".", f"{os.strerror(errno.EISDIR)} (os error 21)"),
    ("file/x.yaml", f"{os.strerror(errno.ENOTDIR)} (os error 20)"),
    ("latin1.yaml", "stream did not contain valid UTF-8"),
    ("cesu.yaml", "stream did not contain valid UTF-8"),
    ("a\0b.yaml", "file name contained an unexpected NUL byte"),
])
def test_read_failures_are_file_not_found_errors(tmp_path, name, message):
    (tmp_path / "file").write_text("version: '1'\n")
    (tmp_path / "latin1.yaml").write_bytes(b"version: '1'\nname: caf\xe9\n")
    (tmp_path / "cesu.yaml").write_bytes(b"name: \xed\xa0\x80\n")  # an encoded surrogate
    with pytest.raises(FileNotFoundError) as raised:
        native.Policy.from_file(f"{tmp_path}/{name}")
    assert (type(raised.value), str(raised.value)) == (FileNotFoundError, message)
    assert not hasattr(raised.value, "__notes__")


@pytest.mark.parametrize("text, message", [
    ("", "missing field `version`"),
    ("version: '1'\nbogus: 1\n", "unknown field `bogus`, expected one of `version`, `name`, `metadata`, `tools`, "
     "`sequences`, `aliases`, `on_error` at line 2 column 1"),
    ("version: '1'\nname: a\nname: b\n", "duplicate field `name`"),
    ("version: '1'\non_error: Allow\n", "on_error: unknown variant `Allow`, expected `block` or `allow` at line 2 column 11"),
    pytest.param("#" * 200_000 + "\nversion: '1'\non_error: Allow\n",
                 "on_error: unknown variant `Allow`, expected `block` or `allow` at line 3 column 11",
                 id="read past many buffers"),
])
def test_loader_errors_are_value_errors_with_the_loader_text(load_policy, text, message):
    with pytest.raises(ValueError) as raised:
        load_policy(text)
    assert (type(raised.value), str(raised.value)) == (ValueError, message)
    assert not hasattr(raised.value, "__notes__")
