"""MinHash.signatures: shingles as str.split() and code points cut them, classic
rows equal to MinHash's own signatures, the multiply_shift scheme against an
oracle built on the xxhash package, its accuracy, and the shapes and errors."""

import math
import random

import pytest
from hypothesis import given, settings, strategies as st

from velt import MinHash
from helpers import G, MASK, raises, splitmix_finalise, xxh3

EMPTY = MASK
# Every kind of whitespace str.split() splits on, beside letters that are not whitespace.
WHITESPACE = "\t\n\x0b\x0c\r\x1c\x1d\x1e\x1f \x85\xa0\u1680\u2000\u2005\u200a\u2028\u2029\u202f\u205f\u3000"
LETTERS = "ab\u00e9\u200b\u4e2d\U0001f600"


def shingles(text, shingle, n):
    if shingle == "word":
        words = text.split()
        return [" ".join(words[i:i + n]) for i in range(max(1, len(words) - n + 1))] if words else []
    return [text[i:i + n] for i in range(max(1, len(text) - n + 1))] if text else []


def classic_row(items, num_hashes, seed):
    minhash = MinHash(num_hashes, seed)
    minhash.update(items)
    return minhash.signature()


def multiply_shift_row(items, num_hashes, seed):
    """Slot i: the smallest a_i * h + b_i mod 2^64 over the items' h = XXH3(item, seed)."""
    state, slots = seed, []
    for _ in range(num_hashes):
        state = (state + G) & MASK
        multiplier = splitmix_finalise(state) | 1
        state = (state + G) & MASK
        slots.append((multiplier, splitmix_finalise(state)))
    hashes = [xxh3(item.encode() if isinstance(item, str) else item, seed) for item in items]
    return [min(((a * h + b) & MASK for h in hashes), default=EMPTY) for a, b in slots]


ROW_OF = {"classic": classic_row, "multiply_shift": multiply_shift_row}
texts = st.lists(st.text(alphabet=WHITESPACE + LETTERS, max_size=40), max_size=6)


@settings(max_examples=150, deadline=None)
@given(documents=texts, shingle=st.sampled_from(["word", "character"]), n=st.integers(1, 6),
       seed=st.integers(0, MASK), scheme=st.sampled_from(["classic", "multiply_shift"]))
def test_rows_are_the_signatures_of_the_documents_shingles(documents, shingle, n, seed, scheme):
    rows = MinHash.signatures(documents, num_hashes=9, seed=seed, shingle=shingle, n=n, scheme=scheme)
    assert (rows.shape, rows.format) == ((len(documents), 9), "Q")
    assert rows.tolist() == [ROW_OF[scheme](shingles(text, shingle, n), 9, seed) for text in documents]


@settings(max_examples=100, deadline=None)
@given(pieces=st.lists(st.text(alphabet=WHITESPACE + LETTERS + "x", min_size=1, max_size=12), max_size=80),
       n=st.integers(1, 3))
def test_long_texts_are_cut_where_str_split_cuts_them(pieces, n):
    # Long enough for whitespace to fall on every place of the eight-byte and 64-byte runs the cutter reads.
    text = "".join(pieces)
    rows = MinHash.signatures([text], num_hashes=4, seed=7, n=n, scheme="multiply_shift")
    assert rows.tolist() == [multiply_shift_row(shingles(text, "word", n), 4, 7)]


@pytest.mark.parametrize("scheme", ["classic", "multiply_shift"])
def test_documents_of_items_are_signed_as_their_items(scheme):
    long_items = ["x" * 241, "y" * 1000, b"\x00" * 300]  # past 240 bytes the classic scheme keeps slot secrets
    documents = [["a", "b", "a"], [], long_items, [b"a", "b"]]
    rows = MinHash.signatures(documents, num_hashes=33, seed=7, scheme=scheme).tolist()
    oracle = ROW_OF[scheme]
    assert rows[0] == rows[3] == oracle(["a", "b"], 33, 7)  # bytes and text of the same bytes are one item
    assert rows[1] == [EMPTY] * 33
    assert rows[2] == oracle(long_items, 33, 7)
    assert MinHash.signatures(documents, num_hashes=33, seed=7, scheme=scheme, shingle="character", n=1).tolist() == rows


