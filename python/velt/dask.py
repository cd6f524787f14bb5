"""Building velt structures from Dask collections, where the data lives.

``build`` makes one structure of a class from a dask.dataframe Series (a DataFrame
column) or a dask.bag: one structure per partition, shipped between processes as
``to_bytes()``, folded with ``merge`` in a tree. ``distinct_count`` is a
``dask.dataframe.Aggregation`` that counts distinct values per group with one
HyperLogLog each.

Only bytes cross process boundaries, and merging is exact for HyperLogLog,
CountMinSketch, BloomFilter and MinHash: the result is the structure one process
builds from the whole column. TopK merges keep their error bounds.
"""

from __future__ import annotations

from typing import Any, TypeVar

import dask
import dask.dataframe as dd

from velt import CuckooFilter, HyperLogLog

__all__ = ["build", "distinct_count"]

Structure = TypeVar("Structure")

# Partial structures merged by one task; the tree has depth log_8 of the partitions.
MERGE_FAN_IN = 8


def _sketch_partition(values: Any, structure_type: type, settings: dict[str, Any]) -> bytes:
    structure = structure_type(**settings)
    # A bag partition may be any iterable; TopK takes a sequence.
    structure.update(values if hasattr(values, "__len__") else list(values))
    return structure.to_bytes()


def _merge_shipped(shipped: list[bytes], structure_type: type) -> bytes:
    merged = structure_type.from_bytes(shipped[0])
    for data in shipped[1:]:
        merged.merge(structure_type.from_bytes(data))
    return merged.to_bytes()


def build(collection: Any, structure_type: type[Structure], /, **settings: Any) -> Structure:
    """One ``structure_type(**settings)`` holding every value of ``collection``.

    ``collection`` is a dask.dataframe Series (``frame["column"]``) or a dask.bag;
    ``structure_type`` any velt class with ``merge`` (every class but CuckooFilter).
    Give settings that fit the whole collection: each partition uses the same ones.
    """
    if structure_type is CuckooFilter or not hasattr(structure_type, "merge"):
        raise TypeError(f"{structure_type.__name__} cannot be merged, so it cannot be built per partition")
    if isinstance(collection, dd.DataFrame):
        raise TypeError("build() takes one column: pass frame[column], not the whole DataFrame")
    sketch = dask.delayed(_sketch_partition, pure=True)
    merge = dask.delayed(_merge_shipped, pure=True)
    level = [sketch(partition, structure_type, settings) for partition in collection.to_delayed()]
    while len(level) > 1:
        level = [merge(level[i : i + MERGE_FAN_IN], structure_type) for i in range(0, len(level), MERGE_FAN_IN)]
    (shipped,) = dask.compute(*level) if level else (structure_type(**settings).to_bytes(),)
    return structure_type.from_bytes(shipped)


def distinct_count(precision: int = 14, seed: int = 0, name: str = "distinct_count") -> dd.Aggregation:
    """An aggregation estimating each group's distinct values with a HyperLogLog.

    ``frame.groupby("key").agg({"value": velt.dask.distinct_count(precision=14)})``
    gives, per group, ``cardinality()`` of the HyperLogLog of that group's values:
    exactly what one process gets from a HyperLogLog per group.
    """
    HyperLogLog(precision, seed)  # refuses bad settings here, not on a worker

    def sketch_groups(grouped: Any) -> Any:
        return grouped.apply(lambda values: _sketch_partition(values, HyperLogLog, settings))

    def merge_groups(grouped: Any) -> Any:
        return grouped.apply(lambda shipped: _merge_shipped(list(shipped), HyperLogLog))

    def estimate(shipped: Any) -> Any:
        return shipped.map(lambda data: HyperLogLog.from_bytes(data).cardinality()).astype("float64")

    settings = {"precision": precision, "seed": seed}
    return dd.Aggregation(name, chunk=sketch_groups, agg=merge_groups, finalize=estimate)
