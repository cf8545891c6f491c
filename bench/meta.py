"""Meta-learners and model selection on Electricity: prequential accuracy of online bagging, ADWIN
bagging and online boosting of a Hoeffding tree (grace period 50, 5 members) against the single
tree, and of a model selector against its candidates.

When CapyMOA is importable (a separate environment: `KAVRO_REFERENCE_PYTHON=/path/to/python`, or
the running one), its OnlineBagging, OnlineAdwinBagging and OzaBoost are run on the same file and
printed beside ours. Figures are from one run.
"""
import argparse
import json
import os
import subprocess
import sys
import time

import kavro
from kavro.datasets import Electricity
from kavro.ensemble import ADWINBaggingClassifier, AdaBoostClassifier, ARFClassifier, BaggingClassifier
from kavro.linear import NaiveBayes
from kavro.metrics import Accuracy
from kavro.model_selection import ModelSelector
from kavro.tree import HoeffdingTreeClassifier

REFERENCE = r"""
import json, sys
from capymoa.classifier import HoeffdingTree, OnlineAdwinBagging, OnlineBagging, OzaBoost
from capymoa.evaluation import prequential_evaluation
from capymoa.stream import stream_from_file

path = sys.argv[1]
tree = lambda s: HoeffdingTree(schema=s, grace_period=50)
out = {}
for name, make in [
    ("tree", tree),
    ("bagging", lambda s: OnlineBagging(schema=s, base_learner=tree(s), ensemble_size=5, random_seed=1)),
    ("adwin_bagging", lambda s: OnlineAdwinBagging(schema=s, base_learner=tree(s), ensemble_size=5, random_seed=1)),
    ("boosting", lambda s: OzaBoost(schema=s, base_learner="trees.HoeffdingTree -g 50", boosting_iterations=5,
                                    random_seed=1)),
]:
    stream = stream_from_file(path, dataset_name="Electricity", target_type="categorical")
    res = prequential_evaluation(stream, make(stream.get_schema()))
    out[name] = res.cumulative.accuracy()
print(json.dumps(out))
"""


def prequential(model, rows):
    metric = Accuracy()
    start = time.process_time()
    for x, y in rows:
        metric.update(y, model.predict_one(x))
        model.learn_one(x, y)
    return 100.0 * metric.get(), time.process_time() - start


def reference(path):
    python = os.environ.get("KAVRO_REFERENCE_PYTHON", sys.executable)
    try:
        done = subprocess.run([python, "-c", REFERENCE, path], capture_output=True, text=True, timeout=1800)
    except (OSError, subprocess.TimeoutExpired):
        return None
    if done.returncode != 0:
        return None
    return json.loads(done.stdout.strip().splitlines()[-1])


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--path", default="/work/shared/data/electricity.csv")
    parser.add_argument("--n", type=int, default=None, help="first n examples only")
    args = parser.parse_args()
    rows = list(Electricity())[: args.n]
    tree = lambda: HoeffdingTreeClassifier(grace_period=50)  # noqa: E731
    ours = {
        "tree": tree(),
        "bagging": BaggingClassifier(tree(), n_models=5, seed=1),
        "adwin_bagging": ADWINBaggingClassifier(tree(), n_models=5, seed=1),
        "boosting": AdaBoostClassifier(tree(), n_models=5, seed=1),
    }
    theirs = reference(args.path) if args.n is None and os.path.exists(args.path) else None
    print(f"Electricity, {len(rows)} examples, prequential accuracy (%)")
    print(f"{'model':<16}{'kavro':>8}{'CPU s':>8}{'CapyMOA':>10}")
    for name, model in ours.items():
        acc, seconds = prequential(model, rows)
        ref = f"{theirs[name]:10.2f}" if theirs else f"{'-':>10}"
        print(f"{name:<16}{acc:8.2f}{seconds:8.2f}{ref}")
    if theirs is None:
        print("(CapyMOA not importable: set KAVRO_REFERENCE_PYTHON to an interpreter that has it)")

    candidates = lambda: [NaiveBayes(), HoeffdingTreeClassifier(), ARFClassifier(n_models=5, seed=1)]  # noqa: E731
    selector = ModelSelector(candidates(), Accuracy())
    print("\nModelSelector([NaiveBayes(), HoeffdingTreeClassifier(), ARFClassifier(n_models=5, seed=1)], Accuracy())")
    for model in candidates():
        acc, seconds = prequential(model, rows)
        print(f"{type(model).__name__:<32}{acc:8.2f}{seconds:8.2f}")
    acc, seconds = prequential(selector, rows)
    print(f"{'ModelSelector':<32}{acc:8.2f}{seconds:8.2f}   (best at the end: candidate {selector.best})")


if __name__ == "__main__":
    main()
