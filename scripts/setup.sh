#!/usr/bin/env bash
# Creates .venv with CPython 3.12, installs the build and test tools, and builds
# and installs the package (incrementally: the CMake build tree is kept in build/).
# Sourced by the other scripts; leaves PY pointing at the venv's interpreter.
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
VENV="$ROOT/.venv"

find_python312() {
    local candidates=()
    [ -n "${KAVRO_PYTHON:-}" ] && candidates+=("$KAVRO_PYTHON")
    local pyenv_root="${PYENV_ROOT:-$HOME/.pyenv}"
    candidates+=("$pyenv_root"/versions/3.12*/bin/python3.12)
    candidates+=(python3.12 /usr/local/bin/python3.12 /usr/bin/python3.12 python3)
    local c
    for c in "${candidates[@]}"; do
        if command -v "$c" >/dev/null 2>&1 &&
            "$c" -c 'import sys; sys.exit(0 if sys.version_info[:2] == (3, 12) else 1)' >/dev/null 2>&1; then
            command -v "$c"
            return 0
        fi
    done
    return 1
}

if [ ! -x "$VENV/bin/python" ] ||
    ! "$VENV/bin/python" -c 'import sys; sys.exit(0 if sys.version_info[:2] == (3, 12) else 1)' 2>/dev/null; then
    if ! PY312="$(find_python312)"; then
        echo "error: CPython 3.12 (with its headers) is required but was not found." >&2
        echo "       Install it (for example 'pyenv install 3.12') or set KAVRO_PYTHON=/path/to/python3.12." >&2
        exit 1
    fi
    rm -rf "$VENV"
    "$PY312" -m venv "$VENV"
fi
PY="$VENV/bin/python"

stamp="$VENV/.kavro-deps"
if [ ! -f "$stamp" ] || [ "$ROOT/scripts/requirements-dev.txt" -nt "$stamp" ]; then
    "$PY" -m pip install -q --disable-pip-version-check -r "$ROOT/scripts/requirements-dev.txt"
    touch "$stamp"
fi

# A compiler cache, where the machine has one, makes rebuilding unchanged sources free.
if command -v ccache >/dev/null 2>&1; then
    export CMAKE_CXX_COMPILER_LAUNCHER="${CMAKE_CXX_COMPILER_LAUNCHER:-ccache}"
    export CCACHE_BASEDIR="${CCACHE_BASEDIR:-$ROOT}"
fi
export CMAKE_BUILD_PARALLEL_LEVEL="${CMAKE_BUILD_PARALLEL_LEVEL:-$(nproc 2>/dev/null || echo 2)}"
"$PY" -m pip install -q --disable-pip-version-check --no-build-isolation --no-deps \
    -C cmake.define.KAVRO_TEST_MODULE=ON "$ROOT"
