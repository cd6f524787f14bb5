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
from velt._partitions import check_settings, merge_sketches, sketch

__all__ = ["build", "per_group", "cardinality"]

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
