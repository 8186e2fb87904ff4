"""The package's exceptions: the engine's three kinds of error, and the
status that the command line gives each (1: the analysis cannot be done with
this data; 2: the input does not make an analysis)."""

from typing import List, Optional, Sequence


class Error(Exception):
    """An error of the Morvenak engine: ``e.message`` (and ``str(e)``) is its
    message, the words the command line shows for it."""

    status = 1

    def __init__(self, message: str, reasons: Optional[Sequence[str]] = None) -> None:
        super().__init__(message)
        self.message: str = message
        #: What the engine reported before it stopped (collinear factors, a
        #: coding that fails its check, ...), when it did, each in a phrase
        #: that names the factors.
        self.reasons: List[str] = list(reasons or [])
        #: The warnings the analysis gave before it ended (each was also
        #: shown as a MorvenakWarning).
        self.warnings: List[str] = []

    def __str__(self) -> str:
        return self.message


class InvalidInput(Error, ValueError):
    """The input does not make an analysis: values that are not numbers or
    not finite, sizes that disagree, unknown columns, a nested factor that is
    not nested, options out of range (status 2)."""

    status = 2


class Stopped(Error):
    """The analysis cannot be done with this data: a singular matrix,
    collinear factors, data beyond the limits, ... (status 1). ``e.reason``
    says why as a code: ``"singular_matrix"``, ``"factors_collinear"``,
    ``"nesting_order"``, ``"nested_coding"``, ``"zero_column_sums"``,
    ``"not_enough_memory"``, ..."""

    status = 1

    def __init__(self, message: str, reasons: Optional[Sequence[str]] = None, reason: str = "") -> None:
        super().__init__(message, reasons)
        #: Why the analysis stopped, as a code (the engine's stop reason).
        self.reason: str = reason


class Cancelled(Error):
    """The analysis was cancelled (status 1)."""

    status = 1


class MorvenakWarning(UserWarning):
    """A warning of the analysis: something the user should know about the
    data or the design that does not stop it (a level with a single sample,
    negative values in Y, few arrangements of the main test, ...), in the
    words the command line shows. The same texts are in ``Result.warnings``."""


# Shown as morvenak.InvalidInput (and so on) in tracebacks: the names a user imports.
for _error in (Error, InvalidInput, Stopped, Cancelled, MorvenakWarning):
    _error.__module__ = "morvenak"
