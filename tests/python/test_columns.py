"""Columns as items: an Arrow array or stream, a polars or pandas Series, a numpy
array or another buffer leaves exactly the state, and gives exactly the answers
and errors, of iterating the same column; the answers come back as a column of
the same library (a pandas Series on the same index)."""

import array
import gc
import subprocess
import sys

import numpy as np
import pandas as pd
import polars as pl
import pyarrow as pa
import pytest
from hypothesis import given, settings, strategies as st

import velt

CLASSES = {
    "BloomFilter": lambda: velt.BloomFilter(500, 0.01, seed=3),
    "CountingBloomFilter": lambda: velt.CountingBloomFilter(500, 0.01, seed=3),
    "ScalableBloomFilter": lambda: velt.ScalableBloomFilter(8, 0.01, seed=3),  # grows within a test
    "CuckooFilter": lambda: velt.CuckooFilter(64, seed=3),  # fills up within a test
    "HyperLogLog": lambda: velt.HyperLogLog(8, seed=3),
    "CountMinSketch": lambda: velt.CountMinSketch(64, 4, seed=3),
    "MinHash": lambda: velt.MinHash(16, seed=3),
    "BlockedBloomFilter": lambda: velt.BlockedBloomFilter(num_blocks=16, seed=3),
}

texts = st.lists(
    st.one_of(st.none(), st.text(st.characters(blacklist_categories=("Cs",)), max_size=20)), max_size=60
)
INT_TYPES = {
    "int8": (-(2**7), 2**7 - 1), "uint8": (0, 2**8 - 1), "int16": (-(2**15), 2**15 - 1),
    "uint16": (0, 2**16 - 1), "int32": (-(2**31), 2**31 - 1), "uint32": (0, 2**32 - 1),
    "int64": (-(2**63), 2**63 - 1), "uint64": (0, 2**64 - 1),
}


@st.composite
def integers(draw, dtype):
    low, high = INT_TYPES[dtype]
    value = st.one_of(st.sampled_from([low, high, 0, -1 if low else 1]), st.integers(low, high))
    return draw(st.lists(st.one_of(st.none(), value), max_size=60))


def chunks(values, cuts):
    """`values` split at `cuts` (in order, repeated cuts giving empty chunks)."""
    bounds = [0, *sorted(cut % (len(values) + 1) for cut in cuts), len(values)]
    return [values[a:b] for a, b in zip(bounds, bounds[1:])]


def text_columns(values, cuts, offset):
    """Every kind of text column over `values`, each with what iterating it gives."""
    present = [v for v in values if v is not None]
    sliced = values[offset:]
    columns = [
        pa.chunked_array(chunks(values, cuts), kind).slice(offset) for kind in (pa.utf8(), pa.large_utf8(), pa.string_view())
    ]
    columns += [pa.array(values, pa.utf8()).slice(offset), pa.array(values, pa.string_view()).slice(offset)]
    index = [f"row {i}" for i in range(len(sliced))][::-1]  # answers line up with it
    columns += [pl.Series("user", sliced, dtype=pl.String), pd.Series(sliced, index, dtype="str", name="user"),
                pd.Series(sliced, dtype="string")]
    columns += [np.array(present, "U"), np.array([v.encode() for v in present], "S")]
    return columns


def int_columns(values, dtype, cuts, offset):
    present = [v for v in values if v is not None]
    columns = [pa.chunked_array(chunks(values, cuts), getattr(pa, dtype)()).slice(offset)]
    columns += [pa.array(values, getattr(pa, dtype)()).slice(offset), pl.Series(values[offset:], dtype=getattr(pl, dtype.capitalize().replace("Uint", "UInt")))]
    numpy_array = np.array(present, dtype)
    columns += [numpy_array, numpy_array[::-2], pd.Series(numpy_array)]
    if dtype in ("int64", "uint8"):
        columns += [array.array("q" if dtype == "int64" else "B", present)]
        columns += [memoryview(columns[-1]), bytes(columns[-1]) if dtype == "uint8" else numpy_array > 0]
    return columns


