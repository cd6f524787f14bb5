"""Draws the accuracy plots of docs/accuracy.md into docs/images/.

    python docs/make_plots.py [--out DIR] [NAME ...]

Every run uses fixed seeds, so the same velt gives the same pictures. Each plot is
one function registered in PLOTS under the name of the PNG it writes; to add a
structure, write a function that takes the output path and register it.
"""

from __future__ import annotations

import argparse
import io
import itertools
import math
import random
import time
from collections import Counter
from pathlib import Path

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402
import numpy as np  # noqa: E402
from PIL import Image  # noqa: E402

import hyperloglog_bias  # noqa: E402  (beside this script)

from velt import BlockedBloomFilter, BloomFilter, CountMinSketch, MinHash  # noqa: E402

PLOTS = {}


def plot(name):
    def register(function):
        PLOTS[name] = function
        return function

    return register


def distinct_items(count: int, prefix: str = "item") -> list[str]:
    return [f"{prefix}-{i}" for i in range(count)]


def zipf_sample(items: list[str], count: int, seed: int, exponent: float = 1.1) -> list[str]:
    rng = random.Random(seed)
    weights = itertools.accumulate(1 / rank**exponent for rank in range(1, len(items) + 1))
    return rng.choices(items, cum_weights=list(weights), k=count)


def save(figure, path: Path) -> None:
    """Writes the figure as a 256-colour PNG, which keeps the committed files small."""
    figure.tight_layout()
    buffer = io.BytesIO()
    figure.savefig(buffer, dpi=110, format="png")
    plt.close(figure)
    image = Image.open(buffer).convert("RGB").quantize(colors=256, method=Image.Quantize.MEDIANCUT)
    image.save(path, optimize=True)


@plot("hyperloglog_error.png")
def hyperloglog_error(path: Path) -> None:
    """Relative error of both estimators against cardinality; each seed is an independent stream."""
    checkpoints = sorted({round(10 ** (e / 16)) for e in range(16, 105)})  # 10 .. 3,162,278
    seeds = range(1, 41)
    figure, axes = plt.subplots(2, 3, figsize=(13, 7.5), sharex=True, sharey="col")
    for column, precision in enumerate((10, 14, 18)):
        m = 2**precision
        band = 1.04 / math.sqrt(m)
        measured = hyperloglog_bias.measure(precision, checkpoints, seeds)
        for row, (name, method) in enumerate((("classic", "cardinality()"), ("unbiased", "unbiased_cardinality()"))):
            axis = axes[row, column]
            errors = measured[name]["error"]
            for n, column_errors in zip(checkpoints, errors.T):
                axis.scatter([n] * len(seeds), column_errors, s=4, color="tab:blue", alpha=0.25, linewidths=0)
            rms = np.sqrt((errors**2).mean(axis=0))
            axis.plot(checkpoints, rms, color="tab:red", label="± RMS error")
            axis.plot(checkpoints, -rms, color="tab:red")
            axis.plot(checkpoints, errors.mean(axis=0), color="black", linewidth=1, label="mean error (bias)")
            if name == "unbiased":
                stated = measured[name]["stated"].mean(axis=0)
                axis.plot(checkpoints, stated, color="tab:purple", linestyle="--", linewidth=1,
                          label="± error its interval states")
                axis.plot(checkpoints, -stated, color="tab:purple", linestyle="--", linewidth=1)
            axis.axhspan(-band, band, color="tab:green", alpha=0.15, label=f"±1.04/√m = ±{band:.2%}")
            axis.axvline(2.5 * m, color="grey", linestyle=":", linewidth=1)
            axis.set_xscale("log")
            axis.set_title(f"{method}, precision {precision} (m = {m:,})", fontsize=10)
            axis.yaxis.set_major_formatter(matplotlib.ticker.PercentFormatter(1.0, decimals=1))
            axis.legend(loc="upper right", fontsize=7)
            axis.grid(alpha=0.3)
        axes[1, column].set_xlabel("true cardinality")
    for row in range(2):
        axes[row, 0].set_ylabel(f"relative error ({len(seeds)} seeds)")
    figure.suptitle("HyperLogLog: estimate / truth − 1, classic (top) and unbiased (bottom); "
                    "dotted line at 2.5 m, where linear counting hands over to the raw estimate")
    save(figure, path)


