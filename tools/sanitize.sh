#!/usr/bin/env bash
# AddressSanitizer + UndefinedBehaviorSanitizer: builds the extension and the
# C++ tests instrumented, runs the C++ tests, then the whole Python suite with
# the instrumented extension loaded into Debian's python3.11.
#   tools/sanitize.sh [pytest args...]
# Any sanitizer report fails the run, also one from a subprocess that a test
# started (those land in the report folder, which must stay empty).
set -euo pipefail
source "$(dirname "$0")/hardening_env.sh"

need_debs zlib1g-dev python3.11-venv python3.11-dev libgtest-dev cmake ninja-build g++
make_venv "$HARDEN/venv" "$PY_RELEASE"
PY="$HARDEN/venv/bin/python"
BUILD="$HARDEN/asan"
REPORTS="$BUILD/reports"

# -O1 -g without NDEBUG keeps assertions and readable stacks; the libstdc++
# assertions add bounds checks to the containers that ASan cannot see into.
log "building the instrumented extension and C++ tests in $BUILD"
build_ext "$BUILD" "$PY" \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O1 -g" \
    -DCMAKE_CXX_FLAGS="-D_GLIBCXX_ASSERTIONS" \
    -DKESTPY_SANITIZE=ON -DKESTPY_BUILD_TESTS=ON -DKESTPY_BUILD_MODULE=ON

rm -rf "$REPORTS"
mkdir -p "$REPORTS"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1:log_path=$REPORTS/ubsan"
ASAN_COMMON="detect_stack_use_after_return=1:check_initialization_order=1:log_path=$REPORTS/asan"

status=0

# The C++ tests own every allocation, so here leaks are checked too.
log "C++ tests under ASan+UBSan (leak checking on)"
ASAN_OPTIONS="$ASAN_COMMON:detect_leaks=1" \
    ctest --test-dir "$BUILD" -j "$JOBS" --output-on-failure || status=1

# The interpreter is not instrumented, so libasan must come first in the
# process; PYTHONMALLOC=malloc sends object memory through ASan's allocator.
# Leak checking is off here: the interpreter keeps memory alive at exit by
# design, and reference leaks are the refcount run's job (tools/refleaks.sh).
# libstdc++ is preloaded too: python itself is C, and ASan can only hook
# __cxa_throw if the C++ runtime is there when ASan starts.
log "Python suite under ASan+UBSan"
LIBASAN="$(gcc -print-file-name=libasan.so)"
LIBSTDCXX="$(gcc -print-file-name=libstdc++.so.6)"
(
    cd "$ROOT"
    LD_PRELOAD="$LIBASAN $LIBSTDCXX" PYTHONMALLOC=malloc \
    ASAN_OPTIONS="$ASAN_COMMON:detect_leaks=0" \
    PYTHONPATH="$(suite_path "$BUILD")" \
        "$PY" -m pytest -q -p no:cacheprovider tests/python "$@"
) || status=1

if compgen -G "$REPORTS/*" >/dev/null; then
    log "sanitizer reports:"
    for f in "$REPORTS"/*; do
        echo "---- $f"
        cat "$f"
    done
    status=1
else
    log "no sanitizer reports"
fi
exit $status
