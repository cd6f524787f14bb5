"""BloomFilter: statistics at worked fills and set operations."""

import math
import pytest

from velt import BloomFilter
from helpers import fields, from_record, raises

def test_fresh_and_one_bit_filters():
    bloom = BloomFilter(expected_items=10000)
    assert (bloom.size_in_bytes, len(bloom), bloom.bit_count(), bloom.health()) == (11984, 0, 0, "healthy")
    assert math.copysign(1, bloom.estimate_count()) == -1  # -0.0: no bit set
    assert repr(bloom) == "BloomFilter(num_bits=95851, num_hashes=7, count=0, fpr=0.0000)"
    tiny = BloomFilter(num_bits=1)
    tiny.add("x")
    assert all(tiny.query_many(["a", b"", 1])) and tiny.is_saturated() and tiny.estimate_count() == math.inf
    assert repr(tiny) == "BloomFilter(num_bits=1, num_hashes=1, count=1, fpr=1.0000)"


@pytest.mark.parametrize("fill, health", [(0.64, "healthy"), (0.65, "warning"), (0.79, "warning"), (0.8, "saturated")])
def test_statistics_at_a_worked_fill(fill, health):
    set_bits = round(fill * 100)  # exactly `fill` of 100 bits set
    words = [(1 << min(set_bits, 64)) - 1, (1 << max(set_bits - 64, 0)) - 1]
    bloom = from_record(BloomFilter, bits=words, num_bits=100, num_hashes=2, count=0, seed=0)
    assert (bloom.fill_ratio(), bloom.health(), bloom.is_saturated()) == (set_bits / 100, health, health == "saturated")
    assert bloom.false_positive_rate == pytest.approx(fill**2)
    assert bloom.estimate_count() == pytest.approx(-50 * math.log(1 - fill))


def test_union_and_intersection():
    a, b = BloomFilter(expected_items=100), BloomFilter(expected_items=100)
    a.update(["a", "both"])
    b.update(["b", "both"])
    union, common = a | b, a & b
    assert (len(union), len(a), len(common)) == (4, 2, 0)
    assert all(union.query_many(["a", "b", "both"])) and "both" in common
    assert common.bit_count() <= min(a.bit_count(), b.bit_count()) and common.to_bytes() == a.intersection(b).to_bytes()
    original = a
    a |= a  # with itself: a new object, not a borrow error
    assert a is not original and (len(a), len(original), len(a & a)) == (4, 2, 0)
    with raises(ValueError, "Cannot intersect: filters must have same configuration"):
        a.intersection(BloomFilter(expected_items=100, seed=1))


def test_count_saturates_and_len_stops_at_ssize_t():
    record = dict(bits=[0], num_bits=64, num_hashes=1, seed=0)
    a = from_record(BloomFilter, count=2**64 - 2, **record)
    a.merge(a.copy())
    a.add("x")
    assert fields(a)["count"] == 2**64 - 1
    with raises(OverflowError, ""):
        len(a)
    assert len(from_record(BloomFilter, count=2**63 - 1, **record)) == 2**63 - 1


