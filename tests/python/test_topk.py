import json
import operator
import re
import struct
import threading
from collections import Counter

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from velt import BloomFilter, TopK
from helpers import envelope

MAX_U64 = 2**64 - 1
Name = type("Name", (str,), {})


def raises(error, message):
    return pytest.raises(error, match=f"^{re.escape(message)}$")


def tracker_of(k, items):
    tracker = TopK(k)
    for item in items:
        tracker.add(item)
    return tracker


def tracker_from(k, counters):
    """A tracker loaded with (item, count, error) counters in the given order."""
    return TopK.from_json(json.dumps({"counters": [list(c) for c in counters], "k": k}))


TOPK = b"VTTK\x01"


# ---- Adding and the order of counters ------------------------------------------


@pytest.mark.parametrize(
    "k, items, expected",
    [
        # "c" takes over "b", the later of the two counters at 1, and moves in front.
        (2, "abc", [("c", 2, 1), ("a", 1, 0)]),
        (2, "ab", [("a", 1, 0), ("b", 1, 0)]),
        (2, "abb", [("b", 2, 0), ("a", 1, 0)]),
        (5, "abb", [("b", 2, 0), ("a", 1, 0)]),
        # "d" replaces "c", "e" replaces "b" and stays behind "d" at the equal count.
        (3, "abcde", [("d", 2, 1), ("e", 2, 1), ("a", 1, 0)]),
        # Equal counts reached by adds: the first to get there stands first.
        (3, "abab", [("a", 2, 0), ("b", 2, 0)]),
        (3, "abba", [("b", 2, 0), ("a", 2, 0)]),
        (1, "aab", [("b", 3, 2)]),
        # A str subclass is the item its text spells.
        (2, ["x", Name("x"), "y"], [("x", 2, 0), ("y", 1, 0)]),
    ],
)
def test_add_sequences(k, items, expected):
    tracker = tracker_of(k, items)
    assert tracker.top_with_error() == expected
    assert tracker.top() == [(item, count) for item, count, _ in expected]
    assert (tracker.min_count(), len(tracker)) == (expected[-1][1], len(expected))
    counts = {item: count for item, count, _ in expected}  # a replaced item is forgotten
    for item in set(items):
        assert (tracker.query(item), tracker.count(item), tracker[item]) == (counts.get(item, 0),) * 3
        assert (item in tracker) == tracker.contains(item) == (item in counts)


def test_weighted_adds_and_count_zero():
    tracker = TopK(3)
    tracker.add("a", 0)
    tracker.add_count("b", 0)
    assert (len(tracker), "a" in tracker, tracker.min_count(), tracker.top()) == (0, False, 0, [])
    tracker.add("x", 5)
    tracker.add_count("y", 3)
    tracker.add("z", 4)
    tracker.add("w", count=2)  # takes over "y" at 3, passes "z" but not "x" at the equal 5
    tracker.add("v", 0)  # takes nothing in, even from a full tracker
    assert tracker.top_with_error() == [("x", 5, 0), ("w", 5, 3), ("z", 4, 0)]


def test_counts_saturate():
    tracker = TopK(1)
    tracker.add("a", MAX_U64 - 1)
    tracker.add("a", 5)
    assert tracker["a"] == MAX_U64
    tracker.add("b")
    assert tracker.top_with_error() == [("b", MAX_U64, MAX_U64)]


@pytest.mark.parametrize(
    "n, expected",
    [
        (None, [("a", 3), ("b", 2), ("c", 1)]),
        (0, []),
        (2, [("a", 3), ("b", 2)]),
        (MAX_U64, [("a", 3), ("b", 2), ("c", 1)]),
    ],
)
def test_top_lists(n, expected):
    tracker = tracker_of(10, "aaabbc")
    assert tracker.top(n) == tracker.top(n=n) == expected
    assert tracker.top_with_error(n) == [(item, count, 0) for item, count in expected]


# ---- Size: nothing is reserved for counters that are never used -----------------------


