"""Split merits summed in the iteration order of the class maps of each side.

Each stream offers several features whose candidate splits are equally good in exact
arithmetic: the features differ only by classes of equal weight exchanging their values, so
every side of a split holds the same weights under other labels. Which feature wins is then
decided by the last bits of the merits, which depend on the order in which the per-class
terms are summed. The native tree must split as the transcription summing in the maps'
order; each stream is checked to split otherwise under each wrong order.
"""

import random

import pytest

import _kavro_core as kc

pytest.importorskip("_kavro_testing")

from reference_hoeffding_tree import (  # noqa: E402
    ReferenceHoeffdingTree,
    gini_merit,
    info_gain_merit,
)

FEATURES = "abcdef"
# Offsets of a class's successive values (the same for every feature), so that the
# per-class summaries overlap and the points split them into fractional weights.
SPREAD = (0.0, 1.25, 0.5, 2.0, 0.75, 1.5)


def tied_stream(seed, n_classes, spread):
    """Training records, then one probe per class (learnt as well)."""
    rng = random.Random(seed)
    labels = rng.sample(range(-40, 80 if n_classes < 40 else 400), n_classes)
    low = 2 if spread else 1
    counts = [rng.randrange(low, low + 4) for _ in range(n_classes // 2)]
    counts = [c for c in counts for _ in (0, 1)] + [low] * (n_classes % 2)
    rng.shuffle(counts)
    rank = list(range(n_classes))
    rng.shuffle(rank)
    first = {c: float(r) for c, r in zip(labels, rank)}
    same_count = {}
    for c, n in zip(labels, counts):
        same_count.setdefault(n, []).append(c)
    values = {FEATURES[0]: first}
    for f in FEATURES[1:]:
        v = dict(first)
        for group in same_count.values():
            exchanged = [first[c] for c in group]
            rng.shuffle(exchanged)
            v.update(zip(group, exchanged))
        values[f] = v
    ys = [c for c, n in zip(labels, counts) for _ in range(n)]
    rng.shuffle(ys)
    seen = dict.fromkeys(labels, 0)
    train = []
    for y in ys:
        off = SPREAD[seen[y]] if spread else 0.0
        seen[y] += 1
        train.append(({f: values[f][y] + off for f in FEATURES}, y))
    probes = [({f: values[f][c] for f in FEATURES}, c) for c in labels]
    return train, probes


class _Reordered:
    def __init__(self, side, order):
        self.side = side
        self.order = order

    def items(self):
        return self.order(self.side)


ORDERS = {
    # The order the classes were added to the side (the leaf's observer order).
    "insertion": lambda side: [(c, side.values[c]) for c in side.inserted],
    "label": lambda side: sorted(side.values.items()),
    "reversed": lambda side: side.items()[::-1],
}
# (order, whether only the sides' total weights are summed in it)
WRONG_ORDERS = [(name, False) for name in ORDERS] + [("insertion", True)]


class MisorderedTree(ReferenceHoeffdingTree):
    """The transcription with each side's class weights summed in another order."""

    def __init__(self, order, weights_only, **kwargs):
        super().__init__(**kwargs)
        self.order = ORDERS[order]
        self.weights_only = weights_only

    def _point_merit(self, leaf, left, right):
        if not self.weights_only:
            return super()._point_merit(leaf, _Reordered(left, self.order),
                                        _Reordered(right, self.order))
        lw = 0.0
        for _, n in self.order(left):
            lw += n
        rw = 0.0
        for _, n in self.order(right):
            rw += n
        branches = [(left.items(), lw), (right.items(), rw)]
        if self.split_criterion == "gini":
            return gini_merit(branches)
        return info_gain_merit(leaf.class_counts.items(), leaf.weight, branches)


def outputs(tree, stream):
    """Probabilities (with key order) and label predicted before learning each record."""
    out = []
    for x, y in stream:
        out.append((list(tree.predict_proba_one(x).items()), tree.predict_one(x)))
        tree.learn_one(x, y)
    return out


CASES = [
    # (criterion, classes, spread, seed): integer weights, fractional weights, > 64 classes
    ("info_gain", 8, False, 5),
    ("gini", 8, False, 0),
    ("info_gain", 6, True, 39),
    ("info_gain", 8, True, 0),
    ("gini", 5, True, 8),
    ("gini", 7, True, 11),
    ("info_gain", 70, False, 0),  # orders found afresh at every point
    ("gini", 66, True, 8),
]


@pytest.mark.parametrize("criterion, n_classes, spread, seed", CASES)
def test_tied_split_candidates_are_decided_in_map_order(criterion, n_classes, spread, seed):
    train, probes = tied_stream(seed, n_classes, spread)
    stream = train + probes
    # A split attempt after the training records; any tie splits.
    args = dict(grace_period=len(train), split_confidence=0.9, tie_threshold=10.0,
                split_criterion=criterion)
    ref = ReferenceHoeffdingTree(**args)
    want = outputs(ref, stream)
    assert ref.n_splits > 0
    for order, weights_only in WRONG_ORDERS:
        if weights_only and not spread:
            continue  # integer weights sum exactly in any order
        misordered = MisorderedTree(order, weights_only, **args)
        assert outputs(misordered, stream) != want, (order, weights_only)
    native = kc.HoeffdingTreeClassifier(**args)
    got = outputs(native, stream)
    for i, (g, w) in enumerate(zip(got, want)):
        assert g == w, (i, g, w)
