"""kavro.inspect summaries and kavro.to_dot views of trees and ensembles."""

import json
import random
import re

import pytest

import _kavro_core as kc
import kavro

TREES = ["HoeffdingTreeClassifier", "EFDTClassifier", "HoeffdingAdaptiveTreeClassifier",
         "SGTClassifier", "HoeffdingTreeRegressor", "FIMTDDRegressor"]
ENSEMBLES = ["ARFClassifier", "SRPClassifier", "LeveragingBaggingClassifier", "ARFRegressor",
             "SRPRegressor", "LeveragingBaggingRegressor"]


def trained(name, n=2500, seed=0):
    model = getattr(kc, name)()
    rng = random.Random(seed)
    regression = issubclass(type(model), kc.IRegressor)
    for _ in range(n):
        x = {f"f{j}": rng.random() for j in range(4)}
        score = x["f0"] + 2 * x["f1"]
        if regression:
            model.learn_one(x, score)
        elif name == "SGTClassifier":
            model.learn_one(x, int(score > 1.5))
        else:
            model.learn_one(x, int(x["f0"] > 0.5) + int(x["f1"] > 0.6))
    return model


@pytest.mark.parametrize("name", TREES)
def test_tree_summary_agrees_with_the_dot_view(name):
    model = trained(name)
    info = kavro.inspect(model)
    json.dumps(info)
    summary = info["summary"]
    assert summary["n_nodes"] == 2 * summary["n_leaves"] - 1
    dot = kavro.to_dot(model)
    assert dot.startswith("digraph ") and dot.rstrip().endswith("}")
    assert len(re.findall(r" -> ", dot)) == summary["n_nodes"] - 1
    assert len(re.findall(r"style=rounded", dot)) == summary["n_leaves"]


def test_split_tests_label_the_edges():
    model = trained("FIMTDDRegressor")
    assert model.n_splits() > 0
    assert kavro.inspect(model)["summary"]["n_nodes"] == 2 * model.n_splits() + 1
    dot = kavro.to_dot(model)
    assert re.search(r'label="<= -?\d', dot) and re.search(r'label="> -?\d', dot)
    assert re.search(r'label="mean ', dot)


@pytest.mark.parametrize("name", ENSEMBLES)
def test_ensembles_summarise_each_member(name):
    model = trained(name, n=1200)
    summary = kavro.inspect(model)["summary"]
    assert summary["n_members"] == len(summary["members"]) > 0
    member = summary["members"][0]
    assert "tree" in member
    if "weight" in member:
        assert 0.0 <= member["weight"] <= 1.0
    dot = kavro.to_dot(model, member=0)
    assert dot.count(" -> ") == member["tree"]["n_nodes"] - 1
    # max_depth cuts a wide member: the root's two edges, each cut subtree drawn as "...".
    cut = kavro.to_dot(model, member=0, max_depth=1)
    if member["tree"]["depth"] > 1:
        assert cut.count(" -> ") == 2 and 'label="..."' in cut
    assert kavro.to_dot(model, member=0, max_depth=10**6) == dot
    with pytest.raises(ValueError, match="max_depth"):
        kavro.to_dot(model, member=0, max_depth=-1)
    with pytest.raises(IndexError):
        kavro.to_dot(model, member=summary["n_members"])
    with pytest.raises(TypeError, match="member"):
        kavro.to_dot(model)


def test_to_dot_refuses_what_is_not_a_tree():
    with pytest.raises(TypeError, match="not a tree"):
        kavro.to_dot(kc.NaiveBayes())
    with pytest.raises(TypeError, match="not an ensemble"):
        kavro.to_dot(kc.HoeffdingTreeClassifier(), member=0)


def test_inspect_shows_windows_and_counters():
    adwin = kc.ADWIN()
    for i in range(200):
        adwin.update(float(i % 7))
    state = kavro.inspect(adwin)["state"]
    json.dumps(state)
    assert "summary" not in kavro.inspect(adwin)
    assert kavro.inspect(kc.NaiveBayes())["class"] == "NaiveBayes"
