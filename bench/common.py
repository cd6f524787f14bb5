"""What every benchmark module shares: the inputs, the timer, the tables and the targets.

Every figure is a median over REPEATS runs after one warm-up run, in nanoseconds per
item, measured in this process on the same inputs as the figures it is compared with:
the machine is shared, so only ratios measured side by side mean anything."""

from __future__ import annotations

import array
import importlib
import random
import statistics
import time
from collections.abc import Callable, Sequence
from dataclasses import dataclass, field
from functools import cached_property
from typing import Any

import numpy as np

N = 1_000_000
REPEATS = 5
ZIPF_EXPONENT = 1.1
ZIPF_KEYS = 100_000

# Alternatives slower than this per run are measured on a prefix of the input (a tenth,
# a hundredth...) so that the whole suite stays within its time; the table shows the N used.
RUN_BUDGET_SECONDS = 1.0
SMALLEST_PREFIX = 10_000


# ---- Inputs -----------------------------------------------------------------------------


class Inputs:
    """The inputs of every benchmark, built once on first use."""

    def __init__(self, n: int = N, seed: int = 20240607) -> None:
        self.n = n
        self._seed = seed

    @cached_property
    def strs(self) -> list[str]:
        """n distinct short str items like "user-123456"."""
        return [f"user-{i}" for i in range(self.n)]

    @cached_property
    def bytes_items(self) -> list[bytes]:
        """The same items as UTF-8 bytes."""
        return [item.encode() for item in self.strs]

    @cached_property
    def ints(self) -> list[int]:
        """n distinct Python ints below 2**40 (up to 13 decimal digits)."""
        return random.Random(self._seed).sample(range(1 << 40), self.n)

    @cached_property
    def zipf(self) -> list[str]:
        """n draws of a Zipf(1.1) law over ZIPF_KEYS str keys, most frequent first."""
        keys = [f"key-{rank}" for rank in range(ZIPF_KEYS)]
        weights = 1.0 / np.arange(1, ZIPF_KEYS + 1) ** ZIPF_EXPONENT
        ranks = np.random.default_rng(self._seed).choice(ZIPF_KEYS, size=self.n, p=weights / weights.sum())
        return [keys[rank] for rank in ranks.tolist()]

    @cached_property
    def hashes_numpy(self) -> np.ndarray:
        """n caller hashes as a numpy uint64 array."""
        return np.random.default_rng(self._seed).integers(0, 1 << 64, size=self.n, dtype=np.uint64)

    @cached_property
    def hashes_list(self) -> list[int]:
        return self.hashes_numpy.tolist()

    @cached_property
    def hashes_array(self) -> array.array:
        return array.array("Q", self.hashes_numpy.tobytes())

    def hashes(self, kind: str) -> Sequence[int]:
        return {"list": self.hashes_list, "numpy uint64": self.hashes_numpy, "array('Q')": self.hashes_array}[kind]

    def items(self, kind: str) -> Sequence[Any]:
        return {"str": self.strs, "bytes": self.bytes_items, "int": self.ints, "zipf str": self.zipf}[kind]


HASH_KINDS = ("list", "numpy uint64", "array('Q')")


# ---- Timing -----------------------------------------------------------------------------


@dataclass(frozen=True)
class Timing:
    ns_per_item: float
    n: int


def _seconds(run: Callable[[Any, Sequence[Any]], object], prepare: Callable[[], Any], items: Sequence[Any]) -> float:
    state = prepare()
    start = time.perf_counter()
    run(state, items)
    return time.perf_counter() - start


def measure(
    run: Callable[[Any, Sequence[Any]], object],
    items: Sequence[Any],
    prepare: Callable[[], Any] = lambda: None,
    repeats: int = REPEATS,
    whole: bool = False,
) -> Timing:
    """The median time per item of run(prepare(), items): prepare is not timed, so each
    run can start from a fresh structure. Slow alternatives run on a prefix of items,
    unless `whole` asks for all of them (figures to be compared at the same N)."""
    n = len(items)
    probe = min(n, SMALLEST_PREFIX)
    per_item = _seconds(run, prepare, items[:probe]) / probe
    while not whole and n > SMALLEST_PREFIX and per_item * n > RUN_BUDGET_SECONDS:
        n //= 10
    sample = items[:n] if n < len(items) else items
    _seconds(run, prepare, sample)  # warm-up
    runs = [_seconds(run, prepare, sample) for _ in range(repeats)]
    return Timing(statistics.median(runs) / n * 1e9, n)


