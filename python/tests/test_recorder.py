"""OsselClient.record_trace: whole compact JSON lines appended in call order,
each failure with its message, one lock per open of the file (a child made by
fork() opens its own), a record that takes many writes, and re-entrant use
from a conversion. Many writers at once: test_recorder_stress.py."""
import collections.abc
import fcntl
import gc
import itertools
import json
import os
import pathlib
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time

import pytest

import ossel
from ossel._native import OsselClient

NO_SPACE = "No space left on device (os error 28)"


def exactly(message):
    """A pytest.raises pattern that matches `message` and nothing else."""
    return f"^{re.escape(message)}$"


def descriptors(path, pid="self"):
    """{descriptor: its access mode, O_APPEND and O_CLOEXEC} for the opens of `path` by this process
    (or process `pid`)."""
    found = {}
    for name in os.listdir(f"/proc/{pid}/fd"):
        try:
            if os.readlink(f"/proc/{pid}/fd/{name}") == str(path):
                with open(f"/proc/{pid}/fdinfo/{name}") as info:
                    flags = int(next(line for line in info if line.startswith("flags:")).split()[1], 8)
                found[int(name)] = flags & (os.O_ACCMODE | os.O_APPEND | os.O_CLOEXEC)
        except OSError:
            pass
    return found


def forked(body):
    """Runs `body` in a child made by fork(), which exits 0 when it returns; gives its pid."""
    child = os.fork()
    if child == 0:
        status = 1
        try:
            body()
            status = 0
        finally:
            os._exit(status)
    return child


