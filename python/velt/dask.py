"""velt structures from Dask collections, built where the data lives.

`build` makes one structure of a whole dask.dataframe Series (a frame's column) or
dask.bag; `per_group` and `cardinality` are `dask.dataframe.Aggregation`s for
`groupby(...).agg(...)`, giving a structure or a distinct count per group. Each
partition builds its own structure with the given settings, ships it as
`to_bytes()`, and the shipped structures are folded with `merge` in a tree, so
only bytes cross process boundaries. For BloomFilter, CountingBloomFilter,
CountMinSketch, HyperLogLog and MinHash the result is, byte for byte, the
structure one process builds from the whole column; TopK merges keep their bounds.
"""

from functools import partial

import dask
import dask.dataframe as dd

from velt import HyperLogLog
from velt._partitions import band_keys, check_settings, leaders, lsh_settings, merge_sketches, sketch, star_edges

__all__ = ["build", "per_group", "cardinality", "duplicates"]


def build(cls, data, *, split_every=8, **settings):
    """One structure of class `cls`, made with `settings`, from a Dask Series or Bag.

    Partitions are merged `split_every` at a time, in a tree of that fan-in.
    """
    if isinstance(data, dd.DataFrame):
        raise TypeError("build takes one column: pass frame[name], not the whole frame")
    if not hasattr(data, "to_delayed"):
        raise TypeError(f"build takes a dask.dataframe Series or a dask.bag Bag, not {type(data).__name__}")
    if split_every < 2:
        raise ValueError("split_every must be at least 2")
    check_settings(cls, settings)
    parts = [dask.delayed(sketch)(cls, settings, [partition]) for partition in data.to_delayed()]
    if not parts:
        return cls(**settings)
    while len(parts) > 1:
        parts = [
            dask.delayed(merge_sketches)(cls, parts[start : start + split_every])
            for start in range(0, len(parts), split_every)
        ]
    return cls.from_bytes(parts[0].compute())


def _sketch_groups(cls, settings, grouped):
    return grouped.apply(lambda values: sketch(cls, settings, [values]))


def _merge_groups(cls, grouped):
    return grouped.apply(lambda payloads: merge_sketches(cls, payloads))


def _structures(cls, payloads):
    return payloads.map(cls.from_bytes)


def _cardinalities(payloads):
    return payloads.map(lambda payload: HyperLogLog.from_bytes(payload).cardinality()).astype("float64")


def _aggregation(name, cls, settings, finalize):
    check_settings(cls, settings)
    return dd.Aggregation(
        name,
        chunk=partial(_sketch_groups, cls, settings),
        agg=partial(_merge_groups, cls),
        finalize=finalize,
    )


def per_group(cls, **settings):
    """An Aggregation giving, per group, the structure of class `cls` built from its values."""
    return _aggregation(cls.__name__, cls, settings, partial(_structures, cls))


def cardinality(precision=14, seed=0):
    """An Aggregation giving, per group, the HyperLogLog estimate of its distinct values."""
    settings = {"precision": precision, "seed": seed}
    return _aggregation("cardinality", HyperLogLog, settings, _cardinalities)


def _band_frame(texts, first_row, settings):
    import pandas as pd

    keys, rows = band_keys(texts, first_row, settings)
    return pd.DataFrame({"band": pd.Series(keys, dtype="string"), "row": pd.Series(rows, dtype="int64")})


def _edges_of_band(rows):
    return star_edges(rows.tolist()) if len(rows) > 1 else []


def duplicates(texts, **settings):
    """Each row's near-duplicate group, as MinHashLSH.duplicate_of() gives it in one process
    with the rows' positions as keys: a pandas Series with, for each row of the Dask Series
    `texts` (of str), the position of the first row of its group (its own when it has none).

    `settings` are those of MinHash.signatures and MinHashLSH: threshold=0.8,
    num_hashes=128, seed=0, shingle="word", n=5, scheme="classic". Partitions sign their
    rows; the band keys are shuffled by a groupby on the workers; only the edges of bands
    that two or more rows share come back, and the driver joins them into groups.
    """
    import numpy as np
    import pandas as pd

    if isinstance(texts, dd.DataFrame):
        raise TypeError("duplicates takes one column: pass frame[name], not the whole frame")
    settings = lsh_settings(**settings)
    lengths = texts.map_partitions(len).compute().tolist()
    starts = np.concatenate([[0], np.cumsum(lengths)[:-1]]).astype(int).tolist() if lengths else []
    meta = pd.DataFrame({"band": pd.Series([], dtype="string"), "row": pd.Series([], dtype="int64")})
    parts = [dask.delayed(_band_frame)(part, start, settings) for part, start in zip(texts.to_delayed(), starts)]
    if not parts:
        return pd.Series([], dtype="int64", name="duplicate_of")
    bands = dd.from_delayed(parts, meta=meta)
    edges = bands.groupby("band")["row"].apply(_edges_of_band, meta=("row", object)).compute()
    groups = leaders(sum(lengths), (edge for band_edges in edges for edge in band_edges))
    return pd.Series(groups, dtype="int64", name="duplicate_of")
