"""Whole-structure costs: threads, persistence throughput, JSON, and the memory of a batch."""

from __future__ import annotations

import json
import statistics
import subprocess
import sys
import textwrap
import threading
import time

from velt import BloomFilter, CountMinSketch, HyperLogLog

from .common import REPEATS, Inputs, Results, Table, Target, Timing

FPR = 0.01


def _median_seconds(action, repeats: int = REPEATS) -> float:
    action()  # warm-up
    runs = []
    for _ in range(repeats):
        start = time.perf_counter()
        action()
        runs.append(time.perf_counter() - start)
    return statistics.median(runs)


def threads(inputs: Inputs) -> Results:
    """Two threads each updating its own filter with N items, against one thread doing the same.

    Measured twice: with the N items in one call, and as a stream of ten batches. Converting a
    batch's items needs the interpreter lock, so while one thread converts the other can only
    hash and set bits; with one call per thread that overlap happens once, with a stream it
    happens for every batch.
    """
    n = inputs.n
    items = inputs.strs  # read-only: both threads may share the list
    batch_size = n // 10
    batches = [items[start : start + batch_size] for start in range(0, n, batch_size)]

    def fill(batch_list) -> None:
        bloom = BloomFilter(expected_items=n, false_positive_rate=FPR)
        for batch in batch_list:
            bloom.update(batch)

    def in_threads(count: int, batch_list) -> float:
        def run() -> None:
            workers = [threading.Thread(target=fill, args=(batch_list,)) for _ in range(count)]
            for worker in workers:
                worker.start()
            for worker in workers:
                worker.join()

        return _median_seconds(run)

    table = Table("Threads: BloomFilter.update of 10^6 items per thread")
    targets = []
    for label, batch_list in (("one call", [items]), ("ten batches of 10^5", batches)):
        single = in_threads(1, batch_list)
        double = in_threads(2, batch_list)
        comparison = table.compare("update", f"str, {label}")
        comparison.velt("one thread, one filter", Timing(single / n * 1e9, n))
        comparison.velt("two threads, a filter each", Timing(double / (2 * n) * 1e9, 2 * n))
        targets.append(Target(f"two threads / one thread (throughput), {label}", 2 * single / double, 1.6, ">="))
    return Results([table], targets)


def persistence(inputs: Inputs) -> Results:
    """to_bytes and from_bytes of a 64 MiB filter in GB/s; JSON against the json module."""
    results = Results()
    table = Table("Persistence", unit="ns/byte")
    results.tables.append(table)

    large = BloomFilter(num_bits=64 * 8 << 20, num_hashes=7)
    large.update(inputs.strs)
    blob = large.to_bytes()
    for operation, action in (("to_bytes", large.to_bytes), ("from_bytes", lambda: BloomFilter.from_bytes(blob))):
        seconds = _median_seconds(action)
        gigabytes_per_second = len(blob) / seconds / 1e9
        comparison = table.compare(operation, "64 MiB BloomFilter")
        comparison.velt(f"BloomFilter.{operation} ({gigabytes_per_second:.2f} GB/s)",
                        Timing(seconds / len(blob) * 1e9, len(blob)))
        results.targets.append(Target(f"BloomFilter.{operation} of 64 MiB, GB/s", gigabytes_per_second, 2.0, ">=",
                                      "", unit=" GB/s"))

    bloom = BloomFilter(expected_items=inputs.n, false_positive_rate=FPR)
    bloom.update(inputs.strs)
    sketch = CountMinSketch(error_rate=0.001, confidence=0.99)
    sketch.update(inputs.zipf)
    hll = HyperLogLog(precision=14)
    hll.update(inputs.strs)
    for structure in (bloom, sketch, hll):
        name = type(structure).__name__
        text = structure.to_json()
        record = json.loads(text)
        size = len(text)
        comparison = table.compare("to_json", f"{name} ({size / 1e6:.1f} MB of JSON)")
        to_json = comparison.velt(f"{name}.to_json ",
                                  Timing(_median_seconds(structure.to_json) / size * 1e9, size))
        dumps = comparison.other("json.dumps(record, indent=2)",
                                 Timing(_median_seconds(lambda: json.dumps(record, indent=2)) / size * 1e9, size))
        comparison = table.compare("from_json", f"{name} ({size / 1e6:.1f} MB of JSON)")
        load = getattr(type(structure), "from_json")
        from_json = comparison.velt(f"{name}.from_json ",
                                    Timing(_median_seconds(lambda: load(text)) / size * 1e9, size))
        loads = comparison.other("json.loads", Timing(_median_seconds(lambda: json.loads(text)) / size * 1e9, size))
        results.targets.append(Target(f"{name}.to_json: json.dumps / velt (speed-up)",
                                      dumps.ns_per_item / to_json.ns_per_item, 3.0, ">="))
        results.targets.append(Target(f"{name}.from_json: json.loads / velt (speed-up)",
                                      loads.ns_per_item / from_json.ns_per_item, 3.0, ">="))
    return results


# Run in a fresh interpreter, so that nothing earlier weighs on its peak. The kernel's
# resident-set figures see native allocations, which tracemalloc cannot; ru_maxrss would
# not do, as it carries the parent's peak across fork and exec. Writing 5 to clear_refs
# resets the peak (VmHWM) to the current resident set just before the batch.
_MEMORY_PROBE = textwrap.dedent(
    """
    import gc, sys
    from velt import BloomFilter

    def status_kib(field):
        with open("/proc/self/status") as status:
            return next(int(line.split()[1]) for line in status if line.startswith(field + ":"))

    n = int(sys.argv[1])
    items = [f"user-{i}" for i in range(n)]
    utf8_bytes = sum(len(item.encode()) for item in items)
    target = BloomFilter(expected_items=n, false_positive_rate=0.01)
    target.clear()  # touches the bits, so that they count before the batch
    gc.collect()
    with open("/proc/self/clear_refs", "w") as clear_refs:
        clear_refs.write("5")
    before = status_kib("VmRSS")
    target.update(items)
    print((status_kib("VmHWM") - before) * 1024, utf8_bytes)
    """
)


def memory(inputs: Inputs) -> Results:
    """Peak RSS added by BloomFilter.update of N str items, against UTF-8 bytes + 16 B per item."""
    completed = subprocess.run([sys.executable, "-c", _MEMORY_PROBE, str(inputs.n)], capture_output=True, text=True)
    if completed.returncode != 0:
        return Results(notes=[f"memory probe failed: {completed.stderr.strip()}"],
                       targets=[Target("batch memory / (UTF-8 bytes + 16 B per item)", None, 1.0, "<=")])
    peak_added, utf8_bytes = map(int, completed.stdout.split())
    budget = utf8_bytes + 16 * inputs.n
    table = Table("Memory: peak RSS added by BloomFilter.update of 10^6 str items", unit="bytes/item")
    comparison = table.compare("update", "str")
    comparison.velt(f"peak RSS added ({peak_added / 2**20:.1f} MiB)", Timing(peak_added / inputs.n, inputs.n))
    comparison.other(f"budget: UTF-8 + 16 B per item ({budget / 2**20:.1f} MiB)", Timing(budget / inputs.n, inputs.n))
    return Results([table], [Target("batch peak RSS / (UTF-8 bytes + 16 B per item)", peak_added / budget, 1.0, "<=",
                                    f"{peak_added / 2**20:.1f} MiB of {budget / 2**20:.1f} MiB")])

