"""A batch method releases the GIL but keeps its object borrowed: other threads get a
RuntimeError at once on that object (test_stress: and work freely on others)."""

import threading

import pytest

from velt import BloomFilter

ITEMS = [f"item-{i}" for i in range(3_000_000)]


def probe_while_updating(busy, probe, work=BloomFilter.update):
    """Calls probe() repeatedly while another thread runs work(busy, ITEMS); what it gave or raised."""
    started = threading.Event()
    worker = threading.Thread(target=lambda: (started.set(), work(busy, ITEMS)))
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


@pytest.mark.parametrize("work, probe, message", [
    (BloomFilter.update, lambda f: f.contains("x"), "Already mutably borrowed"),
    (BloomFilter.update, lambda f: len(f), "Already mutably borrowed"),
    (BloomFilter.update, lambda f: f.add("x"), "Already borrowed"),
    (BloomFilter.update, lambda f: f.clear(), "Already borrowed"),
    (BloomFilter.query_many, lambda f: f.add("x"), "Already borrowed"),  # a query's shared borrow keeps changes out
])
def test_same_object_is_refused_at_once(work, probe, message):
    busy = BloomFilter(expected_items=len(ITEMS))
    refusals = [s for s in probe_while_updating(busy, lambda: probe(busy), work) if isinstance(s, str)]
    assert refusals and set(refusals) == {message}
