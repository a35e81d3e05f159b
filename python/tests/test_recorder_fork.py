"""A child made by fork() gives up its parent's open of the trace file at once,
so a parent that dies holding the file's lock leaves it free: the lock belongs
to the open, which the kernel closes only with its last copy."""
import contextlib
import os
import signal
import subprocess
import time

import pytest

from test_recorder import lock_shim_preloaded, python_child

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
    assert sorted(data.splitlines(keepends=True)) == sorted(
        [FILLER] * fillers + [b'{"child":"inherited client"}\n', b'{"child":"new client"}\n'])
