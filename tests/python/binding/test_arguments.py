"""Argument binding and conversion, shared by every class (seen through BloomFilter)."""

import array

import pytest

from velt import BlockedBloomFilter, BloomFilter, CountMinSketch
from helpers import raises


@pytest.fixture
def bloom():
    return BloomFilter(num_bits=1024, num_hashes=3)


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda b: b.add(1, 2), "BloomFilter.add() takes 1 positional arguments but 2 were given"),
        (lambda b: b.add(1, item=2), "BloomFilter.add() got multiple values for argument 'item'"),
        (lambda b: BloomFilter(1, 0.1, 2, 3, 4, 5),
         "BloomFilter.__new__() takes from 0 to 5 positional arguments but 6 were given"),
        (lambda b: BloomFilter(num_bits=100, seed=1.0), "argument 'seed': 'float' object cannot be interpreted as an integer"),
        (lambda b: BloomFilter(num_bits=100, false_positive_rate="0.1"), "argument 'false_positive_rate': must be real number, not str"),
        (lambda b: b.add_hash("1"), "argument 'hash': 'str' object cannot be interpreted as an integer"),
        (lambda b: b.update_hashes(h for h in [1]), "argument 'hashes': 'generator' object cannot be converted to 'Sequence'"),
        (lambda b: b.update_hashes([1, 2.5]), "argument 'hashes': 'float' object cannot be interpreted as an integer"),
        (lambda b: b.update(5), "'int' object is not iterable"),
        (lambda b: CountMinSketch(8, 2).add_count(), "CountMinSketch.add_count() missing 2 required positional arguments: 'item' and 'count'"),
    ],
)
def test_type_errors(bloom, call, message):
    with raises(TypeError, message):
        call(bloom)
    assert len(bloom) == 0


@pytest.mark.parametrize(
    "call",
    [
        lambda b: BloomFilter(num_bits=-1),
        lambda b: BloomFilter(num_bits=100, num_hashes=2**32),
        lambda b: b.add_hash(-1),
        lambda b: b.update_hashes([1, -1]),
        lambda b: BloomFilter.from_bytes([1, 256]),
    ],
)
def test_out_of_range_integers_overflow(bloom, call):
    with pytest.raises(OverflowError):
        call(bloom)
    assert len(bloom) == 0


def test_keywords_none_and_index_objects_bind_like_their_values(bloom):
    class Index:
        def __index__(self):
            return 640

    bloom.add(item="x")
    assert bloom.contains(item="x")
    assert BloomFilter(expected_items=1000, num_bits=None).num_bits == 9586
    made = BloomFilter(num_bits=Index(), num_hashes=True, seed=Index())
    assert (made.num_bits, made.num_hashes, made.seed) == (640, 1, 640)
    assert BloomFilter.from_bytes(list(bloom.to_bytes())).to_bytes() == bloom.to_bytes()


def outcome(call, hashes):
    """A hashes method's answer and the filter's state, or its error."""
    bloom = BloomFilter(num_bits=4096, num_hashes=3)
    try:
        answer = call(bloom, hashes)
    except Exception as error:
        return type(error), str(error), bloom.to_bytes()
    return (answer.tolist() if hasattr(answer, "tolist") else answer), bloom.to_bytes()


def integer_buffers():
    for typecode in "bBhHiIlLqQ":
        top = 2 ** (8 * array.array(typecode).itemsize - typecode.islower()) - 1
        values = array.array(typecode, [0, 1, 7, top, top - 1, 42])
        yield from (values, memoryview(values)[::2])
    yield from (array.array("q", [5, -1, 6]), array.array("b", [-128]), array.array("d", [1.0]), bytearray(b"\xff\x00"))


@pytest.mark.parametrize("call", [BloomFilter.update_hashes, BloomFilter.query_hashes])
@pytest.mark.parametrize("hashes", list(integer_buffers()), ids=repr)
def test_buffers_of_hashes_give_what_their_elements_give(call, hashes):
    assert outcome(call, hashes) == outcome(call, list(hashes))


# ---- Items: equal bytes are the same item everywhere ----------------------------------------


