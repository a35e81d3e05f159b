"""The type stubs shipped beside the module (ossel/_native.pyi) against the
module itself: the same classes and methods, each parameter with the same
name, kind and default, and every one of them typed and documented."""
import __future__
import inspect
import pathlib
import types

import pytest

import ossel._native as native


def load_stub():
    """Runs the stub as a module (with annotations left unevaluated, so that
    a class may name itself), giving real classes and functions to inspect."""
    path = pathlib.Path(native.__file__).with_name("_native.pyi")
    namespace = {"__name__": "stub"}
    exec(compile(path.read_text(), str(path), "exec", flags=__future__.annotations.compiler_flag,
                 dont_inherit=True), namespace)
    return namespace


STUB = load_stub()
STUB_CLASSES = {name: value for name, value in STUB.items()
                if isinstance(value, type) and value.__module__ == "stub" and not name.startswith("_")}


def parameters(callable_, bound):
    """(name, kind, default) of each parameter; for a method reached through
    its class the first one (self or cls) is left out."""
    found = [(p.name, p.kind, p.default) for p in inspect.signature(callable_).parameters.values()]
    return found[1:] if bound else found


def stub_functions(stub_cls):
    """name: (function, whether its first parameter is self or cls) for the
    constructor and each method the stub gives."""
    functions = {}
    for name, value in vars(stub_cls).items():
        if name.startswith("__") and name != "__new__":
            continue
        if isinstance(value, staticmethod):
            # __new__ is stored as a static method that takes the class first.
            functions[name] = (value.__func__, name == "__new__")
        elif isinstance(value, types.FunctionType):
            functions[name] = (value, True)
    return functions


def test_the_stub_gives_the_module_classes_and_their_order():
    assert sorted(STUB_CLASSES) == sorted(native.__all__)
    assert STUB["__all__"] == native.__all__


@pytest.mark.parametrize("name", native.__all__)
def test_constructor_methods_and_finality_match_the_runtime(name):
    cls, stub_cls = getattr(native, name), STUB_CLASSES[name]
    functions = stub_functions(stub_cls)
    # A class without a text signature cannot be instantiated (Policy).
    if cls.__text_signature__ is None:
        assert "__new__" not in functions
    else:
        assert parameters(functions.pop("__new__")[0], bound=True) == parameters(cls, bound=False)
    assert set(functions) == {m for m in vars(cls) if not m.startswith("__")}
    for method, (function, bound) in functions.items():
        static = isinstance(vars(cls)[method], staticmethod)
        assert bound != static, f"{name}.{method}: static in one and not in the other"
        assert parameters(function, bound) == parameters(getattr(cls, method), bound), f"{name}.{method}"
    Py_TPFLAGS_BASETYPE = 1 << 10
    assert getattr(stub_cls, "__final__", False) == (not cls.__flags__ & Py_TPFLAGS_BASETYPE)


def is_one_line(text):
    return bool(text) and "\n" not in text.strip()


@pytest.mark.parametrize("name", native.__all__)
def test_every_class_method_and_parameter_is_typed_and_documented(name):
    stub_cls = STUB_CLASSES[name]
    assert is_one_line(stub_cls.__doc__), name
    for method, (function, bound) in stub_functions(stub_cls).items():
        where = f"{name}.{method}"
        signature = inspect.signature(function)
        assert is_one_line(function.__doc__), where
        assert signature.return_annotation is not inspect.Signature.empty, where
        typed = list(signature.parameters.values())[1 if bound else 0:]
        assert all(p.annotation is not inspect.Parameter.empty for p in typed), where