# What the answers to each kind of column come as; any other Arrow producer gets
# an object exporting __arrow_c_array__.
ANSWER_TYPES = [(pd.Series, pd.Series), (pl.Series, pl.Series), ((pa.Array, pa.ChunkedArray), pa.Array),
                ((np.ndarray, array.array, memoryview, bytes), np.ndarray)]


def answers_as_list(column, answers):
    """The answers to a column, checked to be a column of its own library, as (type, value) pairs."""
    expected = next((out for into, out in ANSWER_TYPES if isinstance(column, into)), None)
    if expected is None:
        answers = pa.array(answers)
    assert isinstance(answers, expected or pa.Array)
    if isinstance(column, pd.Series):
        assert answers.index.equals(column.index) and answers.name == column.name
    values = answers.to_list() if isinstance(answers, pl.Series) else answers.tolist()
    return [(type(value), value) for value in values]


def same_answers(column, answers, listed):
    return answers_as_list(column, answers) == [(type(value), value) for value in listed]


def assert_same_as_iterating(name, column):
    fed, iterated = CLASSES[name](), CLASSES[name]()
    reference = list(column)  # what iterating the column gives, one object per value
    try:
        fed_answer = fed.update(column)
    except OverflowError:  # a counting filter's counter: the same error, after the same items
        with pytest.raises(OverflowError):
            iterated.update(reference)
    else:
        assert fed_answer == iterated.update(reference)
    if name == "CuckooFilter":  # eviction order may differ: compare count and membership
        assert len(fed) == len(iterated)
    else:
        assert fed.to_bytes() == iterated.to_bytes()
    if hasattr(fed, "query_many"):
        assert same_answers(column, fed.query_many(column), iterated.query_many(reference))


settings_for_columns = settings(max_examples=25, deadline=None)


@pytest.mark.parametrize("name", CLASSES)
@settings_for_columns
@given(values=texts, cuts=st.lists(st.integers(0, 60), max_size=4), offset=st.integers(0, 5))
def test_text_columns_are_their_iteration(name, values, cuts, offset):
    offset = min(offset, len(values))
    for column in text_columns(values, cuts, offset):
        assert_same_as_iterating(name, column)


@pytest.mark.parametrize("name", CLASSES)
@pytest.mark.parametrize("dtype", INT_TYPES)
@settings(max_examples=8, deadline=None)
@given(data=st.data(), cuts=st.lists(st.integers(0, 60), max_size=3), offset=st.integers(0, 3))
def test_integer_columns_are_their_iteration(name, dtype, data, cuts, offset):
    values = data.draw(integers(dtype))
    offset = min(offset, len(values))
    for column in int_columns(values, dtype, cuts, offset):
        assert_same_as_iterating(name, column)


@pytest.mark.parametrize("name", [name for name in CLASSES if hasattr(CLASSES[name](), "query_hashes")])
@settings_for_columns
@given(hashes=st.lists(st.one_of(st.sampled_from([0, 2**64 - 1]), st.integers(0, 2**64 - 1)), max_size=60))
def test_hash_columns_answer_with_columns(name, hashes):
    structure = CLASSES[name]()
    structure.update_hashes(hashes[::4])
    listed = structure.query_hashes(hashes)
    for column in (np.array(hashes, np.uint64), pa.array(hashes, pa.uint64()), pl.Series("h", hashes, dtype=pl.UInt64),
                   pd.Series(hashes, index=range(len(hashes), 0, -1), dtype="uint64")):
        assert same_answers(column, structure.query_hashes(column), listed)


