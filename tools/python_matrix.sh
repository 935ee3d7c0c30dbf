#!/usr/bin/env bash
# Builds kestpy and runs the Python suite on each supported interpreter besides
# the one the main run used (pyenv's 3.10, 3.12 and 3.13 by default), each in a
# fresh virtualenv under build/.
set -euo pipefail
cd "$(dirname "$0")/.."

VERSIONS="${VERSIONS:-3.10 3.12 3.13}"
root="$(pyenv root 2>/dev/null || echo "$HOME/.pyenv")"

for v in $VERSIONS; do
  py="$(ls -d "$root"/versions/"$v".*/bin/python3 2>/dev/null | sort -V | tail -1)"
  if [ ! -x "$py" ]; then
    echo "Python $v is not installed under $root/versions" >&2
    exit 1
  fi
  venv="build/venv-$v"
  rm -rf "$venv"
  "$py" -m venv "$venv"
  "$venv/bin/python" -m pip install --quiet --upgrade pip
  # The fuzzer ships wheels for some interpreters only; its smoke test skips
  # without it rather than building it from source here.
  "$venv/bin/python" -m pip install --quiet --only-binary atheris ".[test,scip]"
  echo "== Python $("$venv/bin/python" -c 'import platform; print(platform.python_version())')"
  "$venv/bin/python" -m pytest -q tests/python -p no:cacheprovider
done
