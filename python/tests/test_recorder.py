import collections.abc
import gc
import json
import os
import threading
import time

import pytest

from ossel._native import OsselClient

NOT_CONFIGURED = (
    "trace_file is not configured; provide trace_file when creating OsselClient "
    "to enable record_trace"
)
NO_SPACE = "No space left on device (os error 28)"


def open_descriptors(path):
    """How many descriptors of this process are open on `path`."""
    count = 0
    for name in os.listdir("/proc/self/fd"):
        try:
            if os.readlink(f"/proc/self/fd/{name}") == str(path):
                count += 1
        except OSError:
            pass
    return count


@pytest.mark.parametrize(
    "make",
    [lambda: OsselClient(), lambda: OsselClient(None), lambda: OsselClient(trace_file=None)],
    ids=["no-argument", "positional-none", "keyword-none"],
)
def test_client_without_trace_file_refuses_to_record(make, tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    client = make()
    for _ in range(2):
        with pytest.raises(RuntimeError) as raised:
            client.record_trace({})
        assert str(raised.value) == NOT_CONFIGURED
    # The check comes before the conversion: a trace it would refuse changes nothing.
    with pytest.raises(RuntimeError, match="^trace_file is not configured"):
        client.record_trace(object())
    assert os.listdir(tmp_path) == []


@pytest.mark.parametrize(
    "argument, error, message",
    [
        (b"x", TypeError, "'bytes' object is not an instance of 'str'"),
        (42, TypeError, "'int' object is not an instance of 'str'"),
        ("\ud800", UnicodeEncodeError, None),
    ],
    ids=["bytes", "int", "lone-surrogate"],
)
def test_constructor_refuses_a_trace_file_that_is_not_text(argument, error, message):
    with pytest.raises(error) as raised:
        OsselClient(trace_file=argument)
    if message is not None:
        assert str(raised.value) == message
    assert raised.value.__notes__ == ["while processing 'trace_file'"]


def test_open_failures(tmp_path):
    cases = [
        (tmp_path / "missing" / "trace.jsonl", "No such file or directory (os error 2)"),
        (tmp_path, "Is a directory (os error 21)"),
        (f"{tmp_path}/a\0b", "file name contained an unexpected NUL byte"),
    ]
    for path, reason in cases:
        with pytest.raises(RuntimeError) as raised:
            OsselClient(str(path))
        assert str(raised.value) == f"Failed to open trace file: {reason}"
    assert os.listdir(tmp_path) == []


def test_records_are_compact_lines_in_call_order(tmp_path):
    path = tmp_path / "trace.jsonl"
    client = OsselClient(str(path))
    assert path.read_bytes() == b""
    traces = [
        ({"b": 1, "a": [1.5, None, True]}, b'{"b":1,"a":[1.5,null,true]}'),
        ("x", b'"x"'),
        (3, b"3"),
        (None, b"null"),
        ([float("nan"), float("inf"), -float("inf")], b"[null,null,null]"),
    ]
    for trace, _ in traces:
        assert client.record_trace(trace) is None
    assert client.record_trace(trace={"by": "keyword"}) is None
    expected = b"".join(line + b"\n" for _, line in traces) + b'{"by":"keyword"}\n'
    assert path.read_bytes() == expected


def test_existing_content_is_kept(tmp_path):
    path = tmp_path / "trace.jsonl"
    path.write_bytes(b"earlier line\nno line feed")
    OsselClient(str(path)).record_trace({"a": 1})
    OsselClient(trace_file=str(path)).record_trace([2])
    assert path.read_bytes() == b'earlier line\nno line feed{"a":1}\n[2]\n'


@pytest.mark.parametrize(
    "trace, reason",
    [
        (object(), "unsupported type object"),
        ({"a": b"x"}, "invalid type: byte array, expected any valid JSON value"),
        ([2**64], "JSON number out of range"),
        ({1: "x"}, "unexpected type: 'int' object is not an instance of 'str'"),
    ],
    ids=["object", "bytes", "too-large", "int-key"],
)
def test_a_trace_the_conversion_refuses_leaves_the_file_unchanged(tmp_path, trace, reason):
    path = tmp_path / "trace.jsonl"
    client = OsselClient(str(path))
    client.record_trace("before")
    with pytest.raises(ValueError) as raised:
        client.record_trace(trace)
    assert str(raised.value) == f"Invalid trace format: {reason}"
    client.record_trace("after")
    assert path.read_bytes() == b'"before"\n"after"\n'


@pytest.mark.skipif(not os.path.exists("/dev/full"), reason="needs /dev/full")
def test_write_failures_name_the_step_and_keep_the_client_usable():
    client = OsselClient("/dev/full")
    cases = [
        ("x", f"Failed to flush: {NO_SPACE}"),
        ("x" * 8189, f"Failed to flush: {NO_SPACE}"),  # 8192 bytes with quotes and line feed
        ("x" * 8190, f"Failed to serialize trace: {NO_SPACE}"),
        ({"big": "x" * 100_000}, f"Failed to serialize trace: {NO_SPACE}"),
        ("x", f"Failed to flush: {NO_SPACE}"),
    ]
    for trace, message in cases:
        with pytest.raises(RuntimeError) as raised:
            client.record_trace(trace)
        assert str(raised.value) == message


def test_file_is_complete_and_closed_after_the_client_is_deleted(tmp_path):
    path = tmp_path / "trace.jsonl"
    client = OsselClient(str(path))
    assert open_descriptors(path) == 1
    for i in range(100):
        client.record_trace({"i": i, "pad": "y" * (i * 200)})
    del client
    gc.collect()
    assert open_descriptors(path) == 0
    lines = path.read_bytes().split(b"\n")
    assert lines.pop() == b""
    assert [json.loads(line)["i"] for line in lines] == list(range(100))


class RecordingMapping(collections.abc.Mapping):
    """A mapping whose keys() records its inner mapping on the same client first."""

    def __init__(self, client, depth):
        self.client = client
        self.depth = depth

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


def run_with_timeout(target, seconds=30):
    """Runs `target` in a thread and fails instead of hanging when it deadlocks."""
    errors = []

    def guarded():
        try:
            target()
        except BaseException as error:  # reported on the test's own thread
            errors.append(error)

    thread = threading.Thread(target=guarded, daemon=True)
    thread.start()
    thread.join(seconds)
    assert not thread.is_alive(), "record_trace did not return: deadlock"
    if errors:
        raise errors[0]


def test_record_trace_from_inside_a_conversion_on_the_same_client(tmp_path):
    path = tmp_path / "trace.jsonl"
    client = OsselClient(str(path))
    run_with_timeout(lambda: client.record_trace(RecordingMapping(client, 3)))
    assert path.read_bytes() == b'{"depth":0}\n{"depth":1}\n{"depth":2}\n{"depth":3}\n'


def test_conversions_that_yield_to_other_threads_do_not_deadlock(tmp_path):
    path = tmp_path / "trace.jsonl"
    client = OsselClient(str(path))
    per_thread = 200

    class Yielding(RecordingMapping):
        def keys(self):
            time.sleep(0)  # lets another thread take the interpreter
            return super().keys()

    def work():
        for _ in range(per_thread):
            client.record_trace(Yielding(client, 1))
            client.record_trace({"pad": "z" * 20_000})

    def all_threads():
        threads = [threading.Thread(target=work) for _ in range(4)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()

    run_with_timeout(all_threads, seconds=60)
    lines = path.read_bytes().split(b"\n")
    assert lines.pop() == b""
    records = [json.loads(line) for line in lines]
    assert len(records) == 4 * per_thread * 3
    assert sum(1 for r in records if r == {"depth": 0}) == 4 * per_thread
