import json
import math
import struct

import pytest
import xxhash
from hypothesis import given, settings
from hypothesis import strategies as st

from velt import HyperLogLog

GOLDEN = 0x9E3779B97F4A7C15
MASK64 = 2**64 - 1


# ---- Independent references --------------------------------------------------------


def index_and_rank(h, p):
    """The register a 64-bit hash selects and the rank it offers there."""
    rest = (h << p) & MASK64
    return h >> (64 - p), min(64 - rest.bit_length() + 1, 65 - p)


def reference_registers(hashes, p):
    registers = [0] * (1 << p)
    for h in hashes:
        index, rank = index_and_rank(h, p)
        registers[index] = max(registers[index], rank)
    return registers


def reference_estimate(registers):
    """The HyperLogLog estimate with the small-range and 64-bit large-range corrections."""
    m = len(registers)
    alpha = {16: 0.673, 32: 0.697, 64: 0.709}.get(m, 0.7213 / (1.0 + 1.079 / m))
    total = 0.0
    for rank in registers:  # in index order, as plain float additions
        total += 2.0**-rank
    raw = alpha * m * m / total
    if raw <= 2.5 * m:
        empty = registers.count(0)
        return m * math.log(m / empty) if empty else raw
    if raw > 2.0**64 / 30:
        share = raw * 2.0**-64
        return math.inf if share >= 1.0 else -(2.0**64) * math.log1p(-share)
    return raw


def splitmix_mix(hash_value, seed):
    z = ((hash_value ^ seed) + GOLDEN) & MASK64
    z = ((z ^ (z >> 30)) * 0xBF58476D1CE4E5B9) & MASK64
    z = ((z ^ (z >> 27)) * 0x94D049BB133111EB) & MASK64
    return z ^ (z >> 31)


