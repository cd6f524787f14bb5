"""The demo (``velt demo``, ``make demo``): feeds each structure a generated stream
and reports its accuracy against the exact answer, its size and its speed."""

from __future__ import annotations

import itertools
import json
import random
import statistics
import time
from collections import Counter

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


def generate_stream(count: int, seed: int) -> list[str]:
    """`count` distinct, shuffled user identifiers, as a web log would carry them."""
    rng = random.Random(seed)
    identifiers = [f"user-{rng.getrandbits(48):012x}-{i}" for i in range(count)]
    rng.shuffle(identifiers)
    return identifiers


def zipf_sample(items: list[str], count: int, seed: int, exponent: float = 1.1) -> list[str]:
    """`count` draws from `items` with weight 1 / rank**exponent: a few items recur
    thousands of times, most appear once or never, as page views or queries do."""
    rng = random.Random(seed)
    weights = itertools.accumulate(1 / rank**exponent for rank in range(1, len(items) + 1))
    return rng.choices(items, cum_weights=list(weights), k=count)


def timed(action) -> float:
    start = time.perf_counter()
    action()
    return time.perf_counter() - start


def demo_bloom(stream: list[str], design_rate: float) -> None:
    print(f"BloomFilter: {len(stream):,} distinct items, design false-positive rate {design_rate:.2%}")
    bloom = BloomFilter(expected_items=len(stream), false_positive_rate=design_rate)
    seconds = timed(lambda: bloom.update(stream))
    # Items never inserted: every "yes" for them is a false positive.
    absent = [f"absent-{i}" for i in range(len(stream))]
    answers = bloom.query_many(absent)
    missed = len(stream) - sum(bloom.query_many(stream))
    measured_rate = sum(answers) / len(absent)
    estimate = bloom.estimate_count()
    print(f"  {bloom!r}")
    print(f"  size                 {bloom.size_in_bytes:,} bytes ({bloom.size_in_bytes * 8 / len(stream):.2f} bits per item)")
    print(f"  false positives      {measured_rate:.4%} measured on {len(absent):,} absent items"
          f" (design {design_rate:.2%}, predicted from fill {bloom.false_positive_rate:.4%})")
    print(f"  false negatives      {missed}")
    print(f"  fill                 {bloom.fill_ratio():.4f} ({bloom.health()})")
    print(f"  estimate_count       {estimate:,.0f} vs {len(stream):,} true ({(estimate / len(stream) - 1):+.3%})")
    print(f"  update               {seconds / len(stream) * 1e9:.1f} ns per item")


