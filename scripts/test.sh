#!/usr/bin/env bash
# Runs every test: builds and installs the package into .venv first.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/setup.sh"
cd "$ROOT"
"$PY" -m pytest -q "$@"
