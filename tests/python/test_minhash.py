"""MinHash: slot hashing checked against an independent XXH3, the estimators,
merging, the Python surface and the serialised forms."""

import json
import math
import struct
import threading

import pytest
import xxhash
from hypothesis import given, settings
from hypothesis import strategies as st

from velt import BloomFilter, MinHash

G = 0x9E3779B97F4A7C15
MASK = 2**64 - 1
EMPTY = MASK
CHECKSUM_SEED = 0x56454C54534B4554
CONFIDENCE_MESSAGE = "confidence must be one of 0.80, 0.90, 0.95, or 0.99"


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


def built(items=(), num_hashes=64, seed=0):
    minhash = MinHash(num_hashes=num_hashes, seed=seed)
    minhash.update(list(items))
    return minhash


def envelope(payload, magic=b"VTMH", version=1):
    checksum = xxhash.xxh3_64_intdigest(payload, seed=CHECKSUM_SEED)
    return magic + bytes([version]) + struct.pack("<QQ", len(payload), checksum) + payload


def payload(signature, num_hashes=None, seed=0, version=2):
    num_hashes = len(signature) if num_hashes is None else num_hashes
    return struct.pack(f"<BQ{len(signature)}QQQ", version, len(signature), *signature, num_hashes, seed)


def record_json(signature, num_hashes=None, seed=0, version=2):
    record = {"version": version, "signature": signature,
              "num_hashes": len(signature) if num_hashes is None else num_hashes, "seed": seed}
    if version is None:
        del record["version"]
    return json.dumps(record)


# ---- Construction ------------------------------------------------------------------


def test_new_default_object_is_empty():
    minhash = MinHash()
    assert (minhash.num_hashes, minhash.seed, minhash.size_in_bytes) == (128, 0, 1024)
    assert minhash.is_empty() is True
    assert minhash.signature() == [18446744073709551615] * 128
    assert repr(minhash) == str(minhash) == "MinHash(num_hashes=128, is_empty=true)"
    assert minhash.standard_error() == pytest.approx(0.0883883, abs=1e-7)


DOCSTRINGS = {
    "add": "Add an item to the MinHash signature.",
    "update": "Add multiple items to the signature, releasing the GIL while hashing.",
    "update_many": "Add multiple items using the optimized batch path.",
    "add_hash": "Add a caller-provided 64-bit hash.",
    "update_hashes": "Add caller-provided 64-bit hashes.",
    "jaccard": "Estimate the Jaccard similarity with another MinHash.\n\n"
               "Returns a value between 0.0 (completely different) and 1.0 (identical).",
    "query": "Query similarity with another MinHash (alias for jaccard).",
    "jaccard_interval": "Approximate normal confidence interval for the Jaccard estimate.",
    "merge": "Merge another MinHash into this one (union of the underlying sets).",
    "copy": "Create a deep copy of this MinHash.",
    "clear": "Clear the signature (reset to initial state).",
    "is_empty": "Check if the signature is empty (no items added).",
    "to_bytes": "Serialize to bytes.",
    "from_bytes": "Deserialize from bytes.",
    "to_json": "Serialize to JSON string.",
    "from_json": "Deserialize from JSON string.",
    "save": "Save the signature to a file.",
    "load": "Load a signature from a file.",
    "num_hashes": "Get the number of hash functions.",
    "size_in_bytes": "Get the memory footprint in bytes.",
    "seed": "Get the seed.",
    "get_signature": "Get the signature as a list of integers.",
    "signature": "Get the signature as a list of integers.",
    "standard_error": "Get the standard error of the Jaccard estimate.",
}


def test_docstrings():
    assert MinHash.__doc__ == (
        "A probabilistic data structure for estimating set similarity using Jaccard index.\n\n"
        "MinHash creates a compact signature of a set that can be used to estimate\n"
        "the Jaccard similarity between sets without storing the actual elements.")
    assert {name: getattr(MinHash, name).__doc__ for name in DOCSTRINGS} == DOCSTRINGS


