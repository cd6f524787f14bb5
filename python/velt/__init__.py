"""velt: fast, exactly reproducible probabilistic data structures.

Every class is implemented in the native module ``velt._velt`` and re-exported here.
"""

from velt import _velt
from velt._velt import *  # noqa: F403

__all__ = list(_velt.__all__)