def test_a_column_is_signed_as_its_texts():
    pyarrow = pytest.importorskip("pyarrow")
    documents = ["one two three four five six", "", "seven"] * 700  # several blocks of a column
    column = pyarrow.chunked_array([documents[:1000], documents[1000:]])
    for scheme in ROW_OF:
        assert (MinHash.signatures(column, n=2, scheme=scheme).tolist()
                == MinHash.signatures(documents, n=2, scheme=scheme).tolist())
    with raises(TypeError, "argument 'items': 'NoneType' object cannot be converted to 'PyString'"):
        MinHash.signatures(pyarrow.array(["a", None]))


def test_rows_work_as_arrays():
    numpy = pytest.importorskip("numpy")
    rows = MinHash.signatures(["a b c", "d e f"], num_hashes=4, n=1)
    array = numpy.asarray(rows)
    assert (array.dtype, array.shape) == (numpy.uint64, (2, 4)) and array.tolist() == rows.tolist()
    array[0, 0] = 5  # the array owns its memory: writable, and shared with the view
    assert rows[0, 0] == 5
    assert MinHash.signatures([], num_hashes=3).shape == (0, 3)


@pytest.mark.parametrize("call, error, message", [
    (lambda: MinHash.signatures(["a"], scheme="fast"), ValueError, "scheme must be 'classic' or 'multiply_shift'"),
    (lambda: MinHash.signatures(["a"], shingle="line"), ValueError, "shingle must be 'word' or 'character'"),
    (lambda: MinHash.signatures(["a"], n=0), ValueError, "n must be positive"),
    (lambda: MinHash.signatures(["a"], num_hashes=0), ValueError, "num_hashes must be positive"),
    (lambda: MinHash.signatures("a b"), TypeError, "argument 'documents': Can't extract `str` to `Vec`"),
    (lambda: MinHash.signatures([["a"], "b"]), TypeError,
     "argument 'documents': every document must be a str, or every one a list of items"),
    (lambda: MinHash.signatures(["a", 1]), TypeError,
     "argument 'documents': 'int' object cannot be converted to 'PyString'"),
    (lambda: MinHash.signatures(["a"], seed=-1), OverflowError, "can't convert negative int to unsigned"),
])
def test_refusals(call, error, message):
    with raises(error, message):
        call()


def pairs_at(similarity, count, size, rng):
    """`count` pairs of sets of `size` items whose Jaccard index is exactly `similarity`."""
    shared = round(2 * size * similarity / (1 + similarity))
    for _ in range(count):
        base = rng.getrandbits(60)
        common = [f"{base}-{i}" for i in range(shared)]
        yield (common + [f"{base}-a{i}" for i in range(size - shared)],
               common + [f"{base}-b{i}" for i in range(size - shared)], shared / (2 * size - shared))


@pytest.mark.parametrize("scheme", ["classic", "multiply_shift"])
@pytest.mark.parametrize("similarity", [0.2, 0.5, 0.8])
def test_estimates_are_as_accurate_as_independent_slots(scheme, similarity):
    """The rms error over 200 pairs is within 1.2 times sqrt(J (1 - J) / k); the
    sampling error of the rms itself is about 5 %, so a sound scheme fails by chance
    with odds far below one in a million."""
    rng, k = random.Random(similarity), 128
    pairs = list(pairs_at(similarity, 200, 150, rng))
    rows = MinHash.signatures([side for a, b, _ in pairs for side in (a, b)], num_hashes=k, scheme=scheme).tolist()
    errors = []
    for i, (_, _, exact) in enumerate(pairs):
        first, second = rows[2 * i], rows[2 * i + 1]
        errors.append(sum(x == y for x, y in zip(first, second)) / k - exact)
    exact = pairs[0][2]
    assert math.sqrt(sum(e * e for e in errors) / len(errors)) <= 1.2 * math.sqrt(exact * (1 - exact) / k)
