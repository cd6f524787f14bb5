"""CountMinSketch: sizing, columns, saturating counts, merge, inner product,
guarantee figures, borrows and the serialised forms."""

import json
import math
import operator
import re
import struct
import threading
from collections import Counter

import pytest
import xxhash
from hypothesis import given, settings
from hypothesis import strategies as st

from velt import BloomFilter, CountMinSketch

G = 0x9E3779B97F4A7C15
MAX = 2**64 - 1
EITHER = "Either provide (width, depth) or (error_rate, confidence)"
RATE = "error_rate must be between 0 and 1 (exclusive)"
CONFIDENCE = "confidence must be between 0 and 1 (exclusive)"
EOF = "Deserialization error: io error: unexpected end of file"


def raises(error, message):
    return pytest.raises(error, match=f"^{re.escape(message)}$")


def table(sketch):
    return json.loads(sketch.to_json())["table"]


def row_seed(seed, row):
    return (seed + row * G) & MAX


def envelope(payload):
    checksum = xxhash.xxh3_64_intdigest(payload, seed=0x56454C54534B4554)
    return b"VTCM\x01" + struct.pack("<QQ", len(payload), checksum) + payload


def payload(rows, width, depth, count=0, seed=0, version=2):
    body = bytes([version]) + struct.pack("<Q", len(rows))
    for row in rows:
        body += struct.pack(f"<Q{len(row)}Q", len(row), *row)
    return body + struct.pack("<QQQQ", width, depth, count, seed)


# ---- Construction ------------------------------------------------------------------


@pytest.mark.parametrize("error_rate, width", [(0.1, 28), (0.05, 55), (0.01, 272), (0.001, 2719)])
@pytest.mark.parametrize("confidence, depth", [(0.5, 1), (0.9, 3), (0.95, 3), (0.99, 5), (0.999, 7)])
def test_sizing_table(error_rate, width, confidence, depth):
    sketch = CountMinSketch(error_rate=error_rate, confidence=confidence)
    assert (sketch.width, sketch.depth, sketch.size_in_bytes) == (width, depth, width * depth * 8)
    assert sketch.error_rate() <= error_rate
    assert len(table(sketch)) == depth and {len(row) for row in table(sketch)} == {width}


def test_worked_example_of_one_percent_at_99_percent():
    sketch = CountMinSketch(error_rate=0.01, confidence=0.99)
    assert (sketch.width, sketch.depth, sketch.seed, sketch.total_count) == (272, 5, 0, 0)
    assert sketch.error_rate() == 0.009993683192864136
    assert sketch.confidence() == 0.9932620530009145
    assert len(sketch.to_bytes()) == 10982
    assert repr(sketch) == str(sketch) == "CountMinSketch(width=272, depth=5, total_count=0)"
    assert (len(sketch), sketch.error_bound(), sketch.query("anything"), sketch[b"x"]) == (0, 0, 0, 0)
    assert sketch.query_hashes([0, MAX]) == [0, 0]


def test_explicit_dimensions_ignore_the_rates():
    sketch = CountMinSketch(100, 4, 5.0, -1.0, 9)
    assert (sketch.width, sketch.depth, sketch.seed) == (100, 4, 9)


@pytest.mark.parametrize(
    "kwargs, message",
    [
        ({}, EITHER),
        ({"error_rate": 0.01}, EITHER),
        ({"depth": 4, "error_rate": 0.01, "confidence": 0.9}, EITHER),
        ({"error_rate": 0.0, "confidence": 0.9}, RATE),
        ({"error_rate": 1.0, "confidence": 0.9}, RATE),
        ({"error_rate": math.nan, "confidence": 0.9}, RATE),
        ({"error_rate": 1.0, "confidence": 5.0}, RATE),
        ({"error_rate": 0.01, "confidence": 0.0}, CONFIDENCE),
        ({"error_rate": 0.01, "confidence": math.nan}, CONFIDENCE),
        ({"width": 0, "depth": 0}, "width must be positive"),
        ({"width": 3, "depth": 0}, "depth must be positive"),
        ({"error_rate": 0.01, "confidence": 1e-17}, "depth must be positive"),
    ],
)
def test_construction_errors(kwargs, message):
    with raises(ValueError, message):
        CountMinSketch(**kwargs)


# ---- Columns -------------------------------------------------------------------------


@pytest.mark.parametrize("seed", [0, 1, 2**63, MAX, G])
@pytest.mark.parametrize("item, item_bytes", [("apple", b"apple"), (b"\x00\xff", b"\x00\xff"), (12345, b"12345"),
                                              ("", b""), ("x" * 300, b"x" * 300)])
