"""What every class promises alike, written once over the table of the classes
(helpers.KINDS): its forms, files, merges, copies, pickles, repr and len, and the
messages of its envelope, arguments, settings and records."""

import copy
import copyreg
import errno
import json
import math
import os
import pickle
import sys

import pytest

import velt
from velt import _pickle, _velt
from helpers import HEADER_SIZE, KIND_OF, KINDS, MASK, envelope, every_kind, fields, raises, same

ITEM_KINDS = [kind for kind in KINDS if kind.takes_items]
every_item_kind = pytest.mark.parametrize("kind", ITEM_KINDS, ids=lambda kind: kind.name)

# ---- Forms: bytes, JSON, files, pickles and copies give back the same object --------------


@every_kind
def test_every_form_round_trips_exactly(kind, tmp_path):
    obj = kind.filled()
    path = str(tmp_path / "obj.bin")
    obj.save(path)
    with open(path, "rb") as handle:
        assert handle.read() == obj.to_bytes()
    text = obj.to_json()
    restored = [
        kind.cls.from_bytes(obj.to_bytes()),
        kind.cls.from_bytes(memoryview(bytearray(obj.to_bytes()))),
        kind.cls.from_json(text),
        kind.cls.load(path),
        obj.copy(),
        copy.copy(obj),
        copy.deepcopy(obj),
    ] + [pickle.loads(pickle.dumps(obj, protocol)) for protocol in range(pickle.HIGHEST_PROTOCOL + 1)]
    for other in restored:
        assert other is not obj and same(other, obj)
        assert other.to_json() == text
        if kind.sized:
            assert len(other) == len(obj)


@every_kind
def test_readers_ignore_what_follows_a_record_and_take_either_json_form(kind):
    obj = kind.filled()
    data, record = obj.to_bytes(), json.loads(obj.to_json())
    assert kind.cls.from_bytes(envelope(data[HEADER_SIZE:] + b"extra", data)).to_bytes() == data
    assert kind.cls.from_json(json.dumps({"note": [1, {"a": None}], **record})).to_bytes() == data
    assert kind.cls.from_json(json.dumps(list(record.values()))).to_bytes() == data


@every_kind
def test_copies_are_independent(kind):
    obj = kind.filled()
    before = obj.to_bytes()
    for duplicate in (obj.copy(), copy.copy(obj), copy.deepcopy(obj), pickle.loads(pickle.dumps(obj))):
        kind.feed(duplicate, ["something new"])
        duplicate.clear()
        assert obj.to_bytes() == before


@every_kind
def test_clear_gives_a_fresh_object_of_the_same_settings(kind):
    obj = kind.filled()
    obj.clear()
    assert same(obj, kind.make())


@every_item_kind
def test_one_at_a_time_batches_and_hashes_agree(kind):
    items = kind.workload * 3 + [f"item-{i}" for i in range(100)]
    single, batch, generator, many = (kind.make() for _ in range(4))
    for item in items:
        single.add(item)
    batch.update(items)
    generator.update((item for item in items) if kind.any_iterable else items)
    many.update_many(tuple(items))
    assert single.to_bytes() == batch.to_bytes() == generator.to_bytes() == many.to_bytes()
    if hasattr(single, "query_many"):
        assert single.query_many(items) == [single.query(item) for item in items]
    if kind.hashes:
        hashes = [0, 1, 7, MASK, 2**63] + list(range(1000, 1100))
        one_by_one, batched = kind.make(), kind.make()
        for value in hashes:
            one_by_one.add_hash(value)
        batched.update_hashes(hashes)
        assert one_by_one.to_bytes() == batched.to_bytes()
        if hasattr(single, "query_hashes"):
            query = getattr(batched, "contains_hash", None) or batched.query_hash
            assert batched.query_hashes(hashes) == [query(value) for value in hashes]


class Unprintable:
    def __str__(self):
        raise ArithmeticError("no text")


@every_item_kind
def test_a_failing_item_changes_nothing_however_far_into_the_batch(kind):
    obj = kind.filled()
    before = obj.to_bytes()
    for at in (0, 4095, 4096, 10000):  # batches may convert a block of 4096 items at a time
        items = [f"item-{i}" for i in range(at)] + [Unprintable()]
        with pytest.raises(TypeError if kind.cls is velt.TopK else ArithmeticError):
            obj.update(items)
        assert obj.to_bytes() == before
        if hasattr(obj, "query_many") and kind.cls is not velt.TopK:
            with pytest.raises(ArithmeticError):
                obj.query_many(iter(items))


