#!/usr/bin/env bash
# The main job: a prequential (test-then-train) comparison of a Hoeffding tree and an adaptive
# random forest on a built-in Agrawal stream that drifts from function=0 to function=2 halfway.
# Extra arguments go to `kavro evaluate` (for example --n 50000 or --no-progress).
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/setup.sh"
cd "$ROOT"

# A build that lacks one of the two classes compares the nearest ones it has.
read -r TREE FOREST < <("$PY" - <<'PYEOF'
import _kavro_core as kc
def pick(*names):
    return next(n for n in names if hasattr(kc, n))
print(pick("HoeffdingTreeClassifier", "EFDTClassifier", "HoeffdingAdaptiveTreeClassifier", "NaiveBayes"),
      pick("ARFClassifier", "SRPClassifier", "LeveragingBaggingClassifier",
           "HoeffdingAdaptiveTreeClassifier", "KNNClassifier",
           "LogisticRegressionClassifier", "NaiveBayes"))
PYEOF
)

mkdir -p "$ROOT/build"
"$VENV/bin/kavro" evaluate \
    --model "$TREE" --model "$FOREST" \
    --stream agrawal:function=0 --drift-to agrawal:function=2 --drift-at 10000 --drift-width 1000 \
    --seed 7 --n 20000 --every 2000 \
    --plot "$ROOT/build/demo.png" "$@"
