"""Writing an output file so that it appears whole or not at all."""

from __future__ import annotations

import os
import pathlib
import tempfile
from typing import Callable


def write_atomically(path: str | os.PathLike, write: Callable[[str], None]) -> pathlib.Path:
    """Calls ``write(temporary)`` on a new file beside `path`, then renames it to `path`.

    A failure (or an interrupt) leaves neither a truncated `path` nor the temporary file,
    and an existing `path` is only replaced by a complete one.  The file gets the usual
    permissions of a new file (0666 less the umask), not the temporary file's 0600.
    """
    path = pathlib.Path(path)
    handle, temporary = tempfile.mkstemp(prefix=f".{path.name}.", suffix=".part",
                                         dir=path.parent)
    os.close(handle)
    try:
        umask = os.umask(0)
        os.umask(umask)
        os.chmod(temporary, 0o666 & ~umask)
        write(temporary)
        os.replace(temporary, path)
    except BaseException:
        try:
            os.unlink(temporary)
        except OSError:
            pass
        raise
    return path


def require_regular_file(path: str | os.PathLike) -> int:
    """The size of `path` (bytes), checked to be a regular file without opening it (a FIFO
    would wait for a writer, a device never end); OSError naming the path otherwise."""
    import stat

    info = os.stat(path)  # FileNotFoundError, PermissionError... name the path
    if not stat.S_ISREG(info.st_mode):
        kind = ("a folder" if stat.S_ISDIR(info.st_mode) else
                "a FIFO (named pipe)" if stat.S_ISFIFO(info.st_mode) else
                "a device" if stat.S_ISCHR(info.st_mode) or stat.S_ISBLK(info.st_mode) else
                "a socket" if stat.S_ISSOCK(info.st_mode) else "not a regular file")
        raise OSError(f"{os.fspath(path)}: not a regular file: {kind}")
    return info.st_size
