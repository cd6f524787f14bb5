"""Thousands of random edits of valid binary forms and JSON texts of every class.

The binary edits are rewrapped in an envelope with the right length and checksum,
so that they reach the record decoder and validation. Every edit either is refused
with a ValueError carrying one of the system's messages, or gives an object that is
whole: it round-trips exactly through both forms and its methods work."""

import json
import os
import random
import re

import pytest

from velt import (
    BloomFilter,
    CountingBloomFilter,
    CountMinSketch,
    CuckooFilter,
    HyperLogLog,
    MinHash,
    ScalableBloomFilter,
    TopK,
)
from envelope import HEADER_SIZE, envelope

# Sanitized builds run several times slower.
EDITS = 500 if "asan" in os.environ.get("LD_PRELOAD", "") else 3000

ITEMS = [f"item-{i}" for i in range(60)]


def filled(obj, items=ITEMS):
    obj.update(items)
    return obj


# Small objects, empty and filled, so that edits often hit a field that matters.
SAMPLES = {
    BloomFilter: lambda: [
        BloomFilter(num_bits=100, num_hashes=3),
        filled(BloomFilter(num_bits=200, num_hashes=3, seed=9)),
    ],
    CountingBloomFilter: lambda: [
        CountingBloomFilter(num_counters=50, num_hashes=2),
        filled(CountingBloomFilter(num_counters=120, num_hashes=3, seed=9)),
    ],
    # Eight items a slice: the filled one has a chain of several slices.
    ScalableBloomFilter: lambda: [
        ScalableBloomFilter(initial_capacity=8),
        filled(ScalableBloomFilter(initial_capacity=8, seed=9)),
    ],
    CuckooFilter: lambda: [CuckooFilter(capacity=8), filled(CuckooFilter(capacity=40, seed=9))],
    HyperLogLog: lambda: [HyperLogLog(precision=4), filled(HyperLogLog(precision=5, seed=9))],
    CountMinSketch: lambda: [CountMinSketch(width=5, depth=2), filled(CountMinSketch(width=9, depth=3, seed=9))],
    MinHash: lambda: [MinHash(num_hashes=4), filled(MinHash(num_hashes=12, seed=9))],
    TopK: lambda: [TopK(k=3), filled(TopK(k=5), ITEMS[:7] * 3 + ITEMS)],
}

# Whatever an edit does, a refusal says it in one of the system's forms: the
# envelope's messages, the decoder's, or a validation sentence in plain words
# (never a bare C++ text such as "vector::reserve" or "std::bad_alloc").
SYSTEM_MESSAGES = re.compile(
    "|".join(
        [
            r"invalid Velt binary format",
            r"unsupported binary format version: \d+ \(expected \d\)",
            r"Deserialization error: .+",
            r"Unsupported [A-Za-z -]+ data version",
            r"(Invalid (Scalable Bloom filter|Cuckoo filter|HyperLogLog): )?[a-z][a-z0-9_ -]*",
        ]
    )
)

INTERESTING_INTEGERS = [0, 1, 2, 3, 4, 7, 8, 64, 255, 256, 2**16, 2**31, 2**32 - 1, 2**32, 2**63, 2**64 - 1]


def interesting_integer(rng):
    return rng.choice(INTERESTING_INTEGERS + [rng.getrandbits(64), rng.getrandbits(8)])


# ---- Binary edits ---------------------------------------------------------------------


def overwrite(data, at, replacement):
    return data[:at] + replacement + data[at + len(replacement) :]


def edit_payload(rng, payload):
    at = rng.randrange(len(payload) + 1)
    byte = payload[at] if at < len(payload) else 0
    # Length and count fields: a u8, u16, u32 or u64 set to a value at its type's limits.
    width = rng.choice([1, 2, 4, 8])
    field = (interesting_integer(rng) % 2 ** (8 * width)).to_bytes(width, "little")
    edits = [
        lambda: overwrite(payload, at, bytes([byte ^ (1 << rng.randrange(8))])),
        lambda: overwrite(payload, at, bytes([rng.getrandbits(8)])),
        lambda: payload[:at],
        lambda: payload + rng.randbytes(rng.randint(1, 16)),
        lambda: payload[:at] + payload[at + rng.randint(1, 16) :],
        lambda: payload[:at] + rng.randbytes(rng.randint(1, 16)) + payload[at:],
        lambda: overwrite(payload, min(at, max(len(payload) - width, 0)), field),
    ]
    return rng.choice(edits)()


def edit_binary(rng, data):
    header, payload = data[:HEADER_SIZE], data[HEADER_SIZE:]
    if rng.random() < 0.05:
        # A few edits of the header itself, left unrepaired: the envelope refuses them.
        at = rng.randrange(HEADER_SIZE)
        return overwrite(data, at, bytes([rng.getrandbits(8)]))
    return envelope(edit_payload(rng, payload), header)


# ---- JSON edits -----------------------------------------------------------------------
# Half the edits work on the parsed text, held as lists so that an edit can repeat
# a key, then written back compactly; the other half change characters and numbers.


class Member(list):
    """One key and value of a JSON object."""


class JsonObject(list):
    """A JSON object as a list of members, so that keys may repeat."""


def to_tree(value):
    if isinstance(value, dict):
        return JsonObject(Member([key, to_tree(item)]) for key, item in value.items())
    if isinstance(value, list):
        return [to_tree(item) for item in value]
    return value


