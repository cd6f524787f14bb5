import pytest

from velt import BloomFilter


@pytest.fixture
def filled_bloom():
    """A small filter holding a few hundred items, seed 7."""
    bloom = BloomFilter(expected_items=500, false_positive_rate=0.02, seed=7)
    bloom.update(f"item-{i}" for i in range(300))
    return bloom
