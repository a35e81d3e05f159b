"""A child made by fork() gives up its parent's open of the trace file at once,
so a parent that dies holding the file's lock leaves it free: the lock belongs
to the open, which the kernel closes only with its last copy. Nor does a child
get a copy of an open that a client was making as it forked. After a fork
inside a record, the child leaves that record to its parent and starts its own
next record on a fresh line."""
import contextlib
import ctypes
import os
import pickle
import platform
import signal
import subprocess
import threading
import time
import warnings

import pytest

from ossel._native import OsselClient
from test_recorder import descriptors, exit_status, forked, lock_shim_preloaded, python_child, runs

# Part of a parent program that imports os, signal and time: child(record)
# forks a child, which waits until its parent is gone, then calls record() and
# exits (0 when record() returned); gives the child's pid.
ORPHAN = r"""
def child(record):
    parent = os.getpid()
    pid = os.fork()
    if pid:
        return pid
    status = 1
    try:
        signal.alarm(60)  # the last watchdog: the test kills a child that keeps it waiting
        deadline = time.monotonic() + 20
        while os.getppid() == parent and time.monotonic() < deadline:
            time.sleep(0.01)
        record()
        status = 0
    finally:
        os._exit(status)
"""

# Run as `python -c PARENT FIFO HOW KIND`, with a reader on the FIFO that reads
# nothing and the FIFO full. A thread's record waits there holding the lock (of
# KIND in /proc/locks: FLOCK or OFDLCK); meanwhile the main thread forks two
# children, prints their pids and ends (HOW: "killed" by SIGKILL, or "exits"
# normally). Once their parent is gone, one child records through a new
# client, the other through the inherited one.
PARENT = r"""
import os, signal, sys, threading, time
from ossel._native import OsselClient

fifo, how, kind = sys.argv[1:]
client = OsselClient(fifo)
threading.Thread(target=client.record_trace, args=({"parent": 1},), daemon=True).start()

def holds_lock(pid=os.getpid(), inode=os.stat(fifo).st_ino):
    # "1: FLOCK ADVISORY WRITE {pid} {major}:{minor}:{inode} 0 EOF"; an OFDLCK has the pid -1
    with open("/proc/locks") as locks:
        return any(fields[1] == kind and fields[4] in (str(pid), "-1")
                   and fields[5].endswith(f":{inode}") for fields in map(str.split, locks))

deadline = time.monotonic() + 20
while not holds_lock():
    if time.monotonic() > deadline:
        sys.exit("the record never took the lock")
    time.sleep(0.01)

""" + ORPHAN + r"""
print(child(lambda: OsselClient(fifo).record_trace({"child": "new client"})),
      child(lambda: client.record_trace({"child": "inherited client"})), flush=True)
if how == "killed":
    os.kill(os.getpid(), signal.SIGKILL)
"""

FILLER = b'"' + b"x" * 4093 + b'"\n'  # a page: the FIFO is full when no whole page is free


@pytest.mark.parametrize("lock", ["FLOCK", "OFDLCK"])
@pytest.mark.parametrize("how, status", [("killed", -signal.SIGKILL), ("exits", 0)])
def test_children_record_after_their_parent_dies_holding_the_lock(tmp_path, how, status, lock):
    # With flock refused, as on some file systems, the lock is the fcntl lock of the open file.
    env = {"LD_PRELOAD": lock_shim_preloaded(tmp_path)} if lock == "OFDLCK" else {}
    fifo = tmp_path / "fifo"
    os.mkfifo(fifo)
    reader = os.open(fifo, os.O_RDONLY | os.O_NONBLOCK)
    filling = os.open(fifo, os.O_WRONLY | os.O_NONBLOCK)
    fillers = 0
    try:
        while True:
            os.write(filling, FILLER)
            fillers += 1
    except BlockingIOError:
        os.close(filling)
    parent = python_child("-W", "ignore::DeprecationWarning", "-c", PARENT, fifo, how, lock, env=env,
                          stdout=subprocess.PIPE, text=True)
    children, data = [], b""
    try:
        children = [int(pid) for pid in parent.stdout.readline().split()]
        assert parent.wait(timeout=30) == status
        deadline = time.monotonic() + 10
        while data.count(b'"child"') < 2 and time.monotonic() < deadline:
            try:
                data += os.read(reader, 1 << 16)
            except BlockingIOError:
                time.sleep(0.01)
    finally:
        if data.count(b'"child"') < 2:
            for pid in children:
                with contextlib.suppress(ProcessLookupError):
                    os.kill(pid, signal.SIGKILL)
        parent.stdout.close()
        os.close(reader)
    # The parent was inside a write when it forked, which could have left part of its record in the
    # FIFO (here nothing went out): each child starts its record on a fresh line.
    assert sorted(data.splitlines(keepends=True)) == sorted(
        [FILLER] * fillers + [b'{"child":"inherited client"}\n', b'{"child":"new client"}\n'])


