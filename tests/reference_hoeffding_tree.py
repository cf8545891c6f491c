"""Pure-Python Hoeffding tree classifier used to check the native tree step by step.

Hash-map iteration orders are reproduced through the test module: every label-keyed map
remembers the order in which its keys were inserted and asks the native side how a map
filled that way iterates.
"""

import math
from fractions import Fraction

import _kavro_testing as kt

LOG_FLOOR = -690.7755278982137
INF = math.inf


def fma(a, b, c):
    """One rounding of a * b + c (exact rational arithmetic, then rounded once)."""
    if not (math.isfinite(a) and math.isfinite(b) and math.isfinite(c)):
        return a * b + c
    exact = Fraction(a) * Fraction(b) + Fraction(c)
    try:
        return float(exact)
    except OverflowError:
        return math.inf if exact > 0 else -math.inf


class IntMap:
    """Label-keyed hash map that only ever grows; iterates like the native container."""

    __slots__ = ("values", "inserted", "_order")

    def __init__(self):
        self.values = {}
        self.inserted = []
        self._order = []

    def add(self, key, amount):
        if key not in self.values:
            self.values[key] = 0.0
            self.inserted.append(key)
            self._order = None
        self.values[key] += amount

    def setdefault(self, key, factory):
        if key not in self.values:
            self.values[key] = factory()
            self.inserted.append(key)
            self._order = None
        return self.values[key]

    def order(self):
        if self._order is None:
            self._order = kt.int_map_order(self.inserted)
        return self._order

    def items(self):
        return [(k, self.values[k]) for k in self.order()]

    def __contains__(self, key):
        return key in self.values

    def __getitem__(self, key):
        return self.values[key]

    def __len__(self):
        return len(self.values)


def result_dict(inserted):
    """Dict as Python receives a result map filled by inserting (label, value) pairs in order."""
    values = dict(inserted)
    return {k: values[k] for k in kt.int_map_order([k for k, _ in inserted])}


class Gaussian:
    __slots__ = ("weight", "mean", "m2", "min", "max")

    def __init__(self):
        self.weight = 0.0
        self.mean = 0.0
        self.m2 = 0.0
        self.min = 0.0
        self.max = 0.0

    def update(self, v):
        if self.weight <= 0:
            self.min = self.max = v
        elif v < self.min:
            self.min = v
        elif v > self.max:
            self.max = v
        self.weight += 1.0
        old = self.mean
        self.mean = old + (v - old) / self.weight
        self.m2 = fma(v - old, v - self.mean, self.m2)

    def variance(self):
        return self.m2 / (self.weight - 1.0) if self.weight > 1 else 0.0

    def sd(self):
        return math.sqrt(self.variance())

    def pdf(self, v):
        if self.weight < 2:
            return 0.0
        var = self.variance()
        if var > 0:
            d = v - self.mean
            return math.exp(-0.5 * (d * d) / var) / math.sqrt(2.0 * math.pi * var)
        return 1.0 if v == self.mean else 0.0


class Leaf:
    def __init__(self):
        self.is_leaf = True
        self.class_observers = IntMap()  # label -> {feature: Gaussian}
        self.class_counts = IntMap()
        self.weight = 0.0
        self.mc_correct = 0.0
        self.nb_correct = 0.0
        self.split_feature = ""
        self.threshold = 0.0
        self.left = None
        self.right = None


class MT:
    """The tree's generator: outputs of std::mt19937 from the native side, consumed in order."""

    def __init__(self, seed):
        self.seed = seed
        self.buf = kt.mt_outputs(seed, 1024)
        self.pos = 0

    def __call__(self):
        if self.pos == len(self.buf):
            self.buf = kt.mt_outputs(self.seed, 2 * len(self.buf))
        u = self.buf[self.pos]
        self.pos += 1
        return u


def uniform(rng, r):
    scaling = 4294967295 // (r + 1)
    while True:
        u = rng()
        if u < (r + 1) * scaling:
            return u // scaling


