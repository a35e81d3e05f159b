#!/usr/bin/env bash
# The main job on sample data: loads the sample policy, explains a sample
# trace call by call and analyzes a few traces for coverage.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
"$root/scripts/build.sh" >/dev/null
PYTHONPATH="$root/build/cmake/python" "$root/build/venv-3.12/bin/python" "$root/examples/demo.py" "$@"
