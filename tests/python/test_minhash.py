"""MinHash: slot hashing checked against an independent XXH3, the estimators,
merging, the Python surface and the serialised forms."""

import json
import math
import struct

import pytest
import xxhash
from hypothesis import given, settings
from hypothesis import strategies as st

from velt import BloomFilter, MinHash

G = 0x9E3779B97F4A7C15
MASK = 2**64 - 1
EMPTY = MASK


def slot_seeds(num_hashes, seed):
    return [(seed + i * G) & MASK for i in range(num_hashes)]


def expected_signature(items, num_hashes, seed):
    """The signature of byte strings, computed with the xxhash package."""
    return [min((xxhash.xxh3_64_intdigest(item, seed=s) for item in items), default=EMPTY)
            for s in slot_seeds(num_hashes, seed)]


def splitmix_finalise(z):
    z = ((z ^ (z >> 30)) * 0xBF58476D1CE4E5B9) & MASK
    z = ((z ^ (z >> 27)) * 0x94D049BB133111EB) & MASK
    return z ^ (z >> 31)


def built(items=(), num_hashes=64, seed=0, hashes=()):
    minhash = MinHash(num_hashes=num_hashes, seed=seed)
    minhash.update(list(items))
    minhash.update_hashes(list(hashes))
    return minhash


def says(raised, message):
    """The error's text is `message`, or starts with it where `message` ends in ': '."""
    text = str(raised.value)
    return text.startswith(message) if message.endswith(": ") else text == message


def envelope(payload, magic=b"VTMH", version=1):
    checksum = xxhash.xxh3_64_intdigest(payload, seed=0x56454C54534B4554)
    return magic + bytes([version]) + struct.pack("<QQ", len(payload), checksum) + payload


def payload(signature, num_hashes=None, seed=0, version=2):
    num_hashes = len(signature) if num_hashes is None else num_hashes
    return struct.pack(f"<BQ{len(signature)}QQQ", version, len(signature), *signature, num_hashes, seed)


def record_json(signature, num_hashes=None, seed=0, version=2):
    record = {"version": version, "signature": signature,
              "num_hashes": len(signature) if num_hashes is None else num_hashes, "seed": seed}
    return json.dumps({key: value for key, value in record.items() if value is not None})


# ---- Construction ------------------------------------------------------------------


def test_new_default_object_is_empty():
    minhash = MinHash()
    assert (minhash.num_hashes, minhash.seed, minhash.size_in_bytes) == (128, 0, 1024)
    assert minhash.is_empty() is True and minhash.signature() == [18446744073709551615] * 128
    assert repr(minhash) == str(minhash) == "MinHash(num_hashes=128, is_empty=true)"
    assert minhash.standard_error() == pytest.approx(0.0883883, abs=1e-7)
    assert len(minhash.to_bytes()) == 1070
    minhash.add("x")
    assert minhash.is_empty() is False and repr(minhash) == "MinHash(num_hashes=128, is_empty=false)"


@pytest.mark.parametrize(
    "kwargs, error, message",
    [
        ({"num_hashes": 0}, ValueError, "num_hashes must be positive"),
        ({"num_hashes": -1}, OverflowError, None),
        ({"num_hashes": 2**64}, OverflowError, None),
        ({"seed": -1}, OverflowError, None),
        ({"num_hashes": None}, TypeError, "argument 'num_hashes': "),
        ({"width": 3}, TypeError, "MinHash.__new__() got an unexpected keyword argument 'width'"),
        # Sizes that cannot be allocated fail cleanly.
        ({"num_hashes": 2**50}, (MemoryError, ValueError), None),
        ({"num_hashes": 2**64 - 1}, (MemoryError, ValueError), None),
    ],
)
def test_construction_errors(kwargs, error, message):
    with pytest.raises(error) as raised:
        MinHash(**kwargs)
    assert message is None or says(raised, message)


# ---- Slot hashing ------------------------------------------------------------------

# Every XXH3 length class: 0, 1-3, 4-8, 9-16, 17-128, 129-240, over 240.
LENGTHS = [0, 1, 3, 4, 8, 9, 16, 17, 128, 129, 240, 241, 3000]


@pytest.mark.parametrize("seed", [0, 1, 2**63, MASK, (2**64 - G) & MASK])
def test_each_slot_is_xxh3_with_its_own_seed(seed):
    items = [bytes((i * 37 + n) % 256 for i in range(n)) for n in LENGTHS]
    assert built(items, 24, seed).signature() == expected_signature(items, 24, seed)


