"""MinHash with 128 slots against the numpy MinHash everyone writes, and datasketch; near-duplicate
detection (signatures of a corpus, the LSH index, duplicate groups) against datasketch and rensa."""

from __future__ import annotations

import glob
import math
import random
import statistics
import subprocess
import sys
from dataclasses import dataclass
from pathlib import Path

import numpy as np
import xxhash
from velt import MinHash, MinHashLSH

from .common import (REPEATS, Inputs, Peer, Results, Table, Target, Timing, add_each, against_fastest_peer, floor_of,
                     measure, peer, ratio)

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


# ---- Near-duplicates ------------------------------------------------------------------------
# A real corpus with near-duplicates: the standard library's top-level modules of every
# CPython 3.8 to 3.13 that pyenv installed here (the same module across versions is often
# nearly the same file). Word 5-gram shingles, 128 slots.

CORPUS_GLOB = "/root/.pyenv/versions/3.*/lib/python3.*/*.py"
CORPUS_VERSIONS = ("3.8", "3.9", "3.10", "3.11", "3.12", "3.13")
SHINGLE_WORDS = 5
THRESHOLD = 0.8
# Seeds whose candidate rates are averaged: one seed's rates vary by chance more than the pairs'
# count suggests, since the versions of one module are near copies of one another.
QUALITY_SEEDS = (0, 1, 2, 3)
JACCARD_BUCKETS = [(0.0, 0.2), (0.2, 0.4), (0.4, 0.6), (0.6, 0.7), (0.7, 0.8), (0.8, 0.9), (0.9, 1.0), (1.0, 1.0)]


@dataclass
class Corpus:
    names: list[str]  # module file name of each document
    texts: list[str]
    shingles: list[list[str]]  # word 5-grams, as MinHash.signatures cuts them

    @property
    def shingle_count(self) -> int:
        return sum(len(s) for s in self.shingles)


def word_shingles(text: str, n: int = SHINGLE_WORDS) -> list[str]:
    words = text.split()
    return [" ".join(words[i : i + n]) for i in range(max(1, len(words) - n + 1))] if words else []


def load_corpus() -> Corpus | None:
    paths = sorted(path for path in glob.glob(CORPUS_GLOB)
                   if any(f"/python{version}/" in path for version in CORPUS_VERSIONS))
    if not paths:
        return None
    texts = [Path(path).read_text(encoding="utf-8", errors="replace") for path in paths]
    return Corpus([Path(path).name for path in paths], texts, [word_shingles(text) for text in texts])


def per_shingle(timing: Timing | None, corpus: Corpus, documents: int) -> Timing | None:
    """A per-document timing (over the first `documents`) as ns per shingle."""
    if timing is None:
        return None
    shingles = sum(len(s) for s in corpus.shingles[: timing.n])
    return Timing(timing.ns_per_item * timing.n / max(shingles, 1), shingles)


