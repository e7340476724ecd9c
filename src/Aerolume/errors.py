"""The errors Aerolume raises for input it recognises as wrong: one base class, a subclass
per domain.  Each also derives from the built-in type callers caught before it existed
(a configuration error is a ValueError, a missing optional dependency an ImportError),
so that code catching those keeps working."""

from __future__ import annotations

import os

__all__ = ["AerolumeError", "ConfigError", "MissingDependency", "CommandError",
           "FileFormatError", "reason"]


class AerolumeError(Exception):
    """Base of the errors Aerolume raises for bad input it recognises."""


class ConfigError(AerolumeError, ValueError):
    """A configuration file that cannot be used: the message names the file and field."""


class MissingDependency(AerolumeError, ImportError):
    """An optional dependency is not installed; the message says how to install it."""


class CommandError(AerolumeError):
    """Bad input found by the command itself: its message is the one line shown."""


class FileFormatError(AerolumeError, ValueError):
    """A file that is not what its reader expects.

    Parameters
    ----------
    path : str or path
        The file.
    reason : str
        What is wrong with it, without its name.

    Attributes
    ----------
    path : str
        The file.
    reason : str
        What is wrong; the message is ``"{path}: {reason}"``.
    """

    def __init__(self, path: str | os.PathLike[str], reason: str):
        self.path = os.fspath(path)
        self.reason = reason
        super().__init__(f"{self.path}: {reason}")

    def __reduce__(self) -> tuple[type[FileFormatError], tuple[str, str]]:  # for the errors raised on Dask workers
        return type(self), (self.path, self.reason)


def reason(err: BaseException) -> str:
    """What is wrong with a file, without its name, from the error its reading raised.

    Parameters
    ----------
    err : BaseException
        A :class:`FileFormatError`, an :class:`OSError`, or another error whose message
        is the reason.

    Returns
    -------
    str
        The :attr:`FileFormatError.reason`, the operating system's words for an OSError,
        or the message.
    """
    if isinstance(err, FileFormatError):
        return err.reason
    if isinstance(err, OSError) and err.strerror:
        return err.strerror
    return str(err)
