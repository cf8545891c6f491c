"""Internal random draws, checked against their defining formulas on raw engine outputs."""

import math

import pytest

kt = pytest.importorskip("_kavro_testing")

from reference_hoeffding_tree import shuffle, uniform  # noqa: E402  (needs _kavro_testing)


def reference_shuffle(outputs, v):
    v = list(v)
    shuffle(v, outputs.__next__)
    return v


def reference_canonical(outputs):
    a, b = next(outputs), next(outputs)
    u = (float(a) + float(b) * 2.0**32) / 2.0**64
    return u if u < 1.0 else math.nextafter(1.0, 0.0)


@pytest.mark.parametrize("seed", [0, 1, 42, 2**32 - 1])
@pytest.mark.parametrize("r", [0, 1, 2, 6, 99, 2**31, 2**32 - 2])
def test_uniform_draw(seed, r):
    outputs = iter(kt.mt_outputs(seed, 4000))
    expected = [uniform(outputs.__next__, r) for _ in range(200)]
    assert kt.uniform_draws(seed, r, 200) == expected
    assert all(0 <= v <= r for v in expected)


@pytest.mark.parametrize("n", [0, 1, 2, 3, 4, 5, 10, 11, 64, 1001])
@pytest.mark.parametrize("seed", [7, 123456])
def test_shuffle(n, seed):
    v = list(range(n))
    outputs = iter(kt.mt_outputs(seed, 8 * n + 16))
    assert kt.shuffle(seed, v) == reference_shuffle(outputs, v)
    assert sorted(kt.shuffle(seed, v)) == v


def test_shuffle_one_draw_per_position_for_long_lists():
    # Above 65535 entries two positions no longer fit one 32-bit draw.
    n = 70000
    v = list(range(n))
    outputs = iter(kt.mt_outputs(5, 2 * n))
    assert kt.shuffle(5, v) == reference_shuffle(outputs, v)


@pytest.mark.parametrize("seed", [0, 99])
def test_canonical_and_symmetric_uniform(seed):
    outputs = iter(kt.mt_outputs(seed, 400))
    us = [reference_canonical(outputs) for _ in range(200)]
    assert kt.canonicals(seed, 200) == us
    assert kt.uniform_pm1s(seed, 200) == [2.0 * u - 1.0 for u in us]


@pytest.mark.parametrize("lam", [1.0, 6.0, 11.5])
def test_poisson_below_twelve_multiplies_uniforms(lam):
    outputs = iter(kt.mt_outputs(2024, 20000))
    limit = math.exp(-lam)
    expected = []
    for _ in range(300):
        k, p = 0, 1.0
        while True:
            p *= reference_canonical(outputs)
            if p <= limit:
                break
            k += 1
        expected.append(k)
    assert kt.poissons(2024, lam, 300) == expected
