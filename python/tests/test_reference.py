"""docs/reference.md: every row of its exception tables runs here, so the
reference cannot drift from the module. A table with the header

    | Exception | When | Message | Example |

has one row per exception. Its example (Python statements in the last cell)
runs in a folder that holds the reference's files, after the reference's
opening example, and must raise exactly that exception. The message cell
holds the message's form, in which {...} stands for a part that varies ({number},
{line} and {column} for digits), or no code at all where the text is Python's
own. "note `name`" in the When cell is the note "while processing 'name'" the
exception must carry; a row without it wants no note. A row whose situation
cannot be written as a one-line example names it in words and is reproduced
by a scenario below, found by its message.
"""
import builtins
import contextlib
import dataclasses
import io
import os
import pathlib
import re
import signal
import threading

import pytest

from test_policy_guide import read_document, write_files
from test_recorder_fork import fork_from_a_signal_handler_inside_a_record

REFERENCE = pathlib.Path(__file__).resolve().parents[2] / "docs" / "reference.md"
HEADER = "| Exception | When | Message | Example |"
CODE = re.compile(r"(`+)(.+?)\1")
PLACEHOLDER = re.compile(r"\{[a-z ]+\}")
DIGITS = {"{number}", "{line}", "{column}"}


@dataclasses.dataclass
class Row:
    line: int
    exception: type
    note: str | None
    message: str | None  # the message's form; None where the text is Python's own
    example: str | None  # None where a scenario reproduces the row

    def matches(self, text):
        parts = PLACEHOLDER.split(self.message)
        holes = [r"\d+" if hole in DIGITS else ".+?" for hole in PLACEHOLDER.findall(self.message)]
        pattern = re.escape(parts[0]) + "".join(hole + re.escape(part) for hole, part in zip(holes, parts[1:]))
        return re.fullmatch(pattern, text, re.DOTALL) is not None


def code_spans(cell):
    """The code in a Markdown cell; `` x `` loses its padding spaces as Markdown says."""
    spans = [match[2] for match in CODE.finditer(cell)]
    return [span[1:-1] if span.startswith(" ") and span.endswith(" ") and span.strip() else span
            for span in spans]


def read_rows():
    rows, in_table = [], False
    for number, line in enumerate(REFERENCE.read_text(encoding="utf-8").splitlines(), start=1):
        if line == HEADER:
            in_table = True
        elif in_table and line.startswith("|"):
            if set(line) <= set("|-"):
                continue
            exception, when, message, example = (cell.strip() for cell in line.strip("|").split(" | "))
            note = re.search(r"note `(\w+)`", when)
            messages, examples = code_spans(message), code_spans(example)
            rows.append(Row(number, getattr(builtins, code_spans(exception)[0]), note and note[1],
                            messages[0] if messages else None, examples[0] if examples else None))
        else:
            in_table = False
    return rows


DOCUMENT = read_document(REFERENCE)
ROWS = read_rows()


def record_from_a_signal_handler(folder, names):
    """A record waits for a slow reader of a FIFO; meanwhile a signal handler
    on the same thread records to that file. The exception it gets is returned."""
    fifo = folder / "slow.fifo"
    os.mkfifo(fifo)
    handled, raised = threading.Event(), []

    def read_when_handled():
        with open(fifo, "rb") as reader:
            handled.wait(30)
            while reader.read(1 << 16):
                pass

    reader = threading.Thread(target=read_when_handled)
    reader.start()
    client = names["OsselClient"](str(fifo))

    def handler(signum, frame):
        try:
            client.record_trace({"from": "handler"})
        except BaseException as error:
            raised.append(error)
            handled.set()
        else:  # the big record had not begun yet: try again while it waits
            signal.setitimer(signal.ITIMER_REAL, 0.05)

    previous = signal.signal(signal.SIGALRM, handler)
    try:
        signal.setitimer(signal.ITIMER_REAL, 0.05)
        client.record_trace("x" * (1 << 20))  # far more than the pipe holds
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)
        handled.set()
        del client
        reader.join()
    return raised[0]


def fork_from_a_signal_handler(folder, names):
    """A record waits for a slow reader of a FIFO; meanwhile a signal handler
    on the same thread forks. The exception the child's call got is returned."""
    data, status, outcomes = fork_from_a_signal_handler_inside_a_record(folder, names["OsselClient"])
    return outcomes[0]


SCENARIOS = {
    "Cannot record a trace from a signal handler while its thread writes to the same trace file":
        record_from_a_signal_handler,
    "Cannot finish a trace record in a process forked while it was being written: the parent process writes it":
        fork_from_a_signal_handler,
}


def after_the_opening_example(folder):
    """The names the reference's opening example leaves, run in `folder` with the reference's files."""
    write_files(folder, DOCUMENT)
    [opening] = DOCUMENT.checks
    names = {}
    with contextlib.redirect_stdout(io.StringIO()):
        exec(compile(opening.body, f"{REFERENCE.name}:{opening.line}", "exec"), names)
    return names


def raised_by(row, folder):
    """Runs the opening example, then the row's example or scenario; returns what it raised."""
    names = after_the_opening_example(folder)
    try:
        if row.example is None:
            return SCENARIOS[row.message](folder, names)
        exec(compile(row.example, f"{REFERENCE.name}:{row.line}", "exec"), names)
    except BaseException as error:
        return error
    return None


def test_the_tables_have_their_rows_and_each_can_be_checked():
    assert len(ROWS) >= 50
    for row in ROWS:
        # A form of placeholders alone would match any message.
        assert row.message is None or PLACEHOLDER.sub("", row.message).strip(), row
        assert row.example is not None or row.message in SCENARIOS, row
    assert set(SCENARIOS) <= {row.message for row in ROWS if row.example is None}


@pytest.mark.parametrize("row", ROWS, ids=lambda row: f"line{row.line}")
def test_each_row_raises_its_exception_with_its_message(row, tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    raised = raised_by(row, tmp_path)
    assert type(raised) is row.exception, f"{REFERENCE.name}:{row.line}: {raised!r}"
    assert row.message is None or row.matches(str(raised)), f"{REFERENCE.name}:{row.line}: {str(raised)!r}"
    expected_notes = [f"while processing '{row.note}'"] if row.note else None
    assert getattr(raised, "__notes__", None) == expected_notes
    if isinstance(raised, OSError):  # the reason is the whole text: no path, no error number
        assert (raised.errno, raised.strerror, raised.filename) == (None, None, None)


# The Python blocks without a tag: the signatures of each entry and the
# internal-fault recipe, which use the opening example's names.
UNTAGGED_PYTHON = re.compile(r"(?<!-->\n)^```python\n(.*?)^```", re.MULTILINE | re.DOTALL)


def test_every_other_python_block_runs_after_the_opening_example(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    text = REFERENCE.read_text(encoding="utf-8")
    blocks = [(text.count("\n", 0, match.start(1)) + 1, match[1]) for match in UNTAGGED_PYTHON.finditer(text)]
    assert len(blocks) >= 8
    names = after_the_opening_example(tmp_path)
    for line, body in blocks:
        exec(compile(body, f"{REFERENCE.name}:{line}", "exec"), names)
