"""Columns as items: each structure fed the same values as a list and as columns
(a pyarrow array, a polars Series, a pandas Series, and for ids a numpy int64
array), two threads feeding two filters from columns, and the peak memory of a
large column update."""

from __future__ import annotations

import subprocess
import sys
import textwrap
import threading

import numpy as np
import pandas as pd
import polars as pl
import pyarrow as pa

from velt import (BloomFilter, CountingBloomFilter, CountMinSketch, CuckooFilter, HyperLogLog, MinHash,
                  ScalableBloomFilter, TopK)

from .common import Inputs, Results, Table, Target, Timing, measure, ratio
from .filters import _bloom_peers
from .system import _median_seconds

FPR = 0.01


def _structures(n: int) -> dict:
    return {
        "BloomFilter": lambda: BloomFilter(n, FPR),
        "CountingBloomFilter": lambda: CountingBloomFilter(n, FPR),
        "ScalableBloomFilter": lambda: ScalableBloomFilter(n, FPR),
        "CuckooFilter": lambda: CuckooFilter(n),
        "HyperLogLog": lambda: HyperLogLog(14),
        "CountMinSketch": lambda: CountMinSketch(error_rate=0.001, confidence=0.99),
        "TopK": lambda: TopK(100),
        "MinHash": lambda: MinHash(128),
    }


def _text_kinds(values: list[str]) -> dict:
    return {"list": values, "pyarrow array": pa.array(values), "polars Series": pl.Series(values),
            "pandas Series": pd.Series(values)}


def _id_kinds(values: list[int]) -> dict:
    return {"list of int": values, "numpy int64": np.array(values, np.int64),
            "pyarrow int64": pa.array(values, pa.int64()), "polars Int64": pl.Series(values, dtype=pl.Int64)}


def _update(structure, items) -> None:
    structure.update(items)


def ns_per_item(inputs: Inputs) -> tuple[Table, dict]:
    """Every class's update from every kind of column, against the same values as a list."""
    table = Table("Columns: update of 10^6 values, list against each column kind")
    timings = {}
    texts, ids = _text_kinds(inputs.strs), _id_kinds(inputs.ints)
    for name, new in _structures(inputs.n).items():
        for values, kinds in (("strs", texts), ("ids", ids)):
            if name == "TopK" and values == "ids":
                continue  # TopK counts text only
            comparison = table.compare(f"{name}.update", values)
            for kind, column in kinds.items():
                timing = measure(_update, column, new)
                timings[name, kind] = comparison.velt(kind, timing)
    return table, timings


def two_threads(inputs: Inputs) -> float:
    """Throughput of two threads updating a filter each from a column, over one thread doing both."""
    column = pa.array(inputs.strs)

    def fill() -> None:
        BloomFilter(inputs.n, FPR).update(column)

    def one_thread() -> None:
        fill()
        fill()

    def in_two_threads() -> None:
        workers = [threading.Thread(target=fill) for _ in range(2)]
        for worker in workers:
            worker.start()
        for worker in workers:
            worker.join()

    return _median_seconds(one_thread) / _median_seconds(in_two_threads)


# In a fresh interpreter, as system.memory does: the peak resident set added by
# the update, the column (and the filter's bits) already counted before it.
_MEMORY_PROBE = textwrap.dedent(
    """
    import gc, sys
    import pyarrow as pa
    from velt import BloomFilter

    def status_kib(field):
        with open("/proc/self/status") as status:
            return next(int(line.split()[1]) for line in status if line.startswith(field + ":"))

    n = int(sys.argv[1])
    column = pa.array([f"user-{i}" for i in range(n)])
    target = BloomFilter(expected_items=n, false_positive_rate=0.01)
    target.clear()
    gc.collect()
    with open("/proc/self/clear_refs", "w") as clear_refs:
        clear_refs.write("5")
    before = status_kib("VmRSS")
    target.update(column)
    print((status_kib("VmHWM") - before) * 1024)
    """
)


def column_memory(n: int) -> float | None:
    completed = subprocess.run([sys.executable, "-c", _MEMORY_PROBE, str(n)], capture_output=True, text=True)
    return int(completed.stdout) / 2**20 if completed.returncode == 0 else None


def columns(inputs: Inputs) -> Results:
    table, timings = ns_per_item(inputs)
    n = inputs.n
    peers = [(name, measure(_update, inputs.strs, new)) for name, _, new in _bloom_peers(n)]
    abloom = dict(peers).get("abloom")
    peer_table = Table("Columns: BloomFilter.update from a pyarrow array against peers on the list")
    comparison = peer_table.compare("update", "strs")
    comparison.velt("velt from a pyarrow array", timings["BloomFilter", "pyarrow array"])
    for name, timing in peers:
        comparison.other(f"{name} from the list", timing)

    def column_over_list(name: str, kind: str, list_kind: str = "list") -> float | None:
        return ratio(timings[name, kind], timings[name, list_kind])

    speed_up = two_threads(inputs)
    memory = column_memory(10 * n)
    targets = [
        Target("BloomFilter.update: pyarrow array / list", column_over_list("BloomFilter", "pyarrow array"), 0.5, "<="),
        Target("BloomFilter.update: pyarrow array / abloom on the list",
               ratio(timings["BloomFilter", "pyarrow array"], abloom), 1.0, "<=",
               "" if abloom else "abloom not installed"),
        Target("BloomFilter.update: polars Series / list", column_over_list("BloomFilter", "polars Series"), 0.6, "<="),
        Target("HyperLogLog.update: pyarrow array / list", column_over_list("HyperLogLog", "pyarrow array"), 0.4, "<="),
        Target("HyperLogLog.update: numpy int64 / list of int",
               column_over_list("HyperLogLog", "numpy int64", "list of int"), 0.4, "<="),
        Target("two threads / one thread from columns (throughput)", speed_up, 1.8, ">="),
        Target(f"peak RSS added by BloomFilter.update of a {10 * n:,}-value pyarrow array", memory, 64.0, "<=",
               unit=" MiB"),
    ]
    return Results([table, peer_table], targets)