def test_size_in_bytes_repr_and_huge_k():
    tracker = TopK(10)
    assert tracker.size_in_bytes == 320
    tracker.add("abc")
    assert tracker.size_in_bytes == 339
    assert repr(tracker) == str(tracker) == "TopK(k=10, tracked=1, min_count=1)"
    huge = TopK(10**18)
    huge.update(["a", "b", "a"])
    assert (huge.top(), huge.size_in_bytes) == ([("a", 2), ("b", 1)], MAX_U64)
    assert repr(huge) == "TopK(k=1000000000000000000, tracked=2, min_count=1)"
    nearly = TopK(2**59 - 1)  # 32 bytes per counter reach 2**64 - 32
    assert nearly.size_in_bytes == MAX_U64 - 31
    nearly.add("abcdefghijklmnop")
    assert nearly.size_in_bytes == MAX_U64


def test_record_with_largest_k_and_no_counters_loads():
    loaded = TopK.from_json(json.dumps({"version": 1, "counters": [], "k": MAX_U64}))
    for tracker in (loaded, TopK.from_bytes(loaded.to_bytes())):
        assert (tracker.k, len(tracker), tracker.size_in_bytes) == (MAX_U64, 0, MAX_U64)
        tracker.add("x")
        assert tracker.top() == [("x", 1)]


# ---- Merge ---------------------------------------------------------------------


def test_merge_of_full_trackers():
    mine = tracker_from(2, [("x", 5, 0), ("y", 3, 0)])
    theirs = tracker_from(2, [("z", 4, 0), ("x", 2, 0)])
    # self_min 3 and other_min 2: x 7/0, y 5/2, z 7/3; "x" before "z" at 7.
    mine.merge(theirs)
    assert mine.top_with_error() == [("x", 7, 0), ("z", 7, 3)]
    assert "y" not in mine and mine["z"] == 7
    assert theirs.top_with_error() == [("z", 4, 0), ("x", 2, 0)]


def test_merge_with_room_adds_nothing_and_orders_ties_by_bytes():
    tracker = tracker_from(10, [("b", 2, 1), ("ab", 1, 0), ("a", 1, 0), ("B", 1, 0)])
    tracker.merge(TopK(10))
    # "B" (0x42) before "a" (0x61); "a" before its extension "ab".
    assert tracker.top_with_error() == [("b", 2, 1), ("B", 1, 0), ("a", 1, 0), ("ab", 1, 0)]
    # Later adds move up by the usual rule: passing only strictly smaller counts.
    tracker.add("ab")
    assert tracker.top() == [("b", 2), ("ab", 2), ("B", 1), ("a", 1)]


# ---- Item rules: str only, no conversion of other objects ------------------------------


def cannot_convert(argument, kind, target="PyString"):
    return f"argument '{argument}': '{kind}' object cannot be converted to '{target}'"


# ---- Serialised forms ------------------------------------------------------------


def test_binary_layout():
    data = tracker_of(10, ["ab", "ab", "é"]).to_bytes()
    expected = b"\x01" + struct.pack("<Q", 2)
    for item, count in (("ab", 2), ("é", 1)):
        expected += struct.pack("<Q", len(item.encode())) + item.encode() + struct.pack("<QQ", count, 0)
    assert data == envelope(expected + struct.pack("<Q", 10), TOPK)
    assert len(data) == 21 + 17 + 24 * 2 + 4
    assert len(TopK(10).to_bytes()) == 38


def test_json_forms():
    assert TopK(5).to_json() == '{\n  "version": 1,\n  "counters": [],\n  "k": 5\n}'
    assert TopK.from_json('{"counters": [], "k": 5}').to_json() == TopK(5).to_json()
    tracker = TopK.from_json('[1, [["a", 3, 0], ["b", 3, 1]], 4]')
    assert (tracker.k, tracker.top_with_error()) == (4, [("a", 3, 0), ("b", 3, 1)])


