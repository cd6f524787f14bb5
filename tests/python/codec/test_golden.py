"""Known-answer files: the stored forms of fixed workloads must never change.

To add a workload, write its `<name>_workload` function and run this file once with
VELT_REGENERATE_GOLDEN=1; review and commit the new files in tests/data/."""

import os
import pathlib

import pytest

from velt import (BlockedBloomFilter, BloomFilter, CountingBloomFilter, CountMinSketch, CuckooFilter, HyperLogLog, MinHash,
                  MinHashLSH, ScalableBloomFilter, TopK)

DATA = pathlib.Path(__file__).resolve().parents[2] / "data"
MIXED = [b"\x00\xff", "\u00e9\u4e2d\U0001f600", 12345, (1, 2, 3)]
HASHES = [0, 1, 2**64 - 1]


def fed(structure, *streams, hashes=HASHES):
    for stream in streams:
        structure.update(stream)
    structure.update_hashes(hashes)
    return structure


def bloom_workload():
    return fed(BloomFilter(expected_items=200, false_positive_rate=0.01, seed=2026), (f"user-{i}" for i in range(150)), MIXED)


def blocked_bloom_workload():
    return fed(BlockedBloomFilter(expected_items=200, false_positive_rate=0.01, seed=2026), (f"user-{i}" for i in range(150)), MIXED)


def counting_bloom_workload():
    counting = fed(CountingBloomFilter(num_counters=80, num_hashes=3, seed=2026), (f"user-{i % 15}" for i in range(40)), MIXED)
    for i in range(0, 15, 3):
        counting.remove(f"user-{i}")
    counting.update(["hot"] * 240)  # counters near the limit of 255
    return counting


def cuckoo_workload():
    # At this load every item finds room in one of its buckets: no relocation, whose
    # random victims would make the layout differ from run to run.
    cuckoo = fed(CuckooFilter(32, seed=2026), (f"user-{i}" for i in range(8)), MIXED)
    cuckoo.remove("user-7")
    return cuckoo


def cuckoo_alternates_workload():
    # Full: items whose first bucket is taken go to their alternate one, which the seed
    # chooses; still no relocation (the same layout in every run).
    return fed(CuckooFilter(24, seed=7), (f"item-{i}" for i in range(24)), hashes=[])


def scalable_bloom_workload():
    # Three slices of capacities 50, 75 and 112 (112.5 truncated), the last partly filled.
    chain = ScalableBloomFilter(initial_capacity=50, false_positive_rate=0.02, growth_ratio=1.5, fpr_ratio=0.8, seed=2026)
    return fed(chain, (f"user-{i}" for i in range(150)), MIXED)


def minhash_workload():
    return fed(MinHash(num_hashes=64, seed=2026), (f"user-{i}" for i in range(150)), MIXED + ["x" * 300])


def minhash_lsh_workload():
    # Rows of the multiply_shift scheme: the file pins that scheme's values too.
    documents = [f"user {i} visited page {i % 7} then page {i % 5} and left" for i in range(40)]
    index = MinHashLSH(threshold=0.6, num_hashes=32, seed=2026, scheme="multiply_shift")
    index.update([f"user-{i}" if i % 3 else i for i in range(40)],
                 MinHash.signatures(documents, num_hashes=32, seed=2026, n=3, scheme="multiply_shift"))
    index.remove("user-4")  # the last key takes its place
    return index


def hyperloglog_workload():
    return fed(HyperLogLog(precision=6, seed=2026), (f"user-{i}" for i in range(500)), MIXED)


def count_min_sketch_workload():
    sketch = CountMinSketch(width=16, depth=3, seed=2026)
    sketch.update(f"user-{i % 40}" for i in range(300))
    sketch.update(MIXED)
    sketch.add("heavy", 1000)
    fed(sketch, hashes=HASHES)
    sketch.add_hash(42, 2**64 - 1)  # saturates the total and the hash's counters
    return sketch


def topk_workload():
    tracker = TopK(8)
    tracker.update([f"page-{i % 13}" for i in range(200)] + [f"page-{i % 3}" for i in range(50)])
    tracker.add("\u00e9\u4e2d\U0001f600", 40)
    tracker.add_count('quote " and \\ and \n', 7)
    other = TopK(8)
    other.update([f"page-{i % 5}" for i in range(30)] + ["only-here"] * 3)
    tracker.merge(other)
    tracker.add("late")
    return tracker


WORKLOADS = {name.removesuffix("_workload"): build for name, build in globals().items() if name.endswith("_workload")}


@pytest.mark.parametrize("name", sorted(WORKLOADS))
def test_golden_forms(name):
    structure = WORKLOADS[name]()
    cls = type(structure)
    binary, text = DATA / f"{name}.bin", DATA / f"{name}.json"
    if os.environ.get("VELT_REGENERATE_GOLDEN"):
        DATA.mkdir(exist_ok=True)
        binary.write_bytes(structure.to_bytes())
        text.write_text(structure.to_json(), encoding="utf-8")
    assert structure.to_bytes() == binary.read_bytes()
    assert structure.to_json() == text.read_text(encoding="utf-8")
    assert cls.load(str(binary)).to_bytes() == binary.read_bytes()
    assert cls.from_json(text.read_text(encoding="utf-8")).to_bytes() == binary.read_bytes()
