"""CountMinSketch: sizing, columns, saturating counts, merge, inner product,
guarantee figures, borrows and the serialised forms."""

import json
import math
import struct
import threading
from collections import Counter

import pytest
import xxhash
from hypothesis import given, settings
from hypothesis import strategies as st

from velt import BloomFilter, CountMinSketch

G = 0x9E3779B97F4A7C15
MASK = 2**64 - 1
MAX = 2**64 - 1
CHECKSUM_SEED = 0x56454C54534B4554
EITHER = "Either provide (width, depth) or (error_rate, confidence)"


def table(sketch):
    return json.loads(sketch.to_json())["table"]


def row_seed(seed, row):
    return (seed + row * G) & MASK


def splitmix_column(value, seed, row, width):
    z = ((row_seed(seed, row) ^ value) + G) & MASK
    z = ((z ^ (z >> 30)) * 0xBF58476D1CE4E5B9) & MASK
    z = ((z ^ (z >> 27)) * 0x94D049BB133111EB) & MASK
    return (z ^ (z >> 31)) % width


def record(table_rows, width, depth, count=0, seed=0, version=2):
    return json.dumps({"version": version, "table": table_rows, "width": width, "depth": depth,
                       "count": count, "seed": seed})


def envelope(payload, magic=b"VTCM", version=1):
    checksum = xxhash.xxh3_64_intdigest(payload, seed=CHECKSUM_SEED)
    return magic + bytes([version]) + struct.pack("<QQ", len(payload), checksum) + payload


def payload(rows, width, depth, count=0, seed=0, version=2):
    body = bytes([version]) + struct.pack("<Q", len(rows))
    for row in rows:
        body += struct.pack(f"<Q{len(row)}Q", len(row), *row)
    return body + struct.pack("<QQQQ", width, depth, count, seed)


# ---- Documentation -----------------------------------------------------------------

DOCSTRINGS = {
    "add": "Add an item to the sketch.",
    "add_count": "Add an item with a specific count.",
    "update": "Add multiple items to the sketch, releasing the GIL while hashing.",
    "update_many": "Add multiple items using the optimized batch path.",
    "add_hash": "Add a caller-provided 64-bit hash.",
    "update_hashes": "Add caller-provided 64-bit hashes.",
    "query": "Query the estimated frequency of an item.",
    "count": "Get estimated frequency (alias for query).",
    "query_many": "Query multiple items using the optimized batch path.",
    "query_hash": "Query a caller-provided 64-bit hash.",
    "query_hashes": "Query caller-provided 64-bit hashes.",
    "merge": "Merge another Count-Min Sketch into this one.",
    "copy": "Create a deep copy of this sketch.",
    "clear": "Clear the sketch.",
    "to_bytes": "Serialize to bytes.",
    "from_bytes": "Deserialize from bytes.",
    "to_json": "Serialize to JSON string.",
    "from_json": "Deserialize from JSON string.",
    "save": "Save the sketch to a file.",
    "load": "Load a sketch from a file.",
    "width": "Get the width (number of counters per row).",
    "depth": "Get the depth (number of rows/hash functions).",
    "size_in_bytes": "Get the memory footprint in bytes.",
    "seed": "Get the seed.",
    "total_count": "Get the total count of all items.",
    "error_rate": "Get the error rate (epsilon).",
    "confidence": "Get the confidence level (1 - delta).",
    "error_bound": "Maximum additive error under the sketch's configured guarantee.",
    "inner_product": "Estimate the inner product with another sketch.",
}


@pytest.mark.parametrize("name, doc", sorted(DOCSTRINGS.items()))
def test_docstrings(name, doc):
    assert getattr(CountMinSketch, name).__doc__ == doc


def test_class_docstring():
    assert CountMinSketch.__doc__ == (
        "A probabilistic data structure for frequency estimation in data streams.\n\n"
        "Count-Min Sketch provides approximate frequency counts for items with\n"
        "guaranteed error bounds. It may overestimate counts but never underestimates.")


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


