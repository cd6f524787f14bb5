import json
import struct
import threading
from collections import Counter

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from velt import BloomFilter, TopK

MAX_U64 = 2**64 - 1


def tracker_of(k, items):
    tracker = TopK(k)
    for item in items:
        tracker.add(item)
    return tracker


def tracker_from(k, counters):
    """A tracker loaded with (item, count, error) counters in the given order."""
    return TopK.from_json(json.dumps({"counters": [list(c) for c in counters], "k": k}))


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
    ],
)
def test_add_sequences(k, items, expected):
    tracker = tracker_of(k, items)
    assert tracker.top_with_error() == expected
    assert tracker.top() == [(item, count) for item, count, _ in expected]
    assert tracker.min_count() == expected[-1][1]
    assert len(tracker) == len(expected)


def test_replaced_item_is_forgotten():
    tracker = tracker_of(2, "abc")
    assert (tracker.query("b"), tracker.count("b"), tracker["b"]) == (0, 0, 0)
    assert "b" not in tracker and not tracker.contains("b")
    assert "c" in tracker and tracker["c"] == 2
    assert tracker.min_count() == 1
    assert repr(tracker) == str(tracker) == "TopK(k=2, tracked=2, min_count=1)"


def test_weighted_adds():
    tracker = TopK(3)
    tracker.add("x", 5)
    tracker.add_count("y", 3)
    tracker.add(item="z", count=4)
    tracker.add("w", count=2)  # takes over "y" at 3, passes "z" but not "x" at the equal 5
    assert tracker.top_with_error() == [("x", 5, 0), ("w", 5, 3), ("z", 4, 0)]


def test_count_zero_takes_nothing_in():
    tracker = TopK(3)
    tracker.add("a", 0)
    tracker.add_count("b", 0)
    assert (len(tracker), "a" in tracker, tracker.min_count(), tracker.top()) == (0, False, 0, [])


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
        (3, [("a", 3), ("b", 2), ("c", 1)]),
        (100, [("a", 3), ("b", 2), ("c", 1)]),
        (MAX_U64, [("a", 3), ("b", 2), ("c", 1)]),
    ],
)
def test_top_lists(n, expected):
    tracker = tracker_of(10, "aaabbc")
    assert tracker.top(n) == tracker.top(n=n) == expected
    assert tracker.top_with_error(n) == [(item, count, 0) for item, count in expected]
    if n is None:
        assert tracker.top() == expected


def test_batch_paths_match_single_adds():
    items = [f"i{(i * 7919) % 53}" for i in range(2000)] + ["", "é中😀"]
    single, batch, many = tracker_of(20, items), TopK(20), TopK(20)
    batch.update(items)
    many.update_many(tuple(items))
    assert single.to_bytes() == batch.to_bytes() == many.to_bytes()
    probes = ["i0", "absent", "", "é中😀"]
    assert single.query_many(probes) == [single.query(p) for p in probes]
    assert single.query_many([]) == []


def test_str_subclasses_are_items():
    class Name(str):
        pass

    tracker = TopK(5)
    tracker.add(Name("x"))
    tracker.update([Name("x"), "x"])
    assert tracker.top() == [("x", 3)] and Name("x") in tracker


def test_copy_and_clear():
    tracker = tracker_of(3, "aab")
    copy = tracker.copy()
    copy.add("c")
    copy.add("d")
    assert tracker.top() == [("a", 2), ("b", 1)]
    assert copy.top_with_error() == [("a", 2, 0), ("d", 2, 1), ("b", 1, 0)]
    copy.clear()
    assert (len(copy), copy.k, copy.top(), "a" in copy) == (0, 3, [], False)
    copy.add("z")
    assert copy.top() == [("z", 1)] and len(tracker) == 2


def test_size_in_bytes():
    tracker = TopK(10)
    assert tracker.size_in_bytes == 320
    tracker.add("abc")
    assert tracker.size_in_bytes == 339


# ---- Huge k: nothing is reserved for counters that are never used ---------------------


def test_huge_k_works_and_its_size_saturates():
    tracker = TopK(10**18)
    tracker.update(["a", "b", "a"])
    assert tracker.top() == [("a", 2), ("b", 1)]
    assert tracker.size_in_bytes == MAX_U64
    assert repr(tracker) == "TopK(k=1000000000000000000, tracked=2, min_count=1)"
    nearly = TopK(2**59 - 1)  # 32 bytes per counter reach 2**64 - 32
    assert nearly.size_in_bytes == MAX_U64 - 31
    nearly.add("abcdefghijklmnop")
    assert nearly.size_in_bytes == MAX_U64