@every_kind
def test_repr_and_len(kind):
    obj = kind.filled()
    assert str(obj) == repr(obj) and repr(obj).startswith(kind.name + "(")
    assert repr(obj) != repr(kind.make())
    if kind.sized:
        assert 0 < len(obj) <= len(kind.workload) + 3 and len(kind.make()) == 0
    else:
        with pytest.raises(TypeError):
            len(obj)


# ---- Pickling goes through the package, by the binary form --------------------------------


@every_kind
def test_pickles_name_the_package_reconstructor(kind):
    assert copyreg.dispatch_table[kind.cls] is _pickle.reduce
    assert b"velt._pickle" in pickle.dumps(kind.make())
    with pytest.raises(ValueError):
        _pickle.restore(kind.name, b"VTXX not a structure")


# ---- The envelope ---------------------------------------------------------------------------

ENVELOPE_ERRORS = [
    (lambda d: d[:20], "invalid Velt binary format"),
    (lambda d: b"VTXX" + d[4:], "invalid Velt binary format"),
    (lambda d: d[:4] + bytes([d[4] + 1]) + d[5:], "unsupported binary format version: {bad} (expected {good})"),
    (lambda d: d + b"\x00", "binary payload length does not match header"),
    (lambda d: d[:-1] + bytes([d[-1] ^ 1]), "binary payload checksum mismatch"),
]


@every_kind
@pytest.mark.parametrize("mangle, message", ENVELOPE_ERRORS)
def test_envelope_errors(kind, mangle, message):
    data = kind.filled().to_bytes()
    with raises(ValueError, message.format(good=data[4], bad=data[4] + 1)):
        kind.cls.from_bytes(mangle(data))


@every_kind
def test_another_class_form_is_refused(kind):
    other = KINDS[(KINDS.index(kind) + 1) % len(KINDS)].make()
    with raises(ValueError, "invalid Velt binary format"):
        kind.cls.from_bytes(other.to_bytes())


# ---- Files ----------------------------------------------------------------------------------


@every_kind
@pytest.mark.parametrize("keep", [0, 20, 21, -1])
def test_load_of_a_truncated_file(kind, tmp_path, keep):
    data = kind.make().to_bytes()[:keep]
    (tmp_path / "cut.bin").write_bytes(data)
    message = "invalid Velt binary format" if len(data) < 21 else "binary payload length does not match header"
    with raises(ValueError, message):
        kind.cls.load(str(tmp_path / "cut.bin"))


def system_reason(posix_code, windows_code):
    """The system's words for an error and its code, as the file messages quote them."""
    if sys.platform == "win32":
        import ctypes

        return f"{ctypes.FormatError(windows_code)} (os error {windows_code})"
    return f"{os.strerror(posix_code)} (os error {posix_code})"


@every_kind
def test_file_errors(kind, tmp_path):
    opening, creating = ("Read error: ", "Write error: ") if kind.whole_files else ("Cannot open file: ", "Cannot create file: ")
    with raises(ValueError, opening + system_reason(errno.ENOENT, 2)):  # ERROR_FILE_NOT_FOUND
        kind.cls.load(str(tmp_path / "missing.bin"))
    # POSIX opens a folder and fails to read it; Windows refuses to open it (ERROR_ACCESS_DENIED).
    folder = opening + system_reason(None, 5) if sys.platform == "win32" else "Read error: " + system_reason(errno.EISDIR, None)
    with raises(ValueError, folder):
        kind.cls.load(str(tmp_path))
    with raises(ValueError, creating + system_reason(errno.ENOENT, 3)):  # ERROR_PATH_NOT_FOUND
        kind.make().save(str(tmp_path / "no" / "such.bin"))


# ---- Arguments and borrows --------------------------------------------------------------------


