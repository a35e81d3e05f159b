#!/usr/bin/env bash
# Runs the Python suite under valgrind (CPython 3.12, the system allocator so
# every object is visible) and lists each memory error or leak whose stack
# passes through the module's own code. Exits 1 if there is any.
#   bash scripts/memcheck.sh [pytest arguments]
#
# By default the whole suite runs except the recorder's stress tests: they
# write half a gigabyte from many threads, which takes minutes under valgrind
# and goes through no code that the other recorder tests leave untouched.
#
# Not counted: the class-name strings made while the module is executed. The
# interpreter interns attribute names, and interned strings are immortal in
# CPython 3.12, so they are never freed and show up as lost at exit.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
"$root/scripts/build.sh" >/dev/null
log="$root/build/valgrind.log"
pytest_args=("$@")
[ $# -gt 0 ] || pytest_args=("$root/python/tests" --ignore="$root/python/tests/test_recorder_stress.py")
# The package the build tree lays out, with its debug information.
export PYTHONPATH="$root/build/cmake/python"
set +e
PYTHONMALLOC=malloc valgrind --tool=memcheck --leak-check=full --show-leak-kinds=definite,indirect \
  --num-callers=40 --log-file="$log" \
  "$root/build/venv-3.12/bin/python" -m pytest -q -p no:cacheprovider "${pytest_args[@]}"
pytest_status=$?
set -e
echo "== valgrind log: $log"
filter_status=0
"$root/build/venv-3.12/bin/python" - "$log" <<'PY' || filter_status=$?
import re
import sys

# A record is a run of "==pid== " lines up to the next blank "==pid==" line.
records, current = [], []
for line in open(sys.argv[1], errors="replace"):
    text = re.sub(r"^==\d+== ?", "", line.rstrip("\n"))
    if text.strip():
        current.append(text)
    elif current:
        records.append(current)
        current = []
if current:
    records.append(current)

errors = [r for r in records if re.match(r"(Invalid |Conditional jump|Use of uninitialised|Mismatched|"
                                         r"Syscall param|Source and destination|.*are (definitely|indirectly) lost)",
                                         r[0])]
def interned_class_name(record):
    return "are definitely lost" in record[0] and any("module_exec" in l for l in record)

# A frame of the module: its file, a function of ours, or a line of our C++ sources.
module_frame = re.compile(r"_native\.abi3\.so|ossel::|\(\w+\.cc:\d+\)")
ours = [r for r in errors if any(module_frame.search(l) for l in r) and not interned_class_name(r)]
for r in records:
    if r[0].startswith("LEAK SUMMARY"):
        print("\n".join(r))
print(*(l for r in records for l in r if l.startswith("ERROR SUMMARY")), sep="\n")
print(f"records from the interpreter and its libraries: {len(errors) - len(ours)}")
print(f"records whose stack passes through the module: {len(ours)}")
for r in ours:
    print("\n".join(r))
    print()
sys.exit(1 if ours else 0)
PY
echo "pytest exit status under valgrind: $pytest_status"
exit "$filter_status"
