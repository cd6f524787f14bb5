"""Columns as items: each structure fed the same values as a list and as columns
(a pyarrow array, a polars Series, a pandas Series, and for ids a numpy int64
array), two threads feeding two filters from columns, and the peak memory of a
large column update. Columns as answers (the `answers` suite): query_many from a
column, answered with a column, against the list path and against update from the
same column."""

from __future__ import annotations

import subprocess
import sys
import textwrap
import threading
import time

import numpy as np
import pandas as pd
import polars as pl
import pyarrow as pa

from velt import (BloomFilter, CountingBloomFilter, CountMinSketch, CuckooFilter, HyperLogLog, MinHash,
                  ScalableBloomFilter, TopK)

from .cardinality import hyperloglog_peers
from .common import Inputs, Results, Table, Target, Timing, fastest, measure, ratio
from .filters import bloom_peers, counting_bloom_peers, cuckoo_peers, scalable_bloom_peers
from .frequency import count_min_sketch_peers, top_k_peers
from .similarity import minhash_peers

FPR = 0.01
# Runs of each way in the two-thread comparison.
TWO_THREAD_TURNS = 15


def _structures(n: int) -> dict:
    """Each class: a new structure for n values, and its peers as its own section measures them."""
    return {
        "BloomFilter": (lambda: BloomFilter(n, FPR), bloom_peers),
        "CountingBloomFilter": (lambda: CountingBloomFilter(n, FPR), counting_bloom_peers),
        "ScalableBloomFilter": (lambda: ScalableBloomFilter(n, FPR), scalable_bloom_peers),
        "CuckooFilter": (lambda: CuckooFilter(n), cuckoo_peers),
        "HyperLogLog": (lambda: HyperLogLog(14), hyperloglog_peers),
        "CountMinSketch": (lambda: CountMinSketch(error_rate=0.001, confidence=0.99), count_min_sketch_peers),
        "TopK": (lambda: TopK(100), top_k_peers),
        "MinHash": (lambda: MinHash(128), minhash_peers),
    }


# The item kinds a peer is given the values as, in order of preference: a peer that
# hashes bytes only gets the strs as their UTF-8 bytes.
_PEER_KINDS = {"strs": ("str", "bytes"), "ids": ("int",)}


def _text_kinds(values: list[str]) -> dict:
    return {"list": values, "pyarrow array": pa.array(values), "polars Series": pl.Series(values),
            "pandas Series": pd.Series(values)}


def _id_kinds(values: list[int]) -> dict:
    return {"list of int": values, "numpy int64": np.array(values, np.int64),
            "pyarrow int64": pa.array(values, pa.int64()), "polars Int64": pl.Series(values, dtype=pl.Int64)}


def _update(structure, items) -> None:
    structure.update(items)


def _peer_timings(peers: list, inputs: Inputs, values: str) -> dict[str, tuple[str, Timing]]:
    """Each peer taking these values: its label and its fastest insert of them as a list."""
    timings = {}
    for peer in peers:
        kind = next((kind for kind in _PEER_KINDS[values] if peer.takes(kind)), None)
        if kind is not None:
            timings[peer.name] = (peer.label, peer.measure_insert(inputs.items(kind)))
    return timings


def ns_per_item(inputs: Inputs) -> tuple[Table, dict, dict]:
    """Every class's update from every kind of column, against the same values as a list
    and the fastest peer's insert of that list."""
    table = Table("Columns: update of 10^6 values, list against each column kind and the fastest peer")
    timings, peer_timings = {}, {}
    texts, ids = _text_kinds(inputs.strs), _id_kinds(inputs.ints)
    for name, (new, peers_of) in _structures(inputs.n).items():
        peers = peers_of(inputs.n)
        for values, kinds in (("strs", texts), ("ids", ids)):
            if name == "TopK" and values == "ids":
                continue  # TopK counts text only
            comparison = table.compare(f"{name}.update", values)
            for kind, column in kinds.items():
                timing = measure(_update, column, new)
                timings[name, kind] = comparison.velt(kind, timing)
            peer_timings[name, values] = _peer_timings(peers, inputs, values)
            if best := fastest(list(peer_timings[name, values].values())):
                comparison.other(f"fastest peer: {best[0]} on the list", best[1])
    return table, timings, peer_timings


