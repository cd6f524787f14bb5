import inspect

import pytest

import velt
from velt import _velt

CLASS_ORDER = [
    "BloomFilter",
    "CountingBloomFilter",
    "ScalableBloomFilter",
    "CuckooFilter",
    "HyperLogLog",
    "CountMinSketch",
    "MinHash",
    "TopK",
]

# The text signature of every constructor and method (`$self` marks the instance).
SIGNATURES = {
    "BloomFilter": "(expected_items=None, false_positive_rate=0.01, num_bits=None, num_hashes=None, seed=0)",
    "BloomFilter.add": "($self, item)",
    "BloomFilter.update": "($self, items)",
    "BloomFilter.update_many": "($self, items)",
    "BloomFilter.add_hash": "($self, hash)",
    "BloomFilter.update_hashes": "($self, hashes)",
    "BloomFilter.contains": "($self, item)",
    "BloomFilter.query": "($self, item)",
    "BloomFilter.query_many": "($self, items)",
    "BloomFilter.contains_hash": "($self, hash)",
    "BloomFilter.query_hashes": "($self, hashes)",
    "BloomFilter.merge": "($self, other)",
    "BloomFilter.intersection": "($self, other)",
    "BloomFilter.copy": "($self)",
    "BloomFilter.clear": "($self)",
    "BloomFilter.to_bytes": "($self)",
    "BloomFilter.from_bytes": "(data)",
    "BloomFilter.to_json": "($self)",
    "BloomFilter.from_json": "(data)",
    "BloomFilter.save": "($self, path)",
    "BloomFilter.load": "(path)",
    "BloomFilter.bit_count": "($self)",
    "BloomFilter.fill_ratio": "($self)",
    "BloomFilter.estimate_count": "($self)",
    "BloomFilter.health": "($self)",
    "BloomFilter.is_saturated": "($self)",
    "CountingBloomFilter": "(expected_items=None, false_positive_rate=0.01, num_counters=None, num_hashes=None, seed=0)",
    "CountingBloomFilter.add": "($self, item)",
    "CountingBloomFilter.update": "($self, items)",
    "CountingBloomFilter.update_many": "($self, items)",
    "CountingBloomFilter.add_hash": "($self, hash)",
    "CountingBloomFilter.update_hashes": "($self, hashes)",
    "CountingBloomFilter.remove": "($self, item)",
    "CountingBloomFilter.contains": "($self, item)",
    "CountingBloomFilter.query": "($self, item)",
    "CountingBloomFilter.query_many": "($self, items)",
    "CountingBloomFilter.contains_hash": "($self, hash)",
    "CountingBloomFilter.query_hashes": "($self, hashes)",
    "CountingBloomFilter.merge": "($self, other)",
    "CountingBloomFilter.copy": "($self)",
    "CountingBloomFilter.clear": "($self)",
    "CountingBloomFilter.to_bytes": "($self)",
    "CountingBloomFilter.from_bytes": "(data)",
    "CountingBloomFilter.to_json": "($self)",
    "CountingBloomFilter.from_json": "(data)",
    "CountingBloomFilter.save": "($self, path)",
    "CountingBloomFilter.load": "(path)",
    "CountingBloomFilter.count": "($self, item)",
    "CountingBloomFilter.fill_ratio": "($self)",
    "CountingBloomFilter.health": "($self)",
    "CuckooFilter": "(capacity, seed=0)",
    "CuckooFilter.add": "($self, item)",
    "CuckooFilter.update": "($self, items)",
    "CuckooFilter.update_many": "($self, items)",
    "CuckooFilter.add_hash": "($self, hash)",
    "CuckooFilter.update_hashes": "($self, hashes)",
    "CuckooFilter.contains": "($self, item)",
    "CuckooFilter.query": "($self, item)",
    "CuckooFilter.query_many": "($self, items)",
    "CuckooFilter.contains_hash": "($self, hash)",
    "CuckooFilter.query_hashes": "($self, hashes)",
    "CuckooFilter.remove": "($self, item)",
    "CuckooFilter.copy": "($self)",
    "CuckooFilter.clear": "($self)",
    "CuckooFilter.to_bytes": "($self)",
    "CuckooFilter.from_bytes": "(data)",
    "CuckooFilter.to_json": "($self)",
    "CuckooFilter.from_json": "(data)",
    "CuckooFilter.save": "($self, path)",
    "CuckooFilter.load": "(path)",
    "CuckooFilter.capacity": "($self)",
    "CuckooFilter.health": "($self)",
    "ScalableBloomFilter": "(initial_capacity=1000, false_positive_rate=0.01, growth_ratio=2.0, fpr_ratio=0.5, seed=0)",
    "ScalableBloomFilter.add": "($self, item)",
    "ScalableBloomFilter.update": "($self, items)",
    "ScalableBloomFilter.update_many": "($self, items)",
    "ScalableBloomFilter.add_hash": "($self, hash)",
    "ScalableBloomFilter.update_hashes": "($self, hashes)",
    "ScalableBloomFilter.contains": "($self, item)",
    "ScalableBloomFilter.query": "($self, item)",
    "ScalableBloomFilter.query_many": "($self, items)",
    "ScalableBloomFilter.contains_hash": "($self, hash)",
    "ScalableBloomFilter.query_hashes": "($self, hashes)",
    "ScalableBloomFilter.copy": "($self)",
    "ScalableBloomFilter.clear": "($self)",
    "ScalableBloomFilter.to_bytes": "($self)",
    "ScalableBloomFilter.from_bytes": "(data)",
    "ScalableBloomFilter.to_json": "($self)",
    "ScalableBloomFilter.from_json": "(data)",
    "ScalableBloomFilter.save": "($self, path)",
    "ScalableBloomFilter.load": "(path)",
    "ScalableBloomFilter.capacity": "($self)",
    "ScalableBloomFilter.false_positive_rate": "($self)",
    "ScalableBloomFilter.health": "($self)",
    "MinHash": "(num_hashes=128, seed=0)",
    "MinHash.add": "($self, item)",
    "MinHash.update": "($self, items)",
    "MinHash.update_many": "($self, items)",
    "MinHash.add_hash": "($self, hash)",
    "MinHash.update_hashes": "($self, hashes)",
    "MinHash.jaccard": "($self, other)",
    "MinHash.query": "($self, other)",
    "MinHash.jaccard_interval": "($self, other, confidence=0.95)",
    "MinHash.merge": "($self, other)",
    "MinHash.copy": "($self)",
    "MinHash.clear": "($self)",
    "MinHash.is_empty": "($self)",
    "MinHash.to_bytes": "($self)",
    "MinHash.from_bytes": "(data)",
    "MinHash.to_json": "($self)",
    "MinHash.from_json": "(data)",
    "MinHash.save": "($self, path)",
    "MinHash.load": "(path)",
    "MinHash.get_signature": "($self)",
    "MinHash.signature": "($self)",
    "MinHash.standard_error": "($self)",
    "HyperLogLog": "(precision=14, seed=0)",
    "HyperLogLog.add": "($self, item)",
    "HyperLogLog.update": "($self, items)",
    "HyperLogLog.update_many": "($self, items)",
    "HyperLogLog.add_hash": "($self, hash)",
    "HyperLogLog.update_hashes": "($self, hashes)",
    "HyperLogLog.cardinality": "($self)",
    "HyperLogLog.query": "($self)",
    "HyperLogLog.confidence_interval": "($self, confidence=0.95)",
    "HyperLogLog.unbiased_cardinality": "($self)",
    "HyperLogLog.unbiased_confidence_interval": "($self, confidence=0.95)",
    "HyperLogLog.merge": "($self, other)",
    "HyperLogLog.copy": "($self)",
    "HyperLogLog.clear": "($self)",
    "HyperLogLog.to_bytes": "($self)",
    "HyperLogLog.from_bytes": "(data)",
    "HyperLogLog.to_json": "($self)",
    "HyperLogLog.from_json": "(data)",
    "HyperLogLog.save": "($self, path)",
    "HyperLogLog.load": "(path)",
    "HyperLogLog.relative_error": "($self)",
    "CountMinSketch": "(width=None, depth=None, error_rate=None, confidence=None, seed=0)",
    "CountMinSketch.add": "($self, item, count=1)",
    "CountMinSketch.add_count": "($self, item, count)",
    "CountMinSketch.update": "($self, items)",
    "CountMinSketch.update_many": "($self, items)",
    "CountMinSketch.add_hash": "($self, hash, count=1)",
    "CountMinSketch.update_hashes": "($self, hashes)",
    "CountMinSketch.query": "($self, item)",
    "CountMinSketch.count": "($self, item)",
    "CountMinSketch.query_many": "($self, items)",
    "CountMinSketch.query_hash": "($self, hash)",
    "CountMinSketch.query_hashes": "($self, hashes)",
    "CountMinSketch.merge": "($self, other)",
    "CountMinSketch.copy": "($self)",
    "CountMinSketch.clear": "($self)",
    "CountMinSketch.to_bytes": "($self)",
    "CountMinSketch.from_bytes": "(data)",
    "CountMinSketch.to_json": "($self)",
    "CountMinSketch.from_json": "(data)",
    "CountMinSketch.save": "($self, path)",
    "CountMinSketch.load": "(path)",
    "CountMinSketch.error_rate": "($self)",
    "CountMinSketch.confidence": "($self)",
    "CountMinSketch.error_bound": "($self)",
    "CountMinSketch.inner_product": "($self, other)",
    "TopK": "(k)",
    "TopK.add": "($self, item, count=1)",
    "TopK.add_count": "($self, item, count)",
    "TopK.update": "($self, items)",
    "TopK.update_many": "($self, items)",
    "TopK.query": "($self, item)",
    "TopK.count": "($self, item)",
    "TopK.query_many": "($self, items)",
    "TopK.contains": "($self, item)",
    "TopK.top": "($self, n=None)",
    "TopK.top_with_error": "($self, n=None)",
    "TopK.min_count": "($self)",
    "TopK.merge": "($self, other)",
    "TopK.copy": "($self)",
    "TopK.clear": "($self)",
    "TopK.to_bytes": "($self)",
    "TopK.from_bytes": "(data)",
    "TopK.to_json": "($self)",
    "TopK.from_json": "(data)",
    "TopK.save": "($self, path)",
    "TopK.load": "(path)",
}