def near_duplicates(inputs: Inputs) -> Results:
    corpus = load_corpus()
    if corpus is None:
        return Results(notes=[f"no corpus at {CORPUS_GLOB}: the near-duplicate section is skipped"])
    datasketch, rensa = peer("datasketch"), peer("rensa")
    documents = len(corpus.texts)
    table = Table(f"Near-duplicates: {documents:,} standard library modules of CPython 3.8-3.13, "
                  f"{corpus.shingle_count:,} word 5-grams, 128 slots", unit="ns/shingle")
    results = Results([table])
    rows = list(range(documents))
    shingle_bytes = [[s.encode() for s in shingles] for shingles in corpus.shingles]

    def signatures_of(source, **settings):
        return lambda _, docs: MinHash.signatures(source(docs), n=SHINGLE_WORDS, **settings)

    texts_of = lambda docs: [corpus.texts[i] for i in docs]  # noqa: E731
    lists_of = lambda docs: [corpus.shingles[i] for i in docs]  # noqa: E731
    signing = table.compare("signatures of every document", "texts, or their shingle lists")
    classic = signing.velt("MinHash.signatures, classic, from texts",
                           per_shingle(measure(signatures_of(texts_of), rows), corpus, documents))
    signing.other("velt MinHash.signatures, classic, from shingle lists",
                  per_shingle(measure(signatures_of(lists_of), rows), corpus, documents))
    fast = signing.other("velt MinHash.signatures, multiply_shift, from texts", per_shingle(
        measure(signatures_of(texts_of, scheme="multiply_shift"), rows), corpus, documents))
    signing.other("velt MinHash.signatures, multiply_shift, from shingle lists", per_shingle(
        measure(signatures_of(lists_of, scheme="multiply_shift"), rows), corpus, documents))
    signing.other("velt MinHash.update per document (classic)", per_shingle(
        measure(lambda _, docs: [MinHash(NUM_HASHES).update(corpus.shingles[i]) for i in docs], rows),
        corpus, documents))
    bulk = rensa_matrix = None
    if datasketch is not None:
        def datasketch_bulk(**hashfunc):
            return lambda _, docs: datasketch.MinHash.bulk([shingle_bytes[i] for i in docs], num_perm=NUM_HASHES,
                                                           **hashfunc)

        # The target's peer is datasketch as users run it, with its default hashfunc (sha1).
        bulk = signing.other("datasketch MinHash.bulk (shingle lists, default hashfunc: sha1)", per_shingle(
            measure(datasketch_bulk(), rows), corpus, documents))
        signing.other("datasketch MinHash.bulk (shingle lists, hashfunc xxh32)", per_shingle(
            measure(datasketch_bulk(hashfunc=xxhash.xxh32_intdigest), rows), corpus, documents))
    rensa_k_hash = None
    if rensa is not None:
        rensa_matrix = signing.other("rensa RMinHash.digest_matrix_from_token_sets (shingle lists)", per_shingle(
            measure(lambda _, docs: rensa.RMinHash.digest_matrix_from_token_sets(
                lists_of(docs), NUM_HASHES, 0), rows), corpus, documents))
        rensa_k_hash = signing.other("rensa CMinHash.digests64_from_token_sets (shingle lists)", per_shingle(
            measure(lambda _, docs: rensa.CMinHash.digests64_from_token_sets(lists_of(docs), NUM_HASHES, 0), rows),
            corpus, documents))
        results.notes.append(slot_scaling(corpus, rensa))
    results.targets.append(Target("signatures, classic: datasketch bulk / velt (speed-up)", ratio(bulk, classic), 5.0,
                                  ">=", "from texts; datasketch from shingle lists made beforehand, with its default "
                                  "hashfunc (sha1); its xxh32 row is shown beside it"))
    results.targets.append(Target("signatures, multiply_shift vs rensa's fastest k-hash MinHash",
                                  ratio(fast, rensa_k_hash), 1.0, "<=",
                                  "rensa CMinHash; velt from texts, rensa from shingle lists made beforehand"))
    if ratio(fast, rensa_matrix) is not None:
        results.notes.append(f"velt multiply_shift / rensa RMinHash (not a k-hash MinHash, see the note on slots): "
                             f"{ratio(fast, rensa_matrix):.2f}x.")

    classic_rows = MinHash.signatures(corpus.texts, n=SHINGLE_WORDS)
    fast_rows = MinHash.signatures(corpus.texts, n=SHINGLE_WORDS, scheme="multiply_shift")
    classic_array = np.asarray(classic_rows)
    index = MinHashLSH(threshold=THRESHOLD, num_hashes=NUM_HASHES)
    bands, rows_per_band = index.bands, index.rows

    def velt_build_and_query(_, docs):
        lsh = MinHashLSH(threshold=THRESHOLD, num_hashes=NUM_HASHES)
        signatures = classic_array[: len(docs)]
        lsh.update(list(docs), signatures)
        lsh.query_many(signatures)

    indexing = table.compare(f"index every document and query each ({bands} bands x {rows_per_band} rows)",
                             "signatures")
    velt_index = indexing.velt("MinHashLSH.update + query_many", per_shingle(
        measure(velt_build_and_query, rows, repeats=REPEATS), corpus, documents))
    datasketch_index = None
    if datasketch is not None:
        minhashes = datasketch.MinHash.bulk(shingle_bytes, num_perm=NUM_HASHES, hashfunc=xxhash.xxh32_intdigest)

        def datasketch_build_and_query(_, docs):
            lsh = datasketch.MinHashLSH(threshold=THRESHOLD, num_perm=NUM_HASHES, params=(bands, rows_per_band))
            for i in docs:
                lsh.insert(i, minhashes[i])
            for i in docs:
                lsh.query(minhashes[i])

        datasketch_index = indexing.other("datasketch MinHashLSH insert + query, same bands and rows", per_shingle(
            measure(datasketch_build_and_query, rows), corpus, documents))
    # Both index the same documents: the per-shingle unit only scales the per-document times alike.
    results.targets.append(Target("index build and query: datasketch / velt (speed-up)",
                                  ratio(datasketch_index, velt_index), 10.0, ">=", "same bands and rows"))

    def velt_end_to_end(_, docs):
        signatures = MinHash.signatures([corpus.texts[i] for i in docs], n=SHINGLE_WORDS, scheme="multiply_shift")
        lsh = MinHashLSH(threshold=THRESHOLD, num_hashes=NUM_HASHES, scheme="multiply_shift")
        lsh.update(list(docs), signatures)
        lsh.duplicates()

    ending = table.compare("end to end: signatures, index, duplicate groups", "texts, or shingle lists")
    velt_end = ending.velt("multiply_shift: signatures + MinHashLSH.update + duplicates()",
                           per_shingle(measure(velt_end_to_end, rows), corpus, documents))
    rensa_end = None
    # rensa's bands must divide num_hashes: the divisor of 128 nearest velt's bands.
    rensa_bands = min((b for b in range(1, NUM_HASHES + 1) if NUM_HASHES % b == 0), key=lambda b: abs(b - bands))
    if rensa is not None:
        def rensa_end_to_end(_, docs):
            matrix = rensa.RMinHash.digest_matrix_from_token_sets(lists_of(docs), NUM_HASHES, 0)
            lsh = rensa.RMinHashLSH(THRESHOLD, NUM_HASHES, rensa_bands)
            lsh.insert_matrix_and_query_duplicate_flags(matrix, 0)

        rensa_end = ending.other(f"rensa digest matrix + RMinHashLSH.insert_matrix_and_query_duplicate_flags "
                                 f"({rensa_bands} bands; flags, no groups)", per_shingle(measure(rensa_end_to_end, rows), corpus, documents))
    results.targets.append(Target("end to end, multiply_shift vs rensa's LSH path", ratio(velt_end, rensa_end), 1.0,
                                  "<=", "rensa from shingle lists made beforehand, and gives flags, not groups; "
                                  "its path signs by RMinHash, which is not a k-hash MinHash"))

    quality = candidate_quality(corpus, datasketch, bands, rows_per_band)
    results.tables.append(quality.table)
    results.notes.extend(quality.notes)
    results.notes.extend(estimate_accuracy(corpus, quality.exact, classic_rows, fast_rows))
    results.notes.extend(index_memory(datasketch, bands, rows_per_band))
    return results


