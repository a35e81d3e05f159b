"""The policy guide (docs/policy.md), the README and the reference's opening
example (docs/reference.md) run here: every policy, call list and output they
show is loaded, run and compared with what the text says. An example is a
fenced block right after an HTML comment (unseen when rendered) that says what
it is:

    <!-- file: NAME -->  <!-- calls: NAME -->  a policy file / a JSON list of tool calls
    <!-- error: FILE -->                       the exact message that loading FILE raises
    <!-- explain: FILE CALLS -->  <!-- steps: FILE CALLS -->  the explanation, as JSON / one line per check
    <!-- analyze: FILE THRESHOLD CALLS... -->  the coverage report, as JSON
    <!-- run -->  <!-- output -->              Python run in the folder of the files / what it prints
    <!-- console: exit STATUS -->              "$ python SCRIPT ARGS..." run in the checkout: what it
                                               prints on both streams, in order, 80 columns wide; status

JSON is compared after parsing and writing it compactly again, which keeps
member order and number forms significant.
"""
import contextlib
import dataclasses
import io
import json
import os
import pathlib
import re
import subprocess
import sys
import types

import pytest

import ossel._native as native

CHECKOUT = pathlib.Path(__file__).resolve().parents[2]
GUIDE = CHECKOUT / "docs" / "policy.md"
README = CHECKOUT / "README.md"
REFERENCE = CHECKOUT / "docs" / "reference.md"

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


def read_document(path):
    """The document's files (policies) and call lists by name, and its checked examples."""
    text = path.read_text(encoding="utf-8")
    document = types.SimpleNamespace(path=path, files={}, calls={}, checks=[])
    for match in EXAMPLE.finditer(text):
        example = Example(match["kind"], match["words"].split(), match["body"],
                          text.count("\n", 0, match.start("body")) + 1)
        if example.kind == "file":
            document.files[example.words[0]] = example.body
        elif example.kind == "calls":
            document.calls[example.words[0]] = json.loads(example.body)
        elif example.kind == "output":
            document.checks[-1].output = example.body
        else:
            assert example.kind in CHECKS, f"{path.name}:{example.line}: unknown example kind {example.kind!r}"
            document.checks.append(example)
    return document


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


def write_files(folder, document):
    for file_name, body in document.files.items():
        (folder / file_name).write_text(body, encoding="utf-8")


def load(folder, document, name):
    write_files(folder, document)
    return native.Policy.from_file(str(folder / name))


def actual_output(example, document, folder, monkeypatch):
    """What the module gives for the example, in the form the example shows."""
    words = example.words
    if example.kind == "error":
        with pytest.raises(ValueError) as raised:
            load(folder, document, words[0])
        return str(raised.value) + "\n"
    if example.kind == "run":  # what it prints, run in the folder that holds the files
        write_files(folder, document)
        monkeypatch.chdir(folder)
        printed = io.StringIO()
        with contextlib.redirect_stdout(printed):
            exec(compile(example.body, f"{document.path.name}:{example.line}", "exec"), {})
        return printed.getvalue()
    if example.kind == "console":
        command = example.body.partition("\n")[0].split()[2:]
        done = subprocess.run([sys.executable, *command], cwd=CHECKOUT, stdout=subprocess.PIPE,
                              stderr=subprocess.STDOUT, text=True, timeout=60,
                              env={**os.environ, "PYTHONUNBUFFERED": "1", "COLUMNS": "80"})
        return f"exit {done.returncode}\n{done.stdout}"
    policy = load(folder, document, words[0])
    if example.kind == "analyze":
        return native.CoverageAnalyzer(policy).analyze([document.calls[name] for name in words[2:]], float(words[1]))
    explanation = native.TraceExplainer(policy).explain(document.calls[words[1]])
    return render_steps(json.loads(explanation)) if example.kind == "steps" else explanation


def shown_output(example):
    if example.kind in ("explain", "analyze"):  # written compactly, as the module writes it
        return json.dumps(json.loads(example.body), ensure_ascii=False, separators=(",", ":"))
    if example.kind == "console":
        return f"exit {example.words[1]}\n" + example.body.partition("\n")[2]
    return example.output if example.kind == "run" else example.body


DOCUMENTS = [read_document(path) for path in (GUIDE, README, REFERENCE)]


@pytest.mark.parametrize(
    "document, example",
    [(document, example) for document in DOCUMENTS for example in document.checks],
    ids=lambda value: f"{value.kind}@{value.line}" if isinstance(value, Example) else value.path.name)
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
    guide, readme, _ = DOCUMENTS
    assert {example.kind for example in guide.checks} == {"error", "explain", "steps", "analyze", "run"}
    assert all(example.output is not None for example in readme.checks if example.kind == "run")
