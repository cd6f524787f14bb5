"""Structures built per partition of a dask.bag in two worker processes, shipped
as bytes and folded with merge, against the structure built from the whole stream."""

import inspect
import random
import sys
from collections import Counter
from functools import partial
from pathlib import Path

import pytest

dask_bag = pytest.importorskip("dask.bag")
distributed = pytest.importorskip("distributed")
cloudpickle = pytest.importorskip("cloudpickle")

from velt import BloomFilter, CountMinSketch, HyperLogLog, MinHash, TopK  # noqa: E402

# The workers cannot import this test module by name: send its functions by value.
cloudpickle.register_pickle_by_value(sys.modules[__name__])


def sketch_partition(items, cls, params):
    """Build one structure from the items of a partition and ship it as bytes."""
    structure = cls(**params)
    structure.update(list(items))
    return structure.to_bytes()


def merge_sketches(parts, cls):
    """Fold shipped structures into one with merge; the result is shipped as bytes too."""
    parts = iter(parts)
    merged = cls.from_bytes(next(parts))
    for data in parts:
        merged.merge(cls.from_bytes(data))
    return merged.to_bytes()


def build_distributed(bag, cls, params):
    """One structure of class `cls` for the whole bag, built where the data lives."""
    data = bag.reduction(
        partial(sketch_partition, cls=cls, params=params),
        partial(merge_sketches, cls=cls),
    ).compute()
    return cls.from_bytes(data)


def zipf_stream(length, distinct, seed, exponent=1.1):
    rng = random.Random(seed)
    names = [f"page-{i}" for i in range(distinct)]
    return rng.choices(names, weights=[1 / rank**exponent for rank in range(1, distinct + 1)], k=length)


STREAM = zipf_stream(40_000, distinct=5_000, seed=11)

# Merging these is exact: the fold equals the whole-stream structure bit for bit.
EXACT = [
    (HyperLogLog, {"precision": 12, "seed": 7}),
    (CountMinSketch, {"width": 1024, "depth": 4, "seed": 7}),
    (BloomFilter, {"expected_items": 5_000, "false_positive_rate": 0.01, "seed": 7}),
    (MinHash, {"num_hashes": 64, "seed": 7}),
]


@pytest.fixture(scope="module")
def bag():
    with (
        distributed.LocalCluster(
            n_workers=2, processes=True, threads_per_worker=1, dashboard_address=None
        ) as cluster,
        distributed.Client(cluster),
    ):
        yield dask_bag.from_sequence(STREAM, npartitions=8)


@pytest.mark.parametrize("cls, params", EXACT, ids=[cls.__name__ for cls, _ in EXACT])
def test_merged_partitions_equal_the_whole_stream(bag, cls, params):
    whole = cls(**params)
    whole.update(STREAM)
    assert whole.to_bytes() != cls(**params).to_bytes()
    assert build_distributed(bag, cls, params).to_bytes() == whole.to_bytes()


def test_merged_top_k_keeps_its_bounds(bag):
    k = 50
    merged = build_distributed(bag, TopK, {"k": k})
    truth = Counter(STREAM)
    counters = merged.top_with_error()
    assert len(counters) == k
    # Merging orders the counters by count, equal counts by item text.
    assert counters == sorted(counters, key=lambda c: (-c[1], c[0].encode()))
    for item, count, error in counters:
        assert count - error <= truth[item] <= count, item
    # No item left out is heavier than the smallest count kept.
    tracked = {item for item, _, _ in counters}
    assert max(n for item, n in truth.items() if item not in tracked) <= merged.min_count()
    assert {item for item, _ in truth.most_common(10)} == {item for item, _ in merged.top(10)}


def test_distributed_guide_shows_the_tested_code():
    guide = (Path(__file__).parents[2] / "docs" / "distributed.md").read_text()
    for function in (sketch_partition, merge_sketches, build_distributed):
        assert inspect.getsource(function) in guide, function.__name__
