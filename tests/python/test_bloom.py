import math

import pytest

from velt import BloomFilter


@pytest.mark.parametrize(
    "kwargs, num_bits, num_hashes",
    [
        ({"expected_items": 10000}, 95851, 7),
        ({"expected_items": 1000}, 9586, 7),
        ({"expected_items": 100, "false_positive_rate": 0.001}, 1438, 10),
        ({"expected_items": 1, "false_positive_rate": 0.5}, 2, 1),
        ({"num_bits": 64}, 64, 7),
        ({"num_bits": 9}, 9, 6),
        ({"num_bits": 1}, 1, 1),
        ({"expected_items": 1000, "num_bits": 20000}, 20000, 14),
        ({"expected_items": 1000, "num_hashes": 3}, 9586, 3),
        ({"expected_items": 0, "num_bits": 100, "num_hashes": 2}, 100, 2),
    ],
)
def test_sizing(kwargs, num_bits, num_hashes):
    bloom = BloomFilter(**kwargs)
    assert (bloom.num_bits, bloom.num_hashes) == (num_bits, num_hashes)
    assert bloom.size_in_bytes == 8 * math.ceil(num_bits / 64)


def test_worked_example_of_ten_thousand_items():
    bloom = BloomFilter(expected_items=10000)
    assert (bloom.num_bits, bloom.num_hashes, bloom.size_in_bytes) == (95851, 7, 11984)
    assert (len(bloom), bloom.bit_count(), bloom.health()) == (0, 0, "healthy")
    estimate = bloom.estimate_count()
    assert estimate == 0 and math.copysign(1, estimate) == -1
    assert repr(bloom) == str(bloom) == "BloomFilter(num_bits=95851, num_hashes=7, count=0, fpr=0.0000)"


@pytest.mark.parametrize(
    "kwargs, message",
    [
        ({}, "Either expected_items or num_bits must be provided"),
        ({"expected_items": 0}, "expected_items must be positive"),
        ({"expected_items": 0, "num_bits": 100}, "expected_items must be positive"),
        ({"num_bits": 0}, "num_bits must be positive"),
        ({"num_bits": 100, "num_hashes": 0}, "num_hashes must be positive"),
        ({"num_bits": 100, "false_positive_rate": 1.0}, "false_positive_rate must be between 0 and 1 (exclusive)"),
        ({"num_bits": 100, "false_positive_rate": 0.0}, "false_positive_rate must be between 0 and 1 (exclusive)"),
        ({"num_bits": 100, "false_positive_rate": -0.5}, "false_positive_rate must be between 0 and 1 (exclusive)"),
        ({"num_bits": 100, "false_positive_rate": math.nan}, "false_positive_rate must be between 0 and 1 (exclusive)"),
        ({"num_bits": 100, "false_positive_rate": math.inf}, "false_positive_rate must be between 0 and 1 (exclusive)"),
        ({"expected_items": 0, "false_positive_rate": 2.0}, "false_positive_rate must be between 0 and 1 (exclusive)"),
    ],
)
def test_construction_errors(kwargs, message):
    with pytest.raises(ValueError) as error:
        BloomFilter(**kwargs)
    assert str(error.value) == message


def test_no_false_negatives_and_few_false_positives():
    bloom = BloomFilter(expected_items=5000, false_positive_rate=0.01, seed=42)
    bloom.update(f"in-{i}" for i in range(5000))
    assert all(bloom.query_many([f"in-{i}" for i in range(5000)]))
    false_positives = sum(bloom.query_many([f"out-{i}" for i in range(20000)]))
    assert false_positives / 20000 < 0.02


def test_repeated_adds_count_but_set_nothing_new():
    once, twice = BloomFilter(num_bits=1000, num_hashes=4), BloomFilter(num_bits=1000, num_hashes=4)
    once.add("x")
    twice.add("x")
    twice.add("x")
    assert len(twice) == 2 and once.to_json().replace('"count": 1', '"count": 2') == twice.to_json()


