"""Pickle and copy support for the native classes, through their binary form.

The native module defines no pickling hooks; importing ``velt`` registers a
reducer with :mod:`copyreg` for every class in ``velt._velt.__all__``. A pickle
holds a call to :func:`restore` with the class name and the ``to_bytes`` form,
so it stays readable as long as that function and the binary format do.
"""

from __future__ import annotations

import copyreg
from collections.abc import Callable
from typing import Any

from velt import _velt


def restore(class_name: str, data: bytes) -> object:
    """Rebuild a structure pickled by velt: ``class_name.from_bytes(data)``."""
    if class_name not in _velt.__all__:
        raise ValueError(f"velt has no class {class_name!r} to restore")
    return getattr(_velt, class_name).from_bytes(data)


def reduce(structure: Any) -> tuple[Callable[[str, bytes], object], tuple[str, bytes]]:
    return restore, (type(structure).__name__, structure.to_bytes())


def register() -> None:
    for name in _velt.__all__:
        copyreg.pickle(getattr(_velt, name), reduce)