@pytest.mark.parametrize("load", ["json", "bytes"])
def test_record_with_largest_k_and_no_counters_loads(load):
    text = json.dumps({"version": 1, "counters": [], "k": MAX_U64})
    tracker = TopK.from_json(text)
    if load == "bytes":
        tracker = TopK.from_bytes(tracker.to_bytes())
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


@pytest.mark.parametrize("kinds", [(10, 20), (20, 10)])
def test_merge_k_mismatch_changes_nothing(kinds):
    mine, theirs = tracker_of(kinds[0], "ab"), tracker_of(kinds[1], "c")
    before = mine.to_bytes()
    with pytest.raises(ValueError) as error:
        mine.merge(theirs)
    assert str(error.value) == f"Cannot merge: k mismatch ({kinds[0]} vs {kinds[1]})"
    assert mine.to_bytes() == before


def test_merge_with_itself_is_a_borrow_error():
    tracker = tracker_of(3, "ab")
    with pytest.raises(RuntimeError) as error:
        tracker.merge(tracker)
    assert str(error.value) == "Already mutably borrowed"
    assert tracker.top() == [("a", 1), ("b", 1)]


def test_no_union_operators_or_iteration():
    tracker = tracker_of(3, "ab")
    for combine in (lambda: tracker | tracker, lambda: tracker & tracker):
        with pytest.raises(TypeError, match="unsupported operand"):
            combine()
    with pytest.raises(TypeError) as error:
        list(tracker)
    assert str(error.value) == "argument 'item': 'int' object cannot be converted to 'PyString'"


@pytest.mark.parametrize("probe, message", [(lambda t: t.top(1), "Already mutably borrowed"),
                                            (lambda t: t.add("x"), "Already borrowed")])
def test_update_holds_the_tracker_while_the_gil_is_released(probe, message):
    busy, items = TopK(1000), [f"item-{i}" for i in range(1_000_000)]
    worker = threading.Thread(target=busy.update, args=(items,))
    worker.start()
    refusals = set()
    while worker.is_alive():
        try:
            probe(busy)
        except RuntimeError as error:
            refusals.add(str(error))
    worker.join()
    assert refusals == {message}


# ---- Item rules: str only, no conversion of other objects ------------------------------


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda t: t.add(b"a"), "argument 'item': 'bytes' object cannot be converted to 'PyString'"),
        (lambda t: t.add_count(None, 1), "argument 'item': 'NoneType' object cannot be converted to 'PyString'"),
        (lambda t: t.query(b"a"), "argument 'item': 'bytes' object cannot be converted to 'PyString'"),
        (lambda t: t.contains(["a"]), "argument 'item': 'list' object cannot be converted to 'PyString'"),
        (lambda t: 5 in t, "argument 'item': 'int' object cannot be converted to 'PyString'"),
        (lambda t: t[b"a"], "argument 'item': 'bytes' object cannot be converted to 'PyString'"),
        (lambda t: t.update("abc"), "argument 'items': Can't extract `str` to `Vec`"),
        (lambda t: t.update(x for x in "ab"), "argument 'items': 'generator' object cannot be converted to 'Sequence'"),
        (lambda t: t.update_many({"a": 1}), "argument 'items': 'dict' object cannot be converted to 'Sequence'"),
        (lambda t: t.update(["a", 1, "b"]), "argument 'items': 'int' object cannot be converted to 'PyString'"),
        (lambda t: t.query_many([None]), "argument 'items': 'NoneType' object cannot be converted to 'PyString'"),
        (lambda t: t.top(1.0), "argument 'n': 'float' object cannot be interpreted as an integer"),
        (lambda t: t.merge(BloomFilter(num_bits=8)),
         "argument 'other': 'BloomFilter' object cannot be converted to 'TopK'"),
    ],
)
def test_type_errors_change_nothing(call, message):
    tracker = tracker_of(2, "ab")
    before = tracker.to_bytes()
    with pytest.raises(TypeError) as error:
        call(tracker)
    assert str(error.value) == message
    assert tracker.to_bytes() == before


