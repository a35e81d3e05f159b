"""OsselClient: whole compact JSON lines appended in call order, each failure
with its message, and re-entrant use from a conversion."""
import collections.abc
import gc
import json
import os
import threading

import pytest

from ossel._native import OsselClient

NO_SPACE = "No space left on device (os error 28)"


def open_descriptors(path):
    """The descriptors of this process open on `path`."""
    found = []
    for name in os.listdir("/proc/self/fd"):
        try:
            if os.readlink(f"/proc/self/fd/{name}") == str(path):
                found.append(int(name))
        except OSError:
            pass
    return found


def test_client_without_trace_file_refuses_to_record(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    for client in (OsselClient(), OsselClient(None), OsselClient(trace_file=None)):
        # The check comes before the conversion: a trace it would refuse changes nothing.
        for trace in ({}, {}, object()):
            with pytest.raises(RuntimeError) as raised:
                client.record_trace(trace)
            assert str(raised.value) == ("trace_file is not configured; provide trace_file when creating "
                                         "OsselClient to enable record_trace")
    assert os.listdir(tmp_path) == []


@pytest.mark.parametrize("where, reason", [
    ("missing/trace.jsonl", "No such file or directory (os error 2)"),
    ("", "Is a directory (os error 21)"),
    ("a\0b", "file name contained an unexpected NUL byte"),
])
def test_open_failures(tmp_path, where, reason):
    with pytest.raises(RuntimeError) as raised:
        OsselClient(f"{tmp_path}/{where}")
    assert str(raised.value) == f"Failed to open trace file: {reason}"
    assert os.listdir(tmp_path) == []


def test_new_file_is_made_under_the_umask_for_appending_and_closed_on_exec(tmp_path):
    path = tmp_path / "trace.jsonl"
    old_mask = os.umask(0o027)
    try:
        client = OsselClient(str(path))
    finally:
        os.umask(old_mask)
    assert os.stat(path).st_mode & 0o777 == 0o640
    [fd] = open_descriptors(path)
    with open(f"/proc/self/fdinfo/{fd}") as info:
        flags = int(next(line for line in info if line.startswith("flags:")).split()[1], 8)
    assert flags & (os.O_ACCMODE | os.O_APPEND | os.O_CLOEXEC) == os.O_WRONLY | os.O_APPEND | os.O_CLOEXEC
    del client


def test_records_are_compact_lines_after_the_existing_content(tmp_path):
    path = tmp_path / "trace.jsonl"
    path.write_bytes(b"earlier line\nno line feed")
    client = OsselClient(str(path))
    for trace in [{"b": 1, "a": [1.5, None, True]}, "x", 3, None, [float("nan"), float("inf"), -float("inf")]]:
        assert client.record_trace(trace) is None
    with pytest.raises(ValueError, match="^Invalid trace format: unsupported type object$"):
        client.record_trace([object()])
    client.record_trace(trace={"by": "keyword"})
    OsselClient(trace_file=str(path)).record_trace([2])
    assert path.read_bytes() == (b'earlier line\nno line feed{"b":1,"a":[1.5,null,true]}\n"x"\n3\nnull\n'
                                 b'[null,null,null]\n{"by":"keyword"}\n[2]\n')


@pytest.mark.skipif(not os.path.exists("/dev/full"), reason="needs /dev/full")
def test_write_failures_name_the_step_and_keep_the_client_usable():
    client = OsselClient("/dev/full")
    for trace, step in [
        ("x", "flush"),
        ("x" * 8189, "flush"),  # 8192 bytes with quotes and line feed
        ("x" * 8190, "serialize trace"),
        ({"big": "x" * 100_000}, "serialize trace"),
        ("x", "flush"),
    ]:
        with pytest.raises(RuntimeError) as raised:
            client.record_trace(trace)
        assert str(raised.value) == f"Failed to {step}: {NO_SPACE}"


def test_file_is_complete_and_closed_after_the_client_is_deleted(tmp_path):
    path = tmp_path / "trace.jsonl"
    client = OsselClient(str(path))
    assert len(open_descriptors(path)) == 1
    for i in range(100):
        client.record_trace({"i": i, "pad": "y" * (i * 200)})
    del client
    gc.collect()
    assert open_descriptors(path) == []
    lines = path.read_bytes().split(b"\n")
    assert lines.pop() == b""
    assert [json.loads(line)["i"] for line in lines] == list(range(100))


class RecordingMapping(collections.abc.Mapping):
    """A mapping whose keys() records its inner mapping on the same client first."""

    def __init__(self, client, depth):
        self.client, self.depth = client, depth

    def keys(self):
        if self.depth:
            self.client.record_trace(RecordingMapping(self.client, self.depth - 1))
        return ["depth"]

    def __getitem__(self, key):
        return self.depth

    def __iter__(self):
        return iter(["depth"])

    def __len__(self):
        return 1


def test_record_trace_from_inside_a_conversion_on_the_same_client(tmp_path):
    path = tmp_path / "trace.jsonl"
    client = OsselClient(str(path))
    thread = threading.Thread(target=client.record_trace, args=(RecordingMapping(client, 3),), daemon=True)
    thread.start()
    thread.join(30)
    assert not thread.is_alive(), "record_trace did not return: deadlock"
    assert path.read_bytes() == b'{"depth":0}\n{"depth":1}\n{"depth":2}\n{"depth":3}\n'