def fingerprint(item):
    bloom = BloomFilter(num_bits=100_003, num_hashes=4)
    bloom.add(item)
    return bloom.to_bytes()


class Name(str):
    pass


class Loud(int):
    def __str__(self):
        return "loud"


INTS = [0, -1, 10**8 - 1, 10**8, -(10**8), 10**16 + 5, 2**63 - 1, 2**63, -(2**63) - 1, 2**64, 10**40]


@pytest.mark.parametrize(
    "left, right",
    [("5", b"5"), (b"abc", bytearray(b"abc")), ([97, 98, 99], "abc"), (range(1, 4), b"\x01\x02\x03"),
     (memoryview(b"xyz"), b"xyz"), ((), b""), ([256], "[256]"), (True, "True"), (3.5, "3.5"),
     ("a\udfffb", b"a" + b"\xef\xbf\xbd" * 3 + b"b"),
     (Name("alice"), "alice"), (Loud(5), "loud")] + [(n, str(n)) for n in INTS],
    ids=repr,
)
def test_same_item_bytes(left, right):
    assert fingerprint(left) == fingerprint(right)
    batched = BloomFilter(num_bits=100_003, num_hashes=4)
    batched.update([left])
    assert batched.to_bytes() == fingerprint(right)
    assert fingerprint("a") != fingerprint("b") and fingerprint(b"\x00") != fingerprint(b"")


class Unprintable:
    def __str__(self):
        raise ZeroDivisionError("no text")


def failing_stream():
    yield "a"
    raise KeyError("broken stream")


@pytest.mark.parametrize(
    "call, error",
    [(lambda b: b.add(Unprintable()), ZeroDivisionError), (lambda b: b.update(["a", Unprintable()]), ZeroDivisionError),
     (lambda b: b.update(failing_stream()), KeyError)],
)
def test_a_failing_item_propagates_and_inserts_nothing(call, error):
    bloom = BloomFilter(num_bits=1000, num_hashes=3)
    with pytest.raises(error):
        call(bloom)
    assert len(bloom) == 0 and bloom.bit_count() == 0


class Rewrites:
    """An item whose str() replaces every element after it in its list."""

    def __init__(self, items, replacement):
        self.items, self.replacement = items, replacement

    def __str__(self):
        at = next(i for i, x in enumerate(self.items) if x is self)
        self.items[at + 1:] = self.replacement
        return "rewrites"


def fresh(prefix, count):
    """New str objects, freed as soon as a list drops them."""
    return ["".join([prefix, str(i)]) for i in range(count)]


@pytest.mark.parametrize("kind", [BloomFilter, BlockedBloomFilter])
@pytest.mark.parametrize("replacement", [[], ["x", "y"], fresh("new", 40)], ids=["cleared", "shrunk", "grown"])
def test_a_list_changed_by_its_own_item_is_read_as_its_iterator_reads_it(kind, replacement):
    def new_list():
        items = fresh("before", 5) + [None] + fresh("after", 30)
        items[5] = Rewrites(items, list(replacement))
        return items

    batched = kind(expected_items=1000)
    batched.update(new_list())
    one_by_one = kind(expected_items=1000)
    for item in new_list():  # the list iterator sees the change
        one_by_one.add(item)
    assert batched.to_bytes() == one_by_one.to_bytes()
    assert len(batched) == 6 + len(replacement)
    assert batched.query_many(new_list()) == [True] * (6 + len(replacement))


def test_mutating_a_bytearray_after_the_batch_changes_nothing():
    buffers = [bytearray(b"item-%d" % i * 20) for i in range(100)]
    bloom = BloomFilter(num_bits=10_000, num_hashes=3)
    bloom.update(buffers)
    for buffer in buffers:
        buffer[:] = b"changed"
    assert bloom.query_many([b"item-%d" % i * 20 for i in range(100)]) == [True] * 100


def test_a_batch_that_claims_a_huge_length_is_taken_as_it_is():
    class Claims(list):
        def __len__(self):
            return 2**62

    bloom = BloomFilter(num_bits=1000, num_hashes=3)
    bloom.update(Claims(["a", "b"]))
    bloom.update_hashes(Claims([1, 2, 3]))
    assert len(bloom) == 5
