"""HyperLogLog: registers checked against xxhash and an independent SplitMix, the
estimator on worked register states, merging and the serialised forms."""

import json
import math
import struct

import pytest
import xxhash
from hypothesis import given, settings
from hypothesis import strategies as st

from velt import HyperLogLog
from helpers import CHECKSUM_SEED, HEADER_SIZE, envelope

GOLDEN = 0x9E3779B97F4A7C15
MASK64 = 2**64 - 1
INF = math.inf


# ---- Independent references --------------------------------------------------------


def reference_registers(hashes, p):
    registers = [0] * (1 << p)
    for h in hashes:
        index, rank = h >> (64 - p), min(65 - ((h << p) & MASK64).bit_length(), 65 - p)
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


def state(registers, count=0):
    """A counter loaded from the JSON text of the given register state."""
    precision = len(registers).bit_length() - 1
    record = {"version": 2, "registers": registers, "precision": precision, "count": count, "seed": 0}
    return HyperLogLog.from_json(json.dumps(record))


def fields(h):
    return json.loads(h.to_json())


def build(config, items=(), hashes=()):
    h = HyperLogLog(*config)
    h.update(items)
    h.update_hashes(list(hashes))
    return h


HYPERLOGLOG = b"VTHL\x01"


def says(raised, message):
    """The error's text is `message`, or starts with it where `message` ends in ': '."""
    text = str(raised.value)
    return text.startswith(message) if message.endswith(": ") else text == message


# ---- Construction ------------------------------------------------------------------


@pytest.mark.parametrize(
    "precision, standard_error, relative_error",
    [(4, 0.26, 26.0), (14, 0.008125, 0.8125), (16, 0.0040625, 0.40625), (18, 0.00203125, 0.203125)],
)
def test_fresh_counters(precision, standard_error, relative_error):
    h = HyperLogLog(precision=precision, seed=3)
    assert (h.precision, h.seed, h.size_in_bytes) == (precision, 3, 2**precision)
    assert (h.standard_error, h.relative_error()) == (standard_error, relative_error)
    assert h.cardinality() == h.query() == h.estimate == 0.0 and len(h) == 0
    assert repr(h) == str(h) == f"HyperLogLog(precision={precision}, cardinality=0, memory={2**precision}B)"
    default = HyperLogLog()
    assert (repr(default), default.seed) == ("HyperLogLog(precision=14, cardinality=0, memory=16384B)", 0)


PRECISION = "precision must be between 4 and 18"
OUT_OF_RANGE = "out of range integral type conversion attempted"


@pytest.mark.parametrize(
    "args, error, message",  # a tuple is passed by position, a dict by keyword
    [
        ((3,), ValueError, PRECISION),
        ((19,), ValueError, PRECISION),
        ((255,), ValueError, PRECISION),
        ((256,), OverflowError, OUT_OF_RANGE),
        ((-1,), OverflowError, OUT_OF_RANGE),
        ({"precision": None}, TypeError, "argument 'precision': "),
        ({"seed": -1}, OverflowError, None),
        ({"seed": 2**64}, OverflowError, None),
        ({"size": 4}, TypeError, "HyperLogLog.__new__() got an unexpected keyword argument 'size'"),
        ((14, 0, 1), TypeError, "HyperLogLog.__new__() takes from 0 to 2 positional arguments but 3 were given"),
    ],
)
def test_construction_errors(args, error, message):
    with pytest.raises(error) as raised:
        HyperLogLog(*args) if isinstance(args, tuple) else HyperLogLog(**args)
    assert message is None or says(raised, message)


# ---- Inserting ---------------------------------------------------------------------


@pytest.mark.parametrize("precision, seed", [(4, 0), (10, 99), (14, 2**64 - 1)])
def test_items_land_where_their_xxh3_hash_says(precision, seed):
    items = [f"item-{i}".encode() for i in range(3000)]
    h = build((precision, seed), items)
    expected = reference_registers((xxhash.xxh3_64_intdigest(item, seed) for item in items), precision)
    assert fields(h)["registers"] == expected


@pytest.mark.parametrize("precision, seed, index", [(4, 0, 3), (14, 12345, 16383), (18, 2**64 - 1, 0)])
def test_caller_hashes_are_mixed_with_the_seed(precision, seed, index):
    # The last hash leaves nothing after its index bits: the largest rank, 65 - precision.
    hashes = [i * 0x100000001 for i in range(2000)] + [splitmix_unmix(index << (64 - precision), seed)]
    expected = reference_registers((splitmix_mix(x, seed) for x in hashes), precision)
    assert expected[index] == 65 - precision
    assert fields(build((precision, seed), hashes=hashes))["registers"] == expected


def test_duplicates_raise_count_but_not_the_estimate():
    h = HyperLogLog(10)
    h.add("same")
    assert h.cardinality() == pytest.approx(1.0, abs=0.001)
    h.update(["same"] * 100)
    h.update_hashes([5] * 3)
    h.add_hash(5)
    assert fields(h)["count"] == 105 and len(h) == 2
    assert h.cardinality() == reference_estimate(fields(h)["registers"])


class FailingStr:
    def __str__(self):
        raise ZeroDivisionError("no text")


# ---- Estimating --------------------------------------------------------------------

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
    ("large range, len still fits", [59] * 16, -(2.0**64) * math.log1p(-(0.673 * 16 * 2.0**59 / 2.0**64))),
    ("large range near the top", [60] * 16, -(2.0**64) * math.log1p(-0.673)),
    ("infinite", [61] * 16, INF),
    ("infinite, p=14, largest rank", [51] * 16384, INF),
    ("infinite, p=18", [47] * 2**18, INF),
]


