"""Many writers on one trace file: every record arrives as a whole line of its
own, once, in its thread's call order, whether the writers are threads of one
process sharing clients or clients in separate processes."""
import json
import pathlib
import subprocess
import sys
import threading

import pytest

import ossel
from ossel._native import OsselClient

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


# One client and its threads, in a process of its own: the interpreter lock
# orders the writes of one process, so only writers in separate processes can
# place their bytes between the pieces of a record written in several writes.
CLIENT_PROGRAM = """
import sys, threading
sys.path[:0] = sys.argv[1:3]
from ossel._native import OsselClient
from test_recorder_stress import THREADS_PER_CLIENT, record_all

path, client_id = sys.argv[3], int(sys.argv[4])
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
    package_root = str(pathlib.Path(ossel.__file__).parents[1])
    tests_dir = str(pathlib.Path(__file__).parent)
    clients = [
        subprocess.Popen(
            [sys.executable, "-c", CLIENT_PROGRAM, package_root, tests_dir, str(path), str(client_id)],
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
        for client_id in range(CLIENTS)
    ]
    assert [client.stdout.readline() for client in clients] == ["ready\n"] * CLIENTS
    for client in clients:  # both start writing at once
        client.stdin.close()
    assert [client.wait(timeout=120) for client in clients] == [0] * CLIENTS
    assert_whole_lines_from_every_writer(path)
