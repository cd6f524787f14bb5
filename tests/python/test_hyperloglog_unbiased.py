"""HyperLogLog's unbiased estimate: the formula against a direct evaluation from the
register histogram, and its interval. Its bias across the hand-over region is measured
by docs/hyperloglog_bias.py."""

import json
import math
import random

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from velt import HyperLogLog

Z_95 = 1.959964


def counter_with(registers, precision):
    return HyperLogLog.from_json(json.dumps(
        {"version": 2, "registers": registers, "precision": precision, "count": 0, "seed": 0}))


def formula(registers, precision):
    """m^2 / (2 ln 2) / (m sigma(C_0/m) + sum_{k=1..q} C_k 2^-k + m tau(1 - C_{q+1}/m) 2^-q), the series summed term by term."""
    m, q = len(registers), 64 - precision
    counts = [registers.count(k) for k in range(q + 2)]
    x = counts[0] / m
    sigma = math.inf if x == 1 else x + sum(x ** (2**k) * 2 ** (k - 1) for k in range(1, 80))
    y = 1 - counts[q + 1] / m
    tau = (1 - y - sum((1 - y ** 2.0**-k) ** 2 * 2.0**-k for k in range(1, 80))) / 3 if 0 < y < 1 else 0.0
    total = m * sigma + sum(counts[k] * 2.0**-k for k in range(1, q + 1)) + m * tau * 2.0**-q
    return m * m / (2 * math.log(2)) / total


def hashes(rng, count):
    return [rng.getrandbits(64) for _ in range(count)]


@settings(max_examples=200, deadline=None)
@given(st.lists(st.integers(0, 61), min_size=16, max_size=16))
def test_estimate_follows_the_formula_for_any_registers(registers):
    assert counter_with(registers, 4).unbiased_cardinality() == pytest.approx(formula(registers, 4), rel=1e-12)


@pytest.mark.parametrize("precision", [10, 18])
@pytest.mark.parametrize("load", [0.001, 2.5, 20.0])
def test_estimate_follows_the_formula_for_filled_counters(precision, load):
    counter = HyperLogLog(precision=precision)
    counter.update_hashes(hashes(random.Random(precision), round(load * 2**precision)))
    registers = json.loads(counter.to_json())["registers"]
    registers[:3] = [0, 64 - precision, 65 - precision]  # empty, top ordinary and saturated values too
    assert counter_with(registers, precision).unbiased_cardinality() == pytest.approx(
        formula(registers, precision), rel=1e-12)


@pytest.mark.parametrize("precision", [4, 18])
def test_empty_and_saturated_counters(precision):
    empty = HyperLogLog(precision=precision)
    assert (empty.unbiased_cardinality(), empty.unbiased_confidence_interval()) == (0.0, (0.0, 0.0))
    full = counter_with([65 - precision] * 2**precision, precision)
    assert (full.unbiased_cardinality(), full.unbiased_confidence_interval(0.99)) == (math.inf, (0.0, math.inf))


@pytest.mark.parametrize("precision", [10, 18])
def test_stated_error_runs_from_linear_counting_to_the_asymptotic_one(precision):
    """1/sqrt(2m) while almost every register is empty, sqrt(3 ln 2 - 1)/sqrt(m) far above m."""
    m = 2**precision
    sparse = HyperLogLog(precision=precision)
    sparse.update_hashes(hashes(random.Random(precision), m // 100))
    dense = counter_with([11] * m, precision)  # about 1500 m distinct items
    for counter, expected in [(sparse, 1 / math.sqrt(2)), (dense, math.sqrt(3 * math.log(2) - 1))]:
        estimate = counter.unbiased_cardinality()
        low, high = counter.unbiased_confidence_interval(0.95)
        assert (high - low) / (2 * Z_95 * estimate) * math.sqrt(m) == pytest.approx(expected, rel=0.01)


def test_interval_levels_nest_and_are_those_of_confidence_interval():
    counter = HyperLogLog(precision=10)
    counter.update_hashes(hashes(random.Random(3), 5000))
    levels = [counter.unbiased_confidence_interval(level) for level in (0.80, 0.90, 0.95, 0.99)]
    estimate = counter.unbiased_cardinality()
    assert all(wide[0] < narrow[0] < estimate < narrow[1] < wide[1] for narrow, wide in zip(levels, levels[1:]))
    assert counter.unbiased_confidence_interval(confidence=0.9500000000000001) == counter.unbiased_confidence_interval() == levels[2]
    with pytest.raises(ValueError, match=r"^confidence must be one of 0.80, 0.90, 0.95, or 0.99$"):
        counter.unbiased_confidence_interval(0.85)
