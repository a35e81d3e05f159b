import json
import pathlib
import subprocess
import sys

import ossel

THREADS_PER_CLIENT = 4
RECORDS_PER_CLIENT = 10_000
LARGE_SIZE = 64 * 1024 + 1

# One client and its threads, in a process of its own: the interpreter lock
# orders the writes of one process, so only writers in separate processes can
# place their bytes between the pieces of a record written in several writes.
CLIENT_PROGRAM = """
import sys, threading
sys.path.insert(0, sys.argv[1])
from ossel._native import OsselClient

path, client_id, threads, records = sys.argv[2], int(sys.argv[3]), int(sys.argv[4]), int(sys.argv[5])
client = OsselClient(path)
large = "x" * int(sys.argv[6])
per_thread = records // threads

def work(thread):
    for i in range(per_thread):
        # Every third record is over 64 KiB, far beyond one buffer's worth.
        client.record_trace({"writer": [client_id, thread], "i": i,
                             "pad": large if i % 3 == 0 else "s"})

workers = [threading.Thread(target=work, args=(t,)) for t in range(threads)]
print("ready", flush=True)
sys.stdin.readline()
for worker in workers:
    worker.start()
for worker in workers:
    worker.join()
"""


def test_threads_and_clients_sharing_one_file_write_whole_lines(tmp_path):
    path = tmp_path / "trace.jsonl"
    package_root = str(pathlib.Path(ossel.__file__).parents[1])
    clients = [
        subprocess.Popen(
            [sys.executable, "-c", CLIENT_PROGRAM, package_root, str(path), str(client_id),
             str(THREADS_PER_CLIENT), str(RECORDS_PER_CLIENT), str(LARGE_SIZE)],
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
        for client_id in range(2)
    ]
    for client in clients:
        assert client.stdout.readline() == "ready\n"
    for client in clients:  # both start writing at once
        client.stdin.write("go\n")
        client.stdin.flush()
    for client in clients:
        client.stdin.close()
        assert client.wait(timeout=120) == 0

    lines = path.read_bytes().split(b"\n")
    assert lines.pop() == b"", "the file ends with a line feed"
    assert len(lines) == RECORDS_PER_CLIENT * len(clients)
    per_thread = RECORDS_PER_CLIENT // THREADS_PER_CLIENT
    seen = {}
    large = 0
    for line in lines:
        record = json.loads(line)
        seen.setdefault(tuple(record["writer"]), []).append(record["i"])
        large += len(record["pad"]) == LARGE_SIZE
    # Each thread's records arrive whole, once each, in its own call order.
    assert len(seen) == len(clients) * THREADS_PER_CLIENT
    assert all(order == list(range(per_thread)) for order in seen.values())
    assert large == len(seen) * len(range(0, per_thread, 3))
