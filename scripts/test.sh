#!/usr/bin/env bash
# Runs every test: the C++ suites through CTest, then the Python suite under
# CPython 3.12 and 3.13 against the one abi3 module file.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
"$root/scripts/build.sh"

(cd "$root/build/cmake" && ctest --output-on-failure -j "$(nproc)")

export OSSEL_PACKAGE_ROOT="$root/build/cmake/python"
status=0
for version in 3.12 3.13; do
  echo "== pytest under CPython $version"
  set +e
  "$root/build/venv-$version/bin/python" -m pytest -q -p no:cacheprovider "$root/python/tests"
  rc=$?
  set -e
  # Exit 5 means no test was collected: that is a failure here too.
  [ $rc -eq 0 ] || status=1
done
exit $status
