"""Gates a CI job on the agent runs recorded in a trace file: each run is
explained against the policy, then all runs are analyzed for coverage.

    python examples/ci_check.py POLICY TRACE_FILE [--threshold PERCENT]

TRACE_FILE holds one record per line, as OsselClient.record_trace writes it:
a JSON object whose "calls" member is the run's list of tool calls; its other
members (a session id, a date) are not read. A line that is not such an
object, such as the fragment a writer left when it died mid-record, is
skipped and counted as unreadable; a blank line is skipped and not counted.

Exit status:
  0  every run keeps the policy and the coverage meets the threshold
  1  a run broke the policy (its blocking_rules is not empty), or the
     coverage is below the threshold (PERCENT, 80 by default); a file with
     no runs (empty, or only blank or unreadable lines) covers 0.0 %, which
     fails any threshold above 0
  2  the command line is wrong (an argument missing or unknown, a PERCENT
     that is not a finite number, such as nan or inf), the policy cannot be
     read or does not load, the trace file cannot be read, or a run holds a
     call that is not a tool call; the message goes to standard error
"""
import argparse
import json
import math
import sys

from ossel import CoverageAnalyzer, Policy, TraceExplainer


def read_runs(path):
    """The runs of the trace file, with their line numbers, and how many lines were skipped."""
    runs, skipped = [], 0
    with open(path, encoding="utf-8", errors="replace") as lines:
        for number, line in enumerate(lines, start=1):
            if not line.strip():
                continue
            try:
                record = json.loads(line)
            except (ValueError, RecursionError):  # a fragment, or nesting too deep for the decoder
                record = None
            if isinstance(record, dict) and isinstance(record.get("calls"), list):
                runs.append((number, record["calls"]))
            else:
                skipped += 1
    return runs, skipped


def percent(text):
    """--threshold's value, a finite number: no coverage is at least NaN or
    infinity, and every coverage is at least minus infinity, so such a
    threshold would decide every gate whatever the runs."""
    value = float(text)  # a ValueError, which argparse reports as an invalid value
    if not math.isfinite(value):
        raise argparse.ArgumentTypeError(f"not a finite number: {text!r}")
    return value


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("policy", help="the policy file (YAML)")
    parser.add_argument("trace_file", help="the runs, one JSON record per line")
    parser.add_argument("--threshold", type=percent, default=80.0, metavar="PERCENT",
                        help="the coverage the runs must reach, in percent (80 by default)")
    options = parser.parse_args(argv)
    try:
        return check(options)
    except (OSError, ValueError) as error:  # an unreadable policy, trace file or call
        print(f"ci_check: {error}", file=sys.stderr)
        return 2


def check(options):
    try:
        policy = Policy.from_file(options.policy)
    except (OSError, ValueError) as error:
        raise ValueError(f"{options.policy}: {error}") from error
    runs, skipped = read_runs(options.trace_file)
    print(f"{options.trace_file}: {len(runs)} runs read; lines skipped as unreadable: {skipped}")
    failed = False
    explainer = TraceExplainer(policy)
    for number, calls in runs:
        try:
            explanation = json.loads(explainer.explain(calls))
        except ValueError as error:
            raise ValueError(f"{options.trace_file}, line {number}: {error}") from error
        # Gate on blocking_rules, not blocked_steps: a require or after rule
        # broken at the end of a run blocks no call, yet it is listed there.
        if explanation["blocking_rules"]:
            failed = True
            print(f"line {number}: {explanation['blocked_steps']} of {explanation['total_steps']} calls "
                  f"blocked; broken rules: {', '.join(explanation['blocking_rules'])}")
    report = json.loads(CoverageAnalyzer(policy).analyze([calls for _, calls in runs], options.threshold))
    verdict = "meets" if report["meets_threshold"] else "is below"
    print(f"coverage {report['overall_coverage_pct']:.1f}% {verdict} the threshold of {options.threshold:.1f}%; "
          f"untested tools: {', '.join(report['tool_coverage']['unseen_tools']) or 'none'}; "
          f"untested rules: {', '.join(report['rule_coverage']['untriggered_rules']) or 'none'}")
    failed = failed or not report["meets_threshold"]
    print("FAILED" if failed else "passed")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
