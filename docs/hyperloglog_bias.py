"""Bias and RMS relative error of HyperLogLog's two estimators, as a Markdown table.

    python docs/hyperloglog_bias.py [--seeds 400] [--precisions 10 14 18]

For each precision p (m = 2^p registers), each seed's counter takes random 64-bit
hashes through update_hashes until it has seen 100 m of them, and is read at every
n/m in RATIOS: `cardinality()` (the classic estimate) and `unbiased_cardinality()`
(the improved raw estimate), each as estimate / n - 1, and whether each one's 95 %
interval holds n. Independent seeds draw independent streams, so the figures are
means over independent counters; a run with the same seeds prints the same table.
Needs numpy (installed with matplotlib by `make docs`). About two minutes for 400
seeds, most of it at precision 18.
"""

from __future__ import annotations

import argparse
import math

import numpy as np

from velt import HyperLogLog

RATIOS = (0.5, 1, 2, 2.5, 3, 4, 8, 100)
CHUNK = 1 << 22  # hashes drawn and inserted at a time
Z_95 = 1.959964

# Estimator name -> (estimate, 95 % interval) of a counter.
ESTIMATORS = {
    "classic": (HyperLogLog.cardinality, HyperLogLog.confidence_interval),
    "unbiased": (HyperLogLog.unbiased_cardinality, HyperLogLog.unbiased_confidence_interval),
}


def measure(precision: int, cardinalities: list[int], seeds: range) -> dict[str, dict[str, np.ndarray]]:
    """For each estimator, arrays with one row per seed and one column per cardinality:
    "error", the relative error; "covered", whether the 95 % interval held the true
    cardinality; "stated", the relative standard error the interval states (its half
    width over z = 1.96 and the truth)."""
    shape = (len(seeds), len(cardinalities))
    result = {name: {key: np.empty(shape) for key in ("error", "covered", "stated")} for name in ESTIMATORS}
    for row, seed in enumerate(seeds):
        rng = np.random.default_rng([precision, seed])
        counter = HyperLogLog(precision=precision, seed=seed)
        added = 0
        for column, n in enumerate(cardinalities):
            while added < n:
                batch = min(CHUNK, n - added)
                counter.update_hashes(rng.integers(0, 2**64, batch, dtype=np.uint64, endpoint=False))
                added += batch
            for name, (estimate, interval) in ESTIMATORS.items():
                low, high = interval(counter, 0.95)
                result[name]["error"][row, column] = estimate(counter) / n - 1
                result[name]["covered"][row, column] = low <= n <= high
                result[name]["stated"][row, column] = (high - low) / (2 * Z_95 * n)
    return result


def percent(value: float) -> str:
    return f"{value:+.2%}".replace("%", " %")


def table(precisions: list[int], seeds: range) -> str:
    lines = [
        "| p | n/m | classic bias | classic rms | unbiased bias | unbiased rms | 1.04/√m | 95 % interval holds n: classic / unbiased |",
        "|---|---|---|---|---|---|---|---|",
    ]
    for precision in precisions:
        m = 2**precision
        result = measure(precision, [round(ratio * m) for ratio in RATIOS], seeds)
        for column, ratio in enumerate(RATIOS):
            cells = [str(precision), f"{ratio:g}"]
            for name in ESTIMATORS:
                errors = result[name]["error"][:, column]
                cells += [percent(errors.mean()), percent(math.sqrt((errors**2).mean())).lstrip("+")]
            cells.append(f"{1.04 / math.sqrt(m):.2%}".replace("%", " %"))
            cells.append(" / ".join(f"{result[name]['covered'][:, column].mean():.0%}" for name in ESTIMATORS))
            lines.append("| " + " | ".join(cells) + " |")
    return "\n".join(lines)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--seeds", type=int, default=400, help="counters per precision (default 400)")
    parser.add_argument("--precisions", type=int, nargs="+", default=[10, 14, 18])
    args = parser.parse_args()
    seeds = range(1, args.seeds + 1)
    print(table(args.precisions, seeds))
    print(f"\n{len(seeds)} seeds per precision; a bias figure is itself uncertain by about rms / √{len(seeds)}.")


if __name__ == "__main__":
    main()
