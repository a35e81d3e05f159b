"""examples/ci_check.py reads a trace file line by line: a blank line is
skipped and not counted, any other line that is not a record of a run (a
fragment, text nested too deep for the JSON decoder) is skipped and counted.
A --threshold that is not a finite number is a usage error, exit status 2.
Its outputs and exit statuses for whole files are shown, and run, in the
README's "Using Ossel in CI"."""
import pathlib
import subprocess
import sys

import pytest

CHECKOUT = pathlib.Path(__file__).resolve().parents[2]


def test_blank_lines_are_not_counted_and_unreadable_lines_are(tmp_path):
    run = '{"session": 1, "calls": [{"tool": "read_file"}]}'
    lines = ["", run, "   ", '{"session": 2, "calls": [{"tool": "re', "[" * 100_000, "\t", run]
    trace_file = tmp_path / "traces.jsonl"
    trace_file.write_text("\n".join(lines) + "\n")
    done = subprocess.run([sys.executable, "examples/ci_check.py", "examples/policy.yaml", str(trace_file)],
                          cwd=CHECKOUT, capture_output=True, text=True, timeout=60)
    assert (done.stdout.splitlines()[0], done.stderr) == (
        f"{trace_file}: 2 runs read; lines skipped as unreadable: 2", "")


# NaN would fail every gate and minus infinity pass every one, whatever the runs.
@pytest.mark.parametrize("threshold, error", [
    ("nan", "not a finite number: 'nan'"),
    ("-inf", "not a finite number: '-inf'"),
    ("1e400", "not a finite number: '1e400'"),  # too large for a float: infinity
    ("eighty", "invalid percent value: 'eighty'"),
])
def test_a_threshold_that_is_not_a_finite_number_is_a_usage_error(threshold, error):
    done = subprocess.run([sys.executable, "examples/ci_check.py", "examples/policy.yaml",
                           "examples/traces/ci_pass.jsonl", f"--threshold={threshold}"],
                          cwd=CHECKOUT, capture_output=True, text=True, timeout=60)
    assert (done.returncode, done.stdout, done.stderr.splitlines()[-1]) == (
        2, "", f"ci_check.py: error: argument --threshold: {error}")
