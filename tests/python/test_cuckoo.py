"""CuckooFilter: placement checked against xxhash and an independent SplitMix, the
capacity gate, relocation and its undo, deletion, and the serialised forms."""

import json
import struct
import threading
from collections import Counter

import pytest
import xxhash
from hypothesis import given, settings
from hypothesis import strategies as st

from velt import CuckooFilter

GOLDEN = 0x9E3779B97F4A7C15
ALTERNATE_SEED = 0xD6E8FEB86659FD93
MASK64 = 2**64 - 1


# ---- Independent references --------------------------------------------------------


def splitmix_mix(hash_value, seed):
    z = ((hash_value ^ seed) + GOLDEN) & MASK64
    z = ((z ^ (z >> 30)) * 0xBF58476D1CE4E5B9) & MASK64
    z = ((z ^ (z >> 27)) * 0x94D049BB133111EB) & MASK64
    return z ^ (z >> 31)


def placement(fingerprint_hash, index_hash, num_buckets):
    return (fingerprint_hash & 0xFFFF) or 1, index_hash & (num_buckets - 1)


def item_placement(item, seed, num_buckets):
    return placement(xxhash.xxh3_64_intdigest(item, seed ^ GOLDEN), xxhash.xxh3_64_intdigest(item, seed), num_buckets)


def hash_placement(hash_value, seed, num_buckets):
    return placement(splitmix_mix(hash_value, seed ^ GOLDEN), splitmix_mix(hash_value, seed), num_buckets)


def alternate(bucket, fingerprint, seed, num_buckets):
    return bucket ^ (xxhash.xxh3_64_intdigest(fingerprint.to_bytes(2, "little"), seed ^ ALTERNATE_SEED) & (num_buckets - 1))


def record(buckets, **fields):
    """The JSON text of a record holding these buckets (lists of four slots)."""
    data = {"version": 2, "buckets": [{"fingerprints": b} for b in buckets], "num_buckets": len(buckets),
            "count": sum(slot != 0 for b in buckets for slot in b), "seed": 0}
    data.update(fields)
    return json.dumps({key: value for key, value in data.items() if value is not None})


def empty(num_buckets, seed=0):
    """A filter whose capacity is every slot (left out of its record), so relocations can fail."""
    return CuckooFilter.from_json(record([[0] * 4] * num_buckets, seed=seed))


def envelope(payload, magic=b"VTCF", version=1):
    checksum = xxhash.xxh3_64_intdigest(payload, 0x56454C54534B4554)
    return magic + bytes([version]) + struct.pack("<QQ", len(payload), checksum) + payload


def buckets_of(f):
    return [bucket["fingerprints"] for bucket in json.loads(f.to_json())["buckets"]]


# ---- Construction and the capacity gate ------------------------------------------------


@pytest.mark.parametrize(
    "capacity, num_buckets, written",  # room for capacity in 95% of the slots, in a power of two of buckets
    [(1, 2, 79), (4, 2, 79), (8, 4, 95), (972, 256, 2111), (976, 512, 4159), (1000, 512, 4159)],
)
def test_sizes(capacity, num_buckets, written):
    f = CuckooFilter(capacity, seed=9)
    assert (f.capacity(), f.seed, f.size_in_bytes, len(f)) == (capacity, 9, 8 * num_buckets, 0)
    assert len(buckets_of(f)) == num_buckets and len(f.to_bytes()) == written
    assert repr(f) == str(f) == f"CuckooFilter(capacity={capacity}, count=0, load_factor=0.00%)"


@pytest.mark.parametrize(
    "args, error, message",  # a tuple is passed by position, a dict by keyword
    [
        ((0,), ValueError, "capacity must be positive"),
        ((), TypeError, "CuckooFilter.__new__() missing 1 required positional argument: 'capacity'"),
        ({"capacity": None}, TypeError, "argument 'capacity': "),
        ((2**64 - 1,), MemoryError, None),
    ],
)
def test_construction_errors(args, error, message):
    with pytest.raises(error) as raised:
        CuckooFilter(*args) if isinstance(args, tuple) else CuckooFilter(**args)
    assert message is None or str(raised.value).startswith(message)


@pytest.mark.parametrize("capacity", [1, 1000])
def test_a_full_filter_refuses_every_insertion(capacity):
    f = CuckooFilter(capacity)
    assert f.update(range(capacity)) == capacity and f.health() == "saturated"
    assert (f.add("one more"), f.add_hash(5), f.update(["a", "b"]), f.update_hashes([1, 2])) == (False, False, 0, 0)
    assert len(f) == capacity and all(f.query_many(range(capacity)))
    # CuckooFilter(1) refuses a second item although seven of its eight slots are empty.
    assert sum(slot == 0 for bucket in buckets_of(f) for slot in bucket) == 4 * len(buckets_of(f)) - capacity