@pytest.mark.parametrize(
    "kwargs, message",
    [
        ({}, EITHER),
        ({"width": 10}, EITHER),
        ({"depth": 4}, EITHER),
        ({"error_rate": 0.01}, EITHER),
        ({"confidence": 0.9}, EITHER),
        ({"depth": 4, "error_rate": 0.01, "confidence": 0.9}, EITHER),
        ({"width": None, "depth": None, "error_rate": None, "confidence": None}, EITHER),
        ({"error_rate": 0.0, "confidence": 0.9}, "error_rate must be between 0 and 1 (exclusive)"),
        ({"error_rate": 1.0, "confidence": 0.9}, "error_rate must be between 0 and 1 (exclusive)"),
        ({"error_rate": -0.5, "confidence": 0.9}, "error_rate must be between 0 and 1 (exclusive)"),
        ({"error_rate": math.nan, "confidence": 0.9}, "error_rate must be between 0 and 1 (exclusive)"),
        ({"error_rate": 1.0, "confidence": 5.0}, "error_rate must be between 0 and 1 (exclusive)"),
        ({"error_rate": 0.01, "confidence": 0.0}, "confidence must be between 0 and 1 (exclusive)"),
        ({"error_rate": 0.01, "confidence": 1.0}, "confidence must be between 0 and 1 (exclusive)"),
        ({"error_rate": 0.01, "confidence": math.nan}, "confidence must be between 0 and 1 (exclusive)"),
        ({"width": 0, "depth": 3}, "width must be positive"),
        ({"width": 0, "depth": 0}, "width must be positive"),
        ({"width": 3, "depth": 0}, "depth must be positive"),
        ({"error_rate": 0.01, "confidence": 1e-17}, "depth must be positive"),
    ],
)
def test_construction_errors(kwargs, message):
    with pytest.raises(ValueError) as error:
        CountMinSketch(**kwargs)
    assert str(error.value) == message


def test_explicit_dimensions_ignore_the_rates_but_convert_them():
    sketch = CountMinSketch(100, 4, 5.0, -1.0, 9)
    assert (sketch.width, sketch.depth, sketch.seed) == (100, 4, 9)
    with pytest.raises(TypeError, match="^argument 'confidence': "):
        CountMinSketch(width=100, depth=4, confidence="high")


@pytest.mark.parametrize(
    "kwargs, error, prefix",
    [
        ({"width": -1, "depth": 2}, OverflowError, None),
        ({"width": 2**64, "depth": 2}, OverflowError, None),
        ({"width": 1.5, "depth": 2}, TypeError, "argument 'width': "),
        ({"width": "a", "depth": "b"}, TypeError, "argument 'width': "),
        ({"width": 4, "depth": "b"}, TypeError, "argument 'depth': "),
        ({"error_rate": "x", "confidence": "y"}, TypeError, "argument 'error_rate': "),
        ({"width": 4, "depth": 2, "seed": None}, TypeError, "argument 'seed': "),
        ({"width": 4, "depth": 2, "seed": -1}, OverflowError, None),
    ],
)
def test_argument_conversions_come_first(kwargs, error, prefix):
    with pytest.raises(error) as raised:
        CountMinSketch(**kwargs)
    if prefix:
        assert str(raised.value).startswith(prefix)


@pytest.mark.parametrize(
    "kwargs",
    [
        {"error_rate": 1e-300, "confidence": 0.5},  # width saturates at 2^64 - 1
        {"width": 2**64 - 1, "depth": 1},
        {"width": 2**40, "depth": 2**30},  # width x depth x 8 passes 2^64
        {"width": 1, "depth": 2**62},
        {"width": 2**50, "depth": 2**10},
    ],
)
def test_unallocatable_tables_raise_memory_error(kwargs):
    with pytest.raises(MemoryError):
        CountMinSketch(**kwargs)


# ---- Columns -------------------------------------------------------------------------