def two_threads(inputs: Inputs) -> float:
    """Throughput of two threads updating a filter each from a column, over one thread
    updating both. The filters exist before the clock starts. The two ways take turns,
    run by run, and each keeps its fastest run: on a shared machine it is the two-thread
    runs that other work slows (they need both cores), and taking turns keeps a slow
    spell from falling on one way only."""
    column = pa.array(inputs.strs)
    filters = [BloomFilter(inputs.n, FPR) for _ in range(2)]

    def one_thread() -> None:
        for bloom in filters:
            bloom.update(column)

    def in_two_threads() -> None:
        workers = [threading.Thread(target=bloom.update, args=(column,)) for bloom in filters]
        for worker in workers:
            worker.start()
        for worker in workers:
            worker.join()

    fastest_run = {one_thread: float("inf"), in_two_threads: float("inf")}
    for _ in range(TWO_THREAD_TURNS):
        for action in fastest_run:
            start = time.perf_counter()
            action()
            fastest_run[action] = min(fastest_run[action], time.perf_counter() - start)
    return fastest_run[one_thread] / fastest_run[in_two_threads]


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
    table, timings, peer_timings = ns_per_item(inputs)
    n = inputs.n
    _, abloom = peer_timings["BloomFilter", "strs"].get("abloom", (None, None))

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
        Target("two threads / one thread from columns (throughput)", speed_up, 1.8, ">=",
               f"fastest of {TWO_THREAD_TURNS} turns each"),
        Target(f"peak RSS added by BloomFilter.update of a {10 * n:,}-value pyarrow array", memory, 64.0, "<=",
               unit=" MiB"),
    ]
    return Results([table], targets)


# ---- Answers ---------------------------------------------------------------------------

# Keys of the frequency rows: each count exceeds Python's small-int cache, so that a list
# answer costs a new int per value.
ANSWER_KEYS = 1000


def _answering(n: int) -> dict:
    """Each class that answers per item: a new structure, and whether it takes the distinct
    values (the filters) or the values over ANSWER_KEYS keys (the counters)."""
    return {
        "BloomFilter": (lambda: BloomFilter(n, FPR), "distinct"),
        "CountingBloomFilter": (lambda: CountingBloomFilter(n, FPR), "distinct"),
        "ScalableBloomFilter": (lambda: ScalableBloomFilter(n, FPR), "distinct"),
        "CuckooFilter": (lambda: CuckooFilter(n), "distinct"),
        "CountMinSketch": (lambda: CountMinSketch(error_rate=0.001, confidence=0.99), "keys"),
        "TopK": (lambda: TopK(100), "keys"),
    }


def answers(inputs: Inputs) -> Results:
    """query_many of 10^6 values from a pyarrow array and a polars Series (a column back) and
    from a list (a list back), beside update from the same pyarrow array, on the structure
    that update filled."""
    table = Table("Answers: query_many of 10^6 values, column in and out against list in and out, and update")
    values = {"distinct": inputs.strs, "keys": [f"key-{i % ANSWER_KEYS}" for i in range(inputs.n)]}
    targets = []
    for name, (new, kind) in _answering(inputs.n).items():
        listed = values[kind]
        column = pa.array(listed)
        full = new()
        full.update(column)
        comparison = table.compare(f"{name}.query_many", "distinct strs" if kind == "distinct" else f"strs over {ANSWER_KEYS:,} keys")
        query = comparison.velt("pyarrow array -> pyarrow Array",
                                measure(lambda s, c: s.query_many(c), column, lambda: full, whole=True))
        comparison.velt("polars Series -> polars Series", measure(lambda s, c: s.query_many(c), pl.Series(listed), lambda: full))
        comparison.velt("list -> list", measure(lambda s, c: s.query_many(c), listed, lambda: full))
        update = comparison.velt("update from the pyarrow array", measure(_update, column, new, whole=True))
        bound = 1.1 if name == "BloomFilter" else 1.3 if kind == "keys" else None
        if bound is not None:
            targets.append(Target(f"{name}.query_many / update, both from a pyarrow array", ratio(query, update), bound, "<="))
    return Results([table], targets)