def exit_status(child, timeout=10):
    """The child's exit code, or "hung" (and the child killed) when it runs longer than `timeout`."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        pid, status = os.waitpid(child, os.WNOHANG)
        if pid:
            return os.waitstatus_to_exitcode(status)
        time.sleep(0.01)
    os.kill(child, signal.SIGKILL)
    os.waitpid(child, 0)
    return "hung"


def python_child(*arguments, env=(), prefix=(), **popen):
    """Starts a Python interpreter, after `prefix` (a command that runs it), that imports this ossel."""
    env = {**os.environ, "PYTHONPATH": str(pathlib.Path(ossel.__file__).parents[1]), **dict(env)}
    return subprocess.Popen([*prefix, sys.executable, *map(str, arguments)], env=env, **popen)


def whole_lines(data):
    """The records in `data`, which must be whole lines of JSON."""
    lines = data.split(b"\n")
    assert lines.pop() == b""
    return [json.loads(line) for line in lines]


def test_client_without_trace_file_refuses_to_record(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    for client in (OsselClient(), OsselClient(None), OsselClient(trace_file=None)):
        # The check comes before the conversion: a trace it would refuse changes nothing.
        for trace in ({}, {}, object()):
            with pytest.raises(RuntimeError, match=exactly(
                    "trace_file is not configured; provide trace_file when creating OsselClient to enable record_trace")):
                client.record_trace(trace)
    assert os.listdir(tmp_path) == []


@pytest.mark.parametrize("where, reason", [
    ("missing/trace.jsonl", "No such file or directory (os error 2)"),
    ("", "Is a directory (os error 21)"),
    ("a\0b", "file name contained an unexpected NUL byte"),
])
def test_open_failures(tmp_path, where, reason):
    with pytest.raises(RuntimeError, match=exactly(f"Failed to open trace file: {reason}")):
        OsselClient(f"{tmp_path}/{where}")
    assert os.listdir(tmp_path) == []


def test_new_file_is_made_under_the_umask_for_appending_and_closed_on_exec(tmp_path):
    path = tmp_path / "trace.jsonl"
    old_mask = os.umask(0o027)
    try:
        client = OsselClient(str(path))
    finally:
        os.umask(old_mask)
    assert os.stat(path).st_mode & 0o777 == 0o640
    # Records go through the appending descriptor; the read-only one is for the file's last byte.
    assert sorted(descriptors(path).values()) == [os.O_RDONLY | os.O_CLOEXEC,
                                                  os.O_WRONLY | os.O_APPEND | os.O_CLOEXEC]
    del client


def test_a_file_the_process_may_only_write_is_still_recorded_to():
    with tempfile.TemporaryDirectory() as folder:
        os.chmod(folder, 0o777)
        path = os.path.join(folder, "trace.jsonl")

        def record_as_nobody():  # as root every file can be read
            if os.geteuid() == 0:
                os.setuid(65534)
            os.close(os.open(path, os.O_WRONLY | os.O_CREAT, 0o200))
            client = OsselClient(path)
            client.record_trace({"a": 1})
            client.record_trace({"b": 2})

        assert exit_status(forked(record_as_nobody)) == 0
        os.chmod(path, 0o600)
        with open(path, "rb") as file:
            assert file.read() == b'{"a":1}\n{"b":2}\n'


def test_a_child_made_by_fork_locks_the_file_apart_from_its_parent_and_appends(tmp_path):
    path = tmp_path / "trace.jsonl"
    client = OsselClient(str(path))
    client.record_trace({"parent": 0})
    [appending] = [fd for fd, flags in descriptors(path).items() if flags & os.O_APPEND]
    # The parent holds the lock on the open its client writes through, as it
    # does while it writes a record.
    fcntl.flock(appending, fcntl.LOCK_EX)
    child = forked(lambda: client.record_trace({"child": 1}))
    try:
        time.sleep(0.3)
        assert os.waitpid(child, os.WNOHANG) == (0, 0), "the child did not wait for the lock"
        assert path.read_bytes() == b'{"parent":0}\n'
    finally:
        fcntl.flock(appending, fcntl.LOCK_UN)
    assert exit_status(child) == 0
    client.record_trace({"parent": 2})
    assert path.read_bytes() == b'{"parent":0}\n{"child":1}\n{"parent":2}\n'


def test_a_child_records_to_the_file_its_parent_opened_after_the_path_changed(tmp_path):
    path, moved = tmp_path / "trace.jsonl", tmp_path / "moved.jsonl"
    client = OsselClient(str(path))
    path.rename(moved)
    path.write_bytes(b"")  # another file now at the path
    assert exit_status(forked(lambda: client.record_trace("child"))) == 0
    assert (moved.read_bytes(), path.read_bytes()) == (b'"child"\n', b"")


@pytest.mark.filterwarnings("ignore:This process .* is multi-threaded:DeprecationWarning")
def test_a_child_forked_while_a_thread_waits_inside_record_trace_records(tmp_path):
    path = tmp_path / "trace.jsonl"
    client = OsselClient(str(path))
    holder = os.open(path, os.O_RDONLY)
    fcntl.flock(holder, fcntl.LOCK_EX)  # the thread waits for this lock holding the client's own
    waiting = threading.Thread(target=client.record_trace, args=({"thread": 1},))
    waiting.start()
    time.sleep(0.2)
    child = forked(lambda: client.record_trace({"child": 2}))
    fcntl.flock(holder, fcntl.LOCK_UN)
    os.close(holder)
    waiting.join(10)
    assert exit_status(child) == 0
    assert sorted(path.read_bytes().splitlines()) == [b'{"child":2}', b'{"thread":1}']


def test_a_fifo_is_opened_for_writing_only(tmp_path):
    fifo = tmp_path / "fifo"
    os.mkfifo(fifo)
    reader = os.open(fifo, os.O_RDONLY | os.O_NONBLOCK)
    try:
        client = OsselClient(str(fifo))
        # A second reader would take records meant for the other end.
        assert [flags for fd, flags in descriptors(fifo).items() if fd != reader] == [
            os.O_WRONLY | os.O_APPEND | os.O_CLOEXEC]
        client.record_trace({"a": 1})
        assert os.read(reader, 100) == b'{"a":1}\n'
    finally:
        os.close(reader)


def test_a_fifo_inherited_through_fork_gets_whole_records_from_parent_and_child(tmp_path):
    fifo = tmp_path / "fifo"
    os.mkfifo(fifo)
    reader = os.open(fifo, os.O_RDONLY | os.O_NONBLOCK)
    os.set_blocking(reader, True)
    client = OsselClient(str(fifo))

    def record_all():  # records far larger than the pipe takes in one write
        for i in range(40):
            client.record_trace({"pid": os.getpid(), "i": i, "pad": "x" * 200_000})

    child = forked(record_all)
    received = []
    draining = threading.Thread(target=lambda: received.extend(iter(lambda: os.read(reader, 1 << 16), b"")))
    draining.start()  # until every writer closed the FIFO
    record_all()
    del client
    assert exit_status(child) == 0
    draining.join(20)
    os.close(reader)
    assert len(whole_lines(b"".join(received))) == 80


def flocks(inode):
    """{pid: whether it waits} for each flock on the file `inode` that /proc/locks lists, in lines
    "1: FLOCK ADVISORY WRITE {pid} {major}:{minor}:{inode} 0 EOF" ("1: -> FLOCK ..." for a waiter)."""
    found = {}
    with open("/proc/locks") as locks:
        for fields in map(str.split, locks):
            waiting = fields[1] == "->"
            kind, pid, file = fields[1 + waiting], fields[4 + waiting], fields[5 + waiting]
            if kind == "FLOCK" and file.endswith(f":{inode}"):
                found[int(pid)] = waiting
    return found


def wait_for(condition, what, timeout=10):
    deadline = time.monotonic() + timeout
    while not condition():
        assert time.monotonic() < deadline, what
        time.sleep(0.001)


# Records the string TEXT * SIZE on a client of its own once told to, while
# SIGALRM every INTERVAL seconds (never when 0) runs a handler that returns;
# then prints how often the handler ran.
SIGNALLED_WRITER = """
import signal, sys
from ossel._native import OsselClient
client, text, size, interval = OsselClient(sys.argv[1]), sys.argv[2], int(sys.argv[3]), float(sys.argv[4])
handled = []
signal.signal(signal.SIGALRM, lambda *_: handled.append(1))
print("ready", flush=True)
sys.stdin.readline()
if interval:
    signal.setitimer(signal.ITIMER_REAL, interval, interval)
