"""MinHashLSH: the bands and rows it chooses, candidates as shared bands, removal,
merging, duplicate groups against a reference built from the signatures, and the
index's answers to keys and signatures it cannot take."""

import random

import pytest
from hypothesis import given, settings, strategies as st

from velt import MinHash, MinHashLSH
from helpers import fields, from_record, raises


def s_curve_error(threshold, bands, rows, steps=2000):
    """Half the false positive plus half the false negative area, by the midpoint rule."""
    def p(s):
        return 1 - (1 - s**rows) ** bands
    below = sum(p((i + 0.5) * threshold / steps) for i in range(steps)) * threshold / steps
    above = sum(1 - p(threshold + (i + 0.5) * (1 - threshold) / steps) for i in range(steps)) * (1 - threshold) / steps
    return 0.5 * below + 0.5 * above


@pytest.mark.parametrize("threshold, num_hashes", [(0.5, 32), (0.8, 64), (0.9, 40), (0.3, 17)])
def test_bands_and_rows_minimise_the_s_curve_errors(threshold, num_hashes):
    index = MinHashLSH(threshold=threshold, num_hashes=num_hashes)
    assert index.bands * index.rows <= num_hashes
    chosen = s_curve_error(threshold, index.bands, index.rows)
    best = min(s_curve_error(threshold, b, r, steps=200) for b in range(1, num_hashes + 1)
               for r in range(1, num_hashes // b + 1))
    assert chosen <= best + 1e-4


def test_settings_given_and_refused():
    index = MinHashLSH(threshold=0.7, num_hashes=20, seed=3, bands=4, rows=5, scheme="multiply_shift")
    assert (index.threshold, index.num_hashes, index.seed, index.bands, index.rows, index.scheme) == (
        0.7, 20, 3, 4, 5, "multiply_shift")
    assert repr(index) == "MinHashLSH(threshold=0.7, num_hashes=20, bands=4, rows=5, scheme='multiply_shift', len=0)"
    for settings_, message in [({"bands": 4}, "bands and rows must be given together"),
                               ({"bands": 5, "rows": 5, "num_hashes": 20}, "bands * rows must not exceed num_hashes"),
                               ({"bands": 0, "rows": 5}, "bands and rows must be positive"),
                               ({"threshold": 1.5}, "threshold must be between 0 and 1"),
                               ({"threshold": float("nan")}, "threshold must be between 0 and 1"),
                               ({"num_hashes": 0}, "num_hashes must be positive"),
                               ({"scheme": "fast"}, "scheme must be 'classic' or 'multiply_shift'")]:
        with raises(ValueError, message):
            MinHashLSH(**settings_)


def bands_of(signature, bands, rows):
    return [tuple(signature[b * rows:(b + 1) * rows]) for b in range(bands)]


class Reference:
    """Candidates and groups straight from the signatures."""

    def __init__(self, bands, rows):
        self.bands, self.rows, self.entries = bands, rows, {}

    def candidates(self, signature):
        mine = bands_of(signature, self.bands, self.rows)
        return {key for key, theirs in self.entries.items()
                if any(a == b for a, b in zip(mine, bands_of(theirs, self.bands, self.rows)))}

    def groups(self, keep=lambda a, b: True):
        parent = {key: key for key in self.entries}

        def find(key):
            while parent[key] != key:
                key = parent[key]
            return key
        keys = list(self.entries)
        for i, a in enumerate(keys):
            for b in keys[:i]:
                if b in self.candidates(self.entries[a]) and keep(self.entries[a], self.entries[b]):
                    parent[find(a)] = find(b)
        groups = {}
        for key in keys:
            groups.setdefault(find(key), set()).add(key)
        return sorted((g for g in groups.values() if len(g) > 1), key=lambda g: sorted(map(str, g)))


# Signatures of 6 slots over 3 values: shared bands are common.
signatures = st.lists(st.integers(0, 2), min_size=6, max_size=6)
operations = st.lists(st.tuples(st.booleans(), st.integers(0, 12), signatures), max_size=40)


@settings(max_examples=200, deadline=None)
@given(operations=operations, probe=signatures)
def test_candidates_groups_and_removal_follow_the_bands(operations, probe):
    index, reference = MinHashLSH(threshold=0.5, num_hashes=6, bands=3, rows=2), Reference(3, 2)
    for inserting, number, signature in operations:
        key = f"k{number}" if number % 2 else number
        if inserting and key not in reference.entries:
            index.insert(key, signature)
            reference.entries[key] = signature
        elif not inserting and key in reference.entries:
            index.remove(key)
            del reference.entries[key]
    assert len(index) == len(reference.entries) and all(key in index for key in reference.entries)
    assert set(index.query(probe)) == reference.candidates(probe)
    assert sorted(map(set, index.duplicates()), key=lambda g: sorted(map(str, g))) == reference.groups()
    similar = lambda a, b: sum(x == y for x, y in zip(a, b)) >= 0.5 * 6  # noqa: E731
    assert sorted(map(set, index.duplicates(verify=True)), key=lambda g: sorted(map(str, g))) == reference.groups(similar)
    leaders = index.duplicate_of()
    assert set(leaders) == set(reference.entries)
    for group in index.duplicates():
        assert {leaders[key] for key in group} == {group[0]}
    assert MinHashLSH.from_bytes(index.to_bytes()).to_bytes() == index.to_bytes()


def documents(count, rng):
    words = [f"w{i}" for i in range(300)]
    base = [rng.choice(words) for _ in range(60)]
    out = []
    for _ in range(count):
        doc = list(base) if rng.random() < 0.5 else [rng.choice(words) for _ in range(60)]
        doc[rng.randrange(60)] = rng.choice(words)
        out.append(" ".join(doc))
    return out


@pytest.mark.parametrize("scheme", ["classic", "multiply_shift"])
def test_batches_rows_and_minhashes_are_one_signature(scheme):
    texts = documents(30, random.Random(5))
    rows = MinHash.signatures(texts, num_hashes=64, seed=9, n=3, scheme=scheme)
    batch, single = MinHashLSH(0.7, 64, 9, scheme=scheme), MinHashLSH(0.7, 64, 9, scheme=scheme)
    batch.update(list(range(30)), rows)
    for i, row in enumerate(rows.tolist()):
        single.insert(i, row)
    assert batch.to_bytes() == single.to_bytes()
    assert batch.query_many(rows) == [batch.query(row) for row in rows.tolist()]
    if scheme == "classic":
        minhash = MinHash(64, 9)
        words = texts[0].split()
        minhash.update(" ".join(words[i:i + 3]) for i in range(len(words) - 2))
        assert batch.query(minhash) == batch.query(rows.tolist()[0])
    halves = MinHashLSH(0.7, 64, 9, scheme=scheme), MinHashLSH(0.7, 64, 9, scheme=scheme)
    halves[0].update(list(range(15)), rows.tolist()[:15])
    halves[1].update(list(range(15, 30)), rows.tolist()[15:])
    halves[0].merge(halves[1])
    assert halves[0].to_bytes() == batch.to_bytes()


def test_refusals_leave_the_index_as_it_was():
    index = MinHashLSH(threshold=0.5, num_hashes=4, bands=2, rows=2)
    index.update(["a", 1], [[1, 2, 3, 4], [5, 6, 7, 8]])
    before = index.to_bytes()
    cases = [
        (lambda: index.insert("a", [1, 2, 3, 4]), ValueError, "key already in the index"),
        (lambda: index.update(["b", "b"], [[0] * 4] * 2), ValueError, "key already in the index"),
        (lambda: index.update(["b", 1], [[0] * 4] * 2), ValueError, "key already in the index"),
        (lambda: index.update(["b", "c"], [[0] * 4, [0] * 3]), ValueError, "signature has 3 values; the index takes 4"),
        (lambda: index.update(["b"], [[0] * 4] * 2), ValueError, "keys and signatures differ in number"),
        (lambda: index.insert("b", [1, 2, 3]), ValueError, "signature has 3 values; the index takes 4"),
        (lambda: index.query([1, 2, 3, 4, 5]), ValueError, "signature has 5 values; the index takes 4"),
        (lambda: index.insert("b", MinHash(4, 1)), ValueError, "Cannot use the MinHash: seed mismatch (0 vs 1)"),
        (lambda: index.insert("b", MinHash(8)), ValueError, "Cannot use the MinHash: num_hashes mismatch (4 vs 8)"),
        (lambda: index.remove("absent"), ValueError, "key not in the index"),
        (lambda: index.insert(True, [0] * 4), TypeError, "argument 'key': a key must be a str or a non-negative int, not 'bool'"),
        (lambda: index.insert(2.0, [0] * 4), TypeError, "argument 'key': a key must be a str or a non-negative int, not 'float'"),
        (lambda: index.insert(-1, [0] * 4), OverflowError, "can't convert negative int to unsigned"),
        (lambda: index.insert("b", [-1, 0, 0, 0]), OverflowError, "can't convert negative int to unsigned"),
        (lambda: index.merge(MinHashLSH(0.5, 4, bands=1, rows=2)), ValueError, "Cannot merge: bands mismatch (2 vs 1)"),
        (lambda: index.merge(MinHashLSH(0.5, 4, bands=2, rows=2, scheme="multiply_shift")), ValueError,
         "Cannot merge: scheme mismatch (0 vs 1)"),
        (lambda: index.merge(from_record(MinHashLSH, **{**fields(index), "signatures": [1, 2, 3, 5] * 2})), ValueError,
         "Cannot merge: a key is in both indexes with different signatures"),
    ]
    for call, error, message in cases:
        with raises(error, message):
            call()
        assert index.to_bytes() == before
    fast = MinHashLSH(threshold=0.5, num_hashes=4, bands=2, rows=2, scheme="multiply_shift")
    with raises(ValueError, "a MinHash signature is of the classic scheme; this index takes multiply_shift signatures"):
        fast.insert("a", MinHash(4))


def test_numpy_rows_and_memory():
    numpy = pytest.importorskip("numpy")
    rows = numpy.asarray(MinHash.signatures([f"text {i}" for i in range(200)], num_hashes=32, n=1))
    index = MinHashLSH(num_hashes=32)
    empty = index.size_in_bytes
    index.update(numpy.arange(200).tolist(), rows)
    assert index.query_many(rows[:3]) == [index.query(row) for row in rows[:3]]
    # A signature of 32 slots is 256 bytes: an entry costs that and a few hundred more.
    assert 200 * 256 < index.size_in_bytes - empty < 200 * 1024
    with raises(ValueError, "signature has 16 values; the index takes 32"):
        index.query_many(numpy.zeros((2, 16), dtype=numpy.uint64))
