"""CountingBloomFilter: sizing, counter positions checked against xxhash, the
all-or-nothing add at the 255 limit, removal, merge, statistics and the
serialised forms."""

import json
import operator
import re
import struct
from collections import Counter

import pytest
import xxhash
from hypothesis import given, settings
from hypothesis import strategies as st

from velt import BloomFilter, CountingBloomFilter
from helpers import envelope

G = 0x9E3779B97F4A7C15
MASK = 2**64 - 1
CAPACITY = "counter capacity exceeded; create a larger filter or clear it"
MERGE_CAPACITY = "counter capacity exceeded during merge"
RATE = "false_positive_rate must be between 0 and 1 (exclusive)"


def raises(error, message):
    return pytest.raises(error, match=f"^{re.escape(message)}$")


def counters(f):
    return json.loads(f.to_json())["counters"]


def loaded(counter_values, num_hashes=1, count=0, seed=0):
    """A filter holding exactly the given counters, read from its JSON text."""
    record = {"counters": counter_values, "num_counters": len(counter_values), "num_hashes": num_hashes,
              "count": count, "seed": seed}
    return CountingBloomFilter.from_json(json.dumps(record))


COUNTING = b"VTCB\x02"


def payload(counter_values, num_counters, num_hashes, count=0, seed=0):
    return struct.pack(f"<Q{len(counter_values)}BQIQQ", len(counter_values), *counter_values, num_counters,
                       num_hashes, count, seed)


def splitmix_finalise(z):
    z = ((z ^ (z >> 30)) * 0xBF58476D1CE4E5B9) & MASK
    z = ((z ^ (z >> 27)) * 0x94D049BB133111EB) & MASK
    return z ^ (z >> 31)


def expected_counters(pairs, num_counters, num_hashes):
    """Each pair increments its k positions, repeats included."""
    values = [0] * num_counters
    for h1, h2 in pairs:
        for i in range(num_hashes):
            values[((h1 + i * h2) & MASK) % num_counters] += 1
    return values


# ---- Construction ------------------------------------------------------------------


@pytest.mark.parametrize(
    "kwargs, num_counters, num_hashes",
    [
        ({"expected_items": 1000}, 9586, 7),
        ({"expected_items": 10000}, 95851, 7),
        ({"expected_items": 100, "false_positive_rate": 0.001}, 1438, 10),
        ({"expected_items": 1000, "false_positive_rate": 0.1}, 4793, 3),
        ({"expected_items": 1, "false_positive_rate": 0.5}, 2, 1),
        ({"num_counters": 1000}, 1000, 7),
        ({"num_counters": 5}, 5, 3),
        ({"num_counters": 19}, 19, 13),
        ({"num_counters": 20}, 20, 7),
        ({"expected_items": 0, "num_counters": 100, "num_hashes": 2}, 100, 2),
    ],
)
def test_sizing(kwargs, num_counters, num_hashes):
    f = CountingBloomFilter(**kwargs)
    assert (f.num_counters, f.num_hashes, f.size_in_bytes) == (num_counters, num_hashes, num_counters)


def test_worked_example_of_a_thousand_items():
    f = CountingBloomFilter(expected_items=1000)
    assert (f.num_counters, f.num_hashes, f.size_in_bytes, len(f), f.seed) == (9586, 7, 9586, 0, 0)
    assert repr(f) == str(f) == "CountingBloomFilter(num_counters=9586, num_hashes=7, count=0)"
    assert len(f.to_bytes()) == 9643
    assert (f.fill_ratio(), f.false_positive_rate, f.health()) == (0.0, 0.0, "healthy")


@pytest.mark.parametrize(
    "kwargs, message",
    [
        ({}, "Either expected_items or num_counters must be provided"),
        ({"expected_items": 0}, "expected_items must be positive"),
        # Sizing k from zero expected items would divide by zero.
        ({"expected_items": 0, "num_counters": 100}, "expected_items must be positive"),
        ({"num_counters": 0}, "num_counters must be positive"),
        ({"expected_items": 10, "num_counters": 0}, "num_counters must be positive"),
        ({"num_counters": 100, "num_hashes": 0}, "num_hashes must be positive"),
        ({"num_counters": 100, "false_positive_rate": 1.0}, RATE),
    ],
)
def test_construction_errors(kwargs, message):
    with raises(ValueError, message):
        CountingBloomFilter(**kwargs)


# ---- Positions ---------------------------------------------------------------------


@pytest.mark.parametrize("seed", [0, 1, MASK, G])
def test_items_increment_their_seeded_xxh3_positions(seed):
    items = [b"", b"apple", bytes(range(200)), b"x" * 5000]
    f = CountingBloomFilter(num_counters=1009, num_hashes=5, seed=seed)
    f.update(items)
    pairs = [(xxhash.xxh3_64_intdigest(i, seed=seed), xxhash.xxh3_64_intdigest(i, seed=(seed + G) & MASK))
             for i in items]
    assert counters(f) == expected_counters(pairs, 1009, 5)


