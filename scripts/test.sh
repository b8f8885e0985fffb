#!/usr/bin/env bash
# Runs every test: the C++ unit tests (GoogleTest through ctest) and the Python
# tests (pytest). Installs whatever is missing first. Extra arguments go to pytest.
#
# --python 3.12 first runs the Python tests only, against a build for Python 3.12
# in .venv312 (the C++ unit tests do not depend on the interpreter; the default run
# on 3.13 has them): ./scripts/test.sh --python 3.12 -k values
source "$(dirname "${BASH_SOURCE[0]}")/setup.sh"
CPP_TESTS=1
case "${1:-}" in
    --python) use_python "${2:-}"; shift 2 ;;
    --python=*) use_python "${1#--python=}"; shift ;;
esac
[ "$PY_VERSION" = 3.13 ] || CPP_TESTS=0
setup_all

if [ "$CPP_TESTS" -eq 1 ]; then
    log "C++ unit tests"
    cmake -S "$ROOT" -B "$ROOT/build/cpp-tests" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
          -DVORLANE_PYTHON=OFF -DVORLANE_TESTS=ON -DVORLANE_BENCH=ON -DVORLANE_WERROR=ON >/dev/null
    cmake --build "$ROOT/build/cpp-tests" -j 2
    ctest --test-dir "$ROOT/build/cpp-tests" --output-on-failure -j 2 --progress
fi

log "Python tests on Python $PY_VERSION"
cd "$ROOT"
"$PY" -m pytest -q "$@"