client.record_trace(text * size)
signal.setitimer(signal.ITIMER_REAL, 0)
print(len(handled), flush=True)
"""


def runs(data):
    """`data` as (byte, how many in a row) pairs: short to show, whatever went wrong."""
    return [(bytes([byte]), len(list(same))) for byte, same in itertools.groupby(data)]


def test_a_record_written_in_many_writes_stays_whole_beside_a_client_waiting_for_the_lock(tmp_path):
    # A signal whose handler returns cuts a write to a full pipe short: the
    # record, far larger than the pipe, goes on from where each write stopped.
    fifo = tmp_path / "fifo"
    os.mkfifo(fifo)
    reader = os.open(fifo, os.O_RDONLY | os.O_NONBLOCK)
    writers = [python_child("-c", SIGNALLED_WRITER, fifo, text, size, interval, stdin=subprocess.PIPE,
                            stdout=subprocess.PIPE, text=True)
               for text, size, interval in [("a", 1_000_000, 0.002), ("b", 200_000, 0)]]
    watchdog = threading.Timer(60, lambda: [writer.kill() for writer in writers])  # the read below ends
    watchdog.start()
    try:
        assert [writer.stdout.readline() for writer in writers] == ["ready\n"] * 2
        inode = fifo.stat().st_ino
        for writer, waiting in zip(writers, [False, True]):
            writer.stdin.write("go\n")
            writer.stdin.flush()
            wait_for(lambda: flocks(inode).get(writer.pid) == waiting, "the writers did not lock in turn")
        os.set_blocking(reader, True)
        received = []
        while chunk := os.read(reader, 16 * 1024):  # slowly, so that the first writer's writes wait
            received.append(chunk)
            time.sleep(0.002)
        handled = [writer.communicate()[0] for writer in writers]
    finally:
        watchdog.cancel()
        for writer in writers:
            writer.kill()
            writer.wait()
        os.close(reader)
    assert [writer.returncode for writer in writers] == [0, 0]
    assert runs(b"".join(received)) == [(b'"', 1), (b"a", 1_000_000), (b'"', 1), (b"\n", 1),
                                         (b'"', 1), (b"b", 200_000), (b'"', 1), (b"\n", 1)]
    assert int(handled[0]) > 1, "the record went out in one write"


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
    # Existing content that ends inside a line gets its line feed first.
    assert path.read_bytes() == (b'earlier line\nno line feed\n{"b":1,"a":[1.5,null,true]}\n"x"\n3\nnull\n'
                                 b'[null,null,null]\n{"by":"keyword"}\n[2]\n')


# Child interpreters that each record traces on a client of their own, once
# their stdin is closed: the file and how many records.
WRITER_PROGRAM = """
import sys
from ossel._native import OsselClient
client = OsselClient(sys.argv[1])
print("ready", flush=True)
sys.stdin.read()
for i in range(int(sys.argv[2])):
    client.record_trace({"i": i, "pad": "x" * 20_000})
