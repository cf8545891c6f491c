"""Prequential (test-then-train) run on a built-in synthetic stream."""

import math
import random

import _kavro_core as kc


def stream(n, seed=7):
    rng = random.Random(seed)
    for _ in range(n):
        y = rng.randrange(3)
        x = {f"x{j}": rng.gauss(y * (j + 1) * 0.5, 1.0) for j in range(4)}
        yield x, y


def main():
    model = kc.NaiveBayes()
    correct = seen = 0
    for x, y in stream(5000):
        correct += model.predict_one(x) == y
        seen += 1
        model.learn_one(x, y)
        if seen % 1000 == 0:
            print(f"[{seen:5d}] NaiveBayes accuracy: {correct / seen:.4f}")
    assert not math.isnan(correct / seen)


if __name__ == "__main__":
    main()
