"""velt structures from Spark DataFrames, built on the executors.

`build` makes one structure of a whole column; `per_group` and `cardinality` give
a structure or a distinct count per group. Each partition (or group) feeds its
Arrow batches to `update`, ships its structure as `to_bytes()`, and the driver
folds the shipped structures with `merge`. For BloomFilter, CountingBloomFilter,
CountMinSketch, HyperLogLog and MinHash the result is, byte for byte, the
structure one process builds from the whole column; TopK merges keep their bounds.

The executors need velt and pyarrow installed in the Python that Spark runs there
(PYSPARK_PYTHON).
"""

from functools import partial

import pyarrow as pa
from pyspark.sql import types as spark_types

from velt import HyperLogLog
from velt._partitions import band_keys, check_settings, leaders, lsh_settings, merge_sketches, sketch, star_edges

__all__ = ["build", "per_group", "cardinality", "duplicates"]

_SKETCH = "sketch"


def _sketch_batches(cls, settings, batches):
    payload = sketch(cls, settings, (batch.column(0) for batch in batches))
    yield pa.RecordBatch.from_pydict({_SKETCH: [payload]}, schema=pa.schema([(_SKETCH, pa.binary())]))


def build(cls, frame, column, **settings):
    """One structure of class `cls`, made with `settings`, from the column named `column`."""
    check_settings(cls, settings)
    partials = frame.select(column).mapInArrow(partial(_sketch_batches, cls, settings), f"{_SKETCH} binary")
    payloads = [row[_SKETCH] for row in partials.collect()]
    return cls.from_bytes(merge_sketches(cls, payloads)) if payloads else cls(**settings)


def _group_result(cls, settings, keys, column, result, finish, group):
    payload = sketch(cls, settings, [group.column(column)])
    values = {key: group.column(key).slice(0, 1) for key in keys}
    values[result] = pa.array([finish(payload)])
    return pa.table(values)


def _grouped(frame, by, column, cls, settings, result, result_type, finish):
    keys = [by] if isinstance(by, str) else list(by)
    check_settings(cls, settings)
    schema = spark_types.StructType(
        [frame.schema[key] for key in keys] + [spark_types.StructField(result, result_type, nullable=False)]
    )
    build_group = partial(_group_result, cls, settings, keys, column, result, finish)
    return frame.select(*keys, column).groupBy(*keys).applyInArrow(build_group, schema)


def per_group(cls, frame, by, column, **settings):
    """A DataFrame of the keys `by` and, per group, the structure of class `cls`
    built from the group's values of `column`, as `to_bytes()` in the column "sketch"
    (read it back with `cls.from_bytes`)."""
    return _grouped(frame, by, column, cls, settings, _SKETCH, spark_types.BinaryType(), bytes)


def _estimate(payload):
    return HyperLogLog.from_bytes(payload).cardinality()


def cardinality(frame, by, column, precision=14, seed=0):
    """A DataFrame of the keys `by` and, per group, the HyperLogLog estimate of the
    distinct values of `column`, in the column "cardinality"."""
    settings = {"precision": precision, "seed": seed}
    return _grouped(frame, by, column, HyperLogLog, settings, "cardinality", spark_types.DoubleType(), _estimate)


def _bands_of_partition(column, settings, numbered_rows):
    numbered_rows = list(numbered_rows)
    if not numbered_rows:
        return
    # zipWithIndex numbers a partition's rows one after another.
    keys, rows = band_keys([row[column] for row, _ in numbered_rows], numbered_rows[0][1], settings)
    yield from zip(keys, rows)


def _edges_of_band(band):
    rows = list(band[1])
    return star_edges(rows) if len(rows) > 1 else []


def duplicates(frame, column, **settings):
    """Each row's near-duplicate group, as MinHashLSH.duplicate_of() gives it in one process
    with the rows' positions (in the frame's order) as keys: a pandas Series with, for each
    row, the position of the first row of its group (its own when it has none).

    `settings` are those of MinHash.signatures and MinHashLSH: threshold=0.8,
    num_hashes=128, seed=0, shingle="word", n=5, scheme="classic". Executors sign their
    rows and shuffle the band keys (groupByKey); only the edges of bands that two or more
    rows share come back, and the driver joins them into groups.
    """
    import pandas as pd

    settings = lsh_settings(**settings)
    numbered = frame.select(column).rdd.zipWithIndex()
    edges = (
        numbered.mapPartitions(partial(_bands_of_partition, column, settings))
        .groupByKey()
        .flatMap(_edges_of_band)
        .collect()
    )
    return pd.Series(leaders(numbered.count(), edges), dtype="int64", name="duplicate_of")
