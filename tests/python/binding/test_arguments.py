"""Argument binding and parameter conversion, shared by every class."""

import array
import pathlib

import pytest

from velt import BloomFilter


@pytest.fixture
def bloom():
    return BloomFilter(num_bits=1024, num_hashes=3)


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda b: b.add(), "BloomFilter.add() missing 1 required positional argument: 'item'"),
        (lambda b: b.add(1, 2), "BloomFilter.add() takes 1 positional arguments but 2 were given"),
        (lambda b: b.copy(1), "BloomFilter.copy() takes 0 positional arguments but 1 was given"),
        (lambda b: b.add(item=1, other=2), "BloomFilter.add() got an unexpected keyword argument 'other'"),
        (lambda b: b.add(1, item=2), "BloomFilter.add() got multiple values for argument 'item'"),
        (lambda b: BloomFilter(1, 0.1, 2, 3, 4, 5),
         "BloomFilter.__new__() takes from 0 to 5 positional arguments but 6 were given"),
        (lambda b: BloomFilter(bits=1), "BloomFilter.__new__() got an unexpected keyword argument 'bits'"),
        (lambda b: BloomFilter(100, expected_items=5),
         "BloomFilter.__new__() got multiple values for argument 'expected_items'"),
        (lambda b: BloomFilter.from_bytes(), "BloomFilter.from_bytes() missing 1 required positional argument: 'data'"),
    ],
)
def test_binding_errors(bloom, call, message):
    with pytest.raises(TypeError) as error:
        call(bloom)
    assert str(error.value) == message


def test_keyword_arguments_bind_like_positional(bloom):
    bloom.add(item="x")
    assert bloom.contains(item="x")
    assert BloomFilter(seed=3, num_bits=100).seed == 3


@pytest.mark.parametrize(
    "kwargs, error, message",
    [
        ({"num_bits": 100, "seed": None}, TypeError, "argument 'seed': "),
        ({"num_bits": 100, "seed": 1.0}, TypeError, "argument 'seed': "),
        ({"num_bits": 100, "seed": "1"}, TypeError, "argument 'seed': "),
        ({"num_bits": -1}, OverflowError, None),
        ({"num_bits": 2**64}, OverflowError, None),
        ({"num_bits": 100, "num_hashes": 2**32}, OverflowError, "out of range integral type conversion attempted"),
        ({"num_bits": 100, "num_hashes": -1}, OverflowError, "out of range integral type conversion attempted"),
        ({"num_bits": 100, "false_positive_rate": None}, TypeError, "argument 'false_positive_rate': "),
        ({"num_bits": 100, "false_positive_rate": "0.1"}, TypeError, "argument 'false_positive_rate': "),
    ],
)
def test_setting_conversions(kwargs, error, message):
    with pytest.raises(error) as raised:
        BloomFilter(**kwargs)
    if message:
        assert str(raised.value).startswith(message)
    if error is OverflowError and message is None:
        assert not str(raised.value).startswith("argument")


def test_none_means_omitted_where_the_default_is_none():
    assert BloomFilter(expected_items=1000, num_bits=None).num_bits == 9586
    assert BloomFilter(num_bits=64, num_hashes=None).num_hashes == 7


def test_index_objects_and_floats_convert():
    class Index:
        def __index__(self):
            return 640

    bloom = BloomFilter(num_bits=Index(), num_hashes=True, false_positive_rate=1 / 3, seed=Index())
    assert (bloom.num_bits, bloom.num_hashes, bloom.seed) == (640, 1, 640)


@pytest.mark.parametrize(
    "value, error, message",
    [
        (-1, OverflowError, None),
        (2**64, OverflowError, None),
        (1.0, TypeError, "argument 'hash': 'float' object cannot be interpreted as an integer"),
        ("1", TypeError, "argument 'hash': "),
    ],
)
def test_hash_conversion(bloom, value, error, message):
    with pytest.raises(error) as raised:
        bloom.add_hash(value)
    if message:
        assert str(raised.value).startswith(message)
    assert len(bloom) == 0


