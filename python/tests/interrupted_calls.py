"""The waits and long calls that test_interrupts.py interrupts. Run as a
program, it sets up one case in a process of its own, starts the wait or the
call, and prints one JSON line: how it ended, how long it took, when it
ended and when this process sent the signal (on the clock all processes
share), and what the process finds after it.

    python interrupted_calls.py CASE SENDER FOLDER

SENDER "thread" sends SIGINT from a thread of this process 0.2 s after the
wait starts; with "process" the caller sends it, once "blocking" is printed;
with "call" the call sends it itself, part-way through (see
traces_that_send_sigint_while_read).
"""
import array
import fcntl
import itertools
import json
import os
import signal
import sys
import termios
import threading
import time

from ossel._native import CoverageAnalyzer, OsselClient, Policy, TraceExplainer

BIG = "x" * (1 << 20)  # far more than a pipe holds
BIG_LINE = json.dumps(BIG) + "\n"


def read_until(reader, done):
    """Reads the non-blocking pipe `reader` until `done(data)` holds for all that has been read
    (or, with no `done`, until it is empty)."""
    data = b""
    while not done or not done(data):
        try:
            data += os.read(reader, 1 << 16)
        except BlockingIOError:
            if not done:
                return data
            time.sleep(0.01)
    return data


def one_line(data):
    return data.endswith(b"\n")


def seen(data):
    """What `data` read from a pipe is: its text, or the big record or the start of it."""
    text = data.decode()
    if text == BIG_LINE:
        return "the big record, whole"
    return "the start of the big record" if 1 < len(text) < len(BIG_LINE) and BIG_LINE.startswith(text) else text[:40]


def policy_waiting_for_a_writer(fifo):
    # A signal whose handler returns comes first: the wait goes on.
    signal.signal(signal.SIGUSR1, lambda *_: None)
    threading.Timer(0.1, os.kill, (os.getpid(), signal.SIGUSR1)).start()
    return lambda: Policy.from_file(fifo), None


def policy_waiting_for_data(fifo):
    os.open(fifo, os.O_RDWR)  # a writer that never writes
    return lambda: Policy.from_file(fifo), None


def client_waiting_for_a_reader(fifo):

    def after():
        reader = os.open(fifo, os.O_RDONLY | os.O_NONBLOCK)
        OsselClient(fifo).record_trace("after")
        return read_until(reader, one_line).decode()

    return lambda: OsselClient(fifo), after


def record_waiting_for_the_reader(fifo):
    reader = os.open(fifo, os.O_RDONLY | os.O_NONBLOCK)
    client = OsselClient(fifo)

    def after():
        fragment = seen(read_until(reader, None))
        client.record_trace("after")  # a FIFO cannot be read back: the client knows it tore a line
        return [fragment, read_until(reader, one_line).decode()]

    return lambda: client.record_trace(BIG), after


def stuck_writer(reader, client):
    """Starts a thread whose record waits for `reader`, a pipe that nobody reads; returns what
    finishes it: reading the pipe until that record has passed, whole."""
    writer = threading.Thread(target=client.record_trace, args=(BIG,), daemon=True)
    writer.start()
    waiting = array.array("i", [0])
    while not waiting[0]:  # until its record starts to fill the pipe
        time.sleep(0.01)
        fcntl.ioctl(reader, termios.FIONREAD, waiting)
    time.sleep(0.05)
    return lambda: seen(read_until(reader, lambda data: not writer.is_alive() and one_line(data)))


def record_waiting_for_the_same_client(fifo):
    reader = os.open(fifo, os.O_RDONLY | os.O_NONBLOCK)
    client = OsselClient(fifo)
    finish = stuck_writer(reader, client)
    return lambda: client.record_trace("waits for the client's mutex"), finish


def record_waiting_for_the_file_lock(fifo):
    reader = os.open(fifo, os.O_RDONLY | os.O_NONBLOCK)
    finish = stuck_writer(reader, OsselClient(fifo))
    other = OsselClient(fifo)
    return lambda: other.record_trace("waits for the file lock"), finish


POLICY = """version: "1"
tools: {allow: [read_file, send_email]}
sequences: [{type: never_after, trigger: read_file, forbidden: send_email}]
"""


def load(folder, text):
    path = os.path.join(folder, "policy.yaml")
    with open(path, "w") as f:
        f.write(text)
    return Policy.from_file(path)


def calls(count):
    return [{"tool": "send_email" if i % 3 else "read_file", "args": {"path": f"/srv/{i}.md"}} for i in range(count)]


# Each long call takes a second or more on an idle machine; the next call of
# the same object must work. The explanation is long (100 rules checked per
# call, 20 KB of text), so the signal comes while it is written, after the
# calls were converted; analyze spends its time converting its one long trace.
def explain_of_long_explanations(fifo):
    rules = [{"type": "before", "first": "read_file", "then": f"tool_{k}"} for k in range(100)]
    explainer = TraceExplainer(load(os.path.dirname(fifo), json.dumps({"version": "1", "sequences": rules})))
    trace = calls(60_000)
    return lambda: explainer.explain(trace), lambda: json.loads(explainer.explain(trace[:3]))["total_steps"]


