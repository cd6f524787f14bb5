"""How Python objects become item bytes: equal bytes are the same item everywhere."""

import sys

import pytest

from velt import BloomFilter


def fingerprint(item):
    """The bits one item sets in a fresh filter: equal item bytes give equal bits."""
    bloom = BloomFilter(num_bits=100_003, num_hashes=4)
    bloom.add(item)
    return bloom.to_bytes()


@pytest.mark.parametrize(
    "left, right",
    [
        ("5", b"5"),
        ("5", 5),
        (b"abc", bytearray(b"abc")),
        ([97, 98, 99], "abc"),
        ((1, 2, 3), b"\x01\x02\x03"),
        (range(1, 4), b"\x01\x02\x03"),
        (memoryview(b"xyz"), b"xyz"),
        ("", b""),
        ([], b""),
        ((), b""),
        ([256], "[256]"),
        (["a"], "['a']"),
        (True, "True"),
        ([True, False], b"\x01\x00"),
        (3.5, "3.5"),
        ({1: 2}, "{1: 2}"),
        ("\ud800", b"\xef\xbf\xbd" * 3),
        ("a\udfffb", b"a" + b"\xef\xbf\xbd" * 3 + b"b"),
        ("héllo", "héllo".encode()),
    ],
)
def test_same_item_bytes(left, right):
    assert fingerprint(left) == fingerprint(right)


def test_different_items_differ():
    assert fingerprint("a") != fingerprint("b")
    assert fingerprint(b"\x00") != fingerprint(b"")


def test_str_subclass_uses_its_text():
    class Name(str):
        pass

    assert fingerprint(Name("alice")) == fingerprint("alice")


class Unprintable:
    def __str__(self):
        raise ZeroDivisionError("no text")


def test_failing_str_propagates_and_inserts_nothing():
    bloom = BloomFilter(num_bits=1000, num_hashes=3)
    with pytest.raises(ZeroDivisionError, match="no text"):
        bloom.add(Unprintable())
    with pytest.raises(ZeroDivisionError):
        bloom.update(["a", "b", Unprintable(), "c"])
    assert len(bloom) == 0 and bloom.bit_count() == 0
    with pytest.raises(ZeroDivisionError):
        Unprintable() in bloom


def test_iterator_errors_propagate_and_insert_nothing():
    def items():
        yield "a"
        raise KeyError("broken stream")

    bloom = BloomFilter(num_bits=1000, num_hashes=3)
    with pytest.raises(KeyError):
        bloom.update(items())
    with pytest.raises(TypeError):
        bloom.update(5)
    assert len(bloom) == 0 and bloom.bit_count() == 0


@pytest.mark.parametrize("make", [list, tuple, set, iter, lambda xs: (x for x in xs), lambda xs: dict.fromkeys(xs)])
def test_batches_accept_any_iterable(make):
    items = ["a", b"b", 3, (4, 5), "six"]
    bloom = BloomFilter(num_bits=10_000, num_hashes=3)
    bloom.update(make(items))
    assert len(bloom) == 5
    assert bloom.query_many(make(items)) == [True] * 5


def test_batch_items_match_single_adds():
    items = ["x" * n for n in range(50)] + [bytes(range(n)) for n in range(50)] + list(range(50)) + ["\ud800"]
    one_by_one = BloomFilter(num_bits=50_000, num_hashes=5, seed=9)
    for item in items:
        one_by_one.add(item)
    batched = BloomFilter(num_bits=50_000, num_hashes=5, seed=9)
    batched.update(iter(items))
    assert batched.to_bytes() == one_by_one.to_bytes()


def test_mutating_a_bytearray_after_the_batch_changes_nothing():
    buffers = [bytearray(b"item-%d" % i) for i in range(100)]
    bloom = BloomFilter(num_bits=10_000, num_hashes=3)
    bloom.update(buffers)
    for buffer in buffers:
        buffer[:] = b"changed"
    assert bloom.query_many([b"item-%d" % i for i in range(100)]) == [True] * 100


def test_a_batch_that_claims_a_huge_length_is_taken_as_it_is():
    class Claims(list):
        def __len__(self):
            return 2**62

    bloom = BloomFilter(num_bits=1000, num_hashes=3)
    bloom.update(Claims(["a", "b"]))
    bloom.update_hashes(Claims([1, 2, 3]))
    assert len(bloom) == 5 and bloom.query_many(Claims(["a", "b"])) == [True, True]


INT_ITEMS = [0, 1, -1, 7, -7, 10**8 - 1, 10**8, -(10**8), 10**16 + 5, 10**18, 2**63 - 1, 2**63, -(2**63), -(2**63) - 1, 2**64 - 1, 2**64, -(2**64), 10**40]


@pytest.mark.parametrize("number", INT_ITEMS)
def test_int_items_are_their_decimal_text(number):
    assert fingerprint(number) == fingerprint(str(number))
    batched = BloomFilter(num_bits=100_003, num_hashes=4)
    batched.update([number])
    assert batched.to_bytes() == fingerprint(str(number))


def test_int_like_items_use_their_own_str():
    class Loud(int):
        def __str__(self):
            return "loud"

    class Flag(int):
        pass

    assert fingerprint(Loud(5)) == fingerprint("loud")
    assert fingerprint(Flag(5)) == fingerprint("5")
    assert fingerprint(False) == fingerprint("False")


def test_int_with_too_many_digits_raises_the_interpreters_error():
    huge = 10 ** (sys.get_int_max_str_digits() + 1)
    bloom = BloomFilter(num_bits=1000, num_hashes=3)
    with pytest.raises(ValueError, match="Exceeds the limit"):
        bloom.update([1, huge])
    assert len(bloom) == 0


def test_batch_of_mixed_lengths_matches_single_adds():
    # Items of every length around the point where batches stop copying
    # items and view them in place instead.
    items = []
    for n in range(0, 200, 7):
        items += ["é" * n, b"b" * n, bytearray(b"c" * n), ("s" * n)[:n] + "\ud800"]
    items += INT_ITEMS + [True, 3.5]
    one_by_one = BloomFilter(num_bits=50_000, num_hashes=5, seed=3)
    for item in items:
        one_by_one.add(item)
    batched = BloomFilter(num_bits=50_000, num_hashes=5, seed=3)
    batched.update(items)
    assert batched.to_bytes() == one_by_one.to_bytes()
    assert batched.query_many(tuple(items)) == [True] * len(items)
