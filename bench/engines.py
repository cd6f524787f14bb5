"""Near-duplicates of the real corpus on Dask and Spark, against one process.

Each engine runs on this machine: Dask on a LocalCluster of two worker processes, Spark on
local[2]. The column is held by the engine before the clock starts (persisted by Dask,
cached by Spark), and each time is the faster of two runs after a warm-up on a few
documents, so that the workers have imported velt. Engines pay for their scheduling, the
shuffle of band keys and the trip of the edges to the driver: the figures say what that
costs on a corpus of this size, not how the engines scale."""

from __future__ import annotations

import contextlib
import logging
import os
import sys
import time
import warnings
from collections.abc import Callable, Iterator

from velt import MinHash, MinHashLSH

from .common import Results, Table, Target, Timing
from .similarity import SHINGLE_WORDS, load_corpus

# The engines' defaults (classic signatures, 128 slots, threshold 0.8), with the corpus's shingles.
SETTINGS = {"threshold": 0.8, "num_hashes": 128, "n": SHINGLE_WORDS}
PARTITIONS = 8
# Documents of the warm-up run, which starts the workers and imports velt in them.
WARM_UP_DOCUMENTS = 20

# pyspark 4.3 warns about pandas 3 on every Arrow function (only Arrow data is handed to it);
# Dask warns about the size of the frame it is given to persist.
warnings.filterwarnings("ignore", "PySpark does not yet fully support pandas", FutureWarning)
warnings.filterwarnings("ignore", "Sending large graph", UserWarning)
# Dask's shuffle logs a warning as each shuffle starts and ends.
logging.getLogger("distributed.shuffle").setLevel(logging.ERROR)


@contextlib.contextmanager
def dask_client() -> Iterator[object]:
    """A client of a LocalCluster of two single-threaded worker processes."""
    from distributed import Client, LocalCluster

    with LocalCluster(n_workers=2, processes=True, threads_per_worker=1, dashboard_address=None) as cluster, \
            Client(cluster) as client:
        yield client


@contextlib.contextmanager
def spark_session() -> Iterator[object]:
    """A Spark session on local[2] whose Python workers run this interpreter (which has velt)."""
    from pyspark.sql import SparkSession

    os.environ.setdefault("PYSPARK_PYTHON", sys.executable)
    spark = (SparkSession.builder.master("local[2]").config("spark.ui.enabled", "false")
             .config("spark.ui.showConsoleProgress", "false").getOrCreate())
    spark.sparkContext.setLogLevel("ERROR")
    try:
        yield spark
    finally:
        spark.stop()


def faster_of_two(run: Callable[[], object]) -> tuple[float, object]:
    """The faster of two runs, in seconds, and what the last one gave."""
    best, result = float("inf"), None
    for _ in range(2):
        start = time.perf_counter()
        result = run()
        best = min(best, time.perf_counter() - start)
    return best, result


def one_process_groups(texts: list[str]) -> list[int]:
    """Each document's group leader, as MinHashLSH.duplicate_of() gives it with positions as keys."""
    index = MinHashLSH(threshold=SETTINGS["threshold"], num_hashes=SETTINGS["num_hashes"])
    index.update(list(range(len(texts))), MinHash.signatures(texts, num_hashes=SETTINGS["num_hashes"],
                                                             n=SETTINGS["n"]))
    leader = index.duplicate_of()
    return [leader[row] for row in range(len(texts))]


def near_duplicates(_inputs) -> Results:
    corpus = load_corpus()
    if corpus is None:
        return Results(notes=["no corpus: the near-duplicates on engines are skipped"])
    try:
        import dask.dataframe as dd
        import pandas as pd
        import pyspark  # noqa: F401

        import velt.dask
        import velt.spark
    except ImportError as missing:
        return Results(notes=[f"near-duplicates on engines skipped: {missing}"])

    texts = corpus.texts
    shingles = corpus.shingle_count
    table = Table(f"Near-duplicates on engines: {len(texts):,} standard library modules, {shingles:,} word "
                  f"5-grams, classic signatures, threshold 0.8", unit="ns/shingle")
    results = Results([table])
    grouping = table.compare("each document's duplicate group", f"text column, {PARTITIONS} partitions")

    def per_shingle(seconds: float) -> Timing:
        return Timing(seconds * 1e9 / shingles, shingles)

    one_process_groups(texts[:WARM_UP_DOCUMENTS])
    seconds, expected = faster_of_two(lambda: one_process_groups(texts))
    grouping.velt("one process: MinHash.signatures + MinHashLSH.update + duplicate_of()", per_shingle(seconds))
    times = [f"one process {seconds:.2f} s"]

    def engine_row(engine: str, where: str, seconds: float, groups) -> None:
        grouping.other(f"{engine} ({where})", per_shingle(seconds))
        same = sum(int(group) == leader for group, leader in zip(groups, expected, strict=True)) / len(expected)
        results.targets.append(Target(f"{engine} groups equal to one process's", same, 1.0, ">=",
                                      "share of documents whose group is the same", unit=""))
        times.append(f"{engine} {seconds:.2f} s")

    with dask_client() as client:
        column = client.persist(dd.from_pandas(pd.Series(texts), npartitions=PARTITIONS))
        velt.dask.duplicates(dd.from_pandas(pd.Series(texts[:WARM_UP_DOCUMENTS]), npartitions=2), **SETTINGS)
        seconds, groups = faster_of_two(lambda: velt.dask.duplicates(column, **SETTINGS))
        engine_row("velt.dask.duplicates", "LocalCluster, 2 worker processes", seconds, groups)

    with spark_session() as spark:
        # Slices of the list in order: a row's position in the frame is its position in the corpus.
        frame = spark.createDataFrame(spark.sparkContext.parallelize([(text,) for text in texts], PARTITIONS),
                                      "text string").cache()
        frame.count()
        velt.spark.duplicates(spark.createDataFrame([(text,) for text in texts[:WARM_UP_DOCUMENTS]], "text string"),
                              "text", **SETTINGS)
        seconds, groups = faster_of_two(lambda: velt.spark.duplicates(frame, "text", **SETTINGS))
        engine_row("velt.spark.duplicates", "local[2]", seconds, groups)

    results.notes.append("Near-duplicates on engines, seconds (the faster of two runs): " + "; ".join(times) +
                         f". {sum(group != row for row, group in enumerate(expected)):,} of {len(texts):,} "
                         "documents are in a group led by an earlier document.")
    return results
