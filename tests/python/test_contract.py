"""What every class promises alike, written once over the table of the eight classes
(helpers.KINDS): its forms, files, errors, merges, copies, pickles, repr and len."""

import copy
import copyreg
import json
import multiprocessing
import pickle

import pytest

import velt
from velt import _pickle, _velt
from helpers import HEADER_SIZE, KINDS, MASK, envelope, every_kind, raises, same

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
        duplicate.update(["something new"])
        duplicate.clear()
        assert obj.to_bytes() == before


@every_kind
def test_clear_gives_a_fresh_object_of_the_same_settings(kind):
    obj = kind.filled()
    obj.clear()
    assert same(obj, kind.make())


@every_kind
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


def test_spawned_workers_receive_and_return_every_class():
    objects = [kind.filled() for kind in KINDS]
    with multiprocessing.get_context("spawn").Pool(2) as pool:
        returned = pool.map(copy.deepcopy, objects)
    assert all(same(a, b) for a, b in zip(returned, objects))


# ---- The envelope ---------------------------------------------------------------------------

ENVELOPE_ERRORS = [
    (lambda d: d[:20], "invalid Velt binary format"),
    (lambda d: b"", "invalid Velt binary format"),
    (lambda d: b"VTXX" + d[4:], "invalid Velt binary format"),
    (lambda d: d[:4] + bytes([d[4] + 1]) + d[5:], "unsupported binary format version: {bad} (expected {good})"),
    (lambda d: d[:4] + b"\xff" + d[5:], "unsupported binary format version: 255 (expected {good})"),
    (lambda d: d + b"\x00", "binary payload length does not match header"),
    (lambda d: d[:-1], "binary payload length does not match header"),
    (lambda d: d[:-1] + bytes([d[-1] ^ 1]), "binary payload checksum mismatch"),
    (lambda d: d[:13] + bytes(8) + d[21:], "binary payload checksum mismatch"),
]


@every_kind
@pytest.mark.parametrize("mangle, message", ENVELOPE_ERRORS)
def test_envelope_errors(kind, mangle, message):
    data = kind.filled().to_bytes()
    with raises(ValueError, message.format(good=data[4], bad=data[4] + 1)):
        kind.cls.from_bytes(mangle(data))


@every_kind
def test_envelope_is_the_payload_length_and_checksum(kind):
    data = kind.filled().to_bytes()
    assert envelope(data[HEADER_SIZE:], data) == data


@every_kind
def test_another_class_form_is_refused(kind):
    other = KINDS[(KINDS.index(kind) + 1) % len(KINDS)].make()
    with raises(ValueError, "invalid Velt binary format"):
        kind.cls.from_bytes(other.to_bytes())


@every_kind
def test_an_empty_payload_is_a_short_read(kind):
    with raises(ValueError, "Deserialization error: io error: unexpected end of file"):
        kind.cls.from_bytes(envelope(b"", kind.make().to_bytes()))


# ---- Files ----------------------------------------------------------------------------------


@every_kind
@pytest.mark.parametrize("keep", [0, 20, 21, -1])
def test_load_of_a_truncated_file(kind, tmp_path, keep):
    data = kind.make().to_bytes()[:keep]
    (tmp_path / "cut.bin").write_bytes(data)
    message = "invalid Velt binary format" if len(data) < 21 else "binary payload length does not match header"
    with raises(ValueError, message):
        kind.cls.load(str(tmp_path / "cut.bin"))


@every_kind
def test_file_errors(kind, tmp_path):
    with raises(ValueError, kind.open_prefix + "No such file or directory (os error 2)"):
        kind.cls.load(str(tmp_path / "missing.bin"))
    with raises(ValueError, "Read error: Is a directory (os error 21)"):
        kind.cls.load(str(tmp_path))
    with raises(ValueError, kind.create_prefix + "No such file or directory (os error 2)"):
        kind.make().save(str(tmp_path / "no" / "such.bin"))


# ---- Arguments and borrows --------------------------------------------------------------------


@every_kind
def test_argument_binding_names_the_method(kind):
    obj = kind.make()
    with raises(TypeError, f"{kind.name}.add() missing 1 required positional argument: 'item'"):
        obj.add()
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


@pytest.mark.parametrize("kind", MERGING, ids=lambda kind: kind.name)
def test_merging_with_itself_is_refused_as_borrowed(kind):
    obj = kind.filled()
    before = obj.to_bytes()
    with raises(RuntimeError, "Already mutably borrowed"):
        obj.merge(obj)
    assert obj.to_bytes() == before
    obj.merge(obj.copy())  # an equal copy merges


def test_classes_are_registered_in_order():
    names = [kind.name for kind in KINDS]
    order = ["BloomFilter", "CountingBloomFilter", "ScalableBloomFilter", "CuckooFilter", "HyperLogLog",
             "CountMinSketch", "MinHash", "TopK"]
    assert sorted(names) == sorted(order)
    assert _velt.__all__ == velt.__all__ == order
    assert [name for name in vars(_velt) if name in order] == order
