"""A batch method releases the GIL but keeps its object borrowed: other threads
get a RuntimeError at once on that object and work freely on others."""

import threading

import pytest

from velt import BloomFilter

ITEMS = [f"item-{i}" for i in range(3_000_000)]


def observe_while_updating(busy, probe):
    """Runs busy.update(ITEMS) in a thread and calls probe() repeatedly until it ends.

    Returns the probe's results, or the exceptions it raised, seen while the thread ran."""
    started = threading.Event()

    def work():
        started.set()
        busy.update(ITEMS)

    worker = threading.Thread(target=work)
    worker.start()
    started.wait()
    seen = []
    while worker.is_alive():
        try:
            seen.append(probe())
        except RuntimeError as error:
            seen.append(error)
    worker.join()
    return seen


@pytest.mark.parametrize(
    "probe, message",
    [
        (lambda f: f.contains("x"), "Already mutably borrowed"),
        (lambda f: len(f), "Already mutably borrowed"),
        (lambda f: f.to_bytes(), "Already mutably borrowed"),
        (lambda f: f.add("x"), "Already borrowed"),
        (lambda f: f.update(["x"]), "Already borrowed"),
        (lambda f: f.clear(), "Already borrowed"),
    ],
)
def test_same_object_is_refused_at_once(probe, message):
    busy = BloomFilter(expected_items=len(ITEMS))
    seen = observe_while_updating(busy, lambda: probe(busy))
    errors = [s for s in seen if isinstance(s, RuntimeError)]
    assert errors, "the update finished before any probe ran"
    assert {str(e) for e in errors} == {message}


def test_other_objects_proceed_meanwhile():
    busy = BloomFilter(expected_items=len(ITEMS))
    free = BloomFilter(expected_items=1000)
    progress = []

    def probe():
        try:
            busy.contains("x")
            return "free"
        except RuntimeError:
            free.add("y")  # runs while `busy` is borrowed by the other thread
            progress.append(len(free))
            return "borrowed"

    seen = observe_while_updating(busy, probe)
    assert "borrowed" in seen
    assert progress and progress[-1] == len(free) == seen.count("borrowed")
    assert len(busy) == len(ITEMS)
