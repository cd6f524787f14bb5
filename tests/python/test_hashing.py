"""Item and caller hashes checked against the oracle (helpers, over the xxhash package),
through the bits a one-item filter sets: with a prime number of bits the k positions
pin down the hash pair."""

import json

import pytest

from velt import BloomFilter, MinHash
from helpers import G, MASK, caller_pair, item_pair, mix_caller_hash, positions, xxh3

NUM_BITS, K = 1_000_003, 4
SEEDS = [0, 1, 2**63, MASK, G, (2**64 - G) % 2**64]
# Every XXH3 length class: 0, 1-3, 4-8, 9-16, 17-128, 129-240, over 240 (several stripes).
LENGTHS = [0, 1, 3, 4, 8, 9, 16, 17, 64, 128, 129, 240, 241, 1024, 5000]


def set_bits(bloom):
    words = json.loads(bloom.to_json())["bits"]
    return {64 * w + b for w, word in enumerate(words) for b in range(64) if word >> b & 1}


@pytest.mark.parametrize("seed", SEEDS)
@pytest.mark.parametrize("length", LENGTHS)
def test_item_hash_pair_is_seeded_xxh3(length, seed):
    data = bytes((i * 31 + 7) % 256 for i in range(length))
    bloom = BloomFilter(num_bits=NUM_BITS, num_hashes=K, seed=seed)
    bloom.add(data)
    assert set_bits(bloom) == set(positions(item_pair(data, seed), K, NUM_BITS))


# The last value is the one whose second preimage is zero: its h2 is G.
@pytest.mark.parametrize("seed", SEEDS)
@pytest.mark.parametrize("value", [0, 1, 12345, MASK, G, "zero preimage"])
def test_caller_hash_pair_is_splitmix(seed, value):
    if value == "zero preimage":
        value = ((seed + G) & MASK) ^ ((2**64 - G) & MASK)
    bloom = BloomFilter(num_bits=NUM_BITS, num_hashes=K, seed=seed)
    bloom.add_hash(value)
    assert set_bits(bloom) == set(positions(caller_pair(value, seed), K, NUM_BITS))


@pytest.mark.parametrize("seed", SEEDS)
def test_minhash_slots_mix_caller_hashes_with_their_own_seeds(seed):
    """Slot i takes seed + i * G, for caller hashes as for items."""
    minhash = MinHash(num_hashes=4, seed=seed)
    minhash.update_hashes([5, MASK])
    assert minhash.signature() == [min(mix_caller_hash(h, (seed + i * G) & MASK) for h in (5, MASK)) for i in range(4)]


@pytest.mark.parametrize("seed", SEEDS)
@pytest.mark.parametrize("length", LENGTHS)
def test_minhash_slots_hash_items_with_their_own_seeds(length, seed):
    """Slot i is XXH3 with seed + i * G, whether the item comes alone or in a batch.
    Seven slots leave part of a block of four slots unused."""
    data = bytes((i * 31 + 7) % 256 for i in range(length))
    expected = [xxh3(data, (seed + i * G) & MASK) for i in range(7)]
    alone, batched = MinHash(num_hashes=7, seed=seed), MinHash(num_hashes=7, seed=seed)
    alone.add(data)
    batched.update([data, data])
    assert alone.signature() == batched.signature() == expected
