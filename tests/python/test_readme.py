"""Every ```python block of README.md runs as it stands, in a fresh namespace and an
empty working directory."""

import re
from pathlib import Path

import pytest

import velt

README = Path(__file__).parents[2] / "README.md"


def python_blocks(text):
    """(line number, nearest heading, code) for each ```python block."""
    blocks, heading = [], "top"
    fence = re.compile(r"^```python\n(.*?)^```$", re.S | re.M)
    for match in fence.finditer(text):
        before = text[: match.start()]
        headings = re.findall(r"^#+ (.+)$", before, re.M)
        heading = headings[-1] if headings else heading
        blocks.append((before.count("\n") + 2, heading, match.group(1)))
    return blocks


BLOCKS = python_blocks(README.read_text(encoding="utf-8"))
# The libraries whose columns the README shows: a snippet that needs a missing one is skipped.
COLUMN_LIBRARIES = {"pyarrow", "polars", "pandas", "numpy", "duckdb"}


@pytest.mark.parametrize("line, heading, code", BLOCKS, ids=[f"line {line}: {heading}" for line, heading, _ in BLOCKS])
def test_snippet_runs(line, heading, code, tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    # Padded so that a traceback names the line of README.md.
    try:
        exec(compile("\n" * (line - 1) + code, str(README), "exec"), {"__name__": "readme"})
    except ModuleNotFoundError as missing:
        if missing.name not in COLUMN_LIBRARIES:
            raise
        pytest.skip(f"{missing.name} is not installed")


def test_every_class_has_a_snippet():
    used = " ".join(code for _, _, code in BLOCKS)
    assert [name for name in velt.__all__ if not re.search(rf"\b{name}\(", used)] == []
