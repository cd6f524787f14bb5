"""The command-line tool, run as a subprocess on small generated files: outputs and exit statuses."""

import json
import pathlib
import random
import re
import subprocess
import sys
from collections import Counter

import pytest

from velt import _velt

DATA = pathlib.Path(__file__).resolve().parents[1] / "data"


def velt(*args, stdin=None):
    return subprocess.run([sys.executable, "-m", "velt", *map(str, args)], input=stdin, capture_output=True)


def json_of(*args, stdin=None):
    run = velt(*args, "--json", stdin=stdin)
    assert run.returncode == 0 and run.stderr == b"", run.stderr  # no progress unless stderr is a terminal
    return json.loads(run.stdout)


@pytest.fixture(scope="module")
def lines(tmp_path_factory):
    """A file of 20,000 lines over 3,000 distinct values; its path and exact line counts."""
    rng = random.Random(7)
    values = [f"user-{rng.randrange(3000)}" for _ in range(20_000)]
    path = tmp_path_factory.mktemp("cli") / "lines.txt"
    path.write_text("\n".join(values) + "\n")
    return path, Counter(values)


@pytest.mark.parametrize("precision", [10, 14])
def test_distinct_reports_the_unbiased_estimate_or_the_classic_one_and_carries_both(lines, precision):
    path, truth = lines
    counter = _velt.HyperLogLog(precision=precision)
    counter.update(path.read_bytes().splitlines())
    both = {"unbiased": (counter.unbiased_cardinality(), list(counter.unbiased_confidence_interval())),
            "classic": (counter.cardinality(), list(counter.confidence_interval()))}
    for flags, name in [((), "unbiased"), (("--classic",), "classic")]:
        result = json_of("distinct", path, "--precision", precision, *flags)
        assert (result["estimator"], result["distinct"], result["interval_95"]) == (name, *both[name])
        assert {key: (value["distinct"], value["interval_95"]) for key, value in result["estimates"].items()} == both
        low, high = result["interval_95"]
        assert low <= len(truth) <= high
        assert (result["lines"], result["precision"]) == (20_000, precision)
        text = velt("distinct", path, "--precision", precision, *flags).stdout.decode()
        assert text.startswith(f"distinct lines  {result['distinct']:,.0f}\n95% interval    {low:,.0f} .. {high:,.0f}\n")


def test_files_and_standard_input_are_one_stream(lines):
    path, _ = lines
    once = json_of("distinct", path)
    assert json_of("distinct", "-", stdin=path.read_bytes()) == once
    assert json_of("distinct", path, "-", stdin=path.read_bytes()) == {**once, "lines": 40_000}


def test_top_is_exact_when_few_lines_dominate():
    stream = ["a"] * 500 + ["b"] * 300 + ["c"] * 100 + [f"rare-{i}" for i in range(50)]
    random.Random(1).shuffle(stream)
    stdin = "\n".join(stream).encode()
    result = json_of("top", "-", "-k", 3, stdin=stdin)
    assert [(row["line"], row["count"], row["error"]) for row in result["top"]] == [("a", 500, 0), ("b", 300, 0), ("c", 100, 0)]
    text = velt("top", "-", "-k", 1, stdin=stdin).stdout.decode()
    assert text.splitlines()[1].split() == ["500", "0", "a"] and "guaranteed" not in text


@pytest.mark.parametrize("head, counters, warned", [
    (0, 1000, True),    # 3,000 lines seen once each, 1,000 counters: every count - error is below the next count
    (2000, 1000, False),  # one line stands out: it is guaranteed, even if the rest are not
    (0, 3000, False),   # a counter for every line: exact counts
])
def test_top_says_when_no_line_is_guaranteed(head, counters, warned):
    stdin = "\n".join(["a"] * head + [f"line-{i}" for i in range(3000)]).encode()
    text = velt("top", "-", "-k", 5, "--counters", counters, stdin=stdin).stdout.decode()
    warning = "no line is guaranteed to be among the top 5: each count - error is below"
    assert (warning in text and f"more --counters (now {counters:,})" in text) == warned
    result = json_of("top", "-", "-k", 5, "--counters", counters, stdin=stdin)
    bar = result["outside_count_at_most"]
    assert [row["guaranteed"] for row in result["top"]] == [row["count"] - row["error"] >= bar for row in result["top"]]
    assert (not any(row["guaranteed"] for row in result["top"])) == warned


# A control character, DEL, a C1 control (U+0080 .. U+009F) or a right-to-left override, raw in the output.
TERMINAL_ACTIONS = re.compile(rb"[\x00-\x09\x0b-\x1f\x7f]|\xc2[\x80-\x9f]|\xe2\x80\xae")


