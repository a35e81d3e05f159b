#!/usr/bin/env bash
# Runs the tests under AddressSanitizer and UndefinedBehaviorSanitizer: builds
# the core, the module and the C++ tests with -DOSSEL_SANITIZE=address,undefined
# into build/sanitize, runs CTest there, then the pytest suite under CPython
# 3.12 and 3.13 against that build's module, with the ASan runtime loaded first
# into every interpreter (the interpreters themselves are not instrumented).
# Exits 1 if a test fails or a sanitizer reports anything; the reports and the
# output of each run are kept in build/sanitize/reports.
#   bash scripts/sanitize.sh [pytest arguments]
#
# The interpreter runs with detect_leaks=0: CPython leaves much of its own
# memory allocated at exit by design, which would bury the module's leaks;
# scripts/memcheck.sh looks for those. CTest's programs are checked for leaks.
# Tests that bound time or memory skip themselves when OSSEL_SANITIZE is set.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
"$root/scripts/setup.sh"
build="$root/build/sanitize"
export OSSEL_SANITIZE=address,undefined
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DOSSEL_SANITIZE="$OSSEL_SANITIZE" \
  -DOSSEL_BUILD_BENCH=OFF -DPython3_EXECUTABLE="$root/build/venv-3.12/bin/python" >/dev/null
cmake --build "$build" -j "${CMAKE_BUILD_PARALLEL_LEVEL:-$(nproc)}"

reports="$build/reports"
rm -rf "$reports"
mkdir -p "$reports"
# ASan writes each process's reports to a file of its own, asan.{pid}, so a
# report from a child whose exit status or output a test does not look at
# counts too. UBSan, loaded with the module after ASan, writes to standard
# error whatever its log_path says, so the output of each run is kept and
# searched for its reports; pytest captures only Python's sys.stderr, so a
# report from its own process reaches the log even when it ends the process.
# With halt_on_error=1 a report ends its process with status 1, which also
# fails a test whose child it was.
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1"
asan_options="log_path=$reports/asan"

# The C++ tests of the binding embed CPython, which leaves some objects of its
# own start-up allocated at exit. LeakSanitizer's stack of such a block ends
# in the interpreter's object allocator, so blocks from that allocator are
# passed over: a Python object the module never releases is passed over too,
# and is found by the reference checks of the tests and by memcheck.sh.
suppressions="$build/lsan-suppressions.txt"
echo "leak:_PyObject_Malloc" > "$suppressions"

status=0
echo "== CTest under the sanitizers"
set +e
ASAN_OPTIONS="$asan_options:detect_leaks=1" LSAN_OPTIONS="suppressions=$suppressions:print_suppressions=0" ctest --test-dir "$build" --output-on-failure \
  -j "${CMAKE_BUILD_PARALLEL_LEVEL:-$(nproc)}" 2>&1 | tee "$reports/ctest.log"
[ "${PIPESTATUS[0]}" -eq 0 ] || status=1
set -e

pytest_args=("$@")
[ $# -gt 0 ] || pytest_args=("$root/python/tests")
runtime=$(g++ -print-file-name=libasan.so)
outside=$(mktemp -d)
trap 'rm -rf "$outside"' EXIT
for version in 3.12 3.13; do
  echo "== pytest under CPython $version with $(basename "$runtime") loaded first"
  set +e
  # The system allocator, so that ASan sees every Python object the module
  # touches; pytest from a folder outside the checkout, on the build's package.
  (cd "$outside" && PYTHONMALLOC=malloc PYTHONPATH="$build/python" LD_PRELOAD="$runtime" \
    ASAN_OPTIONS="$asan_options:detect_leaks=0" \
    "$root/build/venv-$version/bin/python" -m pytest -q -p no:cacheprovider --capture=sys "${pytest_args[@]}") 2>&1 |
    tee "$reports/pytest-$version.log"
  [ "${PIPESTATUS[0]}" -eq 0 ] || status=1
  set -e
done

asan_reports=$(find "$reports" -name 'asan.*' -type f | sort)
asan_count=$(find "$reports" -name 'asan.*' -type f | wc -l)
ubsan_count=$(cat "$reports"/*.log | grep -c "runtime error: " || true)
echo "== sanitizer reports: ASan $asan_count, UBSan $ubsan_count (in $reports)"
for report in $asan_reports; do
  echo "-- $report"
  head -n 40 "$report"
done
grep -h -A 20 "runtime error: " "$reports"/*.log || true
[ "$asan_count" -eq 0 ] && [ "$ubsan_count" -eq 0 ] || status=1
exit $status
