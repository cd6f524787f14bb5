"""The binary envelope, built independently of velt so that tests can hand any
payload to a decoder: the magic and version (5 bytes), the payload's length and
its XXH3 checksum, then the payload."""

import struct

import xxhash

CHECKSUM_SEED = 0x56454C54534B4554
HEADER_SIZE = 21


def envelope(payload, header):
    """`payload` behind the magic and version that start `header` (5 bytes, or a
    whole binary form), with the right length and checksum."""
    payload = bytes(payload)
    checksum = xxhash.xxh3_64_intdigest(payload, seed=CHECKSUM_SEED)
    return bytes(header[:5]) + struct.pack("<QQ", len(payload), checksum) + payload
