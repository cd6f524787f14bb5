"""velt: fast, exactly reproducible probabilistic data structures.

Every class is implemented in the native module ``velt._velt`` and re-exported here.
Importing the package also makes every class picklable (see ``velt._pickle``).
"""

from velt import _pickle, _velt
from velt._velt import *  # noqa: F403

__all__ = list(_velt.__all__)

_pickle.register()
