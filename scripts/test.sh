#!/usr/bin/env bash
# Runs every test: the C++ suites through CTest from the build tree, then the
# Python suite under CPython 3.12 and 3.13 against the installed package: the
# one wheel (one abi3 module file) is installed with pip into both venvs and
# pytest runs from a folder outside the checkout, so it imports that copy.
# CMAKE_BUILD_PARALLEL_LEVEL caps the compile jobs of both builds and the
# tests CTest runs at once (every core by default).
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
"$root/scripts/build.sh"

(cd "$root/build/cmake" && ctest --output-on-failure -j "${CMAKE_BUILD_PARALLEL_LEVEL:-$(nproc)}")

"$root/scripts/install_package.sh" 3.12 3.13
outside=$(mktemp -d)
trap 'rm -rf "$outside"' EXIT
cd "$outside"
# The suite checks that it imports the copy installed in the venv.
export OSSEL_EXPECT_INSTALLED=1
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
