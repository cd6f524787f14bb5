"""Saved filters opened read-only in place (BloomFilter.open, BlockedBloomFilter.open):
the same answers and forms as a loaded filter, every change refused, the load's checks
and messages, and files replaced, truncated or shared by processes while open."""

import copy
import os
import pickle
import struct
import subprocess
import sys
import textwrap

import pytest

import velt
from helpers import HEADER_SIZE, KIND_OF, envelope, raises

OPENABLE = [KIND_OF[velt.BloomFilter], KIND_OF[velt.BlockedBloomFilter]]
every_openable = pytest.mark.parametrize("kind", OPENABLE, ids=lambda kind: kind.name)
PROBES = [f"item-{i}" for i in range(300)] + ["a", b"\x00\xff", 12345]


def saved(kind, tmp_path, name="filter.bin", **changes):
    obj = kind.filled(**changes)
    obj.update(f"item-{i}" for i in range(0, 300, 3))
    path = str(tmp_path / name)
    obj.save(path)
    return obj, path


@every_openable
@pytest.mark.parametrize("verify", [True, False])
def test_an_opened_filter_answers_and_serializes_as_the_loaded_one(kind, tmp_path, verify):
    obj, path = saved(kind, tmp_path)
    opened = kind.cls.open(path, verify=verify)
    assert opened.read_only and not obj.read_only
    assert repr(opened) == repr(obj)[:-1] + ", read_only=True)"
    assert opened.query_many(PROBES) == obj.query_many(PROBES) == [item in opened for item in PROBES]
    assert opened.query_hashes(range(50)) == obj.query_hashes(range(50)) == [opened.contains_hash(h) for h in range(50)]
    for statistic in ("bit_count", "fill_ratio", "estimate_count", "health", "is_saturated"):
        assert getattr(opened, statistic)() == getattr(obj, statistic)()
    assert (len(opened), opened.false_positive_rate, opened.size_in_bytes) == (len(obj), obj.false_positive_rate, obj.size_in_bytes)
    assert opened.to_bytes() == obj.to_bytes() and opened.to_json() == obj.to_json()
    for writable in (opened.copy(), copy.copy(opened), copy.deepcopy(opened), pickle.loads(pickle.dumps(opened))):
        assert not writable.read_only and writable.to_bytes() == obj.to_bytes()
        writable.add("new")
    opened.save(str(tmp_path / "again.bin"))
    assert kind.cls.load(str(tmp_path / "again.bin")).to_bytes() == obj.to_bytes()


@every_openable
def test_an_opened_filter_merges_into_a_writable_one(kind, tmp_path):
    obj, path = saved(kind, tmp_path)
    opened = kind.cls.open(path)
    other = kind.make()
    other.update(["x", "y"])
    expected = (obj | other).to_bytes()
    assert (opened | other).to_bytes() == (other | opened).to_bytes() == expected
    assert not (opened | other).read_only and (opened & obj).to_bytes() == (obj & obj).to_bytes()
    other.merge(opened)
    assert other.to_bytes() == expected


CHANGES = [
    ("add", lambda f: f.add("x")),
    ("update", lambda f: f.update(["x"])),
    ("update_many", lambda f: f.update_many(["x"])),
    ("add_hash", lambda f: f.add_hash(1)),
    ("update_hashes", lambda f: f.update_hashes([1])),
    ("merge", lambda f: f.merge(f.copy())),
    ("clear", lambda f: f.clear()),
]


@every_openable
@pytest.mark.parametrize("name, change", CHANGES, ids=[name for name, _ in CHANGES])
def test_every_change_is_refused(kind, tmp_path, name, change):
    obj, path = saved(kind, tmp_path)
    opened = kind.cls.open(path)
    message = f"this {kind.name} is read-only (opened from its file): copy() gives a writable one"
    with raises(TypeError, message):
        change(opened)
    with raises(TypeError, message):
        opened |= obj
    assert opened.to_bytes() == obj.to_bytes() and opened.read_only


