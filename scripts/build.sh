#!/usr/bin/env bash
# Configures and builds the core library, its tests, the benchmarks and the
# ossel._native module into build/cmake, against the CPython 3.12 of the
# build's venv (the package itself is built by pip: see scripts/test.sh).
# CMAKE_BUILD_PARALLEL_LEVEL caps the compile jobs (every core by default).
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
"$root/scripts/setup.sh"
cmake -S "$root" -B "$root/build/cmake" -DCMAKE_BUILD_TYPE="${OSSEL_BUILD_TYPE:-RelWithDebInfo}" \
  -DPython3_EXECUTABLE="$root/build/venv-3.12/bin/python" >/dev/null
cmake --build "$root/build/cmake" -j "${CMAKE_BUILD_PARALLEL_LEVEL:-$(nproc)}"
