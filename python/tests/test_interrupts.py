"""Ctrl-C ends every wait of the module's file calls: reading a policy from a
FIFO without a writer or without data, opening a trace file on a FIFO without
a reader, a record waiting for a stalled reader, and a record waiting for a
writer stuck on one (the same client's or another's). KeyboardInterrupt comes
within a second of SIGINT, from another thread or another process, and the
process goes on: other threads still run meanwhile, and the client stays
usable. It ends the long calls too (an explain, an analyze, a policy load that
take seconds) within 0.3 s of the signal, and the object answers its next
call. Reading a traces argument whose iteration runs no Python code (which
would notice the signal itself) stops at a signal that comes part-way, by the
module's own check. Each case (interrupted_calls.py) runs in a process of its
own, so that a wait that ignored the signal fails the test by its timeout
instead of hanging the suite."""
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


def run_interrupted(case, sender, folder):
    """What the case's process prints, with "sent" the time SIGINT was sent, from whichever process."""
    program = pathlib.Path(__file__).with_name("interrupted_calls.py")
    child = python_child(program, case, sender, folder, stdout=subprocess.PIPE, text=True)
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
    if sender == "process":
        result["sent"] = sent
    assert result["outcome"] == "KeyboardInterrupt"
    if sender != "call":
        assert result["elapsed"] >= 0.2
    return result


def answered_within(result, seconds):
    """The call ended as it should; how soon is not measured under the sanitizers."""
    if UNDER_SANITIZER:
        pytest.skip("how soon a call answers is not measured under the sanitizers")
    assert result["ended"] - result["sent"] < seconds


@pytest.mark.parametrize("case, after", CASES)
def test_a_wait_ends_with_keyboard_interrupt_from_another_thread(tmp_path, case, after):
    result = run_interrupted(case, "thread", tmp_path)
    assert result["after"] == after
    answered_within(result, 1.0)


# A long call holds the interpreter lock, so no thread of its process can send
# the signal in time: it comes from another process, as Ctrl-C does.
@pytest.mark.parametrize("case, after", CASES[:1] + CASES[2:3] + LONG_CASES)
def test_a_wait_or_a_long_call_ends_with_keyboard_interrupt_from_another_process(tmp_path, case, after):
    result = run_interrupted(case, "process", tmp_path)
    assert result["after"] == after
    answered_within(result, 0.3 if (case, after) in LONG_CASES else 1.0)


# The signal comes while the traces are read, sent by their own reading; a
# reading that did not look for it would end with the ValueError of their
# first call, which cannot be converted (interrupted_calls.py says how).
@pytest.mark.parametrize("case, after", [
    ("explain_of_traces_that_send_sigint_while_read", 3),
    ("analyze_of_traces_that_send_sigint_while_read", 100.0),
])
def test_the_reading_of_the_traces_stops_at_a_signal_that_comes_while_they_are_read(tmp_path, case, after):
    assert run_interrupted(case, "call", tmp_path)["after"] == after
