"""CountMinSketch and TopK on a Zipf(1.1) stream against collections.Counter and the peers."""

from __future__ import annotations

import heapq
from collections import Counter

from velt import CountMinSketch, TopK

from .common import Inputs, Peer, Results, Table, Target, add_each, against_fastest_peer, floor_of, measure, peer, ratio

ERROR_RATE = 0.001
CONFIDENCE = 0.99
K = 100


_update_loop = add_each(lambda sketch: sketch.update)
_add_loop = add_each(lambda sketch: sketch.add)


def _shape() -> tuple[int, int]:
    """velt's CountMinSketch width and depth, which its peers are given."""
    sketch = CountMinSketch(error_rate=ERROR_RATE, confidence=CONFIDENCE)
    return sketch.width, sketch.depth


def count_min_sketch_peers(n: int) -> list[Peer]:
    """The installed Count-Min libraries, as wide and deep as velt's (n does not size them)."""
    width, depth = _shape()
    # bounter takes power-of-two widths only.
    bounter_width = 1 << (width - 1).bit_length()
    peers = []
    if datasketches := peer("datasketches"):
        peers.append(Peer("datasketches", "datasketches count_min_sketch.update loop",
                          lambda: datasketches.count_min_sketch(depth, width), _update_loop, ("str",)))
    if probables := peer("probables"):
        peers.append(Peer("pyprobables", "pyprobables CountMinSketch.add loop",
                          lambda: probables.CountMinSketch(width=width, depth=depth), _add_loop, ("str",)))
    if bounter := peer("bounter"):
        peers.append(Peer("bounter", f"bounter CountMinSketch.update (batch; {bounter_width} x {depth})",
                          lambda: bounter.CountMinSketch(width=bounter_width, depth=depth),
                          lambda c, s: c.update(s), ("str",)))
    return peers


def top_k_peers(n: int) -> list[Peer]:
    """The installed heavy-hitter libraries, each with its read of the K heaviest."""
    peers = []
    if datasketches := peer("datasketches"):
        peers.append(Peer("datasketches", "datasketches frequent_strings_sketch(lg_max_k 10) loop",
                          lambda: datasketches.frequent_strings_sketch(10), _update_loop, ("str",),
                          lambda sketch: sketch.get_frequent_items(
                              datasketches.frequent_items_error_type.NO_FALSE_NEGATIVES)[:K]))
    if probables := peer("probables"):
        peers.append(Peer("pyprobables", "pyprobables HeavyHitters.add loop",
                          lambda: probables.HeavyHitters(num_hitters=K, width=2719, depth=5), _add_loop, ("str",),
                          lambda hitters: hitters.heavy_hitters))
    if bounter := peer("bounter"):
        peers.append(Peer("bounter", "bounter HashTable.update (batch) + nlargest",
                          lambda: bounter.HashTable(size_mb=64), lambda c, s: c.update(s), ("str",),
                          lambda counts: heapq.nlargest(K, counts.items(), key=lambda pair: pair[1])))
    return peers


def count_min_sketch(inputs: Inputs) -> Results:
    items = inputs.zipf
    table = Table("CountMinSketch (error_rate 0.001, confidence 0.99: 2719 x 5)")
    results = Results([table])
    new_sketch = lambda: CountMinSketch(error_rate=ERROR_RATE, confidence=CONFIDENCE)  # noqa: E731

    comparison = table.compare("update", "zipf str")
    velt = comparison.velt("CountMinSketch.update", measure(lambda c, s: c.update(s), items, new_sketch))
    comparison.floor("floor ''.join", floor_of(items))
    counter = comparison.other("Counter(items)", measure(lambda _, s: Counter(s), items))
    peers = [(p.name, comparison.other(p.label, p.measure_insert(items))) for p in count_min_sketch_peers(inputs.n)]
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
    for p in top_k_peers(inputs.n):
        def insert_and_top(structure, sample, p=p):
            p.insert(structure, sample)
            return p.top(structure)

        peers.append((p.name, comparison.other(p.label, measure(insert_and_top, items, p.new))))
    results.targets.append(Target("TopK.update / Counter", ratio(velt, counter), 0.3, "<="))
    results.targets.append(against_fastest_peer("TopK.update vs fastest peer", velt, peers))
    return results