@every_openable
def test_open_checks_the_file_as_load_does(kind, tmp_path):
    obj, path = saved(kind, tmp_path)
    data = obj.to_bytes()
    damaged = tmp_path / "damaged.bin"
    damaged.write_bytes(data[:-1] + bytes([data[-1] ^ 1]))
    with raises(ValueError, "binary payload checksum mismatch"):
        kind.cls.open(str(damaged))
    assert kind.cls.open(str(damaged), verify=False).read_only  # the caller vouches for the bytes
    cases = [
        (data[:20], "invalid Velt binary format"),
        (b"", "invalid Velt binary format"),
        (data + b"\x00", "binary payload length does not match header"),
        (envelope(data[HEADER_SIZE : HEADER_SIZE + 12], data), "Deserialization error: io error: unexpected end of file"),
        (envelope(b"\xff" * 8 + data[HEADER_SIZE + 8 :], data), "Deserialization error: io error: unexpected end of file"),
        (envelope(data[HEADER_SIZE:-12], data), "Deserialization error: io error: unexpected end of file"),
    ]
    for content, message in cases:
        damaged.write_bytes(content)
        for verify in (True, False):
            with raises(ValueError, message):
                kind.cls.open(str(damaged), verify=verify)
        with raises(ValueError, message):
            kind.cls.load(str(damaged))
    with raises(ValueError, "Cannot open file: No such file or directory (os error 2)"):
        kind.cls.open(str(tmp_path / "missing.bin"))
    with raises(ValueError, "Read error: Is a directory (os error 21)"):
        kind.cls.open(str(tmp_path))
    with raises(TypeError, "argument 'verify': 'int' object cannot be converted to 'PyBool'"):
        kind.cls.open(path, verify=1)


def words(*values):
    return struct.pack(f"<Q{len(values)}Q", len(values), *values)


@pytest.mark.parametrize("cls, payload, message", [
    (velt.BloomFilter, words(0, 1 << 63) + struct.pack("<QIQQ", 65, 1, 0, 0), "padding bits must be zero"),
    (velt.BloomFilter, words(0) + struct.pack("<QIQQ", 65, 1, 0, 0), "bit array length does not match num_bits"),
    (velt.BloomFilter, words(0) + struct.pack("<QIQQ", 64, 0, 0, 0), "num_hashes must be positive"),
    (velt.BlockedBloomFilter, words(0, 0, 0, 0) + struct.pack("<QQQ", 2, 0, 0), "block array length does not match num_blocks"),
    (velt.BlockedBloomFilter, words() + struct.pack("<QQQ", 0, 0, 0), "num_blocks must be positive"),
], ids=["padding", "bits", "hashes", "blocks", "no-blocks"])
def test_open_checks_the_record_as_load_does(tmp_path, cls, payload, message):
    path = tmp_path / "bad.bin"
    path.write_bytes(envelope(payload, KIND_OF[cls].make().to_bytes()))
    for read in (cls.load, cls.open):
        with raises(ValueError, message):
            read(str(path))


@every_openable
@pytest.mark.skipif(sys.platform == "win32", reason="Windows does not replace or remove a mapped file")
def test_a_file_replaced_or_removed_while_open_leaves_the_filter_as_it_was(kind, tmp_path):
    obj, path = saved(kind, tmp_path)
    opened = kind.cls.open(path)
    answers = opened.query_many(PROBES)
    replacement = kind.make()
    replacement.update(["only", "these"])
    replacement.save(path)  # save writes a new file and renames it over the old one
    assert opened.query_many(PROBES) == answers and opened.to_bytes() == obj.to_bytes()
    assert kind.cls.open(path).to_bytes() == replacement.to_bytes()
    os.remove(path)
    assert opened.query_many(PROBES) == answers and [item in opened for item in PROBES] == answers


@every_openable
@pytest.mark.skipif(sys.platform == "win32", reason="Windows refuses to cut a mapped file")
def test_a_file_truncated_while_open_is_refused_by_batches(kind, tmp_path):
    obj, path = saved(kind, tmp_path)
    opened = kind.cls.open(path)
    os.truncate(path, 40)
    for read in (lambda: opened.query_many(["a"]), lambda: opened.query_hashes([1]), opened.bit_count, opened.copy,
                 opened.to_bytes, lambda: opened | obj):
        with raises(ValueError, "Read error: the file was truncated while it was open"):
            read()


@every_openable
def test_two_processes_open_one_file_at_once(kind, tmp_path):
    obj, path = saved(kind, tmp_path)
    script = textwrap.dedent(f"""
        import sys, velt
        f = velt.{kind.name}.open(sys.argv[1])
        sys.stdin.readline()  # both hold the file open before either answers
        print("".join("1" if a else "0" for a in f.query_many([f"item-{{i}}" for i in range(300)])))
    """)
    children = [subprocess.Popen([sys.executable, "-c", script, path], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                 text=True) for _ in range(2)]
    outputs = [child.communicate("go\n", timeout=60)[0].strip() for child in children]
    expected = "".join("1" if a else "0" for a in obj.query_many([f"item-{i}" for i in range(300)]))
    assert outputs == [expected, expected] and all(child.returncode == 0 for child in children)
