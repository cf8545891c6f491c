#!/usr/bin/env bash
# The main job: a prequential evaluation on a built-in synthetic stream.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/setup.sh"
cd "$ROOT"
"$PY" "$ROOT/scripts/demo.py" "$@"
