"""Membership filters: BloomFilter, BlockedBloomFilter, CountingBloomFilter, ScalableBloomFilter, CuckooFilter.

Every filter is sized for N expected items at a 1 % false-positive rate, peers too;
queries ask for the N items that were added."""

from __future__ import annotations

import math
from collections.abc import Callable
from typing import Any

import xxhash
from velt import BlockedBloomFilter, BloomFilter, CountingBloomFilter, CuckooFilter, ScalableBloomFilter

from .common import (
    HASH_KINDS,
    Comparison,
    Inputs,
    Peer,
    Results,
    Table,
    Target,
    add_each,
    against_fastest_peer,
    floor_of,
    measure,
    measure_in_turns,
    peer,
    ratio,
)

FPR = 0.01


class XxhashBloomFilter:
    """The Bloom filter one writes in pure Python over the xxhash package: one XXH3-128
    per item split into two halves for double hashing, bits in a bytearray."""

    def __init__(self, expected_items: int, false_positive_rate: float) -> None:
        self._hash = xxhash.xxh3_128_intdigest
        self.num_bits = math.ceil(-expected_items * math.log(false_positive_rate) / math.log(2) ** 2)
        self.num_hashes = max(1, round(self.num_bits / expected_items * math.log(2)))
        self.bits = bytearray((self.num_bits + 7) // 8)

    def _positions(self, item: str | bytes) -> list[int]:
        digest = self._hash(item)
        h1, h2 = digest & 0xFFFFFFFFFFFFFFFF, digest >> 64
        return [(h1 + i * h2) % self.num_bits for i in range(self.num_hashes)]

    def add(self, item: str | bytes) -> None:
        for position in self._positions(item):
            self.bits[position >> 3] |= 1 << (position & 7)

    def __contains__(self, item: str | bytes) -> bool:
        return all(self.bits[p >> 3] & (1 << (p & 7)) for p in self._positions(item))


def _query_each(structure, items):
    return [item in structure for item in items]


def _update(structure, items) -> None:
    structure.update(items)


def bloom_peers(n: int) -> list[Peer]:
    """The installed Bloom filter libraries with a batch insert, sized for n items at 1 %."""
    peers = []
    if rbloom := peer("rbloom"):
        peers.append(Peer("rbloom", "rbloom Bloom.update (batch; hash())", lambda: rbloom.Bloom(n, FPR), _update))
    if abloom := peer("abloom"):
        peers.append(Peer("abloom", "abloom BloomFilter.update (batch)", lambda: abloom.BloomFilter(n, FPR), _update))
    if pybloomfilter := peer("pybloomfilter"):
        peers.append(Peer("pybloomfiltermmap3", "pybloomfiltermmap3 BloomFilter.update (batch, anonymous mmap)",
                          lambda: pybloomfilter.BloomFilter(n, FPR), _update))
    return peers


def _pyprobables_peers(name: str, class_name: str, new_filter) -> list[Peer]:
    """pyprobables' filter of that class (it hashes str and bytes, one add per item), if installed."""
    if peer("probables") is None:
        return []
    return [Peer(name, f"pyprobables {class_name}.add loop", new_filter,
                 add_each(lambda f: f.add), ("str", "bytes"))]


def counting_bloom_peers(n: int) -> list[Peer]:
    return _pyprobables_peers("pyprobables CountingBloomFilter", "CountingBloomFilter",
                              lambda: peer("probables").CountingBloomFilter(n, FPR))


def scalable_bloom_peers(n: int) -> list[Peer]:
    return _pyprobables_peers("pyprobables ExpandingBloomFilter", "ExpandingBloomFilter",
                              lambda: peer("probables").ExpandingBloomFilter(n, FPR))


def cuckoo_peers(n: int) -> list[Peer]:
    # pyprobables counts capacity in buckets of four fingerprints.
    return _pyprobables_peers("pyprobables", "CuckooFilter",
                              lambda: peer("probables").CuckooFilter(capacity=math.ceil(n / 4 / 0.95)))


def _peers_insert(comparison: Comparison, peers: list[Peer], items) -> list:
    """Each peer inserting items through its fastest path; returns their (name, timing)."""
    return [(p.name, comparison.other(p.label, p.measure_insert(items))) for p in peers]


def _bloom_peers_query(comparison: Comparison, n: int, items) -> list:
    """The Bloom filter peers answering membership for items; none has a batch query."""
    timings = []
    for p in bloom_peers(n):
        full = p.new()
        p.insert(full, items)
        label = f"{p.name} [x in f for x in items]"
        timings.append((p.name, comparison.other(label, measure(lambda f, s: _query_each(f, s), items, lambda: full))))
    return timings


def _check_loop(comparison: Comparison, peers: list[Peer], n: int, items) -> list:
    """The pyprobables peers asked for every item, a tenth of them added: none has a batch query."""
    timings = []
    for p in peers:
        full = p.new()
        p.insert(full, items[: n // 10])
        label = p.label.replace(".add loop", ".check loop (10 % added)")
        timing = measure(lambda f, s: [f.check(x) for x in s], items, lambda: full)
        timings.append((p.name, comparison.other(label, timing)))
    return timings


def bloom(inputs: Inputs) -> Results:
    n = inputs.n
    table = Table("BloomFilter (1 % at 10^6 expected items)")
    results = Results([table])
    new_filter = lambda: BloomFilter(expected_items=n, false_positive_rate=FPR)  # noqa: E731

    set_update: dict[str, object] = {}
    for kind in ("str", "bytes", "int"):
        items = inputs.items(kind)
        comparison = table.compare("update", kind)
        velt = comparison.velt("BloomFilter.update", measure(lambda f, s: f.update(s), items, new_filter))
        if kind != "int":  # ints have no join: converting them is the very cost measured
            comparison.floor("floor ''.join" if kind == "str" else "floor b''.join", _floor(kind, items))
        set_update[kind] = comparison.other("set.update", measure(lambda s, i: s.update(i), items, set))
        if kind == "str":
            comparison.other("BloomFilter.add loop", measure(add_each(lambda f: f.add), items, new_filter))
            comparison.other("xxhash pure-Python Bloom add loop", measure(
                add_each(lambda f: f.add), items, lambda: XxhashBloomFilter(n, FPR)))
        if kind != "int" and (probables := peer("probables")):  # pure Python, one add per item: no batch peer
            comparison.other("pyprobables BloomFilter.add loop", measure(
                add_each(lambda f: f.add), items, lambda: probables.BloomFilter(n, FPR)))
        peers = _peers_insert(comparison, bloom_peers(n), items)
        if kind == "str":
            results.targets.append(Target("BloomFilter.update str / set.update", ratio(velt, set_update[kind]), 0.35, "<="))
            results.targets.append(against_fastest_peer("BloomFilter.update str vs fastest Bloom peer", velt, peers))
        if kind == "int":
            results.targets.append(Target("BloomFilter.update int / set.update of the ints", ratio(velt, set_update[kind]), 1.0, "<="))

    items = inputs.strs
    full = new_filter()
    full.update(items)
    truth = set(items)
    comparison = table.compare("query_many", "str")
    velt = comparison.velt("BloomFilter.query_many", measure(lambda f, s: f.query_many(s), items, lambda: full))
    comprehension = comparison.other("[x in s for x in items] (set)", measure(_query_each, items, lambda: truth))
    comparison.other("[x in f for x in items] (velt)", measure(_query_each, items, lambda: full))
    peers = _bloom_peers_query(comparison, n, items)
    results.targets.append(Target("BloomFilter.query_many / set comprehension", ratio(velt, comprehension), 0.3, "<="))
    results.targets.append(against_fastest_peer("BloomFilter.query_many vs fastest Bloom peer", velt, peers))

    results.targets += _hash_paths(table, inputs, "BloomFilter", new_filter)
    return results


def blocked_bloom(inputs: Inputs) -> Results:
    """BlockedBloomFilter.update against abloom (one cache line per item too) on shuffled
    str and on real tokens, against the classic filter from an Arrow column; and the
    classic filter against rbloom on the real tokens. Each filter is sized for its input;
    the implementations compared take turns on the same items (measure_in_turns)."""
    table = Table("BlockedBloomFilter (1 %) and BloomFilter on scattered and real str (each the fastest of 5 alternating turns on the same items)")
    results = Results([table])
    abloom, rbloom, pyarrow = peer("abloom"), peer("rbloom"), peer("pyarrow")

    def update_runs(filters: dict[str, Callable[[], Any]]) -> dict[str, tuple[Callable[[Any, Any], object], Callable[[], Any]]]:
        """Per name, a run that updates a new filter, made by filters[name], with the items."""
        return {name: ((lambda f, s: f.update(s)), new) for name, new in filters.items()}

    def velt_filters(n: int) -> dict[str, Callable[[], Any]]:
        return {"BlockedBloomFilter.update": lambda: BlockedBloomFilter(expected_items=n, false_positive_rate=FPR),
                "BloomFilter.update": lambda: BloomFilter(expected_items=n, false_positive_rate=FPR)}

    for kind, items in (("10^6 shuffled str", inputs.shuffled_strs), (f"{len(inputs.tokens):,} stdlib tokens", inputs.tokens)):
        n = len(items)
        filters = velt_filters(n)
        if abloom:
            filters["abloom BloomFilter.update"] = lambda: abloom.BloomFilter(n, FPR)
        if rbloom:
            filters["rbloom Bloom.update"] = lambda: rbloom.Bloom(n, FPR)
        runs = update_runs(filters)
        runs["floor ''.join"] = ((lambda _, s: "".join(s)), lambda: None)
        timings = measure_in_turns(runs, items)
        comparison = table.compare("update", kind)
        blocked = comparison.velt("BlockedBloomFilter.update", timings["BlockedBloomFilter.update"])
        classic = comparison.velt("BloomFilter.update", timings["BloomFilter.update"])
        comparison.floor("floor ''.join", timings["floor ''.join"])
        abloom_timing = comparison.other("abloom BloomFilter.update", timings.get("abloom BloomFilter.update"))
        rbloom_timing = comparison.other("rbloom Bloom.update", timings.get("rbloom Bloom.update"))
        short = kind.split(" ", 1)[1]
        results.targets.append(Target(f"BlockedBloomFilter.update {short} / abloom", ratio(blocked, abloom_timing), 1.0, "<="))
        if "tokens" in kind:
            results.targets.append(Target(f"BloomFilter.update {short} / rbloom", ratio(classic, rbloom_timing), 1.0, "<="))
            if abloom:
                new_copies(table, items, abloom)
    if pyarrow:
        column = pyarrow.array(inputs.strs)
        n = len(column)
        timings = measure_in_turns(update_runs(velt_filters(n)), column)
        comparison = table.compare("update", "pyarrow string array")
        blocked = comparison.velt("BlockedBloomFilter.update", timings["BlockedBloomFilter.update"])
        classic = comparison.velt("BloomFilter.update", timings["BloomFilter.update"])
        results.targets.append(Target("BlockedBloomFilter.update / BloomFilter.update, Arrow strings", ratio(blocked, classic), 0.5, "<="))
    return results


def new_copies(table: Table, items: list[str], abloom) -> None:
    """The blocked filter and abloom on new copies of the items each turn. abloom reads the hash
    a str caches, which every turn on the same items after the first finds made; a stream brings
    new str objects, whose hash abloom must compute first."""
    n = len(items)

    def with_new_copies(new_filter: Callable[[], Any]):
        return (lambda state, _: state[0].update(state[1])), lambda: (new_filter(), [(item + ".")[:-1] for item in items])

    timings = measure_in_turns({
        "BlockedBloomFilter.update": with_new_copies(lambda: BlockedBloomFilter(expected_items=n, false_positive_rate=FPR)),
        "abloom BloomFilter.update": with_new_copies(lambda: abloom.BloomFilter(n, FPR)),
    }, items)
    comparison = table.compare("update", f"new copies of the {n:,} tokens each turn")
    comparison.velt("BlockedBloomFilter.update", timings["BlockedBloomFilter.update"])
    comparison.other("abloom BloomFilter.update", timings["abloom BloomFilter.update"])


def _floor(kind: str, items):
    if kind == "str":
        return floor_of(items)
    return measure(lambda _, sample: b"".join(sample), items)


def _hash_paths(table: Table, inputs: Inputs, name: str, new_structure) -> list[Target]:
    """update_hashes and query_hashes from a list, a numpy array and an array.array."""
    targets = []
    for operation in ("update_hashes", "query_hashes"):
        comparison = table.compare(operation, "caller hashes")
        timings = {}
        full = new_structure()
        full.update_hashes(inputs.hashes_numpy)
        for kind in HASH_KINDS:
            if operation == "update_hashes":
                run, prepare = (lambda f, s: f.update_hashes(s)), new_structure
            else:
                run, prepare = (lambda f, s: f.query_hashes(s)), (lambda: full)
            timings[kind] = comparison.velt(f"{name}.{operation} ({kind})", measure(run, inputs.hashes(kind), prepare))
        for kind in HASH_KINDS[1:]:
            targets.append(
                Target(f"{name}.{operation}: list / {kind} (speed-up)", ratio(timings["list"], timings[kind]), 10.0, ">=")
            )
    return targets


def counting_and_scalable(inputs: Inputs) -> Results:
    """The two Bloom variants against the plain filter, set.update and pyprobables."""
    n = inputs.n
    items = inputs.strs
    results = Results()
    bloom_update = measure(lambda f, s: f.update(s), items, lambda: BloomFilter(expected_items=n, false_positive_rate=FPR))
    full_bloom = BloomFilter(expected_items=n, false_positive_rate=FPR)
    full_bloom.update(items)
    bloom_query = measure(lambda f, s: f.query_many(s), items, lambda: full_bloom)
    variants = [
        ("CountingBloomFilter", lambda: CountingBloomFilter(expected_items=n, false_positive_rate=FPR),
         counting_bloom_peers(n)),
        ("ScalableBloomFilter", lambda: ScalableBloomFilter(initial_capacity=n, false_positive_rate=FPR),
         scalable_bloom_peers(n)),
    ]
    for name, new_filter, peers in variants:
        table = Table(f"{name} (1 % at 10^6 expected items)")
        results.tables.append(table)
        comparison = table.compare("update", "str")
        velt = comparison.velt(f"{name}.update", measure(lambda f, s: f.update(s), items, new_filter))
        comparison.floor("floor ''.join", floor_of(items))
        comparison.other("BloomFilter.update", bloom_update)
        set_update = comparison.other("set.update", measure(lambda s, i: s.update(i), items, set))
        if name == "ScalableBloomFilter":
            # Grown from a thousandth of the stream, as when its size is not known: ten slices.
            comparison.velt(f"{name}.update (initial_capacity 10^3)", measure(
                lambda f, s: f.update(s), items, lambda: ScalableBloomFilter(initial_capacity=n // 1000)))
        peer_update = _peers_insert(comparison, peers, items)
        results.targets.append(Target(f"{name}.update / BloomFilter.update", ratio(velt, bloom_update), 1.5, "<="))
        results.targets.append(Target(f"{name}.update / set.update", ratio(velt, set_update), 0.35 * 1.5, "<="))
        results.targets.append(against_fastest_peer(f"{name}.update vs fastest peer", velt, peer_update))

        full = new_filter()
        full.update(items)
        comparison = table.compare("query_many", "str")
        velt = comparison.velt(f"{name}.query_many", measure(lambda f, s: f.query_many(s), items, lambda: full))
        comparison.other("BloomFilter.query_many", bloom_query)
        truth = set(items)
        comprehension = comparison.other("[x in s for x in items] (set)", measure(_query_each, items, lambda: truth))
        peer_query = _check_loop(comparison, peers, n, items)
        results.targets.append(Target(f"{name}.query_many / BloomFilter.query_many", ratio(velt, bloom_query), 1.5, "<="))
        results.targets.append(Target(f"{name}.query_many / set comprehension", ratio(velt, comprehension), 0.3 * 1.5, "<="))
        results.targets.append(against_fastest_peer(f"{name}.query_many vs fastest peer", velt, peer_query))
    return results


def cuckoo(inputs: Inputs) -> Results:
    n = inputs.n
    items = inputs.strs
    table = Table("CuckooFilter (capacity 10^6)")
    results = Results([table])
    new_filter = lambda: CuckooFilter(capacity=n)  # noqa: E731
    comparison = table.compare("update", "str")
    velt = comparison.velt("CuckooFilter.update", measure(lambda f, s: f.update(s), items, new_filter))
    comparison.floor("floor ''.join", floor_of(items))
    comparison.other("set.update", measure(lambda s, i: s.update(i), items, set))
    peers = cuckoo_peers(n)
    peer_update = _peers_insert(comparison, peers, items)
    results.targets.append(against_fastest_peer("CuckooFilter.update vs fastest peer", velt, peer_update))

    full = new_filter()
    full.update(items)
    comparison = table.compare("query_many", "str")
    velt = comparison.velt("CuckooFilter.query_many", measure(lambda f, s: f.query_many(s), items, lambda: full))
    truth = set(items)
    comparison.other("[x in s for x in items] (set)", measure(_query_each, items, lambda: truth))
    peer_query = _check_loop(comparison, peers, n, items)
    results.targets.append(against_fastest_peer("CuckooFilter.query_many vs fastest peer", velt, peer_query))
    return results
