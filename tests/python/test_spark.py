"""velt.spark on a local[2] Spark session: structures of a column and per-group
structures and distinct counts, against the structures one process builds."""

import os
import shutil
import sys

import pytest

if shutil.which("java") is None:
    pytest.skip("Spark needs Java 17, which is not installed here and could not be (make installs it)", allow_module_level=True)

from pyspark.sql import SparkSession  # noqa: E402

import velt.spark  # noqa: E402
from engines import (COLUMNS, DEDUP_SETTINGS, DOCUMENTS, EXACT_CASES, EXACT_IDS, GROUPS, built, by_group,  # noqa: E402
                     check_top_k, guide_examples, one_process_duplicates, run_example)
from velt import CountMinSketch, CuckooFilter, HyperLogLog, TopK  # noqa: E402

# pyspark 4.3 warns on every Arrow function that it does not fully support pandas 3;
# velt.spark hands Spark Arrow data only, never pandas frames.
pytestmark = pytest.mark.filterwarnings("ignore:PySpark does not yet fully support pandas:FutureWarning")


@pytest.fixture(scope="module")
def spark():
    # The Python workers run this interpreter, which has velt and pyarrow.
    os.environ["PYSPARK_PYTHON"] = sys.executable
    session = (
        SparkSession.builder.master("local[2]")
        .config("spark.ui.enabled", "false")
        .config("spark.sql.shuffle.partitions", "3")
        .getOrCreate()
    )
    session.sparkContext.setLogLevel("ERROR")
    yield session
    session.stop()


@pytest.fixture(scope="module")
def frame(spark):
    rows = list(zip(GROUPS, COLUMNS["page"], COLUMNS["id"]))
    return spark.createDataFrame(rows, "group string, page string, id long").repartition(5).cache()


@pytest.mark.parametrize("cls, params, column", EXACT_CASES, ids=EXACT_IDS)
def test_built_equals_the_whole_column(frame, cls, params, column):
    assert velt.spark.build(cls, frame, column, **params).to_bytes() == built(cls, params, COLUMNS[column]).to_bytes()


def test_merged_top_k_keeps_its_bounds(frame):
    check_top_k(velt.spark.build(TopK, frame, "page", k=50), COLUMNS["page"], 50)


def test_per_group_results_equal_those_of_each_group(frame):
    pages, ids = by_group(COLUMNS["page"]), by_group(COLUMNS["id"])
    estimates = velt.spark.cardinality(frame, "group", "page", precision=10, seed=3).collect()
    assert sorted(row["group"] for row in estimates) == sorted(pages)
    for row in estimates:
        assert row["cardinality"] == built(HyperLogLog, {"precision": 10, "seed": 3}, pages[row["group"]]).cardinality()
    params = {"width": 256, "depth": 3, "seed": 1}
    sketches = velt.spark.per_group(CountMinSketch, frame, ["group"], "id", **params).collect()
    assert len(sketches) == len(ids)
    for row in sketches:
        assert row["sketch"] == built(CountMinSketch, params, ids[row["group"]]).to_bytes()
    for row in velt.spark.per_group(TopK, frame, "group", "page", k=20).collect():
        check_top_k(TopK.from_bytes(row["sketch"]), pages[row["group"]], 20, merged=False)


def test_wrong_calls_raise_before_any_work(frame):
    with pytest.raises(TypeError):
        velt.spark.build(CuckooFilter, frame, "page", capacity=10)
    with pytest.raises(ValueError):
        velt.spark.cardinality(frame, "group", "page", precision=30)


def test_an_empty_frame_gives_an_empty_structure(frame):
    assert velt.spark.build(HyperLogLog, frame.limit(0), "page").cardinality() == 0


GUIDE, EXAMPLES = guide_examples(spark=True)


@pytest.mark.parametrize("line, heading, code", EXAMPLES, ids=[f"line {line}" for line, _, _ in EXAMPLES])
def test_guide_examples_run(spark, line, heading, code):
    run_example(GUIDE, line, code)


@pytest.mark.parametrize("scheme", ["classic", "multiply_shift"])
def test_duplicates_equal_the_one_process_groups(spark, scheme):
    settings = {**DEDUP_SETTINGS, "scheme": scheme}
    texts = spark.createDataFrame([(text,) for text in DOCUMENTS], "text string").repartition(5)
    # repartition shuffles rows: number them as the frame now gives them.
    texts = spark.createDataFrame(texts.collect(), "text string")
    found = velt.spark.duplicates(texts, "text", **settings)
    in_order = [row.text for row in texts.collect()]
    assert sorted(in_order) == sorted(DOCUMENTS)
    assert found.name == "duplicate_of" and found.tolist() == one_process_duplicates(settings, in_order)
