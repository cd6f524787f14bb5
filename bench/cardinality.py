"""HyperLogLog (precision 14, about 0.8 % standard error) against len(set(...)) and the peers."""

from __future__ import annotations

from velt import HyperLogLog

from .common import (HASH_KINDS, Inputs, Peer, Results, Table, Target, add_each, against_fastest_peer, floor_of,
                     measure, peer, ratio)

PRECISION = 14
_update_loop = add_each(lambda sketch: sketch.update)


def hyperloglog_peers(n: int) -> list[Peer]:
    """The installed HyperLogLog libraries (their sizes do not depend on n)."""
    peers = []
    if datasketches := peer("datasketches"):
        peers.append(Peer("datasketches", "datasketches hll_sketch.update loop (HLL_8)",
                          lambda: datasketches.hll_sketch(PRECISION, datasketches.tgt_hll_type.HLL_8),
                          _update_loop, ("str", "int")))  # hll_sketch.update takes int, float or str
    if datasketch := peer("datasketch"):
        xxhash = peer("xxhash")
        peers.append(Peer("datasketch", "datasketch HyperLogLog.update loop (hashfunc xxh32)",
                          lambda: datasketch.HyperLogLog(p=PRECISION, hashfunc=xxhash.xxh32_intdigest),
                          _update_loop, ("str", "bytes")))
    if hyperloglog_package := peer("hyperloglog"):
        peers.append(Peer("hyperloglog", "hyperloglog HyperLogLog.add_bulk (batch, numpy)",
                          lambda: hyperloglog_package.HyperLogLog(0.01), lambda h, s: h.add_bulk(s)))
    return peers


def hyperloglog(inputs: Inputs) -> Results:
    table = Table("HyperLogLog (precision 14)")
    results = Results([table])
    new_sketch = lambda: HyperLogLog(precision=PRECISION)  # noqa: E731

    for kind in ("str", "bytes", "int"):
        items = inputs.items(kind)
        comparison = table.compare("update", kind)
        velt = comparison.velt("HyperLogLog.update", measure(lambda h, s: h.update(s), items, new_sketch))
        floor = None
        if kind == "str":
            floor = comparison.floor("floor ''.join", floor_of(items))
        elif kind == "bytes":
            floor = comparison.floor("floor b''.join", measure(lambda _, s: b"".join(s), items))
        comparison.other("len(set(items))", measure(lambda _, s: len(set(s)), items))
        peers = [(p.name, comparison.other(p.label, p.measure_insert(items)))
                 for p in hyperloglog_peers(inputs.n) if p.takes(kind)]
        if kind == "str":
            results.targets.append(Target("HyperLogLog.update str / ''.join floor", ratio(velt, floor), 2.5, "<="))
            results.targets.append(against_fastest_peer("HyperLogLog.update str vs fastest HLL peer", velt, peers))

    comparison = table.compare("update_hashes", "caller hashes")
    timings = {
        kind: comparison.velt(f"HyperLogLog.update_hashes ({kind})", measure(
            lambda h, s: h.update_hashes(s), inputs.hashes(kind), new_sketch))
        for kind in HASH_KINDS
    }
    for kind in HASH_KINDS[1:]:
        results.targets.append(Target(f"HyperLogLog.update_hashes: list / {kind} (speed-up)",
                                      ratio(timings["list"], timings[kind]), 10.0, ">="))
    return results
