#!/usr/bin/env bash
# Runs every test. Builds and installs the package into .venv, runs the suite, builds the
# documentation strictly (its examples are executed), then builds the extension with
# AddressSanitizer and UndefinedBehaviorSanitizer and runs the suite again against that build.
#
#   bash scripts/test.sh                 # everything (what CI runs)
#   bash scripts/test.sh tests/test_x.py # just those tests, no sanitizer pass or docs build
#                                        # (KAVRO_SANITIZE_TESTS=1 adds the first,
#                                        #  KAVRO_DOCS=1 the second)
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/setup.sh"
cd "$ROOT"

sanitize="${KAVRO_SANITIZE_TESTS:-$([ $# -eq 0 ] && echo 1 || echo 0)}"

echo "== tests (release build) =="
"$PY" -m pytest -q "$@"

if [ $# -eq 0 ] || [ "${KAVRO_DOCS:-0}" = "1" ]; then
    echo "== documentation (strict build, examples executed) =="
    NO_MKDOCS_2_WARNING=1 "$PY" -m mkdocs build --strict --clean --quiet --site-dir "$ROOT/build/site"
fi

if [ "$sanitize" = "1" ]; then
    echo "== tests (AddressSanitizer + UndefinedBehaviorSanitizer build) =="
    ASAN_DIR="$ROOT/build/asan"
    "$PY" -m cmake -S "$ROOT" -B "$ASAN_DIR" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DKAVRO_SANITIZE=ON -DKAVRO_TEST_MODULE=ON -DPython_EXECUTABLE="$PY" \
        -Dpybind11_DIR="$("$PY" -c 'import pybind11; print(pybind11.get_cmake_dir())')" >/dev/null
    "$PY" -m cmake --build "$ASAN_DIR"
    # libstdc++ must follow libasan so that the intercepted __cxa_throw finds the real one.
    export LD_PRELOAD="$(g++ -print-file-name=libasan.so) $(g++ -print-file-name=libstdc++.so)"
    export ASAN_OPTIONS="detect_leaks=0:abort_on_error=1"
    export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
    # The package's Python sources beside the sanitizer build of its own extension module.
    mkdir -p "$ASAN_DIR/pkg/kavro"
    cp -rsf "$ROOT/python/kavro/." "$ASAN_DIR/pkg/kavro/"
    export PYTHONPATH="$ASAN_DIR/pkg:$ASAN_DIR${PYTHONPATH:+:$PYTHONPATH}"
    "$PY" -c "import _kavro_core, kavro._native as n, sys; sys.exit(0 if _kavro_core.__file__.startswith('$ASAN_DIR') and n.__file__.startswith('$ASAN_DIR') else 'sanitizer build not loaded')"
    "$PY" -m pytest -q -p no:cacheprovider "$@"
fi
