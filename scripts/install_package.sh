#!/usr/bin/env bash
# Builds the ossel wheel once with pip (Release, the module alone; one abi3
# file for CPython 3.12 and later) and installs it into the venv of each
# CPython version given, replacing the copy installed before. The build's
# progress goes to stderr; pip's whole output is kept in build/pip-wheel.log.
# CMAKE_BUILD_PARALLEL_LEVEL caps the build's compile jobs (setup.py).
#   bash scripts/install_package.sh 3.12 [3.13]
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
"$root/scripts/setup.sh"
export PIP_DISABLE_PIP_VERSION_CHECK=1
wheel_dir="$root/build/wheel"
log="$root/build/pip-wheel.log"
rm -rf "$wheel_dir"

echo "== building the ossel wheel" >&2
set +e
"$root/build/venv-3.12/bin/python" -m pip wheel -v --no-cache-dir --no-index --no-deps --no-build-isolation \
    -w "$wheel_dir" "$root" 2>&1 |
  tee "$log" | grep --line-buffered -E '^ *\[ *[0-9]+%\] (Building|Linking)' | sed -u 's/^ *//' >&2
status=${PIPESTATUS[0]}
set -e
if [ "$status" -ne 0 ]; then
  tail -n 40 "$log" >&2
  echo "== building the wheel failed; pip's whole output: $log" >&2
  exit 1
fi
wheel=$(ls "$wheel_dir"/ossel-*.whl)
echo "== built $(basename "$wheel") ($(du -k "$wheel" | cut -f1) kB)" >&2

for version in "$@"; do
  "$root/build/venv-$version/bin/python" -m pip install -q --no-cache-dir --no-index --no-deps --force-reinstall "$wheel"
  echo "== installed into build/venv-$version" >&2
done
