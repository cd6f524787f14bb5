"""ScalableBloomFilter: the growth rule against an independent reference, bits
against xxhash, the chain's statistics, slices that cannot be allocated, and
the serialised forms."""

import json
import math
import re
import struct

import pytest
import xxhash
from hypothesis import given, settings
from hypothesis import strategies as st

from velt import ScalableBloomFilter

G = 0x9E3779B97F4A7C15
MASK = 2**64 - 1
DEFAULTS = {"initial_capacity": 1000, "initial_fpr": 0.01, "growth_ratio": 2.0, "fpr_ratio": 0.5, "seed": 0}


# ---- Independent references ----------------------------------------------------------


def reference_chain(initial_capacity, false_positive_rate, growth_ratio, fpr_ratio, slices):
    """(capacity, fpr, num_bits, num_hashes) of the first `slices` slices."""
    chain = []
    capacity, rate = initial_capacity, false_positive_rate * (1 - fpr_ratio)
    for _ in range(slices):
        num_bits = math.ceil(math.log(rate) * capacity / -0.4804530139182014)
        num_hashes = max(1, math.floor(num_bits / capacity * 0.6931471805599453 + 0.5))
        chain.append((capacity, rate, num_bits, num_hashes))
        capacity, rate = int(growth_ratio * capacity), rate * fpr_ratio
    return chain


def splitmix_finalise(z):
    z = ((z ^ (z >> 30)) * 0xBF58476D1CE4E5B9) & MASK
    z = ((z ^ (z >> 27)) * 0x94D049BB133111EB) & MASK
    return z ^ (z >> 31)


def item_pair(data, seed):
    return xxhash.xxh3_64_intdigest(data, seed=seed), xxhash.xxh3_64_intdigest(data, seed=(seed + G) & MASK)


def caller_pair(value, seed):
    t = ((((seed + G) & MASK) ^ value) + G) & MASK
    return splitmix_finalise(((seed ^ value) + G) & MASK), G if t == 0 else splitmix_finalise(t)


