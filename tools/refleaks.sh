#!/usr/bin/env bash
# Reference leaks: the whole Python suite under Debian's debug interpreter
# (python3.11-dbg) with the extension built against its headers, so that each
# of the extension's increments and decrements moves sys.gettotalrefcount().
# tests/python/refleak_plugin.py repeats every test and fails those whose
# count grows on every counted repetition.
#   tools/refleaks.sh [pytest args...]     (REFLEAK_WARMUPS, REFLEAK_RUNS)
set -euo pipefail
source "$(dirname "$0")/hardening_env.sh"

need_debs zlib1g-dev python3.11-venv python3.11-dbg python3.11-dev cmake ninja-build g++
make_venv "$HARDEN/venv-dbg" "$PY_DEBUG"
PY="$HARDEN/venv-dbg/bin/python"
BUILD="$HARDEN/dbg"

"$PY" -c "import sys; assert hasattr(sys, 'gettotalrefcount'), 'not a debug interpreter'"

# Debug headers (their pyconfig.h defines Py_DEBUG) and the d-suffixed
# extension name. Debian's /usr/include/python3.11d holds symlinks into the
# release headers, and gcc canonicalises system-header paths by default, so
# Python.h would then find the release pyconfig.h next to its real path:
# -fno-canonical-system-headers keeps the debug one.
log "building the extension against $("$PY" -c 'import sysconfig; print(sysconfig.get_path("include"))')"
build_ext "$BUILD" "$PY" -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_FLAGS="-fno-canonical-system-headers"
# Proof that the build really counts references: Py_INCREF of a debug build
# updates the interpreter's total.
if ! nm -D "$BUILD"/kestpy*.so | grep "_Py_RefTotal" >/dev/null; then
    log "the extension in $BUILD was not built with Py_DEBUG"
    exit 1
fi

# Run once only, with a reason each: these tests do their work in child
# processes, whose references the parent's count cannot see, or measure
# reference counts of their own.
ONCE=(
    tests/python/test_examples.py          # runs the examples as scripts
    tests/python/test_bench_smoke.py       # runs the benchmark harness as scripts
    tests/python/test_fuzz_smoke.py        # runs the fuzzer as a script
    tests/python/test_interpreter_exit.py  # runs a session as a script
    tests/python/test_refleak_plugin.py    # runs this check as a script
    tests/python/test_refcounts.py         # repeats each operation and counts itself
)
# Packages built for the release interpreter: their own Py_INCREF/Py_DECREF
# bypass the debug count, so for a test that calls into them only a count
# growth that comes with growing live allocations is taken as a leak.
FOREIGN=(numpy highspy scipy)
# Tests in which the extension itself calls numpy through its C interface
# (buffers, numpy.ascontiguousarray, arrays made for results), which the
# package probe cannot see from Python; for them, too, only growing live
# allocations count. A loop of each under the release build keeps its memory flat.
FOREIGN_TESTS=(
    tests/python/test_keyed_blocks.py::test_keys_and_positions_name_the_same_members  # numpy keys
    tests/python/test_keyed_blocks.py::test_shape_and_values_of_keyed_and_numbered_blocks  # Vars.X
    tests/python/test_changes.py::test_refused_changes_leave_the_model_as_it_was  # setAttr's arrays
    tests/python/test_matrix.py::test_refused_operands_say_why  # operands numpy converts
)
args=()
for p in "${ONCE[@]}"; do args+=(--ignore "$p"); done
for p in "${FOREIGN[@]}"; do args+=(--refleak-foreign-package "$p"); done
for t in "${FOREIGN_TESTS[@]}"; do args+=(--refleak-foreign "$t"); done

cd "$ROOT"
export PYTHONPATH="$(suite_path "$BUILD")"
status=0
log "Python suite under $(readlink -f "$PY_DEBUG") with the refleak plugin"
"$PY" -m pytest -q -p no:cacheprovider -p refleak_plugin \
    --refleak-warmups "${REFLEAK_WARMUPS:-2}" --refleak-runs "${REFLEAK_RUNS:-3}" \
    --hypothesis-profile=refleak -m "not slow" "${args[@]}" tests/python "$@" || status=1
# The tests run once go in a session of their own: some of them measure
# counts themselves and must not see what the repetitions left behind.
log "the tests run once, under $(readlink -f "$PY_DEBUG")"
# (Exit code 5: a filter in "$@" left nothing to run here, which is fine.)
"$PY" -m pytest -q -p no:cacheprovider --hypothesis-profile=ci -m "not slow" \
    "${ONCE[@]}" "$@" || { rc=$?; [ "$rc" = 5 ] || status=1; }
exit $status