@pytest.mark.parametrize("num_hashes, seed", [(1, 0), (7, 2**64 - 1), (256, 12345)])
def test_settings_are_kept(num_hashes, seed):
    minhash = MinHash(num_hashes, seed)
    assert (minhash.num_hashes, minhash.seed, minhash.size_in_bytes) == (num_hashes, seed, 8 * num_hashes)
    assert minhash.standard_error() == 1.0 / math.sqrt(num_hashes)
    assert len(minhash.get_signature()) == num_hashes


@pytest.mark.parametrize(
    "kwargs, error, message",
    [
        ({"num_hashes": 0}, ValueError, "num_hashes must be positive"),
        ({"num_hashes": -1}, OverflowError, None),
        ({"num_hashes": 2**64}, OverflowError, None),
        ({"seed": -1}, OverflowError, None),
        ({"num_hashes": None}, TypeError, "argument 'num_hashes': "),
        ({"num_hashes": 1.5}, TypeError, "argument 'num_hashes': "),
        ({"seed": None}, TypeError, "argument 'seed': "),
        ({"seed": "1"}, TypeError, "argument 'seed': "),
        ({"width": 3}, TypeError, "MinHash.__new__() got an unexpected keyword argument 'width'"),
    ],
)
def test_construction_errors(kwargs, error, message):
    with pytest.raises(error) as raised:
        MinHash(**kwargs)
    if message is not None:
        assert str(raised.value).startswith(message)


@pytest.mark.parametrize("num_hashes", [2**50, 2**62, 2**64 - 1])
def test_unallocatable_sizes_fail_cleanly(num_hashes):
    with pytest.raises((MemoryError, ValueError)):
        MinHash(num_hashes=num_hashes)


# ---- Slot hashing ------------------------------------------------------------------

# Every XXH3 length class: 0, 1-3, 4-8, 9-16, 17-128, 129-240, over 240.
LENGTHS = [0, 1, 3, 4, 8, 9, 16, 17, 128, 129, 240, 241, 3000]


@pytest.mark.parametrize("seed", [0, 1, 2**63, MASK, (2**64 - G) & MASK])
def test_each_slot_is_xxh3_with_its_own_seed(seed):
    items = [bytes((i * 37 + n) % 256 for i in range(n)) for n in LENGTHS]
    minhash = MinHash(num_hashes=24, seed=seed)
    minhash.update(items)
    assert minhash.signature() == expected_signature(items, 24, seed)


@pytest.mark.parametrize("seed", [0, 5, MASK])
@pytest.mark.parametrize("values", [[0], [1, 2, 3], [MASK, G, 2**63]])
def test_caller_hashes_are_mixed_per_slot(seed, values):
    minhash = MinHash(num_hashes=16, seed=seed)
    minhash.update_hashes(values)
    assert minhash.signature() == [min(splitmix_finalise(((v ^ s) + G) & MASK) for v in values)
                                   for s in slot_seeds(16, seed)]


@pytest.mark.parametrize("equivalent", [["5", b"5", 5, [53]], ["abc", b"abc", bytearray(b"abc"), [97, 98, 99]],
                                        ["", b"", [], ()]])
def test_items_stand_for_their_bytes(equivalent):
    signatures = set()
    for item in equivalent:
        minhash = MinHash(num_hashes=8)
        minhash.add(item)
        signatures.add(tuple(minhash.signature()))
    assert signatures == {tuple(expected_signature([equivalent[1]], 8, 0))}


def test_caller_hash_is_not_the_item_hash():
    by_item, by_hash = MinHash(num_hashes=32), MinHash(num_hashes=32)
    by_item.add("42")
    by_hash.add_hash(42)
    assert by_item.jaccard(by_hash) == 0.0