def splitmix_unmix(h, seed):
    """The caller hash that splitmix_mix turns into h."""

    def undo_xorshift(z, shift):
        x = z
        for _ in range(64 // shift + 1):
            x = z ^ (x >> shift)
        return x

    z = undo_xorshift(h, 31)
    z = undo_xorshift((z * pow(0x94D049BB133111EB, -1, 2**64)) & MASK64, 27)
    z = undo_xorshift((z * pow(0xBF58476D1CE4E5B9, -1, 2**64)) & MASK64, 30)
    return ((z - GOLDEN) & MASK64) ^ seed


def state(registers, precision=None, count=0, seed=0, version=2):
    """A counter loaded from the JSON text of the given register state."""
    precision = precision if precision is not None else len(registers).bit_length() - 1
    record = {"version": version, "registers": registers, "precision": precision, "count": count, "seed": seed}
    return HyperLogLog.from_json(json.dumps(record))


def registers_of(h):
    return json.loads(h.to_json())["registers"]


def count_of(h):
    return json.loads(h.to_json())["count"]


# ---- Construction ------------------------------------------------------------------


def test_fresh_counter():
    h = HyperLogLog()
    assert (h.precision, h.seed, h.size_in_bytes) == (14, 0, 16384)
    assert h.cardinality() == h.query() == h.estimate == 0.0
    assert len(h) == 0
    assert repr(h) == str(h) == "HyperLogLog(precision=14, cardinality=0, memory=16384B)"


@pytest.mark.parametrize(
    "precision, standard_error, relative_error",
    [(4, 0.26, 26.0), (14, 0.008125, 0.8125), (16, 0.0040625, 0.40625), (18, 0.00203125, 0.203125)],
)
def test_error_figures(precision, standard_error, relative_error):
    h = HyperLogLog(precision=precision, seed=3)
    assert (h.precision, h.seed, h.size_in_bytes) == (precision, 3, 2**precision)
    assert h.standard_error == standard_error
    assert h.relative_error() == relative_error


@pytest.mark.parametrize(
    "kwargs, error, message",
    [
        ({"precision": 3}, ValueError, "precision must be between 4 and 18"),
        ({"precision": 19}, ValueError, "precision must be between 4 and 18"),
        ({"precision": 0}, ValueError, "precision must be between 4 and 18"),
        ({"precision": 255}, ValueError, "precision must be between 4 and 18"),
        ({"precision": 256}, OverflowError, "out of range integral type conversion attempted"),
        ({"precision": -1}, OverflowError, "out of range integral type conversion attempted"),
        ({"precision": None}, TypeError, "argument 'precision': "),
        ({"precision": 14.0}, TypeError, "argument 'precision': "),
        ({"seed": None}, TypeError, "argument 'seed': "),
        ({"seed": "1"}, TypeError, "argument 'seed': "),
        ({"seed": -1}, OverflowError, None),
        ({"seed": 2**64}, OverflowError, None),
        ({"size": 4}, TypeError, "HyperLogLog.__new__() got an unexpected keyword argument 'size'"),
    ],
)
def test_construction_errors(kwargs, error, message):
    with pytest.raises(error) as raised:
        HyperLogLog(**kwargs)
    if message is not None:
        assert str(raised.value).startswith(message)


def test_too_many_positional_arguments():
    with pytest.raises(TypeError) as raised:
        HyperLogLog(14, 0, 1)
    assert str(raised.value) == "HyperLogLog.__new__() takes from 0 to 2 positional arguments but 3 were given"


METHOD_DOCS = {
    "add": "Add an item to the HyperLogLog counter.",
    "update": "Add multiple items to the counter, releasing the GIL while hashing.",
    "update_many": "Add multiple items using the optimized batch path.",
    "add_hash": "Add a caller-provided 64-bit hash.",
    "update_hashes": "Add caller-provided 64-bit hashes.",
    "cardinality": "Estimate the cardinality (number of distinct elements).",
    "query": "Query the estimated cardinality (alias for cardinality).",
    "confidence_interval": "Approximate normal confidence interval for the cardinality estimate.",
    "merge": "Merge another HyperLogLog into this one.\n\nAfter merging, this counter will estimate the cardinality of the union.",
    "copy": "Create a deep copy of this counter.",
    "clear": "Clear the counter.",
    "to_bytes": "Serialize to bytes.",
    "from_bytes": "Deserialize from bytes.",
    "to_json": "Serialize to JSON string.",
    "from_json": "Deserialize from JSON string.",
    "save": "Save the counter to a file.",
    "load": "Load a counter from a file.",
    "relative_error": "Get relative error (as a percentage).",
    "estimate": "Estimated cardinality as a property.",
    "precision": "Get the precision (number of bits for indexing).",
    "size_in_bytes": "Get the memory footprint in bytes.",
    "seed": "Get the seed.",
    "standard_error": "Get the standard error of the estimate.",
}


@pytest.mark.parametrize("name, doc", sorted(METHOD_DOCS.items()))
def test_docstrings(name, doc):
    assert getattr(HyperLogLog, name).__doc__ == doc


def test_class_docstring():
    assert HyperLogLog.__doc__ == (
        "A probabilistic data structure for cardinality estimation.\n\n"
        "HyperLogLog can estimate the number of distinct elements in a multiset\n"
        "using a small, fixed amount of memory. It provides ~2% typical error\n"
        "with just a few kilobytes of memory."
    )


def test_method_order():
    names = [name for name in vars(HyperLogLog) if not name.startswith("_")]
    assert names[:18] == [
        "add", "update", "update_many", "add_hash", "update_hashes", "cardinality", "query",
        "confidence_interval", "merge", "copy", "clear", "to_bytes", "from_bytes", "to_json",
        "from_json", "save", "load", "relative_error",
    ]


# ---- Inserting ---------------------------------------------------------------------


@pytest.mark.parametrize("precision, seed", [(4, 0), (10, 99), (14, 2**64 - 1)])
def test_items_land_where_their_xxh3_hash_says(precision, seed):
    items = [f"item-{i}".encode() for i in range(3000)]
    h = HyperLogLog(precision, seed)
    h.update(items)
    expected = reference_registers((xxhash.xxh3_64_intdigest(item, seed) for item in items), precision)
    assert registers_of(h) == expected


@pytest.mark.parametrize("precision, seed", [(4, 0), (14, 12345)])
def test_caller_hashes_are_mixed_with_the_seed(precision, seed):
    hashes = [i * 0x100000001 for i in range(2000)]
    h = HyperLogLog(precision, seed)
    h.update_hashes(hashes)
    assert registers_of(h) == reference_registers((splitmix_mix(x, seed) for x in hashes), precision)


@pytest.mark.parametrize("precision, seed, index", [(4, 0, 3), (14, 7, 16383), (18, 2**64 - 1, 0)])
def test_nothing_after_the_index_gives_the_largest_rank(precision, seed, index):
    h = HyperLogLog(precision, seed)
    h.add_hash(splitmix_unmix(index << (64 - precision), seed))
    registers = registers_of(h)
    assert registers[index] == 65 - precision
    assert sum(registers) == 65 - precision


def test_add_hash_and_add_of_the_same_value_differ():
    item_hash = xxhash.xxh3_64_intdigest(b"x", 0)
    by_item, by_hash = HyperLogLog(), HyperLogLog()
    by_item.add("x")
    by_hash.add_hash(item_hash)
    assert registers_of(by_item) != registers_of(by_hash)


def test_single_and_batch_paths_agree():
    items = [f"k{i}" for i in range(5000)]
    single, batch, many, generated = (HyperLogLog(12, seed=5) for _ in range(4))
    for item in items:
        single.add(item)
    batch.update(items)
    many.update_many(items)
    generated.update(item for item in items)
    assert single.to_bytes() == batch.to_bytes() == many.to_bytes() == generated.to_bytes()
    assert count_of(single) == 5000


def test_duplicates_raise_count_but_not_the_estimate():
    h = HyperLogLog(10)
    h.add("same")
    once = h.cardinality()
    for _ in range(99):
        h.add("same")
    h.update(["same"] * 100)
    h.update_hashes([5] * 3)
    h.add_hash(5)
    assert count_of(h) == 204
    assert h.cardinality() == reference_estimate(registers_of(h))
    assert once == pytest.approx(1.0, abs=0.001)
    assert len(h) == 2


def test_equal_item_bytes_are_one_item():
    forms = [["5", b"5", 5], ["abc", b"abc", bytearray(b"abc"), [97, 98, 99]], ["", b"", [], ()]]
    for group in forms:
        counters = []
        for form in group:
            h = HyperLogLog(8)
            h.add(form)
            counters.append(h.to_bytes())
        assert len(set(counters)) == 1


class FailingStr:
    def __str__(self):
        raise ZeroDivisionError("no text")


@pytest.mark.parametrize(
    "call",
    [
        lambda h: h.update(["a", FailingStr(), "b"]),
        lambda h: h.update_many(["a", FailingStr()]),
        lambda h: h.add(FailingStr()),
    ],
)
def test_a_failing_item_changes_nothing(call):
    h = HyperLogLog(8)
    h.add("before")
    before = h.to_bytes()
    with pytest.raises(ZeroDivisionError):
        call(h)
    assert h.to_bytes() == before


@pytest.mark.parametrize(
    "hashes, error, message",
    [
        ([1, -1], OverflowError, None),
        ([1, 2**64], OverflowError, None),
        ([1.0], TypeError, "argument 'hashes': "),
        ("123", TypeError, "argument 'hashes': Can't extract `str` to `Vec`"),
        ((i for i in range(3)), TypeError, "argument 'hashes': 'generator' object cannot be converted to 'Sequence'"),
    ],
)
def test_bad_hashes_change_nothing(hashes, error, message):
    h = HyperLogLog(8)
    with pytest.raises(error) as raised:
        h.update_hashes(hashes)
    if message is not None:
        assert str(raised.value).startswith(message)
    assert count_of(h) == 0


# ---- Estimating --------------------------------------------------------------------

INF = math.inf

# Register states that reach every branch of the estimator, with values worked out by hand.
CRAFTED_STATES = [
    ("small range", [1] + [0] * 15, 16 * math.log(16 / 15)),
    ("small range, p=14", [3] * 100 + [0] * 16284, 16384 * math.log(16384 / 16284)),
    ("small raw and no empty register", [1] * 16, 0.673 * 16 * 16 / 8.0),
    ("middle, alpha 0.673", [10] * 16, 0.673 * 16 * 16 / (16 / 1024)),
    ("middle, alpha 0.697", [10] * 32, 0.697 * 32 * 32 / (32 / 1024)),
    ("middle, alpha 0.709", [10] * 64, 0.709 * 64 * 64 / (64 / 1024)),
    ("middle, p=10", [10] * 1024, 0.7213 / (1 + 1.079 / 1024) * 1024 * 1024 / 1.0),
    ("just below the large range", [55] * 16, 0.673 * 16 * 2.0**55),
    ("large range", [56] * 16, -(2.0**64) * math.log1p(-(0.673 * 16 * 2.0**56 / 2.0**64))),
    ("large range near the top", [60] * 16, -(2.0**64) * math.log1p(-0.673)),
    ("infinite", [61] * 16, INF),
    ("infinite, p=14", [51] * 16384, INF),
    ("infinite, p=18", [47] * 2**18, INF),
]


@pytest.mark.parametrize("label, registers, expected", CRAFTED_STATES, ids=[c[0] for c in CRAFTED_STATES])
def test_estimator_on_crafted_states(label, registers, expected):
    h = state(registers)
    assert h.cardinality() == h.query() == h.estimate == pytest.approx(expected, rel=1e-15)
    assert h.cardinality() == reference_estimate(registers)
    m = len(registers)
    if expected == INF:
        assert repr(h) == f"HyperLogLog(precision={h.precision}, cardinality=inf, memory={m}B)"
        assert h.confidence_interval() == (0.0, INF)
    else:
        assert repr(h) == f"HyperLogLog(precision={h.precision}, cardinality={h.cardinality():.0f}, memory={m}B)"
    if expected < 2**63:
        assert len(h) == math.floor(h.cardinality() + 0.5)
    else:
        with pytest.raises(OverflowError):
            len(h)


def test_len_of_an_estimate_beyond_ssize_t_overflows():
    # 0.673 * 16 * 2^59 = 6.2e18 is below 2^63, 2^60 is above.
    assert len(state([59] * 16)) == math.floor(state([59] * 16).cardinality() + 0.5)
    with pytest.raises(OverflowError) as raised:
        len(state([60] * 16))
    assert str(raised.value) == ""


@pytest.mark.parametrize("distinct", [1000, 50_000])
def test_estimate_is_within_a_few_standard_errors(distinct):
    h = HyperLogLog(14, seed=1)
    h.update(f"user-{i}" for i in range(distinct))
    h.update(f"user-{i}" for i in range(distinct))  # duplicates do not count
    assert abs(h.cardinality() / distinct - 1) < 4 * h.standard_error


@pytest.mark.parametrize(
    "confidence, z",
    [(0.80, 1.281552), (0.90, 1.644854), (0.95, 1.959964), (0.99, 2.575829),
     (0.9500000000000001, 1.959964), (0.95 - 2**-53, 1.959964), (0.8 + 2**-53, 1.281552)],
)
def test_confidence_interval(confidence, z):
    h = HyperLogLog(10)
    h.update(range(5000))
    estimate = h.cardinality()
    margin = estimate * (z * (1.04 / 32))
    assert h.confidence_interval(confidence) == (estimate - margin, estimate + margin)
    assert HyperLogLog(10).confidence_interval(confidence) == (0.0, 0.0)


def test_default_confidence_is_95_percent():
    h = HyperLogLog(10)
    h.update(range(100))
    assert h.confidence_interval() == h.confidence_interval(0.95) == h.confidence_interval(confidence=0.95)


@pytest.mark.parametrize("confidence", [0.85, 0.5, 0.0, 1, 95, 0.95 + 2**-52, 0.95 + 2**-51, math.nan, math.inf])
def test_unsupported_confidence(confidence):
    with pytest.raises(ValueError) as raised:
        HyperLogLog(8).confidence_interval(confidence)
    assert str(raised.value) == "confidence must be one of 0.80, 0.90, 0.95, or 0.99"


@pytest.mark.parametrize("confidence", ["0.95", None, [0.95]])
def test_confidence_must_be_a_number(confidence):
    with pytest.raises(TypeError) as raised:
        HyperLogLog(8).confidence_interval(confidence)
    assert str(raised.value).startswith("argument 'confidence': ")


# ---- Combining ---------------------------------------------------------------------


def test_merge_is_the_counter_of_the_union():
    left, right = HyperLogLog(12, seed=9), HyperLogLog(12, seed=9)
    left.update(f"a{i}" for i in range(3000))
    right.update(f"a{i}" for i in range(2000, 6000))
    both = HyperLogLog(12, seed=9)
    both.update(f"a{i}" for i in range(3000))
    both.update(f"a{i}" for i in range(2000, 6000))

    union = left | right
    assert union.to_bytes() == both.to_bytes()
    assert (count_of(left), count_of(right)) == (3000, 4000)
    left_before = left.to_bytes()
    left |= right
    assert left.to_bytes() == both.to_bytes()
    fresh = HyperLogLog.from_bytes(left_before)
    fresh.merge(right)
    assert fresh.to_bytes() == both.to_bytes()
    assert count_of(right) == 4000


@pytest.mark.parametrize(
    "mine, theirs, message",
    [
        ((12, 1), (14, 2), "Cannot merge: precision mismatch (12 vs 14)"),
        ((14, 5), (12, 5), "Cannot merge: precision mismatch (14 vs 12)"),
        ((10, 1), (10, 2), "Cannot merge: seed mismatch (1 vs 2)"),
        ((10, 2**64 - 1), (10, 0), f"Cannot merge: seed mismatch ({2**64 - 1} vs 0)"),
    ],
)
def test_merge_mismatch_changes_nothing(mine, theirs, message):
    h, other = HyperLogLog(*mine), HyperLogLog(*theirs)
    h.add("x")
    other.add("y")
    before = h.to_bytes()
    for combine in (h.merge, h.__ior__, h.__or__):
        with pytest.raises(ValueError) as raised:
            combine(other)
        assert str(raised.value) == message
    assert h.to_bytes() == before


def test_merge_of_another_type():
    with pytest.raises(TypeError) as raised:
        HyperLogLog().merge(5)
    assert str(raised.value) == "argument 'other': 'int' object cannot be converted to 'HyperLogLog'"


def test_operators_with_other_types():
    h = HyperLogLog(8)
    for operation in (lambda: h | 5, lambda: 5 | h, lambda: h & h):
        with pytest.raises(TypeError, match="unsupported operand"):
            operation()
    with pytest.raises(TypeError, match="unsupported operand"):
        h |= 5


def test_self_merge_and_self_operators():
    h = HyperLogLog(8)
    h.update(["a", "b"])
    with pytest.raises(RuntimeError) as raised:
        h.merge(h)
    assert str(raised.value) == "Already mutably borrowed"
    assert count_of(h) == 2
    doubled = h | h
    assert count_of(doubled) == 4 and registers_of(doubled) == registers_of(h)
    original = h
    h |= h
    assert h is not original and count_of(h) == 4 and count_of(original) == 2


def test_count_saturates():
    h = state([0] * 16, count=2**64 - 2)
    h.update(["a", "b", "c"])
    assert count_of(h) == 2**64 - 1
    h.merge(state([0] * 16, count=2**64 - 1))
    assert count_of(h) == 2**64 - 1


def test_copy_is_independent_and_clear_keeps_configuration():
    h = HyperLogLog(9, seed=4)
    h.update(range(100))
    copy = h.copy()
    assert copy.to_bytes() == h.to_bytes()
    copy.add("more")
    copy.clear()
    assert (copy.precision, copy.seed, copy.cardinality(), count_of(copy)) == (9, 4, 0.0, 0)
    assert set(registers_of(copy)) == {0}
    assert count_of(h) == 100 and h.cardinality() > 50


# ---- Serialised forms --------------------------------------------------------------


def test_binary_layout_of_precision_14():
    h = HyperLogLog(14, seed=0x0102030405060708)
    h.add_hash(splitmix_unmix(5 << 50, h.seed))
    data = h.to_bytes()
    assert len(data) == 16431
    assert data[:5] == b"VTHL\x01"
    assert struct.unpack_from("<Q", data, 5)[0] == 16410
    assert struct.unpack_from("<Q", data, 13)[0] == xxhash.xxh3_64_intdigest(data[21:], 0x56454C54534B4554)
    payload = data[21:]
    assert payload[0] == 2 and struct.unpack_from("<Q", payload, 1)[0] == 16384
    registers = payload[9 : 9 + 16384]
    assert registers[5] == 51 and registers.count(0) == 16383
    assert payload[9 + 16384] == 14
    assert struct.unpack_from("<QQ", payload, 10 + 16384) == (1, 0x0102030405060708)


def test_json_of_a_fresh_precision_4_counter():
    expected = (
        '{\n  "version": 2,\n  "registers": [\n' + ",\n".join(["    0"] * 16) + '\n  ],\n'
        '  "precision": 4,\n  "count": 0,\n  "seed": 7\n}'
    )
    assert HyperLogLog(4, seed=7).to_json() == expected


@pytest.mark.parametrize(
    "change, message",
    [
        ({"version": 1}, "Unsupported HyperLogLog data version"),
        ({"version": 3}, "Unsupported HyperLogLog data version"),
        ({"version": None}, "Unsupported HyperLogLog data version"),  # key left out
        ({"precision": 19, "registers": [0] * 2**19}, "Invalid HyperLogLog: precision must be between 4 and 18"),
        ({"precision": 3, "registers": [0] * 8}, "Invalid HyperLogLog: precision must be between 4 and 18"),
        ({"precision": 10, "registers": [0] * 1023}, "Invalid HyperLogLog: register count does not match precision"),
        ({"precision": 4, "registers": [0] * 17}, "Invalid HyperLogLog: register count does not match precision"),
        ({"precision": 14, "registers": [0] * 16383 + [52]},
         "Invalid HyperLogLog: register contains an impossible rank"),
        ({"precision": 4, "registers": [62] + [0] * 15}, "Invalid HyperLogLog: register contains an impossible rank"),
        ({"version": 1, "precision": 19}, "Unsupported HyperLogLog data version"),
    ],
)
def test_invalid_records(change, message):
    record = {"version": 2, "registers": [0] * 16, "precision": 4, "count": 0, "seed": 0}
    record.update(change)
    record = {key: value for key, value in record.items() if value is not None}
    with pytest.raises(ValueError) as raised:
        HyperLogLog.from_json(json.dumps(record))
    assert str(raised.value) == message
    # The binary form goes through the same checks.
    if record.get("version") == 2:
        good = HyperLogLog(4).to_bytes()
        bad = bytearray(good[21:22])
        bad += struct.pack("<Q", len(record["registers"])) + bytes(record["registers"])
        bad += struct.pack("<BQQ", record["precision"], 0, 0)
        with pytest.raises(ValueError) as raised:
            HyperLogLog.from_bytes(envelope(bytes(bad)))
        assert str(raised.value) == message


def envelope(payload, magic=b"VTHL", version=1):
    checksum = xxhash.xxh3_64_intdigest(payload, 0x56454C54534B4554)
    return magic + bytes([version]) + struct.pack("<QQ", len(payload), checksum) + payload


def test_largest_rank_is_accepted():
    h = state([0] * 16383 + [51])
    assert registers_of(h)[-1] == 51


@pytest.mark.parametrize(
    "text, message",
    [
        ('{"registers": [0], "precision": 4, "count": 0}', "Deserialization error: missing field `seed` at line 1 column 46"),
        ('{"version": 2, "version": 2, "registers": [], "precision": 4, "count": 0, "seed": 0}',
         "Deserialization error: duplicate field `version` at line 1 column 24"),
        ('{"version": 2, "registers": [256], "precision": 4, "count": 0, "seed": 0}',
         "Deserialization error: invalid value: integer `256`, expected u8 at line 1 column 32"),
        ('{"version": 256, "registers": [], "precision": 4, "count": 0, "seed": 0}',
         "Deserialization error: invalid value: integer `256`, expected u8 at line 1 column 15"),
        ('{"version": 2, "registers": [], "precision": 4, "count": -1, "seed": 0}',
         "Deserialization error: invalid value: integer `-1`, expected u64 at line 1 column 59"),
        ("", "Deserialization error: EOF while parsing a value at line 1 column 0"),
    ],
)
def test_undecodable_json(text, message):
    with pytest.raises(ValueError) as raised:
        HyperLogLog.from_json(text)
    assert str(raised.value) == message


def test_json_accepts_any_key_order_unknown_keys_and_the_array_form():
    h = HyperLogLog(4, seed=11)
    h.update(["a", "b", "c"])
    record = json.loads(h.to_json())
    reordered = dict(reversed(list(record.items())))
    reordered["note"] = {"anything": [1, 2, None]}
    assert HyperLogLog.from_json(json.dumps(reordered)).to_bytes() == h.to_bytes()
    as_array = [record[key] for key in ("version", "registers", "precision", "count", "seed")]
    assert HyperLogLog.from_json(json.dumps(as_array)).to_bytes() == h.to_bytes()


@pytest.mark.parametrize(
    "damage, message",
    [
        (lambda data: data[:20], "invalid Velt binary format"),
        (lambda data: b"VTBF" + data[4:], "invalid Velt binary format"),
        (lambda data: data[:4] + b"\x02" + data[5:], "unsupported binary format version: 2 (expected 1)"),
        (lambda data: data + b"\x00", "binary payload length does not match header"),
        (lambda data: data[:30] + bytes([data[30] ^ 1]) + data[31:], "binary payload checksum mismatch"),
        (lambda data: envelope(data[21:-1]), "Deserialization error: io error: unexpected end of file"),
        # A register count far beyond the bytes present is refused without allocating it.
        (lambda data: envelope(b"\x02" + struct.pack("<Q", 2**62) + bytes(40)),
         "Deserialization error: io error: unexpected end of file"),
    ],
)
def test_damaged_binary(damage, message):
    data = HyperLogLog(4).to_bytes()
    with pytest.raises(ValueError) as raised:
        HyperLogLog.from_bytes(damage(data))
    assert str(raised.value) == message


def test_trailing_payload_bytes_are_ignored():
    h = HyperLogLog(4, seed=3)
    h.add("x")
    assert HyperLogLog.from_bytes(envelope(h.to_bytes()[21:] + b"extra")).to_bytes() == h.to_bytes()


def test_save_and_load_round_trip(tmp_path):
    h = HyperLogLog(14, seed=21)
    h.update(range(10000))
    path = str(tmp_path / "counter.hll")
    h.save(path)
    with open(path, "rb") as handle:
        assert handle.read() == h.to_bytes()
    loaded = HyperLogLog.load(path)
    assert loaded.to_bytes() == h.to_bytes() and loaded.cardinality() == h.cardinality()


@pytest.mark.parametrize(
    "target, operation, message",
    [
        ("missing.hll", "load", "Read error: No such file or directory (os error 2)"),
        ("no/such/dir/f.hll", "save", "Write error: No such file or directory (os error 2)"),
        (".", "load", "Read error: Is a directory (os error 21)"),
        (".", "save", "Write error: Is a directory (os error 21)"),
    ],
)
def test_every_file_failure_is_a_read_or_write_error(tmp_path, target, operation, message):
    path = str(tmp_path / target)
    with pytest.raises(ValueError) as raised:
        if operation == "load":
            HyperLogLog.load(path)
        else:
            HyperLogLog(4).save(path)
    assert str(raised.value) == message


# ---- Laws --------------------------------------------------------------------------

streams = st.lists(st.one_of(st.text(max_size=12), st.binary(max_size=12), st.integers()), max_size=80)
hash_lists = st.lists(st.integers(0, MASK64), max_size=40)
configs = st.tuples(st.integers(4, 10), st.integers(0, MASK64))


def build(config, items, hashes=()):
    h = HyperLogLog(*config)
    h.update(items)
    h.update_hashes(list(hashes))
    return h


@settings(max_examples=60, deadline=None)
@given(configs, streams, hash_lists, streams, hash_lists)
def test_merging_two_streams_equals_the_concatenated_stream(config, left, left_hashes, right, right_hashes):
    a, b = build(config, left, left_hashes), build(config, right, right_hashes)
    whole = build(config, left + right, left_hashes + right_hashes)
    assert (a | b).to_bytes() == whole.to_bytes()
    assert (b | a).to_bytes() == whole.to_bytes()


@settings(max_examples=60, deadline=None)
@given(configs, streams, hash_lists)
def test_round_trips_are_exact(config, items, hashes):
    h = build(config, items, hashes)
    for copy in (HyperLogLog.from_bytes(h.to_bytes()), HyperLogLog.from_json(h.to_json()), h.copy()):
        assert copy.to_bytes() == h.to_bytes() and copy.to_json() == h.to_json()
        assert repr(copy) == repr(h) and copy.cardinality() == h.cardinality()


@settings(max_examples=40, deadline=None)
@given(st.integers(4, 8), st.data())
def test_any_valid_register_state_round_trips_and_estimates(precision, data):
    registers = data.draw(st.lists(st.integers(0, 65 - precision), min_size=2**precision, max_size=2**precision))
    h = state(registers)
    assert registers_of(HyperLogLog.from_bytes(h.to_bytes())) == registers
    assert h.cardinality() == reference_estimate(registers)