PROPERTIES = {
    "BloomFilter": ["num_bits", "num_hashes", "size_in_bytes", "false_positive_rate", "seed"],
    "CountingBloomFilter": ["num_counters", "num_hashes", "size_in_bytes", "seed", "false_positive_rate"],
    "CuckooFilter": ["load_factor", "size_in_bytes", "seed"],
    "ScalableBloomFilter": ["num_slices", "num_filters", "size_in_bytes", "seed"],
    "MinHash": ["num_hashes", "size_in_bytes", "seed"],
    "HyperLogLog": ["estimate", "precision", "size_in_bytes", "seed", "standard_error"],
    "CountMinSketch": ["width", "depth", "size_in_bytes", "seed", "total_count"],
    "TopK": ["k", "size_in_bytes"],
}

# Arguments that build a small instance of classes whose constructor needs some.
MINIMAL_ARGUMENTS = {
    "BloomFilter": {"num_bits": 64},
    "CountingBloomFilter": {"num_counters": 64},
    "CountMinSketch": {"width": 8, "depth": 2},
    "CuckooFilter": {"capacity": 1},
    "TopK": {"k": 1},
}


def resolve(dotted):
    target = _velt
    for part in dotted.split("."):
        target = getattr(target, part)
    return target


def test_classes_are_registered_in_order():
    assert _velt.__all__ == CLASS_ORDER
    assert velt.__all__ == CLASS_ORDER
    assert [name for name in vars(_velt) if name in CLASS_ORDER] == CLASS_ORDER
    assert _velt.__doc__


