"""velt.dask on a LocalCluster of two worker processes: structures of a Series or a
Bag and per-group aggregations, against the structures one process builds."""

import dask.bag as dask_bag
import dask.dataframe as dd
import distributed
import pandas as pd
import pytest
from engines import (COLUMNS, DEDUP_SETTINGS, DOCUMENTS, EXACT_CASES, EXACT_IDS, GROUPS, built, by_group, check_top_k,
                     guide_examples, one_process_duplicates, run_example)

import velt.dask
from velt import CountMinSketch, CuckooFilter, HyperLogLog, ScalableBloomFilter, TopK


@pytest.fixture(scope="module")
def client():
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, dashboard_address=None) as cluster:
        with distributed.Client(cluster) as client:
            yield client


@pytest.fixture(scope="module")
def frame(client):
    # The ids also as a nullable integer column with one missing value.
    ids = pd.array(COLUMNS["id"], dtype="Int64")
    ids[5] = pd.NA
    data = pd.DataFrame({"group": GROUPS, **COLUMNS, "nullable_id": ids})
    return dd.from_pandas(data, npartitions=7)


def as_source(frame, column, source):
    if source == "bag":
        return dask_bag.from_sequence(COLUMNS[column], npartitions=5)
    return frame[column]


@pytest.mark.parametrize("source", ["series", "bag"])
@pytest.mark.parametrize("cls, params, column", EXACT_CASES, ids=EXACT_IDS)
def test_built_equals_the_whole_column(frame, cls, params, column, source):
    whole = built(cls, params, COLUMNS[column])
    assert velt.dask.build(cls, as_source(frame, column, source), split_every=2, **params).to_bytes() == whole.to_bytes()


def test_missing_values_are_none_in_every_dtype(frame):
    ids = list(COLUMNS["id"])
    ids[5] = None
    params = {"precision": 12}
    assert velt.dask.build(HyperLogLog, frame["nullable_id"], **params).to_bytes() == built(HyperLogLog, params, ids).to_bytes()


@pytest.mark.parametrize("source", ["series", "bag"])
def test_merged_top_k_keeps_its_bounds(frame, source):
    check_top_k(velt.dask.build(TopK, as_source(frame, "page", source), k=50), COLUMNS["page"], 50)


def test_per_group_structures_equal_those_of_each_group(frame):
    params = {"width": 256, "depth": 3, "seed": 1}
    result = (
        frame.groupby("group")
        .agg({"page": velt.dask.cardinality(precision=10, seed=3), "id": velt.dask.per_group(CountMinSketch, **params)})
        .compute()
    )
    groups = by_group(COLUMNS["page"])
    assert sorted(result.index) == sorted(groups)
    ids = by_group(COLUMNS["id"])
    for group, pages in groups.items():
        assert result.loc[group, "page"] == built(HyperLogLog, {"precision": 10, "seed": 3}, pages).cardinality()
        assert result.loc[group, "id"].to_bytes() == built(CountMinSketch, params, ids[group]).to_bytes()


def test_per_group_top_k_keeps_its_bounds(frame):
    result = frame.groupby("group")["page"].agg(velt.dask.per_group(TopK, k=20)).compute()
    for group, pages in by_group(COLUMNS["page"]).items():
        check_top_k(result[group], pages, 20)


def test_wrong_calls_raise_before_any_work(frame):
    for call, error in [
        (lambda: velt.dask.build(CuckooFilter, frame["page"], capacity=10), TypeError),
        (lambda: velt.dask.per_group(ScalableBloomFilter), TypeError),
        (lambda: velt.dask.build(HyperLogLog, frame), TypeError),
        (lambda: velt.dask.build(HyperLogLog, COLUMNS["page"]), TypeError),
        (lambda: velt.dask.cardinality(precision=3), ValueError),
        (lambda: velt.dask.build(HyperLogLog, frame["page"], split_every=1), ValueError),
    ]:
        with pytest.raises(error):
            call()


def test_an_empty_bag_gives_an_empty_structure(client):
    assert velt.dask.build(HyperLogLog, dask_bag.from_sequence([], npartitions=1)).cardinality() == 0


GUIDE, EXAMPLES = guide_examples(spark=False)


@pytest.mark.parametrize("line, heading, code", EXAMPLES, ids=[f"line {line}" for line, _, _ in EXAMPLES])
def test_guide_examples_run(client, line, heading, code):
    run_example(GUIDE, line, code)


@pytest.mark.parametrize("scheme", ["classic", "multiply_shift"])
def test_duplicates_equal_the_one_process_groups(client, scheme):
    settings = {**DEDUP_SETTINGS, "scheme": scheme}
    texts = dd.from_pandas(pd.Series(DOCUMENTS), npartitions=6)
    found = velt.dask.duplicates(texts, **settings)
    assert found.name == "duplicate_of" and found.tolist() == one_process_duplicates(settings)
    with pytest.raises(TypeError, match="pass frame"):
        velt.dask.duplicates(texts.to_frame())