def demo_minhash(stream: list[str], num_hashes: int = 128) -> None:
    # Two windows of the stream, A = stream[:n] and B = stream[shift:shift + n], share
    # n - shift items, so their Jaccard similarity is (n - shift) / (n + shift).
    n = max(min(len(stream) // 2, 100_000), 1)
    print(f"MinHash: {num_hashes} slots, two sets of {n:,} items from the stream at several overlaps")
    left_items = stream[:n]
    left = MinHash(num_hashes=num_hashes)
    seconds = timed(lambda: left.update(left_items))
    standard_error = left.standard_error()
    print(f"  {left!r}")
    print(f"  size                 {left.size_in_bytes:,} bytes ({len(left.to_bytes()):,} serialised)")
    print(f"  standard error       {standard_error:.4f} (1/sqrt(num_hashes))")
    print("  exact J   estimate   error     in SE   95% interval")
    errors = []
    left_set = set(left_items)
    for target in (0.9, 0.5, 0.25, 0.1, 0.01, 0.0):
        shift = round(n * (1 - target) / (1 + target))
        right_items = stream[shift:shift + n]
        right = MinHash(num_hashes=num_hashes)
        right.update(right_items)
        right_set = set(right_items)
        exact = len(left_set & right_set) / len(left_set | right_set)
        estimate = left.jaccard(right)
        low, high = left.jaccard_interval(right, 0.95)
        errors.append(estimate - exact)
        print(f"  {exact:7.4f}   {estimate:8.4f}   {estimate - exact:+.4f}   {(estimate - exact) / standard_error:+5.2f}"
              f"   [{low:.4f}, {high:.4f}]")
    mean_absolute = sum(abs(e) for e in errors) / len(errors)
    print(f"  mean absolute error  {mean_absolute:.4f} ({mean_absolute / standard_error:.2f} standard errors)")
    print(f"  update               {seconds / n * 1e9:.1f} ns per item ({seconds / n / num_hashes * 1e9:.2f} per slot)")


def demo_hyperloglog(stream: list[str], precision: int) -> None:
    distinct = len(set(stream))
    print(f"HyperLogLog: {len(stream):,} items ({distinct:,} distinct), precision {precision}")
    counter = HyperLogLog(precision=precision)
    seconds = timed(lambda: counter.update(stream))
    first_pass = counter.cardinality()
    # The same stream again: every item is a duplicate, so the estimate must not move.
    counter.update(stream)
    second_pass = counter.cardinality()
    low, high = counter.confidence_interval(0.95)
    error = second_pass / distinct - 1
    print(f"  {counter!r}")
    print(f"  size                 {counter.size_in_bytes:,} bytes for any number of items")
    print(f"  estimate             {first_pass:,.0f} vs {distinct:,} true ({error:+.3%};"
          f" {abs(error) / counter.standard_error:.2f} standard errors)")
    print(f"  standard error       {counter.standard_error:.4%} (1.04 / sqrt({counter.size_in_bytes:,}))")
    print(f"  after a second pass  {second_pass:,.0f} ({'unchanged' if second_pass == first_pass else 'changed'},"
          f" {2 * len(stream):,} items seen)")
    print(f"  95% interval         {low:,.0f} .. {high:,.0f}"
          f" ({'contains' if low <= distinct <= high else 'misses'} the true count)")
    print(f"  update               {seconds / len(stream) * 1e9:.1f} ns per item")


def demo_count_min_sketch(stream: list[str], error_rate: float, confidence: float, seed: int) -> None:
    sample = zipf_sample(stream, len(stream), seed)
    truth = Counter(sample)
    print(f"CountMinSketch: {len(sample):,} Zipf-distributed occurrences of {len(truth):,} distinct items,"
          f" error_rate {error_rate}, confidence {confidence}")
    sketch = CountMinSketch(error_rate=error_rate, confidence=confidence)
    seconds = timed(lambda: sketch.update(sample))
    items = list(truth)
    estimates = sketch.query_many(items)
    # A Count-Min estimate never falls below the truth; the guarantee bounds how far above.
    over = [estimate - truth[item] for item, estimate in zip(items, estimates)]
    bound = sketch.error_bound()
    within = sum(excess <= bound for excess in over) / len(over)
    print(f"  {sketch!r}")
    print(f"  size                 {sketch.size_in_bytes:,} bytes")
    print(f"  error_bound          {bound:,} = ceil(error_rate() {sketch.error_rate():.6f} x total {sketch.total_count:,})")
    print(f"  within error_bound   {within:.4%} of distinct items (guaranteed {sketch.confidence():.4%})")
    print(f"  over-estimate        mean {statistics.fmean(over):.1f}, median {statistics.median(over):.0f},"
          f" max {max(over):,}; under-estimates {sum(excess < 0 for excess in over)}")
    for item, count in truth.most_common(3):
        print(f"  heavy hitter         {item}: exact {count:,}, estimated {sketch[item]:,}")
    print(f"  update               {seconds / len(sample) * 1e9:.1f} ns per item")


def demo_topk(stream: list[str], ks: list[int], distinct: int, exponent: float = 1.1) -> None:
    draws = zipf_sample(stream[:distinct], len(stream), seed=len(stream), exponent=exponent)
    truth = Counter(draws)
    true_top = [item for item, _ in truth.most_common(10)]
    print(f"TopK: {len(draws):,} draws (Zipf exponent {exponent}) over {min(distinct, len(stream)):,} items,"
          " top 10 against exact counts")
    print(f"  {'k':>6}  {'recall':>6}  {'overcount max':>13}  {'mean':>8}  {'bounds hold':>11}"
          f"  {'min_count':>9}  {'size (bytes)':>12}  update")
    for k in ks:
        tracker = TopK(k)
        seconds = timed(lambda: tracker.update(draws))
        recall = len(set(true_top) & {item for item, _ in tracker.top(10)})
        # Overcounts, and whether [count - error, count] holds the true count, for the true top 10 still tracked.
        estimates = {item: (count, error) for item, count, error in tracker.top_with_error() if item in true_top}
        overcounts = [count - truth[item] for item, (count, _) in estimates.items()]
        in_bounds = sum(count - error <= truth[item] <= count for item, (count, error) in estimates.items())
        mean = sum(overcounts) / len(overcounts) if overcounts else 0.0
        print(f"  {k:>6,}  {recall:>3}/10  {max(overcounts, default=0):>13,}  {mean:>8,.1f}"
              f"  {f'{in_bounds}/{len(estimates)}':>11}  {tracker.min_count():>9,}  {tracker.size_in_bytes:>12,}"
              f"  {seconds / len(draws) * 1e9:.1f} ns per item")


def demo_counting_bloom(stream: list[str], design_rate: float, absent_probes: int = 1_000_000) -> None:
    print(f"CountingBloomFilter: {len(stream):,} distinct items, design false-positive rate {design_rate:.2%},"
          f" then half of them removed")
    counting = CountingBloomFilter(expected_items=len(stream), false_positive_rate=design_rate)
    seconds = timed(lambda: counting.update(stream))
    # Probes that are certainly not in the stream: every "yes" for them is a false positive.
    held = set(stream)
    absent = [probe for probe in (f"absent-{i}" for i in range(absent_probes)) if probe not in held]
    measured_rate = sum(counting.query_many(absent)) / len(absent)
    missed = len(stream) - sum(counting.query_many(stream))
    print(f"  {counting!r}")
    print(f"  size                 {counting.size_in_bytes:,} bytes (one 8-bit counter per position,"
          f" {counting.size_in_bytes / len(stream):.2f} bytes per item)")
    print(f"  false positives      {measured_rate:.4%} measured on {len(absent):,} absent items at design load"
          f" (design {design_rate:.2%}, predicted from fill {counting.false_positive_rate:.4%})")
    print(f"  false negatives      {missed}")
    print(f"  fill                 {counting.fill_ratio():.4f} ({counting.health()})")

    removed, kept = stream[::2], stream[1::2]
    remove_seconds = timed(lambda: [counting.remove(item) for item in removed])
    still_reported = sum(counting.query_many(removed)) / len(removed)
    rate_at_half_load = sum(counting.query_many(absent)) / len(absent)
    kept_missed = len(kept) - sum(counting.query_many(kept))
    print(f"  after removing       {len(removed):,} items: len {len(counting):,} (exactly {len(kept):,} held)")
    print(f"  removed, still found {still_reported:.4%} of them, as absent items are at this load"
          f" ({rate_at_half_load:.4%})")
    print(f"  kept, not found      {kept_missed} of {len(kept):,}")
    print(f"  update               {seconds / len(stream) * 1e9:.1f} ns per item;"
          f" remove {remove_seconds / len(removed) * 1e9:.1f} ns per item (one call each)")



def demo_cuckoo(stream: list[str]) -> None:
    print(f"CuckooFilter: capacity {len(stream):,} (its design load), filled with that many distinct items")
    cuckoo = CuckooFilter(capacity=len(stream))
    results = []
    seconds = timed(lambda: results.append(cuckoo.update(stream)))
    slots = cuckoo.size_in_bytes // 2
    slot_load = len(cuckoo) / slots
    # Items never inserted: every "yes" for them is a false positive. An absent item
    # is reported when its 16-bit fingerprint (1 to 65535) sits in one of the 8 slots
    # of its two buckets.
    truth = set(stream)
    absent = [f"absent-{i}" for i in range(1_000_000)]
    assert not truth.intersection(absent)
    measured_rate = sum(cuckoo.query_many(absent)) / len(absent)
    expected_rate = 1 - (1 - 1 / 65535) ** (8 * slot_load)
    missed = len(stream) - sum(cuckoo.query_many(stream))
    print(f"  {cuckoo!r}")
    print(f"  size                 {cuckoo.size_in_bytes:,} bytes ({cuckoo.size_in_bytes * 8 / len(stream):.2f} bits per item,"
          f" {slot_load:.1%} of {slots:,} slots used)")
    print(f"  added                {results[0]:,} of {len(stream):,}; one more: {cuckoo.add('one more')}"
          f" (health {cuckoo.health()})")
    print(f"  false positives      {measured_rate:.4%} measured on {len(absent):,} absent items"
          f" (target {expected_rate:.4%} at this slot load; {8 / 65535:.4%} with every slot used)")
    print(f"  false negatives      {missed}")

    # Deleting half: the other half must all stay present; the deleted ones read
    # as absent except for fingerprint collisions, at about the false-positive rate.
    deleted, kept = stream[: len(stream) // 2], stream[len(stream) // 2:]
    removal_seconds = timed(lambda: [cuckoo.remove(item) for item in deleted])
    still_reported = sum(cuckoo.query_many(deleted)) / len(deleted)
    print(f"  after deleting half  {len(cuckoo):,} stored, load_factor {cuckoo.load_factor:.4f} ({cuckoo.health()});"
          f" kept items missing {len(kept) - sum(cuckoo.query_many(kept))},"
          f" deleted items still reported {still_reported:.4%}")
    print(f"  update               {seconds / len(stream) * 1e9:.1f} ns per item"
          f" (remove, one call each: {removal_seconds / len(deleted) * 1e9:.0f} ns)")



def demo_scalable_bloom(stream: list[str], initial_capacity: int, target_rate: float, probes: int) -> None:
    print(f"ScalableBloomFilter: {len(stream):,} distinct items into a chain that starts at"
          f" {initial_capacity:,}, target false-positive rate {target_rate:.2%}")
    chain = ScalableBloomFilter(initial_capacity=initial_capacity, false_positive_rate=target_rate)
    seconds = timed(lambda: chain.update(stream))
    absent = [f"absent-{i}" for i in range(probes)]
    measured_rate = sum(chain.query_many(absent)) / len(absent)
    missed = len(stream) - sum(chain.query_many(stream))
    slices = json.loads(chain.to_json())["slices"]
    print(f"  {chain!r}")
    print(f"  {'slice':>7}  {'capacity':>9}  {'stored':>9}  {'design fpr':>10}  {'bits':>10}  {'k':>2}")
    for index, piece in enumerate(slices):
        print(f"  {index:>7}  {piece['capacity']:>9,}  {piece['count']:>9,}  {piece['fpr']:>10.6f}"
              f"  {piece['num_bits']:>10,}  {piece['num_hashes']:>2}")
    print(f"  size                 {chain.size_in_bytes:,} bytes ({chain.size_in_bytes * 8 / len(stream):.2f} bits"
          f" per item); capacity {chain.capacity():,}")
    print(f"  false positives      {measured_rate:.4%} measured on {len(absent):,} absent items"
          f" (target {target_rate:.2%}, design rate of the chain {chain.false_positive_rate():.4%},"
          f" {chain.health()})")
    print(f"  false negatives      {missed}")
    # Every item is new; those an older slice already reported present are not stored again.
    print(f"  stored               {len(chain):,} of {len(stream):,} ({len(stream) - len(chain):,} skipped as"
          " false positives of the chain)")
    print(f"  update               {seconds / len(stream) * 1e9:.1f} ns per item")



def run(items: int = 1_000_000, seed: int = 2026) -> None:
    """Every structure on a stream of `items` generated identifiers from `seed`."""
    stream = generate_stream(items, seed)
    demo_bloom(stream, design_rate=0.01)
    print()
    demo_counting_bloom(stream, design_rate=0.01)
    print()
    demo_scalable_bloom(stream, initial_capacity=1000, target_rate=0.01, probes=1_000_000)
    print()
    demo_cuckoo(stream)
    print()
    demo_hyperloglog(stream, precision=14)
    print()
    demo_count_min_sketch(stream, error_rate=0.001, confidence=0.99, seed=seed)
    print()
    demo_minhash(stream)
    print()
    demo_topk(stream, ks=[10, 20, 100, 1000], distinct=100_000)
