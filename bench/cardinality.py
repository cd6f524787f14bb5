"""HyperLogLog (precision 14, about 0.8 % standard error) against len(set(...)) and the peers."""

from __future__ import annotations

from velt import HyperLogLog

from .common import HASH_KINDS, Inputs, Results, Table, Target, against_fastest_peer, floor_of, measure, peer, ratio

PRECISION = 14


def _update_each(structure, items):
    update = structure.update
    for item in items:
        update(item)


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
        peers = []
        if datasketches := peer("datasketches"):
            if kind != "bytes":  # hll_sketch.update takes int, float or str
                peers.append(("datasketches", comparison.other("datasketches hll_sketch.update loop (HLL_8)", measure(
                    _update_each, items, lambda: datasketches.hll_sketch(PRECISION, datasketches.tgt_hll_type.HLL_8)))))
        if datasketch := peer("datasketch"):
            if kind != "int":
                xxhash = peer("xxhash")
                peers.append(("datasketch", comparison.other("datasketch HyperLogLog.update loop (hashfunc xxh32)", measure(
                    _update_each, items, lambda: datasketch.HyperLogLog(p=PRECISION, hashfunc=xxhash.xxh32_intdigest)))))
        if hyperloglog_package := peer("hyperloglog"):
            peers.append(("hyperloglog", comparison.other("hyperloglog HyperLogLog.add_bulk (batch, numpy)", measure(
                lambda h, s: h.add_bulk(s), items, lambda: hyperloglog_package.HyperLogLog(0.01)))))
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