@pytest.mark.parametrize("seed", [0, 1, 2**63, MASK, G])
@pytest.mark.parametrize("item, item_bytes", [("apple", b"apple"), (b"\x00\xff", b"\x00\xff"), (12345, b"12345"),
                                              ("", b""), ("x" * 300, b"x" * 300)])
def test_item_columns_are_seeded_xxh3_per_row(seed, item, item_bytes):
    width, depth = 1009, 4
    sketch = CountMinSketch(width=width, depth=depth, seed=seed)
    sketch.add(item, 3)
    for row, counters in enumerate(table(sketch)):
        column = xxhash.xxh3_64_intdigest(item_bytes, seed=row_seed(seed, row)) % width
        assert counters[column] == 3 and sum(counters) == 3


@pytest.mark.parametrize("seed", [0, 7, MASK])
@pytest.mark.parametrize("value", [0, 1, 12345, MASK, G])
def test_caller_hash_columns_are_splitmix_per_row(seed, value):
    width, depth = 1009, 3
    sketch = CountMinSketch(width=width, depth=depth, seed=seed)
    sketch.add_hash(value, 2)
    for row, counters in enumerate(table(sketch)):
        assert counters[splitmix_column(value, seed, row, width)] == 2 and sum(counters) == 2
    assert sketch.query_hash(value) == 2


def test_caller_hashes_and_items_are_addressed_separately():
    sketch = CountMinSketch(width=100_003, depth=3)
    value = xxhash.xxh3_64_intdigest(b"item", seed=0)
    sketch.add_hash(value, 5)
    assert sketch.query_hash(value) == 5
    assert sketch.query("item") == 0
    sketch.add("item", 2)
    assert (sketch.query("item"), sketch.query_hash(value), len(sketch)) == (2, 5, 7)


# ---- Counting ------------------------------------------------------------------------


def test_add_forms_agree():
    forms = [CountMinSketch(width=64, depth=3, seed=5) for _ in range(5)]
    forms[0].add("k", 3)
    forms[1].add_count("k", 3)
    forms[2].add(item="k", count=3)
    forms[3].update(["k", "k", "k"])
    forms[4].update_many(iter(["k"] * 3))
    assert len({sketch.to_bytes() for sketch in forms}) == 1
    assert forms[0]["k"] == forms[0].count("k") == forms[0].query_many(["k"])[0] == 3


@pytest.mark.parametrize("add", [lambda s: s.add("x", MAX), lambda s: s.add_hash(77, MAX)])
def test_counters_and_total_saturate(add):
    sketch = CountMinSketch(width=16, depth=3)
    add(sketch)
    add(sketch)
    assert sketch.total_count == MAX
    assert max(max(row) for row in table(sketch)) == MAX
    assert MAX in (sketch.query("x"), sketch.query_hash(77))
    with pytest.raises(OverflowError) as error:
        len(sketch)
    assert str(error.value) == ""


@pytest.mark.parametrize("call", [lambda s: s.add("x", -1), lambda s: s.add("x", 2**64), lambda s: s.add_hash(-1),
                                  lambda s: s.add_hash(2**64), lambda s: s.query_hash(2**64)])
def test_out_of_range_counts_and_hashes_overflow(call):
    with pytest.raises(OverflowError):
        call(CountMinSketch(width=4, depth=1))


def test_estimates_never_fall_below_the_truth():
    words = [f"w{i % 97}" for i in range(5000)] + [f"rare{i}" for i in range(500)]
    sketch = CountMinSketch(width=50, depth=4, seed=3)
    sketch.update(words)
    truth = Counter(words)
    estimates = sketch.query_many(list(truth))
    assert all(estimate >= truth[word] for word, estimate in zip(truth, estimates))
    assert estimates == [sketch.query(word) for word in truth]
    assert len(sketch) == sketch.total_count == len(words)


def test_hash_batches_agree_with_single_calls():
    values = [i * 7919 for i in range(200)] + [MAX, 0, 0]
    single, batch = CountMinSketch(width=97, depth=3), CountMinSketch(width=97, depth=3)
    for value in values:
        single.add_hash(value)
    batch.update_hashes(values)
    assert single.to_bytes() == batch.to_bytes()
    assert batch.query_hashes(values) == [batch.query_hash(v) for v in values]
    assert batch.query_hash(0) >= 2