def floor_of(items: Sequence[str]) -> Timing:
    """''.join(items): a C loop that reads every item once, the floor of any batch path."""
    return measure(lambda _, sample: "".join(sample), items)


# ---- Peers ------------------------------------------------------------------------------

_unavailable: dict[str, str] = {}


def peer(module: str) -> Any | None:
    """The peer library's module, or None (noted once) when it is not installed here."""
    try:
        return importlib.import_module(module)
    except ImportError as error:
        if module not in _unavailable:
            _unavailable[module] = str(error)
            print(f"  note: {module} is not installed, skipped ({error})")
        return None


def unavailable_peers() -> dict[str, str]:
    return dict(_unavailable)


@dataclass(frozen=True)
class Peer:
    """A peer library's structure doing a velt class's job, as its own section and the
    columns section measure it: name (for the targets), label (its row), a factory for a
    new one sized like velt's, and its fastest insert of a list of the item kinds it takes."""

    name: str
    label: str
    new: Callable[[], Any]
    insert: Callable[[Any, Sequence[Any]], object]
    kinds: tuple[str, ...] = ("str", "bytes", "int")
    top: Callable[[Any], object] | None = None  # a TopK peer's read of its k heaviest, timed with the insert

    def takes(self, kind: str) -> bool:
        return kind in self.kinds

    def measure_insert(self, items: Sequence[Any]) -> Timing:
        return measure(self.insert, items, self.new)


def add_each(add_of: Callable[[Any], Callable[[Any], object]]) -> Callable[[Any, Sequence[Any]], None]:
    """An insert for a peer that takes one item per call: add_of(structure) is that call."""

    def insert(structure: Any, items: Sequence[Any]) -> None:
        add = add_of(structure)
        for item in items:
            add(item)

    return insert


# ---- Tables -----------------------------------------------------------------------------


@dataclass
class Entry:
    implementation: str  # who, and through which path
    timing: Timing
    is_velt: bool = False


@dataclass
class Comparison:
    """One job (operation on one input kind) done by velt and by its alternatives."""

    operation: str
    input_kind: str
    entries: list[Entry] = field(default_factory=list)
    floor_timing: Timing | None = None

    def floor(self, implementation: str, timing: Timing | None) -> Timing | None:
        """The floor of this input (a join of the items); velt's rows report their ratio to it."""
        self.floor_timing = timing
        return self.other(implementation, timing)

    def velt(self, implementation: str, timing: Timing) -> Timing:
        self.entries.append(Entry(implementation, timing, is_velt=True))
        return timing

    def other(self, implementation: str, timing: Timing | None) -> Timing | None:
        if timing is not None:
            self.entries.append(Entry(implementation, timing))
        return timing

    def velt_timing(self) -> Timing:
        return next(entry.timing for entry in self.entries if entry.is_velt)


@dataclass
class Table:
    title: str
    unit: str = "ns/item"
    comparisons: list[Comparison] = field(default_factory=list)

    def header(self) -> list[str]:
        return ["operation", "input", "N", "implementation (path)", self.unit, "x velt", "x floor"]

    def compare(self, operation: str, input_kind: str) -> Comparison:
        comparison = Comparison(operation, input_kind)
        self.comparisons.append(comparison)
        return comparison

    def rows(self) -> list[list[str]]:
        """operation, input, N, implementation, ns/item, relative to velt's first entry and to the floor."""
        rows = []
        for comparison in self.comparisons:
            if not comparison.entries:
                continue
            reference = comparison.velt_timing().ns_per_item
            for entry in comparison.entries:
                rows.append(
                    [
                        comparison.operation,
                        comparison.input_kind,
                        f"{entry.timing.n:,}" if entry.timing.n else "-",
                        ("velt " if entry.is_velt else "") + entry.implementation,
                        f"{entry.timing.ns_per_item:,.1f}",
                        f"{entry.timing.ns_per_item / reference:,.2f}",
                        self._floor_ratio(comparison, entry),
                    ]
                )
        return rows

    @staticmethod
    def _floor_ratio(comparison: Comparison, entry: Entry) -> str:
        if not entry.is_velt or comparison.floor_timing is None:
            return ""
        return f"{entry.timing.ns_per_item / comparison.floor_timing.ns_per_item:,.2f}"

    def floor_ratios(self) -> list[list[str]]:
        """Every velt path measured next to a floor: structure, operation, input, ratio to the floor."""
        return [
            [self.title, f"{entry.implementation}", comparison.input_kind,
             f"{entry.timing.ns_per_item / comparison.floor_timing.ns_per_item:,.2f}"]
            for comparison in self.comparisons
            if comparison.floor_timing is not None
            for entry in comparison.entries
            if entry.is_velt
        ]