@pytest.mark.parametrize("seed", [0, 7, MASK])
def test_caller_hashes_increment_their_splitmix_positions(seed):
    values = [0, 1, 12345, MASK, G]
    f = CountingBloomFilter(num_counters=1009, num_hashes=5, seed=seed)
    f.update_hashes(values)
    pairs = []
    for x in values:
        t = ((((seed + G) & MASK) ^ x) + G) & MASK
        pairs.append((splitmix_finalise(((seed ^ x) + G) & MASK), G if t == 0 else splitmix_finalise(t)))
    assert counters(f) == expected_counters(pairs, 1009, 5)
    assert f.query_hashes(values) == [True] * 5
    assert not f.contains(12345)


# ---- The counter limit -----------------------------------------------------------------


def test_one_counter_takes_85_adds_of_three():
    f = CountingBloomFilter(num_counters=1, num_hashes=3)
    f.add("x")
    assert (counters(f), f.count("x"), f.count("anything")) == ([3], 3, 3)
    for _ in range(84):
        f.add("y")
    with raises(OverflowError, CAPACITY):
        f.add("z")
    assert (counters(f), len(f)) == ([255], 85)


@pytest.mark.parametrize("num_counters, num_hashes", [(1, 300), (1, 2**32 - 1), (2**24, 2**32 - 1)])
def test_adds_that_can_never_fit_are_refused(num_counters, num_hashes):
    f = CountingBloomFilter(num_counters=num_counters, num_hashes=num_hashes)
    with raises(OverflowError, CAPACITY):
        f.add("x")
    assert len(f) == 0 and f.fill_ratio() == 0.0


@pytest.mark.parametrize("add_both", [
    lambda f: f.update(["a", "b", "c"]),
    lambda f: f.update_many(iter(["a", "b", "c"])),
    lambda f: f.update_hashes([1, 2, 3]),
])
def test_batches_keep_the_items_before_the_refused_one(add_both):
    f = loaded([250], num_hashes=3, count=4)
    with raises(OverflowError, CAPACITY):
        add_both(f)
    assert (counters(f), len(f)) == ([253], 5)


# ---- Removing and counting ---------------------------------------------------------------


def test_remove_undoes_add():
    f = CountingBloomFilter(expected_items=100, seed=3)
    assert (f.remove("x"), f.count("x"), len(f)) == (False, 0, 0)
    f.update(["keep", "x"])
    before = f.to_bytes()
    f.add("x")
    assert f.count("x") >= 2 and len(f) == 3
    assert f.remove("x") is True
    assert f.to_bytes() == before
    assert f.remove("x") is True and f.remove("x") is False
    assert "keep" in f and "x" not in f and len(f) == 1


def test_removing_a_false_positive_takes_counts_from_others():
    f = CountingBloomFilter(num_counters=1, num_hashes=2)
    f.add("real")
    assert f.remove("never added") is True
    assert ("real" in f, len(f)) == (False, 0)


@pytest.mark.parametrize("change, count", [
    (lambda f: f.add("x"), MASK),
    (lambda f: f.merge(f.copy()), MASK),
    (lambda f: f.remove("x"), 0),
])
def test_count_saturates_at_both_ends(change, count):
    f = loaded([1], count=count)
    change(f)
    assert json.loads(f.to_json())["count"] == count


# ---- Merging -------------------------------------------------------------------------


@pytest.mark.parametrize("last, accepted", [(55, True), (56, False)])
def test_merge_adds_counters_unless_one_would_pass_255(last, accepted):
    a, b = loaded([0, 7, 200], count=5), loaded([1, 3, last], count=2)
    if accepted:
        a.merge(b)
        assert (counters(a), len(a)) == ([1, 10, 255], 7)
    else:
        with raises(OverflowError, MERGE_CAPACITY):
            a.merge(b)
        assert (counters(a), len(a)) == ([0, 7, 200], 5)
    assert (counters(b), len(b)) == ([1, 3, last], 2)


# ---- Statistics, copy and clear ----------------------------------------------------------


@pytest.mark.parametrize("non_zero, health", [(0, "healthy"), (6, "healthy"), (7, "warning"), (8, "saturated"),
                                              (10, "saturated")])
def test_fill_and_health(non_zero, health):
    f = loaded([1] * non_zero + [0] * (10 - non_zero), num_hashes=3)
    assert (f.fill_ratio(), f.health()) == (non_zero / 10, health)
    assert f.false_positive_rate == (non_zero / 10) ** 3


