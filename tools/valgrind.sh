#!/usr/bin/env bash
# One memcheck run of tools/valgrind_workload.py with Debian's python3.11 and
# a plain build of the extension. Fails on any invalid access or use of
# uninitialised memory, and on any definitely lost block.
#   tools/valgrind.sh [rounds]
set -euo pipefail
source "$(dirname "$0")/hardening_env.sh"

# python3 ships CPython's valgrind suppressions (/usr/lib/valgrind/python3.supp).
need_debs zlib1g-dev python3 python3.11-venv python3.11-dev valgrind cmake ninja-build g++
make_venv "$HARDEN/venv" "$PY_RELEASE"
PY="$HARDEN/venv/bin/python"
BUILD="$HARDEN/plain"

log "building the extension in $BUILD"
build_ext "$BUILD" "$PY" -DCMAKE_BUILD_TYPE=RelWithDebInfo

# CPython's suppressions, for the parts of the interpreter that valgrind cannot
# follow: at their usual path, else wherever the packages put them.
SUPP=""
for f in /usr/lib/valgrind/python3.supp $(dpkg -L python3 python3.11 2>/dev/null | grep -E 'python.*\.supp$' || true); do
    if [ -f "$f" ]; then SUPP="$f"; break; fi
done
[ -n "$SUPP" ] || { log "no python suppression file found"; exit 1; }

LOG="$BUILD/valgrind.log"
log "valgrind memcheck over tools/valgrind_workload.py (suppressions: $SUPP)"
cd "$ROOT"
status=0
# PYTHONMALLOC=malloc: without it pymalloc hands out memory from its own
# arenas and valgrind sees neither the object boundaries nor their frees.
# Memory errors (invalid reads/writes/frees, uninitialised values) fail the
# run through valgrind's exit code. Definite losses are listed, not counted
# as errors, and sorted below by who allocated them.
PYTHONMALLOC=malloc PYTHONPATH="$(suite_path "$BUILD")" \
    nice valgrind --tool=memcheck \
        --suppressions="$SUPP" --suppressions="$ROOT/tools/valgrind.supp" \
        --leak-check=full --show-leak-kinds=definite --errors-for-leak-kinds=none \
        --num-callers=60 --error-exitcode=99 --log-file="$LOG" \
        "$PY" tools/valgrind_workload.py "${1:-2}" || status=$?

# A definitely lost block is blamed on kestpy when a kestpy frame allocated
# it. The others come from importing numpy and the interpreter's own exit (a
# script that only imports numpy and highspy loses the very same blocks), and
# are counted but not failed.
"$PY" - "$LOG" <<'PY' || status=1
import re, sys
text = open(sys.argv[1]).read()
errors = re.search(r"ERROR SUMMARY: (\d+) errors", text)
records = re.findall(r"^==\d+== (\S.*definitely lost in loss record.*\n(?:==\d+==    .*\n)*)",
                     text, re.M)
ours = [r for r in records if re.search(r"kestpy::|kest::|PyInit_kestpy|/kestpy\.cpython", r)]
print(f"valgrind: {errors.group(1) if errors else '?'} memory errors, "
      f"{len(ours)} definite losses from kestpy, "
      f"{len(records) - len(ours)} from the interpreter and numpy at import/exit")
for r in ours:
    print(re.sub(r"^==\d+== ", "", r, flags=re.M))
sys.exit(1 if ours or not errors else 0)
PY
if [ "$status" -ne 0 ]; then
    grep -E -A40 "Invalid|uninitialised|Mismatched|Syscall param" "$LOG" | head -300 >&2 || true
    log "valgrind run failed (log: $LOG)"
    exit 1
fi
