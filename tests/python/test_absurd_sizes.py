"""Absurd sizes given to every constructor and loader are refused with a clear exception,
taking no memory first: each runs in a child with a capped address space (but under ASan)."""

import json
import os
import subprocess
import sys
import textwrap

import pytest

from velt import BloomFilter, CountMinSketch, CuckooFilter, MinHashLSH, ScalableBloomFilter, TopK
from helpers import KIND_OF, KINDS, fields, with_u64

# Linux alone enforces RLIMIT_AS and counts ru_maxrss in KiB.
pytestmark = pytest.mark.skipif(sys.platform != "linux", reason="caps the address space, as only Linux does")
UNDER_ASAN = "asan" in os.environ.get("LD_PRELOAD", "")
ADDRESS_SPACE = 4 << 30
# Far below the cap: an absurd request must be refused before anything sizeable is touched.
MAX_GROWTH_KIB = 64 << 10
U64_MAX = 2**64 - 1
OUT_OF_U32 = (OverflowError, "out of range integral type conversion attempted")
TOO_BIG = (OverflowError, "int too big to convert")
NO_MEMORY = (MemoryError, "")
SHORT_PAYLOAD = (ValueError, "Deserialization error: io error: unexpected end of file")


def claiming(obj, offset, count):
    return with_u64(obj.to_bytes(), offset, count)


def json_with(obj, **changes):
    return json.dumps({**fields(obj), **changes})


def full_scalable():
    """A chain whose only slice is full: the next add must grow it."""
    chain = ScalableBloomFilter(initial_capacity=8)
    chain.update(range(8))
    return chain


def first_length_claim(kind):
    """A binary form whose first length field (after the record version, or the index's
    settings, if any) claims 2**63."""
    obj = kind.filled()
    offset = 41 if kind.cls is MinHashLSH else 1 if "version" in fields(obj) else 0
    return f"{kind.name}.from_bytes({claiming(obj, offset, 2**63)!r})"


# (call, expected exception type, its exact message)
CASES = [
    ("BloomFilter(num_bits=2**64 - 1)", *NO_MEMORY),
    ("BloomFilter(num_bits=64, num_hashes=2**32)", *OUT_OF_U32),
    ("BlockedBloomFilter(num_blocks=2**32)", *NO_MEMORY),
    ("CountingBloomFilter(num_counters=2**64 - 1)", *NO_MEMORY),
    ("ScalableBloomFilter(initial_capacity=2**64 - 1)", *NO_MEMORY),
    ("ScalableBloomFilter(initial_capacity=1, growth_ratio=1e308).update(range(10))", *NO_MEMORY),
    ("CuckooFilter(capacity=2**64 - 1)", *NO_MEMORY),
    ("CuckooFilter(capacity=2**64)", *TOO_BIG),
    ("HyperLogLog(precision=256)", *OUT_OF_U32),
    ("CountMinSketch(width=2**64 - 1, depth=2**64 - 1)", *NO_MEMORY),
    ("CountMinSketch(width=1, depth=2**40)", *NO_MEMORY),
    ("CountMinSketch(error_rate=5e-324, confidence=0.99)", *NO_MEMORY),
    ("MinHash(num_hashes=2**64 - 1)", *NO_MEMORY),
    ("MinHash.signatures(['a'], num_hashes=2**64 - 1)", *NO_MEMORY),
    ("MinHashLSH(num_hashes=2**64 - 1)", *NO_MEMORY),
    *[(first_length_claim(kind), *SHORT_PAYLOAD) for kind in KINDS],
    # Length fields of nested or later sequences
    (f"ScalableBloomFilter.from_bytes({claiming(ScalableBloomFilter(initial_capacity=8), 8, 2**63)!r})", *SHORT_PAYLOAD),
    (f"CountMinSketch.from_bytes({claiming(CountMinSketch(width=2, depth=2), 9, 2**63)!r})", *SHORT_PAYLOAD),
    (f"TopK.from_bytes({claiming(KIND_OF[TopK].filled(), 9, 2**63)!r})", *SHORT_PAYLOAD),
    (f"MinHashLSH.from_bytes({claiming(MinHashLSH(num_hashes=4), 49, 2**63)!r})", *SHORT_PAYLOAD),
    # JSON texts whose sizes disagree absurdly with their arrays
    (f"BloomFilter.from_json({json_with(BloomFilter(num_bits=64), num_bits=U64_MAX, num_hashes=2**32 - 1)!r})",
     ValueError, "bit array length does not match num_bits"),
    (f"ScalableBloomFilter.from_json({json_with(full_scalable(), growth_ratio=1e308)!r}).add('x')", *NO_MEMORY),
    (f"CuckooFilter.from_json({json_with(CuckooFilter(capacity=4), num_buckets=2**63, capacity=U64_MAX)!r})",
     ValueError, "Invalid Cuckoo filter: bucket array length does not match metadata"),
    (f"CountMinSketch.from_json({json_with(CountMinSketch(width=1, depth=1), width=U64_MAX, depth=U64_MAX)!r})",
     ValueError, "table dimensions do not match width and depth"),
]

CHILD = """
import resource
import sys
from velt import *

if {cap}:
    resource.setrlimit(resource.RLIMIT_AS, ({cap}, {cap}))
before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
try:
    {call}
    outcome = "no error"
except BaseException as error:
    outcome = f"{{type(error).__name__}}: {{error}}"
growth = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - before
print(outcome)
print(growth)
"""


@pytest.mark.parametrize("call, error, message", CASES, ids=[case[0][:60] for case in CASES])
def test_absurd_size_is_refused_without_taking_memory(call, error, message):
    script = CHILD.format(cap=0 if UNDER_ASAN else ADDRESS_SPACE, call=call)
    # The timeout only stops a runaway child; it measures nothing.
    result = subprocess.run([sys.executable, "-c", textwrap.dedent(script)], capture_output=True, text=True, timeout=120)
    assert result.returncode == 0, result.stderr
    outcome, growth_kib = result.stdout.splitlines()
    assert outcome == f"{error.__name__}: {message}"
    assert int(growth_kib) < MAX_GROWTH_KIB