"""


def run_writers(path, writers, records, *, release=None, flags=(), **options):
    """Runs `writers` writers of `records` records each, started at once; gives each one's exit
    status and stderr. With `release`, which lets go of a lock held on the file, they first wait
    0.3 s for that lock."""
    children = [python_child(*flags, "-c", WRITER_PROGRAM, path, records, stdin=subprocess.PIPE,
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, **options)
                for _ in range(writers)]
    assert [child.stdout.readline() for child in children] == ["ready\n"] * writers
    for child in children:
        child.stdin.close()
    if release:
        time.sleep(0.3)
        assert path.read_bytes() == b"", "a writer did not wait for the lock"
        release()
    return [(child.wait(timeout=30), child.stderr.read()) for child in children]


def test_without_proc_a_record_starts_after_a_partial_line_left_by_another_writer(tmp_path):
    path = tmp_path / "trace.jsonl"
    # Where /proc is not mounted: the last byte is read back all the same.
    hide_proc = ["unshare", "-m", "sh", "-c", 'umount -l /proc && exec "$@"', "sh"]
    if shutil.which("unshare") is None or subprocess.run([*hide_proc, "true"], capture_output=True).returncode:
        pytest.skip("cannot unmount /proc in a mount namespace of its own")
    path.write_bytes(b'{"killed":"frag')
    assert run_writers(path, 1, 1, prefix=hide_proc) == [(0, "")]
    assert path.read_bytes().startswith(b'{"killed":"frag\n{"i":0,')


# A file system that refuses flock, as some network and FUSE file systems do:
# a shim loaded into each writer makes flock fail with ENOLCK, and with
# REFUSE_OFD_LOCKS the fcntl locks on open files too.
LOCK_SHIM = r"""
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
int flock(int fd, int operation) { errno = ENOLCK; return -1; }
#ifdef REFUSE_OFD_LOCKS
#define REFUSING(name) int name(int fd, int command, ...) {                               \
    va_list rest; va_start(rest, command); void *argument = va_arg(rest, void *); va_end(rest); \
    if (command == F_OFD_SETLK || command == F_OFD_SETLKW) { errno = ENOLCK; return -1; }   \
    return ((int (*)(int, int, ...))dlsym(RTLD_NEXT, #name))(fd, command, argument); }
REFUSING(fcntl)
REFUSING(fcntl64)
#endif
"""


def lock_shim_preloaded(folder, refuse_ofd_locks=False):
    """LD_PRELOAD for child processes with the lock shim built in `folder`; skips without a C compiler."""
    if shutil.which("cc") is None:
        pytest.skip("needs a C compiler")
    (folder / "shim.c").write_text(LOCK_SHIM)
    shim = folder / "shim.so"
    subprocess.run(["cc", "-shared", "-fPIC", "-o", shim, folder / "shim.c", "-ldl",
                    *(["-DREFUSE_OFD_LOCKS"] if refuse_ofd_locks else [])], check=True)
    # Added after what is preloaded already, such as a sanitizer's runtime, which must come first.
    return " ".join(filter(None, [os.environ.get("LD_PRELOAD"), str(shim)]))


@pytest.mark.parametrize("ofd_locks", [True, False], ids=["fcntl locks served", "no lock at all"])
def test_where_flock_is_refused(tmp_path, ofd_locks):
    env = {"LD_PRELOAD": lock_shim_preloaded(tmp_path, refuse_ofd_locks=not ofd_locks)}
    path = tmp_path / "trace.jsonl"
    path.touch()
    if ofd_locks:  # the fallback lock, which a POSIX lock held here conflicts with, keeps writers
        holder = os.open(path, os.O_RDWR)  # apart; nothing is warned of
        fcntl.lockf(holder, fcntl.LOCK_EX)
        assert run_writers(path, 6, 100, env=env, flags=["-W", "error"],
                           release=lambda: os.close(holder)) == [(0, "")] * 6
        assert len(whole_lines(path.read_bytes())) == 600
    else:  # records are written as before, with one warning per client; raised, it stops the record
        [(status, errors)] = run_writers(path, 1, 3, env=env, flags=["-W", "error"])
        assert (status, path.read_bytes()) == (1, b"") and "RuntimeWarning: Cannot lock" in errors
        [(status, errors)] = run_writers(path, 1, 3, env=env, flags=["-W", "always"])
        assert status == 0 and errors.count("RuntimeWarning") == 1
        assert f"Cannot lock trace file '{path}' (No locks available (os error 37))" in errors
        assert len(whole_lines(path.read_bytes())) == 3


def append(path, data):
    with open(path, "ab") as file:
        file.write(data)


# What another program does to the file between a client's records "a" and
# "b", and what the file then holds: a record always starts a line of its
# own, and what the other program left is kept as it is.
@pytest.mark.parametrize("change, expected", [
    (lambda path: None, b'"a"\n"b"\n'),
    (lambda path: append(path, b'{"torn'), b'"a"\n{"torn\n"b"\n'),
    (lambda path: append(path, b'{"whole":2}\n'), b'"a"\n{"whole":2}\n"b"\n'),
    (lambda path: append(path, b"\n"), b'"a"\n\n"b"\n'),
    (lambda path: path.write_bytes(b""), b'"b"\n'),
    (lambda path: path.write_bytes(b"xy"), b'xy\n"b"\n'),
    (lambda path: path.write_bytes(b"wxyz"), b'wxyz\n"b"\n'),  # the same size as before
    (lambda path: path.write_bytes(b"xyz\n"), b'xyz\n"b"\n'),
], ids=["nothing", "fragment", "whole line", "empty line", "emptied", "shorter", "same size",
        "same size, whole"])
def test_each_record_starts_a_line_whatever_another_writer_left(tmp_path, change, expected):
    path = tmp_path / "trace.jsonl"
    client = OsselClient(str(path))
    client.record_trace("a")
    change(path)
    client.record_trace("b")
    assert path.read_bytes() == expected


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
        with pytest.raises(RuntimeError, match=exactly(f"Failed to {step}: {NO_SPACE}")):
            client.record_trace(trace)


def test_after_a_full_disk_cuts_a_record_short_the_next_record_of_another_client_is_whole(tmp_path):
    disk = tmp_path / "disk"  # a 256 KiB tmpfs
    disk.mkdir()
    if subprocess.run(["mount", "-t", "tmpfs", "-o", "size=256k", "ossel-test", disk], capture_output=True).returncode:
        # /dev/full keeps nothing: only the errors can be seen.
        first, second = OsselClient("/dev/full"), OsselClient("/dev/full")
        with pytest.raises(RuntimeError, match=exactly(f"Failed to serialize trace: {NO_SPACE}")):
            first.record_trace("x" * 200_000)
        with pytest.raises(RuntimeError, match=exactly(f"Failed to flush: {NO_SPACE}")):
            second.record_trace({"second": 1})
        return
    try:
        path = disk / "trace.jsonl"
        first, second = OsselClient(str(path)), OsselClient(str(path))
        first.record_trace({"first": 1})
        space = os.statvfs(disk)
        (disk / "filler").write_bytes(b"f" * (space.f_bavail * space.f_frsize - 64 * 1024))
        with pytest.raises(RuntimeError, match=exactly(f"Failed to serialize trace: {NO_SPACE}")):
            first.record_trace("x" * 200_000)
        with pytest.raises(RuntimeError, match=exactly(f"Failed to flush: {NO_SPACE}")):
            second.record_trace({"second": 1})  # not even its line feed fits
        (disk / "filler").unlink()
        second.record_trace({"second": 2})
        first.record_trace({"first": 3})
        lines = path.read_bytes().split(b"\n")
    finally:
        subprocess.run(["umount", "-l", disk], check=True)
    fragment = lines[1].decode()
    assert 1 < len(fragment) < 200_000 and fragment == '"' + "x" * (len(fragment) - 1)
    assert lines[:1] + lines[2:] == [b'{"first":1}', b'{"second":2}', b'{"first":3}', b""]


def test_file_is_complete_and_closed_after_the_client_is_deleted(tmp_path):
    path = tmp_path / "trace.jsonl"
    client = OsselClient(str(path))
    assert len(descriptors(path)) == 2
    for i in range(100):
        client.record_trace({"i": i, "pad": "y" * (i * 200)})
    del client
    gc.collect()
    assert descriptors(path) == {}
    assert [record["i"] for record in whole_lines(path.read_bytes())] == list(range(100))


class RecordingMapping(collections.abc.Mapping):
    """A mapping whose keys() records its inner mapping on the same client first."""

    def __init__(self, client, depth):
        self.client, self.depth = client, depth

    def keys(self):
        if self.depth:
            self.client.record_trace(RecordingMapping(self.client, self.depth - 1))
        return ["depth"]

    __getitem__ = lambda self, key: self.depth
    __iter__ = lambda self: iter(["depth"])
    __len__ = lambda self: 1


def test_record_trace_from_inside_a_conversion_on_the_same_client(tmp_path):
    path = tmp_path / "trace.jsonl"
    client = OsselClient(str(path))
    thread = threading.Thread(target=client.record_trace, args=(RecordingMapping(client, 3),), daemon=True)
    thread.start()
    thread.join(30)
    assert not thread.is_alive(), "record_trace did not return: deadlock"
    assert path.read_bytes() == b'{"depth":0}\n{"depth":1}\n{"depth":2}\n{"depth":3}\n'