@pytest.mark.parametrize("seed", [0, 5, MASK])
@pytest.mark.parametrize("values", [[0], [1, 2, 3], [MASK, G, 2**63]])
def test_caller_hashes_are_mixed_per_slot(seed, values):
    expected = [min(splitmix_finalise(((v ^ s) + G) & MASK) for v in values) for s in slot_seeds(16, seed)]
    assert built((), 16, seed, values).signature() == expected


class Unprintable:
    def __str__(self):
        raise KeyError("no text")


# ---- Estimates ---------------------------------------------------------------------


def test_empty_and_identical_signatures_compare_as_one():
    a, b = MinHash(), MinHash()
    assert a.jaccard(b) == a.query(b) == 1.0 and a.jaccard_interval(b) == (1.0, 1.0)
    a.update(["x", "y"])
    assert a.jaccard(a) == a.jaccard(a.copy()) == 1.0
    assert a.jaccard(b) == 0.0


@pytest.mark.parametrize("true_jaccard", [0.0, 0.1, 0.5, 0.9, 1.0])
def test_estimate_is_near_the_exact_jaccard(true_jaccard):
    # Two sets of 2000 items sharing `shared` of them: J = shared / (4000 - shared).
    shared = round(4000 * true_jaccard / (1 + true_jaccard))
    a = built([f"item-{i}" for i in range(2000)], 256, 3)
    b = built([f"item-{i}" for i in range(2000 - shared, 4000 - shared)], 256, 3)
    # The outcome is fixed by the seed; four standard errors leave ample room.
    assert abs(a.jaccard(b) - shared / (4000 - shared)) < 4 * a.standard_error()
    low, high = a.jaccard_interval(b, 0.99)
    assert low <= a.jaccard(b) <= high


def jaccard_of_half():
    """Two 4-slot signatures equal in exactly two slots: J = 0.5."""
    return MinHash.from_json(record_json([1, 2, 3, 4])), MinHash.from_json(record_json([1, 2, 0, 0]))


@pytest.mark.parametrize(
    "confidence, z",  # None: the default
    [(0.80, 1.281552), (0.90, 1.644854), (0.95, 1.959964), (0.99, 2.575829), (None, 1.959964),
     (1 - 0.05, 1.959964), (0.95 + 2**-54, 1.959964)],
)
def test_interval_margin(confidence, z):
    a, b = jaccard_of_half()
    assert a.jaccard(b) == 0.5
    low, high = a.jaccard_interval(b) if confidence is None else a.jaccard_interval(b, confidence)
    assert low == pytest.approx(max(0.5 - z * 0.25, 0.0))
    assert high == pytest.approx(min(0.5 + z * 0.25, 1.0))


@pytest.mark.parametrize(
    "confidence, error, message",
    [(c, ValueError, "confidence must be one of 0.80, 0.90, 0.95, or 0.99")
     for c in (0.5, 0.951, 0.95 + 2**-50, 0, 1, math.nan, math.inf)]
    + [("0.95", TypeError, "argument 'confidence': ")],
)
def test_unsupported_confidence(confidence, error, message):
    with pytest.raises(error) as raised:
        MinHash().jaccard_interval(MinHash(), confidence)
    assert says(raised, message)


MISMATCHES = [
    ((128, 1), (64, 2), "num_hashes mismatch (128 vs 64)"),
    ((128, 1), (64, 1), "num_hashes mismatch (128 vs 64)"),
    ((16, 1), (16, 2), "seed mismatch (1 vs 2)"),
]


@pytest.mark.parametrize("mine, theirs, detail", MISMATCHES)
@pytest.mark.parametrize("compare", [
    lambda a, b: a.jaccard(b), lambda a, b: a.query(b), lambda a, b: a.jaccard_interval(b),
    # The configuration is checked before the confidence level.
    lambda a, b: a.jaccard_interval(b, 0.5),
])
def test_compare_mismatch(mine, theirs, detail, compare):
    with pytest.raises(ValueError) as raised:
        compare(MinHash(*mine), MinHash(*theirs))
    assert str(raised.value) == "Cannot compare: " + detail


# ---- Merging, copying, clearing ----------------------------------------------------------


