"""The policy guide (docs/policy.md) and the README's "Writing a policy" section
run here: every policy, call list and output they show is loaded, run and
compared with what the text says, so the documents cannot drift from the
module.

An example is a fenced block right after an HTML comment that says what the
block is (the comment does not show when the Markdown is rendered):

    <!-- file: NAME -->                  a file (a policy), written as NAME
    <!-- calls: NAME -->                 a JSON list of tool calls
    <!-- error: FILE -->                 the exact message that loading FILE raises
    <!-- explain: FILE CALLS -->         the explanation of CALLS, as JSON
    <!-- steps: FILE CALLS -->           the same explanation, one line per check
    <!-- analyze: FILE THRESHOLD CALLS... -->  the coverage report, as JSON
    <!-- run -->                         Python, run in the folder that holds the files
    <!-- output -->                      what the Python block before it prints
    <!-- console: exit STATUS -->        "$ python SCRIPT ARGS..." run in the checkout,
                                         then what it prints and its exit status

JSON may be laid out freely: it is compared with the module's text after
parsing and writing it compactly again, which keeps member order and number
forms significant.
"""
import contextlib
import dataclasses
import io
import json
import pathlib
import re
import subprocess
import sys

import pytest

import ossel._native as native

CHECKOUT = pathlib.Path(__file__).resolve().parents[2]
GUIDE = CHECKOUT / "docs" / "policy.md"
README = CHECKOUT / "README.md"

FENCE = re.compile(r"^```", re.MULTILINE)
EXAMPLE = re.compile(r"<!-- (?P<kind>[a-z]+):?(?P<words>[^>]*?) -->\n```[a-z]*\n(?P<body>.*?)^```",
                     re.MULTILINE | re.DOTALL)
CHECKS = ("error", "explain", "steps", "analyze", "run", "console")


@dataclasses.dataclass
class Example:
    kind: str
    words: list
    body: str
    line: int
    output: str | None = None  # what a run block prints


@dataclasses.dataclass
class Document:
    path: pathlib.Path
    files: dict
    calls: dict
    checks: list


def read_document(path):
    text = path.read_text(encoding="utf-8")
    files, calls, checks = {}, {}, []
    for match in EXAMPLE.finditer(text):
        example = Example(match["kind"], match["words"].split(), match["body"],
                          text.count("\n", 0, match.start("body")) + 1)
        if example.kind == "file":
            files[example.words[0]] = example.body
        elif example.kind == "calls":
            calls[example.words[0]] = json.loads(example.body)
        elif example.kind == "output":
            checks[-1].output = example.body
        elif example.kind in CHECKS:
            checks.append(example)
        else:
            raise AssertionError(f"{path.name}:{example.line}: unknown example kind {example.kind!r}")
    return Document(path, files, calls, checks)


def render_steps(explanation):
    """One line per step and one per check, then the blocking rules."""
    lines = []
    for step in explanation["steps"]:
        lines.append(f"#{step['index']} {step['tool']} {step['verdict']}")
        for check in step["rules_evaluated"]:
            outcome = "passed" if check["passed"] else "FAILED"
            lines.append(f"  {outcome} {check['rule_id']}: {check['explanation']}")
    lines.append("blocking rules: " + (", ".join(explanation["blocking_rules"]) or "none"))
    return "\n".join(lines) + "\n"


def compact(shown_json):
    return json.dumps(json.loads(shown_json), ensure_ascii=False, separators=(",", ":"))


def write_files(folder, document):
    for file_name, body in document.files.items():
        (folder / file_name).write_text(body, encoding="utf-8")


def load(folder, document, name):
    write_files(folder, document)
    return native.Policy.from_file(str(folder / name))


def run_python(folder, document, example, monkeypatch):
    """What the example's Python prints, run in the folder that holds the files."""
    write_files(folder, document)
    monkeypatch.chdir(folder)
    printed = io.StringIO()
    with contextlib.redirect_stdout(printed):
        exec(compile(example.body, f"{document.path.name}:{example.line}", "exec"), {})
    return printed.getvalue()


def actual_output(example, document, folder, monkeypatch):
    """What the module gives for the example, in the form the example shows."""
    words = example.words
    if example.kind == "error":
        with pytest.raises(ValueError) as raised:
            load(folder, document, words[0])
        return str(raised.value) + "\n"
    if example.kind == "run":
        return run_python(folder, document, example, monkeypatch)
    if example.kind == "console":
        command = example.body.partition("\n")[0].split()[2:]
        done = subprocess.run([sys.executable, *command], cwd=CHECKOUT, capture_output=True, text=True, timeout=60)
        return f"exit {done.returncode}\n{done.stdout}"
    policy = load(folder, document, words[0])
    if example.kind == "analyze":
        traces = [document.calls[name] for name in words[2:]]
        return native.CoverageAnalyzer(policy).analyze(traces, float(words[1]))
    explanation = native.TraceExplainer(policy).explain(document.calls[words[1]])
    return render_steps(json.loads(explanation)) if example.kind == "steps" else explanation


def shown_output(example):
    if example.kind in ("explain", "analyze"):
        return compact(example.body)
    if example.kind == "console":
        return f"exit {example.words[1]}\n" + example.body.partition("\n")[2]
    return example.output if example.kind == "run" else example.body


DOCUMENTS = [read_document(path) for path in (GUIDE, README)]


@pytest.mark.parametrize(
    "document, example",
    [(document, example) for document in DOCUMENTS for example in document.checks],
    ids=lambda value: f"{value.path.name}" if isinstance(value, Document) else f"{value.kind}@{value.line}")
def test_shown_output_is_what_the_module_gives(document, example, tmp_path, monkeypatch):
    assert actual_output(example, document, tmp_path, monkeypatch) == shown_output(example)


@pytest.mark.parametrize("document", DOCUMENTS, ids=lambda document: document.path.name)
def test_every_policy_shown_loads_or_shows_its_error(document, tmp_path):
    failing = {example.words[0] for example in document.checks if example.kind == "error"}
    for name in document.files:
        if name not in failing:
            load(tmp_path, document, name)


def test_every_block_of_the_guide_is_a_checked_example():
    text = GUIDE.read_text(encoding="utf-8")
    blocks = len(FENCE.findall(text)) // 2
    assert blocks == len(list(EXAMPLE.finditer(text)))
    kinds = {example.kind for example in read_document(GUIDE).checks}
    assert kinds == {"error", "explain", "steps", "analyze", "run"}
    assert all(example.output is not None for example in read_document(README).checks if example.kind == "run")