def test_answers_to_other_producers_export_arrow_and_buffers_without_numpy():
    bloom, sketch = velt.BloomFilter(100, 0.01), velt.CountMinSketch(64, 4)
    bloom.update(["a"]), sketch.update(["a", "a"])
    hits = bloom.query_many(ArrayProducer(lambda: pa.array(["a", "b"]).__arrow_c_array__()))
    counts = sketch.query_many(ArrayProducer(lambda: pa.array(["a", "b"]).__arrow_c_array__()))
    hits.__arrow_c_array__()  # capsules dropped unread release what they hold
    assert (len(hits), pa.array(hits).to_pylist(), pa.array(counts).to_pylist()) == (2, [True, False], [2, 0])
    assert memoryview(counts).tolist() == [2, 0]
    schema, exported = counts.__arrow_c_array__(requested_schema=None)
    assert pa.Array._import_from_c_capsule(schema, exported).to_pylist() == [2, 0]
    for empty in (pa.array([], pa.string()), pl.Series([], dtype=pl.String), np.array([], np.int64), pd.Series([], dtype="str")):
        assert same_answers(empty, bloom.query_many(empty), []) and same_answers(empty, sketch.query_many(empty), [])
    answers = bloom.query_many(np.array([1, 2]))
    answers[0] = True  # numpy answers are the caller's own array
    assert answers.tolist() == [True, False]
    with pytest.raises(BufferError):
        memoryview(hits)  # Arrow booleans are bits: no buffer form
    without_numpy = """
import sys, array; sys.modules["numpy"] = None
import velt
bloom, sketch = velt.BloomFilter(100, 0.01), velt.CountMinSketch(64, 4)
bloom.update(["1"]), sketch.update(["1", "1"])
ids = array.array("q", [1, 2])
hits, counts = bloom.query_many(ids), sketch.query_many(ids)
assert (hits.format, hits.tolist(), counts.format, counts.tolist()) == ("?", [True, False], "Q", [2, 0])
"""
    assert subprocess.run([sys.executable, "-c", without_numpy]).returncode == 0


def test_nulls_are_what_each_producer_iterates_as_and_long_columns_cross_blocks():
    """None for pyarrow and polars, the dtype's missing value for pandas."""
    for column, null in [(pa.array(["a", None]), "None"), (pl.Series(["a", None]), "None"),
                         (pd.Series(["a", None], dtype="str"), "nan"), (pd.Series(["a", None], dtype="string"), "<NA>")]:
        fed, named = velt.BloomFilter(100, 0.01), velt.BloomFilter(100, 0.01)
        fed.update(column)
        named.update(["a", null])
        assert fed.to_bytes() == named.to_bytes()
    for column in (pa.array([f"v{i % 70001}" if i % 13 else None for i in range(200_000)]), np.arange(-100_000, 100_000)):
        assert_same_as_iterating("CountMinSketch", column)
        assert_same_as_iterating("BloomFilter", column)  # answers packed across blocks


def misaligned(buffer):
    """A copy of `buffer` starting at an odd address, as unpickled columns may."""
    return pa.py_buffer(memoryview(b"\0" + buffer.to_pybytes())[1:])


def test_columns_in_misaligned_buffers_are_their_iteration():
    texts = ["a", None, "long text beyond twelve bytes", ""]
    for values, kind in [(texts, pa.string()), (texts, pa.large_string()), (texts, pa.string_view()),
                         ([-(2**63), None, 2**63 - 1, 0], pa.int64())]:
        aligned = pa.array(values, kind)
        buffers = [misaligned(b) if b is not None else None for b in aligned.buffers()]
        column = pa.Array.from_buffers(kind, len(aligned), buffers, null_count=aligned.null_count)
        assert column.to_pylist() == values
        assert_same_as_iterating("HyperLogLog", column)
    assert_same_as_iterating("HyperLogLog", np.frombuffer(b"\0" + np.arange(9).tobytes(), np.int64, offset=1))


def test_unicode_arrays_with_lone_surrogates_iterate_alike():
    column = np.array(["ok"] * 5000 + ["a\ud800b", "\udfff"], "U")  # beyond the first block
    assert_same_as_iterating("BloomFilter", column)
    tracker = velt.TopK(3)
    with pytest.raises(UnicodeEncodeError):
        tracker.update(column)
    assert tracker.query("ok") == 0  # refused before any text was counted