@every_kind
def test_argument_binding_names_the_method(kind):
    obj = kind.make()
    if kind.takes_items:
        with raises(TypeError, f"{kind.name}.add() missing 1 required positional argument: 'item'"):
            obj.add()
    else:
        with raises(TypeError, f"{kind.name}.insert() missing 2 required positional arguments: 'key' and 'signature'"):
            obj.insert()
    with raises(TypeError, f"{kind.name}.copy() takes 0 positional arguments but 1 was given"):
        obj.copy(1)
    with raises(TypeError, f"{kind.name}.update() got an unexpected keyword argument 'item'"):
        obj.update(item=1)
    with raises(TypeError, "argument 'data': Can't extract `str` to `Vec`"):
        kind.cls.from_bytes("abc")
    with raises(TypeError, "argument 'data': 'bytes' object cannot be converted to 'PyString'"):
        kind.cls.from_json(b"{}")
    with raises(TypeError, "argument 'path': 'PosixPath' object cannot be converted to 'PyString'"):
        obj.save(__import__("pathlib").Path("x"))


MERGING = [kind for kind in KINDS if kind.merge_fields]


@pytest.mark.parametrize("kind", MERGING, ids=lambda kind: kind.name)
def test_merge_mismatches_name_the_first_differing_field(kind):
    obj = kind.filled()
    before = obj.to_bytes()
    for first in range(len(kind.merge_fields)):
        changed = {name: kind.settings[name] + 1 for name in kind.merge_fields[first:]}
        name = kind.merge_fields[first]
        with raises(ValueError, f"Cannot merge: {name} mismatch ({kind.settings[name]} vs {changed[name]})"):
            obj.merge(kind.make(**changed))
    assert obj.to_bytes() == before
    with raises(TypeError, f"argument 'other': 'str' object cannot be converted to '{kind.name}'"):
        obj.merge("not one")


@pytest.mark.parametrize("kind", [kind for kind in MERGING if kind.cls is not velt.TopK], ids=lambda kind: kind.name)
def test_merge_equals_the_whole_stream(kind):
    right = [f"item-{i}" for i in range(300)]
    mine, theirs, whole = kind.filled(), kind.make(), kind.filled()
    kind.feed(theirs, right)
    kind.feed(whole, right)
    if hasattr(mine, "__or__"):  # the classes with a union operator
        assert (mine | theirs).to_bytes() == (theirs | mine).to_bytes() == whole.to_bytes()
    mine.merge(theirs)
    assert mine.to_bytes() == whole.to_bytes()


@pytest.mark.parametrize("kind", MERGING, ids=lambda kind: kind.name)
def test_merging_with_itself_is_refused_as_borrowed(kind):
    obj = kind.filled()
    before = obj.to_bytes()
    with raises(RuntimeError, "Already mutably borrowed"):
        obj.merge(obj)
    assert obj.to_bytes() == before
    obj.merge(obj.copy())  # an equal copy merges


def test_classes_are_registered_in_order():
    order = ["BloomFilter", "CountingBloomFilter", "ScalableBloomFilter", "CuckooFilter", "HyperLogLog",
             "CountMinSketch", "MinHash", "TopK", "BlockedBloomFilter", "MinHashLSH"]
    assert _velt.__all__ == velt.__all__ == order and sorted(kind.name for kind in KINDS) == sorted(order)
    assert [name for name in vars(_velt) if name in order] == order


# ---- Settings and records: each class's own messages, checked alike ---------------------------

