"""Many writers on one trace file: every record arrives as a whole line of its
own, once, in its thread's call order, whether the writers are threads of one
process sharing clients or clients in separate processes, and whatever a
writer that is killed part way through a record leaves behind."""
import json
import pathlib
import subprocess
import sys
import threading
import time

import pytest

from ossel._native import OsselClient
from conftest import UNDER_SANITIZER
from test_recorder import exit_status, flocks, forked, python_child, whole_lines

CLIENTS = 2
THREADS_PER_CLIENT = 4
RECORDS_PER_CLIENT = 10_000
PER_THREAD = RECORDS_PER_CLIENT // THREADS_PER_CLIENT
# Every third record is over 64 KiB, far beyond one write buffer's worth.
LARGE_SIZE = 64 * 1024 + 1


@pytest.fixture
def trace_path(tmp_path):
    # Each run writes about 440 MB: remove it at once rather than leaving it in
    # the temporary folders pytest keeps from recent runs.
    path = tmp_path / "trace.jsonl"
    yield path
    path.unlink(missing_ok=True)


def record_all(client, client_id, thread):
    large = "x" * LARGE_SIZE
    for i in range(PER_THREAD):
        client.record_trace({"writer": [client_id, thread], "i": i,
                             "pad": large if i % 3 == 0 else "s"})


def assert_whole_lines_from_every_writer(path):
    lines = path.read_bytes().split(b"\n")
    assert lines.pop() == b"", "the file ends with a line feed"
    assert len(lines) == RECORDS_PER_CLIENT * CLIENTS
    seen = {}
    large = 0
    for line in lines:
        record = json.loads(line)
        seen.setdefault(tuple(record["writer"]), []).append(record["i"])
        large += len(record["pad"]) == LARGE_SIZE
    assert len(seen) == CLIENTS * THREADS_PER_CLIENT
    assert all(order == list(range(PER_THREAD)) for order in seen.values())
    assert large == len(seen) * len(range(0, PER_THREAD, 3))


def test_threads_sharing_two_clients_in_one_process_write_whole_lines(trace_path):
    path = trace_path
    clients = [OsselClient(str(path)) for _ in range(CLIENTS)]
    start = threading.Barrier(CLIENTS * THREADS_PER_CLIENT)
    errors = []

    def work(client_id, thread):
        start.wait()
        try:
            record_all(clients[client_id], client_id, thread)
        except BaseException as error:  # reported on the test's own thread
            errors.append(error)

    previous_interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-5)  # switch threads as often as the interpreter allows
    try:
        workers = [threading.Thread(target=work, args=(client_id, thread), daemon=True)
                   for client_id in range(CLIENTS) for thread in range(THREADS_PER_CLIENT)]
        for worker in workers:
            worker.start()
        for worker in workers:
            worker.join(120)
    finally:
        sys.setswitchinterval(previous_interval)
    assert not any(worker.is_alive() for worker in workers), "record_trace did not return: deadlock"
    assert not errors, errors[0]
    assert_whole_lines_from_every_writer(path)


@pytest.mark.filterwarnings("ignore:This process .* is multi-threaded:DeprecationWarning")
def test_children_forked_while_threads_record_on_one_client_record_too(trace_path):
    client = OsselClient(str(trace_path))
    stop = threading.Event()

    def work(thread):
        for i in range(20_000):  # bounded, should the flag never be set
            if stop.is_set():
                return
            client.record_trace({"thread": thread, "i": i, "pad": "x" * 1000})

    workers = [threading.Thread(target=work, args=(thread,)) for thread in range(THREADS_PER_CLIENT)]
    for worker in workers:
        worker.start()
    try:
        for child in range(30):
            assert exit_status(forked(lambda: client.record_trace({"child": child}))) == 0, child
    finally:
        stop.set()
        for worker in workers:
            worker.join(60)
    records = whole_lines(trace_path.read_bytes())
    assert sorted(record["child"] for record in records if "child" in record) == list(range(30))


# One client and its threads, in a process of its own: the interpreter lock
# orders the writes of one process, so only writers in separate processes can
# place their bytes between the pieces of a record written in several writes.
CLIENT_PROGRAM = """
import sys, threading
sys.path.insert(0, sys.argv[1])
from ossel._native import OsselClient
from test_recorder_stress import THREADS_PER_CLIENT, record_all

path, client_id = sys.argv[2], int(sys.argv[3])
client = OsselClient(path)
workers = [threading.Thread(target=record_all, args=(client, client_id, t))
           for t in range(THREADS_PER_CLIENT)]
print("ready", flush=True)
sys.stdin.readline()
for worker in workers:
    worker.start()
for worker in workers:
    worker.join()
"""


