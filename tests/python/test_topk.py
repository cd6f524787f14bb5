"""TopK: Space-Saving adds and merges against a stepwise model, and sizes that never wrap."""

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from velt import TopK
from helpers import from_record

MAX_U64 = 2**64 - 1
Name = type("Name", (str,), {})


def tracker_of(k, items):
    tracker = TopK(k)
    for item in items:
        tracker.add(item)
    return tracker


@pytest.mark.parametrize(
    "k, items, expected",
    [
        (2, "abc", [("c", 2, 1), ("a", 1, 0)]),  # "c" takes over "b", the later counter at 1, and moves in front
        (3, "abcde", [("d", 2, 1), ("e", 2, 1), ("a", 1, 0)]),  # "e" stays behind "d" at the equal count
        (2, ["x", Name("x"), "y"], [("x", 2, 0), ("y", 1, 0)]),  # a str subclass is the item its text spells
    ],
)
def test_add_sequences(k, items, expected):
    tracker = tracker_of(k, items)
    assert tracker.top_with_error() == expected and tracker.top() == [(i, c) for i, c, _ in expected]
    assert (tracker.min_count(), len(tracker)) == (expected[-1][1], len(expected))
    counts = {item: count for item, count, _ in expected}  # a replaced item is forgotten
    for item in set(items):
        assert (tracker.query(item), tracker.count(item), tracker[item]) == (counts.get(item, 0),) * 3
        assert (item in tracker) == tracker.contains(item) == (item in counts)


def test_weighted_adds_and_saturation():
    tracker = TopK(3)
    for item, count in [("x", 5), ("y", 3), ("z", 4), ("w", 2)]:
        tracker.add_count(item, count)  # "w" takes over "y" at 3 and passes "z", not "x" at the equal 5
    assert tracker.top_with_error() == [("x", 5, 0), ("w", 5, 3), ("z", 4, 0)]
    one = TopK(1)
    one.add("a", MAX_U64 - 1)
    one.add("a", 5)
    one.add("b")
    assert one.top_with_error() == [("b", MAX_U64, MAX_U64)]
    assert tracker_of(10, "aaabbc").top(2) == [("a", 3), ("b", 2)] and tracker.top(0) == []


def test_sizes_reserve_nothing_for_unused_counters():
    tracker = TopK(10)
    assert tracker.size_in_bytes == 320
    tracker.add("abc")
    assert (tracker.size_in_bytes, repr(tracker)) == (339, "TopK(k=10, tracked=1, min_count=1)")
    nearly = TopK(2**59 - 1)  # 32 bytes per counter reach 2**64 - 32
    assert nearly.size_in_bytes == MAX_U64 - 31
    nearly.add("abcdefghijklmnop")
    assert nearly.size_in_bytes == MAX_U64
    huge = from_record(TopK, version=1, counters=[], k=MAX_U64)
    huge.update(["a", "b", "a"])
    assert (huge.top(), huge.size_in_bytes) == ([("a", 2), ("b", 1)], MAX_U64)


class StepwiseTracker:
    """The algorithm step by step: linear search, one swap at a time."""

    def __init__(self, k):
        self.k, self.counters = k, []  # [item, count, error]

    def add(self, item, count):
        if count == 0:
            return
        position = next((p for p, c in enumerate(self.counters) if c[0] == item), None)
        if position is None and len(self.counters) < self.k:
            position = len(self.counters)
            self.counters.append([item, 0, 0])
        elif position is None:  # the last counter is taken over, its count kept as the error
            position = self.k - 1
            self.counters[position] = [item, self.counters[position][1], self.counters[position][1]]
        self.counters[position][1] = min(self.counters[position][1] + count, MAX_U64)
        while position > 0 and self.counters[position][1] > self.counters[position - 1][1]:
            self.counters[position - 1], self.counters[position] = self.counters[position], self.counters[position - 1]
            position -= 1

    def merge(self, other):
        def lookup(side, item):  # an untracked item: a full side's smallest count as count and error
            floor = side.counters[-1][1] if len(side.counters) == side.k else 0
            return next(((c, e) for i, c, e in side.counters if i == item), (floor, floor))

        items = {c[0] for c in self.counters + other.counters}
        merged = [[i] + [min(a + b, MAX_U64) for a, b in zip(lookup(self, i), lookup(other, i))] for i in items]
        self.counters = sorted(merged, key=lambda c: (-c[1], c[0].encode()))[: self.k]


operations = st.lists(st.one_of(
    st.tuples(st.just("add"), st.sampled_from(["a", "b", "c", "d", "e", "B", "ab", "é"]), st.integers(0, 4)),
    st.tuples(st.just("merge"), st.lists(st.tuples(st.sampled_from("abcdefgh"), st.integers(0, 5)), max_size=40),
              st.none())), max_size=40)


@settings(max_examples=120, deadline=None)
@given(st.integers(1, 5), operations)
def test_agrees_with_the_stepwise_algorithm(k, steps):
    tracker, model = TopK(k), StepwiseTracker(k)
    for kind, argument, count in steps:
        if kind == "add":
            tracker.add(argument, count)
            model.add(argument, count)
        else:
            other, other_model = TopK(k), StepwiseTracker(k)
            for item, weight in argument:
                other.add(item, weight)
                other_model.add(item, weight)
            tracker.merge(other)
            model.merge(other_model)
        assert tracker.top_with_error() == [tuple(c) for c in model.counters]
