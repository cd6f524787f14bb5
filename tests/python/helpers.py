"""The one home of the test helpers: an oracle for velt's hashing built on the
xxhash package (never on velt), the binary envelope, the exact-message matcher,
and the table of the classes that the shared contract runs over."""

import contextlib
import dataclasses
import json
import struct

import pytest
import xxhash

import velt

MASK = 2**64 - 1
G = 0x9E3779B97F4A7C15  # SplitMix64's gamma: the step between seeds
CHECKSUM_SEED = 0x56454C54534B4554
HEADER_SIZE = 21  # magic (4), version (1), payload length (8), checksum (8)


# ---- The hashing oracle ------------------------------------------------------------------


def xxh3(data, seed):
    return xxhash.xxh3_64_intdigest(bytes(data), seed=seed & MASK)


def item_pair(data, seed):
    """The double-hashing pair of an item's bytes."""
    return xxh3(data, seed), xxh3(data, seed + G)


def splitmix_finalise(z):
    z = ((z ^ (z >> 30)) * 0xBF58476D1CE4E5B9) & MASK
    z = ((z ^ (z >> 27)) * 0x94D049BB133111EB) & MASK
    return z ^ (z >> 31)


def mix_caller_hash(value, seed):
    return splitmix_finalise(((seed ^ value) + G) & MASK)


def caller_pair(value, seed):
    """The double-hashing pair of a caller's hash: h2 falls back to G where its preimage is 0."""
    t = ((((seed + G) & MASK) ^ value) + G) & MASK
    return mix_caller_hash(value, seed), G if t == 0 else splitmix_finalise(t)


def positions(pair, k, m):
    h1, h2 = pair
    return [((h1 + i * h2) & MASK) % m for i in range(k)]


# ---- The binary envelope -------------------------------------------------------------------


def envelope(payload, header):
    """`payload` behind the magic and version that start `header` (a whole binary
    form will do), with the right length and checksum, so that it reaches the decoder."""
    payload = bytes(payload)
    return bytes(header[:5]) + struct.pack("<QQ", len(payload), xxh3(payload, CHECKSUM_SEED)) + payload


def with_u64(data, offset, value):
    """A binary form with the u64 at payload `offset` replaced, rewrapped."""
    payload = bytearray(data[HEADER_SIZE:])
    payload[offset : offset + 8] = struct.pack("<Q", value)
    return envelope(payload, data)


def fields(obj):
    """The fields of an object's record, from its JSON text."""
    return json.loads(obj.to_json())


def from_record(cls, **record):
    """An object read from the JSON text of the given record."""
    return cls.from_json(json.dumps(record))


# ---- Messages ------------------------------------------------------------------------------


@contextlib.contextmanager
def raises(error, message):
    """Expects `error` whose text is exactly `message`."""
    with pytest.raises(error) as caught:
        yield caught
    assert str(caught.value) == message


# ---- The classes ---------------------------------------------------------------------------

WORKLOAD = ["a", "b", "b", "c", b"\x00\xff", "\u00e9\u4e2d\U0001f600", 12345, (1, 2, 3), "x" * 300]


@dataclasses.dataclass
class Kind:
    cls: type
    settings: dict  # constructor arguments of a small instance
    merge_fields: tuple = ()  # what merge compares, in the order it checks; () if it cannot merge
    hashes: bool = True  # takes caller hashes
    sized: bool = True  # has len()
    whole_files: bool = False  # reads and writes files whole: every failure is a read or a write error
    any_iterable: bool = True  # batches take any iterable, not only sequences
    workload: list = dataclasses.field(default_factory=lambda: WORKLOAD)  # items it takes
    takes_items = True  # add(item) and update(items)

    @property
    def name(self):
        return self.cls.__name__

    def make(self, **changes):
        return self.cls(**{**self.settings, **changes})

    def feed(self, obj, items):
        obj.update(items)

    def filled(self, **changes):
        obj = self.make(**changes)
        self.feed(obj, self.workload)
        if self.hashes:
            obj.update_hashes([0, 1, MASK])
        return obj


class IndexKind(Kind):
    """An index of keys: fed each key with the signature of the key's text as its one item."""

    takes_items = False

    def feed(self, obj, keys):
        keys = list(keys)
        obj.update(keys, velt.MinHash.signatures([[str(key)] for key in keys], obj.num_hashes, obj.seed))


KINDS = [
    Kind(velt.BloomFilter, {"num_bits": 512, "num_hashes": 3, "seed": 1}, ("num_bits", "num_hashes", "seed")),
    Kind(velt.CountingBloomFilter, {"num_counters": 512, "num_hashes": 3, "seed": 1}, ("num_counters", "num_hashes", "seed")),
    Kind(velt.ScalableBloomFilter, {"initial_capacity": 4, "seed": 1}),
    Kind(velt.CuckooFilter, {"capacity": 512, "seed": 1}, whole_files=True),
    Kind(velt.HyperLogLog, {"precision": 6, "seed": 1}, ("precision", "seed"), whole_files=True),
    Kind(velt.CountMinSketch, {"width": 32, "depth": 3, "seed": 1}, ("width", "depth", "seed")),
    Kind(velt.MinHash, {"num_hashes": 16, "seed": 1}, ("num_hashes", "seed"), sized=False),
    Kind(velt.TopK, {"k": 4}, ("k",), hashes=False, any_iterable=False, workload=[i for i in WORKLOAD if isinstance(i, str)]),
    Kind(velt.BlockedBloomFilter, {"num_blocks": 16, "seed": 1}, ("num_blocks", "seed")),
    IndexKind(velt.MinHashLSH, {"threshold": 0.5, "num_hashes": 16, "seed": 1}, ("num_hashes", "seed"), hashes=False,
              workload=["a", "b", "c", 12345, "\u00e9\u4e2d\U0001f600", "x" * 300]),
]
KIND_OF = {kind.cls: kind for kind in KINDS}
every_kind = pytest.mark.parametrize("kind", KINDS, ids=lambda kind: kind.name)


def same(a, b):
    """Equal state, down to the byte, and the same repr."""
    return type(a) is type(b) and a.to_bytes() == b.to_bytes() and repr(a) == repr(b)
