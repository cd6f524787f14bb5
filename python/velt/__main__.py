"""Command line: ``python -m velt demo`` feeds each structure a generated stream
and reports its accuracy against the exact answer, its size and its speed."""

from __future__ import annotations

import argparse
import itertools
import random
import statistics
import time
from collections import Counter

from velt import BloomFilter, CountMinSketch


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


def main(argv: list[str] | None = None) -> None:
    parser = argparse.ArgumentParser(prog="python -m velt", description=__doc__)
    commands = parser.add_subparsers(dest="command", required=True)
    demo = commands.add_parser("demo", help="run every structure on a generated stream")
    demo.add_argument("--items", type=int, default=1_000_000, help="stream length (default 1,000,000)")
    demo.add_argument("--seed", type=int, default=2026, help="seed of the generated stream")
    args = parser.parse_args(argv)

    stream = generate_stream(args.items, args.seed)
    demo_bloom(stream, design_rate=0.01)
    demo_count_min_sketch(stream, error_rate=0.001, confidence=0.99, seed=args.seed)


if __name__ == "__main__":
    main()