@pytest.mark.parametrize(
    "call",
    [
        lambda t: t.add("x", -1),
        lambda t: t.add("x", 2**64),
        lambda t: t.top(-1),
        lambda t: TopK(-1),
    ],
)
def test_out_of_range_integers_change_nothing(call):
    tracker = tracker_of(2, "ab")
    before = tracker.to_bytes()
    with pytest.raises(OverflowError):
        call(tracker)
    assert tracker.to_bytes() == before


@pytest.mark.parametrize(
    "call",
    [
        lambda t: t.add("\ud800"),
        lambda t: t.update(["a", "\udfff"]),
        lambda t: t.query_many(["\ud800"]),
        lambda t: "\ud800" in t,
    ],
)
def test_lone_surrogates_raise_unicode_encode_error(call):
    tracker = tracker_of(2, "ab")
    before = tracker.to_bytes()
    with pytest.raises(UnicodeEncodeError):
        call(tracker)
    assert tracker.to_bytes() == before


def test_k_must_be_positive():
    with pytest.raises(ValueError) as error:
        TopK(k=0)
    assert str(error.value) == "k must be positive"


# ---- Serialised forms ------------------------------------------------------------


def test_binary_layout():
    tracker = tracker_of(10, ["ab", "ab", "é"])
    data = tracker.to_bytes()
    assert data[:5] == b"VTTK\x01"
    payload = data[21:]
    counters = [("ab", 2, 0), ("é", 1, 0)]
    expected = b"\x01" + struct.pack("<Q", 2)
    for item, count, error in counters:
        text = item.encode()
        expected += struct.pack("<Q", len(text)) + text + struct.pack("<QQ", count, error)
    expected += struct.pack("<Q", 10)
    assert payload == expected
    assert struct.unpack("<Q", data[5:13])[0] == len(payload) == 17 + 24 * 2 + 4
    assert len(TopK(10).to_bytes()) == 38


def test_json_of_an_empty_tracker():
    assert TopK(5).to_json() == '{\n  "version": 1,\n  "counters": [],\n  "k": 5\n}'


@pytest.mark.parametrize(
    "text, expected",
    [
        ('{"counters": [], "k": 5}', (5, [])),
        ('[1, [["a", 3, 0], ["b", 3, 1]], 4]', (4, [("a", 3, 0), ("b", 3, 1)])),
    ],
)
def test_json_reading_forms(text, expected):
    tracker = TopK.from_json(text)
    assert (tracker.k, tracker.top_with_error()) == expected


@pytest.mark.parametrize(
    "record, message",
    [
        ({"version": 2, "counters": [["a", 1, 5]], "k": 0}, "Unsupported TopK data version"),
        ({"version": 0, "counters": [], "k": 5}, "Unsupported TopK data version"),
        ({"counters": [], "k": 0}, "k must be positive"),
        ({"counters": [["a", 1, 0], ["b", 2, 0]], "k": 1}, "number of counters exceeds k"),
        ({"counters": [["a", 5, 1], ["a", 4, 0]], "k": 5}, "duplicate tracked item"),
        ({"counters": [["a", 5, 6], ["a", 4, 0]], "k": 5}, "counter error exceeds count"),
        ({"counters": [["a", 3, 0], ["b", 5, 0]], "k": 5}, "counters must be sorted by descending count"),
        ({"counters": [["a", 3, 0], ["b", 5, 0], ["a", 1, 0]], "k": 5}, "duplicate tracked item"),
    ],
)
def test_validation_messages(record, message):
    text = json.dumps(record)
    with pytest.raises(ValueError) as error:
        TopK.from_json(text)
    assert str(error.value) == message


def envelope(payload):
    import xxhash

    checksum = xxhash.xxh3_64_intdigest(payload, seed=0x56454C54534B4554)
    return b"VTTK\x01" + struct.pack("<QQ", len(payload), checksum) + payload


@pytest.mark.parametrize(
    "text, detail",
    [
        ('{"counters": [{"item": "a", "count": 1}], "k": 5}', "missing field `error`"),
        ('{"counters": [], "k": 5, "k": 6}', "duplicate field `k`"),
        ('{"counters": [["a", 1]], "k": 5}', "invalid length 2, expected struct Counter with 3 elements"),
        ('[1, []]', "invalid length 2, expected struct TopKData with 3 elements"),
        ('{"counters": [5], "k": 5}', "invalid type: integer `5`, expected struct Counter"),
        ('{"version": 256, "counters": [], "k": 1}', "invalid value: integer `256`, expected u8"),
    ],
)
def test_json_decode_errors(text, detail):
    with pytest.raises(ValueError) as error:
        TopK.from_json(text)
    assert str(error.value).startswith(f"Deserialization error: {detail} at line 1 column ")


