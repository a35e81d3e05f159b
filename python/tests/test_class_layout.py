"""The module's classes as the interpreter sees them: names, doc texts,
text signatures, flags, and that each type object exists once per process."""
import importlib.machinery
import importlib.util
import weakref

import pytest

import ossel._native as native

Py_TPFLAGS_BASETYPE = 1 << 10
Py_TPFLAGS_DISALLOW_INSTANTIATION = 1 << 7
Py_TPFLAGS_HAVE_GC = 1 << 14

CLASS_NAMES = ["Policy", "CoverageAnalyzer", "OsselClient", "TraceExplainer"]
CLASSES = [getattr(native, name) for name in CLASS_NAMES]


def test_all_lists_the_four_classes_in_registration_order():
    assert native.__all__ == CLASS_NAMES
    public = sorted(name for name in vars(native) if not name.startswith("__"))
    assert public == sorted(CLASS_NAMES)


@pytest.mark.parametrize("cls", CLASSES, ids=CLASS_NAMES)
def test_classes_report_builtins_and_their_bare_name(cls):
    assert cls.__module__ == "builtins"
    assert cls.__name__ == cls.__qualname__
    assert repr(cls) == f"<class 'builtins.{cls.__name__}'>"
    assert cls.__bases__ == (object,)


@pytest.mark.parametrize(
    "obj, text_signature, doc",
    [
        (native.Policy, None, None),
        (native.TraceExplainer, "(policy)", ""),
        (native.CoverageAnalyzer, "(policy)", ""),
        (native.OsselClient, "(trace_file=None)", "A client for recording Ossel traces from Python."),
        (native.Policy.from_file, "(path)", None),
        (native.TraceExplainer.explain, "($self, traces)", None),
        (native.CoverageAnalyzer.analyze, "($self, traces, threshold)", None),
        (
            native.OsselClient.record_trace,
            "($self, trace)",
            "Record a trace object to the configured trace file.\n\n"
            "Args:\n"
            "    trace (Any): A JSON-serializable object (usually a dict) representing the trace.\n\n"
            "Raises:\n"
            "    RuntimeError: If no trace_file was configured or writing fails.\n"
            "    ValueError: If the trace object cannot be serialized to JSON.",
        ),
    ],
    ids=lambda value: getattr(value, "__qualname__", None) if callable(value) else None,
)
def test_doc_texts_and_text_signatures(obj, text_signature, doc):
    assert getattr(obj, "__text_signature__", None) == text_signature
    assert obj.__doc__ == doc


def test_each_class_has_exactly_one_method():
    expected = {
        "Policy": "from_file",
        "CoverageAnalyzer": "analyze",
        "OsselClient": "record_trace",
        "TraceExplainer": "explain",
    }
    for cls in CLASSES:
        own = {name for name in vars(cls) if not name.startswith("__")}
        assert own == {expected[cls.__name__]}, cls
    assert isinstance(vars(native.Policy)["from_file"], staticmethod)


@pytest.mark.parametrize("cls", CLASSES, ids=CLASS_NAMES)
def test_classes_take_no_subclass_dict_or_weakref(cls):
    assert not cls.__flags__ & Py_TPFLAGS_BASETYPE
    assert not cls.__flags__ & Py_TPFLAGS_HAVE_GC
    assert cls.__dictoffset__ == 0
    assert cls.__weakrefoffset__ == 0
    with pytest.raises(TypeError):
        type("Derived", (cls,), {})


def test_only_policy_refuses_instantiation():
    flagged = [cls.__name__ for cls in CLASSES if cls.__flags__ & Py_TPFLAGS_DISALLOW_INSTANTIATION]
    assert flagged == ["Policy"]
    with pytest.raises(TypeError):
        native.Policy()
    with pytest.raises(TypeError):
        native.Policy.__new__(native.Policy)


def test_instances_take_no_attributes_and_no_weak_references():
    client = native.OsselClient()
    with pytest.raises(AttributeError):
        client.anything = 1
    with pytest.raises(TypeError):
        weakref.ref(client)


def test_second_import_of_the_file_gets_the_same_type_objects():
    loader = importlib.machinery.ExtensionFileLoader("second_copy._native", native.__file__)
    spec = importlib.util.spec_from_file_location("second_copy._native", native.__file__, loader=loader)
    again = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(again)
    assert again is not native
    assert again.__all__ == CLASS_NAMES
    for name in CLASS_NAMES:
        assert getattr(again, name) is getattr(native, name)