@plot("bloom_false_positives.png")
def bloom_false_positives(path: Path) -> None:
    """Measured false-positive rate as a filter fills up to twice its design capacity."""
    expected = 10_000
    items = distinct_items(2 * expected)
    absent = distinct_items(200_000, prefix="absent")
    figure, axis = plt.subplots(figsize=(8, 5))
    for color, rate in zip(("tab:blue", "tab:orange", "tab:green"), (0.1, 0.01, 0.001)):
        bloom = BloomFilter(expected_items=expected, false_positive_rate=rate, seed=3)
        fills, measured, predicted = [], [], []
        added = 0
        for n in range(expected * 3 // 10, 2 * expected + 1, expected // 10):
            bloom.update(items[added:n])
            added = n
            fills.append(bloom.fill_ratio())
            measured.append(sum(bloom.query_many(absent)) / len(absent))
            predicted.append(bloom.false_positive_rate)
            if n == expected:
                at_design = (fills[-1], measured[-1])
        label = f"design {rate:g} (k = {bloom.num_hashes}, {bloom.num_bits / expected:.1f} bits/item)"
        axis.plot(fills, measured, "o", color=color, markersize=4, label=label)
        axis.plot(fills, predicted, "-", color=color, linewidth=1)
        axis.axhline(rate, color=color, linestyle=":", linewidth=1)
        axis.plot(*at_design, "s", color=color, markersize=10, fillstyle="none")
    axis.set_yscale("log")
    axis.set_ylim(1 / len(absent), 1)
    axis.set_xlabel("fill ratio (share of bits set)")
    axis.set_ylabel(f"false-positive rate on {len(absent):,} absent items")
    axis.set_title(
        f"BloomFilter sized for {expected:,} items, filled to {2 * expected:,}\n"
        "dots: measured; lines: fill^k (false_positive_rate); dotted: design rate; square: at capacity",
        fontsize=10,
    )
    axis.legend(fontsize=8, loc="lower right")
    axis.grid(alpha=0.3, which="both")
    save(figure, path)


@plot("blocked_bloom_false_positives.png")
def blocked_bloom_false_positives(path: Path) -> None:
    """Measured false-positive rate and bits per item of the blocked and classic filters
    at their capacity, across design rates; prints the table of docs/accuracy.md."""
    expected = 100_000
    items = distinct_items(expected)
    absent = distinct_items(1_000_000, prefix="absent")
    rates = [0.0001, 0.0003, 0.001, 0.003, 0.01, 0.03, 0.1, 0.3]
    figure, (rate_axis, size_axis) = plt.subplots(1, 2, figsize=(11, 4.5))
    print("| design rate | blocked: measured | blocked: bits/item | classic: measured | classic: bits/item | blocked / classic bits |")
    print("|---|---|---|---|---|---|")
    kinds = {"BlockedBloomFilter": BlockedBloomFilter, "BloomFilter": BloomFilter}
    results = {name: ([], []) for name in kinds}
    for rate in rates:
        row = []
        for name, cls in kinds.items():
            bloom = cls(expected_items=expected, false_positive_rate=rate, seed=5)
            bloom.update(items)
            measured = sum(bloom.query_many(absent)) / len(absent)
            bits = bloom.num_bits / expected
            results[name][0].append(measured)
            results[name][1].append(bits)
            row += [f"{measured:.4%}", f"{bits:.2f}"]
        ratio = results["BlockedBloomFilter"][1][-1] / results["BloomFilter"][1][-1]
        print(f"| {rate:g} | " + " | ".join(row) + f" | {ratio:.3f} |")
    for (name, (measured, bits)), color in zip(results.items(), ("tab:red", "tab:blue")):
        rate_axis.plot(rates, measured, "o-", color=color, markersize=4, label=name)
        size_axis.plot(rates, bits, "o-", color=color, markersize=4, label=name)
    rate_axis.plot(rates, rates, ":", color="gray", label="design rate")
    for axis in (rate_axis, size_axis):
        axis.set_xscale("log")
        axis.set_xlabel("design false-positive rate")
        axis.grid(alpha=0.3, which="both")
        axis.legend(fontsize=8)
    rate_axis.set_yscale("log")
    rate_axis.set_ylabel(f"measured rate on {len(absent):,} absent items")
    rate_axis.set_title(f"At capacity ({expected:,} items): measured against design", fontsize=10)
    size_axis.set_ylabel("bits per item")
    size_axis.set_title("Memory for the design rate", fontsize=10)
    save(figure, path)


@plot("count_min_overestimate.png")
def count_min_overestimate(path: Path) -> None:
    """How far each distinct item's estimate exceeds its true count, against error_bound."""
    sample = zipf_sample(distinct_items(50_000), 500_000, seed=5)
    truth = Counter(sample)
    keys = list(truth)
    figure, axes = plt.subplots(1, 2, figsize=(12, 4.5))
    for axis, error_rate in zip(axes, (0.001, 0.0002)):
        sketch = CountMinSketch(error_rate=error_rate, confidence=0.99, seed=5)
        sketch.update(sample)
        over = [estimate - truth[key] for key, estimate in zip(keys, sketch.query_many(keys))]
        bound = sketch.error_bound()
        within = sum(excess <= bound for excess in over) / len(over)
        top = max(max(over), bound) + 1
        axis.hist(over, bins=range(0, top + top // 60 + 1, max(top // 60, 1)), color="tab:blue", log=True)
        axis.axvline(bound, color="tab:red", linewidth=2, label=f"error_bound() = {bound:,}")
        axis.axvline(max(over), color="black", linestyle=":", label=f"largest over-estimate = {max(over):,}")
        axis.set_title(
            f"error_rate {error_rate:g}: {sketch.width:,} × {sketch.depth} counters ({sketch.size_in_bytes // 1024} KiB)\n"
            f"{within:.2%} of items within the bound (promised {sketch.confidence():.2%})",
            fontsize=10,
        )
        axis.set_xlabel("estimate − true count")
        axis.set_ylabel(f"distinct items (of {len(keys):,})")
        axis.legend()
        axis.grid(alpha=0.3)
    figure.suptitle(f"CountMinSketch over {len(sample):,} Zipf-distributed occurrences (confidence 0.99)")
    save(figure, path)


@plot("minhash_error.png")
def minhash_error(path: Path) -> None:
    """RMS error of the Jaccard estimate against num_hashes, for three true similarities."""
    size = 1_000
    items = distinct_items(3 * size)
    slot_counts = [16, 32, 64, 128, 256, 512, 1024]
    seeds = range(1, 51)
    figure, axis = plt.subplots(figsize=(8, 5))
    for color, target in zip(("tab:blue", "tab:orange", "tab:green"), (0.2, 0.5, 0.9)):
        # Two windows of `size` items shifted by `shift` have Jaccard (size - shift) / (size + shift).
        shift = round(size * (1 - target) / (1 + target))
        exact = (size - shift) / (size + shift)
        left_items, right_items = items[:size], items[shift : shift + size]
        rms = []
        for num_hashes in slot_counts:
            squares = 0.0
            for seed in seeds:
                left = MinHash(num_hashes=num_hashes, seed=seed)
                right = MinHash(num_hashes=num_hashes, seed=seed)
                left.update(left_items)
                right.update(right_items)
                squares += (left.jaccard(right) - exact) ** 2
            rms.append(math.sqrt(squares / len(seeds)))
        axis.plot(slot_counts, rms, "o-", color=color, label=f"measured, J = {exact:.2f}")
        theory = [math.sqrt(exact * (1 - exact) / n) for n in slot_counts]
        axis.plot(slot_counts, theory, "--", color=color, linewidth=1, label=f"√(J(1−J)/n), J = {exact:.2f}")
    axis.plot(slot_counts, [1 / math.sqrt(n) for n in slot_counts], "k-", label="standard_error() = 1/√n")
    axis.set_xscale("log", base=2)
    axis.set_yscale("log")
    axis.set_xticks(slot_counts, [str(n) for n in slot_counts])
    axis.set_xlabel("num_hashes (n); the signature takes 8 bytes per slot")
    axis.set_ylabel(f"RMS error of jaccard() ({len(seeds)} seeds)")
    axis.set_title(f"MinHash: two sets of {size:,} items")
    axis.legend(fontsize=8, ncol=2)
    axis.grid(alpha=0.3, which="both")
    save(figure, path)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--out", type=Path, default=Path(__file__).parent / "images")
    parser.add_argument("names", nargs="*", metavar="NAME", help=f"plots to draw (default: all of {', '.join(PLOTS)})")
    args = parser.parse_args()
    if unknown := set(args.names) - set(PLOTS):
        parser.error(f"unknown plot: {', '.join(sorted(unknown))}")
    args.out.mkdir(parents=True, exist_ok=True)
    for name in args.names or PLOTS:
        start = time.perf_counter()
        PLOTS[name](args.out / name)
        print(f"{args.out / name}  {time.perf_counter() - start:.1f} s")


if __name__ == "__main__":
    main()
