"""The JSON reader through the module: what it accepts, its messages with their
positions, and its limits. The reader's every message is in tests/cpp/json_test.cpp."""

import json

import pytest

from velt import BloomFilter
from helpers import raises

RECORD = {"bits": [0], "num_bits": 64, "num_hashes": 1, "count": 0, "seed": 0}


def record(**changes):
    return json.dumps({**RECORD, **changes})


@pytest.mark.parametrize(
    "text, message",
    [
        ("", "EOF while parsing a value at line 1 column 0"),
        ('{"bits": [0],\n "seed": 1,\n "seed": 2}', "duplicate field `seed` at line 3 column 7"),
        (record(seed=2**64), "invalid type: floating point `18446744073709552000.0`, expected u64 at line 1 column 87"),
        ('{"\u00e9\u00e9\u00e9": ]', "expected value at line 1 column 9"),  # columns count characters, not bytes
    ],
)
def test_reading_errors_name_the_fault_and_where(text, message):
    with raises(ValueError, "Deserialization error: " + message):
        BloomFilter.from_json(text)


def test_u64_values_read_exactly_and_record_checks_are_not_prefixed():
    assert BloomFilter.from_json(record(seed=2**64 - 1)).seed == 2**64 - 1
    with raises(ValueError, "padding bits must be zero"):
        BloomFilter.from_json(record(num_bits=65, bits=[0, 2]))


def test_nesting_is_limited_to_127_levels_even_in_skipped_values():
    def text(levels):  # the record object itself is the first level
        return record().replace("{", '{"skip": %s, ' % ("[" * (levels - 1) + "]" * (levels - 1)), 1)

    assert BloomFilter.from_json(text(127)).num_bits == 64
    with pytest.raises(ValueError, match="^Deserialization error: recursion limit exceeded at line 1 column 136$"):
        BloomFilter.from_json(text(128))
