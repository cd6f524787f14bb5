"""Runs every benchmark, prints one table per structure and the summary of the targets,
and writes them to docs/benchmarks.md.

    python -m bench.run [--native build/bench/velt_core_benchmarks] [--items N] [--only NAME ...]
"""

from __future__ import annotations

import argparse
import datetime
import os
import platform
import time
from pathlib import Path

from . import cardinality, columns, engines, filters, frequency, similarity, system
from .common import TARGET_HEADER, Inputs, Results, format_markdown, format_text, unavailable_peers

SUITES = {
    "bloom": filters.bloom,
    "blocked_bloom": filters.blocked_bloom,
    "counting_and_scalable": filters.counting_and_scalable,
    "cuckoo": filters.cuckoo,
    "hyperloglog": cardinality.hyperloglog,
    "count_min_sketch": frequency.count_min_sketch,
    "top_k": frequency.top_k,
    "minhash": similarity.minhash,
    "near_duplicates": similarity.near_duplicates,
    "near_duplicates_on_engines": engines.near_duplicates,
    "threads": system.threads,
    "persistence": system.persistence,
    "memory": system.memory,
    "opened": system.opened,
    "columns": columns.columns,
    "answers": columns.answers,
}
PEERS = {
    "rbloom": "rbloom",
    "pybloomfiltermmap3": "pybloomfilter",
    "abloom": "abloom",
    "pyprobables": "probables",
    "datasketch": "datasketch",
    "rensa": "rensa",
    "datasketches": "datasketches",
    "hyperloglog": "hyperloglog",
    "bounter": "bounter",
}


def cpu_model() -> str:
    try:
        for line in Path("/proc/cpuinfo").read_text().splitlines():
            if line.startswith("model name"):
                return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor() or "unknown"


def peer_versions() -> list[str]:
    from importlib.metadata import PackageNotFoundError, version

    found = []
    for distribution in [*PEERS, "numpy", "xxhash"]:
        try:
            found.append(f"{distribution} {version(distribution)}")
        except PackageNotFoundError:
            found.append(f"{distribution} (not installed)")
    return found


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--items", type=int, default=1_000_000, help="N, the size of every input")
    parser.add_argument("--native", type=Path, help="the Google Benchmark binary of the core, to run too")
    parser.add_argument("--only", nargs="*", choices=sorted(SUITES), help="run these suites alone")
    parser.add_argument("--output", type=Path, default=Path("docs/benchmarks.md"), help="'-' writes no file")
    args = parser.parse_args()

    started = time.perf_counter()
    inputs = Inputs(args.items)
    machine = f"{os.cpu_count()} cores, {cpu_model()}, Python {platform.python_version()}"
    print(f"velt benchmarks: {machine}")
    print(f"N = {args.items:,}; medians of 5 runs after a warm-up; x velt = ns/item over velt's; x floor = over ''.join\n")

    everything = Results()
    for name in args.only or SUITES:
        print(f"== {name}", flush=True)
        results = SUITES[name](inputs)
        report(results)
        merge(everything, results)
    if args.native:
        from .native import native

        print("== native", flush=True)
        results = native(args.native)
        report(results)
        merge(everything, results)

    summary = format_text(TARGET_HEADER, [target.row() for target in everything.targets])
    met = sum(target.met for target in everything.targets)
    print(f"SUMMARY: {met} of {len(everything.targets)} targets met\n{summary}")
    for module, error in unavailable_peers().items():
        everything.notes.append(f"{module} not installed here, its rows are missing: {error}")
    elapsed = time.perf_counter() - started
    print(f"\n{elapsed:.0f} s in total")
    if str(args.output) != "-":
        args.output.write_text(markdown(everything, machine, args.items, elapsed))
        print(f"written to {args.output}")


def merge(into: Results, results: Results) -> None:
    into.tables += results.tables
    into.targets += results.targets
    into.notes += results.notes


def report(results: Results) -> None:
    for table in results.tables:
        print(f"{table.title}\n{format_text(table.header(), table.rows())}\n", flush=True)
    for note in results.notes:
        print(f"note: {note}")


def markdown(results: Results, machine: str, n: int, elapsed: float) -> str:
    today = datetime.date.today().isoformat()
    met = sum(target.met for target in results.targets)
    lines = [
        "# Benchmarks",
        "",
        "Written by `make bench` (bench/run.py); rerun it to refresh this page.",
        "",
        f"- Machine: {machine}",
        f"- Date: {today}; the whole run took {elapsed:.0f} s",
        f"- Peers: {', '.join(peer_versions())}",
        f"- N = {n:,} unless the N column says otherwise (slow alternatives run on a prefix).",
        "- Each figure is the median of 5 runs after a warm-up, in the same process as the figures it is"
        " compared with; the machine may be shared, so read the ratios rather than the absolute times.",
        "- `x velt` is a row's time over velt's first row of the same job (above 1: velt is faster);"
        " `x floor` is a velt row's time over `''.join(items)` on the same list.",
        "",
        f"## Summary: {met} of {len(results.targets)} targets met",
        "",
        format_markdown(TARGET_HEADER, [target.row() for target in results.targets]),
        "",
    ]
    for note in results.notes:
        lines.append(f"- {note}")
    floors = [row for table in results.tables for row in table.floor_ratios()]
    if floors:
        lines += ["", "## Batch paths against the floor", "",
                  format_markdown(["structure", "path", "input", "x floor"], floors), ""]
    for table in results.tables:
        lines += [f"## {table.title}", "", format_markdown(table.header(), table.rows()), ""]
    return "\n".join(lines)


if __name__ == "__main__":
    main()