def slot_scaling(corpus: Corpus, rensa) -> str:
    """Time per shingle at 8, 128 and 512 slots: a k-hash MinHash grows with the slots, rensa's
    RMinHash (Fast Similarity Sketching: each shingle picks slots) does not."""
    documents = list(range(min(300, len(corpus.texts))))
    shingles = [corpus.shingles[i] for i in documents]
    texts = [corpus.texts[i] for i in documents]

    def per_slots(sign) -> str:
        timings = [per_shingle(measure(lambda _, __, k=k: sign(k), documents, whole=True), corpus,
                               len(documents)) for k in (8, 128, 512)]
        return " / ".join(f"{timing.ns_per_item:.1f}" for timing in timings)

    rensa_r = per_slots(lambda k: rensa.RMinHash.digest_matrix_from_token_sets(shingles, k, 0))
    rensa_c = per_slots(lambda k: rensa.CMinHash.digests64_from_token_sets(shingles, k, 0))
    velt_fast = per_slots(lambda k: MinHash.signatures(texts, num_hashes=k, n=SHINGLE_WORDS,
                                                            scheme="multiply_shift"))
    return (f"ns per shingle at 8 / 128 / 512 slots ({len(documents)} documents): velt multiply_shift {velt_fast}; "
            f"rensa CMinHash {rensa_c}; rensa RMinHash {rensa_r}. RMinHash's time does not grow with the slots: "
            f"it is not a k-hash MinHash, so the k-hash target is measured against CMinHash.")


@dataclass
class Quality:
    table: FigureTable
    notes: list[str]
    exact: dict[tuple[int, int], float]  # exact Jaccard of the sampled pairs


def jaccard(a: set, b: set) -> float:
    return len(a & b) / len(a | b) if a or b else 1.0


def candidate_pairs(candidates: list[list[int]]) -> set[tuple[int, int]]:
    return {(min(i, j), max(i, j)) for i, found in enumerate(candidates) for j in found if i != j}


def bucket_of(similarity: float) -> int:
    if similarity == 1.0:
        return len(JACCARD_BUCKETS) - 1
    return next(b for b, (low, high) in enumerate(JACCARD_BUCKETS) if low <= similarity < high)


@dataclass
class FigureTable:
    """Figures that are not timings (rates, counts), printed and written as the timing tables are."""

    title: str
    columns: list[str]
    figures: list[list[str]]

    def header(self) -> list[str]:
        return self.columns

    def rows(self) -> list[list[str]]:
        return self.figures

    def floor_ratios(self) -> list[list[str]]:
        return []


