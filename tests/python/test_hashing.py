"""Item hashing checked against an independent XXH3 (the xxhash package).

The hashes are observed through the bits a one-item filter sets: with a prime
number of bits the k positions pin down the hash pair."""

import json

import pytest
import xxhash

from velt import BloomFilter

G = 0x9E3779B97F4A7C15
MASK = 2**64 - 1
NUM_BITS = 1_000_003
K = 4


def splitmix_finalise(z):
    z = ((z ^ (z >> 30)) * 0xBF58476D1CE4E5B9) & MASK
    z = ((z ^ (z >> 27)) * 0x94D049BB133111EB) & MASK
    return z ^ (z >> 31)


def positions(h1, h2, k=K, m=NUM_BITS):
    return {((h1 + i * h2) & MASK) % m for i in range(k)}


def set_bits(bloom):
    words = json.loads(bloom.to_json())["bits"]
    return {64 * w + b for w, word in enumerate(words) for b in range(64) if word >> b & 1}


SEEDS = [0, 1, 2**63, MASK, G, (2**64 - G) % 2**64]
# Every XXH3 length class: 0, 1-3, 4-8, 9-16, 17-128, 129-240, over 240 (several stripes).
LENGTHS = [0, 1, 3, 4, 8, 9, 16, 17, 64, 128, 129, 240, 241, 1024, 5000]


@pytest.mark.parametrize("seed", SEEDS)
@pytest.mark.parametrize("length", LENGTHS)
def test_item_hash_pair_is_seeded_xxh3(length, seed):
    data = bytes((i * 31 + 7) % 256 for i in range(length))
    bloom = BloomFilter(num_bits=NUM_BITS, num_hashes=K, seed=seed)
    bloom.add(data)
    h1 = xxhash.xxh3_64_intdigest(data, seed=seed)
    h2 = xxhash.xxh3_64_intdigest(data, seed=(seed + G) & MASK)
    assert set_bits(bloom) == positions(h1, h2)


@pytest.mark.parametrize("seed", SEEDS)
@pytest.mark.parametrize("value", [0, 1, 12345, MASK, G])
def test_caller_hash_pair(seed, value):
    bloom = BloomFilter(num_bits=NUM_BITS, num_hashes=K, seed=seed)
    bloom.add_hash(value)
    h1 = splitmix_finalise(((seed ^ value) + G) & MASK)
    t = ((((seed + G) & MASK) ^ value) + G) & MASK
    h2 = G if t == 0 else splitmix_finalise(t)
    assert set_bits(bloom) == positions(h1, h2)


def test_caller_hash_with_zero_preimage_uses_gamma():
    seed = 99
    value = ((seed + G) & MASK) ^ ((2**64 - G) & MASK)
    bloom = BloomFilter(num_bits=NUM_BITS, num_hashes=K, seed=seed)
    bloom.add_hash(value)
    h1 = splitmix_finalise(((seed ^ value) + G) & MASK)
    assert set_bits(bloom) == positions(h1, G)


def test_envelope_checksum_is_xxh3_of_payload():
    bloom = BloomFilter(expected_items=100, seed=3)
    bloom.add("x")
    data = bloom.to_bytes()
    payload = data[21:]
    assert int.from_bytes(data[13:21], "little") == xxhash.xxh3_64_intdigest(payload, seed=0x56454C54534B4554)
