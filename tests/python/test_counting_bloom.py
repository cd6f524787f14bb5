"""CountingBloomFilter: the all-or-nothing add at the 255 limit, removal, merge and statistics."""

import contextlib
from collections import Counter

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from velt import CountingBloomFilter
from helpers import MASK, fields, from_record, raises

CAPACITY = "counter capacity exceeded; create a larger filter or clear it"


def loaded(counters, num_hashes=1, count=0):
    return from_record(CountingBloomFilter, counters=counters, num_counters=len(counters), num_hashes=num_hashes,
                       count=count, seed=0)


def test_one_counter_takes_85_adds_of_three():
    f = CountingBloomFilter(num_counters=1, num_hashes=3)
    for _ in range(85):
        f.add("x")
    with raises(OverflowError, CAPACITY):
        f.add("z")
    assert (fields(f)["counters"], len(f), f.count("anything")) == ([255], 85, 255)
    never = CountingBloomFilter(num_counters=2**24, num_hashes=2**32 - 1)
    with raises(OverflowError, CAPACITY):
        never.add("x")
    never.update([])  # nothing to add: nothing refused
    never.update_hashes([])
    assert len(never) == 0 and never.fill_ratio() == 0.0


@pytest.mark.parametrize("add_three", [lambda f: f.update(["a", "b", "c"]), lambda f: f.update_hashes([1, 2, 3])])
def test_batches_keep_the_items_before_the_refused_one(add_three):
    f = loaded([250], num_hashes=3, count=4)
    with raises(OverflowError, CAPACITY):
        add_three(f)
    assert (fields(f)["counters"], len(f)) == ([253], 5)


def test_remove_undoes_add_and_takes_from_false_positives():
    f = CountingBloomFilter(expected_items=100, seed=3)
    assert (f.remove("x"), len(f)) == (False, 0)
    f.update(["keep", "x"])
    before = f.to_bytes()
    f.add("x")
    assert f.count("x") >= 2 and f.remove("x") is True and f.to_bytes() == before
    assert f.remove("x") is True and f.remove("x") is False and "keep" in f and len(f) == 1
    shared = CountingBloomFilter(num_counters=1, num_hashes=2)
    shared.add("real")
    assert shared.remove("never added") is True and ("real" in shared, len(shared)) == (False, 0)


@pytest.mark.parametrize("change, count", [(lambda f: f.add("x"), MASK), (lambda f: f.merge(f.copy()), MASK),
                                           (lambda f: f.remove("x"), 0)])
def test_count_saturates_at_both_ends(change, count):
    f = loaded([1], count=count)
    change(f)
    assert fields(f)["count"] == count


@pytest.mark.parametrize("last, accepted", [(55, True), (56, False)])
def test_merge_adds_counters_unless_one_would_pass_255(last, accepted):
    a, b = loaded([0, 7, 200], count=5), loaded([1, 3, last], count=2)
    if accepted:
        a.merge(b)
        assert (fields(a)["counters"], len(a)) == ([1, 10, 255], 7)
    else:
        with raises(OverflowError, "counter capacity exceeded during merge"):
            a.merge(b)
        assert (fields(a)["counters"], len(a)) == ([0, 7, 200], 5)


@pytest.mark.parametrize("non_zero, health", [(6, "healthy"), (7, "warning"), (8, "saturated")])
def test_fill_and_health(non_zero, health):
    f = loaded([1] * non_zero + [0] * (10 - non_zero), num_hashes=3)
    assert (f.fill_ratio(), f.health(), f.false_positive_rate) == (non_zero / 10, health, (non_zero / 10) ** 3)


def item_bytes(item):
    return item if isinstance(item, bytes) else str(item).encode()


small_items = st.sampled_from(["a", "b", "c", "d", b"\x00", 7, ""])
operations = st.lists(st.tuples(st.sampled_from(["update", "remove"]), st.lists(small_items, max_size=4)), max_size=30)
shapes = st.tuples(st.integers(1, 40), st.integers(1, 8), st.integers(0, MASK))


@settings(max_examples=100, deadline=None)
@given(shapes, operations)
def test_no_false_negatives_through_adds_refusals_and_removes(shape, script):
    """Removing only what is held, every item held is found, with a count at least its multiplicity;
    a refused batch keeps exactly the items before the refused one."""
    f = CountingBloomFilter(num_counters=shape[0], num_hashes=shape[1], seed=shape[2])
    held = Counter()
    for operation, items in script:
        if operation == "remove":
            for item in (item for item in items if held[item_bytes(item)]):
                assert f.remove(item) is True
                held[item_bytes(item)] -= 1
            continue
        expected, added = f.copy(), 0
        try:
            for item in items:
                expected.add(item)
                added += 1
        except OverflowError:
            pass
        with pytest.raises(OverflowError) if added < len(items) else contextlib.nullcontext():
            f.update(items)
        assert f.to_bytes() == expected.to_bytes()
        held.update(item_bytes(item) for item in items[:added])
        assert all(key in f and f.count(key) >= times for key, times in held.items() if times)
    assert len(f) == sum(held.values())