def shuffle(v, rng):
    n = len(v)
    if n < 2:
        return
    if 4294967295 // n < n:
        for i in range(1, n):
            j = uniform(rng, i)
            v[i], v[j] = v[j], v[i]
        return
    i = 1
    if n % 2 == 0:
        j = uniform(rng, 1)
        v[1], v[j] = v[j], v[1]
        i = 2
    while i < n:
        b = uniform(rng, (i + 1) * (i + 2) - 1)
        k = b // (i + 2)
        v[i], v[k] = v[k], v[i]
        k = b % (i + 2)
        v[i + 1], v[k] = v[k], v[i + 1]
        i += 2


def entropy(items, w):
    if w <= 0:
        return 0.0
    h = 0.0
    for _, n in items:
        if n > 0:
            p = n / w
            h -= p * math.log2(p)
    return h


def gini_merit(branches):
    total = 0.0
    for _, w in branches:
        total += w
    if total <= 0:
        return 0.0
    impurity = 0.0
    for items, w in branches:
        if w <= 0:
            continue
        s = 0.0
        for _, n in items:
            p = n / w
            s += p * p
        impurity += (w / total) * (1.0 - s)
    return 1.0 - impurity


def info_gain_merit(pre_items, pre_w, branches):
    total = 0.0
    for _, w in branches:
        total += w
    if total <= 0:
        return -INF
    big = sum(1 for _, w in branches if w / total > 0.01)
    if big < 2:
        return -INF
    post = 0.0
    for items, w in branches:
        post += w * entropy(items, w)
    return entropy(pre_items, pre_w) - post / total


