#!/usr/bin/env bash
# The main job on sample data: loads the sample policy, explains a sample
# trace call by call and analyzes a few traces for coverage, with the ossel
# package built and installed into the CPython 3.12 venv (progress on stderr).
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
"$root/scripts/install_package.sh" 3.12
"$root/build/venv-3.12/bin/python" "$root/examples/demo.py" "$@"