class Unprintable:
    def __str__(self):
        raise KeyError("no text")


@pytest.mark.parametrize("call", [lambda s: s.update(["a", Unprintable()]), lambda s: s.update_many(["a", Unprintable()]),
                                  lambda s: s.add(Unprintable(), 5)])
def test_failed_item_conversion_changes_nothing(call):
    sketch = CountMinSketch(width=16, depth=2)
    with pytest.raises(KeyError):
        call(sketch)
    assert (len(sketch), sketch.query("a")) == (0, 0)


@pytest.mark.parametrize("hashes, error", [("abc", TypeError), ((i for i in range(3)), TypeError),
                                           ([1, 2, -1], OverflowError), ([1, 2.0], TypeError)])
def test_failed_hash_conversion_changes_nothing(hashes, error):
    sketch = CountMinSketch(width=16, depth=2)
    with pytest.raises(error):
        sketch.update_hashes(hashes)
    assert (len(sketch), sketch.query_hash(1)) == (0, 0)


def test_subscript_answers_every_key_but_in_and_iteration_are_refused():
    sketch = CountMinSketch(width=32, depth=2)
    sketch.add("a", 4)
    assert (sketch["a"], sketch[0], sketch[10**30], sketch[None]) == (4, sketch.query("0"), 0, sketch.query("None"))
    for refused in (lambda: "a" in sketch, lambda: iter(sketch), lambda: list(sketch), lambda: reversed(sketch)):
        with pytest.raises(TypeError):
            refused()


# ---- Combining -----------------------------------------------------------------------


def test_merge_sums_counters_and_totals():
    a, b = CountMinSketch(width=40, depth=3, seed=1), CountMinSketch(width=40, depth=3, seed=1)
    a.update(["x", "x", "y"])
    b.update(["x", "z"])
    summed = [[p + q for p, q in zip(r, s)] for r, s in zip(table(a), table(b))]
    other_before = b.to_bytes()
    a.merge(b)
    assert table(a) == summed
    assert (len(a), b.to_bytes()) == (5, other_before)
    expected = CountMinSketch(width=40, depth=3, seed=1)
    expected.update(["x", "x", "y", "x", "z"])
    assert a.to_bytes() == expected.to_bytes()


def test_merge_saturates():
    a, b = CountMinSketch(width=4, depth=2), CountMinSketch(width=4, depth=2)
    a.add("x", MAX - 1)
    b.add("x", 5)
    a.merge(b)
    assert (a["x"], a.total_count) == (MAX, MAX)


@pytest.mark.parametrize(
    "other, message",
    [
        (CountMinSketch(width=200, depth=5, seed=2), "Cannot merge: width mismatch (100 vs 200)"),
        (CountMinSketch(width=100, depth=3, seed=2), "Cannot merge: depth mismatch (4 vs 3)"),
        (CountMinSketch(width=100, depth=4, seed=2), "Cannot merge: seed mismatch (1 vs 2)"),
    ],
)
def test_mismatches_change_nothing(other, message):
    sketch = CountMinSketch(width=100, depth=4, seed=1)
    sketch.add("x")
    before = sketch.to_bytes()
    with pytest.raises(ValueError) as error:
        sketch.merge(other)
    assert str(error.value) == message
    with pytest.raises(ValueError) as error:
        sketch.inner_product(other)
    assert str(error.value) == "Cannot compute inner product: sketches must have matching dimensions and seed"
    assert sketch.to_bytes() == before


def test_merge_argument_must_be_a_sketch():
    sketch = CountMinSketch(width=8, depth=1)
    with pytest.raises(TypeError) as error:
        sketch.merge(BloomFilter(num_bits=64))
    assert str(error.value) == "argument 'other': 'BloomFilter' object cannot be converted to 'CountMinSketch'"
    for operation in (lambda: sketch | sketch, lambda: sketch & sketch):
        with pytest.raises(TypeError, match="unsupported operand"):
            operation()
    with pytest.raises(TypeError, match="unsupported operand"):
        sketch |= CountMinSketch(width=8, depth=1)


