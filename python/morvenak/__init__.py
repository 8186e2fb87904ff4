"""Morvenak: nested multivariate analysis of variance by canonical redundancy
analysis, with permutation tests and canonical ordinations.

The engine is the one of the ``morvenak`` command, compiled into this
package: the same data and options give the same numbers, bit for bit.

>>> import morvenak
>>> r = morvenak.analyse([[1., 2], [2, 1], [5, 5], [6, 4]], ["x", "x", "y", "y"], permutations=0)
>>> r.table["df1"].tolist(), r.ssy
([1, 2, 3], 27.0)
"""

from ._analyse import analyse
from ._engine import version as _engine_version
from ._errors import Cancelled, Error, InvalidInput, MorvenakWarning, Stopped
from ._result import FactorLevels, Ordination, Result

__version__: str = _engine_version()

__all__ = ["analyse", "Result", "Ordination", "FactorLevels", "Error", "InvalidInput", "Stopped", "Cancelled",
           "MorvenakWarning", "__version__"]