def dump(value):
    if isinstance(value, JsonObject):
        return "{" + ",".join(json.dumps(key) + ":" + dump(item) for key, item in value) + "}"
    if isinstance(value, list):
        return "[" + ",".join(dump(item) for item in value) + "]"
    return json.dumps(value)


def containers(value, found):
    if isinstance(value, list):
        found.append(value)
        for item in value:
            containers(item[1] if isinstance(item, Member) else item, found)
    return found


def other_value(rng):
    return rng.choice(
        [None, True, "7", -1, 1.5, 1e300, 0, 255, 256, 2**32, 2**63, 2**64 - 1, 2**64, rng.getrandbits(64)]
        + [[], [0], JsonObject()]
    )


def edit_tree(rng, tree):
    target = rng.choice(containers(tree, []))
    if not target:
        target.append(Member(["extra", 1]) if isinstance(target, JsonObject) else other_value(rng))
        return
    at = rng.randrange(len(target))
    edit = rng.randrange(4)
    if edit == 0:
        del target[at]
    elif edit == 1:
        target.insert(rng.randrange(len(target) + 1), target[at])
    elif isinstance(target, JsonObject):
        target[at] = Member([target[at][0], other_value(rng)])
    else:
        target[at] = other_value(rng)


def edit_json(rng, text):
    if rng.random() < 0.5:
        tree = to_tree(json.loads(text))
        edit_tree(rng, tree)
        return dump(tree)
    at = rng.randrange(len(text) + 1)
    numbers = [m.span() for m in re.finditer(r"-?\d+(\.\d+)?([eE][-+]?\d+)?", text)]
    if numbers and rng.random() < 0.5:
        start, end = rng.choice(numbers)
        replacement = rng.choice(["-1", "0", "1.5", "1e400", "-0", str(2**64), str(2**64 - 1), "4294967296", "0.0"])
        return text[:start] + replacement + text[end:]
    character = rng.choice('{}[]",:0123456789-.eE \n\\tfnu')
    inserted = text[:at] + character + text[at:]
    replaced = text[:at] + character + text[at + 1 :]
    deleted = text[:at] + text[at + 1 :]
    return rng.choice([inserted, replaced, deleted])


# ---- The checks -----------------------------------------------------------------------


def largest_num_hashes(value):
    if isinstance(value, dict):
        own = value.get("num_hashes", 0) if isinstance(value.get("num_hashes"), int) else 0
        return max([own] + [largest_num_hashes(item) for item in value.values()])
    if isinstance(value, list):
        return max((largest_num_hashes(item) for item in value), default=0)
    return 0


def check_whole(cls, obj):
    """A decoded object must round-trip exactly and answer its methods."""
    data = obj.to_bytes()
    assert cls.from_bytes(data).to_bytes() == data
    assert cls.from_json(obj.to_json()).to_bytes() == data
    repr(obj)
    if cls is not MinHash:
        try:
            len(obj)
        except OverflowError:
            # Counts are 64-bit; len() stops at 2**63 - 1.
            assert cls in (BloomFilter, CountingBloomFilter, ScalableBloomFilter, CountMinSketch)
    copy = obj.copy()
    assert copy.to_bytes() == data
    # A Bloom-family record may legitimately ask for billions of positions per item.
    if largest_num_hashes(json.loads(obj.to_json())) > 1000:
        return
    try:
        copy.update(ITEMS[:5])
        if hasattr(copy, "merge"):
            copy.merge(obj)
    except OverflowError as error:
        # A counting filter whose counters were edited to their limit refuses more.
        assert cls is CountingBloomFilter, error
    except MemoryError:
        # A chain whose growth settings were edited may ask for a slice no machine holds.
        assert cls is ScalableBloomFilter
    if cls is HyperLogLog:
        obj.cardinality()
    elif cls is MinHash:
        obj.jaccard(obj)
    else:
        obj.query_many(ITEMS)
    assert obj.to_bytes() == data


def outcome(cls, decode, data):
    try:
        obj = decode(data)
    except ValueError as error:
        assert SYSTEM_MESSAGES.fullmatch(str(error)), str(error)
        return "refused"
    check_whole(cls, obj)
    return "accepted"


@pytest.mark.parametrize("cls", list(SAMPLES), ids=lambda cls: cls.__name__)
@pytest.mark.parametrize("form", ["binary", "json"])
def test_edited_forms_are_refused_or_whole(cls, form):
    rng = random.Random(f"{cls.__name__}-{form}")
    if form == "binary":
        originals, edit, decode = [obj.to_bytes() for obj in SAMPLES[cls]()], edit_binary, cls.from_bytes
    else:
        originals, edit, decode = [obj.to_json() for obj in SAMPLES[cls]()], edit_json, cls.from_json
    tally = {"refused": 0, "accepted": 0}
    for _ in range(EDITS):
        edited = edit(rng, rng.choice(originals))
        try:
            tally[outcome(cls, decode, edited)] += 1
        except Exception:
            print(f"edited form: {edited!r}")  # shown with the failure
            raise
    print(f"{cls.__name__} {form}: {tally}")
    # Edits must reach past the envelope and the parser: some records come through whole.
    assert tally["accepted"] > 0 and tally["refused"] > 0
