"""Ctrl-C (SIGINT, from another thread or process) ends every wait of the
module's file calls within a second, and the long calls (an explain, an
analyze, a policy load that take seconds) within 0.3 s; the process goes on,
with other threads running meanwhile, and the object answers its next call.
Each case (interrupted_calls.py) runs in a process of its own, so that a wait
that ignored the signal fails the test by its timeout instead of hanging it."""
import json
import pathlib
import signal
import subprocess
import threading
import time

import pytest

from conftest import UNDER_SANITIZER
from test_recorder import python_child

# Each case, and what the process finds once the interrupted call is over.
CASES = [
    ("policy_waiting_for_a_writer", None),
    ("policy_waiting_for_data", None),
    ("client_waiting_for_a_reader", '"after"\n'),
    # What the pipe held, then the next record, on a line of its own.
    ("record_waiting_for_the_reader", ["the start of the big record", '\n"after"\n']),
    # What the pipe held once the stuck writer was let go.
    ("record_waiting_for_the_same_client", "the big record, whole"),
    ("record_waiting_for_the_file_lock", "the big record, whole"),
]
LONG_CASES = [
    ("explain_of_long_explanations", 3),
    ("analyze_of_a_long_trace", 100.0),
    ("analyze_of_many_short_traces", 100.0),
    ("policy_of_many_tools", "Policy"),
]


# A long call holds the interpreter lock, so no thread of its process can send
# the signal in time: it comes from another process, as Ctrl-C does.
@pytest.mark.parametrize("case, after, sender", [(*case, "thread") for case in CASES] +
                         [(*case, "process") for case in CASES[:1] + CASES[2:3] + LONG_CASES])
def test_keyboard_interrupt_ends_the_call(tmp_path, case, after, sender):
    program = pathlib.Path(__file__).with_name("interrupted_calls.py")
    child = python_child(program, case, sender, tmp_path, stdout=subprocess.PIPE, text=True)
    watchdog = threading.Timer(10, child.kill)  # a wait that ignores the signal fails, not hangs
    watchdog.start()
    try:
        assert child.stdout.readline() == "blocking\n"
        if sender == "process":
            time.sleep(0.2)
            sent = time.monotonic()  # one clock for every process of the machine
            child.send_signal(signal.SIGINT)
        output, _ = child.communicate()
    finally:
        watchdog.cancel()
        child.kill()
        child.wait()
    assert child.returncode == 0
    result = json.loads(output)
    assert (result["outcome"], result["after"]) == ("KeyboardInterrupt", after)
    if UNDER_SANITIZER:
        pytest.skip("the call ended as it should; how soon is not measured under the sanitizers")
    assert 0.2 <= result["elapsed"] < 1.2
    if (case, after) in LONG_CASES:
        assert result["ended"] - sent < 0.3
