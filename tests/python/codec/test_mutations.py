"""Thousands of random edits of the binary forms of every class, rewrapped in an envelope
with the right length and checksum so that they reach the record decoder. Every edit is
either refused with a ValueError in one of the system's forms, or gives a whole object:
it round-trips exactly and its methods work. (The fuzz targets edit the JSON texts.)"""

import os
import random
import re


from helpers import HEADER_SIZE, MASK, envelope, every_kind

EDITS = 500 if "asan" in os.environ.get("LD_PRELOAD", "") else 3000
ITEMS = [f"item-{i}" for i in range(60)]

# Never a bare C++ text such as "vector::reserve" or "std::bad_alloc".
SYSTEM_MESSAGES = re.compile(
    r"invalid Velt binary format|unsupported binary format version: \d+ \(expected \d\)|Deserialization error: .+"
    r"|Unsupported [A-Za-z -]+ data version|(Invalid (Scalable Bloom filter|Cuckoo filter|HyperLogLog): )?[a-z][a-z0-9_ -]*"
)
NUMBERS = [0, 1, 2, 3, 4, 7, 8, 64, 255, 256, 2**16, 2**31, 2**32 - 1, 2**32, 2**63, MASK]


def edit_binary(rng, data):
    if rng.random() < 0.05:  # the header itself, left unrepaired
        at = rng.randrange(HEADER_SIZE)
        return data[:at] + bytes([rng.getrandbits(8)]) + data[at + 1 :]
    payload = data[HEADER_SIZE:]
    at = rng.randrange(len(payload) + 1)
    width = rng.choice([1, 2, 4, 8])  # a length or count field set to a value at its type's limits
    field = (rng.choice(NUMBERS + [rng.getrandbits(64)]) % 2 ** (8 * width)).to_bytes(width, "little")
    start = min(at, max(len(payload) - width, 0))
    edits = [
        lambda: payload[:at] + bytes([rng.getrandbits(8)]) + payload[at + 1 :],
        lambda: payload[:at],
        lambda: payload + rng.randbytes(rng.randint(1, 16)),
        lambda: payload[:at] + payload[at + rng.randint(1, 16) :],
        lambda: payload[:at] + rng.randbytes(rng.randint(1, 16)) + payload[at:],
        lambda: payload[:start] + field + payload[start + width :],
    ]
    return envelope(rng.choice(edits)(), data)


def check_whole(kind, obj):
    data = obj.to_bytes()
    assert kind.cls.from_bytes(data).to_bytes() == data
    assert kind.cls.from_json(obj.to_json()).to_bytes() == data
    repr(obj)
    if kind.sized:
        try:
            len(obj)
        except OverflowError:  # counts are 64-bit; len() stops at 2**63 - 1
            assert kind.name in ("BloomFilter", "CountingBloomFilter", "ScalableBloomFilter", "CountMinSketch")
    copy = obj.copy()
    # A Bloom-family record may legitimately ask for billions of positions per item.
    if max(map(int, re.findall(r'"num_hashes": (\d+)', obj.to_json())), default=0) <= 1000:
        try:
            copy.update(ITEMS[:5])
            if kind.merge_fields:
                copy.merge(obj)
        except OverflowError:  # counters edited to their limit refuse more
            assert kind.name == "CountingBloomFilter"
        except MemoryError:  # growth settings edited to ask for a slice no machine holds
            assert kind.name == "ScalableBloomFilter"
    if hasattr(obj, "query_many"):
        obj.query_many(ITEMS)
    elif hasattr(obj, "cardinality"):
        obj.cardinality()
    else:
        obj.jaccard(obj)
    assert obj.to_bytes() == data


@every_kind
def test_edited_forms_are_refused_or_whole(kind):
    rng = random.Random(kind.name)
    originals = [kind.make().to_bytes(), kind.filled().to_bytes()]
    tally = {"refused": 0, "accepted": 0}
    for _ in range(EDITS):
        edited = edit_binary(rng, rng.choice(originals))
        try:
            obj = kind.cls.from_bytes(edited)
        except ValueError as error:
            assert SYSTEM_MESSAGES.fullmatch(str(error)), (str(error), edited)
            tally["refused"] += 1
            continue
        try:
            check_whole(kind, obj)
        except Exception:
            print(f"edited form: {edited!r}")
            raise
        tally["accepted"] += 1
    # Edits must reach past the envelope and the parser: some records come through whole.
    assert tally["accepted"] > 0 and tally["refused"] > 0, tally
