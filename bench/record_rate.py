"""Measures how many small records one thread appends per second through
OsselClient.record_trace, best of a few rounds, into a fresh file in the given
folder (default: the system's temporary folder).

    PYTHONPATH=build/cmake/python build/venv-3.12/bin/python bench/record_rate.py [records] [folder]
"""
import os
import sys
import tempfile
import time

from ossel._native import OsselClient

ROUNDS = 5
TRACE = {"session": 1, "calls": [{"tool": "read_file", "args": {"path": "a.md"}}]}


def records_per_second(records, folder):
    descriptor, path = tempfile.mkstemp(suffix=".jsonl", dir=folder)
    os.close(descriptor)
    try:
        client = OsselClient(path)
        record = client.record_trace
        start = time.perf_counter()
        for _ in range(records):
            record(TRACE)
        return records / (time.perf_counter() - start)
    finally:
        os.unlink(path)


def main(argv):
    records = int(argv[0]) if argv else 200_000
    folder = argv[1] if len(argv) > 1 else None
    best = max(records_per_second(records, folder) for _ in range(ROUNDS))
    print(f"{best:,.0f} records/s ({records:,} records of one small trace, best of {ROUNDS})")


if __name__ == "__main__":
    main(sys.argv[1:])