@pytest.mark.parametrize("dotted, signature", sorted(SIGNATURES.items()))
def test_text_signatures(dotted, signature):
    target = resolve(dotted)
    assert target.__text_signature__ == signature
    expected = signature.replace("$self", "self, /") if signature != "($self)" else "(self, /)"
    assert str(inspect.signature(target)) == expected


@pytest.mark.parametrize("class_name", CLASS_ORDER)
def test_every_public_method_has_a_signature_entry(class_name):
    cls = getattr(_velt, class_name)
    methods = {f"{class_name}.{name}" for name, value in vars(cls).items()
               if not name.startswith("_") and callable(getattr(cls, name))}
    assert methods == {key for key in SIGNATURES if key.startswith(class_name + ".")}


@pytest.mark.parametrize("class_name, names", sorted(PROPERTIES.items()))
def test_properties_are_read_only_and_documented(class_name, names):
    cls = getattr(_velt, class_name)
    instance = cls(**MINIMAL_ARGUMENTS.get(class_name, {}))
    for name in names:
        descriptor = vars(cls)[name]
        assert descriptor.__doc__
        with pytest.raises(AttributeError):
            setattr(instance, name, 1)


def test_static_methods_work_on_class_and_instance():
    bloom = _velt.BloomFilter(num_bits=64, num_hashes=1)
    data = bloom.to_bytes()
    assert _velt.BloomFilter.from_bytes(data).to_bytes() == data
    assert bloom.from_bytes(data).to_bytes() == data


@pytest.mark.parametrize("class_name", CLASS_ORDER)
def test_no_pickling_hooks(class_name):
    # Pickling is the package's business (velt._pickle, through copyreg), not the module's.
    hooks = {"__reduce__", "__reduce_ex__", "__getstate__", "__setstate__", "__getnewargs__", "__getnewargs_ex__"}
    assert not hooks & set(vars(getattr(_velt, class_name)))


def test_importing_again_gives_the_same_module():
    import importlib
    import sys

    first = sys.modules.pop("velt._velt")
    try:
        assert importlib.import_module("velt._velt") is first
    finally:
        sys.modules["velt._velt"] = first


def test_a_second_interpreter_is_refused():
    interpreters = pytest.importorskip("_xxsubinterpreters")
    interpreter = interpreters.create()
    try:
        with pytest.raises(interpreters.RunFailedError, match="ImportError"):
            interpreters.run_string(interpreter, "import velt._velt")
    finally:
        interpreters.destroy(interpreter)