def same_open():
    """same_open(pid, fd, other_pid, other_fd): whether two processes' descriptors share one open of
    a file, by kcmp(2); skips where the system call is not at hand."""
    if platform.machine() != "x86_64":
        pytest.skip("calls kcmp by its x86-64 number")
    syscall = ctypes.CDLL(None, use_errno=True).syscall
    kcmp, kcmp_file = 312, 0

    def same(pid, fd, other_pid, other_fd):
        return syscall(*map(ctypes.c_long, (kcmp, pid, other_pid, kcmp_file, fd, other_fd))) == 0

    probe = os.open(os.devnull, os.O_RDONLY)
    try:
        if not same(os.getpid(), probe, os.getpid(), probe):
            pytest.skip(f"kcmp is not available: {os.strerror(ctypes.get_errno())}")
    finally:
        os.close(probe)
    return same


def writing(path, pid="self"):
    """The descriptors of process `pid` that are open on `path` for writing."""
    return [fd for fd, flags in descriptors(path, pid).items() if flags & os.O_ACCMODE != os.O_RDONLY]


@pytest.mark.filterwarnings("ignore:This process .* is multi-threaded:DeprecationWarning")
def test_a_child_gets_no_copy_of_an_open_that_a_client_was_making_as_it_forked(tmp_path):
    same = same_open()
    path = tmp_path / "trace.jsonl"
    stop, looking = threading.Event(), threading.Lock()

    def make_and_drop_clients():
        while not stop.is_set():
            client = OsselClient(str(path))
            with looking:  # held while a child looks: the parent's open stays open to be compared
                pass
            del client

    def look_for_shared_opens():
        signal.alarm(10)
        parent = os.getppid()
        shared = [fd for fd in writing(path) if any(same(parent, theirs, os.getpid(), fd)
                                                     for theirs in writing(path, parent))]
        assert not shared, f"the child shares the parent's opens {shared}"

    threads = [threading.Thread(target=make_and_drop_clients) for _ in range(3)]
    for thread in threads:
        thread.start()
    try:
        statuses = []
        for _ in range(200):
            time.sleep(0.001)  # the threads make and drop clients meanwhile
            with looking:
                statuses.append(exit_status(forked(look_for_shared_opens)))
    finally:
        stop.set()
        for thread in threads:
            thread.join()
    assert statuses.count(0) == 200, f"{200 - statuses.count(0)} of 200 children shared an open"


def read_until(reader, data, enough, timeout=20):
    """Reads from the non-blocking `reader` after `data` until enough(data); gives all of it."""
    deadline = time.monotonic() + timeout
    while not enough(data) and time.monotonic() < deadline:
        try:
            data += os.read(reader, 1 << 16)
        except BlockingIOError:
            time.sleep(0.01)
    return data


# Run as `python -c CUT_PARENT FIFO WHICH`. A thread records 1 MB to the FIFO;
# once the test has read the record's start, the main thread forks a child,
# prints its pid and is killed by SIGKILL in the middle of the record. Once its
# parent is gone, the child records twice through the client it inherited, or
# through a client it makes for each record (WHICH: "inherited" or "new").
CUT_PARENT = r"""
import os, signal, sys, threading, time
from ossel._native import OsselClient

fifo, which = sys.argv[1:]
client = OsselClient(fifo)
threading.Thread(target=client.record_trace, args=("x" * 1_000_000,), daemon=True).start()
print("recording", flush=True)
sys.stdin.readline()
""" + ORPHAN + r"""
make = {"inherited": lambda: client, "new": lambda: OsselClient(fifo)}[which]
print(child(lambda: [make().record_trace({"child": which, "record": n}) for n in (1, 2)]), flush=True)
os.kill(os.getpid(), signal.SIGKILL)
"""


