"""Every class pickles, copies and crosses process boundaries through its binary form."""

import copy
import copyreg
import multiprocessing
import pickle

import pytest

import velt
from velt import _pickle, _velt


@pytest.fixture
def structure(request, known_answer_files):
    """The class's known-answer structure, or else a default instance holding a few items."""
    cls = getattr(_velt, request.param)
    if request.param in known_answer_files:
        return cls.load(str(known_answer_files[request.param]))
    instance = cls()
    instance.update(["a", "b", "b", "c"])
    return instance


every_class = pytest.mark.parametrize("structure", _velt.__all__, indirect=True)


def same(a, b):
    return type(a) is type(b) and a.to_bytes() == b.to_bytes() and repr(a) == repr(b)


@every_class
@pytest.mark.parametrize("protocol", range(pickle.HIGHEST_PROTOCOL + 1))
def test_pickle_round_trip(structure, protocol):
    data = pickle.dumps(structure, protocol=protocol)
    assert same(pickle.loads(data), structure)
    # The pickle names the package's reconstructor, not the native module.
    assert b"velt._pickle" in data and b"restore" in data


@every_class
def test_copies_are_equal_and_independent(structure):
    original = structure.to_bytes()
    for duplicate in (copy.copy(structure), copy.deepcopy(structure)):
        assert duplicate is not structure and same(duplicate, structure)
        duplicate.clear()
        assert duplicate.to_bytes() != original
        assert structure.to_bytes() == original


@pytest.mark.parametrize("name", _velt.__all__)
def test_every_class_is_registered(name):
    assert copyreg.dispatch_table[getattr(velt, name)] is _pickle.reduce


@pytest.mark.parametrize("name", ["BloomFilter", "__loader__", "nothing"])
def test_restore_refuses_what_is_not_a_class_or_its_data(name):
    with pytest.raises(ValueError):
        _pickle.restore(name, b"VTXX not a structure")


def test_spawned_workers_receive_and_return_structures(known_answer_files):
    structures = [getattr(_velt, name).load(str(path)) for name, path in known_answer_files.items()]
    assert len(structures) >= 5
    with multiprocessing.get_context("spawn").Pool(2) as pool:
        returned = pool.map(copy.deepcopy, structures)
    assert all(same(a, b) for a, b in zip(returned, structures))