def test_single_and_batch_paths_agree():
    items = [f"k{i}" for i in range(300)] + [b"\x00\xff", 3.5, (1, 2)]
    hashes = [i * G & MASK for i in range(len(items))]
    single, batch, many, generated = (MinHash(num_hashes=32, seed=9) for _ in range(4))
    for item, value in zip(items, hashes):
        single.add(item)
        single.add_hash(value)
    batch.update(items)
    many.update_many(items)
    generated.update(item for item in items)
    for target in (batch, many, generated):
        target.update_hashes(hashes)
        assert target.signature() == single.signature()


def test_repeated_items_change_nothing_and_slots_only_decrease():
    minhash = MinHash(num_hashes=64)
    minhash.add("x")
    once = minhash.signature()
    minhash.update(["x", "x"])
    assert minhash.signature() == once
    minhash.add("y")
    assert all(after <= before for after, before in zip(minhash.signature(), once))
    assert repr(minhash) == "MinHash(num_hashes=64, is_empty=false)"


class Unprintable:
    def __str__(self):
        raise KeyError("no text")


@pytest.mark.parametrize(
    "call, error, message",
    [
        (lambda m: m.update(["a", Unprintable()]), KeyError, None),
        (lambda m: m.update_many(["a", Unprintable()]), KeyError, None),
        (lambda m: m.update(5), TypeError, None),
        (lambda m: m.update_hashes([1, -1]), OverflowError, None),
        (lambda m: m.update_hashes([1, 2**64]), OverflowError, None),
        (lambda m: m.update_hashes([1, 1.0]), TypeError, "argument 'hashes': "),
        (lambda m: m.update_hashes("12"), TypeError, "argument 'hashes': Can't extract `str` to `Vec`"),
        (lambda m: m.update_hashes(i for i in range(3)),
         TypeError, "argument 'hashes': 'generator' object cannot be converted to 'Sequence'"),
        (lambda m: m.add_hash(-1), OverflowError, None),
        (lambda m: m.add_hash(1.0), TypeError, "argument 'hash': "),
        (lambda m: m.add(Unprintable()), KeyError, None),
    ],
)
def test_conversion_errors_change_nothing(call, error, message):
    minhash = MinHash(num_hashes=16)
    with pytest.raises(error) as raised:
        call(minhash)
    if message is not None:
        assert str(raised.value).startswith(message)
    assert minhash.is_empty()


# ---- Estimates ---------------------------------------------------------------------


def test_empty_and_identical_signatures_compare_as_one():
    a, b = MinHash(), MinHash()
    assert a.jaccard(b) == a.query(b) == 1.0
    assert a.jaccard_interval(b) == (1.0, 1.0)
    a.update(["x", "y"])
    assert a.jaccard(a) == a.jaccard(a.copy()) == 1.0
    assert a.jaccard(b) == 0.0


@pytest.mark.parametrize("true_jaccard", [0.0, 0.1, 0.5, 0.9, 1.0])
def test_estimate_is_near_the_exact_jaccard(true_jaccard):
    # Two sets of 2000 items sharing `shared` of them: J = shared / (4000 - shared).
    shared = round(4000 * true_jaccard / (1 + true_jaccard))
    left = [f"item-{i}" for i in range(2000)]
    right = [f"item-{i}" for i in range(2000 - shared, 4000 - shared)]
    exact = shared / (4000 - shared)
    a, b = built(left, 256, 3), built(right, 256, 3)
    # The outcome is fixed by the seed; four standard errors leave ample room.
    assert abs(a.jaccard(b) - exact) < 4 * a.standard_error()
    low, high = a.jaccard_interval(b, 0.99)
    assert low <= a.jaccard(b) <= high


def jaccard_of_half():
    """Two 4-slot signatures equal in exactly two slots: J = 0.5."""
    a = MinHash.from_json(record_json([1, 2, 3, 4]))
    b = MinHash.from_json(record_json([1, 2, 0, 0]))
    return a, b


