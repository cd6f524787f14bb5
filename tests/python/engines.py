"""Data and checks shared by the tests of velt.dask and velt.spark: columns with
text, integers and missing values, the structures they are built into, and the
bounds a merged TopK keeps."""

import random
from collections import Counter
from pathlib import Path

from test_readme import python_blocks

from velt import BloomFilter, CountingBloomFilter, CountMinSketch, HyperLogLog, MinHash

_rng = random.Random(11)
_PAGES = [f"page-{i}" for i in range(3_000)]
ROWS = 20_000
GROUPS = [_rng.choice("abcd") for _ in range(ROWS)]
# Zipf-like pages, some missing, and ids from the whole 64-bit range.
PAGES = [
    None if _rng.random() < 0.02 else page
    for page in _rng.choices(_PAGES, weights=[1 / rank**1.1 for rank in range(1, len(_PAGES) + 1)], k=ROWS)
]
IDS = [_rng.choice((-(2**63), 2**63 - 1, 0)) if _rng.random() < 0.01 else _rng.randrange(-(2**40), 2**40) for _ in range(ROWS)]
COLUMNS = {"page": PAGES, "id": IDS}

EXACT = [
    (HyperLogLog, {"precision": 12, "seed": 7}),
    (CountMinSketch, {"width": 1024, "depth": 4, "seed": 7}),
    (BloomFilter, {"expected_items": 20_000, "false_positive_rate": 0.01, "seed": 7}),
    (MinHash, {"num_hashes": 64, "seed": 7}),
    (CountingBloomFilter, {"expected_items": 20_000, "seed": 7}),
]
# Every exact class over every column, but for the heaviest pages the counting
# filter's counters would pass 255.
EXACT_CASES = [
    (cls, params, column)
    for cls, params in EXACT
    for column in COLUMNS
    if not (cls is CountingBloomFilter and column == "page")
]
EXACT_IDS = [f"{cls.__name__}-{column}" for cls, _, column in EXACT_CASES]


def built(cls, params, values):
    """The structure one process builds from a list of Python values."""
    structure = cls(**params)
    structure.update(values)
    assert structure.to_bytes() != cls(**params).to_bytes()
    return structure


def by_group(values):
    groups = {}
    for group, value in zip(GROUPS, values):
        groups.setdefault(group, []).append(value)
    return groups


def check_top_k(tracker, values, k, merged=True):
    """A TopK holds k counters by count (a merged one, equal counts by item text),
    each true count within its bounds, and none of the items left out is heavier
    than its smallest count."""
    truth = Counter(value for value in values if value is not None)
    counters = tracker.top_with_error()
    assert len(counters) == k
    order = (lambda c: (-c[1], c[0].encode())) if merged else (lambda c: -c[1])
    assert counters == sorted(counters, key=order)
    for item, count, error in counters:
        assert count - error <= truth[item] <= count, item
    tracked = {item for item, _, _ in counters}
    assert max(n for item, n in truth.items() if item not in tracked) <= tracker.min_count()
    assert {item for item, _ in truth.most_common(5)} <= tracked


def guide_examples(spark):
    """The python blocks of docs/distributed.md that use Spark, or the others."""
    guide = Path(__file__).parents[2] / "docs" / "distributed.md"
    blocks = [block for block in python_blocks(guide.read_text(encoding="utf-8")) if ("velt.spark" in block[2]) == spark]
    assert blocks
    return guide, blocks


def run_example(guide, line, code):
    # Padded so that a traceback names the line of the guide.
    exec(compile("\n" * (line - 1) + code, str(guide), "exec"), {"__name__": "guide"})


# Documents with near-duplicates: texts of 80 words, a tenth of them copied with one word
# changed (Jaccard of their word 3-grams about 0.93), and a few empty or short ones.
_WORDS = [f"w{i}" for i in range(500)]
_ORIGINALS = [" ".join(_rng.choices(_WORDS, k=80)) for _ in range(300)]
DOCUMENTS = _ORIGINALS + [text.replace(text.split()[40], "changed", 1) for text in _ORIGINALS[:30]] + ["", "w1 w2"] * 3
DEDUP_SETTINGS = {"threshold": 0.7, "num_hashes": 64, "seed": 5, "n": 3}


def one_process_duplicates(settings, documents=DOCUMENTS):
    """Each document's group leader, as one MinHashLSH gives it with positions as keys."""
    from velt import MinHashLSH

    signature_settings = {key: settings[key] for key in ("num_hashes", "seed", "n", "scheme", "shingle") if key in settings}
    index_settings = {key: settings[key] for key in ("threshold", "num_hashes", "seed", "scheme") if key in settings}
    index = MinHashLSH(**index_settings)
    index.update(list(range(len(documents))), MinHash.signatures(documents, **signature_settings))
    leader = index.duplicate_of()
    groups = [leader[row] for row in range(len(documents))]
    assert sum(group != row for row, group in enumerate(groups)) >= 30  # the copies (and the repeated short texts)
    return groups
