"""Writing an output file so that it appears whole or not at all."""

from __future__ import annotations

import contextlib
import os
import pathlib
import tempfile
from collections.abc import Callable, Iterator


PART_SUFFIX = ".part"


def _parts_of(path: pathlib.Path) -> list[pathlib.Path]:
    """The temporary files write_atomically makes for `path`: ``.NAME.XXXXXXXX.part``
    (tempfile's random part: 8 characters of letters, digits and underscores)."""
    import re

    pattern = re.compile(re.escape(f".{path.name}.") + r"[a-z0-9_]{8}" + re.escape(PART_SUFFIX))
    try:
        names = os.listdir(path.parent if str(path.parent) else ".")
    except OSError:
        return []
    return [path.parent / n for n in names if pattern.fullmatch(n)]


def remove_stale_parts(path: pathlib.Path) -> list[pathlib.Path]:
    """Removes the temporary files of earlier writes of `path` that were killed before
    they could remove them: regular files of this naming whose lock no writer holds (a
    write under way, in any process, holds its file's lock); returns those removed."""
    import fcntl
    import stat

    removed = []
    for part in _parts_of(path):
        try:
            if not stat.S_ISREG(os.lstat(part).st_mode):
                continue
            fd = os.open(part, os.O_RDWR | os.O_NONBLOCK | os.O_NOFOLLOW | os.O_CLOEXEC)
        except OSError:
            continue
        try:
            fcntl.lockf(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
        except OSError:
            continue  # a live write's
        else:
            try:
                os.unlink(part)
                removed.append(part)
            except OSError:
                pass
        finally:
            os.close(fd)
    return removed


def write_atomically(path: str | os.PathLike[str], write: Callable[[str], None]) -> pathlib.Path:
    """Calls ``write(temporary)`` on a new file beside `path`, then renames it to `path`.

    A failure (or an interrupt) leaves neither a truncated `path` nor the temporary file,
    and an existing `path` is only replaced by a complete one.  The file gets the usual
    permissions of a new file (0666 less the umask), not the temporary file's 0600.  A
    failure of `write` is an OSError naming `path` (see :func:`write_error`).
    """
    with atomic_output(path) as temporary:
        try:
            write(temporary)
        except (OSError, RuntimeError) as err:
            raise write_error(err, pathlib.Path(path)) from err
    return pathlib.Path(path)


@contextlib.contextmanager
def atomic_output(path: str | os.PathLike[str]) -> Iterator[str]:
    """The temporary file that becomes `path` when the ``with`` block ends normally (see
    :func:`write_atomically`); on any exception it is removed and `path` is left as it
    was.  Errors of the block propagate as they are: the caller says what failed."""
    path = pathlib.Path(path)
    remove_stale_parts(path)
    handle, temporary = tempfile.mkstemp(prefix=f".{path.name}.", suffix=PART_SUFFIX,
                                         dir=path.parent)
    try:
        # Held until the write ends (or the process dies): marks the file as a live
        # write's for remove_stale_parts in other runs.  (A record lock: the netCDF
        # library takes flock()'s on the files it writes, which this must not block.)
        import fcntl
        fcntl.lockf(handle, fcntl.LOCK_EX | fcntl.LOCK_NB)
    except OSError:
        pass
    try:
        umask = os.umask(0)
        os.umask(umask)
        os.chmod(temporary, 0o666 & ~umask)
        yield temporary
        try:
            os.replace(temporary, path)
        except OSError as err:
            raise write_error(err, path) from err
    except BaseException:
        try:
            os.unlink(temporary)
        except OSError:
            pass
        raise
    finally:
        os.close(handle)


def write_error(err: BaseException, path: pathlib.Path) -> OSError:
    """What a failed write says in one line, naming the output: the file system full
    ("no space left on device", which netCDF reports as an "HDF error"), or the
    library's own reason."""
    import errno
    import shutil

    full = getattr(err, "errno", None) in (errno.ENOSPC, errno.EDQUOT)
    if not full:
        try:
            # The writer may name the cause only vaguely: a folder with under 1 MiB free.
            full = shutil.disk_usage(path.parent if str(path.parent) else ".").free < 1 << 20
        except OSError:
            pass
    if full:
        return OSError(errno.ENOSPC, "no space left on device (the previous file, if any, "
                       "is kept)", str(path))
    if isinstance(err, OSError) and err.strerror:
        return OSError(err.errno, f"cannot write: {err.strerror}", str(path))
    return OSError(f"{path}: cannot write: {err}")


def require_regular_file(path: str | os.PathLike[str]) -> int:
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
