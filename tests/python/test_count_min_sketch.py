"""CountMinSketch: batches against single adds, saturating counts, the inner product and the error bound."""

import math
from collections import Counter

import pytest

from velt import CountMinSketch
from helpers import G, MASK, fields, raises


def table(sketch):
    return fields(sketch)["table"]


def test_fresh_sketch():
    sketch = CountMinSketch(error_rate=0.01, confidence=0.99)
    assert (sketch.width, sketch.depth, sketch.size_in_bytes, len(sketch), sketch.error_bound()) == (272, 5, 10880, 0, 0)
    assert repr(sketch) == "CountMinSketch(width=272, depth=5, total_count=0)"
    assert (CountMinSketch(100, 4, 5.0, -1.0).width, sketch["x"], sketch.query_hashes([0, MASK])) == (100, 0, [0, 0])


# Batches hash a block of items for every row before touching counters, and prefetch
# them in tables beyond the cache: a block of one item in a deep sketch, a table of
# several MiB, and item lengths across every XXH3 code path must count as single adds do.
@pytest.mark.parametrize("width, depth", [(97, 3), (7, 300), (300_000, 4)])
def test_batches_count_as_single_adds_do(width, depth):
    items = [b"x" * (n % 301) for n in range(700)]
    values = [n * G % 2**64 for n in range(700)]
    batched, single = CountMinSketch(width=width, depth=depth, seed=11), CountMinSketch(width=width, depth=depth, seed=11)
    batched.update(items)
    batched.update_hashes(values)
    for item in items:
        single.add(item)
    for value in values:
        single.add_hash(value)
    assert batched.to_bytes() == single.to_bytes()
    assert batched.query_hashes(values) == [single.query_hash(value) for value in values]


@pytest.mark.parametrize("add", [lambda s: s.add("x", MASK), lambda s: s.add_hash(77, MASK),
                                 lambda s: (s.add("x", MASK - 1), s.merge(s.copy()))])
def test_counters_and_total_saturate(add):
    sketch = CountMinSketch(width=16, depth=3)
    add(sketch)
    add(sketch)
    assert (sketch.total_count, max(max(row) for row in table(sketch))) == (MASK, MASK)
    with raises(OverflowError, ""):
        len(sketch)


def test_estimates_never_fall_below_the_truth_and_in_is_refused():
    words = [f"w{i % 97}" for i in range(5000)] + [f"rare{i}" for i in range(500)]
    sketch = CountMinSketch(width=50, depth=4, seed=3)
    sketch.update(words)
    truth = Counter(words)
    assert all(estimate >= truth[word] for word, estimate in zip(truth, sketch.query_many(list(truth))))
    assert len(sketch) == len(words) and sketch[0] == sketch.query("0")
    with pytest.raises(TypeError):
        "w1" in sketch


def test_inner_product_is_the_smallest_row_sum_of_products_and_saturates():
    a, b = CountMinSketch(width=20, depth=3, seed=4), CountMinSketch(width=20, depth=3, seed=4)
    a.update([f"a{i % 7}" for i in range(60)])
    b.update([f"a{i % 5}" for i in range(40)])
    row_sums = [sum(p * q for p, q in zip(r, s)) for r, s in zip(table(a), table(b))]
    assert a.inner_product(b) == b.inner_product(a) == min(row_sums)
    a.add("big", 2**32)
    assert a.inner_product(a) == MASK


@pytest.mark.parametrize("width, total, bound", [(272, 1000, 10), (272, 272, 3), (1, 3, 9), (2, MASK, MASK)])
def test_error_bound(width, total, bound):
    sketch = CountMinSketch(width=width, depth=1)
    sketch.add("x", total)
    assert sketch.error_bound() == bound == min(math.ceil(math.e / width * total), MASK)

