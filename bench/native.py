"""Runs the Google Benchmark binary of the core (bench/native/) and reads its medians."""

from __future__ import annotations

import json
import subprocess
import tempfile
from pathlib import Path

from .common import REPEATS, Comparison, Results, Table, Target, Timing

# Each repetition runs at least this long; their median is reported.
MIN_SECONDS = 0.2

# Benchmarks of an alternative to a core routine, shown in that routine's row.
ALTERNATIVES = {"DecimalTextStdToChars": ("DecimalText", "std::to_chars")}


def _medians(binary: Path) -> dict[str, dict]:
    with tempfile.NamedTemporaryFile(suffix=".json") as out:
        subprocess.run(
            [
                str(binary),
                f"--benchmark_min_time={MIN_SECONDS}",
                f"--benchmark_repetitions={REPEATS}",
                "--benchmark_report_aggregates_only=true",
                f"--benchmark_out={out.name}",
                "--benchmark_out_format=json",
            ],
            check=True,
            stdout=subprocess.DEVNULL,  # the JSON file has it all
            stderr=subprocess.DEVNULL,  # the run's context: machine and load
        )
        report = json.load(open(out.name))
    return {
        entry["run_name"]: entry
        for entry in report["benchmarks"]
        if entry.get("aggregate_name") == "median"
    }


def _ns_per_item(entry: dict) -> float:
    return 1e9 / entry["items_per_second"]


def native(binary: Path) -> Results:
    medians = _medians(binary)
    table = Table("Native core (Google Benchmark, pre-converted items, no interpreter)")
    results = Results([table])
    rows: dict[tuple[str, str], Comparison] = {}

    def row(operation: str, size: str) -> Comparison:
        if (operation, size) not in rows:
            rows[operation, size] = table.compare(operation, size)
        return rows[operation, size]

    for name, entry in medians.items():
        function, _, size = name.partition("/")
        operation = function.removeprefix("BM_")
        if operation in ALTERNATIVES:
            operation, alternative = ALTERNATIVES[operation]
            row(operation, size).other(alternative, Timing(_ns_per_item(entry), 0))
        elif "items_per_second" in entry:
            row(operation, size or "-").velt("core", Timing(_ns_per_item(entry), 0))
        elif "bytes_per_second" in entry:
            row(operation, size or "-").velt(f"core ({entry['bytes_per_second'] / 1e9:.2f} GB/s; ns/byte)",
                                             Timing(1e9 / entry["bytes_per_second"], 0))

    def per_item(name: str) -> float | None:
        entry = medians.get(name)
        return _ns_per_item(entry) if entry else None

    loop, batch = per_item("BM_BloomAddLoop/large_table"), per_item("BM_BloomUpdate/large_table")
    results.targets.append(Target(
        "256 MiB BloomFilter: add loop / batch update (native speed-up)",
        loop / batch if loop and batch else None, 2.0, ">=",
        f"{loop:.0f} vs {batch:.0f} ns/item" if loop and batch else "not measured"))
    return results