# ---- TopK: text columns -------------------------------------------------------------


@settings_for_columns
@given(values=st.lists(st.sampled_from(["a", "b", "é", "", "long text " * 3]), max_size=80))
def test_topk_takes_text_columns(values):
    expected = velt.TopK(3)
    expected.update(values)
    for column in (pa.array(values), pa.array(values, pa.string_view()), pl.Series(values, dtype=pl.String), np.array(values, "U")):
        tracker = velt.TopK(3)
        tracker.update(column)
        assert tracker.to_bytes() == expected.to_bytes()
        assert same_answers(column, tracker.query_many(column), expected.query_many(values))


def test_topk_refuses_a_null_as_it_refuses_none():
    with pytest.raises(TypeError) as from_list:
        velt.TopK(3).update(["a", None])
    tracker = velt.TopK(3)
    for column in (pa.chunked_array([["a"], ["b", None]]), pl.Series(["a", None])):
        with pytest.raises(TypeError) as from_column:
            tracker.update(column)
        assert str(from_column.value) == str(from_list.value)
        with pytest.raises(TypeError):
            tracker.query_many(column)
    assert tracker.query("a") == 0  # nothing was added before the refusal
    with pytest.raises(TypeError):
        velt.TopK(3).update(pa.array([1, 2]))  # not text: iterated, refused as before


# ---- Malformed producers --------------------------------------------------------------


class Producer:
    """Hands over the capsules `make` returns; iterating it gives `values`."""

    def __init__(self, make, values=()):
        self.make, self.values = make, list(values)

    def __iter__(self):
        return iter(self.values)


class ArrayProducer(Producer):
    def __arrow_c_array__(self, requested_schema=None):
        return self.make()


class StreamProducer(Producer):
    def __arrow_c_stream__(self, requested_stream=None):
        return self.make()


def test_malformed_producers_raise_clean_errors_and_release_everything():
    gc.collect()
    baseline = pa.total_allocated_bytes()
    texts_array, ints_array = pa.array(["x" * 50] * 1000), pa.array(list(range(1000)))

    def mismatched():  # an int64 schema over a string array's buffers
        return ints_array.type.__arrow_c_schema__(), texts_array.__arrow_c_array__()[1]

    def failing():
        raise RuntimeError("producer failed")

    with pytest.raises(ValueError, match="malformed Arrow column"):
        velt.BloomFilter(100, 0.01).update(ArrayProducer(mismatched))
    with pytest.raises(RuntimeError, match="producer failed"):
        velt.BloomFilter(100, 0.01).update(ArrayProducer(failing))
    with pytest.raises(RuntimeError, match="producer failed"):
        velt.HyperLogLog(8).update(StreamProducer(failing))
    with pytest.raises(ValueError, match=r"\(schema, array\) pair"):
        velt.BloomFilter(100, 0.01).update(ArrayProducer(lambda: "not capsules"))
    with pytest.raises(ValueError):  # a capsule of the wrong kind
        velt.BloomFilter(100, 0.01).update(StreamProducer(lambda: texts_array.__arrow_c_array__()[1]))
    reused = texts_array.__arrow_c_array__()
    velt.BloomFilter(100, 0.01).update(ArrayProducer(lambda: reused))
    with pytest.raises(ValueError, match="released already"):
        velt.BloomFilter(100, 0.01).update(ArrayProducer(lambda: reused))
    del texts_array, ints_array, reused
    gc.collect()
    assert pa.total_allocated_bytes() == baseline


def test_columns_of_other_types_are_iterated():
    values = [1.5, None, 2.0]
    for column in (pa.array(values), pa.array([b"a", b"b"]), pa.array(["a", "b"]).dictionary_encode(),
                   ArrayProducer(lambda: pa.array(values).__arrow_c_array__(), values), np.array([[1, 2]]), np.array(values)):
        assert_same_as_iterating("BloomFilter", column)