def test_merge_with_itself_is_a_borrow_error():
    sketch = CountMinSketch(width=8, depth=2)
    sketch.add("x")
    with pytest.raises(RuntimeError) as error:
        sketch.merge(sketch)
    assert str(error.value) == "Already mutably borrowed"
    assert len(sketch) == 1


def test_inner_product_is_the_smallest_row_sum_of_products():
    a, b = CountMinSketch(width=20, depth=3, seed=4), CountMinSketch(width=20, depth=3, seed=4)
    a.update([f"a{i % 7}" for i in range(60)])
    b.update([f"a{i % 5}" for i in range(40)])
    row_sums = [sum(p * q for p, q in zip(r, s)) for r, s in zip(table(a), table(b))]
    assert a.inner_product(b) == b.inner_product(a) == min(row_sums)
    assert a.inner_product(a) == min(sum(c * c for c in row) for row in table(a))


def test_copy_is_independent_and_clear_keeps_the_shape():
    sketch = CountMinSketch(width=30, depth=2, seed=8)
    sketch.add("x", 3)
    copy = sketch.copy()
    copy.add("x")
    assert (sketch["x"], copy["x"]) == (3, 4)
    sketch.clear()
    assert (sketch.width, sketch.depth, sketch.seed, sketch.size_in_bytes) == (30, 2, 8, 480)
    assert (len(sketch), sketch["x"], copy["x"]) == (0, 0, 4)
    assert table(sketch) == [[0] * 30] * 2


@pytest.mark.parametrize("width, total, bound", [(272, 0, 0), (272, 1000, 10), (272, 272, 3), (1, 3, 9), (2, MAX, MAX)])
def test_error_bound(width, total, bound):
    sketch = CountMinSketch(width=width, depth=1)
    sketch.add("x", total)
    assert sketch.error_bound() == bound == min(math.ceil(math.e / width * float(total)), MAX)


# ---- Borrows -------------------------------------------------------------------------


class CallsBack:
    """An item (through __str__) or hash (through __index__) that uses the sketch while it is held."""

    def __init__(self, action):
        self.action = action

    def __str__(self):
        self.action()
        return "item"

    def __index__(self):
        self.action()
        return 1


@pytest.mark.parametrize(
    "call, held",
    [
        (lambda s, x: s.add(x), "exclusive"),
        (lambda s, x: s.add_count(x, 2), "exclusive"),
        (lambda s, x: s.update([x]), "exclusive"),
        (lambda s, x: s.update_many([x]), "exclusive"),
        (lambda s, x: s.add_hash(x), "exclusive"),
        (lambda s, x: s.update_hashes([x]), "exclusive"),
        (lambda s, x: s.add("item", x), "exclusive"),
        (lambda s, x: s.query(x), "shared"),
        (lambda s, x: s.count(x), "shared"),
        (lambda s, x: s[x], "shared"),
        (lambda s, x: s.query_many([x]), "shared"),
        (lambda s, x: s.query_hash(x), "shared"),
        (lambda s, x: s.query_hashes([x]), "shared"),
    ],
)
def test_methods_hold_the_sketch_while_converting(call, held):
    sketch = CountMinSketch(width=8, depth=2)
    reader = CallsBack(lambda: sketch.query("other"))
    writer = CallsBack(lambda: sketch.add("other"))
    if held == "exclusive":
        with pytest.raises(RuntimeError, match="^Already mutably borrowed$"):
            call(sketch, reader)
    else:
        call(sketch, reader)  # shared borrows coexist
        with pytest.raises(RuntimeError, match="^Already borrowed$"):
            call(sketch, writer)
    assert len(sketch) == 0