def test_health_follows_the_load_factor():
    f = CuckooFilter(100)
    for added, load, health in [(84, 0.84, "healthy"), (1, 0.85, "warning"), (9, 0.94, "warning"),
                                (1, 0.95, "saturated"), (5, 1.0, "saturated")]:
        start = len(f)
        assert f.update(f"item-{start + i}" for i in range(added)) == added
        assert (f.load_factor, f.health()) == (load, health)
    assert f.add("one too many") is False and repr(f) == "CuckooFilter(capacity=100, count=100, load_factor=100.00%)"
    f.clear()
    assert (len(f), f.health(), f.capacity(), buckets_of(f)) == (0, "healthy", 100, [[0] * 4] * 32)


# ---- Placement ------------------------------------------------------------------------


@pytest.mark.parametrize("seed", [0, 12345, 2**64 - 1])
def test_items_and_hashes_land_where_their_hashes_say(seed):
    f = CuckooFilter(4000, seed=seed)  # 2048 buckets: at this load no relocation is needed
    items, hashes = [f"item-{i}".encode() for i in range(300)], [i * 0x100000001 for i in range(300)]
    assert f.update(items) == f.update_hashes(hashes) == 300
    expected = [[0] * 4 for _ in range(2048)]
    for fingerprint, first in [item_placement(x, seed, 2048) for x in items] + [hash_placement(h, seed, 2048) for h in hashes]:
        bucket = next(b for b in (first, alternate(first, fingerprint, seed, 2048)) if 0 in expected[b])
        expected[bucket][expected[bucket].index(0)] = fingerprint
    assert buckets_of(f) == expected
    assert f.query_many(items) == f.query_hashes(hashes) == [True] * 300
    assert all(f.contains(x) and f.query(x) and x in f for x in items) and all(map(f.contains_hash, hashes))


def test_a_fingerprint_hash_ending_in_sixteen_zero_bits_is_stored_as_one():
    item = b"zero-80162"
    assert xxhash.xxh3_64_intdigest(item, GOLDEN) & 0xFFFF == 0
    f = CuckooFilter(8)
    f.add(item)
    assert 1 in [slot for bucket in buckets_of(f) for slot in bucket] and item in f


def test_copies_of_one_item_are_removed_one_at_a_time():
    f = CuckooFilter(3)
    assert f.add("twice") and f.add(b"twice") and len(f) == 2
    assert repr(f) == "CuckooFilter(capacity=3, count=2, load_factor=66.67%)"
    assert f.remove("twice") is True and "twice" in f
    assert repr(f) == "CuckooFilter(capacity=3, count=1, load_factor=33.33%)"
    assert f.remove("twice") is True and "twice" not in f and len(f) == 0
    assert f.remove("twice") is False


def test_a_failed_relocation_leaves_the_filter_unchanged():
    # Every bucket of a nearly full filter holds fingerprints whose alternate bucket is
    # their own, so kicks from a full bucket can never leave it: 500 kicks, then undo.
    stuck = [fp for fp in range(1, 400) if alternate(0, fp, 0, 8) == 0]
    buckets = [stuck[4 * b: 4 * b + 4] for b in range(8)]
    buckets[5][3] = 0
    f = CuckooFilter.from_json(record(buckets))
    before = f.to_bytes()
    probe = next(x for x in (f"probe-{i}".encode() for i in range(10000))
                 if (p := item_placement(x, 0, 8))[1] != 5 and alternate(p[1], p[0], 0, 8) == p[1])
    assert (f.add(probe), f.update([probe] * 3), len(f), f.capacity()) == (False, 0, 31, 32)
    assert f.to_bytes() == before
    lands_in_five = next(x for x in (f"lands-{i}".encode() for i in range(10000)) if item_placement(x, 0, 8)[1] == 5)
    assert f.add(lands_in_five) and len(f) == 32


