"""The binary form of a Bloom filter, byte by byte, and its decoder's messages.
The envelope's own errors are in test_contract.py, for every class."""

import struct

import pytest

from velt import BloomFilter
from helpers import envelope, raises

BLOOM = b"VTBF\x02"
SHORT = "Deserialization error: io error: unexpected end of file"


def test_empty_64_bit_filter_is_65_bytes():
    payload = struct.pack("<QQQIQQ", 1, 0, 64, 1, 0, 0)
    assert BloomFilter(num_bits=64, num_hashes=1).to_bytes() == envelope(payload, BLOOM)
    assert len(BloomFilter(expected_items=10000).to_bytes()) == 12041


def bloom_payload(num_bits, words, num_hashes, count=0, seed=0):
    return struct.pack("<Q", len(words)) + struct.pack(f"<{len(words)}Q", *words) + struct.pack("<QIQQ", num_bits, num_hashes, count, seed)


@pytest.mark.parametrize(
    "payload, message",
    [
        (struct.pack("<QQ", 1, 0) + struct.pack("<Q", 64)[:5], SHORT),
        # A word count far beyond the payload fails on the missing bytes, without allocating.
        (struct.pack("<Q", 2**61), SHORT),
        (struct.pack("<Q", 2**64 - 1), SHORT),
        (bloom_payload(0, [], 1), "num_bits must be positive"),
        (bloom_payload(64, [0], 0), "num_hashes must be positive"),
        (bloom_payload(64, [], 1), "bit array length does not match num_bits"),
        (bloom_payload(128, [0], 1), "bit array length does not match num_bits"),
        (bloom_payload(65, [0, 2], 1), "padding bits must be zero"),
        (bloom_payload(65, [0, 1 << 63], 1), "padding bits must be zero"),
    ],
)
def test_payload_errors(payload, message):
    with raises(ValueError, message):
        BloomFilter.from_bytes(envelope(payload, BLOOM))


def test_trailing_payload_bytes_are_ignored_and_every_field_is_kept():
    bloom = BloomFilter.from_bytes(envelope(bloom_payload(65, [1, 1], 3, count=5, seed=9) + b"extra", BLOOM))
    assert (len(bloom), bloom.seed, bloom.bit_count(), bloom.num_hashes, bloom.num_bits) == (5, 9, 2, 3, 65)
