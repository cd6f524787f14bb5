"""velt.dask and velt.spark against one process, on a 10**7-row column.

    python -m bench.distributed [rows]

The frame is held by the engine first (persisted by Dask on a LocalCluster of two
worker processes, cached by Spark on local[2]); then each engine builds the same
structure from a text column and from an integer column, and one process builds it
from the whole column (the same pandas column, and the same values as a list). Each
time is one run; the ratios are engine time over the one-process column time,
measured in this process on the same values. The machine may be shared: compare
ratios, not seconds."""

import sys
import time

import pandas as pd

import velt.dask
import velt.spark
from velt import BloomFilter, HyperLogLog

from .engines import dask_client, spark_session

ROWS = int(sys.argv[1]) if len(sys.argv) > 1 else 10**7
# Distinct ids out of order (an odd multiplier is a bijection modulo 2**40; no overflow below 10**9 rows).
IDS = (pd.RangeIndex(ROWS).to_numpy() * 2654435761 % (1 << 40)).astype("int64")

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
    data = pd.DataFrame({"id": IDS, "user": pd.Series([f"user-{i}" for i in IDS], dtype="str")})
    with spark_session() as spark, dask_client() as client:
        compare_builds(data, spark, client)


def compare_builds(data, spark, client):
    import dask.dataframe as dd
    from pyspark.sql import functions

    frame = client.persist(dd.from_pandas(data, npartitions=8))
    spark_frame = (
        spark.range(ROWS, numPartitions=8)
        .select((functions.col("id") * 2654435761 % (1 << 40)).alias("id"))
        .withColumn("user", functions.concat(functions.lit("user-"), functions.col("id").cast("string")))
        .cache()
    )
    spark_frame.count()

    print(f"{ROWS:,} rows; seconds for one build, and the ratio to one process building from the column")
    print(f"{'structure':<12} {'column':<6} {'one process':>12} {'from a list':>12} {'velt.dask':>16} {'velt.spark':>16}")
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


if __name__ == "__main__":
    main()
