"""Explanations of long traces: the result str is built from the text in
pieces, so it must come out whole and in order whatever characters the pieces
hold, and at its highest the memory stays near the size of the result."""
import json
import os
import subprocess
import sys

import pytest

import ossel._native as native
from conftest import bounds_time_or_memory

ASCII_MESSAGES_POLICY = """\
version: "1"
name: long
sequences:
  - type: blocklist
    pattern: zz
"""


def test_a_text_of_many_pieces_arrives_whole_while_its_characters_widen(load_policy):
    # The messages are ASCII, so the str starts narrow; a Latin-1, a BMP and an
    # astral tool name later widen it piece by piece.
    late_names = {2000: "naïve", 3000: "Σίσυφος", 3999: "rocket 🚀"}
    trace = [{"tool": late_names.get(i, f"tool_{i % 7}"), "args": {"n": i, "note": "\"quoted\"\n" + "x" * 200}}
             for i in range(4000)]
    text = native.TraceExplainer(load_policy(ASCII_MESSAGES_POLICY)).explain(trace)

    assert len(text.encode()) > 4 * 256 * 1024  # several pieces
    parsed = json.loads(text)
    # The text is compact JSON that Python writes the same way, so any piece
    # lost, repeated or out of place shows as a difference.
    assert json.dumps(parsed, ensure_ascii=False, separators=(",", ":")) == text
    assert [step["tool"] for step in parsed["steps"]] == [call["tool"] for call in trace]
    assert [step["args"] for step in parsed["steps"]] == [call["args"] for call in trace]
    assert parsed["steps"][-1]["state_snapshot"]["calls:rocket 🚀"] == "1"


MEMORY_POLICY = "\n".join(
    ['version: "1"', "name: memory", "sequences:", "  - {type: before, first: t0, then: t1}"]
    + [f"  - {{type: max_calls, tool: t{k}, max: 100000}}" for k in range(10)]
    + [f"  - {{type: eventually, tool: t{k}, within: 5}}" for k in range(10)]
    + [f"  - {{type: never_after, trigger: t{k}, forbidden: never_{k}}}" for k in range(10)]
    + [f"  - {{type: sequence, tools: [t{k}, t{k + 1}, t{k + 2}]}}" for k in range(5)]) + "\n"

# Run apart, so that the peak belongs to this one explain: the baseline is the
# resident size once the trace and the explainer exist, the peak the high-water
# mark from then until the result is back. The text, handed on in many
# pieces, must come out with every step.
MEASURE_PEAK = """\
import sys
sys.path.insert(0, sys.argv[1])
from ossel._native import Policy, TraceExplainer

def status_kib(field):
    with open("/proc/self/status") as status:
        return next(int(line.split()[1]) for line in status if line.startswith(field + ":"))

explainer = TraceExplainer(Policy.from_file(sys.argv[2]))
trace = [{"tool": f"t{i % 10}", "args": {"i": i}} for i in range(6000)]
baseline = status_kib("VmRSS")
with open("/proc/self/clear_refs", "w") as clear_refs:
    clear_refs.write("5")  # the high-water mark starts again from here
result = explainer.explain(trace)
peak = status_kib("VmHWM") - baseline
assert result.count('{"index":') == len(trace) and result.endswith("]}")
print(peak, len(result.encode()), max(result) > "\\xff")
"""


@bounds_time_or_memory
@pytest.mark.skipif(not os.path.exists("/proc/self/clear_refs"), reason="needs Linux's resettable peak RSS")
def test_explaining_holds_the_result_and_little_else(tmp_path):
    (tmp_path / "policy.yaml").write_text(MEMORY_POLICY)
    package_root = os.path.dirname(os.path.dirname(native.__file__))
    out = subprocess.run([sys.executable, "-c", MEASURE_PEAK, package_root, str(tmp_path / "policy.yaml")],
                         capture_output=True, text=True, check=True).stdout.split()
    added_kib, text_bytes, two_bytes_per_character = int(out[0]), int(out[1]), out[2] == "True"
    # The messages' check marks make a str of two bytes per character: the
    # str alone is twice the UTF-8 text. Holding the whole text next to it
    # would make it three times.
    assert two_bytes_per_character and text_bytes > 30_000_000
    assert added_kib * 1024 < 2.25 * text_bytes
