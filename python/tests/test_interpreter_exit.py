"""A daemon thread that waits inside the module when the program ends: its
wait ends while the interpreter finalizes, and the interpreter ends the thread
as it takes the interpreter lock back. The process exits with the program's
own status, without "terminate called" or a crash."""
import os
import platform
import subprocess

import pytest

from conftest import UNDER_SANITIZER
from test_recorder import python_child

pytestmark = [
    pytest.mark.skipif(platform.machine() != "x86_64" or not os.path.isdir("/proc/self/task"),
                       reason="watches the waiting thread's system call through /proc (x86-64 numbers)"),
    # The interpreter ends the thread by unwinding its stack (pthread_exit);
    # AddressSanitizer's runtime then unpoisons the abandoned frames through
    # its own sigaltstack interceptor, which reports its own write there as a
    # stack-buffer-overflow and then fails one of its internal checks.
    pytest.mark.skipif(UNDER_SANITIZER, reason="AddressSanitizer's runtime trips over the thread's forced unwinding"),
]

# Run as `python -c PROGRAM CASE FOLDER`. The main thread starts a daemon
# thread that waits inside the module, sees it wait, and ends. The other side
# lets go from a __del__ that runs while the interpreter finalizes, then waits
# until the thread is gone, and says so on standard output.
PROGRAM = r"""
import collections.abc, fcntl, os, sys, threading, time, types
from ossel._native import OsselClient, Policy, TraceExplainer

case, folder = sys.argv[1:]
path = os.path.join(folder, "file")
SYSCALLS = {"open": 257, "flock": 73, "write": 1}

def start(target, *args):
    thread = threading.Thread(target=target, args=args, daemon=True)
    thread.start()
    return thread

def wait_in(thread, call):
    deadline = time.monotonic() + 20
    while time.monotonic() < deadline:
        with open(f"/proc/self/task/{thread.native_id}/syscall") as state:
            if state.read().split()[0] == str(SYSCALLS[call]):
                return
        time.sleep(0.01)
    sys.exit(f"the thread never waited in {call}")

class LetGoWhileFinalizing:
    # Holds what it needs itself: module globals are gone by the time it runs.
    def __init__(self, thread, let_go):
        self.task, self.let_go = f"/proc/self/task/{thread.native_id}", let_go
        self.exists, self.sleep, self.now = os.path.exists, time.sleep, time.monotonic
        self.finalizing, self.out = sys.is_finalizing, sys.stdout

    def __del__(self):
        finalizing = self.finalizing()
        self.let_go()
        deadline = self.now() + 20
        while self.exists(self.task) and self.now() < deadline:
            self.sleep(0.01)
        self.out.write(f"let go; finalizing: {finalizing}; thread ended: {not self.exists(self.task)}\n")

if case == "trace file lock":
    holder = os.open(path, os.O_WRONLY | os.O_CREAT)
    fcntl.flock(holder, fcntl.LOCK_EX)
    waiting = start(OsselClient(path).record_trace, {"a": 1})
    wait_in(waiting, "flock")
    let_go = lambda close=os.close: close(holder)
elif case == "FIFO reader":
    os.mkfifo(path)
    reader = os.open(path, os.O_RDONLY | os.O_NONBLOCK)
    waiting = start(OsselClient(path).record_trace, {"pad": "x" * 1_000_000})
    wait_in(waiting, "write")
    def let_go(read=os.read, sleep=time.sleep, exists=os.path.exists, task=f"/proc/self/task/{waiting.native_id}"):
        while exists(task):
            try:
                read(reader, 1 << 16)
            except BlockingIOError:
                sleep(0.001)
elif case == "FIFO writer":
    os.mkfifo(path)
    waiting = start(Policy.from_file, path)
    wait_in(waiting, "open")
    def let_go(open=os.open, write=os.write, close=os.close, flags=os.O_WRONLY | os.O_NONBLOCK):
        fifo = open(path, flags)
        write(fifo, b'version: "1"\n')
        close(fifo)
elif case == "Python code of a conversion":
    entered, held = threading.Event(), threading.Lock()
    held.acquire()
    class Waiting(collections.abc.Mapping):
        def keys(self):
            entered.set()
            held.acquire()
            return ["tool"]
        __getitem__, __iter__, __len__ = (lambda self, key: "x"), (lambda self: iter(["tool"])), (lambda self: 1)
    with open(path, "w") as policy:
        policy.write('version: "1"\n')
    waiting = start(TraceExplainer(Policy.from_file(path)).explain, [Waiting()])
    entered.wait()
    let_go = held.release

# Objects of __main__ can outlive finalization (the thread's frames may hold
# its globals), those of a module known only to sys.modules die with it.
module = types.ModuleType("let_go_while_finalizing")
module.at_exit = LetGoWhileFinalizing(waiting, let_go)
sys.modules[module.__name__] = module
del module
"""


@pytest.mark.parametrize("case", ["trace file lock", "FIFO reader", "FIFO writer", "Python code of a conversion"])
def test_a_wait_that_ends_while_the_interpreter_finalizes_leaves_the_exit_status_alone(tmp_path, case):
    child = python_child("-c", PROGRAM, case, tmp_path, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        stdout, stderr = child.communicate(timeout=60)
    finally:
        child.kill()
        child.wait()
    assert (child.returncode, stdout, stderr) == (0, "let go; finalizing: True; thread ended: True\n", "")


# Run as `python -c DROPS CASE FOLDER`. A daemon thread hands the module a
# sequence whose items are made anew by __getitem__, so the module holds their
# only references; each item's __del__ lets the interpreter lock go (sleep).
# Once the first item is freed the main thread ends: the thread is ended, by
# unwinding its stack, as it takes the lock back inside a __del__ that one of
# the module's own drops ran.
DROPS = r"""
import collections.abc, os, sys, threading, time
from ossel._native import OsselClient, Policy, TraceExplainer

case, folder = sys.argv[1:]
freed = threading.Event()

class Item(dict):
    def __del__(self, sleep=time.sleep, freed=freed):
        freed.set()
        sleep(0.001)

class Fresh(collections.abc.Sequence):
    def __len__(self):
        return 2000
    def __getitem__(self, index):
        if index >= 2000:
            raise IndexError(index)
        return Item(tool="read_file")

if case == "explain":
    path = os.path.join(folder, "policy.yaml")
    with open(path, "w") as policy:
        policy.write('version: "1"\n')
    call = TraceExplainer(Policy.from_file(path)).explain
else:
    call = OsselClient(os.path.join(folder, "traces.jsonl")).record_trace
threading.Thread(target=call, args=(Fresh(),), daemon=True).start()
freed.wait(20)
"""


@pytest.mark.parametrize("case", ["explain", "record_trace"])
def test_a_thread_ended_inside_a_finalizer_that_the_module_ran_leaves_the_exit_status_alone(tmp_path, case):
    folders = [tmp_path / str(run) for run in range(10)]
    for folder in folders:
        folder.mkdir()
    children = [python_child("-c", DROPS, case, folder, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
                for folder in folders]
    outcomes = []
    for child in children:
        try:
            outcomes.append((child.wait(timeout=60), child.stderr.read()))
        finally:
            child.kill()
            child.wait()
            child.stdout.close()
            child.stderr.close()
    assert outcomes == [(0, "")] * 10