@pytest.mark.parametrize(
    "payload, detail",
    [
        (b"\x01" + struct.pack("<QQ", 1, 2) + b"\xff\xfe" + struct.pack("<QQQ", 1, 0, 5),
         "string is not valid utf8: invalid utf-8 sequence of 1 bytes from index 0"),
        (b"\x01" + struct.pack("<Q", 2**62), "io error: unexpected end of file"),
    ],
)
def test_binary_decode_errors(payload, detail):
    with pytest.raises(ValueError) as error:
        TopK.from_bytes(envelope(payload))
    assert str(error.value) == f"Deserialization error: {detail}"


def test_loaded_tracker_is_indexed_and_keeps_stored_order(tmp_path):
    stored = tracker_from(3, [("a", 3, 0), ("b", 3, 1), ("c", 2, 2)])
    assert stored.top() == [("a", 3), ("b", 3), ("c", 2)]
    path = str(tmp_path / "tracker.velt")
    stored.save(path)
    with open(path, "rb") as file:
        assert file.read() == stored.to_bytes()
    for loaded in (TopK.load(path), TopK.from_bytes(stored.to_bytes()), TopK.from_json(stored.to_json())):
        assert [loaded[item] for item in "abc"] == [3, 3, 2] and "c" in loaded
        loaded.add("d")  # replaces the last stored counter
        assert loaded.top_with_error() == [("a", 3, 0), ("b", 3, 1), ("d", 3, 2)]


# ---- Laws ----------------------------------------------------------------------

streams = st.lists(st.sampled_from(["a", "b", "c", "d", "e", "f", "g", "", "é", "中文"]), max_size=80)
weighted = st.lists(st.tuples(st.sampled_from("abcdefgh"), st.integers(0, 5)), max_size=40)


@settings(max_examples=80, deadline=None)
@given(st.integers(1, 6), weighted)
def test_round_trips_are_exact(k, adds):
    tracker = TopK(k)
    for item, count in adds:
        tracker.add(item, count)
    for loaded in (TopK.from_bytes(tracker.to_bytes()), TopK.from_json(tracker.to_json())):
        assert loaded.to_bytes() == tracker.to_bytes()
        assert repr(loaded) == repr(tracker)
        # Later adds, replacements included, behave identically.
        original = tracker.copy()
        for tracked in (loaded, original):
            tracked.update(["h", "a", "new"])
        assert loaded.top_with_error() == original.top_with_error()


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
        if position is not None:
            self.counters[position][1] = min(self.counters[position][1] + count, MAX_U64)
        elif len(self.counters) < self.k:
            position = len(self.counters)
            self.counters.append([item, count, 0])
        else:
            position = len(self.counters) - 1
            inherited = self.counters[position][1]
            self.counters[position] = [item, min(inherited + count, MAX_U64), inherited]
        while position > 0 and self.counters[position][1] > self.counters[position - 1][1]:
            self.counters[position - 1], self.counters[position] = self.counters[position], self.counters[position - 1]
            position -= 1

    def merge(self, other):
        def minimum(side):
            return side.counters[-1][1] if len(side.counters) == side.k else 0

        mine, theirs = {c[0]: c for c in self.counters}, {c[0]: c for c in other.counters}
        merged = []
        for item, count, error in self.counters:
            extra = theirs.get(item, [item, minimum(other), minimum(other)])
            merged.append([item, min(count + extra[1], MAX_U64), min(error + extra[2], MAX_U64)])
        for item, count, error in other.counters:
            if item not in mine:
                merged.append([item, min(count + minimum(self), MAX_U64), min(error + minimum(self), MAX_U64)])
        merged.sort(key=lambda c: (-c[1], c[0].encode()))
        self.counters = merged[: self.k]

    def top_with_error(self):
        return [tuple(c) for c in self.counters]


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
        assert tracker.top_with_error() == model.top_with_error()
    assert all(tracker[item] == count for item, count, _ in model.top_with_error())