def test_clients_in_separate_processes_write_whole_lines(trace_path):
    path = trace_path
    tests_dir = pathlib.Path(__file__).parent
    clients = [python_child("-c", CLIENT_PROGRAM, tests_dir, path, client_id,
                            stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
               for client_id in range(CLIENTS)]
    try:
        assert [client.stdout.readline() for client in clients] == ["ready\n"] * CLIENTS
        for client in clients:  # both start writing at once
            client.stdin.close()
        assert [client.wait(timeout=120) for client in clients] == [0] * CLIENTS
    finally:
        for client in clients:
            client.kill()
            client.wait()
    assert_whole_lines_from_every_writer(path)


# Writers in separate processes go on appending while one more is killed with
# SIGKILL again and again, each time once it holds the file's lock, so most
# often in the middle of writing a record. Each writer reports every record
# that record_trace reported written; the sizes of its records cycle through
# its list.
STEADY_WRITERS = 3
KILLS = 12
SIZES = [10, 200, 3000, 9000, 40, 70_000, 500, 256 * 1024 - 30]
# The killed writer's records are the large ones, whose writes take long
# enough for a kill to land inside them.
VICTIM_SIZES = [256 * 1024 - 30, 100_000, 180_000]

WRITER_PROGRAM = """
import json, os, sys, threading, time
from ossel._native import OsselClient
path, name, report, sizes = sys.argv[1], sys.argv[2], sys.argv[3], json.loads(sys.argv[4])
client = OsselClient(path)
reports = os.open(report, os.O_WRONLY | os.O_APPEND | os.O_CREAT)
stop = threading.Event()
threading.Thread(target=lambda: (sys.stdin.read(), stop.set()), daemon=True).start()
print("ready", flush=True)
i = 0
while not stop.is_set():
    client.record_trace({"w": name, "i": i, "pad": "x" * sizes[i % len(sizes)]})
    os.write(reports, b"%d\\n" % i)  # in the kernel at once: a kill cannot lose it
    i += 1
    time.sleep(0.0005)
"""


def sizes_of(name):
    return VICTIM_SIZES if name.startswith("victim") else SIZES


def record_text(name, i):
    """The line that the writer `name` records as its record `i`, without the line feed."""
    sizes = sizes_of(name)
    return json.dumps({"w": name, "i": i, "pad": "x" * sizes[i % len(sizes)]},
                      separators=(",", ":")).encode()


def start_writer(path, name, report, started):
    writer = python_child("-c", WRITER_PROGRAM, path, name, report, json.dumps(sizes_of(name)),
                          stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
    started.append(writer)  # killed at the end, whatever happens
    assert writer.stdout.readline() == "ready\n"
    return writer


def reported(report):
    return [int(i) for i in report.read_text().split()] if report.exists() else []


def test_a_writer_killed_mid_record_loses_no_record_of_the_others(trace_path):
    path = trace_path
    path.touch()
    inode = path.stat().st_ino
    reports = trace_path.parent
    started = []
    try:
        steady = {f"steady-{n}": start_writer(path, f"steady-{n}", reports / f"steady-{n}", started)
                  for n in range(STEADY_WRITERS)}
        victims = []
        for kill in range(KILLS):
            name = f"victim-{kill}"
            victim = start_writer(path, name, reports / name, started)
            deadline = time.monotonic() + 10
            while flocks(inode).get(victim.pid) is not False and time.monotonic() < deadline:
                pass
            victim.kill()
            victim.wait()
            victims.append(name)
        for writer in steady.values():
            writer.stdin.close()
        assert [writer.wait(timeout=30) for writer in steady.values()] == [0] * STEADY_WRITERS
    finally:
        for writer in started:
            writer.kill()
            writer.wait()

    lines = path.read_bytes().split(b"\n")
    assert lines.pop() == b"", "the file ends with a line feed"
    written = {}  # writer: the indices of its whole records, in file order
    fragments = []
    for line in lines:
        try:
            record = json.loads(line)
        except ValueError:
            fragments.append(line)
            continue
        assert line == record_text(record["w"], record["i"])
        written.setdefault(record["w"], []).append(record["i"])
    for name in steady:
        assert written[name] == reported(reports / name)
    for name in victims:
        # A killed writer may have written its last record without reporting it.
        whole = written.get(name, [])
        assert whole == list(range(len(whole)))
        assert len(reported(reports / name)) in (len(whole), len(whole) - 1)
    # Every line that does not parse is the start of the record a killed
    # writer was writing, the one after the last it wrote whole; one at most
    # for each. The longest go first: a short one may fit more than one.
    cut_short = set()
    for fragment in sorted(fragments, key=len, reverse=True):
        name = next((name for name in victims if name not in cut_short and
                     record_text(name, len(written.get(name, []))).startswith(fragment)), None)
        assert name is not None, fragment[:60]
        cut_short.add(name)
    if UNDER_SANITIZER and not fragments:
        pytest.skip("no kill came in the middle of a record: the sanitizers' overhead moves the timing it needs")
    assert fragments, "no kill came in the middle of a record"
