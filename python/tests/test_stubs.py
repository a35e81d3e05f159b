"""The type stubs shipped beside the module (ossel/_native.pyi) against the
module itself: the same classes and methods, each parameter with the same
name, kind and default, and every one of them typed and documented."""
import __future__
import inspect
import pathlib
import types

import pytest

import ossel._native as native

# The stub run as a module (annotations left unevaluated, so that a class may
# name itself), giving real classes and functions to inspect.
STUB_PATH = pathlib.Path(native.__file__).with_name("_native.pyi")
STUB = {"__name__": "stub"}
exec(compile(STUB_PATH.read_text(), str(STUB_PATH), "exec", flags=__future__.annotations.compiler_flag,
             dont_inherit=True), STUB)
Py_TPFLAGS_BASETYPE = 1 << 10


def parameters(callable_, bound):
    """(name, kind, default) of each parameter, without self or cls when bound."""
    found = [(p.name, p.kind, p.default) for p in inspect.signature(callable_).parameters.values()]
    return found[1:] if bound else found


def test_the_stub_gives_the_module_classes_and_their_order():
    classes = [name for name, value in STUB.items()
               if isinstance(value, type) and value.__module__ == "stub" and not name.startswith("_")]
    assert sorted(classes) == sorted(native.__all__) and STUB["__all__"] == native.__all__


@pytest.mark.parametrize("name", native.__all__)
def test_each_class_matches_the_runtime_and_is_typed_and_documented(name):
    cls, stub_cls = getattr(native, name), STUB[name]
    assert getattr(stub_cls, "__final__", False) == (not cls.__flags__ & Py_TPFLAGS_BASETYPE)
    assert stub_cls.__doc__ and "\n" not in stub_cls.__doc__.strip()
    # name: (function, whether it takes self or cls first); __new__ is a static
    # method that takes the class first.
    functions = {method: (value.__func__, method == "__new__") if isinstance(value, staticmethod) else (value, True)
                 for method, value in vars(stub_cls).items()
                 if (method == "__new__" or not method.startswith("__"))
                 and isinstance(value, (staticmethod, types.FunctionType))}
    # A class without a text signature cannot be instantiated (Policy).
    if cls.__text_signature__ is None:
        assert "__new__" not in functions
    else:
        assert parameters(functions["__new__"][0], bound=True) == parameters(cls, bound=False)
    assert set(functions) - {"__new__"} == {m for m in vars(cls) if not m.startswith("__")}
    for method, (function, bound) in functions.items():
        where = f"{name}.{method}"
        if method != "__new__":
            assert bound != isinstance(vars(cls)[method], staticmethod), f"{where}: static in one only"
            assert parameters(function, bound) == parameters(getattr(cls, method), bound), where
        signature = inspect.signature(function)
        assert function.__doc__ and "\n" not in function.__doc__.strip(), where
        assert signature.return_annotation is not inspect.Signature.empty, where
        typed = list(signature.parameters.values())[1 if bound else 0:]
        assert all(p.annotation is not inspect.Parameter.empty for p in typed), where
