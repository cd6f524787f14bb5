"""The command-line tool: ``velt`` (the console script) or ``python -m velt``.

velt distinct FILE... estimates the number of distinct lines (HyperLogLog), velt top
FILE... -k 20 finds the most frequent lines (TopK), velt inspect PATH describes a saved
structure and velt demo runs the demo. The first three are functions returning a JSON
object and its plain-text form.
"""

from __future__ import annotations

import argparse
import contextlib
import inspect
import itertools
import json
import os
import sys
from collections.abc import Callable, Iterator, Sequence
from typing import Any

from velt import _velt

DESCRIPTION = """\
Probabilistic data structures on the command line.

FILE is a path, or - for standard input. Input is read line by line (only the
trailing newline is removed) and fed to the structure in batches. Output is plain
text, or one JSON object with --json. Plain text shows every character of a line
that could act on a terminal (ESC and the other controls, DEL) as a \\xNN escape,
as it shows the bytes of a line that are not UTF-8.
"""

BATCH_LINES = 65536

# Methods that `inspect` calls without arguments when a class has them; it also
# shows every property and len().
FIGURES = (
    "health", "is_saturated", "fill_ratio", "bit_count", "estimate_count", "load_factor",
    "confidence_interval", "unbiased_cardinality", "unbiased_confidence_interval", "standard_error",
    "error_rate", "confidence", "error_bound", "min_count", "is_empty",
)
TOP_SHOWN = 10

# The four bytes that start every saved structure, to its class: each class names its own.
MAGICS = {cls._magic(): cls for cls in (getattr(_velt, name) for name in _velt.__all__)}


class CommandError(Exception):
    """A failure reported on stderr, with exit status 1."""


# ---- Input -----------------------------------------------------------------------------


class Progress(contextlib.AbstractContextManager["Progress"]):
    """Counts the lines read; shows them on stderr when it is a terminal (tqdm's bar
    when tqdm is installed, a plain counter otherwise)."""

    def __init__(self) -> None:
        self.lines = 0
        self.shown = sys.stderr.isatty()
        self.bar = None
        if self.shown:
            try:
                from tqdm import tqdm  # type: ignore[import-untyped]
            except ImportError:
                pass
            else:
                self.bar = tqdm(unit=" lines", unit_scale=True, file=sys.stderr, leave=False)

    def advance(self, count: int) -> None:
        self.lines += count
        if self.bar is not None:
            self.bar.update(count)
        elif self.shown:
            sys.stderr.write(f"\r{self.lines:,} lines")
            sys.stderr.flush()

    def __exit__(self, *exc_info: object) -> None:
        if self.bar is not None:
            self.bar.close()
        elif self.shown and self.lines:
            sys.stderr.write("\r\x1b[K")
            sys.stderr.flush()


def batches(paths: Sequence[str]) -> Iterator[list[bytes]]:
    """The lines of each file in turn, without their trailing newline, in lists of at most BATCH_LINES."""
    for path in paths:
        try:
            handle = sys.stdin.buffer if path == "-" else open(path, "rb")
        except OSError as error:
            raise CommandError(f"{path}: {error.strerror}") from None
        with contextlib.nullcontext(handle) if path == "-" else handle:
            try:
                while batch := list(itertools.islice(handle, BATCH_LINES)):
                    lines = [line[:-1] for line in batch]
                    if not batch[-1].endswith(b"\n"):
                        lines[-1] = batch[-1]
                    yield lines
            except OSError as error:
                raise CommandError(f"{path}: {error.strerror}") from None


def feed(update: Callable[[list[bytes]], None], paths: Sequence[str]) -> int:
    """Passes every batch of lines to `update`; returns the number of lines."""
    with Progress() as progress:
        for lines in batches(paths):
            update(lines)
            progress.advance(len(lines))
    return progress.lines


def build(cls: type, **arguments: Any) -> Any:
    try:
        return cls(**arguments)
    except ValueError as error:
        raise CommandError(str(error)) from None


def save(structure: Any, path: str | None) -> None:
    if path is not None:
        try:
            structure.save(path)
        except ValueError as error:
            raise CommandError(f"{path}: {error}") from None


# ---- Commands: each returns (JSON object, plain text) ------------------------------------


def distinct(args: argparse.Namespace) -> tuple[dict[str, Any], str]:
    counter = build(_velt.HyperLogLog, precision=args.precision)
    lines = feed(counter.update, args.files)
    save(counter, args.save)
    estimates = {
        "unbiased": (counter.unbiased_cardinality(), counter.unbiased_confidence_interval(0.95)),
        "classic": (counter.cardinality(), counter.confidence_interval(0.95)),
    }
    estimator = "classic" if args.classic else "unbiased"
    estimate, (low, high) = estimates[estimator]
    result = {
        "distinct": estimate,
        "interval_95": [low, high],
        "lines": lines,
        "precision": counter.precision,
        "standard_error": counter.standard_error,
        "estimator": estimator,
        "estimates": {name: {"distinct": value, "interval_95": list(interval)} for name, (value, interval) in estimates.items()},
    }
    text = (
        f"distinct lines  {estimate:,.0f}\n"
        f"95% interval    {low:,.0f} .. {high:,.0f}\n"
        f"lines read      {lines:,}\n"
        f"precision       {counter.precision} (standard error {counter.standard_error:.2%},"
        f" {counter.size_in_bytes:,} bytes)"
    )
    return result, text