class ReferenceHoeffdingTree:
    def __init__(self, grace_period=200, split_confidence=1e-07, tie_threshold=0.05,
                 nb_threshold=0, max_depth=20, split_criterion="info_gain",
                 leaf_prediction="nba", n_split_points=10, max_split_features=0, seed=0):
        self.grace_period = grace_period
        self.split_confidence = split_confidence
        self.tie_threshold = tie_threshold
        self.nb_threshold = nb_threshold
        self.max_depth = max_depth
        self.split_criterion = split_criterion
        self.n_split_points = n_split_points
        self.leaf_prediction = leaf_prediction
        self.max_split_features = max_split_features
        self.rng = MT(seed)
        self.root = Leaf()
        self.seen_classes = set()
        self.n_splits = 0

    # -- routing -------------------------------------------------------------------------
    def _route(self, x):
        node, depth = self.root, 0
        while not node.is_leaf:
            v = x.get(node.split_feature, 0.0)
            node = node.left if v <= node.threshold else node.right
            depth += 1
        return node, depth

    # -- leaf predictors -----------------------------------------------------------------
    @staticmethod
    def _mc_label(leaf):
        best, label = -1.0, 0
        for c, n in leaf.class_counts.items():
            if n > best:
                best, label = n, c
        return label

    @staticmethod
    def _log_scores(leaf, x, xkeys):
        if leaf.weight <= 0:
            return []
        scores = []
        for c, n in leaf.class_counts.items():
            s = math.log(n / leaf.weight)
            if c in leaf.class_observers:
                obs = leaf.class_observers[c]
                for name in xkeys:
                    e = obs.get(name)
                    if e is None:
                        continue
                    q = e.pdf(x[name])
                    s += math.log(q) if q > 1e-300 else LOG_FLOOR
            scores.append((c, s))
        return scores

    @staticmethod
    def _argmax(scores, start_label):
        # Visited in the order the scores were computed (the class counts' order).
        best, label = -INF, start_label
        for c, s in scores:
            if s > best:
                best, label = s, c
        return label

    def _use_mc(self, leaf):
        return (self.leaf_prediction == "mc" or float(self.nb_threshold) > leaf.weight
                or (self.leaf_prediction != "nb" and not leaf.nb_correct > leaf.mc_correct))

    # -- public operations ---------------------------------------------------------------
    def learn_one(self, x, y, xkeys=None):
        if xkeys is None:
            xkeys = kt.record_keys(x)
        self.seen_classes.add(y)
        leaf, depth = self._route(x)
        if self.leaf_prediction != "mc" and leaf.weight > 0:
            if self._mc_label(leaf) == y:
                leaf.mc_correct += 1.0
            scores = self._log_scores(leaf, x, xkeys)
            if scores and self._argmax(scores, 0) == y:
                leaf.nb_correct += 1.0
        leaf.class_counts.add(y, 1.0)
        leaf.weight += 1.0
        for name in xkeys:
            obs = leaf.class_observers.setdefault(y, dict)
            e = obs.get(name)
            if e is None:
                e = obs[name] = Gaussian()
            e.update(x[name])
        if int(leaf.weight) % self.grace_period == 0:
            self._attempt_split(leaf, depth)

    def predict_one(self, x, xkeys=None):
        if xkeys is None:
            xkeys = kt.record_keys(x)
        leaf, _ = self._route(x)
        label = self._mc_label(leaf)
        if self._use_mc(leaf):
            return label
        scores = self._log_scores(leaf, x, xkeys)
        if scores:
            label = self._argmax(scores, label)
        return label

    def predict_proba_one(self, x, xkeys=None):
        if xkeys is None:
            xkeys = kt.record_keys(x)
        leaf, _ = self._route(x)
        if leaf.weight <= 0:
            labels = sorted(self.seen_classes)
            return result_dict([(c, 1.0 / len(labels)) for c in labels])
        inserted = []
        if self._use_mc(leaf):
            for c, n in leaf.class_counts.items():
                inserted.append((c, n / leaf.weight))
        else:
            total = 0.0
            for c, n in leaf.class_counts.items():
                s = n / leaf.weight
                if c in leaf.class_observers:
                    obs = leaf.class_observers[c]
                    for name in xkeys:
                        e = obs.get(name)
                        if e is None:
                            continue
                        q = e.pdf(x[name])
                        s = s * q if q > 1e-300 else s * 1e-300
                inserted.append((c, s))
                total += s
            if total > 0:
                inserted = [(c, s / total) for c, s in inserted]
        present = {c for c, _ in inserted}
        for c in sorted(self.seen_classes):
            if c not in present:
                inserted.append((c, 0.0))
        return result_dict(inserted)

    def reset(self):
        self.root = Leaf()
        self.seen_classes = set()

    # -- splitting -----------------------------------------------------------------------
    def _point_merit(self, leaf, left, right):
        lw = 0.0
        for _, n in left.items():
            lw += n
        rw = 0.0
        for _, n in right.items():
            rw += n
        branches = [(left.items(), lw), (right.items(), rw)]
        if self.split_criterion == "gini":
            return gini_merit(branches)
        return info_gain_merit(leaf.class_counts.items(), leaf.weight, branches)

    def _attempt_split(self, leaf, depth):
        if depth >= self.max_depth or leaf.weight < 2.0 or len(self.seen_classes) < 2:
            return
        names = set()
        for _, obs in leaf.class_observers.items():
            names.update(obs)
        features = sorted(names, key=lambda s: s.encode("utf-8"))
        if not features:
            return
        if self.split_criterion == "gini":
            r = 1.0
        else:
            r = math.log2(len(self.seen_classes))
        eps = math.sqrt(r * r * math.log(1.0 / self.split_confidence) / (2.0 * leaf.weight))

        if self.split_criterion == "gini":
            null_merit = gini_merit([(leaf.class_counts.items(), leaf.weight)])
        else:
            null_merit = -INF
        candidates = [dict(null=True, feature="", threshold=0.0, merit=null_merit,
                           left=IntMap(), right=IntMap())]

        if 0 < self.max_split_features < len(features):
            shuffle(features, self.rng)
            features = features[:self.max_split_features]

        observers = leaf.class_observers.items()
        for f in features:
            lo, hi = INF, -INF
            for _, obs in observers:
                e = obs.get(f)
                if e is not None and e.weight > 0:
                    lo = min(lo, e.min)
                    hi = max(hi, e.max)
            if not lo < hi:
                continue
            step = (hi - lo) / (self.n_split_points + 1)
            points = set()
            for i in range(1, self.n_split_points + 1):
                p = fma(float(i), step, lo)
                if lo < p < hi:
                    points.add(p)
            if not points:
                continue
            cand = dict(null=False, feature=f, threshold=0.0, merit=-INF,
                        left=IntMap(), right=IntMap())
            for p in sorted(points):
                left, right = IntMap(), IntMap()
                for c, obs in observers:
                    e = obs.get(f)
                    if e is None or not e.weight > 0:
                        continue
                    if p < e.min:
                        right.add(c, e.weight)
                    elif p >= e.max:
                        left.add(c, e.weight)
                    else:
                        eq = e.pdf(p) * e.weight
                        sd = e.sd()
                        if sd > 0:
                            phi = (math.erf((p - e.mean) / (sd * math.sqrt(2.0))) + 1.0) * 0.5
                            less = fma(phi, e.weight, -eq)
                            greater = (e.weight - eq) - less
                        elif p < e.mean:
                            less = e.weight - eq
                            greater = 0.0
                        else:
                            less = 0.0
                            greater = e.weight - eq
                        greater = max(0.0, greater)
                        left.add(c, eq + less)
                        right.add(c, greater)
                merit = self._point_merit(leaf, left, right)
                if merit > cand["merit"]:
                    cand.update(threshold=p, merit=merit, left=left, right=right)
            candidates.append(cand)

        best_i = 0
        for i, c in enumerate(candidates):
            if c["merit"] > candidates[best_i]["merit"]:
                best_i = i
        best = candidates[best_i]
        second = -INF
        for i, c in enumerate(candidates):
            if i != best_i and c["merit"] > second:
                second = c["merit"]
        if best["merit"] == -INF:
            return
        if len(candidates) > 1 and best["merit"] - second <= eps and self.tie_threshold <= eps:
            return
        if best["null"]:
            return
        self._split(leaf, best)

    def _split(self, leaf, b):
        leaf.is_leaf = False
        leaf.split_feature = b["feature"]
        leaf.threshold = b["threshold"]
        leaf.left, leaf.right = Leaf(), Leaf()
        for child, counts in ((leaf.left, b["left"]), (leaf.right, b["right"])):
            w = 0.0
            for c, n in counts.items():
                if n > 0:
                    child.class_counts.add(c, n)
                    w += n
            child.weight = w
        leaf.class_observers = IntMap()
        leaf.class_counts = IntMap()
        leaf.weight = 0.0
        self.n_splits += 1


