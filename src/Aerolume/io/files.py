"""The file lists every reader shares: paths and glob patterns expanded, the files that
could not be read reported (raised, or skipped with one warning), and the version stamp
of what is written."""

from __future__ import annotations

import glob
import os
import warnings
from collections.abc import Callable, Iterable, Sequence
from typing import Any, Union


from Aerolume.errors import FileFormatError

PathLike = Union[str, "os.PathLike[str]"]
#: One path or glob pattern, or an iterable of them (what the readers take).
PathsLike = Union[PathLike, Iterable[PathLike]]

def package_version() -> str:
    """The version of Aerolume (recorded in provenance attributes).

    Returns
    -------
    str
        ``Aerolume.__version__``, written once in ``Aerolume/_version.py``.
    """
    from Aerolume._version import __version__
    return __version__


def _pattern_matches(path: str) -> list[str] | None:
    """The files the glob pattern `path` matches, sorted; None when `path` is no pattern
    (it has no ``*``, ``?`` or ``[``, or a file of that very name exists)."""
    if not glob.has_magic(path) or os.path.exists(path):
        return None
    return sorted(glob.glob(path))


def expand_patterns(patterns: Iterable[str],
                    no_match: Callable[[str], Exception]) -> list[str]:
    """The files `patterns` name, in order: a name that is no glob pattern stays as it is,
    a pattern gives its sorted matches; `no_match(pattern)` is the error raised for a
    pattern that matches nothing."""
    files: list[str] = []
    for pattern in patterns:
        found = _pattern_matches(pattern)
        if found is None:
            files.append(pattern)
        elif not found:
            raise no_match(pattern)
        else:
            files.extend(found)
    return files


def _expand(paths: PathsLike) -> list[str]:
    """The files `paths` names: a path, a glob pattern, or an iterable of those."""
    if isinstance(paths, (str, bytes, os.PathLike)):
        items: Iterable[object] = [paths]
    elif isinstance(paths, Iterable):
        items = list(paths)
    else:
        raise TypeError(f"paths must be a path, a glob pattern or a list of them, "
                        f"not {type(paths).__name__}")
    names: list[str] = []
    for item in items:
        if not isinstance(item, (str, bytes, os.PathLike)):
            raise TypeError(f"paths must hold paths, not {type(item).__name__}")
        path = os.fspath(item)
        if not isinstance(path, str):
            path = os.fsdecode(path)
        try:
            path.encode("utf-8")
        except UnicodeEncodeError:
            raise ValueError(f"paths: the file name {path!r} is not valid UTF-8 (as the "
                             "reader needs); rename the file") from None
        names.append(path)
    files = expand_patterns(names, lambda p: FileNotFoundError(f"paths: no file matches {p!r}"))
    if not files:
        raise ValueError("paths names no file")
    return files


SKIPPED_LISTED = 10


def skipped_message(head: str, problems: Sequence[tuple[Any, ...]]) -> str:
    """The warning `head` for `problems` [(path, why, ...)], the files skipped: each one,
    or for many the first few and the name of a file listing them all."""
    lines = [f"  {p[0]}: {p[1]}" for p in problems]
    if len(lines) <= SKIPPED_LISTED:
        return head + ":\n" + "\n".join(lines)
    import tempfile
    try:
        with tempfile.NamedTemporaryFile("w", prefix="aerolume-skipped-", suffix=".txt",
                                         delete=False, encoding="utf-8") as f:
            f.write("\n".join(line.strip() for line in lines) + "\n")
        where = f"every one is listed in {f.name}"
    except OSError as err:
        where = f"the full list could not be written: {err}"
    return (f"{head}; the first {SKIPPED_LISTED} ({where}):\n"
            + "\n".join(lines[:SKIPPED_LISTED]))


# Header values a raw file may hold: outside these they are impossible and the file is
# refused (naming the data set and field); past the "usual" bounds, a warning.
def _fail(problems: list[tuple[str, str, bool]], total: int, errors: str) -> None:
    """Raises for `problems` [(path, why, is_os_error)] or warns that they were skipped."""
    if not problems:
        return
    if errors == "skip":
        warnings.warn(skipped_message(f"read_licel skipped {len(problems)} of {total} "
                                      "file(s)", problems),
                      RuntimeWarning, stacklevel=3)
        return
    shown = problems if len(problems) <= 100 else problems[:100]
    lines = "\n".join(f"  {path}: {why}" for path, why, _ in shown)
    if len(shown) < len(problems):
        lines += f"\n  (and {len(problems) - len(shown)} more)"
    if len(problems) == 1:
        path, why, os_error = problems[0]
        message = f"{path}: {why}"
        if os_error:
            raise (FileNotFoundError if "No such file" in why else OSError)(message)
        raise FileFormatError(path, why)
    if all(p[2] for p in problems):
        raise OSError(f"cannot read {len(problems)} of {total} files:\n{lines}")
    raise ValueError(f"cannot read {len(problems)} of {total} files:\n{lines}")


