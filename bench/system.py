"""Whole-structure costs: threads, persistence throughput, JSON, the memory of a batch, and
large saved filters opened in place by several processes."""

from __future__ import annotations

import hashlib
import json
import os
import statistics
import subprocess
import sys
import tempfile
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



# A child that opens the saved filter (or, as the idle baseline, does not) and queries the
# probes, then prints a digest of its answers and its private memory in bytes, after
# waiting until every child holds the file open.
_OPEN_PROBE = textwrap.dedent("""
    import hashlib, sys
    from velt import BloomFilter
    path, n, idle = sys.argv[1], int(sys.argv[2]), sys.argv[3] == "idle"
    probes = [f"user-{i}" for i in range(0, 2 * n, 2)]
    answers = b"" if idle else bytes(BloomFilter.open(path).query_many(probes))
    sys.stdin.readline()
    with open("/proc/self/smaps_rollup") as rollup:
        private = sum(int(line.split()[1]) * 1024 for line in rollup if line.startswith(("Private_Clean", "Private_Dirty")))
    print(hashlib.sha256(answers).hexdigest(), private)
""")


def opened(inputs: Inputs) -> Results:
    """A 2 GiB saved BloomFilter: open against load, and four processes each opening it and
    querying 10^6 items, against an idle interpreter that builds the same probes."""
    table = Table("A 2 GiB saved BloomFilter: open in place against load", unit="ms")
    results = Results([table])
    with tempfile.TemporaryDirectory() as directory:
        path = os.path.join(directory, "large.velt")
        large = BloomFilter(num_bits=16 << 30, num_hashes=7)
        large.update(inputs.strs)
        large.save(path)
        del large
        probes = [f"user-{i}" for i in range(0, 2 * inputs.n, 2)]
        loaded = BloomFilter.load(path)
        expected = hashlib.sha256(bytes(loaded.query_many(probes))).hexdigest()
        del loaded
        load = _median_seconds(lambda: BloomFilter.load(path), repeats=3)
        comparison = table.compare("read", f"{os.path.getsize(path) / 2**30:.2f} GiB file")
        comparison.other("BloomFilter.load", Timing(load * 1e3, 1))
        for verify in (True, False):
            seconds = _median_seconds(lambda: BloomFilter.open(path, verify=verify), repeats=3)
            comparison.velt(f"BloomFilter.open(verify={verify})", Timing(seconds * 1e3, 1))
            results.targets.append(Target(f"BloomFilter.open(verify={verify}) / load, 2 GiB", seconds / load, 0.3, "<="))

        def children(mode: str, count: int) -> list[tuple[str, int]]:
            running = [subprocess.Popen([sys.executable, "-c", _OPEN_PROBE, path, str(inputs.n), mode],
                                        stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True) for _ in range(count)]
            outputs = [child.communicate("go\n")[0].split() for child in running]
            return [(digest, int(private)) for digest, private in outputs]

        idle = children("idle", 1)[0][1]
        four = children("open", 4)
        added = max(private for _, private in four) - idle
        same = all(digest == expected for digest, _ in four)
        results.targets.append(Target("private memory of a process that opens 2 GiB and queries 10^6, above idle",
                                      added / 2**20, 64, "<=", f"4 processes, answers identical to load: {same}",
                                      unit=" MiB"))
        results.targets.append(Target("answers of the 4 opening processes identical to the loaded filter's",
                                      float(same), 1.0, ">="))
    return results