def test_no_other_operands_no_len_and_no_membership():
    minhash = built(["x"])
    for operation, pattern in [
        (lambda: minhash | 5, "^unsupported operand"),
        (lambda: 5 | minhash, "^unsupported operand"),
        (lambda: len(minhash), "has no len"),
        (lambda: "x" in minhash, "is not iterable"),
    ]:
        with pytest.raises(TypeError, match=pattern):
            operation()
    with pytest.raises(TypeError, match="^unsupported operand"):
        minhash |= 5


# ---- Serialised forms ------------------------------------------------------------------


@pytest.mark.parametrize("num_hashes", [1, 2, 128, 1000])
def test_binary_layout(num_hashes):
    minhash = built(["a", "b"], num_hashes, seed=77)
    data = minhash.to_bytes()
    assert len(data) == 21 + 25 + 8 * num_hashes
    assert data == envelope(payload(minhash.signature(), seed=77))


def test_bytes_after_the_seed_are_ignored_and_slots_are_not_checked():
    minhash = MinHash.from_bytes(envelope(payload([0, 7, EMPTY], seed=5) + b"extra"))
    assert (minhash.signature(), minhash.seed) == ([0, 7, EMPTY], 5)


def test_json_text_of_a_two_slot_object():
    text = MinHash(num_hashes=2).to_json()
    assert text == ('{\n  "version": 2,\n  "signature": [\n    18446744073709551615,\n'
                    '    18446744073709551615\n  ],\n  "num_hashes": 2,\n  "seed": 0\n}')
    assert MinHash.from_json(text).is_empty()


@pytest.mark.parametrize(
    "data, message",  # text is read as JSON, bytes as the binary form
    [
        (record_json([EMPTY], version=1), "Unsupported MinHash data version"),
        (record_json([EMPTY], version=3), "Unsupported MinHash data version"),
        (record_json([EMPTY], version=None), "Unsupported MinHash data version"),
        (record_json([], num_hashes=0), "num_hashes must be positive"),
        (record_json([1], num_hashes=0), "num_hashes must be positive"),
        (record_json([1, 2, 3], num_hashes=4), "signature length does not match num_hashes"),
        ('{"version": 2, "signature": [1], "num_hashes": 1}',
         "Deserialization error: missing field `seed` at line 1 column 49"),
        (record_json([1], version=256),
         "Deserialization error: invalid value: integer `256`, expected u8 at line 1 column 15"),
        ("[2, [1], 1]",
         "Deserialization error: invalid length 3, expected struct MinHashData with 4 elements at line 1 column 11"),
        (envelope(payload([EMPTY], version=1)), "Unsupported MinHash data version"),
        (envelope(payload([], num_hashes=0)), "num_hashes must be positive"),
        (envelope(payload([1, 2, 3], num_hashes=4)), "signature length does not match num_hashes"),
        (envelope(payload([1, 2])[:-3]), "Deserialization error: io error: unexpected end of file"),
        # A slot count far beyond the bytes that follow fails without allocating it.
        (envelope(b"\x02" + struct.pack("<Q", 2**61)), "Deserialization error: io error: unexpected end of file"),
        (envelope(payload([1]), version=2), "unsupported binary format version: 2 (expected 1)"),
        (BloomFilter(num_bits=64).to_bytes(), "invalid Velt binary format"),
    ],
)
def test_refused_records(data, message):
    with pytest.raises(ValueError) as raised:
        (MinHash.from_json if isinstance(data, str) else MinHash.from_bytes)(data)
    assert str(raised.value) == message


# ---- Laws ----------------------------------------------------------------------------

streams = st.lists(st.one_of(st.text(max_size=12), st.binary(max_size=300), st.integers()), max_size=40)
hash_streams = st.lists(st.integers(0, MASK), max_size=20)
configs = st.tuples(st.integers(1, 48), st.integers(0, MASK))


@settings(max_examples=60, deadline=None)
@given(configs, streams, streams, hash_streams)
def test_merge_equals_the_signature_of_the_concatenated_stream(config, left, right, hashes):
    a, b, whole = built(left, *config), built(right, *config, hashes), built(left + right, *config, hashes)
    right_before = b.to_bytes()
    assert (a | b).to_bytes() == (b | a).to_bytes() == whole.to_bytes()
    in_place = target = a.copy()
    target |= b
    a.merge(b)
    assert target is in_place and a.to_bytes() == target.to_bytes() == whole.to_bytes()
    assert b.to_bytes() == right_before