def test_batch_update_releases_the_gil_but_keeps_the_sketch():
    busy = CountMinSketch(width=100_003, depth=8)
    items = [f"item-{i}" for i in range(1_000_000)]
    worker = threading.Thread(target=busy.update, args=(items,))
    worker.start()
    refusals = []
    while worker.is_alive():
        try:
            busy.query("x")
        except RuntimeError as error:
            refusals.append(str(error))
    worker.join()
    # Queries succeed before the worker starts and after it ends; in between it
    # gives up the GIL only inside the processing step, with the sketch held.
    assert refusals and set(refusals) == {"Already mutably borrowed"}
    assert len(busy) == len(items)


# ---- Serialised forms ----------------------------------------------------------------


def test_json_of_a_fresh_three_by_two_sketch():
    text = CountMinSketch(width=3, depth=2).to_json()
    zeros = "[\n      0,\n      0,\n      0\n    ]"
    assert text == ('{\n  "version": 2,\n  "table": [\n    ' + zeros + ",\n    " + zeros +
                    '\n  ],\n  "width": 3,\n  "depth": 2,\n  "count": 0,\n  "seed": 0\n}')


def test_binary_layout():
    sketch = CountMinSketch(width=2, depth=3, seed=9)
    sketch.add_hash(5, 4)
    rows = table(sketch)
    assert sketch.to_bytes() == envelope(payload(rows, 2, 3, count=4, seed=9))
    assert len(sketch.to_bytes()) == 21 + 41 + 3 * (8 + 8 * 2)


@pytest.mark.parametrize(
    "rows, width, depth, version, message",
    [
        ([[0]], 1, 1, 1, "Unsupported Count-Min Sketch data version"),
        ([[0]], 1, 1, 3, "Unsupported Count-Min Sketch data version"),
        ([[0]], 0, 0, 0, "Unsupported Count-Min Sketch data version"),
        ([], 0, 0, 2, "width and depth must be positive"),
        ([[0]], 1, 0, 2, "width and depth must be positive"),
        ([[0, 0]] * 3, 2, 2, 2, "table dimensions do not match width and depth"),
        ([[0, 0], [0]], 2, 2, 2, "table dimensions do not match width and depth"),
        ([[0, 0], [0, 0, 0]], 2, 2, 2, "table dimensions do not match width and depth"),
    ],
)
def test_validation_messages(rows, width, depth, version, message):
    for load, data in ((CountMinSketch.from_json, record(rows, width, depth, version=version)),
                       (CountMinSketch.from_bytes, envelope(payload(rows, width, depth, version=version)))):
        with pytest.raises(ValueError) as error:
            load(data)
        assert str(error.value) == message


def test_json_without_version_reads_as_version_zero():
    with pytest.raises(ValueError) as error:
        CountMinSketch.from_json('{"table": [[0]], "width": 1, "depth": 1, "count": 0, "seed": 0}')
    assert str(error.value) == "Unsupported Count-Min Sketch data version"


@pytest.mark.parametrize(
    "text",
    [
        record([[0, 0]], 2, 1, count=5),
        '{"note": "kept aside", "seed": 0, "count": 5, "depth": 1, "width": 2, "table": [[0, 0]], "version": 2}',
        "[2, [[0, 0]], 2, 1, 5, 0]",
    ],
)
def test_accepted_json_forms(text):
    sketch = CountMinSketch.from_json(text)
    assert (sketch.width, sketch.depth, sketch.total_count, sketch["x"]) == (2, 1, 5, 0)


@pytest.mark.parametrize(
    "text, detail",
    [
        ('{"version": 2, "table": [[0]], "width": 1, "depth": 1, "count": 0}', "missing field `seed`"),
        ('{"version": 2, "table": [[0]], "width": 1, "width": 1, "depth": 1, "count": 0, "seed": 0}',
         "duplicate field `width`"),
        ('{"version": 256, "table": [[0]], "width": 1, "depth": 1, "count": 0, "seed": 0}', "expected u8"),
        ('{"version": 2, "table": [[-1]], "width": 1, "depth": 1, "count": 0, "seed": 0}', "expected u64"),
        ('{"version": 2, "table": [0], "width": 1, "depth": 1, "count": 0, "seed": 0}', "expected a sequence"),
        ("5", "expected struct CountMinSketchData"),
        ("[2, [[0]], 1, 1, 0]", "expected struct CountMinSketchData with 6 elements"),
        ("[2, [[0]], 1, 1, 0, 0, 0]", "trailing characters"),
    ],
)
def test_json_decode_errors(text, detail):
    with pytest.raises(ValueError) as error:
        CountMinSketch.from_json(text)
    assert str(error.value).startswith("Deserialization error: ") and detail in str(error.value)


