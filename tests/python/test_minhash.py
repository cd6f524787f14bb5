"""MinHash: the estimate and its interval, comparison mismatches and merging."""

import math

import pytest

from velt import MinHash
from helpers import MASK, from_record, raises

EMPTY = MASK
CONFIDENCE = "confidence must be one of 0.80, 0.90, 0.95, or 0.99"


def signature(slots, num_hashes=None, version=2):
    return from_record(MinHash, version=version, signature=slots,
                       num_hashes=len(slots) if num_hashes is None else num_hashes, seed=0)


def test_fresh_signature():
    minhash = MinHash()
    assert (minhash.size_in_bytes, minhash.is_empty(), minhash.signature()) == (1024, True, [EMPTY] * 128)
    assert repr(minhash) == "MinHash(num_hashes=128, is_empty=true)"
    assert minhash.standard_error() == 1 / math.sqrt(128)
    minhash.add("x")
    assert repr(minhash) == "MinHash(num_hashes=128, is_empty=false)"


def test_equal_slots_estimate_the_jaccard_index():
    a, b = MinHash(), MinHash()
    assert a.jaccard(b) == a.query(b) == 1.0 and a.jaccard_interval(b) == (1.0, 1.0)  # empty slots compare equal
    a.update(["x", "y"])
    assert (a.jaccard(a.copy()), a.jaccard(b)) == (1.0, 0.0)
    assert signature([1, 2, 3, EMPTY]).jaccard(signature([1, 9, 3, EMPTY])) == 0.75  # any value is a possible minimum


@pytest.mark.parametrize("confidence, z", [(0.80, 1.281552), (0.90, 1.644854), (0.95, 1.959964), (0.99, 2.575829),
                                           (None, 1.959964), (0.95 + 2**-54, 1.959964)])
def test_interval_margin(confidence, z):
    a, b = signature([1, 2, 3, 4]), signature([1, 2, 0, 0])  # J = 0.5, sqrt(J (1 - J) / 4) = 0.25
    low, high = a.jaccard_interval(b) if confidence is None else a.jaccard_interval(b, confidence)
    assert (low, high) == (pytest.approx(max(0.5 - z * 0.25, 0.0)), pytest.approx(min(0.5 + z * 0.25, 1.0)))
    for unsupported in (0.5, 0.951, 0, math.nan):
        with raises(ValueError, CONFIDENCE):
            a.jaccard_interval(b, unsupported)


@pytest.mark.parametrize("mine, theirs, detail", [((128, 1), (64, 1), "num_hashes mismatch (128 vs 64)"),
                                                  ((16, 1), (16, 2), "seed mismatch (1 vs 2)")])
@pytest.mark.parametrize("compare", [MinHash.jaccard, MinHash.query, lambda a, b: a.jaccard_interval(b, 0.5)])
def test_comparisons_check_the_configuration_first(mine, theirs, detail, compare):
    with raises(ValueError, "Cannot compare: " + detail):
        compare(MinHash(*mine), MinHash(*theirs))
