#!/usr/bin/env bash
# Installs kestpy with its test dependencies (and the Debian packages the
# tests need, when missing), then runs every test: the C++ suite through
# CTest and the Python suite through pytest.
set -euo pipefail
cd "$(dirname "$0")/.."

PYTHON="${PYTHON:-python3}"
JOBS="${JOBS:-2}"

# A compiler and CMake for the extension, GoogleTest for the C++ suite,
# CoinUtils' sample problems for the known-answer tests.
source tools/debian.sh
need_debs g++ cmake libgtest-dev coinor-libcoinutils-dev zlib1g-dev glpk-utils

# PySCIPOpt for the SCIP backend, whose conformance and agreement tests skip without it.
"$PYTHON" -m pip install --quiet ".[test,scip]"

# The lower layers' suite, and the backend adapter's suite with an embedded interpreter.
cmake -S . -B build/cpp-tests -DKESTPY_BUILD_TESTS=ON -DKESTPY_BUILD_EMBED_TESTS=ON -DKESTPY_BUILD_MODULE=OFF \
      -DPython_EXECUTABLE="$(command -v "$PYTHON")" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build/cpp-tests -j "$JOBS"
ctest --test-dir build/cpp-tests --output-on-failure -j "$JOBS"

# Run from the tests folder's parent but import the installed package, not the sources.
"$PYTHON" -m pytest -q tests/python "$@"