def test_item_columns_are_seeded_xxh3_per_row(seed, item, item_bytes):
    sketch = CountMinSketch(width=1009, depth=4, seed=seed)
    sketch.add(item, 3)
    for row, counters in enumerate(table(sketch)):
        column = xxhash.xxh3_64_intdigest(item_bytes, seed=row_seed(seed, row)) % 1009
        assert counters[column] == 3 and sum(counters) == 3


@pytest.mark.parametrize("seed", [0, 7, MAX])
@pytest.mark.parametrize("value", [0, 1, 12345, MAX, G])
def test_caller_hash_columns_are_splitmix_per_row(seed, value):
    sketch = CountMinSketch(width=1009, depth=3, seed=seed)
    sketch.add_hash(value, 2)
    for row, counters in enumerate(table(sketch)):
        z = ((row_seed(seed, row) ^ value) + G) & MAX
        z = ((z ^ (z >> 30)) * 0xBF58476D1CE4E5B9) & MAX
        z = ((z ^ (z >> 27)) * 0x94D049BB133111EB) & MAX
        assert counters[(z ^ (z >> 31)) % 1009] == 2 and sum(counters) == 2
    assert sketch.query_hash(value) == 2


# ---- Counting ------------------------------------------------------------------------


# Batches hash a block of items for every row before touching counters, and
# prefetch them in tables beyond the cache: blocks of many items, a sketch so
# deep that a block holds one item, a table of several MiB, and item lengths
# across every XXH3 code path must all count as single adds do.
@pytest.mark.parametrize("width, depth", [(97, 3), (7, 300), (300_000, 4)])
def test_batches_count_as_single_adds_do(width, depth):
    items = [b"x" * (n % 301) for n in range(700)]
    values = [n * 0x9E3779B97F4A7C15 % 2**64 for n in range(700)]
    batched = CountMinSketch(width=width, depth=depth, seed=11)
    batched.update(items)
    batched.update_hashes(values)
    single = CountMinSketch(width=width, depth=depth, seed=11)
    for item in items:
        single.add(item)
    for value in values:
        single.add_hash(value)
    assert batched.to_bytes() == single.to_bytes()
    assert batched.query_many(items) == [single.query(item) for item in items]
    assert batched.query_hashes(values) == [single.query_hash(value) for value in values]


@pytest.mark.parametrize("add", [lambda s: s.add("x", MAX), lambda s: s.add_hash(77, MAX),
                                 lambda s: (s.add("x", MAX - 1), s.merge(s.copy()))])
def test_counters_and_total_saturate(add):
    sketch = CountMinSketch(width=16, depth=3)
    add(sketch)
    add(sketch)
    assert (sketch.total_count, max(max(row) for row in table(sketch))) == (MAX, MAX)
    assert MAX in (sketch.query("x"), sketch.query_hash(77))
    with raises(OverflowError, ""):
        len(sketch)


def test_estimates_never_fall_below_the_truth():
    words = [f"w{i % 97}" for i in range(5000)] + [f"rare{i}" for i in range(500)]
    sketch = CountMinSketch(width=50, depth=4, seed=3)
    sketch.update(words)
    truth = Counter(words)
    estimates = sketch.query_many(list(truth))
    assert all(estimate >= truth[word] for word, estimate in zip(truth, estimates))
    assert len(sketch) == sketch.total_count == len(words)


def test_subscript_answers_every_key_but_in_and_iteration_are_refused():
    sketch = CountMinSketch(width=32, depth=2)
    sketch.add("a", 4)
    assert (sketch["a"], sketch[0], sketch[10**30], sketch[None]) == (4, sketch.query("0"), 0, sketch.query("None"))
    for refused in (lambda: "a" in sketch, lambda: iter(sketch), lambda: list(sketch), lambda: reversed(sketch)):
        with pytest.raises(TypeError):
            refused()


# ---- Combining -----------------------------------------------------------------------


def test_inner_product_is_the_smallest_row_sum_of_products():
    a, b = CountMinSketch(width=20, depth=3, seed=4), CountMinSketch(width=20, depth=3, seed=4)
    a.update([f"a{i % 7}" for i in range(60)])
    b.update([f"a{i % 5}" for i in range(40)])
    row_sums = [sum(p * q for p, q in zip(r, s)) for r, s in zip(table(a), table(b))]
    assert a.inner_product(b) == b.inner_product(a) == min(row_sums)
    assert a.inner_product(a) == min(sum(c * c for c in row) for row in table(a))


@pytest.mark.parametrize("width, total, bound", [(272, 0, 0), (272, 1000, 10), (272, 272, 3), (1, 3, 9), (2, MAX, MAX)])
def test_error_bound(width, total, bound):
    sketch = CountMinSketch(width=width, depth=1)
    sketch.add("x", total)
    assert sketch.error_bound() == bound == min(math.ceil(math.e / width * float(total)), MAX)