RATE = "false_positive_rate must be between 0 and 1 (exclusive)"
B, C, S, F, H, M, N, T, K, L = (kind.cls for kind in KINDS)
SETTINGS_ERRORS = [
    (B, {}, "Either expected_items or num_bits must be provided"),
    (B, {"expected_items": 0, "num_bits": 100}, "expected_items must be positive"),
    (B, {"num_bits": 0}, "num_bits must be positive"),
    (B, {"num_bits": 100, "num_hashes": 0}, "num_hashes must be positive"),
    (B, {"num_bits": 100, "false_positive_rate": 1.0}, RATE),
    (B, {"num_bits": 100, "false_positive_rate": math.nan}, RATE),
    (B, {"expected_items": 0, "false_positive_rate": 2.0}, RATE),
    (C, {}, "Either expected_items or num_counters must be provided"),
    (C, {"expected_items": 0, "num_counters": 100}, "expected_items must be positive"),  # k would divide by zero
    (C, {"expected_items": 10, "num_counters": 0}, "num_counters must be positive"),
    (C, {"num_counters": 100, "num_hashes": 0}, "num_hashes must be positive"),
    (C, {"num_counters": 100, "false_positive_rate": 1.0}, RATE),
    (S, {"initial_capacity": 0, "false_positive_rate": 2.0}, "initial_capacity must be positive"),
    (S, {"false_positive_rate": math.inf, "growth_ratio": 0}, RATE),
    (S, {"growth_ratio": math.nan, "fpr_ratio": 2}, "growth_ratio must be greater than 1"),
    (S, {"fpr_ratio": 1.0}, "fpr_ratio must be between 0 and 1 (exclusive)"),
    (F, {"capacity": 0}, "capacity must be positive"),
    (H, {"precision": 3}, "precision must be between 4 and 18"),
    (H, {"precision": 19}, "precision must be between 4 and 18"),
    (M, {"error_rate": 0.01}, "Either provide (width, depth) or (error_rate, confidence)"),
    (M, {"depth": 4, "error_rate": 0.01, "confidence": 0.9}, "Either provide (width, depth) or (error_rate, confidence)"),
    (M, {"error_rate": math.nan, "confidence": 0.9}, "error_rate must be between 0 and 1 (exclusive)"),
    (M, {"error_rate": 0.01, "confidence": 0.0}, "confidence must be between 0 and 1 (exclusive)"),
    (M, {"width": 3, "depth": 0}, "depth must be positive"),
    (M, {"error_rate": 0.01, "confidence": 1e-17}, "depth must be positive"),
    (N, {"num_hashes": 0}, "num_hashes must be positive"),
    (T, {"k": 0}, "k must be positive"),
    (K, {}, "Either expected_items or num_blocks must be provided"),
    (K, {"expected_items": 0, "num_blocks": 100}, "expected_items must be positive"),
    (K, {"num_blocks": 0}, "num_blocks must be positive"),
    (K, {"num_blocks": 2**32 + 1}, "num_blocks must be at most 4294967296"),
    (K, {"num_blocks": 100, "false_positive_rate": 1.0}, RATE),
    (K, {"expected_items": 0, "false_positive_rate": math.nan}, RATE),
    (K, {"expected_items": 10**12, "false_positive_rate": 1e-300}, "expected_items and false_positive_rate need more than 4294967296 blocks"),
    (L, {"bands": 3}, "bands and rows must be given together"),
]


@pytest.mark.parametrize("cls, settings, message", SETTINGS_ERRORS, ids=lambda value: getattr(value, "__name__", None))
def test_settings_errors(cls, settings, message):
    with raises(ValueError, message):
        cls(**settings)


SLICE = {"bits": [0], "num_bits": 64, "num_hashes": 1, "count": 0, "capacity": 5, "fpr": 0.005}
SCALABLE = "Invalid Scalable Bloom filter: "


def buckets(first=(0, 0, 0, 0), count=256):
    return [{"fingerprints": list(first)}] + [{"fingerprints": [0] * 4}] * (count - 1)


