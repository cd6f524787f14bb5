"""The native module as Python sees it: signatures, docstrings, properties, interpreters.
The stub (python/velt/_velt.pyi) is compared with the module by `make test-stubs`."""

import inspect

import pytest

import velt
from helpers import KINDS, every_kind


def test_the_module_names_its_classes_and_nothing_else():
    assert [name for name in dir(velt._velt) if not name.startswith("__")] == sorted(velt._velt.__all__)
    assert velt.__all__ == velt._velt.__all__ and len(velt.__all__) == len(KINDS)


@every_kind
def test_every_method_has_a_signature_and_a_docstring(kind):
    assert inspect.signature(kind.cls).parameters.keys() >= set(kind.settings)
    for name, value in vars(kind.cls).items():
        if name.startswith("_"):
            continue
        method = getattr(kind.cls, name)
        if callable(method):
            # The text signature marks the instance of every method but the static ones.
            assert method.__text_signature__.startswith("($self") != isinstance(value, staticmethod), name
            assert method.__doc__ and inspect.signature(method), name
        else:
            assert value.__doc__, name
            with pytest.raises(AttributeError):
                setattr(kind.make(), name, 1)


def test_a_second_interpreter_is_refused():
    interpreters = pytest.importorskip("_xxsubinterpreters")
    interpreter = interpreters.create()
    try:
        with pytest.raises(interpreters.RunFailedError, match="ImportError"):
            interpreters.run_string(interpreter, "import velt._velt")
    finally:
        interpreters.destroy(interpreter)