# ---- Serialised forms ---------------------------------------------------------------------


def test_binary_layout_of_four_counters():
    data = CountingBloomFilter(num_counters=4, num_hashes=2).to_bytes()
    assert len(data) == 61
    payload = bytes([4, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 4, 0, 0, 0, 0, 0, 0, 0, 2, 0, 0, 0]) + bytes(16)
    assert data == envelope(payload, COUNTING)


def test_trailing_payload_bytes_are_ignored():
    f = CountingBloomFilter.from_bytes(envelope(payload([0, 5, 0], 3, 2, count=99, seed=4) + b"\x01", COUNTING))
    assert (counters(f), len(f), f.seed) == ([0, 5, 0], 99, 4)


@pytest.mark.parametrize(
    "values, num_counters, num_hashes, message",
    [
        ([], 0, 1, "num_counters must be positive"),
        ([0], 0, 0, "num_counters must be positive"),
        ([0], 1, 0, "num_hashes must be positive"),
        ([0] * 4, 3, 1, "counter array length does not match num_counters"),
        ([0] * 2, 3, 1, "counter array length does not match num_counters"),
    ],
)
def test_validation_messages(values, num_counters, num_hashes, message):
    record = {"counters": values, "num_counters": num_counters, "num_hashes": num_hashes, "count": 0, "seed": 0}
    with raises(ValueError, message):
        CountingBloomFilter.from_json(json.dumps(record))
    with raises(ValueError, message):
        CountingBloomFilter.from_bytes(envelope(payload(values, num_counters, num_hashes), COUNTING))


FRESH = CountingBloomFilter(num_counters=4, num_hashes=2).to_bytes()


def test_json_accepts_unknown_keys_and_the_array_form():
    f = CountingBloomFilter.from_json('{"note": [1, {"a": null}], "seed": 3, "count": 99, "num_hashes": 2, '
                                      '"num_counters": 2, "counters": [0, 0]}')
    assert (len(f), f.seed, f.num_hashes) == (99, 3, 2)
    assert CountingBloomFilter.from_json("[[0, 0], 2, 2, 99, 3]").to_bytes() == f.to_bytes()


# ---- Laws ------------------------------------------------------------------------------------


def item_bytes(item):
    return item if isinstance(item, bytes) else str(item).encode()


small_items = st.sampled_from(["a", "b", "c", "d", "e", b"\x00", 7, "", b""])
operations = st.lists(st.tuples(st.sampled_from(["add", "update", "remove"]), st.lists(small_items, max_size=4)),
                      max_size=40)
shapes = st.tuples(st.integers(1, 40), st.integers(1, 8), st.integers(0, MASK))


@settings(max_examples=150, deadline=None)
@given(shapes, operations)
def test_no_false_negatives_through_adds_refusals_removes_and_round_trips(shape, script):
    """Removing only what is held, every item held is found, with a count at least its multiplicity."""
    f = CountingBloomFilter(num_counters=shape[0], num_hashes=shape[1], seed=shape[2])
    held = Counter()
    for step, (operation, items) in enumerate(script):
        if operation == "remove":
            for item in items:
                if held[item_bytes(item)]:
                    assert f.remove(item) is True
                    held[item_bytes(item)] -= 1
            continue
        # One by one on a copy: the batch must keep exactly the items before the first refusal.
        expected, added = f.copy(), 0
        for item in items:
            before = expected.to_bytes()
            try:
                expected.add(item)
            except OverflowError:
                assert expected.to_bytes() == before
                break
            added += 1
        refused = added < len(items)
        try:
            f.update(items) if operation == "update" else [f.add(item) for item in items]
            assert not refused
        except OverflowError:
            assert refused
        assert f.to_bytes() == expected.to_bytes()
        held.update(item_bytes(item) for item in items[:added])
        f = CountingBloomFilter.from_json(f.to_json()) if step % 2 else CountingBloomFilter.from_bytes(f.to_bytes())
        assert all(key in f and f.count(key) >= times for key, times in held.items() if times)
    assert len(f) == sum(held.values())


# Distinct items, so that no counter can come near 255.
streams = st.lists(st.one_of(st.text(max_size=10), st.binary(max_size=10), st.integers()), max_size=40,
                   unique_by=item_bytes)


@settings(max_examples=60, deadline=None)
@given(shapes, streams, streams)
def test_merge_equals_adding_both_streams(shape, left, right):
    def build(items):
        f = CountingBloomFilter(num_counters=shape[0] * 10, num_hashes=shape[1], seed=shape[2])
        f.update(items)
        return f

    a, b = build(left), build(right)
    a.merge(b)
    assert a.to_bytes() == build(left + right).to_bytes()
    assert all(a.query_many(left + right))
