#!/usr/bin/env bash
# Builds the extension with AddressSanitizer and UndefinedBehaviorSanitizer in
# build/sanitize and runs the Python tests against that copy. The normal build in
# .venv is left alone: the sanitized package is installed into build/sanitize/pkg,
# which goes first on PYTHONPATH. Extra arguments go to pytest.
source "$(dirname "${BASH_SOURCE[0]}")/setup.sh"
ensure_system_packages
ensure_venv

BUILD="$ROOT/build/sanitize/cmake"
PKG="$ROOT/build/sanitize/pkg"

log "building PyVorlane with AddressSanitizer and UndefinedBehaviorSanitizer"
cmake -S "$ROOT" -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
      -DPython_EXECUTABLE="$PY" -DVORLANE_PYTHON=ON -DVORLANE_SANITIZE=ON \
      -DVORLANE_TESTS=OFF -DVORLANE_BENCH=OFF -DVORLANE_WERROR=ON >/dev/null
cmake --build "$BUILD" -j 2
# A fresh folder each time, so a module left over under another ABI tag cannot be picked up.
rm -rf "$PKG"
cmake --install "$BUILD" --component python --prefix "$PKG/PyVorlane" >/dev/null

# The sanitizer runtimes must come before everything else in the process, and the
# interpreter itself is not built with them, so they are preloaded.
runtime() {
    local lib; lib="$(g++ -print-file-name="$1")"
    if [ ! -e "$lib" ]; then
        echo "sanitize.sh: the compiler has no $1" >&2
        exit 1
    fi
    echo "$lib"
}
export LD_PRELOAD="$(runtime libasan.so) $(runtime libubsan.so)"
# CPython frees little at exit, so leak reports would be all interpreter noise.
export ASAN_OPTIONS="detect_leaks=0:abort_on_error=0:halt_on_error=1:strict_string_checks=1:detect_stack_use_after_return=1:check_initialization_order=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
# Python's own allocator would hide object memory from AddressSanitizer.
export PYTHONMALLOC=malloc
export PYTHONPATH="$PKG${PYTHONPATH:+:$PYTHONPATH}"
# conftest.py refuses to run against any other copy of the package.
export VORLANE_EXPECT_PACKAGE="$PKG/PyVorlane"

cd "$ROOT"
"$PY" -c 'import PyVorlane; print("sanitized module:", PyVorlane.__file__)'
log "Python tests under the sanitizers"
"$PY" -m pytest -q -p no:cacheprovider "$@"