@pytest.mark.parametrize("label, registers, expected", CRAFTED_STATES, ids=[c[0] for c in CRAFTED_STATES])
def test_estimator_on_crafted_states(label, registers, expected):
    h = state(registers)
    assert h.cardinality() == h.query() == h.estimate == pytest.approx(expected, rel=1e-15)
    assert h.cardinality() == reference_estimate(registers)
    shown = "inf" if expected == INF else f"{h.cardinality():.0f}"
    assert repr(h) == f"HyperLogLog(precision={h.precision}, cardinality={shown}, memory={len(registers)}B)"
    if expected == INF:
        assert h.confidence_interval() == (0.0, INF)
    if expected < 2**63:
        assert len(h) == math.floor(h.cardinality() + 0.5)
    else:  # beyond Py_ssize_t
        with pytest.raises(OverflowError) as raised:
            len(h)
        assert str(raised.value) == ""


@pytest.mark.parametrize("distinct", [1000, 50_000])
def test_estimate_is_within_a_few_standard_errors(distinct):
    h = HyperLogLog(14, seed=1)
    h.update(f"user-{i}" for i in range(distinct))
    h.update(f"user-{i}" for i in range(distinct))  # duplicates do not count
    assert abs(h.cardinality() / distinct - 1) < 4 * h.standard_error


@pytest.mark.parametrize(
    "confidence, z",  # None: the default
    [(0.80, 1.281552), (0.90, 1.644854), (0.95, 1.959964), (0.99, 2.575829), (None, 1.959964),
     (0.9500000000000001, 1.959964), (0.95 - 2**-53, 1.959964), (0.8 + 2**-53, 1.281552)],
)
def test_confidence_interval(confidence, z):
    h, args = build((10, 0), range(5000)), () if confidence is None else (confidence,)
    margin = h.cardinality() * (z * (1.04 / 32))
    assert h.confidence_interval(*args) == (h.cardinality() - margin, h.cardinality() + margin)
    assert HyperLogLog(10).confidence_interval(*args) == (0.0, 0.0)


@pytest.mark.parametrize(
    "confidence, error, message",
    [(c, ValueError, "confidence must be one of 0.80, 0.90, 0.95, or 0.99")
     for c in (0.85, 0.5, 0.0, 1, 95, 0.95 + 2**-52, 0.95 + 2**-51, math.nan, math.inf)]
    + [(c, TypeError, "argument 'confidence': ") for c in ("0.95", None, [0.95])],
)
def test_unsupported_confidence(confidence, error, message):
    with pytest.raises(error) as raised:
        HyperLogLog(8).confidence_interval(confidence)
    assert says(raised, message)


# ---- Combining ---------------------------------------------------------------------


def test_count_saturates():
    h = state([0] * 16, count=2**64 - 2)
    h.update(["a", "b", "c"])
    assert fields(h)["count"] == 2**64 - 1
    h.merge(state([0] * 16, count=2**64 - 1))
    assert fields(h)["count"] == 2**64 - 1


# ---- Serialised forms --------------------------------------------------------------


def test_binary_layout_of_precision_14():
    h = HyperLogLog(14, seed=0x0102030405060708)
    h.add_hash(splitmix_unmix(5 << 50, h.seed))
    data = h.to_bytes()
    assert len(data) == 16431 and data[:5] == b"VTHL\x01"
    assert struct.unpack_from("<QQ", data, 5) == (16410, xxhash.xxh3_64_intdigest(data[HEADER_SIZE:], CHECKSUM_SEED))
    payload = data[21:]
    assert payload[0] == 2 and struct.unpack_from("<Q", payload, 1)[0] == 16384
    registers = payload[9 : 9 + 16384]
    assert registers[5] == 51 and registers.count(0) == 16383
    assert struct.unpack_from("<BQQ", payload, 9 + 16384) == (14, 1, 0x0102030405060708)
    # Bytes after the record are ignored.
    assert HyperLogLog.from_bytes(envelope(payload + b"extra", HYPERLOGLOG)).to_bytes() == data


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
    if record.get("version") == 2:  # the binary form goes through the same checks
        registers = bytes(record["registers"])
        payload = struct.pack("<BQ", 2, len(registers)) + registers + struct.pack("<BQQ", record["precision"], 0, 0)
        with pytest.raises(ValueError) as raised:
            HyperLogLog.from_bytes(envelope(payload, HYPERLOGLOG))
        assert str(raised.value) == message


# ---- Laws --------------------------------------------------------------------------

streams = st.lists(st.one_of(st.text(max_size=12), st.binary(max_size=12), st.integers()), max_size=80)
hash_lists = st.lists(st.integers(0, MASK64), max_size=40)
configs = st.tuples(st.integers(4, 10), st.integers(0, MASK64))


@settings(max_examples=60, deadline=None)
@given(configs, streams, hash_lists, streams, hash_lists)
def test_merging_two_streams_equals_the_concatenated_stream(config, left, left_hashes, right, right_hashes):
    a, b = build(config, left, left_hashes), build(config, right, right_hashes)
    whole = build(config, left + right, left_hashes + right_hashes).to_bytes()
    right_before = b.to_bytes()
    assert (a | b).to_bytes() == (b | a).to_bytes() == whole
    target = a.copy()
    target |= b
    a.merge(b)
    assert a.to_bytes() == target.to_bytes() == whole and b.to_bytes() == right_before


@settings(max_examples=40, deadline=None)
@given(st.integers(4, 8), st.data())
def test_any_valid_register_state_round_trips_and_estimates(precision, data):
    registers = data.draw(st.lists(st.integers(0, 65 - precision), min_size=2**precision, max_size=2**precision))
    h = state(registers)
    assert fields(HyperLogLog.from_bytes(h.to_bytes()))["registers"] == registers
    assert h.cardinality() == reference_estimate(registers)
