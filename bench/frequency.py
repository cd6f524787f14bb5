"""CountMinSketch and TopK on a Zipf(1.1) stream against collections.Counter and the peers."""

from __future__ import annotations

import heapq
from collections import Counter

from velt import CountMinSketch, TopK

from .common import Inputs, Results, Table, Target, against_fastest_peer, floor_of, measure, peer, ratio

ERROR_RATE = 0.001
CONFIDENCE = 0.99
K = 100


def _update_each(structure, items):
    update = structure.update
    for item in items:
        update(item)


def _add_each(structure, items):
    add = structure.add
    for item in items:
        add(item)


def count_min_sketch(inputs: Inputs) -> Results:
    items = inputs.zipf
    table = Table("CountMinSketch (error_rate 0.001, confidence 0.99: 2719 x 5)")
    results = Results([table])
    shape = CountMinSketch(error_rate=ERROR_RATE, confidence=CONFIDENCE)
    width, depth = shape.width, shape.depth
    new_sketch = lambda: CountMinSketch(error_rate=ERROR_RATE, confidence=CONFIDENCE)  # noqa: E731

    comparison = table.compare("update", "zipf str")
    velt = comparison.velt("CountMinSketch.update", measure(lambda c, s: c.update(s), items, new_sketch))
    comparison.floor("floor ''.join", floor_of(items))
    counter = comparison.other("Counter(items)", measure(lambda _, s: Counter(s), items))
    peers = []
    if datasketches := peer("datasketches"):
        peers.append(("datasketches", comparison.other("datasketches count_min_sketch.update loop", measure(
            _update_each, items, lambda: datasketches.count_min_sketch(depth, width)))))
    if probables := peer("probables"):
        peers.append(("pyprobables", comparison.other("pyprobables CountMinSketch.add loop", measure(
            _add_each, items, lambda: probables.CountMinSketch(width=width, depth=depth)))))
    if bounter := peer("bounter"):
        # bounter takes power-of-two widths only.
        bounter_width = 1 << (width - 1).bit_length()
        peers.append(("bounter", comparison.other(f"bounter CountMinSketch.update (batch; {bounter_width} x {depth})", measure(
            lambda c, s: c.update(s), items, lambda: bounter.CountMinSketch(width=bounter_width, depth=depth)))))
    results.targets.append(Target("CountMinSketch.update / Counter", ratio(velt, counter), 0.2, "<="))
    results.targets.append(against_fastest_peer("CountMinSketch.update vs fastest peer", velt, peers))

    full = new_sketch()
    full.update(items)
    exact = Counter(items)
    comparison = table.compare("query_many", "zipf str")
    comparison.velt("CountMinSketch.query_many", measure(lambda c, s: c.query_many(s), items, lambda: full))
    comparison.other("[counter[x] for x in items]", measure(lambda c, s: [c[x] for x in s], items, lambda: exact))
    return results


def _counter_top(_, items):
    return Counter(items).most_common(K)


def top_k(inputs: Inputs) -> Results:
    items = inputs.zipf
    table = Table("TopK (k = 100, Zipf stream)")
    results = Results([table])

    def velt_top(tracker, sample):
        tracker.update(sample)
        return tracker.top()

    comparison = table.compare("update + top", "zipf str")
    velt = comparison.velt("TopK.update + top()", measure(velt_top, items, lambda: TopK(K)))
    comparison.floor("floor ''.join", floor_of(items))
    counter = comparison.other("Counter(items).most_common(100)", measure(_counter_top, items))
    peers = []
    if datasketches := peer("datasketches"):
        def sketch_top(sketch, sample):
            _update_each(sketch, sample)
            return sketch.get_frequent_items(datasketches.frequent_items_error_type.NO_FALSE_NEGATIVES)[:K]

        peers.append(("datasketches", comparison.other("datasketches frequent_strings_sketch(lg_max_k 10) loop", measure(
            sketch_top, items, lambda: datasketches.frequent_strings_sketch(10)))))
    if probables := peer("probables"):
        def hitters_top(hitters, sample):
            _add_each(hitters, sample)
            return hitters.heavy_hitters

        peers.append(("pyprobables", comparison.other("pyprobables HeavyHitters.add loop", measure(
            hitters_top, items, lambda: probables.HeavyHitters(num_hitters=K, width=2719, depth=5)))))
    if bounter := peer("bounter"):
        def table_top(counts, sample):
            counts.update(sample)
            return heapq.nlargest(K, counts.items(), key=lambda pair: pair[1])

        peers.append(("bounter", comparison.other("bounter HashTable.update (batch) + nlargest", measure(
            table_top, items, lambda: bounter.HashTable(size_mb=64)))))
    results.targets.append(Target("TopK.update / Counter", ratio(velt, counter), 0.3, "<="))
    results.targets.append(against_fastest_peer("TopK.update vs fastest peer", velt, peers))
    return results
