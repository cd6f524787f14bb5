"""BlockedBloomFilter: its bits against a model of the split-block layout written from
the Parquet description (hashed by the xxhash package), its sizing formula, statistics,
set operations and batches."""

import math
import sys

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from velt import BlockedBloomFilter, BloomFilter
from helpers import MASK, fields, from_record, mix_caller_hash, raises, xxh3

SALTS = [0x47B6137B, 0x44974D91, 0x8824AD5B, 0xA2B7289D, 0x705495C7, 0x2DF1424B, 0x9EFC4947, 0x5C6BFB31]


def model_blocks(hashes, num_blocks):
    """The 64-bit words of a split-block filter of `num_blocks` blocks holding `hashes`:
    eight 32-bit words per block, word w holding bit (key * SALT[w] mod 2^32) >> 27,
    laid out little-endian two to a 64-bit word."""
    words32 = [0] * (8 * num_blocks)
    for value in hashes:
        block = ((value >> 32) * num_blocks) >> 32
        key = value & 0xFFFFFFFF
        for w, salt in enumerate(SALTS):
            words32[8 * block + w] |= 1 << (((key * salt) & 0xFFFFFFFF) >> 27)
    return [words32[2 * i] | words32[2 * i + 1] << 32 for i in range(4 * num_blocks)]


def item_bytes(item):
    return item.encode() if isinstance(item, str) else item


@settings(max_examples=60, deadline=None)
@given(
    items=st.lists(st.one_of(st.text(max_size=20), st.binary(max_size=80)), max_size=40),
    hashes=st.lists(st.integers(0, MASK), max_size=10),
    num_blocks=st.integers(1, 40),
    seed=st.integers(0, MASK),
)
def test_bits_follow_the_split_block_layout(items, hashes, num_blocks, seed):
    bloom = BlockedBloomFilter(num_blocks=num_blocks, seed=seed)
    bloom.update(items)
    bloom.update_hashes(hashes)
    expected = [xxh3(item_bytes(item), seed) for item in items] + [mix_caller_hash(value, seed) for value in hashes]
    assert fields(bloom)["blocks"] == model_blocks(expected, num_blocks)
    assert len(bloom) == len(items) + len(hashes)


def predicted_rate(load):
    """The split-block filter's false positive rate at `load` items per block (Poisson mixture)."""
    total = 0.0
    for j in range(int(load + 12 * math.sqrt(load) + 20) + 1):
        total += math.exp(j * math.log(load) - load - math.lgamma(j + 1)) * (1 - (31 / 32) ** j) ** 8
    return total


@pytest.mark.parametrize("items, rate", [(1, 0.5), (1000, 0.1), (10000, 0.01), (123457, 0.001), (10**6, 0.0001)])
def test_sizing_takes_the_fewest_blocks_that_meet_the_rate(items, rate):
    blocks = BlockedBloomFilter(expected_items=items, false_positive_rate=rate).num_blocks
    assert predicted_rate(items / blocks) <= rate
    assert blocks == 1 or predicted_rate(items / (blocks - 1)) > rate


def test_a_fresh_filter_and_one_block():
    bloom = BlockedBloomFilter(expected_items=10000)
    assert (bloom.num_blocks, bloom.num_bits, bloom.size_in_bytes) == (412, 412 * 256, 412 * 32)
    assert (len(bloom), bloom.bit_count(), bloom.health(), bloom.read_only) == (0, 0, "healthy", False)
    assert math.copysign(1, bloom.estimate_count()) == -1  # -0.0: no bit set
    assert repr(bloom) == "BlockedBloomFilter(num_blocks=412, count=0, fpr=0.0000)"
    one = BlockedBloomFilter(num_blocks=1, expected_items=5)
    one.add("x")
    assert one.bit_count() == 8 and one.false_positive_rate == pytest.approx(32**-8)
    assert repr(one) == "BlockedBloomFilter(num_blocks=1, count=1, fpr=0.0000)"


def test_statistics_of_a_given_state():
    # Block 0: every bit of its eight words set; block 1: half of each word's bits.
    half = 0x0000FFFF_0000FFFF
    bloom = from_record(BlockedBloomFilter, blocks=[MASK] * 4 + [half] * 4, num_blocks=2, count=0, seed=0)
    assert (bloom.bit_count(), bloom.fill_ratio(), bloom.health()) == (384, 0.75, "warning")
    assert bloom.false_positive_rate == pytest.approx((1 + 0.5**8) / 2)
    assert bloom.estimate_count() == pytest.approx(-64 * math.log(0.25))
    full = from_record(BlockedBloomFilter, blocks=[MASK] * 4, num_blocks=1, count=0, seed=0)
    assert full.estimate_count() == math.inf and full.is_saturated() and "anything" in full


@pytest.mark.parametrize("rate", [0.001, 0.01, 0.1])
def test_measured_rate_is_near_the_design_rate(rate):
    n = 20000
    bloom = BlockedBloomFilter(expected_items=n, false_positive_rate=rate)
    bloom.update(f"in-{i}" for i in range(n))
    probes = 200000
    measured = sum(bloom.query_many([f"out-{i}" for i in range(probes)])) / probes
    # Five standard deviations of the binomial count around the rate the bits predict.
    spread = 5 * math.sqrt(rate * probes) / probes
    assert abs(measured - bloom.false_positive_rate) < spread and bloom.false_positive_rate <= rate * 1.1
    assert bloom.estimate_count() == pytest.approx(n, rel=0.02)


def test_union_and_intersection():
    a, b = BlockedBloomFilter(expected_items=100), BlockedBloomFilter(expected_items=100)
    a.update(["a", "both"])
    b.update(["b", "both"])
    union, common = a | b, a & b
    assert (len(union), len(a), len(common)) == (4, 2, 0)
    assert all(union.query_many(["a", "b", "both"])) and "both" in common
    assert common.to_bytes() == a.intersection(b).to_bytes() and common.bit_count() <= a.bit_count()
    with raises(ValueError, "Cannot intersect: filters must have same configuration"):
        a.intersection(BlockedBloomFilter(expected_items=100, seed=1))


class Text(str):
    """A str subclass: converted by the general path, its bytes viewed in the object."""


def mixed_items(count):
    """Items of every kind a batch converts differently, in turn: short and long str,
    bytes, ints, a str subclass, lone surrogates, small-integer sequences."""
    kinds = (lambda i: f"t{i}", lambda i: f"é{i}".encode(), lambda i: i * 7919, lambda i: Text(f"s{i}"),
             lambda i: "\ud800" + str(i), lambda i: "long" * 20 + str(i), lambda i: (i % 256, 1))
    return [kinds[i % len(kinds)](i) for i in range(count)]


@pytest.mark.parametrize("cls", [BloomFilter, BlockedBloomFilter])
def test_batches_of_every_item_kind_agree_with_single_adds_and_release_them(cls):
    # Past several blocks of 4096 converted items and runs of 512 hashed ones.
    items = mixed_items(10_000)
    single, batch = cls(expected_items=20_000), cls(expected_items=20_000)
    for item in items:
        single.add(item)
    references = [sys.getrefcount(item) for item in items]
    batch.update(items)
    assert batch.to_bytes() == single.to_bytes()
    probes = mixed_items(12_000)[::-1]
    assert batch.query_many(probes) == [item in single for item in probes]
    assert [sys.getrefcount(item) for item in items] == references