@pytest.mark.parametrize("which", ["inherited", "new"])
def test_a_child_starts_a_fresh_line_after_its_parent_dies_inside_a_record_on_a_fifo(tmp_path, which):
    fifo = tmp_path / "fifo"
    os.mkfifo(fifo)
    reader = os.open(fifo, os.O_RDONLY | os.O_NONBLOCK)
    parent = python_child("-W", "ignore::DeprecationWarning", "-c", CUT_PARENT, fifo, which,
                          stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
    records = [b'{"child":"%s","record":%d}' % (which.encode(), n) for n in (1, 2)]
    last = records[-1] + b"\n"
    child, data = None, b""
    try:
        assert parent.stdout.readline() == "recording\n"
        data = read_until(reader, data, lambda data: len(data) >= 100_000)  # then the record waits
        parent.stdin.write("fork\n")
        parent.stdin.flush()
        child = int(parent.stdout.readline())
        assert parent.wait(timeout=30) == -signal.SIGKILL
        data = read_until(reader, data, lambda data: data.endswith(last))
    finally:
        if child is not None and not data.endswith(last):
            with contextlib.suppress(ProcessLookupError):
                os.kill(child, signal.SIGKILL)
        parent.stdout.close()
        parent.stdin.close()
        os.close(reader)
    # The parent's fragment, then the child's records on lines of their own, with no empty line.
    fragment, *rest = data.split(b"\n")
    assert 100_000 <= len(fragment) < 1_000_000 and fragment == b'"' + b"x" * (len(fragment) - 1)
    assert rest == [*records, b""]


def fork_from_a_signal_handler_inside_a_record(folder, make_client):
    """A record of 1 MB waits for a slow reader of a FIFO, and a signal handler on its thread forks;
    in the child, the same client records once more. Gives what the FIFO received, the child's
    exit status, and what each of the child's calls raised (None where it returned)."""
    fifo = folder / "forked.fifo"
    os.mkfifo(fifo)
    recording, handled, received = threading.get_ident(), threading.Event(), []

    def read_slowly():
        with open(fifo, "rb", buffering=0) as reader:
            received.append(reader.read(1 << 16))
            # The record has begun, and the FIFO stays full until the handler forked. The signal
            # goes to the recording thread itself: one sent to the process may reach this thread
            # instead, and leave the record waiting.
            deadline = time.monotonic() + 30
            while not handled.wait(0.01) and time.monotonic() < deadline:
                signal.pthread_kill(recording, signal.SIGUSR1)
            while chunk := reader.read(1 << 16):
                received.append(chunk)

    reading = threading.Thread(target=read_slowly)
    reading.start()
    client = make_client(str(fifo))
    report, report_to_parent = os.pipe()
    parent, children = os.getpid(), []

    def fork_inside_the_record(signum, frame):
        if children or os.getpid() != parent:  # once: a signal sent again meanwhile changes nothing
            return
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", DeprecationWarning)  # the reading thread runs
            pid = os.fork()
        if pid == 0:
            signal.signal(signal.SIGALRM, signal.SIG_DFL)
            signal.alarm(30)  # the child's watchdog
        else:
            children.append(pid)
            handled.set()

    def raised(record):
        try:
            client.record_trace(record)
        except BaseException as error:
            return error
        return None

    previous = signal.signal(signal.SIGUSR1, fork_inside_the_record)
    try:
        outcomes = [raised("x" * 1_000_000)]
        if os.getpid() != parent:
            outcomes.append(raised({"child": 1}))
            os.write(report_to_parent, pickle.dumps(outcomes))
    finally:
        if os.getpid() != parent:
            os._exit(0)
        handled.set()
        signal.signal(signal.SIGUSR1, previous)
        os.close(report_to_parent)
    status = exit_status(children[0], timeout=30) if children else None
    with os.fdopen(report, "rb") as from_child:
        reported = from_child.read()
    del client
    reading.join(30)
    return b"".join(received), status, pickle.loads(reported) if reported else None


def test_a_fork_from_a_signal_handler_inside_a_record_leaves_the_record_to_the_parent(tmp_path):
    data, status, outcomes = fork_from_a_signal_handler_inside_a_record(tmp_path, OsselClient)
    # The record once and whole, then the child's next record, after a line feed of its own.
    assert runs(data) == [(b'"', 1), (b"x", 1_000_000), (b'"', 1), (b"\n", 2), *runs(b'{"child":1}\n')]
    assert status == 0 and outcomes is not None
    [first, second] = outcomes
    assert type(first) is RuntimeError and str(first) == (
        "Cannot finish a trace record in a process forked while it was being written: "
        "the parent process writes it")
    assert second is None
