"""The ossel package as users get it: the names it exports, its version, the
files an installed copy holds, and the README's example run from elsewhere."""
import importlib.metadata
import json
import os
import pathlib
import re
import subprocess
import sys
import sysconfig

import pytest

import ossel
import ossel._native as native

README = pathlib.Path(__file__).resolve().parents[2] / "README.md"
MODULE_SIZE_LIMIT = 5 * 1024 * 1024


def test_the_package_exports_the_module_classes():
    from ossel import CoverageAnalyzer, OsselClient, Policy, TraceExplainer

    assert (Policy, TraceExplainer, CoverageAnalyzer, OsselClient) == (
        native.Policy, native.TraceExplainer, native.CoverageAnalyzer, native.OsselClient)
    assert sorted(ossel.__all__) == sorted(native.__all__)
    assert re.fullmatch(r"\d+\.\d+\.\d+", ossel.__version__)


@pytest.mark.skipif(not os.environ.get("OSSEL_EXPECT_INSTALLED"),
                    reason="runs against the installed package only (scripts/test.sh sets OSSEL_EXPECT_INSTALLED)")
def test_the_installed_copy_is_the_one_imported():
    distribution = importlib.metadata.distribution("ossel")
    assert distribution.version == ossel.__version__
    # Imported from this interpreter's environment, not from a checkout or build tree.
    package = pathlib.Path(ossel.__file__).resolve().parent
    assert package.is_relative_to(pathlib.Path(sys.prefix).resolve())
    files = {str(f): pathlib.Path(distribution.locate_file(f)).resolve() for f in distribution.files}
    for name in ["__init__.py", "_native.abi3.so", "_native.pyi", "py.typed"]:
        assert files[f"ossel/{name}"] == package / name
    assert pathlib.Path(native.__file__).resolve() == package / "_native.abi3.so"
    platform = sysconfig.get_platform().replace("-", "_").replace(".", "_")
    assert f"Tag: cp312-abi3-{platform}" in distribution.read_text("WHEEL").splitlines()


@pytest.mark.skipif(not os.environ.get("OSSEL_EXPECT_INSTALLED"),
                    reason="the build tree's module carries debug information on purpose")
def test_the_installed_module_is_small_and_carries_no_debug_information():
    module = pathlib.Path(native.__file__)
    assert module.stat().st_size < MODULE_SIZE_LIMIT
    # Section names: a module with debug information or a symbol table names them.
    content = module.read_bytes()
    assert b".debug_info" not in content and b".symtab" not in content


def readme_example():
    text = README.read_text()
    return re.search(r"^## Using it\n.*?^```python\n(.*?)^```", text, re.MULTILINE | re.DOTALL).group(1)


def test_the_readme_example_runs_from_any_folder_and_writes_only_to_a_temporary_folder(tmp_path):
    example = readme_example()
    assert "sys.path" not in example
    elsewhere, temporary = tmp_path / "elsewhere", tmp_path / "tmp"
    elsewhere.mkdir()
    temporary.mkdir()
    result = subprocess.run([sys.executable, "-c", example], cwd=elsewhere, capture_output=True,
                            text=True, env={**os.environ, "TMPDIR": str(temporary)})
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines()[:2] == [
        "0 read_file allowed []",
        "1 send_email blocked [\"'send_email' forbidden after 'read_file' (triggered at index 0)\"]",
    ]
    assert list(elsewhere.iterdir()) == []
    [trace_file] = temporary.glob("*/traces.jsonl")
    [record] = trace_file.read_text().splitlines()
    assert json.loads(record)["calls"][1]["tool"] == "send_email"