@pytest.mark.parametrize(
    "confidence, z",
    [(0.80, 1.281552), (0.90, 1.644854), (0.95, 1.959964), (0.99, 2.575829), (1 - 0.05, 1.959964),
     (0.95 + 2**-54, 1.959964)],
)
def test_interval_margin(confidence, z):
    a, b = jaccard_of_half()
    assert a.jaccard(b) == 0.5
    low, high = a.jaccard_interval(b, confidence)
    assert low == pytest.approx(max(0.5 - z * 0.25, 0.0))
    assert high == pytest.approx(min(0.5 + z * 0.25, 1.0))


def test_interval_default_confidence_is_95_percent():
    a, b = jaccard_of_half()
    assert a.jaccard_interval(b) == a.jaccard_interval(b, confidence=0.95) == a.jaccard_interval(b, 0.95)


@pytest.mark.parametrize("confidence", [0.5, 0.951, 0.95 + 2**-50, 0, 1, math.nan, math.inf])
def test_unsupported_confidence(confidence):
    a, b = jaccard_of_half()
    with pytest.raises(ValueError) as raised:
        a.jaccard_interval(b, confidence)
    assert str(raised.value) == CONFIDENCE_MESSAGE


def test_confidence_of_the_wrong_type():
    with pytest.raises(TypeError) as raised:
        MinHash().jaccard_interval(MinHash(), "0.95")
    assert str(raised.value).startswith("argument 'confidence': ")


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


@pytest.mark.parametrize("mine, theirs, detail", MISMATCHES)
def test_merge_mismatch_changes_nothing(mine, theirs, detail):
    minhash, other = MinHash(*mine), MinHash(*theirs)
    minhash.add("kept")
    before = minhash.to_bytes()
    for combine in (minhash.merge, minhash.__ior__, minhash.__or__):
        with pytest.raises(ValueError) as raised:
            combine(other)
        assert str(raised.value) == "Cannot merge: " + detail
    assert minhash.to_bytes() == before


# ---- Merging, copying, clearing ----------------------------------------------------------


def test_merge_and_union_operators():
    a, b = built(["a", "shared"], 32), built(["b", "shared"], 32)
    union = a | b
    assert union.signature() == built(["a", "b", "shared"], 32).signature()
    assert a.signature() == built(["a", "shared"], 32).signature()
    target = a
    a |= b
    assert a is target and a.signature() == union.signature()
    b.merge(a)
    assert b.signature() == union.signature()


def test_self_merge_and_self_operators():
    minhash = built(["x"], 16)
    with pytest.raises(RuntimeError) as raised:
        minhash.merge(minhash)
    assert str(raised.value) == "Already mutably borrowed"
    assert (minhash | minhash).signature() == minhash.signature()
    original = minhash
    minhash |= minhash
    assert minhash is not original and minhash.signature() == original.signature()


def merge_in_place_with_five(minhash):
    minhash |= 5


@pytest.mark.parametrize("operation", [lambda m: m | 5, lambda m: 5 | m, merge_in_place_with_five])
def test_operators_with_other_types(operation):
    with pytest.raises(TypeError, match="unsupported operand"):
        operation(MinHash())


@pytest.mark.parametrize("method", ["jaccard", "query", "jaccard_interval", "merge"])
@pytest.mark.parametrize("other", [5, BloomFilter(num_bits=64)])
def test_other_must_be_a_minhash(method, other):
    with pytest.raises(TypeError) as raised:
        getattr(MinHash(), method)(other)
    assert str(raised.value) == f"argument 'other': '{type(other).__name__}' object cannot be converted to 'MinHash'"


def test_no_len_and_no_membership():
    minhash = built(["x"])
    with pytest.raises(TypeError):
        len(minhash)
    with pytest.raises(TypeError):
        "x" in minhash


