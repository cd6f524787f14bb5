"""Eight threads issue random mixed calls on objects of every class, some shared
between them and some private to one thread. Nothing crashes; shared objects
refuse overlapping calls only with the borrow errors; and each private object
ends exactly as a serial replay of its own calls on a fresh object."""

import os
import random
import threading
import time

from velt import (
    BloomFilter,
    CountingBloomFilter,
    CountMinSketch,
    CuckooFilter,
    HyperLogLog,
    MinHash,
    ScalableBloomFilter,
    TopK,
)

THREADS = 8
# Sanitized builds run several times slower; a shorter run still overlaps plenty of calls.
SECONDS = 1.0 if "asan" in os.environ.get("LD_PRELOAD", "") else 2.5
POOL = [f"item-{i}" for i in range(4000)]
BORROW_ERRORS = {"Already mutably borrowed", "Already borrowed"}

# Small settings keep each call short, so that the threads interleave many of them.
FACTORIES = {
    BloomFilter: lambda: BloomFilter(expected_items=5000, seed=5),
    CountingBloomFilter: lambda: CountingBloomFilter(expected_items=5000, seed=5),
    ScalableBloomFilter: lambda: ScalableBloomFilter(initial_capacity=500, seed=5),
    # Private cuckoo filters stay below a tenth of their slots: see `same_state`.
    CuckooFilter: lambda: CuckooFilter(capacity=20000, seed=5),
    HyperLogLog: lambda: HyperLogLog(precision=10, seed=5),
    CountMinSketch: lambda: CountMinSketch(width=256, depth=4, seed=5),
    MinHash: lambda: MinHash(num_hashes=64, seed=5),
    TopK: lambda: TopK(k=20),
}


def some_items(rng):
    return rng.sample(POOL, rng.randint(1, 300))


def some_hashes(rng):
    return [rng.getrandbits(64) for _ in range(rng.randint(1, 300))]


def read_everything(obj):
    """The calls that only look: a borrow shared with other readers."""
    repr(obj)
    obj.to_bytes()
    if not isinstance(obj, MinHash):
        len(obj)


def operations(cls):
    """(name, draws the arguments, applies them) for every call this class offers.

    `apply` returns the object to go on with: a copy replaces the original."""
    ops = [
        ("add", lambda r: r.choice(POOL), lambda o, a: o.add(a)),
        ("update", some_items, lambda o, a: o.update(a)),
        ("clear", lambda r: None, lambda o, a: o.clear()),
        ("copy", lambda r: None, lambda o, a: o.copy()),
        ("read", lambda r: None, lambda o, a: read_everything(o)),
    ]
    if cls is not TopK:
        ops += [
            ("add_hash", lambda r: r.getrandbits(64), lambda o, a: o.add_hash(a)),
            ("update_hashes", some_hashes, lambda o, a: o.update_hashes(a)),
        ]
    if cls in (CountingBloomFilter, CuckooFilter):
        ops.append(("remove", some_items, lambda o, a: [o.remove(item) for item in a]))
    if cls in (HyperLogLog, MinHash):
        ops.append(("estimate", lambda r: None, lambda o, a: o.cardinality() if cls is HyperLogLog else o.jaccard(o)))
    else:
        ops.append(("query_many", some_items, lambda o, a: o.query_many(a)))
    if cls not in (ScalableBloomFilter, CuckooFilter):
        ops.append(("merge", None, lambda o, a: o.merge(a)))
    return ops


def same_state(cls, a, b):
    """Cuckoo relocations pick victims with a per-thread random generator, so the
    slot layout after one is not reproducible; membership and the fingerprint
    count are. The other classes are compared byte for byte."""
    if cls is CuckooFilter:
        return len(a) == len(b) and a.query_many(POOL) == b.query_many(POOL)
    return a.to_bytes() == b.to_bytes()


class Worker:
    def __init__(self, index, shared):
        self.rng = random.Random(index)
        self.shared = shared
        self.private = {cls: make() for cls, make in FACTORIES.items()}
        self.donors = {}
        for cls, make in FACTORIES.items():
            self.donors[cls] = make()
            self.donors[cls].update(POOL[index : index + 10])
        self.log = {cls: [] for cls in FACTORIES}
        self.operations = 0
        self.refusals = 0
        self.failures = []

    def step(self):
        cls = self.rng.choice(list(FACTORIES))
        name, draw, apply = self.rng.choice(operations(cls))
        while name == "clear" and self.rng.random() < 0.8:  # rarer, so that objects fill between clears
            name, draw, apply = self.rng.choice(operations(cls))
        if self.rng.random() < 0.5:
            target, other = self.rng.sample(self.shared[cls], 2)
            # Two shared objects merge into each other only where merging is idempotent: elsewhere
            # merging back and forth doubles counts until len() overflows or counters hit their limit.
            argument = draw(self.rng) if draw else (other if cls in (HyperLogLog, MinHash) else self.donors[cls])
            try:
                apply(target, argument)
            except RuntimeError as error:
                assert str(error) in BORROW_ERRORS, error
                self.refusals += 1
        else:
            argument = draw(self.rng) if draw else self.donors[cls]
            result = apply(self.private[cls], argument)
            if name == "copy":
                self.private[cls] = result
            self.log[cls].append((name, apply, argument))
        self.operations += 1

    def run(self, deadline):
        try:
            while time.monotonic() < deadline:
                self.step()
        except BaseException as error:  # reported by the main thread
            self.failures.append(error)


def replay(cls, log):
    obj = FACTORIES[cls]()
    for name, apply, argument in log:
        result = apply(obj, argument)
        if name == "copy":
            obj = result
    return obj


def test_threads_on_shared_and_private_objects():
    shared = {cls: [make(), make()] for cls, make in FACTORIES.items()}
    workers = [Worker(index, shared) for index in range(THREADS)]
    deadline = time.monotonic() + SECONDS
    threads = [threading.Thread(target=worker.run, args=(deadline,)) for worker in workers]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()

    assert [failure for worker in workers for failure in worker.failures] == []
    total = sum(worker.operations for worker in workers)
    print(f"{total} operations, {sum(w.refusals for w in workers)} refused as borrowed")
    # Batches release the GIL while they hold their object: other threads must have met it.
    assert sum(worker.refusals for worker in workers) > 0

    for worker in workers:
        for cls, obj in worker.private.items():
            assert same_state(cls, obj, replay(cls, worker.log[cls])), cls.__name__
    for cls, objects in shared.items():
        for obj in objects:
            assert cls.from_bytes(obj.to_bytes()).to_bytes() == obj.to_bytes()
