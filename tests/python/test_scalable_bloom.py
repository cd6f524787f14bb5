"""ScalableBloomFilter: the growth rule against an independent reference, statistics, unallocatable slices."""

import json
import math

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from velt import ScalableBloomFilter
from helpers import MASK, fields

DEFAULTS = {"initial_capacity": 1000, "initial_fpr": 0.01, "growth_ratio": 2.0, "fpr_ratio": 0.5, "seed": 0}


def reference_chain(initial_capacity, false_positive_rate, growth_ratio, fpr_ratio, slices):
    """(capacity, fpr, num_bits, num_hashes) of the first `slices` slices."""
    chain, capacity, rate = [], initial_capacity, false_positive_rate * (1 - fpr_ratio)
    for _ in range(slices):
        num_bits = math.ceil(math.log(rate) * capacity / -0.4804530139182014)
        chain.append((capacity, rate, num_bits, max(1, math.floor(num_bits / capacity * 0.6931471805599453 + 0.5))))
        capacity, rate = int(growth_ratio * capacity), rate * fpr_ratio
    return chain


def slice_record(num_bits=64, num_hashes=1, count=0, capacity=5, fpr=0.005, bits=None):
    return {"bits": [0] * math.ceil(num_bits / 64) if bits is None else bits, "num_bits": num_bits,
            "num_hashes": num_hashes, "count": count, "capacity": capacity, "fpr": fpr}


def load(slices, **changes):
    return ScalableBloomFilter.from_json(json.dumps({"slices": slices, **DEFAULTS, **changes}))


def fill_until(f, num_slices):
    value = 0
    while f.num_slices < num_slices:
        f.add_hash(value)
        value += 1


@pytest.mark.parametrize("config", [(1000, 0.01, 2.0, 0.5), (3, 0.01, 1.5, 0.5), (1, 0.5, 1.0001, 0.1), (7, 1e-9, 2.5, 0.01)])
def test_chain_follows_the_growth_rule(config):
    f = ScalableBloomFilter(*config)
    fill_until(f, 5)
    slices = fields(f)["slices"]
    assert [(s["capacity"], s["fpr"], s["num_bits"], s["num_hashes"]) for s in slices] == reference_chain(*config, 5)
    assert [len(s["bits"]) for s in slices] == [math.ceil(s["num_bits"] / 64) for s in slices]


def test_a_new_slice_starts_when_the_last_holds_its_capacity_and_present_items_are_not_stored():
    f = ScalableBloomFilter()
    value = 0
    while len(f) < 1000:
        f.add_hash(value)
        value += 1
    assert f.num_slices == 1
    while f.contains_hash(value):
        value += 1
    f.add_hash(value)
    assert (f.num_slices, len(f), f.capacity(), f.size_in_bytes) == (2, 1001, 3000, 4504)
    assert f.false_positive_rate() == 0.00748749999999998
    before = f.to_bytes()
    f.add_hash(value)
    f.add(next(f"probe-{i}" for i in range(100_000) if f.contains(f"probe-{i}")))  # a false positive
    assert f.to_bytes() == before


@pytest.mark.parametrize(
    "growth_ratio, last_slice",
    [(4.0, {"capacity": 2**62, "count": 2**62 - 2, "fpr": 0.005}),  # the next capacity saturates
     (2.0, {"capacity": 1000, "count": 998, "fpr": 5e-324})],  # the next rate rounds to 0
)
def test_an_unallocatable_next_slice_raises_memory_error_and_keeps_every_item(growth_ratio, last_slice):
    f = load([slice_record(num_bits=4096, num_hashes=3, **last_slice)], growth_ratio=growth_ratio)
    expected = f.copy()
    expected.update(["a", "b"])
    with pytest.raises(MemoryError):
        f.update(["a", "b", "c", "d"])  # keeps the items before the one that needed the new slice
    for insert in (lambda: f.add("c"), lambda: f.add_hash(1), lambda: f.update_hashes([1])):
        with pytest.raises(MemoryError):
            insert()
    assert f.to_bytes() == expected.to_bytes()


def test_a_chain_without_slices_starts_its_first_slice_on_insertion():
    f = load([], initial_capacity=50)
    assert (f.num_slices, len(f), f.capacity(), f.false_positive_rate()) == (0, 0, 0, 0.0) and not f.contains("x")
    f.add("x")
    fresh = ScalableBloomFilter(initial_capacity=50)
    fresh.add("x")
    assert f.to_bytes() == fresh.to_bytes()


def test_loaded_chains_grow_from_their_last_slice_and_report_its_rates():
    f = load([slice_record(count=5, capacity=5, fpr=0.03)], growth_ratio=2.5, fpr_ratio=0.1)
    f.add("new")
    assert [(s["capacity"], s["fpr"], s["count"]) for s in fields(f)["slices"]][1] == (12, 0.03 * 0.1, 1)
    two = load([slice_record(fpr=0.006), slice_record(fpr=0.005)])
    assert two.false_positive_rate() == 1 - (1 - 0.006) * (1 - 0.005) and two.health() == "warning"


items = st.lists(st.one_of(st.text(max_size=12), st.binary(max_size=12), st.integers()), max_size=200)
configs = st.tuples(st.integers(1, 40), st.floats(0.001, 0.5), st.floats(1.05, 4.0), st.floats(0.05, 0.95),
                    st.integers(0, MASK))


@settings(max_examples=50, deadline=None)
@given(configs, items, items)
def test_no_false_negatives_and_growth_goes_on_alike_after_round_trips(config, first, second):
    f = ScalableBloomFilter(*config)
    f.update(first)
    copies = [ScalableBloomFilter.from_bytes(f.to_bytes()), ScalableBloomFilter.from_json(f.to_json())]
    for g in [f] + copies:
        g.update(second)
        assert g.to_bytes() == f.to_bytes() and all(g.query_many(first + second))