def test_copy_and_signature_lists_are_independent():
    minhash = built(["x"], 8)
    copy = minhash.copy()
    copy.add("y")
    listed = minhash.signature()
    listed[0] = 0
    assert minhash.signature() == minhash.get_signature() == built(["x"], 8).signature()
    assert copy.signature() == built(["x", "y"], 8).signature()


def test_clear_returns_to_empty_and_keeps_settings():
    minhash = built(["x", "y"], 8, seed=4)
    minhash.clear()
    assert minhash.is_empty() and (minhash.num_hashes, minhash.seed) == (8, 4)
    assert minhash.to_bytes() == MinHash(8, 4).to_bytes()


def test_batch_update_keeps_the_object_borrowed():
    """While another thread runs update, every call on the object fails at once."""
    busy, free = MinHash(num_hashes=256), MinHash(num_hashes=256)
    items = [f"item-{i}" for i in range(200_000)]
    worker = threading.Thread(target=busy.update, args=(items,))
    seen = set()
    worker.start()
    while worker.is_alive():
        for probe, name in ((lambda: busy.jaccard(free), "read"), (lambda: busy.add("x"), "write")):
            try:
                probe()
            except RuntimeError as error:
                seen.add((name, str(error)))
        free.add("meanwhile")
    worker.join()
    assert seen <= {("read", "Already mutably borrowed"), ("write", "Already borrowed")}
    assert seen, "the update finished before any probe ran"
    assert not free.is_empty()


# ---- Serialised forms ------------------------------------------------------------------


@pytest.mark.parametrize("num_hashes", [1, 2, 128, 1000])
def test_binary_layout(num_hashes):
    minhash = built(["a", "b"], num_hashes, seed=77)
    data = minhash.to_bytes()
    assert len(data) == 21 + 25 + 8 * num_hashes
    assert data == envelope(payload(minhash.signature(), seed=77))


def test_default_object_is_written_as_1070_bytes():
    assert len(MinHash().to_bytes()) == 1070


def test_json_text_of_a_two_slot_object():
    text = MinHash(num_hashes=2).to_json()
    assert text == ('{\n  "version": 2,\n  "signature": [\n    18446744073709551615,\n'
                    '    18446744073709551615\n  ],\n  "num_hashes": 2,\n  "seed": 0\n}')
    assert MinHash.from_json(text).is_empty()


@pytest.mark.parametrize(
    "text",
    [
        '{"seed": 3, "num_hashes": 2, "signature": [5, 6], "version": 2}',
        '{"note": {"any": [1, "x"]}, "version": 2, "signature": [5, 6], "num_hashes": 2, "seed": 3}',
        "[2, [5, 6], 2, 3]",
    ],
)
def test_json_forms_accepted(text):
    minhash = MinHash.from_json(text)
    assert (minhash.signature(), minhash.num_hashes, minhash.seed) == ([5, 6], 2, 3)


@pytest.mark.parametrize(
    "text, message",
    [
        (record_json([EMPTY], version=1), "Unsupported MinHash data version"),
        (record_json([EMPTY], version=3), "Unsupported MinHash data version"),
        (record_json([EMPTY], version=None), "Unsupported MinHash data version"),
        (record_json([], num_hashes=0), "num_hashes must be positive"),
        (record_json([1], num_hashes=0), "num_hashes must be positive"),
        (record_json([1, 2, 3], num_hashes=4), "signature length does not match num_hashes"),
        ('{"version": 2, "signature": [1], "num_hashes": 1}', "Deserialization error: missing field `seed` at line 1"),
        ('{"version": 2, "signature": [1], "signature": [1], "num_hashes": 1, "seed": 0}',
         "Deserialization error: duplicate field `signature` at line 1"),
        (record_json([2**64]),
         "Deserialization error: invalid type: floating point `18446744073709552000.0`, expected u64"),
        (record_json([-1]), "Deserialization error: invalid value: integer `-1`, expected u64"),
        (record_json([1], version=256), "Deserialization error: invalid value: integer `256`, expected u8"),
        ("[2, [1], 1]", "Deserialization error: invalid length 3, expected struct MinHashData with 4 elements"),
        ("", "Deserialization error: EOF while parsing a value at line 1 column 0"),
    ],
)
def test_json_refused(text, message):
    with pytest.raises(ValueError) as raised:
        MinHash.from_json(text)
    assert str(raised.value).startswith(message)


