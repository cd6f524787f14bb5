"""velt.dask and velt.spark against one process, on a 10**7-row column.

    python -m bench.distributed [rows]

The frame is held by the engine first (persisted by Dask on a LocalCluster of two
worker processes, cached by Spark on local[2]); then each engine builds the same
structure from a text column and from an integer column, and one process builds it
from the whole column (the same pandas column, and the same values as a list). Each
time is one run; the ratios are engine time over the one-process column time,
measured in this process on the same values. The machine may be shared: compare
ratios, not seconds."""

import os
import sys
import time
import warnings

import pandas as pd

import velt.dask
import velt.spark
from velt import BloomFilter, HyperLogLog

ROWS = int(sys.argv[1]) if len(sys.argv) > 1 else 10**7
# Distinct ids out of order (an odd multiplier is a bijection modulo 2**40; no overflow below 10**9 rows).
IDS = (pd.RangeIndex(ROWS).to_numpy() * 2654435761 % (1 << 40)).astype("int64")
# pyspark 4.3 warns about pandas 3 on every Arrow function (only Arrow data is
# handed to it); Dask warns about the size of the frame it is given to persist.
warnings.filterwarnings("ignore", "PySpark does not yet fully support pandas", FutureWarning)
warnings.filterwarnings("ignore", "Sending large graph", UserWarning)

STRUCTURES = [
    (HyperLogLog, {"precision": 14, "seed": 7}),
    (BloomFilter, {"expected_items": ROWS, "false_positive_rate": 0.01, "seed": 7}),
]


def timed(build):
    start = time.perf_counter()
    result = build()
    return time.perf_counter() - start, result


def one_process(cls, settings, column):
    structure = cls(**settings)
    structure.update(column)
    return structure


def main():
    from distributed import Client, LocalCluster
    from pyspark.sql import SparkSession, functions

    data = pd.DataFrame({"id": IDS, "user": pd.Series([f"user-{i}" for i in IDS], dtype="str")})
    os.environ.setdefault("PYSPARK_PYTHON", sys.executable)
    spark = SparkSession.builder.master("local[2]").config("spark.ui.enabled", "false").config("spark.ui.showConsoleProgress", "false").getOrCreate()
    spark.sparkContext.setLogLevel("ERROR")
    spark_frame = (
        spark.range(ROWS, numPartitions=8)
        .select((functions.col("id") * 2654435761 % (1 << 40)).alias("id"))
        .withColumn("user", functions.concat(functions.lit("user-"), functions.col("id").cast("string")))
        .cache()
    )
    spark_frame.count()

    print(f"{ROWS:,} rows; seconds for one build, and the ratio to one process building from the column")
    print(f"{'structure':<12} {'column':<6} {'one process':>12} {'from a list':>12} {'velt.dask':>16} {'velt.spark':>16}")
    with LocalCluster(n_workers=2, processes=True, threads_per_worker=1, dashboard_address=None) as cluster, Client(cluster) as client:
        import dask.dataframe as dd

        frame = client.persist(dd.from_pandas(data, npartitions=8))
        for cls, settings in STRUCTURES:
            for column in ("user", "id"):
                single, expected = timed(lambda: one_process(cls, settings, data[column]))
                values = data[column].tolist()
                listed, _ = timed(lambda: one_process(cls, settings, values))
                del values
                on_dask, from_dask = timed(lambda: velt.dask.build(cls, frame[column], **settings))
                on_spark, from_spark = timed(lambda: velt.spark.build(cls, spark_frame, column, **settings))
                # Spark's ids are the same values, computed there.
                assert from_dask.to_bytes() == expected.to_bytes() == from_spark.to_bytes()
                print(
                    f"{cls.__name__:<12} {column:<6} {single:>11.2f}s {listed:>11.2f}s"
                    f" {on_dask:>7.2f}s ({on_dask / single:.2f}x) {on_spark:>7.2f}s ({on_spark / single:.2f}x)"
                )
    spark.stop()


if __name__ == "__main__":
    main()
