"""HyperLogLog: caller hashes, the estimator on crafted register states, its interval and merging."""

import math

import pytest

from velt import HyperLogLog
from helpers import G, MASK, fields, from_record, mix_caller_hash, raises

INF = math.inf
CONFIDENCE = "confidence must be one of 0.80, 0.90, 0.95, or 0.99"


def reference_registers(hashes, p):
    registers = [0] * (1 << p)
    for h in hashes:
        index, rank = h >> (64 - p), min(65 - ((h << p) & MASK).bit_length(), 65 - p)
        registers[index] = max(registers[index], rank)
    return registers


def splitmix_unmix(h, seed):
    """The caller hash that mix_caller_hash turns into h."""
    def undo_xorshift(z, shift):
        x = z
        for _ in range(64 // shift + 1):
            x = z ^ (x >> shift)
        return x

    z = undo_xorshift(h, 31)
    z = undo_xorshift((z * pow(0x94D049BB133111EB, -1, 2**64)) & MASK, 27)
    z = undo_xorshift((z * pow(0xBF58476D1CE4E5B9, -1, 2**64)) & MASK, 30)
    return ((z - G) & MASK) ^ seed


def state(registers, count=0):
    return from_record(HyperLogLog, version=2, registers=registers, precision=len(registers).bit_length() - 1,
                       count=count, seed=0)


def build(config, items=(), hashes=()):
    h = HyperLogLog(*config)
    h.update(items)
    h.update_hashes(list(hashes))
    return h


def test_fresh_counter_and_precision_bounds():
    h = HyperLogLog(precision=4, seed=3)
    assert (h.size_in_bytes, h.standard_error, h.relative_error(), h.cardinality(), len(h)) == (16, 0.26, 26.0, 0.0, 0)
    assert repr(HyperLogLog()) == "HyperLogLog(precision=14, cardinality=0, memory=16384B)"
    assert HyperLogLog(18).size_in_bytes == 2**18


@pytest.mark.parametrize("precision, seed, index", [(4, 0, 3), (18, MASK, 0)])
def test_caller_hashes_are_mixed_with_the_seed(precision, seed, index):
    # The last hash leaves nothing after its index bits: the largest rank, 65 - precision.
    hashes = [i * 0x100000001 for i in range(2000)] + [splitmix_unmix(index << (64 - precision), seed)]
    expected = reference_registers((mix_caller_hash(x, seed) for x in hashes), precision)
    assert expected[index] == 65 - precision
    assert fields(build((precision, seed), hashes=hashes))["registers"] == expected


# Register states that reach every branch of the estimator, with values worked out by hand.
CRAFTED_STATES = [
    ("small range", [1] + [0] * 15, 16 * math.log(16 / 15)),
    # raw = 0.673 * 256 / 4.75 = 36.3, between 2 m and 2.5 m: still linear counting.
    ("small range between 2 m and 2.5 m", [0] + [2] * 15, 16 * math.log(16)),
    ("small raw and no empty register", [1] * 16, 0.673 * 16 * 16 / 8.0),
    ("middle, alpha 0.673", [10] * 16, 0.673 * 16 * 16 / (16 / 1024)),
    ("middle, alpha 0.697", [10] * 32, 0.697 * 32 * 32 / (32 / 1024)),
    ("middle, alpha 0.709", [10] * 64, 0.709 * 64 * 64 / (64 / 1024)),
    ("middle, p=10", [10] * 1024, 0.7213 / (1 + 1.079 / 1024) * 1024 * 1024 / 1.0),
    ("just below the large range", [55] * 16, 0.673 * 16 * 2.0**55),
    ("large range", [56] * 16, -(2.0**64) * math.log1p(-(0.673 * 16 * 2.0**56 / 2.0**64))),
    ("infinite", [61] * 16, INF),
    ("infinite, p=18", [47] * 2**18, INF),
]


@pytest.mark.parametrize("label, registers, expected", CRAFTED_STATES, ids=[c[0] for c in CRAFTED_STATES])
def test_estimator_on_crafted_states(label, registers, expected):
    h = state(registers)
    assert h.cardinality() == h.query() == h.estimate == pytest.approx(expected, rel=1e-15)
    shown = "inf" if expected == INF else f"{h.cardinality():.0f}"
    assert repr(h) == f"HyperLogLog(precision={h.precision}, cardinality={shown}, memory={len(registers)}B)"
    if expected < 2**63:
        assert len(h) == math.floor(h.cardinality() + 0.5)
    else:  # beyond Py_ssize_t
        with raises(OverflowError, ""):
            len(h)
        assert expected < INF or h.confidence_interval() == (0.0, INF)


@pytest.mark.parametrize("confidence, z", [(0.80, 1.281552), (0.90, 1.644854), (0.95, 1.959964), (0.99, 2.575829),
                                           (None, 1.959964), (0.95 - 2**-53, 1.959964)])
def test_confidence_interval(confidence, z):
    h, args = build((10, 0), range(5000)), () if confidence is None else (confidence,)
    margin = h.cardinality() * (z * (1.04 / 32))
    assert h.confidence_interval(*args) == (h.cardinality() - margin, h.cardinality() + margin)
    assert HyperLogLog(10).confidence_interval(*args) == (0.0, 0.0)
    for unsupported in (0.85, 1, 0.95 + 2**-52, math.nan):
        with raises(ValueError, CONFIDENCE):
            h.confidence_interval(unsupported)


def test_count_saturates():
    h = state([0] * 16, count=2**64 - 2)
    h.update(["a", "b", "c"])
    h.merge(state([0] * 16, count=2**64 - 1))
    assert fields(h)["count"] == 2**64 - 1
