"""The binary form: envelope checks and payload decoding."""

import struct

import pytest

from velt import BloomFilter
from envelope import envelope

BLOOM = b"VTBF\x02"


def test_empty_64_bit_filter_is_65_bytes():
    data = BloomFilter(num_bits=64, num_hashes=1).to_bytes()
    payload = struct.pack("<QQQIQQ", 1, 0, 64, 1, 0, 0)
    assert len(payload) == 44
    assert data == envelope(payload, BLOOM)
    assert len(data) == 65


def test_worked_size_of_ten_thousand_item_filter():
    assert len(BloomFilter(expected_items=10000).to_bytes()) == 12041


@pytest.mark.parametrize(
    "mangle, message",
    [
        (lambda d: d[:20], "invalid Velt binary format"),
        (lambda d: b"", "invalid Velt binary format"),
        (lambda d: b"VTCB" + d[4:], "invalid Velt binary format"),
        (lambda d: d[:4] + b"\x01" + d[5:], "unsupported binary format version: 1 (expected 2)"),
        (lambda d: d[:4] + b"\xff" + d[5:], "unsupported binary format version: 255 (expected 2)"),
        (lambda d: d + b"\x00", "binary payload length does not match header"),
        (lambda d: d[:5] + struct.pack("<Q", 10**6) + d[13:], "binary payload length does not match header"),
        (lambda d: d[:30] + bytes([d[30] ^ 1]) + d[31:], "binary payload checksum mismatch"),
        (lambda d: d[:13] + bytes(8) + d[21:], "binary payload checksum mismatch"),
    ],
)
def test_envelope_errors(mangle, message):
    data = BloomFilter(num_bits=64, num_hashes=1).to_bytes()
    with pytest.raises(ValueError) as error:
        BloomFilter.from_bytes(mangle(data))
    assert str(error.value) == message


@pytest.mark.parametrize(
    "payload, message",
    [
        (b"", "Deserialization error: io error: unexpected end of file"),
        (struct.pack("<QQ", 1, 0) + struct.pack("<Q", 64)[:5], "Deserialization error: io error: unexpected end of file"),
        # A word count far beyond the payload fails on the missing bytes, without allocating.
        (struct.pack("<Q", 2**61), "Deserialization error: io error: unexpected end of file"),
        (struct.pack("<Q", 2**64 - 1), "Deserialization error: io error: unexpected end of file"),
    ],
)
def test_payload_decode_errors(payload, message):
    with pytest.raises(ValueError) as error:
        BloomFilter.from_bytes(envelope(payload, BLOOM))
    assert str(error.value) == message


@pytest.mark.parametrize(
    "fields, message",
    [
        ((0, [], 0, 1), "num_bits must be positive"),
        ((64, [0], 0, 0), "num_hashes must be positive"),
        ((64, [], 1, 0), "bit array length does not match num_bits"),
        ((128, [0], 1, 0), "bit array length does not match num_bits"),
        ((65, [0, 2], 1, 0), "padding bits must be zero"),
        ((65, [0, 1 << 63], 1, 0), "padding bits must be zero"),
    ],
)
def test_record_validation(fields, message):
    num_bits, words, num_hashes, count = fields
    payload = struct.pack("<Q", len(words)) + b"".join(struct.pack("<Q", w) for w in words)
    payload += struct.pack("<QIQQ", num_bits, num_hashes, count, 0)
    with pytest.raises(ValueError) as error:
        BloomFilter.from_bytes(envelope(payload, BLOOM))
    assert str(error.value) == message


def test_trailing_payload_bytes_are_ignored_and_count_is_kept():
    payload = struct.pack("<QQQQIQQ", 2, 1, 1, 65, 3, 5, 9) + b"extra"
    bloom = BloomFilter.from_bytes(envelope(payload, BLOOM))
    assert (len(bloom), bloom.seed, bloom.bit_count(), bloom.num_hashes) == (5, 9, 2, 3)
