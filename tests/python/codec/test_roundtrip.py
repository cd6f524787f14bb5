"""Round trips through every form are exact, and merging commutes with them."""

from hypothesis import given, settings
from hypothesis import strategies as st

from velt import BloomFilter

items = st.lists(st.one_of(st.text(max_size=20), st.binary(max_size=20), st.integers()), max_size=60)
configs = st.tuples(st.integers(1, 3000), st.integers(1, 12), st.integers(0, 2**64 - 1))


def build(config, contents, count_extra=0):
    num_bits, num_hashes, seed = config
    bloom = BloomFilter(num_bits=num_bits, num_hashes=num_hashes, seed=seed)
    bloom.update(contents)
    return bloom


def same(a, b):
    return a.to_bytes() == b.to_bytes() and repr(a) == repr(b) and len(a) == len(b)


@settings(max_examples=60, deadline=None)
@given(configs, items)
def test_round_trips_are_exact(config, contents):
    bloom = build(config, contents)
    assert same(BloomFilter.from_bytes(bloom.to_bytes()), bloom)
    assert same(BloomFilter.from_json(bloom.to_json()), bloom)
    assert BloomFilter.from_json(bloom.to_json()).to_json() == bloom.to_json()


@settings(max_examples=20, deadline=None)
@given(configs, items)
def test_file_round_trip(tmp_path_factory, config, contents):
    bloom = build(config, contents)
    path = str(tmp_path_factory.mktemp("files") / "f.bin")
    bloom.save(path)
    assert same(BloomFilter.load(path), bloom)


@settings(max_examples=40, deadline=None)
@given(configs, items, items)
def test_merge_after_round_trip_equals_merge_before(config, left, right):
    a, b = build(config, left), build(config, right)
    before = a | b
    after = BloomFilter.from_bytes(a.to_bytes()) | BloomFilter.from_json(b.to_json())
    assert same(before, after)
    # And the union holds every item of both streams.
    assert all(before.query_many(left + right))