# ---- Borrows -------------------------------------------------------------------------


class CallsBack:
    """An item (through __str__) or hash (through __index__) whose conversion calls back into the sketch;
    the action returns None or 0."""

    def __init__(self, action):
        self.action = action

    def __str__(self):
        return self.action() or "item"

    def __index__(self):
        return self.action() or 1


# ---- Serialised forms ----------------------------------------------------------------


def test_json_of_a_fresh_three_by_two_sketch():
    zeros = "[\n      0,\n      0,\n      0\n    ]"
    assert CountMinSketch(width=3, depth=2).to_json() == (
        '{\n  "version": 2,\n  "table": [\n    ' + zeros + ",\n    " + zeros +
        '\n  ],\n  "width": 3,\n  "depth": 2,\n  "count": 0,\n  "seed": 0\n}')


def test_binary_layout_and_ignored_trailing_bytes():
    sketch = CountMinSketch(width=2, depth=3, seed=9)
    sketch.add_hash(5, 4)
    data = sketch.to_bytes()
    assert data == envelope(payload(table(sketch), 2, 3, count=4, seed=9))
    assert len(data) == 21 + 41 + 3 * (8 + 8 * 2)
    assert CountMinSketch.from_bytes(envelope(data[21:] + b"\x00\x01")).to_bytes() == data


@pytest.mark.parametrize(
    "rows, width, depth, version, message",
    [
        ([[0]], 1, 1, 1, "Unsupported Count-Min Sketch data version"),
        ([[0]], 0, 0, 0, "Unsupported Count-Min Sketch data version"),
        ([], 0, 0, 2, "width and depth must be positive"),
        ([[0]], 1, 0, 2, "width and depth must be positive"),
        ([[0, 0]] * 3, 2, 2, 2, "table dimensions do not match width and depth"),
        ([[0, 0], [0]], 2, 2, 2, "table dimensions do not match width and depth"),
    ],
)
def test_validation_messages(rows, width, depth, version, message):
    text = json.dumps({"version": version, "table": rows, "width": width, "depth": depth, "count": 0, "seed": 0})
    with raises(ValueError, message):
        CountMinSketch.from_json(text)
    with raises(ValueError, message):
        CountMinSketch.from_bytes(envelope(payload(rows, width, depth, version=version)))


FRESH = CountMinSketch(width=3, depth=2).to_bytes()


@pytest.mark.parametrize(
    "data, message",
    [
        ('{"table": [[0]], "width": 1, "depth": 1, "count": 0, "seed": 0}',  # no version reads as version 0
         "Unsupported Count-Min Sketch data version"),
        ('{"version": 2, "table": [[0]], "width": 1, "depth": 1, "count": 0}',
         "Deserialization error: missing field `seed` at line 1 column 66"),
        ("5", "Deserialization error: invalid type: integer `5`, "
         "expected struct CountMinSketchData at line 1 column 1"),
        ("[2, [[0]], 1, 1, 0]", "Deserialization error: invalid length 5, "
         "expected struct CountMinSketchData with 6 elements at line 1 column 19"),
        (FRESH[:4] + b"\x02" + FRESH[5:], "unsupported binary format version: 2 (expected 1)"),
        (b"VTBF" + FRESH[4:], "invalid Velt binary format"),
        # A huge row count, then a huge row length: neither is allocated before the bytes run out.
        (envelope(FRESH[21:22] + struct.pack("<Q", 2**60)), EOF),
        (envelope(FRESH[21:30] + struct.pack("<Q", 2**61)), EOF),
    ],
)
def test_decode_errors(data, message):
    with raises(ValueError, message):
        CountMinSketch.from_json(data) if isinstance(data, str) else CountMinSketch.from_bytes(data)


# ---- Laws ------------------------------------------------------------------------------

streams = st.lists(st.one_of(st.text(max_size=12), st.binary(max_size=12), st.integers()), max_size=80)
hashes = st.lists(st.integers(0, MAX), max_size=30)
shapes = st.tuples(st.integers(1, 300), st.integers(1, 6), st.integers(0, MAX))


def build(shape, items, values=()):
    sketch = CountMinSketch(width=shape[0], depth=shape[1], seed=shape[2])
    sketch.update(items)
    sketch.update_hashes(list(values))
    return sketch


@settings(max_examples=60, deadline=None)
@given(shapes, streams, streams, hashes)
def test_merge_equals_the_sketch_of_both_streams(shape, left, right, values):
    merged, other = build(shape, left, values), build(shape, right)
    other_before = other.to_bytes()
    merged.merge(other)
    assert (merged.to_bytes(), other.to_bytes()) == (build(shape, left + right, values).to_bytes(), other_before)


