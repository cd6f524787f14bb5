import inspect

import pytest

import velt
from velt import _velt

CLASS_ORDER = ["BloomFilter", "TopK"]

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
    "TopK": ["k", "size_in_bytes"],
}

# Constructor arguments of the classes that need some.
CONSTRUCTOR_ARGUMENTS = {"BloomFilter": {"num_bits": 64}, "TopK": {"k": 1}}


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
    instance = cls(**CONSTRUCTOR_ARGUMENTS.get(class_name, {}))
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


def test_no_pickling_hooks():
    import pickle

    with pytest.raises(TypeError):
        pickle.dumps(_velt.BloomFilter(num_bits=64))
