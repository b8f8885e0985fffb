#!/usr/bin/env bash
# Runs every test: the C++ unit tests (GoogleTest through ctest) and the Python
# tests (pytest). Installs whatever is missing first. Extra arguments go to pytest.
source "$(dirname "${BASH_SOURCE[0]}")/setup.sh"
setup_all

log "C++ unit tests"
cmake -S "$ROOT" -B "$ROOT/build/cpp-tests" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
      -DVORLANE_PYTHON=OFF -DVORLANE_TESTS=ON -DVORLANE_BENCH=ON -DVORLANE_WERROR=ON >/dev/null
cmake --build "$ROOT/build/cpp-tests" -j 2
ctest --test-dir "$ROOT/build/cpp-tests" --output-on-failure -j 2 --progress

log "Python tests"
cd "$ROOT"
"$PY" -m pytest -q "$@"
