# Shared setup of the hardening runs (sanitize.sh, refleaks.sh, valgrind.sh).
# Sourced, not run. Debian's own interpreters are used because the sanitizer
# runtime and valgrind's suppressions are made for them, and because only
# Debian ships a debug interpreter (python3.11-dbg).

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
HARDEN="${HARDEN_DIR:-$ROOT/build/hardening}"
JOBS="${JOBS:-2}"
PY_RELEASE=/usr/bin/python3.11
PY_DEBUG=/usr/bin/python3.11-dbg

source "$ROOT/tools/debian.sh"

# make_venv DIR INTERPRETER: a venv of a Debian interpreter with kestpy's
# dependencies and test dependencies, as pyproject.toml names them.
# Wheels from PyPI load in the debug interpreter too: since 3.8 it shares the
# release ABI and Debian's copy also accepts the release extension suffix.
make_venv() {
    local dir="$1" interp="$2"
    if [ ! -x "$dir/bin/python" ]; then
        log "creating $dir from $interp"
        "$interp" -m venv "$dir"
    fi
    local deps
    deps=$("$dir/bin/python" -c '
import sys, tomllib
with open(sys.argv[1], "rb") as f:
    project = tomllib.load(f)["project"]
print("\n".join(project["dependencies"] + project["optional-dependencies"]["test"]))' \
        "$ROOT/pyproject.toml")
    if [ "$(cat "$dir/.deps" 2>/dev/null)" != "$deps" ]; then
        log "installing into $dir: $(echo $deps)"
        # shellcheck disable=SC2086
        "$dir/bin/python" -m pip install --quiet --disable-pip-version-check $deps \
            >"$dir/pip.log" 2>&1 || { cat "$dir/pip.log" >&2; return 1; }
        echo "$deps" >"$dir/.deps"
    fi
}

# build_ext DIR PYTHON [cmake args...]: (re)configure, then build incrementally.
build_ext() {
    local dir="$1" py="$2"
    shift 2
    mkdir -p "$dir"
    if ! cmake -S "$ROOT" -B "$dir" -G Ninja -DPython_EXECUTABLE="$py" "$@" >"$dir/configure.log" 2>&1 ||
       ! nice cmake --build "$dir" -j "$JOBS" >"$dir/build.log" 2>&1; then
        cat "$dir/configure.log" "$dir/build.log" 2>/dev/null | tail -60 >&2
        log "build in $dir failed"
        return 1
    fi
}

# The suite imports the freshly built extension, the HiGHS backend from the
# source tree and the recording backends from the tests folder.
suite_path() {
    echo "$1:$ROOT/backends:$ROOT/tests/python"
}