def expected_words(pairs, num_bits, num_hashes):
    words = [0] * math.ceil(num_bits / 64)
    for h1, h2 in pairs:
        for i in range(num_hashes):
            position = ((h1 + i * h2) & MASK) % num_bits
            words[position // 64] |= 1 << (position % 64)
    return words


# ---- Records ---------------------------------------------------------------------------


def slice_record(num_bits=64, num_hashes=1, count=0, capacity=5, fpr=0.005, bits=None):
    return {"bits": bits if bits is not None else [0] * math.ceil(num_bits / 64), "num_bits": num_bits,
            "num_hashes": num_hashes, "count": count, "capacity": capacity, "fpr": fpr}


def load(slices, **fields):
    return ScalableBloomFilter.from_json(json.dumps({"slices": slices, **{**DEFAULTS, **fields}}))


def slices_of(f):
    return json.loads(f.to_json())["slices"]


def fill_until(f, num_slices, start=0):
    """Adds fresh caller hashes until the chain has `num_slices` slices; returns the next unused hash."""
    while f.num_slices < num_slices:
        f.add_hash(start)
        start += 1
    return start


def envelope(payload, version=2):
    checksum = xxhash.xxh3_64_intdigest(payload, seed=0x56454C54534B4554)
    return b"VTSB" + bytes([version]) + struct.pack("<QQ", len(payload), checksum) + payload


def raises(error, message):
    return pytest.raises(error, match=f"^{re.escape(message)}$")


# ---- Construction and growth ------------------------------------------------------------


def test_fresh_default_filter():
    f = ScalableBloomFilter()
    assert (f.num_slices, f.num_filters, f.capacity(), len(f), f.size_in_bytes, f.seed) == (1, 1, 1000, 0, 1384, 0)
    assert f.false_positive_rate() == 0.0050000000000000044
    assert f.health() == "healthy"
    assert repr(f) == str(f) == "ScalableBloomFilter(slices=1, count=0, size=1384B)"


def test_default_chain_worked_values():
    f = ScalableBloomFilter()
    fill_until(f, 4)
    shapes = [(s["capacity"], s["fpr"], s["num_bits"], s["num_hashes"], len(s["bits"])) for s in slices_of(f)]
    assert shapes == [
        (1000, 0.005, 11028, 8, 173),
        (2000, 0.0025, 24941, 9, 390),
        (4000, 0.00125, 55653, 10, 870),
        (8000, 0.000625, 122847, 11, 1920),
    ]


@pytest.mark.parametrize(
    "config",
    [
        (3, 0.01, 1.5, 0.5),  # capacities 3, 4 (4.5 truncated), 6, 9, 13
        (10, 0.1, 3.0, 0.9),
        (1, 0.5, 1.0001, 0.1),  # capacity 1 throughout
        (7, 1e-9, 2.5, 0.01),
    ],
)
def test_chain_follows_the_growth_rule(config):
    f = ScalableBloomFilter(*config)
    fill_until(f, 5)
    actual = [(s["capacity"], s["fpr"], s["num_bits"], s["num_hashes"]) for s in slices_of(f)]
    assert actual == reference_chain(*config, slices=5)
    assert [len(s["bits"]) for s in slices_of(f)] == [math.ceil(s[2] / 64) for s in actual]


def test_second_slice_starts_when_the_first_holds_its_capacity():
    f = ScalableBloomFilter()
    value = 0
    while len(f) < 1000:
        f.add_hash(value)
        value += 1
    assert f.num_slices == 1
    while f.contains_hash(value):  # an already "present" hash would not be stored
        value += 1
    f.add_hash(value)
    assert (f.num_slices, len(f), f.capacity(), f.size_in_bytes) == (2, 1001, 3000, 4504)
    assert f.false_positive_rate() == 0.00748749999999998
    assert slices_of(f)[1]["count"] == 1


RATE = "false_positive_rate must be between 0 and 1 (exclusive)"
GROWTH = "growth_ratio must be greater than 1"
FPR_RATIO = "fpr_ratio must be between 0 and 1 (exclusive)"


@pytest.mark.parametrize(
    "kwargs, message",
    [
        ({"initial_capacity": 0, "false_positive_rate": 2.0}, "initial_capacity must be positive"),
        ({"false_positive_rate": 0.0}, RATE),
        ({"false_positive_rate": 1.0}, RATE),
        ({"false_positive_rate": math.nan}, RATE),
        ({"false_positive_rate": math.inf, "growth_ratio": 0}, RATE),
        ({"growth_ratio": 1.0}, GROWTH),
        ({"growth_ratio": math.inf}, GROWTH),
        ({"growth_ratio": math.nan, "fpr_ratio": 2}, GROWTH),
        ({"fpr_ratio": 1.0}, FPR_RATIO),
        ({"fpr_ratio": 0.0}, FPR_RATIO),
        ({"fpr_ratio": -math.nan}, FPR_RATIO),
    ],
)
def test_construction_errors(kwargs, message):
    with raises(ValueError, message):
        ScalableBloomFilter(**kwargs)


# ---- Inserting and querying ----------------------------------------------------------


def test_items_and_caller_hashes_agree_with_xxhash_and_splitmix():
    seed = 2026
    f = ScalableBloomFilter(initial_capacity=40, seed=seed)
    items = [b"", b"abc", "\u00e9".encode(), bytes(range(200))]
    f.update(items)
    f.update_hashes([0, 7, MASK])
    first = slices_of(f)[0]
    pairs = [item_pair(i, seed) for i in items] + [caller_pair(v, seed) for v in (0, 7, MASK)]
    capacity, _, num_bits, num_hashes = reference_chain(40, 0.01, 2.0, 0.5, slices=1)[0]
    assert (first["count"], first["capacity"], first["num_bits"], first["num_hashes"]) == (7, 40, num_bits, num_hashes)
    assert first["bits"] == expected_words(pairs, num_bits, num_hashes)


def test_items_already_present_are_not_stored_again():
    f = ScalableBloomFilter(initial_capacity=100, seed=1)
    f.add("x")
    f.add("x")
    assert len(f) == 1
    fill_until(f, 2)
    # A false positive of the older slices: never added, yet reported present.
    before = f.to_bytes()
    impostor = next(f"probe-{i}" for i in range(100_000) if f.contains(f"probe-{i}"))
    f.add(impostor)
    assert f.to_bytes() == before


def test_caller_hashes_are_separate_from_items():
    f = ScalableBloomFilter()
    f.add_hash(7)
    assert f.contains_hash(7) and not f.contains(7) and not f.contains("7")
    assert "7" not in f
    assert f.query_hashes([]) == [] and f.query_many([]) == []


def test_measured_rate_stays_under_the_target_as_the_chain_grows():
    f = ScalableBloomFilter(initial_capacity=100, false_positive_rate=0.01, seed=11)
    f.update(f"in-{i}" for i in range(20_000))
    assert f.num_slices == 8 and f.health() == "healthy" and f.false_positive_rate() < 0.01
    assert all(f.query_many(f"in-{i}" for i in range(20_000)))
    # The target plus five standard deviations of the measurement.
    assert sum(f.query_many(f"out-{i}" for i in range(50_000))) / 50_000 < 0.0125


# ---- Slices that cannot be allocated --------------------------------------------------


@pytest.mark.parametrize(
    "growth_ratio, last_slice",
    [
        # The next capacity, 4 x 2^62, saturates at 2^64 - 1.
        (4.0, {"capacity": 2**62, "count": 2**62 - 2, "fpr": 0.005}),
        # The next rate, half the smallest double, rounds to 0.
        (2.0, {"capacity": 1000, "count": 998, "fpr": 5e-324}),
    ],
)
def test_an_unallocatable_next_slice_raises_memory_error_and_keeps_every_item(growth_ratio, last_slice):
    f = load([slice_record(num_bits=4096, num_hashes=3, **last_slice)], growth_ratio=growth_ratio)
    expected = f.copy()
    expected.add("a")
    expected.add("b")
    # A batch keeps the items before the one that needed the new slice.
    with pytest.raises(MemoryError):
        f.update(["a", "b", "c", "d"])
    assert f.to_bytes() == expected.to_bytes()
    for insert in (lambda: f.add("c"), lambda: f.add_hash(1), lambda: f.update_hashes([1]), lambda: f.update(["c"])):
        with pytest.raises(MemoryError):
            insert()
        assert f.to_bytes() == expected.to_bytes()
    f.add("a")  # present already: no slice needed
    assert f.query_many(["a", "b", "c"]) == [True, True, False] and len(f) == last_slice["count"] + 2


@pytest.mark.parametrize("kwargs", [{"initial_capacity": 2**64 - 1}, {"false_positive_rate": 5e-324, "fpr_ratio": 0.9}])
def test_an_unallocatable_first_slice_raises_memory_error(kwargs):
    with pytest.raises(MemoryError):
        ScalableBloomFilter(**kwargs)
    empty = load([], initial_capacity=2**63)
    with pytest.raises(MemoryError):
        empty.clear()
    assert empty.num_slices == 0


# ---- Loaded chains ------------------------------------------------------------------------


@pytest.mark.parametrize(
    "insert",
    [
        lambda f: f.add("x"),
        lambda f: f.update(["x"]),
        lambda f: f.add_hash(1),
        lambda f: f.update_hashes([1]),
    ],
)
def test_a_chain_without_slices_starts_its_first_slice_on_insertion(insert):
    f = load([], initial_capacity=50)
    assert (f.num_slices, len(f), f.capacity(), f.size_in_bytes, f.false_positive_rate()) == (0, 0, 0, 0, 0.0)
    assert not f.contains("x") and f.query_hashes([1]) == [False] and f.health() == "healthy"
    insert(f)
    fresh = ScalableBloomFilter(initial_capacity=50)
    insert(fresh)
    assert (f.num_slices, len(f), f.capacity()) == (1, 1, 50)
    assert f.to_bytes() == fresh.to_bytes()


def test_a_loaded_slice_grows_by_the_rule_from_itself():
    f = load([slice_record(count=5, capacity=5, fpr=0.03)], growth_ratio=2.5, fpr_ratio=0.1)
    f.add("new")
    assert f.num_slices == 2
    second = slices_of(f)[1]
    assert (second["capacity"], second["fpr"], second["count"]) == (12, 0.03 * 0.1, 1)


def test_loaded_rates_beyond_the_target_give_a_warning():
    f = load([slice_record(fpr=0.006), slice_record(fpr=0.005)])
    assert f.false_positive_rate() == 1 - (1 - 0.006) * (1 - 0.005) and f.health() == "warning"


# ---- Serialised forms ----------------------------------------------------------------------


def test_fresh_binary_and_json_forms():
    f = ScalableBloomFilter()
    data = f.to_bytes()
    assert len(data) == 1497 and data[:5] == b"VTSB\x02"
    assert struct.unpack_from("<QQ", data, 21) == (1, 173)
    text = f.to_json()
    assert text.startswith('{\n  "slices": [\n    {\n      "bits": [\n        0,')
    assert text.endswith(
        '      "num_bits": 11028,\n      "num_hashes": 8,\n      "count": 0,\n      "capacity": 1000,\n'
        '      "fpr": 0.005\n    }\n  ],\n  "initial_capacity": 1000,\n  "initial_fpr": 0.01,\n'
        '  "growth_ratio": 2.0,\n  "fpr_ratio": 0.5,\n  "seed": 0\n}'
    )


INVALID = "Invalid Scalable Bloom filter: "


@pytest.mark.parametrize(
    "slices, fields, message",
    [
        ([], {"initial_capacity": 0, "initial_fpr": 2.0, "growth_ratio": 0.5}, "initial capacity must be positive"),
        ([], {"initial_fpr": 1.0}, "false-positive rate is out of range"),
        ([], {"initial_fpr": 0, "fpr_ratio": 0}, "false-positive rate is out of range"),
        ([], {"growth_ratio": 1.0}, "growth parameters are out of range"),
        ([], {"fpr_ratio": 0.0}, "growth parameters are out of range"),
        ([], {"fpr_ratio": 1}, "growth parameters are out of range"),
        ([slice_record(count=1001, capacity=1000)], {}, "malformed slice metadata"),
        ([slice_record(num_bits=100, bits=[0])], {}, "malformed slice metadata"),
        ([slice_record(capacity=0)], {}, "malformed slice metadata"),
        ([slice_record(num_bits=0)], {}, "malformed slice metadata"),
        ([slice_record(num_hashes=0)], {}, "malformed slice metadata"),
        ([slice_record(), slice_record(fpr=1.0)], {}, "malformed slice metadata"),
        ([slice_record(fpr=0)], {}, "malformed slice metadata"),
    ],
)
def test_invalid_records(slices, fields, message):
    with raises(ValueError, INVALID + message):
        load(slices, **fields)


def test_binary_validation_and_envelope_version():
    payload = ScalableBloomFilter().to_bytes()[21:]
    with raises(ValueError, "unsupported binary format version: 1 (expected 2)"):
        ScalableBloomFilter.from_bytes(envelope(payload, version=1))
    bad_capacity = payload[:-40] + struct.pack("<Q", 0) + payload[-32:]
    with raises(ValueError, INVALID + "initial capacity must be positive"):
        ScalableBloomFilter.from_bytes(envelope(bad_capacity))
    # A slice count far beyond what follows fails when the bytes run out.
    with raises(ValueError, "Deserialization error: io error: unexpected end of file"):
        ScalableBloomFilter.from_bytes(envelope(struct.pack("<Q", MASK)))


def test_json_reading_rules():
    record = {"slices": [{**slice_record(), "extra": [1, {"x": None}]}], **DEFAULTS, "growth_ratio": 3}
    f = ScalableBloomFilter.from_json(json.dumps(record))
    assert json.loads(f.to_json())["growth_ratio"] == 3.0 and '"growth_ratio": 3.0' in f.to_json()
    as_arrays = json.dumps([[list(slice_record().values())], 1000, 0.01, 2.0, 0.5, 0])
    assert ScalableBloomFilter.from_json(as_arrays).to_bytes() == load([slice_record()]).to_bytes()
    without_fpr = {k: v for k, v in slice_record().items() if k != "fpr"}
    with pytest.raises(ValueError, match=r"^Deserialization error: missing field `fpr` at line \d+ column \d+$"):
        ScalableBloomFilter.from_json(json.dumps({"slices": [without_fpr], **DEFAULTS}))
    with pytest.raises(ValueError, match=r"^Deserialization error: invalid length 5, expected struct BloomFilterSlice"):
        ScalableBloomFilter.from_json(json.dumps([[list(slice_record().values())[:5]], 1000, 0.01, 2.0, 0.5, 0]))


items = st.lists(st.one_of(st.text(max_size=12), st.binary(max_size=12), st.integers()), max_size=200)
configs = st.tuples(
    st.integers(1, 40),
    st.floats(0.001, 0.5),
    st.floats(1.05, 4.0),
    st.floats(0.05, 0.95),
    st.integers(0, MASK),
)


@settings(max_examples=60, deadline=None)
@given(configs, items, items)
def test_no_false_negatives_and_exact_round_trips(config, first, second):
    f = ScalableBloomFilter(*config)
    f.update(first)
    assert all(f.query_many(first))
    from_bytes, from_json = ScalableBloomFilter.from_bytes(f.to_bytes()), ScalableBloomFilter.from_json(f.to_json())
    assert from_bytes.to_bytes() == from_json.to_bytes() == f.to_bytes()
    assert from_json.to_json() == f.to_json() and repr(from_json) == repr(f)
    # The chain keeps growing the same way after a round trip.
    for g in (f, from_bytes, from_json):
        g.update(second)
    assert from_bytes.to_bytes() == from_json.to_bytes() == f.to_bytes()
    assert all(from_json.query_many(first + second))
