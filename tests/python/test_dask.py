"""velt.dask on a two-process cluster: structures per partition, shipped as bytes and
merged, against the structure one process builds from the whole column."""

import random
import re
from collections import Counter
from pathlib import Path

import pytest

dd = pytest.importorskip("dask.dataframe")
dask_bag = pytest.importorskip("dask.bag")
distributed = pytest.importorskip("distributed")
pd = pytest.importorskip("pandas")

import velt.dask  # noqa: E402
from velt import BloomFilter, CountMinSketch, CuckooFilter, HyperLogLog, MinHash, TopK  # noqa: E402

rng = random.Random(11)
PAGES = [f"page-{int(rng.paretovariate(1.1))}" for _ in range(40_000)]
FRAME = pd.DataFrame({"page": PAGES, "user": [rng.randrange(-2**63, 2**63) for _ in PAGES]})
FRAME["site"] = [page[-1] for page in PAGES]

# Merging these is exact: the fold equals the whole-column structure bit for bit.
EXACT = [
    (HyperLogLog, {"precision": 12, "seed": 7}),
    (CountMinSketch, {"width": 1024, "depth": 4, "seed": 7}),
    (BloomFilter, {"expected_items": 5_000, "false_positive_rate": 0.01, "seed": 7}),
    (MinHash, {"num_hashes": 64, "seed": 7}),
]


@pytest.fixture(scope="module")
def client():
    with (
        distributed.LocalCluster(n_workers=2, processes=True, threads_per_worker=1, dashboard_address=None) as cluster,
        distributed.Client(cluster) as client,
    ):
        yield client


@pytest.mark.parametrize("column", ["page", "user"])
@pytest.mark.parametrize("cls, settings", EXACT, ids=[cls.__name__ for cls, _ in EXACT])
def test_a_column_and_a_bag_give_the_whole_column_structure(client, cls, settings, column):
    whole = cls(**settings)
    whole.update(FRAME[column].tolist())
    assert whole.to_bytes() != cls(**settings).to_bytes()
    frame = dd.from_pandas(FRAME, npartitions=11)
    assert velt.dask.build(frame[column], cls, **settings).to_bytes() == whole.to_bytes()
    bag = dask_bag.from_sequence(FRAME[column].tolist(), npartitions=9)
    assert velt.dask.build(bag, cls, **settings).to_bytes() == whole.to_bytes()


def test_a_merged_top_k_keeps_its_bounds(client):
    merged = velt.dask.build(dd.from_pandas(FRAME, npartitions=16)["page"], TopK, k=50)
    truth = Counter(PAGES)
    counters = merged.top_with_error()
    assert len(counters) == 50
    assert counters == sorted(counters, key=lambda c: (-c[1], c[0].encode()))
    for item, count, error in counters:
        assert count - error <= truth[item] <= count, item
    tracked = {item for item, _, _ in counters}
    assert max(n for item, n in truth.items() if item not in tracked) <= merged.min_count()


def test_distinct_counts_per_group_equal_one_counter_per_group(client):
    aggregation = velt.dask.distinct_count(precision=10, seed=3)
    counted = dd.from_pandas(FRAME, npartitions=7).groupby("site").agg({"user": aggregation}).compute()
    assert len(counted) == FRAME["site"].nunique()
    for site, users in FRAME.groupby("site")["user"]:
        counter = HyperLogLog(10, 3)
        counter.update(users.tolist())
        assert counted.loc[site, "user"] == counter.cardinality(), site


def test_what_cannot_be_built_per_partition_is_refused():
    frame = dd.from_pandas(FRAME, npartitions=2)
    with pytest.raises(TypeError, match="CuckooFilter cannot be merged"):
        velt.dask.build(frame["page"], CuckooFilter, capacity=100)
    with pytest.raises(TypeError, match=re.escape("pass frame[column]")):
        velt.dask.build(frame, HyperLogLog)
    with pytest.raises(ValueError):
        velt.dask.distinct_count(precision=99)


def test_the_guide_runs(client, capsys):
    guide = (Path(__file__).parents[2] / "docs" / "distributed.md").read_text()
    (example,) = re.findall(r"```python\n(.*?)```", guide, re.S)
    exec(compile(example, "distributed.md", "exec"), {"__name__": "guide"})
    assert "distinct pages" in capsys.readouterr().out
