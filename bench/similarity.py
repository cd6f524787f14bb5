"""MinHash with 128 slots against the numpy MinHash everyone writes, and datasketch."""

from __future__ import annotations

import numpy as np
import xxhash
from velt import MinHash

from .common import Inputs, Peer, Results, Table, Target, add_each, against_fastest_peer, floor_of, measure, peer, ratio

NUM_HASHES = 128
MERSENNE_61 = np.uint64((1 << 61) - 1)
BATCH_ROWS = 8192  # items per numpy block: 8192 x 128 uint64 is 8 MiB


class NumpyMinHash:
    """One 32-bit hash per item, 128 universal hashes (a*h + b) mod (2^61 - 1), np.minimum."""

    def __init__(self, num_hashes: int = NUM_HASHES, seed: int = 1) -> None:
        rng = np.random.default_rng(seed)
        self.a = rng.integers(1, int(MERSENNE_61), size=num_hashes, dtype=np.uint64)
        self.b = rng.integers(0, int(MERSENNE_61), size=num_hashes, dtype=np.uint64)
        self.signature = np.full(num_hashes, np.iinfo(np.uint64).max, dtype=np.uint64)

    def add(self, item: str) -> None:
        h = np.uint64(xxhash.xxh32_intdigest(item))
        np.minimum(self.signature, (self.a * h + self.b) % MERSENNE_61, out=self.signature)

    def update(self, items) -> None:
        for start in range(0, len(items), BATCH_ROWS):
            block = items[start : start + BATCH_ROWS]
            h = np.fromiter((xxhash.xxh32_intdigest(item) for item in block), dtype=np.uint64, count=len(block))
            permuted = (h[:, None] * self.a + self.b) % MERSENNE_61
            np.minimum(self.signature, permuted.min(axis=0), out=self.signature)


def minhash_peers(n: int) -> list[Peer]:
    """The installed MinHash libraries with as many slots as velt's (n does not size them)."""
    if (datasketch := peer("datasketch")) is None:
        return []
    return [Peer("datasketch", "datasketch MinHash.update_batch (bytes, hashfunc xxh32)",
                 lambda: datasketch.MinHash(num_perm=NUM_HASHES, hashfunc=xxhash.xxh32_intdigest),
                 lambda m, s: m.update_batch(s), ("bytes",))]


def minhash(inputs: Inputs) -> Results:
    items = inputs.strs
    table = Table("MinHash (128 slots)")
    results = Results([table])

    comparison = table.compare("update", "str")
    velt = comparison.velt("MinHash.update", measure(lambda m, s: m.update(s), items, lambda: MinHash(NUM_HASHES)))
    comparison.floor("floor ''.join", floor_of(items))

    numpy_batch = comparison.other("numpy MinHash, batch (blocks of 8192)", measure(
        lambda m, s: m.update(s), items, NumpyMinHash))
    comparison.other("numpy MinHash, per item", measure(add_each(lambda m: m.add), items, NumpyMinHash))
    peers = [(p.name, comparison.other(p.label, p.measure_insert(inputs.bytes_items))) for p in minhash_peers(inputs.n)]
    speed_up = ratio(numpy_batch, velt)
    results.targets.append(Target("MinHash.update: numpy batch / velt (speed-up)", speed_up, 5.0, ">="))
    results.targets.append(against_fastest_peer("MinHash.update vs datasketch batch", velt, peers))
    return results