# TopK keeps text, and lines are bytes: each line is counted as a text that stands
# for its bytes alone. A UTF-8 line is its own text (so that a saved tracker holds the
# lines themselves); the rare others are tagged, after a NUL that no untagged text
# starts with: "\0t" before a UTF-8 line that starts with NUL, "\0b" before the
# Latin-1 text of a line that is not UTF-8 (one character per byte).
def line_item(line: bytes) -> str:
    try:
        text = line.decode()
    except UnicodeDecodeError:
        return "\0b" + line.decode("latin-1")
    return "\0t" + text if text.startswith("\0") else text


def item_line(item: str) -> str:
    """The line an item stands for, as text: the bytes that are not UTF-8 as \\xNN escapes."""
    if item.startswith("\0b"):
        return item[2:].encode("latin-1").decode("utf-8", "backslashreplace")
    return item[2:] if item.startswith("\0t") else item


def top(args: argparse.Namespace) -> tuple[dict[str, Any], str]:
    counters = args.counters or max(10 * args.k, 1000)
    tracker = build(_velt.TopK, k=counters)
    lines = feed(lambda batch: tracker.update([line_item(line) for line in batch]), args.files)
    save(tracker, args.save)
    rows = [(item_line(item), count, error) for item, count, error in tracker.top_with_error(args.k + 1)]
    rows, following = rows[: args.k], rows[args.k :]
    # No line outside the list has a true count above `bar`: the next tracked count, or
    # the smallest one when the tracker is full (nothing was evicted otherwise). A line
    # whose count - error reaches it is guaranteed to be among the top k.
    if following:
        bar = following[0][1]
    else:
        bar = tracker.min_count() if len(tracker) == counters else 0
    result = {
        "top": [{"line": line, "count": count, "error": error, "guaranteed": count - error >= bar}
                for line, count, error in rows],
        "lines": lines,
        "counters": counters,
        "outside_count_at_most": bar,
    }
    width = max([len(f"{count:,}") for _, count, _ in rows] + [5])
    error_width = max([len(f"{error:,}") for _, _, error in rows] + [5])
    table = [f"{'count':>{width}}  {'error':>{error_width}}  line"]
    table += [f"{count:>{width},}  {error:>{error_width},}  {shown(line)}" for line, count, error in rows]
    table.append(f"{lines:,} lines read, {counters:,} counters; each true count is within [count - error, count]")
    if rows and all(count - error < bar for _, count, error in rows):
        table.append(
            f"no line is guaranteed to be among the top {args.k}: each count - error is below {bar:,}, the count a line"
            f" outside the list may have; more --counters (now {counters:,}) give smaller errors"
        )
    return result, "\n".join(table)


def figures(structure: Any) -> dict[str, Any]:
    """Every property, len() and the FIGURES methods the structure's class has."""
    cls = type(structure)
    values = {
        name: getattr(structure, name)
        for name, member in vars(cls).items()
        if not name.startswith("_") and inspect.isgetsetdescriptor(member)
    }
    if hasattr(cls, "__len__"):
        # len() cannot exceed sys.maxsize; a saturated Count-Min total (2**64 - 1) does.
        with contextlib.suppress(OverflowError):
            values["len"] = len(structure)
    for name in FIGURES:
        method = getattr(structure, name, None)
        if name not in values and callable(method):
            with contextlib.suppress(TypeError, ValueError):
                values[name] = method()
    return values


def shown(text: str) -> str:
    """A line, item or message as printed in plain text: every character that is not printable
    (ESC and the other controls below 0x20, DEL, the C1 controls, line and paragraph separators,
    bidirectional overrides) as a backslash escape, as the bad bytes of a non-UTF-8 line
    already are, so that no input can act on the terminal."""
    return text if text.isprintable() else "".join(c if c.isprintable() else escaped(c) for c in text)


def escaped(character: str) -> str:
    code = ord(character)
    return f"\\x{code:02x}" if code < 0x100 else f"\\u{code:04x}" if code < 0x10000 else f"\\U{code:08x}"


def json_text(result: dict[str, Any]) -> str:
    """The object as JSON that reads back exactly, with no character that can act on a terminal:
    json.dumps escapes the controls below 0x20; the other non-printable characters, which it
    leaves as they are (and which can only stand inside strings), become \\u escapes here."""
    text = json.dumps(result, indent=2, ensure_ascii=False)
    return "".join(c if c.isprintable() or c == "\n" else json_escape(c) for c in text)


def json_escape(character: str) -> str:
    code = ord(character)
    if code < 0x10000:
        return f"\\u{code:04x}"
    code -= 0x10000  # a surrogate pair
    return f"\\u{0xD800 + (code >> 10):04x}\\u{0xDC00 + (code & 0x3FF):04x}"


