"""Writes the fuzz targets' seed corpus: one directory per target, named as the
target, holding valid encodings of structures of varied shapes (empty, tiny,
filled, other parameters and seeds) and the known-answer files of tests/data.

The *_from_bytes targets take a binary payload without its envelope (they wrap
it themselves), the *_from_json targets a JSON text, and the envelope target
whole binary forms.

Usage: python fuzz/make_corpus.py DATA_DIR CORPUS_DIR (with velt installed)."""

import json
import pathlib
import sys

from velt import (
    BlockedBloomFilter,
    BloomFilter,
    CountingBloomFilter,
    CountMinSketch,
    CuckooFilter,
    HyperLogLog,
    MinHash,
    MinHashLSH,
    ScalableBloomFilter,
    TopK,
)

ENVELOPE_SIZE = 21
ITEMS = [f"item-{i}" for i in range(40)] + [b"\x00\xff", "\u00e9\u4e2d\U0001f600"]


def filled(structure, items=ITEMS):
    structure.update(items)
    return structure


def shapes():
    """Yields (corpus name, label, structure)."""
    yield "bloom", "tiny", BloomFilter(num_bits=1, num_hashes=1)
    yield "bloom", "partial-word", filled(BloomFilter(num_bits=130, num_hashes=3, seed=7))
    yield "bloom", "sized", filled(BloomFilter(expected_items=100, false_positive_rate=0.05, seed=2**64 - 1))
    yield "blocked_bloom", "tiny", BlockedBloomFilter(num_blocks=1)
    yield "blocked_bloom", "filled", filled(BlockedBloomFilter(num_blocks=3, seed=7))
    yield "blocked_bloom", "sized", filled(BlockedBloomFilter(expected_items=100, false_positive_rate=0.05, seed=2**64 - 1))
    yield "counting_bloom", "tiny", CountingBloomFilter(num_counters=1, num_hashes=1)
    yield "counting_bloom", "repeats", filled(CountingBloomFilter(num_counters=20, num_hashes=3, seed=7), ITEMS * 3)
    yield "counting_bloom", "sized", filled(CountingBloomFilter(expected_items=60, false_positive_rate=0.1))
    yield "scalable_bloom", "empty", ScalableBloomFilter(initial_capacity=1)
    yield "scalable_bloom", "many-slices", filled(ScalableBloomFilter(initial_capacity=1, growth_ratio=1.5, seed=7))
    yield "scalable_bloom", "one-slice", filled(ScalableBloomFilter(initial_capacity=100, false_positive_rate=0.1))
    yield "cuckoo", "tiny", CuckooFilter(1)
    yield "cuckoo", "full", filled(CuckooFilter(8, seed=7), ITEMS[:6])
    yield "cuckoo", "filled", filled(CuckooFilter(100))
    yield "hyperloglog", "empty", HyperLogLog(precision=4)
    yield "hyperloglog", "small", filled(HyperLogLog(precision=4, seed=7))
    yield "hyperloglog", "larger", filled(HyperLogLog(precision=8))
    yield "count_min_sketch", "tiny", CountMinSketch(width=1, depth=1)
    sketch = filled(CountMinSketch(width=8, depth=3, seed=7))
    sketch.add("heavy", 2**63)
    yield "count_min_sketch", "counts", sketch
    yield "count_min_sketch", "sized", filled(CountMinSketch(error_rate=0.1, confidence=0.9))
    yield "minhash", "tiny", MinHash(num_hashes=1)
    yield "minhash", "small", filled(MinHash(num_hashes=16, seed=7))
    yield "topk", "empty", TopK(1)
    yield "topk", "ties", filled(TopK(3), ["a", "b", "a", "c", "d"])
    topk = filled(TopK(5), [str(item) for item in ITEMS])
    topk.add("\u00e9\u4e2d\U0001f600", 9)
    yield "topk", "errors", topk
    yield "minhash_lsh", "empty", MinHashLSH(threshold=0.5, num_hashes=4)
    documents = [" ".join(ITEMS[i : i + 8]) for i in range(0, 32, 3)]
    for scheme in ("classic", "multiply_shift"):
        index = MinHashLSH(threshold=0.7, num_hashes=16, seed=7, scheme=scheme)
        rows = MinHash.signatures(documents, num_hashes=16, seed=7, n=2, scheme=scheme)
        index.update([f"doc-{i}" if i % 2 else i for i in range(len(documents))], rows)
        yield "minhash_lsh", scheme, index


def as_array(value):
    """The same record with every record (JSON object) given as the array of its values."""
    if isinstance(value, dict):
        return [as_array(field) for field in value.values()]
    if isinstance(value, list):
        return [as_array(element) for element in value]
    return value


def main(data, corpus):
    def write(target, label, content):
        directory = corpus / target
        directory.mkdir(parents=True, exist_ok=True)
        (directory / label).write_bytes(content)

    for name, label, structure in shapes():
        binary, text = structure.to_bytes(), structure.to_json()
        write(f"{name}_from_bytes", label, binary[ENVELOPE_SIZE:])
        write(f"{name}_from_json", label, text.encode())
        write(f"{name}_from_json", f"{label}-as-array", json.dumps(as_array(json.loads(text))).encode())
        write("envelope", f"{name}-{label}", binary)
    for golden in data.glob("*.bin"):
        name = golden.stem
        write(f"{name}_from_bytes", "golden", golden.read_bytes()[ENVELOPE_SIZE:])
        write(f"{name}_from_json", "golden", (data / f"{name}.json").read_bytes())
        write("envelope", f"{name}-golden", golden.read_bytes())


if __name__ == "__main__":
    main(pathlib.Path(sys.argv[1]), pathlib.Path(sys.argv[2]))
