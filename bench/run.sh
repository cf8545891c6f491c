#!/usr/bin/env bash
# Runs the whole benchmark: builds and installs the package (with the test-only floor module) into
# .venv, adds scikit-learn for the comparison when it can, then prints the table and writes
# bench/results.json. Extra arguments go to bench/bench.py (see --help).
# `bash bench/run.sh --batch [options]` runs the batch benchmark (bench/batch.py) instead.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/../scripts/setup.sh"
cd "$ROOT"
if [ "${1:-}" = "--batch" ]; then
    shift
    exec "$PY" "$ROOT/bench/batch.py" "$@"
fi
if ! "$PY" -c 'import sklearn' >/dev/null 2>&1; then
    echo "installing scikit-learn for the comparison (benchmark only)..."
    "$PY" -m pip install -q --disable-pip-version-check scikit-learn >/dev/null 2>&1 ||
        echo "scikit-learn could not be installed: the comparison will be skipped."
fi
exec "$PY" "$ROOT/bench/bench.py" "$@"
