"""BloomFilter.update against set.update on the same one million short str items.

Both run in this process on the same list; the figures are best-of-N times per
item and their ratio (lower is better for velt)."""

from __future__ import annotations

import argparse
import time

from velt import BloomFilter


def best_time(action, repeats: int) -> float:
    best = float("inf")
    for _ in range(repeats):
        start = time.perf_counter()
        action()
        best = min(best, time.perf_counter() - start)
    return best


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--items", type=int, default=1_000_000)
    parser.add_argument("--repeats", type=int, default=5)
    args = parser.parse_args()

    items = [f"user-{i:07d}" for i in range(args.items)]
    rows = {
        "set.update": lambda: set().update(items),
        "BloomFilter.update (1% at n)": lambda: BloomFilter(expected_items=args.items).update(items),
        "BloomFilter.query_many": None,
        "BloomFilter.add loop": lambda: [bloom_add(item) for item in items],
    }
    probe = BloomFilter(expected_items=args.items)
    probe.update(items)
    rows["BloomFilter.query_many"] = lambda: probe.query_many(items)
    loop_filter = BloomFilter(expected_items=args.items)
    bloom_add = loop_filter.add

    per_item = {name: best_time(action, args.repeats) / args.items for name, action in rows.items()}
    baseline = per_item["set.update"]
    print(f"{args.items:,} short str items, best of {args.repeats}")
    print(f"{'operation':32} {'ns/item':>8} {'vs set.update':>14}")
    for name, seconds in per_item.items():
        print(f"{name:32} {seconds * 1e9:8.1f} {seconds / baseline:13.2f}x")


if __name__ == "__main__":
    main()