@pytest.mark.parametrize(
    "data, message",
    [
        (envelope(payload([EMPTY], version=1)), "Unsupported MinHash data version"),
        (envelope(payload([], num_hashes=0)), "num_hashes must be positive"),
        (envelope(payload([1, 2, 3], num_hashes=4)), "signature length does not match num_hashes"),
        (envelope(payload([1, 2])[:-3]), "Deserialization error: io error: unexpected end of file"),
        # A slot count far beyond the bytes that follow fails without allocating it.
        (envelope(b"\x02" + struct.pack("<Q", 2**61)), "Deserialization error: io error: unexpected end of file"),
        (envelope(payload([1]), version=2), "unsupported binary format version: 2 (expected 1)"),
        (BloomFilter(num_bits=64).to_bytes(), "invalid Velt binary format"),
        (MinHash().to_bytes()[:-1] + b"\x01", "binary payload checksum mismatch"),
        (MinHash().to_bytes() + b"\x00", "binary payload length does not match header"),
    ],
)
def test_binary_refused(data, message):
    with pytest.raises(ValueError) as raised:
        MinHash.from_bytes(data)
    assert str(raised.value) == message


def test_bytes_after_the_seed_are_ignored_and_slots_are_not_checked():
    minhash = MinHash.from_bytes(envelope(payload([0, 7, EMPTY], seed=5) + b"extra"))
    assert (minhash.signature(), minhash.seed) == ([0, 7, EMPTY], 5)


def test_files(tmp_path):
    minhash = built(["a", "b", "c"], 40, seed=8)
    path = str(tmp_path / "signature.velt")
    minhash.save(path)
    with open(path, "rb") as saved:
        assert saved.read() == minhash.to_bytes()
    assert MinHash.load(path).signature() == minhash.signature()
    with pytest.raises(ValueError, match="^Cannot open file: No such file or directory"):
        MinHash.load(str(tmp_path / "missing"))
    with pytest.raises(ValueError, match="^Cannot create file: No such file or directory"):
        minhash.save(str(tmp_path / "no" / "such" / "dir"))


# ---- Laws ----------------------------------------------------------------------------

streams = st.lists(st.one_of(st.text(max_size=12), st.binary(max_size=300), st.integers()), max_size=40)
hash_streams = st.lists(st.integers(0, MASK), max_size=20)
settings_ = st.tuples(st.integers(1, 48), st.integers(0, MASK))


@settings(max_examples=60, deadline=None)
@given(settings_, streams, streams, hash_streams)
def test_merge_equals_the_signature_of_the_concatenated_stream(config, left, right, hashes):
    a, b, whole = (MinHash(*config) for _ in range(3))
    a.update(left)
    b.update(right)
    b.update_hashes(hashes)
    whole.update(left + right)
    whole.update_hashes(hashes)
    assert (a | b).signature() == whole.signature()
    a.merge(b)
    assert a.to_bytes() == whole.to_bytes()


@settings(max_examples=60, deadline=None)
@given(settings_, streams)
def test_round_trips_are_exact(config, contents):
    minhash = MinHash(*config)
    minhash.update(contents)
    for copy in (MinHash.from_bytes(minhash.to_bytes()), MinHash.from_json(minhash.to_json())):
        assert copy.to_bytes() == minhash.to_bytes()
        assert copy.jaccard(minhash) == 1.0
        assert repr(copy) == repr(minhash)
    assert MinHash.from_json(minhash.to_json()).to_json() == minhash.to_json()
