import pytest

from velt import BloomFilter


@pytest.fixture
def filled_bloom():
    """A small filter holding a few hundred items, seed 7."""
    bloom = BloomFilter(expected_items=500, false_positive_rate=0.02, seed=7)
    bloom.update(f"item-{i}" for i in range(300))
    return bloom


@pytest.fixture(scope="session")
def known_answer_files():
    """The known-answer binary files in tests/data, by the name of the class that reads them."""
    import pathlib

    from velt import _velt

    files = {}
    for path in sorted((pathlib.Path(__file__).resolve().parents[1] / "data").glob("*.bin")):
        data = path.read_bytes()
        for name in _velt.__all__:
            try:
                getattr(_velt, name).from_bytes(data)
            except ValueError:
                continue
            files[name] = path
    return files
