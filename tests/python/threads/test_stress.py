"""Eight threads issue random mixed calls on objects of every class, some shared
between them and some private to one thread. Nothing crashes; shared objects refuse
overlapping calls only with the borrow errors; and each private object ends exactly
as a serial replay of its own calls on a fresh object."""

import os
import random
import threading
import time

from velt import CuckooFilter, MinHash
from helpers import KINDS

THREADS = 8
# Sanitized builds run several times slower; a shorter run still overlaps plenty of calls.
SECONDS = 1.0 if "asan" in os.environ.get("LD_PRELOAD", "") else 2.0
POOL = [f"item-{i}" for i in range(4000)]
BORROW_ERRORS = {"Already mutably borrowed", "Already borrowed"}


def make(kind):
    # Cuckoo filters stay below a tenth of their slots: relocations pick random victims.
    return kind.make(capacity=20000) if kind.cls is CuckooFilter else kind.make()


def operations(kind):
    """(name, draws the argument, applies it); `apply` returns the object to go on with."""
    ops = [
        ("copy", lambda r: None, lambda o, a: o.copy()),
        ("read", lambda r: None, lambda o, a: (repr(o), o.to_bytes(), o)[2]),
    ]
    if kind.takes_items:
        ops += [("add", lambda r: r.choice(POOL), lambda o, a: (o.add(a), o)[1]),
                ("update", lambda r: r.sample(POOL, r.randint(1, 300)), lambda o, a: (o.update(a), o)[1])]
    else:  # an index: fresh keys, each with the signature of its text
        ops += [("update", lambda r: [r.getrandbits(64) for _ in range(r.randint(1, 50))],
                 lambda o, a: (kind.feed(o, a), o)[1]),
                ("query_many", lambda r: r.sample(POOL, 20), lambda o, a: (o.query_many(
                    MinHash.signatures([[key] for key in a], o.num_hashes, o.seed)), o)[1])]
    if kind.hashes:
        ops.append(("update_hashes", lambda r: [r.getrandbits(64) for _ in range(r.randint(1, 300))],
                    lambda o, a: (o.update_hashes(a), o)[1]))
    if kind.name in ("CountingBloomFilter", "CuckooFilter"):  # cleared now and then, before they fill
        ops.append(("clear", lambda r: None, lambda o, a: (o.clear(), o)[1]))
    if kind.merge_fields and kind.name in ("HyperLogLog", "MinHash", "MinHashLSH"):  # idempotent: shared objects may merge back and forth
        ops.append(("merge", None, lambda o, a: (o.merge(a), o)[1]))
    return ops


def same_state(a, b):
    if isinstance(a, CuckooFilter):  # the slot layout after a relocation is not reproducible
        return len(a) == len(b) and a.query_many(POOL) == b.query_many(POOL)
    return a.to_bytes() == b.to_bytes()


class Worker:
    def __init__(self, index, shared):
        self.rng, self.shared = random.Random(index), shared
        self.private = {kind.name: make(kind) for kind in KINDS}
        self.log = {kind.name: [] for kind in KINDS}
        self.refusals, self.failures = 0, []

    def step(self):
        kind = self.rng.choice(KINDS)
        _, draw, apply = self.rng.choice(operations(kind))
        target, other = self.rng.sample(self.shared[kind.name], 2)
        argument = draw(self.rng) if draw else other
        if self.rng.random() < 0.5:
            try:
                apply(target, argument)
            except RuntimeError as error:
                assert str(error) in BORROW_ERRORS, error
                self.refusals += 1
        elif draw:
            self.private[kind.name] = apply(self.private[kind.name], argument)
            self.log[kind.name].append((apply, argument))

    def run(self, deadline):
        try:
            while time.monotonic() < deadline:
                self.step()
        except BaseException as error:  # reported by the main thread
            self.failures.append(error)


def test_threads_on_shared_and_private_objects():
    shared = {kind.name: [make(kind), make(kind)] for kind in KINDS}
    workers = [Worker(index, shared) for index in range(THREADS)]
    deadline = time.monotonic() + SECONDS
    threads = [threading.Thread(target=worker.run, args=(deadline,)) for worker in workers]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert [failure for worker in workers for failure in worker.failures] == []
    # Batches release the GIL while they hold their object: other threads must have met it.
    assert sum(worker.refusals for worker in workers) > 0
    for worker in workers:
        for kind in KINDS:
            replayed = make(kind)
            for apply, argument in worker.log[kind.name]:
                replayed = apply(replayed, argument)
            assert same_state(worker.private[kind.name], replayed), kind.name
    for kind in KINDS:
        for obj in shared[kind.name]:
            assert kind.cls.from_bytes(obj.to_bytes()).to_bytes() == obj.to_bytes()
