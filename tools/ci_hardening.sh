#!/usr/bin/env bash
# CI's hardening stage, after the normal tests: the sanitizer run
# (tools/sanitize.sh), the reference-leak run under the debug interpreter
# (tools/refleaks.sh) and the valgrind run (tools/valgrind.sh).
# The debug-interpreter run is the longest, so it goes in parallel with the
# other two; each lane is single-threaded apart from its build. Every run goes
# to the end even when another has failed, and the stage fails if any did.
set -uo pipefail
source "$(dirname "$0")/hardening_env.sh"
cd "$ROOT"

start=$SECONDS
# All Debian packages first: two apt-get runs cannot share the dpkg lock.
need_debs zlib1g-dev python3 python3.11-venv python3.11-dev python3.11-dbg valgrind libgtest-dev \
          cmake ninja-build g++ || exit 1

LOGS="$HARDEN/logs"
mkdir -p "$LOGS"

lane() {  # lane NAME SCRIPT...: runs the scripts in turn, one log and status each
    local name
    for name in "$@"; do
        local t=$SECONDS
        bash "tools/$name.sh" >"$LOGS/$name.log" 2>&1
        echo "$? $((SECONDS - t))" >"$LOGS/$name.status"
    done
}

rm -f "$LOGS"/*.status
lane refleaks &
lane_b=$!
lane sanitize valgrind
wait "$lane_b"

status=0
for name in sanitize refleaks valgrind; do
    echo "================================ $name"
    cat "$LOGS/$name.log"
done
echo "================================ hardening summary"
for name in sanitize refleaks valgrind; do
    read -r rc secs <"$LOGS/$name.status" || { rc=1; secs="?"; }
    counts=$(grep -E "^(valgrind:|[0-9]+ (passed|failed)|=+ .*(passed|failed).* =+$|100% tests passed|refleak:)" \
             "$LOGS/$name.log" | sed -E 's/^=+ | =+$//g' | paste -sd ';' -)
    if [ "$rc" = 0 ]; then
        echo "$name: ok (${secs} s) $counts"
    else
        echo "$name: FAILED with exit $rc (${secs} s) $counts"
        status=1
    fi
done
echo "hardening stage: $((SECONDS - start)) s"
exit $status
