"""Checks recorded agent sessions against a policy with ossel.

Loads the sample policy, explains one session call by call (which calls the
policy blocks, and why), then measures how well all sample sessions cover
the policy's tools and rules.

    python examples/demo.py [policy.yaml [session.json ...]]
"""
import json
import pathlib
import sys

from ossel._native import CoverageAnalyzer, Policy, TraceExplainer

HERE = pathlib.Path(__file__).resolve().parent
COVERAGE_THRESHOLD = 80.0


def print_explanation(name, explanation):
    print(f"== {name}: {explanation['total_steps']} calls against policy "
          f"'{explanation['policy_name']}' {explanation['policy_version']}")
    for step in explanation["steps"]:
        failed = [rule for rule in step["rules_evaluated"] if not rule["passed"]]
        verdict = "BLOCKED" if step["verdict"] == "blocked" else "allowed"
        args = json.dumps(step.get("args", {}), ensure_ascii=False)
        print(f"  #{step['index']:<2} {verdict:8} {step['tool']} {args}")
        for rule in failed:
            print(f"        - {rule['rule_id']}: {rule['explanation']}")
    print(f"  {explanation['allowed_steps']} allowed, {explanation['blocked_steps']} blocked", end="")
    if "first_block_index" in explanation:
        print(f"; first block at #{explanation['first_block_index']}", end="")
    print()
    if explanation["blocking_rules"]:
        print(f"  blocking rules: {', '.join(explanation['blocking_rules'])}")


def print_coverage(report):
    tools, rules = report["tool_coverage"], report["rule_coverage"]
    print("== coverage of the policy by the sessions")
    print(f"  tools: {tools['tools_seen_in_traces']}/{tools['total_tools_in_policy']} "
          f"({tools['coverage_pct']:.1f}%)")
    if tools["unseen_tools"]:
        print(f"    never exercised: {', '.join(sorted(tools['unseen_tools']))}")
    if tools["unexpected_tools"]:
        print(f"    not in the policy: {', '.join(sorted(tools['unexpected_tools']))}")
    print(f"  rules: {rules['rules_triggered']}/{rules['total_rules']} ({rules['coverage_pct']:.1f}%)")
    if rules["untriggered_rules"]:
        print(f"    never engaged: {', '.join(rules['untriggered_rules'])}")
    for gap in sorted(report["high_risk_gaps"], key=lambda gap: gap["tool"]):
        print(f"  high-risk gap: {gap['tool']} ({gap['reason']})")
    verdict = "meets" if report["meets_threshold"] else "is below"
    print(f"  overall {report['overall_coverage_pct']:.1f}% {verdict} the threshold "
          f"of {report['threshold']:.1f}%")


def main(argv):
    policy_path = pathlib.Path(argv[0]) if argv else HERE / "policy.yaml"
    session_paths = [pathlib.Path(p) for p in argv[1:]] or sorted((HERE / "traces").glob("*.json"))
    sessions = {path.stem: json.loads(path.read_text()) for path in session_paths}

    policy = Policy.from_file(str(policy_path))
    explainer = TraceExplainer(policy)
    first = "risky_session" if "risky_session" in sessions else next(iter(sessions))
    print_explanation(first, json.loads(explainer.explain(sessions[first])))
    print()
    report = CoverageAnalyzer(policy).analyze(list(sessions.values()), COVERAGE_THRESHOLD)
    print_coverage(json.loads(report))


if __name__ == "__main__":
    main(sys.argv[1:])
