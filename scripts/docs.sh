#!/usr/bin/env bash
# Builds the documentation site into build/site, strictly: a broken reference, a warning or a
# failing example fails the build. The examples run against the package installed in .venv.
#
#   bash scripts/docs.sh            # build
#   bash scripts/docs.sh serve      # build and serve on http://127.0.0.1:8000 while editing
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/setup.sh"
cd "$ROOT"

if [ "${1:-}" = "serve" ]; then
    exec env NO_MKDOCS_2_WARNING=1 "$PY" -m mkdocs serve --strict
fi
NO_MKDOCS_2_WARNING=1 "$PY" -m mkdocs build --strict --clean --site-dir "$ROOT/build/site"
echo "documentation written to build/site/index.html"
