"""The JSON form: exact layout when writing, strict reading with positions."""

import json

import pytest

from velt import BloomFilter

NINE_LINES = '{\n  "bits": [\n    0\n  ],\n  "num_bits": 64,\n  "num_hashes": 1,\n  "count": 0,\n  "seed": 0\n}'


def test_layout_of_the_empty_64_bit_filter():
    assert BloomFilter(num_bits=64, num_hashes=1).to_json() == NINE_LINES


@pytest.mark.parametrize(
    "text",
    [
        '{"seed": 0, "count": 0, "num_hashes": 1, "num_bits": 64, "bits": [0]}',
        '{"bits": [0], "num_bits": 64, "extra": {"nested": [1, 2, {"x": null}]}, "num_hashes": 1, "count": 0, "seed": 0}',
        "[[0], 64, 1, 0, 0]",
        ' \t\r\n[[0],64,1,0,0]\n ',
    ],
)
def test_accepted_forms(text):
    assert BloomFilter.from_json(text).to_json() == NINE_LINES


def record(**overrides):
    fields = {"bits": [0], "num_bits": 64, "num_hashes": 1, "count": 0, "seed": 0}
    fields.update(overrides)
    return json.dumps(fields)


@pytest.mark.parametrize(
    "text, message",
    [
        ("", "EOF while parsing a value at line 1 column 0"),
        ('{"bits": [0], "num_bits": 64, "num_hashes": 1, "count": 0}',
         "missing field `seed` at line 1 column 58"),
        ('{"bits": [0],\n "seed": 1,\n "seed": 2}', "duplicate field `seed` at line 3 column 7"),
        ("[[0], 64, 1]", "invalid length 3, expected struct BloomFilterData with 5 elements at line 1 column 12"),
        ("[[0], 64, 1, 0, 0, 9]", "trailing characters at line 1 column 20"),
        (NINE_LINES + " {}", "trailing characters at line 9 column 3"),
        (record(num_hashes=4294967296), "invalid value: integer `4294967296`, expected u32"),
        (record(num_bits=-1), "invalid value: integer `-1`, expected u64"),
        (record(num_bits=1.5), "invalid type: floating point `1.5`, expected u64"),
        (record(num_bits="64"), 'invalid type: string "64", expected u64'),
        (record(bits=5), "invalid type: integer `5`, expected a sequence"),
        ('"x"', 'invalid type: string "x", expected struct BloomFilterData'),
        ("{", "EOF while parsing an object"),
        ("[", "EOF while parsing a list"),
        ("{1: 2}", "key must be a string"),
        ('{"bits" [0]}', "expected `:`"),
        ("nul", "EOF while parsing a value"),
        ("{'bits': []}", "key must be a string"),
        (record().replace("64", "1e400"), "number out of range"),
        (record(num_bits="0x1"), 'invalid type: string "0x1", expected u64'),
        # Columns count characters, not bytes.
        ('{"\u00e9\u00e9\u00e9": ]', "expected value at line 1 column 9"),
    ],
)
def test_reading_errors(text, message):
    with pytest.raises(ValueError) as error:
        BloomFilter.from_json(text)
    assert str(error.value).startswith("Deserialization error: " + message)
    assert " at line " in str(error.value)


def test_u64_values_read_exactly():
    bloom = BloomFilter.from_json(record(seed=2**64 - 1, count=2**64 - 1))
    assert bloom.seed == 2**64 - 1
    with pytest.raises(ValueError, match="expected u64"):
        BloomFilter.from_json(record(seed=2**64))


def test_nesting_is_limited_to_127_levels_even_in_skipped_values():
    def text(levels):
        # The record object itself is the first level.
        inner = "[" * (levels - 1) + "]" * (levels - 1)
        return record().replace("{", '{"skip": %s, ' % inner, 1)

    assert BloomFilter.from_json(text(127)).num_bits == 64
    with pytest.raises(ValueError, match="recursion limit exceeded"):
        BloomFilter.from_json(text(128))


@pytest.mark.parametrize(
    "text, message",
    [
        (record(bits=[]), "bit array length does not match num_bits"),
        (record(num_bits=65, bits=[0, 2]), "padding bits must be zero"),
    ],
)
def test_validation_messages_are_not_prefixed(text, message):
    with pytest.raises(ValueError) as error:
        BloomFilter.from_json(text)
    assert str(error.value) == message


def test_padding_below_num_bits_is_accepted():
    assert BloomFilter.from_json(record(num_bits=65, bits=[0, 1])).bit_count() == 1