def test_no_input_byte_acts_on_the_terminal():
    controls = [c for c in [*range(0x20), 0x7F] if c != 0x0A]
    raw = [b"<%c>" % c for c in controls] + [
        b"\x1b]0;title\x07", b"\x1b[2J\x1b[31mred", b"\xff\x1b\xfe", "\u202e\u0085\u009b".encode(), b"plain \\x1b"]
    stdin = b"\n".join(raw)
    plain = velt("top", "-", "-k", 100, stdin=stdin).stdout
    assert not TERMINAL_ACTIONS.search(plain)
    rows = plain.decode().splitlines()[1:-1]
    assert {row[14:] for row in rows} == {f"<\\x{c:02x}>" for c in controls} | {
        "\\x1b]0;title\\x07", "\\x1b[2J\\x1b[31mred", "\\xff\\x1b\\xfe", "\\u202e\\x85\\x9b", "plain \\x1b"}
    exact = velt("top", "-", "-k", 100, "--json", stdin=stdin).stdout
    assert not TERMINAL_ACTIONS.search(exact)
    assert {row["line"] for row in json.loads(exact)["top"]} == {line.decode("utf-8", "backslashreplace") for line in raw}


def test_lines_lose_only_their_newline():
    result = json_of("top", "-", stdin=b"x \nx\n\n x\t\nx\r\n\xff\nx")
    assert {row["line"]: row["count"] for row in result["top"]} == {"x": 2, "x ": 1, "": 1, " x\t": 1, "x\r": 1, "\\xff": 1}


def test_top_counts_lines_by_their_bytes():
    """Lines that print alike are still apart: escapes are made for printing only."""
    lines = [b"\\xff", b"\xff", b"\xff", b"\x00b\\xff", b"\x00b\xff", b"\x00t", "\u00ff".encode()]
    rows = json_of("top", "-", stdin=b"\n".join(lines))["top"]
    assert sorted((row["line"], row["count"]) for row in rows) == sorted(
        [("\\xff", 1), ("\\xff", 2), ("\x00b\\xff", 1), ("\x00b\\xff", 1), ("\x00t", 1), ("\u00ff", 1)])


@pytest.mark.parametrize("path", sorted(DATA.glob("*.bin")), ids=lambda p: p.stem)
def test_inspect_names_the_class_of_a_saved_structure(path):
    result = json_of("inspect", path)
    structure = getattr(_velt, result["class"]).from_bytes(path.read_bytes())
    assert (result["repr"], result["file_size"]) == (repr(structure), path.stat().st_size)
    assert result["figures"]["size_in_bytes"] == structure.size_in_bytes
    if result["class"] == "HyperLogLog":  # both estimates, side by side
        assert result["figures"]["unbiased_cardinality"] == structure.unbiased_cardinality()
        assert result["figures"]["unbiased_confidence_interval"] == list(structure.unbiased_confidence_interval())
    text = velt("inspect", path).stdout.decode()
    assert text.startswith(f"{path}: {result['class']} (magic {result['magic']}") and repr(structure) in text


@pytest.mark.parametrize("command, cls", [("distinct", "HyperLogLog"), ("top", "TopK")])
def test_saved_structure_can_be_inspected(lines, tmp_path, command, cls):
    saved = tmp_path / "saved.velt"
    assert velt(command, lines[0], "--save", saved).returncode == 0
    assert json_of("inspect", saved)["repr"] == repr(getattr(_velt, cls).load(str(saved)))


def damaged(data):
    flipped = bytearray(data)
    flipped[len(data) // 2] ^= 1
    return bytes(flipped)


@pytest.mark.parametrize("damage", [damaged, lambda data: data[:-3]], ids=["flipped", "truncated"])
def test_inspect_reports_a_damaged_file(tmp_path, damage):
    data = damage((DATA / "hyperloglog.bin").read_bytes())
    with pytest.raises(ValueError) as refusal:
        _velt.HyperLogLog.from_bytes(data)
    (tmp_path / "bad.velt").write_bytes(data)
    run = velt("inspect", tmp_path / "bad.velt")
    assert (run.returncode, run.stdout) == (1, b"")
    assert run.stderr.decode() == f"velt inspect: {tmp_path / 'bad.velt'}: {refusal.value}\n"


@pytest.mark.parametrize("args, message", [
    (["inspect", "missing.velt"], "missing.velt: No such file or directory"),
    (["distinct", "missing.txt"], "missing.txt: No such file or directory"),
    (["inspect", "-"], "not a saved velt structure"),
    (["distinct", "-", "--precision", "99"], "precision"),
    (["distinct", "gone\x1b[2J.txt"], "gone\\x1b[2J.txt: No such file or directory"),
])
def test_errors_go_to_stderr_with_status_1(args, message):
    run = velt(*args, stdin=b"plain text\n")
    assert (run.returncode, run.stdout) == (1, b"")
    assert message in run.stderr.decode()
