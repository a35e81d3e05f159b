import sys

import ossel._native as native


def test_module_imports_from_the_abi3_file():
    assert native.__file__.endswith("_native.abi3.so")
    assert native.__name__ == "ossel._native"


def test_module_docstring_is_empty_text():
    assert native.__doc__ == ""


def test_interpreter_is_312_or_later():
    assert sys.version_info >= (3, 12)