def test_one_bit_filter_saturates_at_once():
    bloom = BloomFilter(num_bits=1)
    assert bloom.contains("anything") is False
    bloom.add("x")
    assert all(bloom.query_many(["a", "b", 1, b""]))
    assert bloom.health() == "saturated" and bloom.is_saturated()
    assert bloom.estimate_count() == math.inf
    assert repr(bloom).endswith("fpr=1.0000)")


def test_caller_hashes_are_separate_from_items():
    bloom = BloomFilter(expected_items=1000)
    bloom.add_hash(12345)
    assert bloom.contains_hash(12345)
    assert not bloom.contains_hash(12346)
    assert not bloom.contains("12345") and not bloom.contains(12345)
    assert bloom.query_hashes([12345, 1]) == [True, False]
    assert len(bloom) == 1


def test_merge_union_and_count():
    a, b = BloomFilter(expected_items=100), BloomFilter(expected_items=100)
    a.update(["a", "shared"])
    b.update(["b", "shared"])
    union = a | b
    assert len(union) == 4 and len(a) == 2
    assert all(union.query_many(["a", "b", "shared"]))
    a |= b
    assert a.to_bytes() == union.to_bytes()
    a.merge(b)
    assert len(a) == 6


def test_count_saturates_on_merge():
    data = BloomFilter(num_bits=64, num_hashes=1).to_json().replace('"count": 0', f'"count": {2**64 - 2}')
    a, b = BloomFilter.from_json(data), BloomFilter.from_json(data)
    a.merge(b)
    a.add("x")
    assert a.to_json().count(f'"count": {2**64 - 1}') == 1


def test_intersection_keeps_common_bits_and_zero_count():
    a, b = BloomFilter(expected_items=100), BloomFilter(expected_items=100)
    a.update(["a", "both"])
    b.update(["b", "both"])
    common = a & b
    assert len(common) == 0 and "both" in common
    assert common.to_bytes() == a.intersection(b).to_bytes()
    assert common.bit_count() <= min(a.bit_count(), b.bit_count())


@pytest.mark.parametrize("fill, health", [(0.64, "healthy"), (0.65, "warning"), (0.79, "warning"), (0.8, "saturated")])
def test_health_thresholds(fill, health):
    # Exactly `fill` of 100 bits set, built from the JSON form.
    set_bits = round(fill * 100)
    words = [(1 << min(set_bits, 64)) - 1, (1 << max(set_bits - 64, 0)) - 1]
    bloom = BloomFilter.from_json(
        '{"bits": %s, "num_bits": 100, "num_hashes": 2, "count": 0, "seed": 0}' % words
    )
    assert bloom.fill_ratio() == set_bits / 100
    assert bloom.health() == health
    assert bloom.is_saturated() == (health == "saturated")
    assert bloom.false_positive_rate == pytest.approx(fill**2)
    assert bloom.estimate_count() == pytest.approx(-50 * math.log(1 - fill))


def test_len_beyond_ssize_t_overflows():
    data = BloomFilter(num_bits=64, num_hashes=1).to_json().replace('"count": 0', f'"count": {2**63}')
    bloom = BloomFilter.from_json(data)
    with pytest.raises(OverflowError) as error:
        len(bloom)
    assert str(error.value) == ""
    assert len(BloomFilter.from_json(data.replace(str(2**63), str(2**63 - 1)))) == 2**63 - 1


def test_self_merge_and_self_operators():
    bloom = BloomFilter(expected_items=100)
    bloom.add("x")
    with pytest.raises(RuntimeError) as error:
        bloom.merge(bloom)
    assert str(error.value) == "Already mutably borrowed"
    assert len(bloom) == 1
    assert len(bloom | bloom) == 2 and len(bloom & bloom) == 0
    original = bloom
    bloom |= bloom
    assert bloom is not original
    assert len(bloom) == 2 and len(original) == 1
    assert bloom.bit_count() == original.bit_count()
