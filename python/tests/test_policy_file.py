"""Policy.from_file end to end: a loaded policy, the FileNotFoundError texts
of every read failure, and the loader's own message as ValueError."""
import errno
import os

import pytest

import ossel._native as native


def test_loads_a_policy_into_a_new_policy_object(tmp_path):
    path = tmp_path / "policy.yaml"
    path.write_text('version: "1.0"\nname: demo\ntools:\n  allow: [read]\n')
    first = native.Policy.from_file(str(path))
    second = native.Policy.from_file(path=str(path))
    assert type(first) is native.Policy
    assert first is not second


def read_failure(tmp_path, case):
    if case == "missing":
        return str(tmp_path / "absent.yaml"), f"{os.strerror(errno.ENOENT)} (os error 2)"
    if case == "directory":
        return str(tmp_path), f"{os.strerror(errno.EISDIR)} (os error 21)"
    if case == "below a file":
        (tmp_path / "file").write_text("version: '1'\n")
        return str(tmp_path / "file" / "x.yaml"), f"{os.strerror(errno.ENOTDIR)} (os error 20)"
    if case == "invalid utf-8":
        (tmp_path / "latin1.yaml").write_bytes(b"version: '1'\nname: caf\xe9\n")
        return str(tmp_path / "latin1.yaml"), "stream did not contain valid UTF-8"
    if case == "surrogate bytes":
        (tmp_path / "cesu.yaml").write_bytes(b"name: \xed\xa0\x80\n")
        return str(tmp_path / "cesu.yaml"), "stream did not contain valid UTF-8"
    if case == "nul in path":
        return str(tmp_path / "a\0b.yaml"), "file name contained an unexpected NUL byte"
    raise AssertionError(case)


@pytest.mark.parametrize(
    "case", ["missing", "directory", "below a file", "invalid utf-8", "surrogate bytes", "nul in path"]
)
def test_every_read_failure_is_file_not_found_with_the_read_error_text(tmp_path, case):
    path, message = read_failure(tmp_path, case)
    with pytest.raises(FileNotFoundError) as raised:
        native.Policy.from_file(path)
    assert type(raised.value) is FileNotFoundError
    assert str(raised.value) == message
    assert not getattr(raised.value, "__notes__", None), "read errors come after the argument is read"


@pytest.mark.parametrize(
    "text, message",
    [
        ("", "missing field `version`"),
        (
            "version: '1'\nbogus: 1\n",
            "unknown field `bogus`, expected one of `version`, `name`, `metadata`, `tools`, "
            "`sequences`, `aliases`, `on_error` at line 2 column 1",
        ),
        ("version: '1'\nname: a\nname: b\n", "duplicate field `name`"),
        (
            "version: '1'\non_error: Allow\n",
            "on_error: unknown variant `Allow`, expected `block` or `allow` at line 2 column 11",
        ),
    ],
)
def test_loader_errors_are_value_errors_with_the_loader_text_alone(tmp_path, text, message):
    path = tmp_path / "policy.yaml"
    path.write_text(text)
    with pytest.raises(ValueError) as raised:
        native.Policy.from_file(str(path))
    assert type(raised.value) is ValueError
    assert str(raised.value) == message
    assert not getattr(raised.value, "__notes__", None)
