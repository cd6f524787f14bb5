"""Command line: ``python -m velt demo`` feeds each structure a generated stream
and reports its accuracy against the exact answer, its size and its speed."""

from __future__ import annotations

import argparse
import random
import time
from collections import Counter

from velt import BloomFilter, TopK


def generate_stream(count: int, seed: int) -> list[str]:
    """`count` distinct, shuffled user identifiers, as a web log would carry them."""
    rng = random.Random(seed)
    identifiers = [f"user-{rng.getrandbits(48):012x}-{i}" for i in range(count)]
    rng.shuffle(identifiers)
    return identifiers


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


def zipf_sample(items: list[str], length: int, exponent: float, seed: int) -> list[str]:
    """`length` draws from `items`, the item of rank r drawn with probability proportional to 1/r**exponent."""
    rng = random.Random(seed)
    weights = [1 / rank**exponent for rank in range(1, len(items) + 1)]
    return rng.choices(items, weights=weights, k=length)


def demo_topk(stream: list[str], ks: list[int], distinct: int, exponent: float = 1.1) -> None:
    draws = zipf_sample(stream[:distinct], len(stream), exponent, seed=len(stream))
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


def main(argv: list[str] | None = None) -> None:
    parser = argparse.ArgumentParser(prog="python -m velt", description=__doc__)
    commands = parser.add_subparsers(dest="command", required=True)
    demo = commands.add_parser("demo", help="run every structure on a generated stream")
    demo.add_argument("--items", type=int, default=1_000_000, help="stream length (default 1,000,000)")
    demo.add_argument("--seed", type=int, default=2026, help="seed of the generated stream")
    args = parser.parse_args(argv)

    stream = generate_stream(args.items, args.seed)
    demo_bloom(stream, design_rate=0.01)
    demo_topk(stream, ks=[10, 20, 100, 1000], distinct=100_000)


if __name__ == "__main__":
    main()