def candidate_quality(corpus, datasketch, bands, rows_per_band) -> Quality:
    """Candidate rates by exact-Jaccard bucket, on every pair of modules of the same name across
    versions and 3,000 pairs drawn at random, each the mean over QUALITY_SEEDS seeds; precision
    on every candidate pair."""
    sets = [set(shingles) for shingles in corpus.shingles]
    documents = len(sets)
    by_name: dict[str, list[int]] = {}
    for i, name in enumerate(corpus.names):
        by_name.setdefault(name, []).append(i)
    sample = {(a, b) for members in by_name.values() for a in members for b in members if a < b}
    same_name = len(sample)
    rng = random.Random(2026)
    while len(sample) < same_name + 3000:
        a, b = sorted(rng.sample(range(documents), 2))
        sample.add((a, b))

    def velt_candidates(scheme: str, seed: int) -> set[tuple[int, int]]:
        rows = MinHash.signatures(corpus.texts, n=SHINGLE_WORDS, scheme=scheme, seed=seed)
        index = MinHashLSH(threshold=THRESHOLD, num_hashes=NUM_HASHES, scheme=scheme)
        index.update(list(range(documents)), rows)
        return candidate_pairs(index.query_many(rows))

    # Per method, its candidate pairs under each seed.
    methods = {f"velt {scheme}": [velt_candidates(scheme, seed) for seed in QUALITY_SEEDS]
               for scheme in ("classic", "multiply_shift")}
    if datasketch is not None:
        shingle_bytes = [[s.encode() for s in shingles] for shingles in corpus.shingles]

        def datasketch_candidates(seed: int) -> set[tuple[int, int]]:
            minhashes = datasketch.MinHash.bulk(shingle_bytes, num_perm=NUM_HASHES, seed=seed,
                                                hashfunc=xxhash.xxh32_intdigest)
            lsh = datasketch.MinHashLSH(threshold=THRESHOLD, num_perm=NUM_HASHES, params=(bands, rows_per_band))
            for i, minhash in enumerate(minhashes):
                lsh.insert(i, minhash)
            return candidate_pairs([lsh.query(minhash) for minhash in minhashes])

        methods["datasketch"] = [datasketch_candidates(seed + 1) for seed in QUALITY_SEEDS]  # datasketch's seed 1 is its default
    exact = {pair: jaccard(sets[pair[0]], sets[pair[1]])
             for pair in sample.union(*(found for runs in methods.values() for found in runs))}

    table_rows = []
    in_bucket = [[pair for pair in sample if bucket_of(exact[pair]) == b] for b in range(len(JACCARD_BUCKETS))]
    notes = []
    for b, (low, high) in enumerate(JACCARD_BUCKETS):
        pairs = in_bucket[b]
        if not pairs:
            continue
        curve = sum(1 - (1 - exact[p] ** rows_per_band) ** bands for p in pairs) / len(pairs)
        rates = {name: [sum(p in found for p in pairs) / len(pairs) for found in runs] for name, runs in methods.items()}
        mean = {name: statistics.fmean(runs) for name, runs in rates.items()}
        label = "J = 1" if low == high else f"{low:.1f} <= J < {high:.1f}"
        table_rows.append([label, f"{len(pairs):,}", f"{curve:.3f}"] + [f"{mean[name]:.3f}" for name in methods])
        if "datasketch" in rates:
            for name in methods:
                if name == "datasketch":
                    continue
                margin = 2 * math.sqrt(chance_variance(rates[name], len(pairs)) +
                                       chance_variance(rates["datasketch"], len(pairs)))
                worse = mean[name] < mean["datasketch"] - margin if high > THRESHOLD or low >= THRESHOLD else \
                    mean[name] > mean["datasketch"] + margin
                if worse:
                    notes.append(f"{name} is worse than datasketch beyond chance at {label}")
    table = FigureTable(f"Candidate rate by exact Jaccard ({bands} bands x {rows_per_band} rows, threshold "
                        f"{THRESHOLD}): {len(sample):,} pairs, every same-name pair and 3,000 at random; "
                        f"means over {len(QUALITY_SEEDS)} seeds",
                        ["bucket", "pairs", "S-curve"] + list(methods), table_rows)
    similar = [p for p in sample if exact[p] >= THRESHOLD]
    for name, runs in methods.items():
        precise = statistics.fmean(sum(exact[p] >= THRESHOLD for p in found) / len(found) if found else 1.0
                                   for found in runs)
        recall = statistics.fmean(sum(p in found for p in similar) / len(similar) if similar else 1.0 for found in runs)
        notes.append(f"{name}: {statistics.fmean(map(len, runs)):,.0f} candidate pairs, precision {precise:.3f} "
                     f"(exact J >= {THRESHOLD}), recall {recall:.3f} on the {len(similar):,} sampled pairs with "
                     f"J >= {THRESHOLD} (means over {len(QUALITY_SEEDS)} seeds)")
    notes.append("Judged no worse when, in every bucket, velt's mean candidate rate over the seeds is not below "
                 "datasketch's by more than two standard errors of their difference (above the threshold), nor "
                 "above it by more (below). Each standard error is the larger of the seeds' spread and the binomial "
                 "one: pairs of one module across versions share most shingles, so their chances are not independent"
                 + ("" if any("worse" in note for note in notes) else ": so judged, in every bucket."))
    return Quality(table, notes, exact)


