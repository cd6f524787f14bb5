"""A batch method releases the GIL but keeps its object borrowed: other threads get a
RuntimeError at once on that object (test_stress: and work freely on others)."""

import threading

import pytest

from velt import BloomFilter

ITEMS = [f"item-{i}" for i in range(3_000_000)]


def probe_while_updating(busy, probe):
    """Calls probe() repeatedly while another thread runs busy.update(ITEMS); what it gave or raised."""
    started = threading.Event()
    worker = threading.Thread(target=lambda: (started.set(), busy.update(ITEMS)))
    worker.start()
    started.wait()
    seen = []
    while worker.is_alive():
        try:
            seen.append(probe())
        except RuntimeError as error:
            seen.append(str(error))
    worker.join()
    return seen


@pytest.mark.parametrize("probe, message", [
    (lambda f: f.contains("x"), "Already mutably borrowed"), (lambda f: len(f), "Already mutably borrowed"),
    (lambda f: f.add("x"), "Already borrowed"), (lambda f: f.clear(), "Already borrowed"),
])
def test_same_object_is_refused_at_once(probe, message):
    busy = BloomFilter(expected_items=len(ITEMS))
    refusals = [s for s in probe_while_updating(busy, lambda: probe(busy)) if isinstance(s, str)]
    assert refusals and set(refusals) == {message}