class ReferenceAdaptiveTree:
    """Whole-tree replacement driven by two native ADWIN detectors."""

    def __init__(self, kc, grace_period=200, split_confidence=1e-07, tie_threshold=0.05,
                 nb_threshold=0, max_depth=20, drift_delta=0.002, warning_delta=0.02,
                 split_criterion="info_gain"):
        self.kc = kc
        self.args = dict(grace_period=grace_period, split_confidence=split_confidence,
                         tie_threshold=tie_threshold, nb_threshold=nb_threshold,
                         max_depth=max_depth, split_criterion=split_criterion)
        self.drift_delta = drift_delta
        self.warning_delta = warning_delta
        self.reset()

    def _tree(self):
        return ReferenceHoeffdingTree(**self.args)

    def reset(self):
        self.main = self._tree()
        self.background = None
        self.drift = self.kc.ADWIN(self.drift_delta)
        self.warning = self.kc.ADWIN(self.warning_delta)
        self.n_warnings = 0
        self.n_drifts = 0

    def predict_one(self, x, xkeys=None):
        return self.main.predict_one(x, xkeys)

    def predict_proba_one(self, x, xkeys=None):
        return self.main.predict_proba_one(x, xkeys)

    def learn_one(self, x, y, xkeys=None):
        if xkeys is None:
            xkeys = kt.record_keys(x)
        e = 1.0 if self.main.predict_one(x, xkeys) != y else 0.0
        self.main.learn_one(x, y, xkeys)
        if self.background is not None:
            self.background.learn_one(x, y, xkeys)
        self.warning.update(e)
        if self.warning.drift_detected and self.background is None:
            self.background = self._tree()
            self.warning = self.kc.ADWIN(self.warning_delta)
            self.n_warnings += 1
        self.drift.update(e)
        if self.drift.drift_detected:
            self.main = self.background if self.background is not None else self._tree()
            self.background = None
            self.drift = self.kc.ADWIN(self.drift_delta)
            self.warning = self.kc.ADWIN(self.warning_delta)
            self.n_drifts += 1
