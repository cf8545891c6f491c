"""Fixed synthetic streams for the benchmark.

Every stream is drawn from its own seeded random.Random, so the same kind, size and seed give the same
records in every run and in every process (the memory children regenerate the stream the timing run
used). Records share one list of interned key objects, as records built from literals would.
"""
import math
import random

SEED = 20261208


def feature_names(n_features):
    width = len(str(n_features - 1))
    return [f"f{i:0{width}d}" for i in range(n_features)]


class Stream:
    """Endless stream of (record, target) pairs of one kind, read in blocks.

    kinds: "clf2", "clf5" (Gaussian blobs around per-label centres), "reg" (linear plus a
    non-linear term plus noise), "labels" (y_true, y_pred pairs of 5 labels, 70% correct),
    "values" (y_true, y_pred pairs of floats), "errors" (0/1 error indicators whose rate moves
    every 2,500 steps), "reals" (floats whose mean moves every 2,500 steps).
    """

    def __init__(self, kind, n_features=10, seed=SEED):
        self.kind = kind
        self.n_features = n_features
        self.names = feature_names(n_features)
        self.rng = random.Random(f"{kind}/{n_features}/{seed}")
        self.t = 0
        g = random.Random(f"{kind}/{n_features}/{seed}/concept")
        if kind in ("clf2", "clf5"):
            self.n_labels = 2 if kind == "clf2" else 5
            self.centres = [[g.gauss(0.0, 1.0) for _ in range(n_features)]
                            for _ in range(self.n_labels)]
        elif kind == "reg":
            self.weights = [g.uniform(-1.0, 1.0) for _ in range(n_features)]
        elif kind not in ("labels", "values", "errors", "reals"):
            raise ValueError(f"unknown stream kind {kind!r}")

    def block(self, size):
        """The next `size` pairs as two lists (inputs, targets)."""
        rng, names, kind = self.rng, self.names, self.kind
        gauss = rng.gauss
        xs, ys = [], []
        for _ in range(size):
            self.t += 1
            if kind in ("clf2", "clf5"):
                y = rng.randrange(self.n_labels)
                centre = self.centres[y]
                xs.append({k: c + gauss(0.0, 1.0) for k, c in zip(names, centre)})
                ys.append(y)
            elif kind == "reg":
                vals = [gauss(0.0, 1.0) for _ in names]
                y = sum(w * v for w, v in zip(self.weights, vals))
                y += 0.5 * math.sin(3.0 * vals[0]) + gauss(0.0, 0.1)
                xs.append(dict(zip(names, vals)))
                ys.append(y)
            elif kind == "labels":
                t = rng.randrange(5)
                xs.append(t)
                ys.append(t if rng.random() < 0.7 else rng.randrange(5))
            elif kind == "values":
                t = gauss(0.0, 1.0)
                xs.append(t)
                ys.append(t + gauss(0.0, 0.5))
            elif kind == "errors":
                rate = 0.2 if (self.t // 2500) % 2 == 0 else 0.5
                xs.append(1 if rng.random() < rate else 0)
                ys.append(None)
            else:  # reals
                mean = 0.0 if (self.t // 2500) % 2 == 0 else 1.0
                xs.append(mean + gauss(0.0, 1.0))
                ys.append(None)
        return xs, ys


def make_blocks(kind, n, block_size, n_features=10, seed=SEED):
    """The first n pairs of a stream, cut into blocks of block_size (the last may be shorter)."""
    s = Stream(kind, n_features, seed)
    blocks = []
    left = n
    while left > 0:
        b = min(block_size, left)
        blocks.append(s.block(b))
        left -= b
    return blocks
