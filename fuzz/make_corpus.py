"""Seeds the fuzzer's corpus with the golden files: each becomes one input, a
selector byte (structure and form) followed by the binary payload or the JSON text."""

import pathlib
import sys

STRUCTURES = [
    "bloom",
    "hyperloglog",
    "count_min_sketch",
    "minhash",
    "topk",
    "counting_bloom",
    "cuckoo",
    "scalable_bloom",
]
ENVELOPE = 21

data, corpus = pathlib.Path(sys.argv[1]), pathlib.Path(sys.argv[2])
corpus.mkdir(parents=True, exist_ok=True)
for index, name in enumerate(STRUCTURES):
    (corpus / f"{name}-binary").write_bytes(bytes([index << 1]) + (data / f"{name}.bin").read_bytes()[ENVELOPE:])
    (corpus / f"{name}-json").write_bytes(bytes([index << 1 | 1]) + (data / f"{name}.json").read_bytes())
