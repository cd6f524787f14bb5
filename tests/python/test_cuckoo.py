"""CuckooFilter: sizes, the capacity gate, relocation and its undo, deletion."""

import json
from collections import Counter

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from velt import CuckooFilter
from helpers import G, MASK, xxh3

ALTERNATE_SEED = 0xD6E8FEB86659FD93


def placement(fingerprint_hash, index_hash, num_buckets):
    return (fingerprint_hash & 0xFFFF) or 1, index_hash & (num_buckets - 1)


def item_placement(item, seed, num_buckets):
    return placement(xxh3(item, seed ^ G), xxh3(item, seed), num_buckets)


def alternate(bucket, fingerprint, seed, num_buckets):
    return bucket ^ (xxh3(fingerprint.to_bytes(2, "little"), seed ^ ALTERNATE_SEED) & (num_buckets - 1))


def record(buckets, **changes):
    """The JSON text of a record holding these buckets (lists of four slots); no capacity: every slot."""
    data = {"version": 2, "buckets": [{"fingerprints": b} for b in buckets], "num_buckets": len(buckets),
            "count": sum(slot != 0 for b in buckets for slot in b), "seed": 0, **changes}
    return json.dumps({key: value for key, value in data.items() if value is not None})


def buckets_of(f):
    return [bucket["fingerprints"] for bucket in json.loads(f.to_json())["buckets"]]


@pytest.mark.parametrize("capacity, num_buckets", [(1, 2), (8, 4), (972, 256), (1000, 512)])
def test_sizes(capacity, num_buckets):
    f = CuckooFilter(capacity, seed=9)
    assert (f.capacity(), f.size_in_bytes, len(buckets_of(f))) == (capacity, 8 * num_buckets, num_buckets)
    assert repr(f) == f"CuckooFilter(capacity={capacity}, count=0, load_factor=0.00%)"


def test_the_capacity_gates_insertions_and_health_follows_the_load():
    f = CuckooFilter(100)
    for added, load, health in [(84, 0.84, "healthy"), (1, 0.85, "warning"), (10, 0.95, "saturated"), (5, 1.0, "saturated")]:
        start = len(f)
        assert f.update(f"item-{start + i}" for i in range(added)) == added
        assert (f.load_factor, f.health()) == (load, health)
    assert (f.add("one more"), f.add_hash(5), f.update(["a"]), f.update_hashes([1])) == (False, False, 0, 0)
    assert repr(f) == "CuckooFilter(capacity=100, count=100, load_factor=100.00%)"


def test_a_fingerprint_hash_ending_in_sixteen_zero_bits_is_stored_as_one():
    item = b"zero-80162"
    assert xxh3(item, G) & 0xFFFF == 0
    f = CuckooFilter(8)
    f.add(item)
    assert 1 in [slot for bucket in buckets_of(f) for slot in bucket] and item in f


def test_copies_of_one_item_are_removed_one_at_a_time():
    f = CuckooFilter(3)
    assert f.add("twice") and f.add(b"twice")
    assert repr(f) == "CuckooFilter(capacity=3, count=2, load_factor=66.67%)"
    assert f.remove("twice") is True and "twice" in f
    assert f.remove("twice") is True and "twice" not in f and f.remove("twice") is False


def test_a_failed_relocation_leaves_the_filter_unchanged():
    # Every fingerprint's alternate bucket is its own: kicks can never leave a full bucket.
    stuck = [fp for fp in range(1, 400) if alternate(0, fp, 0, 8) == 0]
    buckets = [stuck[4 * b: 4 * b + 4] for b in range(8)]
    buckets[5][3] = 0
    f = CuckooFilter.from_json(record(buckets))
    before = f.to_bytes()
    probe = next(x for x in (f"probe-{i}".encode() for i in range(10000))
                 if (p := item_placement(x, 0, 8))[1] != 5 and alternate(p[1], p[0], 0, 8) == p[1])
    assert (f.add(probe), f.update([probe] * 3), len(f), f.capacity()) == (False, 0, 31, 32) and f.to_bytes() == before
    assert f.add(next(x for x in (f"in-{i}".encode() for i in range(10000)) if item_placement(x, 0, 8)[1] == 5))


items = st.one_of(st.text(alphabet="abcdefgh", max_size=3), st.integers(0, 10**6))
operations = st.lists(st.one_of(st.tuples(st.just("add"), st.lists(items, min_size=1, max_size=12)),
                                st.tuples(st.just("remove"), st.integers(0, 1000)),
                                st.tuples(st.just("round trip"), st.sampled_from(["bytes", "json"]))), max_size=30)


@settings(max_examples=120, deadline=None)
@given(st.sampled_from([1, 2, 4, 8]), st.integers(0, MASK), operations)
def test_no_false_negatives_ever(num_buckets, seed, steps):
    """Every item added and not removed is found, at any load up to full, after failed
    insertions, removals and round trips; a refused item changes nothing."""
    f, present = CuckooFilter.from_json(record([[0] * 4] * num_buckets, seed=seed)), Counter()
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
            f = CuckooFilter.from_bytes(f.to_bytes()) if argument == "bytes" else CuckooFilter.from_json(f.to_json())
        assert f.query_many(list(present)) == [True] * len(present) and len(f) == sum(present.values())