RECORD_ERRORS = [
    (B, {"num_bits": 0, "bits": []}, "num_bits must be positive"),
    (B, {"num_hashes": 0}, "num_hashes must be positive"),
    (B, {"bits": []}, "bit array length does not match num_bits"),
    (B, {"num_bits": 1024}, "bit array length does not match num_bits"),
    (B, {"num_bits": 65, "bits": [0, 1 << 63]}, "padding bits must be zero"),
    (C, {"counters": [0], "num_counters": 0, "num_hashes": 0}, "num_counters must be positive"),
    (C, {"num_hashes": 0}, "num_hashes must be positive"),
    (C, {"num_counters": 511}, "counter array length does not match num_counters"),
    (S, {"slices": [], "initial_capacity": 0, "initial_fpr": 2.0, "growth_ratio": 0.5}, SCALABLE + "initial capacity must be positive"),
    (S, {"slices": [], "initial_fpr": 0, "fpr_ratio": 0}, SCALABLE + "false-positive rate is out of range"),
    (S, {"growth_ratio": 1.0}, SCALABLE + "growth parameters are out of range"),
    (S, {"fpr_ratio": 1}, SCALABLE + "growth parameters are out of range"),
    (S, {"slices": [{**SLICE, "count": 6}]}, SCALABLE + "malformed slice metadata"),
    (S, {"slices": [{**SLICE, "num_bits": 100}]}, SCALABLE + "malformed slice metadata"),
    (S, {"slices": [SLICE, {**SLICE, "fpr": 1.0}]}, SCALABLE + "malformed slice metadata"),
    (F, {"version": 3}, "Unsupported Cuckoo filter data version"),
    (F, {"version": None}, "Unsupported Cuckoo filter data version"),
    (F, {"buckets": buckets(count=3), "num_buckets": 3}, "Invalid Cuckoo filter: bucket count must be a non-zero power of two"),
    (F, {"num_buckets": 512}, "Invalid Cuckoo filter: bucket array length does not match metadata"),
    (F, {"capacity": 1025}, "Invalid Cuckoo filter: capacity metadata is out of range"),
    (F, {"buckets": buckets((1, 2, 3, 0)), "count": 3, "capacity": 2}, "Invalid Cuckoo filter: capacity metadata is out of range"),
    (F, {"buckets": buckets((1, 2, 3, 0)), "count": 2}, "Invalid Cuckoo filter: stored count does not match occupied slots"),
    (H, {"version": 1}, "Unsupported HyperLogLog data version"),
    (H, {"precision": 19, "registers": [0] * 2**19}, "Invalid HyperLogLog: precision must be between 4 and 18"),
    (H, {"precision": 10}, "Invalid HyperLogLog: register count does not match precision"),
    (H, {"registers": [0] * 63 + [60]}, "Invalid HyperLogLog: register contains an impossible rank"),
    (H, {"precision": 14, "registers": [0] * 16383 + [52]}, "Invalid HyperLogLog: register contains an impossible rank"),
    (M, {"version": 1}, "Unsupported Count-Min Sketch data version"),
    (M, {"width": 0, "depth": 0, "table": []}, "width and depth must be positive"),
    (M, {"depth": 2}, "table dimensions do not match width and depth"),
    (M, {"width": 31}, "table dimensions do not match width and depth"),
    (N, {"version": 1}, "Unsupported MinHash data version"),
    (N, {"num_hashes": 0}, "num_hashes must be positive"),
    (N, {"num_hashes": 17}, "signature length does not match num_hashes"),
    (T, {"version": 2}, "Unsupported TopK data version"),
    (T, {"k": 0}, "k must be positive"),
    (T, {"k": 1, "counters": [["a", 1, 0], ["b", 2, 0]]}, "number of counters exceeds k"),
    (T, {"counters": [["a", 5, 1], ["a", 4, 0]]}, "duplicate tracked item"),
    (T, {"counters": [["a", 5, 6], ["b", 4, 0]]}, "counter error exceeds count"),
    (T, {"counters": [["a", 5, 0], ["b", 4, 5]]}, "counter error exceeds count"),
    (T, {"counters": [["a", 3, 0], ["b", 5, 0]]}, "counters must be sorted by descending count"),
    (K, {"num_blocks": 0, "blocks": []}, "num_blocks must be positive"),
    (K, {"num_blocks": 2**32 + 1}, "num_blocks must be at most 4294967296"),
    (K, {"num_blocks": 15}, "block array length does not match num_blocks"),
    (K, {"blocks": [0] * 63}, "block array length does not match num_blocks"),
    (L, {"threshold": 1.5}, "threshold must be between 0 and 1"),
    (L, {"num_hashes": 0}, "num_hashes must be positive"),
    (L, {"bands": 0}, "bands and rows must be positive"),
    (L, {"bands": 17}, "bands * rows must not exceed num_hashes"),
    (L, {"scheme": 2}, "unknown signature scheme"),
    (L, {"keys": [{"kind": 0, "text": "a", "number": 0}]}, "signatures do not match the keys"),
    (L, {"keys": [{"kind": 2, "text": "", "number": 0}], "signatures": [0] * 16}, "invalid key"),
    (L, {"keys": [{"kind": 1, "text": "a", "number": 0}], "signatures": [0] * 16}, "invalid key"),
    (L, {"keys": [{"kind": 1, "text": "", "number": 5}] * 2, "signatures": [0] * 32}, "duplicate key"),
]


@pytest.mark.parametrize("cls, changes, message", RECORD_ERRORS, ids=lambda value: getattr(value, "__name__", None))
def test_record_errors(cls, changes, message):
    record = {**fields(KIND_OF[cls].make()), **changes}
    with raises(ValueError, message):
        cls.from_json(json.dumps({key: value for key, value in record.items() if value is not None}))