def format_text(header: list[str], rows: list[list[str]]) -> str:
    widths = [max(len(cell) for cell in column) for column in zip(header, *rows)]
    numeric = [all(_is_number(row[i]) for row in rows) for i in range(len(header))]

    def line(cells: list[str]) -> str:
        return "  ".join(cell.rjust(w) if right else cell.ljust(w) for cell, w, right in zip(cells, widths, numeric))

    return "\n".join([line(header), line(["-" * w for w in widths]), *(line(row) for row in rows)])


def format_markdown(header: list[str], rows: list[list[str]]) -> str:
    def line(cells: list[str]) -> str:
        return "| " + " | ".join(cell.replace("|", "\\|") for cell in cells) + " |"

    align = ["---:" if all(_is_number(row[i]) for row in rows) else "---" for i in range(len(header))]
    return "\n".join([line(header), "|" + "|".join(align) + "|", *(line(row) for row in rows)])


def _is_number(cell: str) -> bool:
    if cell in ("", "-"):
        return True
    try:
        float(cell.replace(",", "").removesuffix(" GB/s").rstrip("x"))
        return True
    except ValueError:
        return False


# ---- Targets ----------------------------------------------------------------------------


@dataclass
class Target:
    """A measured ratio and the bound it must meet ("<=" at most, ">=" at least)."""

    name: str
    measured: float | None  # None when it could not be measured here
    bound: float
    sense: str
    detail: str = ""
    unit: str = "x"  # a ratio, unless it says otherwise

    @property
    def met(self) -> bool:
        if self.measured is None:
            return False
        return self.measured <= self.bound if self.sense == "<=" else self.measured >= self.bound

    def row(self) -> list[str]:
        status = "n/a" if self.measured is None else ("met" if self.met else "MISSED")
        measured = "-" if self.measured is None else f"{self.measured:.2f}{self.unit}"
        return [status, self.name, measured, f"{self.sense} {self.bound:g}{self.unit}", self.detail]


TARGET_HEADER = ["status", "target", "measured", "bound", "how"]


@dataclass
class Results:
    """What a benchmark module hands back: its tables and the targets it measured."""

    tables: list[Table] = field(default_factory=list)
    targets: list[Target] = field(default_factory=list)
    notes: list[str] = field(default_factory=list)


def ratio(numerator: Timing | None, denominator: Timing | None) -> float | None:
    if numerator is None or denominator is None:
        return None
    return numerator.ns_per_item / denominator.ns_per_item


def fastest(timings: Sequence[tuple[str, Timing | None]]) -> tuple[str, Timing] | None:
    present = [(name, timing) for name, timing in timings if timing is not None]
    return min(present, key=lambda pair: pair[1].ns_per_item) if present else None


def against_fastest_peer(name: str, velt: Timing, peers: Sequence[tuple[str, Timing | None]]) -> Target:
    """velt's time over the fastest peer's on the same job: at most 1.0 means velt is as fast."""
    best = fastest(peers)
    if best is None:
        return Target(name, None, 1.0, "<=", "no peer installed")
    return Target(name, velt.ns_per_item / best[1].ns_per_item, 1.0, "<=", f"fastest peer: {best[0]}")