def describe(value: Any) -> str:
    if isinstance(value, bool) or isinstance(value, str):
        return str(value)
    if isinstance(value, int):
        return f"{value:,}"
    if isinstance(value, float):
        return f"{value:,.6g}"
    if isinstance(value, tuple):
        return " .. ".join(describe(v) for v in value)
    return repr(value)


def inspect_file(args: argparse.Namespace) -> tuple[dict[str, Any], str]:
    path = args.path
    try:
        data = sys.stdin.buffer.read() if path == "-" else open(path, "rb").read()
    except OSError as error:
        raise CommandError(f"{path}: {error.strerror}") from None
    magic = data[:4]
    cls = MAGICS.get(magic)
    if cls is None:
        raise CommandError(f"{path}: not a saved velt structure (it starts with {magic!r})")
    name = cls.__name__
    try:
        structure = cls.from_bytes(data)
    except ValueError as error:
        raise CommandError(f"{path}: {error}") from None

    values = figures(structure)
    result: dict[str, Any] = {
        "path": path,
        "class": name,
        "magic": magic.decode(),
        "file_size": len(data),
        "repr": repr(structure),
        "figures": values,
    }
    text = [f"{shown(path)}: {name} (magic {magic.decode()}, {len(data):,} bytes)", f"  {structure!r}"]
    width = max(map(len, values), default=0)
    text += [f"  {key:<{width}} {describe(value)}" for key, value in values.items()]
    if hasattr(structure, "top_with_error"):
        rows = structure.top_with_error(TOP_SHOWN)
        result["top"] = [{"item": item, "count": count, "error": error} for item, count, error in rows]
        text.append(f"  top {len(rows)} (count, error, item):")
        text += [f"    {count:>12,}  {error:>10,}  {shown(item)}" for item, count, error in rows]
    return result, "\n".join(text)


def demo(args: argparse.Namespace) -> None:
    from velt import demo as report

    report.run(items=args.items, seed=args.seed)


# ---- Entry point -------------------------------------------------------------------------


def positive(text: str) -> int:
    value = int(text)
    if value < 1:
        raise argparse.ArgumentTypeError(f"must be at least 1, not {value}")
    return value


def parser() -> argparse.ArgumentParser:
    main_parser = argparse.ArgumentParser(
        prog="velt", description=DESCRIPTION, formatter_class=argparse.RawDescriptionHelpFormatter
    )
    commands = main_parser.add_subparsers(dest="command", required=True, metavar="COMMAND")

    def command(name: str, run: Callable[..., Any], help: str, reads_files: bool = False) -> argparse.ArgumentParser:
        sub = commands.add_parser(name, help=help, description=help)
        sub.set_defaults(run=run)
        if reads_files:
            sub.add_argument("files", nargs="+", metavar="FILE", help="a file to read, or - for standard input")
            sub.add_argument("--save", metavar="PATH", help="also save the structure to PATH (see velt inspect)")
        if run is not demo:
            sub.add_argument("--json", action="store_true", help="print one JSON object")
        return sub

    sub = command("distinct", distinct, "estimate the number of distinct lines (HyperLogLog)", reads_files=True)
    sub.add_argument("--precision", type=int, default=14,
                     help="2^precision one-byte registers; standard error 1.04/sqrt(2^precision) (default 14: 0.81%%)")

    sub.add_argument("--classic", action="store_true",
                     help="report the classic estimate (cardinality(): linear counting below 2.5 x 2^precision, the raw"
                          " estimate above) instead of the unbiased one, which has no bias where the two meet")

    sub = command("top", top, "the most frequent lines, with counts and error bounds (TopK)", reads_files=True)
    sub.add_argument("-k", type=positive, default=20, help="how many lines to show (default 20)")
    sub.add_argument("--counters", type=positive,
                     help="lines tracked; more give smaller errors (default 10 x k, at least 1000)")

    command("inspect", inspect_file, "class, repr, size and key figures of a saved structure").add_argument(
        "path", metavar="PATH", help="a file written by save() or to_bytes(), or - for standard input")

    sub = command("demo", demo, "run every structure on a generated stream, against the exact answers")
    sub.add_argument("--items", type=positive, default=1_000_000, help="stream length (default 1,000,000)")
    sub.add_argument("--seed", type=int, default=2026, help="seed of the generated stream")
    return main_parser


def main(argv: Sequence[str] | None = None) -> int:
    args = parser().parse_args(argv)
    try:
        outcome = args.run(args)
        if outcome is not None:
            result, text = outcome
            print(json_text(result) if args.json else text)
        sys.stdout.flush()
    except CommandError as error:
        print(f"velt {args.command}: {shown(str(error))}", file=sys.stderr)
        return 1
    except KeyboardInterrupt:
        return 130
    except BrokenPipeError:
        # The reader went away (as with `| head`): say nothing more, not even at exit.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return 1
    return 0