def chance_variance(rates: list[float], pairs: int) -> float:
    """The variance of a mean candidate rate over seeds: the larger of its spread over the seeds and
    the binomial variance the same number of independent trials would give."""
    mean = statistics.fmean(rates)
    spread = statistics.variance(rates) if len(rates) > 1 else 0.0
    binomial = max(mean * (1 - mean), 1e-12) / pairs
    return max(spread, binomial) / len(rates)


def estimate_accuracy(corpus, exact, classic_rows, fast_rows) -> list[str]:
    """RMS error of the Jaccard estimates against exact Jaccard, by bucket, beside 1.2 sqrt(J (1 - J) / k)."""
    classic, fast = classic_rows.tolist(), fast_rows.tolist()
    notes = []
    for low, high in [(0.1, 0.3), (0.3, 0.5), (0.5, 0.7), (0.7, 0.9), (0.9, 0.99)]:
        pairs = [p for p, j in exact.items() if low <= j < high]
        if len(pairs) < 20:
            continue
        bound = 1.2 * math.sqrt(sum(exact[p] * (1 - exact[p]) for p in pairs) / len(pairs) / NUM_HASHES)
        line = f"Jaccard estimate, {low:.1f} <= J < {high:.2f} ({len(pairs)} pairs): bound {bound:.4f}"
        for name, rows in (("classic", classic), ("multiply_shift", fast)):
            errors = [sum(x == y for x, y in zip(rows[a], rows[b])) / NUM_HASHES - exact[(a, b)] for a, b in pairs]
            rms = math.sqrt(sum(e * e for e in errors) / len(errors))
            line += f", {name} rms {rms:.4f} ({'within' if rms <= bound else 'BEYOND'})"
        notes.append(line)
    return notes


MEMORY_CHILD = """
import ctypes
import gc
import sys
import numpy as np
from velt import MinHash, MinHashLSH

def resident():
    # Freed heap memory goes back to the system first: the index must not grow into it unseen.
    gc.collect()
    ctypes.CDLL("libc.so.6").malloc_trim(0)
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * 4096

entries, library, bands, rows = int(sys.argv[1]), sys.argv[2], int(sys.argv[3]), int(sys.argv[4])
signatures = np.asarray(MinHash.signatures([[str(i)] for i in range(entries)], 128, scheme="multiply_shift"))
if library == "velt":
    before = resident()
    index = MinHashLSH(threshold=0.8, num_hashes=128)
    index.update(list(range(entries)), signatures)
else:
    import datasketch
    minhashes = datasketch.MinHash.bulk([[str(i).encode()] for i in range(entries)], num_perm=128)
    before = resident()
    index = datasketch.MinHashLSH(threshold=0.8, num_perm=128, params=(bands, rows))
    for i, minhash in enumerate(minhashes):
        index.insert(i, minhash)
print(resident() - before)
"""


def index_memory(datasketch, bands, rows_per_band) -> list[str]:
    """Resident memory taken by an index of 10^6 entries (datasketch: 10^5, times ten)."""
    def grown(entries, library):
        output = subprocess.run([sys.executable, "-c", MEMORY_CHILD, str(entries), library, str(bands),
                                 str(rows_per_band)], capture_output=True, text=True, check=True).stdout
        return int(output)

    velt_bytes = grown(10**6, "velt")
    notes = [f"MinHashLSH of 10^6 entries, 128 slots, {bands} bands: {velt_bytes / 2**20:,.0f} MiB resident "
             f"({velt_bytes / 10**6:,.0f} bytes per entry)"]
    if datasketch is not None:
        theirs = grown(10**5, "datasketch") * 10
        notes.append(f"datasketch MinHashLSH, same bands and rows: {theirs / 2**20:,.0f} MiB for 10^6 entries "
                     f"(10^5 measured, times ten; {theirs / 10**6:,.0f} bytes per entry): "
                     f"{theirs / velt_bytes:.1f} x velt's")
    return notes