def test_each_thread_seeds_its_own_relocations():
    # The same fill needs many relocations; a generator seeded alike in every thread
    # would give every thread the same layout.
    layouts = [None] * 4

    def fill(index):
        f = empty(16)
        f.update(f"item-{i}" for i in range(64))
        layouts[index] = f.to_bytes()

    threads = [threading.Thread(target=fill, args=(i,)) for i in range(4)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert len(set(layouts)) > 1


# ---- Serialised forms -------------------------------------------------------------------


def test_json_and_binary_layout_of_capacity_one():
    f = CuckooFilter(1, seed=0x0102030405060708)
    assert f.to_json() == (
        '{\n  "version": 2,\n  "buckets": [\n'
        + ",\n".join(['    {\n      "fingerprints": [\n' + ",\n".join(["        0"] * 4) + "\n      ]\n    }"] * 2)
        + '\n  ],\n  "num_buckets": 2,\n  "capacity": 1,\n  "count": 0,\n  "seed": 72623859790382856\n}'
    )
    f.add_hash(7)
    fingerprint, first = hash_placement(7, f.seed, 2)
    data = f.to_bytes()
    assert len(data) == 79 and data[:5] == b"VTCF\x01"
    payload = data[21:]
    slots = struct.unpack_from("<BQ8H", payload)
    assert slots[:2] == (2, 2) and slots[2 + 4 * first] == fingerprint and sum(map(bool, slots[2:])) == 1
    assert struct.unpack_from("<QBQQQ", payload, 25) == (2, 1, 1, 1, f.seed)
    # A record without its capacity (tag 0) holds every slot; bytes after it are ignored.
    without = payload[:33] + b"\x00" + payload[-16:] + b"extra"
    assert CuckooFilter.from_bytes(envelope(without)).capacity() == 8


@pytest.mark.parametrize(
    "text, message",
    [
        (record([[0] * 4] * 2, version=1), "Unsupported Cuckoo filter data version"),
        (record([[0] * 4] * 2, version=3), "Unsupported Cuckoo filter data version"),
        (record([[0] * 4] * 2, version=None), "Unsupported Cuckoo filter data version"),
        (record([]), "Invalid Cuckoo filter: bucket count must be a non-zero power of two"),
        (record([[0] * 4] * 3), "Invalid Cuckoo filter: bucket count must be a non-zero power of two"),
        (record([[0] * 4] * 2, num_buckets=4), "Invalid Cuckoo filter: bucket array length does not match metadata"),
        (record([[0] * 4] * 2, capacity=0), "Invalid Cuckoo filter: capacity metadata is out of range"),
        (record([[0] * 4] * 2, capacity=9), "Invalid Cuckoo filter: capacity metadata is out of range"),
        (record([[1, 2, 3, 0], [0] * 4], capacity=2), "Invalid Cuckoo filter: capacity metadata is out of range"),
        (record([[1, 2, 3, 0], [0] * 4], count=2), "Invalid Cuckoo filter: stored count does not match occupied slots"),
        (record([[0, 0, 0]] * 2),
         "Deserialization error: invalid length 3, expected an array of length 4 at line 1 column 53"),
        (envelope(b"\x02" + struct.pack("<Q", 2**62) + bytes(64)),  # never reserved in full
         "Deserialization error: io error: unexpected end of file"),
        (envelope(CuckooFilter(1).to_bytes()[21:][:33] + b"\x02"), "Deserialization error: tag for enum is not valid, found 2"),
    ],
)
def test_invalid_input(text, message):
    with pytest.raises(ValueError) as raised:
        (CuckooFilter.from_json if isinstance(text, str) else CuckooFilter.from_bytes)(text)
    assert str(raised.value) == message


@pytest.mark.parametrize("capacity", [None, "null"])
def test_capacity_left_out_or_null_is_every_slot(capacity):
    text = record([[0] * 4] * 2, capacity=None)
    if capacity == "null":
        text = text.replace('"count"', '"capacity": null, "count"')
    assert CuckooFilter.from_json(text).capacity() == 8


# ---- Laws ---------------------------------------------------------------------------------

items = st.one_of(st.text(alphabet="abcdefgh", max_size=3), st.integers(0, 10**6))
operations = st.lists(
    st.one_of(
        st.tuples(st.just("add"), st.lists(items, min_size=1, max_size=12)),
        st.tuples(st.just("remove"), st.integers(0, 1000)),
        st.tuples(st.just("round trip"), st.sampled_from(["bytes", "json", "copy"])),
    ),
    max_size=30,
)


@settings(max_examples=150, deadline=None)
@given(st.sampled_from([1, 2, 4, 8]), st.integers(0, MASK64), operations)
def test_no_false_negatives_ever(num_buckets, seed, steps):
    """Every item added and not removed is found, at any load up to full, after failed
    insertions, removals and round trips; a refused item changes nothing."""
    f, present = empty(num_buckets, seed), Counter()
    for action, argument in steps:
        if action == "add":
            for item in argument:
                before = f.to_bytes()
                if f.add(item):
                    present[str(item)] += 1
                else:
                    assert f.to_bytes() == before
        elif action == "remove" and present:
            item = sorted(present)[argument % len(present)]
            assert f.remove(item)
            present[item] -= 1
            present += Counter()  # drops the items whose count reached 0
        elif action == "round trip":
            again = {"bytes": lambda: CuckooFilter.from_bytes(f.to_bytes()),
                     "json": lambda: CuckooFilter.from_json(f.to_json()), "copy": f.copy}[argument]()
            assert again.to_bytes() == f.to_bytes() and repr(again) == repr(f)
            f = again
        assert f.query_many(list(present)) == [True] * len(present)
        assert len(f) == sum(present.values()) <= f.capacity() == 4 * num_buckets
