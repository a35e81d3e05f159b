#!/usr/bin/env bash
# Configures and builds the core library, its tests, the benchmarks and the
# ossel._native module into build/cmake.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
"$root/scripts/setup.sh"
cmake -S "$root" -B "$root/build/cmake" -DCMAKE_BUILD_TYPE="${OSSEL_BUILD_TYPE:-RelWithDebInfo}" >/dev/null
cmake --build "$root/build/cmake" -j "$(nproc)"