@pytest.mark.parametrize(
    "data, message",
    [
        ({"version": 2, "counters": [["a", 1, 5]], "k": 0}, "Unsupported TopK data version"),
        ({"version": 0, "counters": [], "k": 5}, "Unsupported TopK data version"),
        ({"counters": [], "k": 0}, "k must be positive"),
        ({"counters": [["a", 1, 0], ["b", 2, 0]], "k": 1}, "number of counters exceeds k"),
        ({"counters": [["a", 5, 1], ["a", 4, 0]], "k": 5}, "duplicate tracked item"),
        ({"counters": [["a", 5, 6], ["a", 4, 0]], "k": 5}, "counter error exceeds count"),
        ({"counters": [["a", 3, 0], ["b", 5, 0]], "k": 5}, "counters must be sorted by descending count"),
        ({"counters": [["a", 3, 0], ["b", 5, 0], ["a", 1, 0]], "k": 5}, "duplicate tracked item"),
        ('{"counters": [["a", 1]], "k": 5}',
         "Deserialization error: invalid length 2, expected struct Counter with 3 elements at line 1 column 22"),
        ("[1, []]",
         "Deserialization error: invalid length 2, expected struct TopKData with 3 elements at line 1 column 7"),
        (envelope(b"\x01" + struct.pack("<QQ", 1, 2) + b"\xff\xfe" + struct.pack("<QQQ", 1, 0, 5), TOPK),
         "Deserialization error: string is not valid utf8: invalid utf-8 sequence of 1 bytes from index 0"),
        (envelope(b"\x01" + struct.pack("<Q", 2**62), TOPK), "Deserialization error: io error: unexpected end of file"),
    ],
)
def test_reading_errors(data, message):
    with raises(ValueError, message):
        if isinstance(data, bytes):
            TopK.from_bytes(data)
        else:
            TopK.from_json(data if isinstance(data, str) else json.dumps(data))


# ---- Laws ----------------------------------------------------------------------

streams = st.lists(st.sampled_from(["a", "b", "c", "d", "e", "f", "g", "", "é", "中文"]), max_size=80)
weighted = st.lists(st.tuples(st.sampled_from("abcdefgh"), st.integers(0, 5)), max_size=40)


@settings(max_examples=80, deadline=None)
@given(st.integers(1, 6), streams)
def test_space_saving_guarantees(k, stream):
    tracker = TopK(k)
    tracker.update(stream)
    truth = Counter(stream)
    counters = tracker.top_with_error()
    assert len(counters) == min(k, len(truth))
    assert [c for _, c, _ in counters] == sorted((c for _, c, _ in counters), reverse=True)
    for item, count, error in counters:
        assert count - error <= truth[item] <= count
    # Every item seen more than n/k times is tracked; untracked items occurred at most min_count times.
    for item, occurrences in truth.items():
        if occurrences > len(stream) / k:
            assert item in tracker
        if item not in tracker:
            assert occurrences <= tracker.min_count()
    if len(truth) <= k:
        assert dict(tracker.top()) == truth


class StepwiseTracker:
    """The algorithm step by step, in plain Python: linear search, one swap at a time."""

    def __init__(self, k):
        self.k, self.counters = k, []  # [item, count, error]

    def add(self, item, count=1):
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
        def lookup(side, item):  # (count, error); for an untracked item, a full side's smallest count as both
            floor = side.counters[-1][1] if len(side.counters) == side.k else 0
            return next(((c, e) for i, c, e in side.counters if i == item), (floor, floor))

        items = {c[0] for c in self.counters + other.counters}
        merged = [[item] + [min(a + b, MAX_U64) for a, b in zip(lookup(self, item), lookup(other, item))]
                  for item in items]
        merged.sort(key=lambda c: (-c[1], c[0].encode()))
        self.counters = merged[: self.k]


operations = st.lists(
    st.one_of(
        st.tuples(st.just("add"), st.sampled_from(["a", "b", "c", "d", "e", "f", "B", "ab", "é"]), st.integers(0, 4)),
        st.tuples(st.just("merge"), weighted, st.none()),
    ),
    max_size=40,
)


@settings(max_examples=150, deadline=None)
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
    assert all(tracker[item] == count for item, count, _ in model.counters)