@pytest.mark.parametrize(
    "value, error, message",
    [
        ("123", TypeError, "argument 'hashes': Can't extract `str` to `Vec`"),
        ((h for h in [1, 2]), TypeError, "argument 'hashes': 'generator' object cannot be converted to 'Sequence'"),
        (5, TypeError, "argument 'hashes': 'int' object cannot be converted to 'Sequence'"),
        ([1, 2.5], TypeError, "argument 'hashes': 'float' object cannot be interpreted as an integer"),
        ([1, -1], OverflowError, None),
    ],
)
def test_hashes_conversion(bloom, value, error, message):
    with pytest.raises(error) as raised:
        bloom.update_hashes(value)
    if message:
        assert str(raised.value) == message
    assert len(bloom) == 0


def test_hashes_accept_any_sequence(bloom):
    bloom.update_hashes(range(5))
    bloom.update_hashes((10, 11))
    assert bloom.query_hashes([0, 4, 10, 11]) == [True] * 4
    assert len(bloom) == 7


def outcome(call, hashes):
    """What a hashes method does with `hashes`: its answer and the filter's state, or its error."""
    bloom = BloomFilter(num_bits=4096, num_hashes=3)
    try:
        answer = call(bloom, hashes)
    except Exception as error:
        return type(error), str(error), bloom.to_bytes()
    return answer, bloom.to_bytes()


HASH_CALLS = [BloomFilter.update_hashes, BloomFilter.query_hashes]


@pytest.mark.parametrize("call", HASH_CALLS)
@pytest.mark.parametrize("typecode", "bBhHiIlLqQ")
def test_integer_buffers_give_what_their_elements_give(call, typecode):
    top = 2 ** (8 * array.array(typecode).itemsize - (typecode.islower())) - 1
    values = array.array(typecode, [0, 1, 7, top, top - 1, 42])
    for hashes in (values, memoryview(values), memoryview(values)[::2]):
        assert outcome(call, hashes) == outcome(call, list(hashes))


@pytest.mark.parametrize("call", HASH_CALLS)
@pytest.mark.parametrize(
    "hashes",
    [
        array.array("q", [5, -1, 6]),
        array.array("b", [-128]),
        memoryview(array.array("i", [3, 4, -(2**31)])),
        array.array("d", [1.0, 2.0]),
        memoryview(b"ab").cast("c"),
        memoryview(b"\x01\x02"),
        bytearray(b"\xff\x00"),
    ],
    ids=repr,
)
def test_other_buffers_give_what_their_elements_give(call, hashes):
    expected = outcome(call, list(hashes))
    assert outcome(call, hashes) == expected


def test_path_must_be_str(bloom, tmp_path):
    with pytest.raises(TypeError) as raised:
        bloom.save(tmp_path / "f.bin")
    assert str(raised.value) == "argument 'path': 'PosixPath' object cannot be converted to 'PyString'"
    with pytest.raises(TypeError, match="argument 'path'"):
        BloomFilter.load(pathlib.Path(tmp_path / "f.bin"))
    bloom.save(str(tmp_path / "f.bin"))
    assert BloomFilter.load(str(tmp_path / "f.bin")).to_bytes() == bloom.to_bytes()


def test_from_bytes_data_forms(bloom):
    data = bloom.to_bytes()
    for form in (data, bytearray(data), list(data), tuple(data), memoryview(data)):
        assert BloomFilter.from_bytes(form).to_bytes() == data


@pytest.mark.parametrize(
    "data, error, message",
    [
        ("abc", TypeError, "argument 'data': Can't extract `str` to `Vec`"),
        (5, TypeError, "argument 'data': 'int' object cannot be converted to 'Sequence'"),
        ([1, 256], OverflowError, "out of range integral type conversion attempted"),
        ([1, 1.5], TypeError, "argument 'data': 'float' object cannot be interpreted as an integer"),
    ],
)
def test_from_bytes_data_errors(data, error, message):
    with pytest.raises(error) as raised:
        BloomFilter.from_bytes(data)
    assert str(raised.value) == message


def test_from_json_data_must_be_str():
    with pytest.raises(TypeError) as raised:
        BloomFilter.from_json(b"{}")
    assert str(raised.value) == "argument 'data': 'bytes' object cannot be converted to 'PyString'"


def test_other_must_be_the_same_class(bloom):
    with pytest.raises(TypeError) as raised:
        bloom.merge("not a filter")
    assert str(raised.value) == "argument 'other': 'str' object cannot be converted to 'BloomFilter'"
    with pytest.raises(TypeError, match="argument 'other'"):
        bloom.intersection(None)