def analyze_of_a_long_trace(fifo):
    analyzer = CoverageAnalyzer(load(os.path.dirname(fifo), POLICY))
    trace = calls(800_000)
    return (lambda: analyzer.analyze([trace], 80.0),
            lambda: json.loads(analyzer.analyze([trace[:3]], 80.0))["overall_coverage_pct"])


# A million traces of ten calls each, taken from 200,000 calls in an order
# that scatters a trace's calls through memory, as a real program's are:
# reading the traces, before any call is converted, takes most of a second.
# On a machine a few times faster the reading would end within the 0.3 s the
# test allows, and the conversion's own check would answer in time even if
# the reading never looked for the signal: the next cases tell that.
def analyze_of_many_short_traces(fifo):
    analyzer = CoverageAnalyzer(load(os.path.dirname(fifo), POLICY))
    made = calls(200_000)
    scattered = [made[i * 7919 % len(made)] for i in range(len(made))]
    traces = [scattered[start:start + 10] for start in range(0, len(scattered), 10)] * 50
    return (lambda: analyzer.analyze(traces, 80.0),
            lambda: json.loads(analyzer.analyze(traces[:3], 80.0))["overall_coverage_pct"])


class TracesThatSendSigintWhileRead:
    """A `traces` argument whose reading sends SIGINT part-way through and goes
    on for 100,000 elements after it, all in C: no Python code runs while it
    is read, so only the module's own check can notice the signal. os.killpg
    sends it (unlike os.kill, it does not run the handler itself) to this
    process alone, and the kernel delivers it before os.killpg returns: the
    signal has come before the next element is read, however fast the
    machine. The elements are shared objects (nothing is allocated for them),
    the first a call that cannot be converted: a reading that ignored the
    signal would end with the ValueError of that call instead of the
    KeyboardInterrupt."""

    UNCONVERTIBLE = {1: "a call whose key is not a str"}

    def __getitem__(self, index):  # the sequence protocol, which the reading asks for
        raise IndexError(index)

    def __iter__(self):
        assert os.getpgrp() == os.getpid(), "the signal must reach this process alone"
        return itertools.chain(itertools.repeat(self.UNCONVERTIBLE, 1_000),
                               map(os.killpg, [os.getpgrp()], [signal.SIGINT]),
                               itertools.repeat(self.UNCONVERTIBLE, 100_000))


def in_a_process_group_of_its_own():
    os.setpgid(0, 0)
    return TracesThatSendSigintWhileRead()


def explain_of_traces_that_send_sigint_while_read(fifo):
    explainer = TraceExplainer(load(os.path.dirname(fifo), POLICY))
    traces = in_a_process_group_of_its_own()
    return lambda: explainer.explain(traces), lambda: json.loads(explainer.explain(calls(3)))["total_steps"]


def analyze_of_traces_that_send_sigint_while_read(fifo):
    analyzer = CoverageAnalyzer(load(os.path.dirname(fifo), POLICY))
    traces = in_a_process_group_of_its_own()
    return (lambda: analyzer.analyze([traces], 80.0),
            lambda: json.loads(analyzer.analyze([calls(3)], 80.0))["overall_coverage_pct"])


def policy_of_many_tools(fifo):
    folder = os.path.dirname(fifo)
    path = os.path.join(folder, "many_tools.yaml")
    with open(path, "w") as f:
        f.write('version: "1"\ntools:\n  allow:\n' + "".join(f"    - tool_{i}\n" for i in range(3_000_000)))
    return lambda: Policy.from_file(path), lambda: type(load(folder, POLICY)).__name__


def main(case, sender, folder):
    # Python leaves SIGINT ignored when the process started with it ignored,
    # as a shell's background jobs do: Ctrl-C's handler is set here anyway.
    signal.signal(signal.SIGINT, signal.default_int_handler)
    fifo = os.path.join(folder, "fifo")
    os.mkfifo(fifo)
    block, after = globals()[case](fifo)
    # The start is taken first, so no delay in starting the timer or in
    # reading "blocking" can make the call look shorter than 0.2 s.
    start = time.monotonic()
    print("blocking", flush=True)
    sent = []
    if sender == "thread":
        def send():
            sent.append(time.monotonic())
            os.kill(os.getpid(), signal.SIGINT)

        threading.Timer(0.2, send).start()
    try:
        block()
        outcome = "returned"
    except KeyboardInterrupt as interrupt:
        # The exception as the handler raised it, without a note added on its way out.
        outcome = "KeyboardInterrupt" + (f" with notes {interrupt.__notes__}" if hasattr(interrupt, "__notes__") else "")
    except Exception as error:  # it missed the signal; the handler may yet raise on the next line
        outcome = f"{type(error).__name__}: {error}"
    ended = time.monotonic()
    print(json.dumps({"outcome": outcome, "elapsed": ended - start, "ended": ended, "sent": sent[0] if sent else None,
                      "after": after() if after else None}))


if __name__ == "__main__":
    main(*sys.argv[1:])