@pytest.mark.parametrize(
    "mangle, message",
    [
        (lambda d: d[:4] + b"\x02" + d[5:], "unsupported binary format version: 2 (expected 1)"),
        (lambda d: b"VTBF" + d[4:], "invalid Velt binary format"),
        (lambda d: d[:40] + bytes([d[40] ^ 1]) + d[41:], "binary payload checksum mismatch"),
        (lambda d: envelope(d[21:-1]), "Deserialization error: io error: unexpected end of file"),
        (lambda d: envelope(d[21:22] + struct.pack("<Q", 2**60)), "Deserialization error: io error: unexpected end of file"),
        (lambda d: envelope(d[21:30] + struct.pack("<Q", 2**61)), "Deserialization error: io error: unexpected end of file"),
    ],
)
def test_binary_decode_errors(mangle, message):
    data = CountMinSketch(width=3, depth=2).to_bytes()
    with pytest.raises(ValueError) as error:
        CountMinSketch.from_bytes(mangle(data))
    assert str(error.value) == message


def test_bytes_after_the_seed_are_ignored():
    sketch = CountMinSketch(width=3, depth=2, seed=5)
    sketch.add("x")
    padded = envelope(sketch.to_bytes()[21:] + b"\x00\x01")
    assert CountMinSketch.from_bytes(padded).to_bytes() == sketch.to_bytes()


def test_save_and_load(tmp_path):
    sketch = CountMinSketch(error_rate=0.05, confidence=0.9, seed=3)
    sketch.update(["a", "b", "a"])
    path = str(tmp_path / "sketch.velt")
    sketch.save(path)
    with open(path, "rb") as handle:
        assert handle.read() == sketch.to_bytes()
    assert CountMinSketch.load(path).to_bytes() == sketch.to_bytes()
    with pytest.raises(ValueError) as error:
        CountMinSketch.load(str(tmp_path / "missing"))
    assert str(error.value) == "Cannot open file: No such file or directory (os error 2)"


# ---- Laws ------------------------------------------------------------------------------

streams = st.lists(st.one_of(st.text(max_size=12), st.binary(max_size=12), st.integers()), max_size=80)
hashes = st.lists(st.integers(0, MAX), max_size=30)
shapes = st.tuples(st.integers(1, 300), st.integers(1, 6), st.integers(0, MAX))


def build(shape, items, values=()):
    width, depth, seed = shape
    sketch = CountMinSketch(width=width, depth=depth, seed=seed)
    sketch.update(items)
    sketch.update_hashes(list(values))
    return sketch


@settings(max_examples=60, deadline=None)
@given(shapes, streams, streams, hashes)
def test_merge_equals_the_sketch_of_both_streams(shape, left, right, values):
    merged = build(shape, left, values)
    merged.merge(build(shape, right))
    assert merged.to_bytes() == build(shape, left + right, values).to_bytes()


@settings(max_examples=60, deadline=None)
@given(shapes, streams, hashes)
def test_round_trips_are_exact(shape, items, values):
    sketch = build(shape, items, values)
    for copy in (CountMinSketch.from_bytes(sketch.to_bytes()), CountMinSketch.from_json(sketch.to_json()), sketch.copy()):
        assert copy.to_bytes() == sketch.to_bytes() and repr(copy) == repr(sketch)
        assert copy.to_json() == sketch.to_json()
    assert sketch.query_many(items) == [sketch.query(item) for item in items]
