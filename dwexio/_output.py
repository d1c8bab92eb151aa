"""Output files that appear complete or not at all.

A regular file, or a path where nothing exists yet, is written to a new file
in the same directory, which replaces the target only once everything has
been written, flushed and closed without error; on any failure the new file
is removed, and the target keeps its old bytes or stays absent. Anything else
(a device, a FIFO, a terminal) is written in place: writing to it is all
there is, and it is never truncated or removed.
"""

from __future__ import annotations

import contextlib
import errno
import io
import os
import secrets
import stat
from typing import Any

# The temporary file's name is the target's, hidden and marked; a long name
# is cut so that the marks still fit the file system's limit of 255 bytes.
_NAME_KEPT = 200


def named(e: OSError, name: str) -> OSError:
    """`e` naming `name`, for an error of a call that knows no file name."""
    if e.filename is not None:
        return e
    return OSError(e.errno, e.strerror, name)


def _create_beside(target: str, shown: str) -> tuple[int, str]:
    """A new, empty file in the directory of `target`: its descriptor and
    path. Created with mode 0o666, so that the umask applies as for any new
    file."""
    directory, base = os.path.split(os.fsencode(target))
    flags = os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_CLOEXEC
    while True:
        mark = secrets.token_hex(4).encode()
        path = os.fsdecode(os.path.join(directory, b".%s.%s.tmp" % (base[:_NAME_KEPT], mark)))
        try:
            return os.open(path, flags, 0o666), path
        except FileExistsError:
            continue
        except OSError as e:
            raise OSError(e.errno, e.strerror, shown) from None


def _keep_owner_and_mode(fd: int, old: os.stat_result) -> None:
    os.fchmod(fd, stat.S_IMODE(old.st_mode))
    if (old.st_uid, old.st_gid) != (os.geteuid(), os.getegid()):
        # Only a privileged process may give a file away; otherwise the new
        # file is ours, as with any program that replaces a file.
        with contextlib.suppress(PermissionError):
            os.fchown(fd, old.st_uid, old.st_gid)


class Output(io.BufferedWriter):
    """A binary file open for writing `path`, all or nothing.

    commit() publishes what was written; close() without commit(), or the
    object's end, discards it. Errors of writing, flushing and closing name
    `path`."""

    def __init__(self, path: str | os.PathLike[str]) -> None:
        self._temporary: str | None = None
        self._done = True
        self.shown = os.fspath(path)
        try:
            old: os.stat_result | None = os.stat(self.shown)
        except FileNotFoundError:
            old = None
        # Through a symbolic link the file it points at is replaced, and the
        # link stays.
        target = os.path.realpath(self.shown) if os.path.islink(self.shown) else self.shown
        if old is not None and not stat.S_ISREG(old.st_mode):
            fd = os.open(self.shown, os.O_WRONLY | os.O_CLOEXEC)
        else:
            if old is not None and not os.access(self.shown, os.W_OK):
                # Replacing the file would get round its protection.
                raise PermissionError(errno.EACCES, os.strerror(errno.EACCES), self.shown)
            fd, self._temporary = _create_beside(target, self.shown)
            try:
                if old is not None:
                    _keep_owner_and_mode(fd, old)
            except BaseException:
                os.close(fd)
                os.unlink(self._temporary)
                raise
        self._target = target
        super().__init__(io.FileIO(fd, "wb"))
        self._done = False

    def write(self, data: Any) -> int:
        try:
            return super().write(data)
        except OSError as e:
            raise named(e, self.shown) from None

    def flush(self) -> None:
        try:
            super().flush()
        except OSError as e:
            raise named(e, self.shown) from None

    def commit(self) -> None:
        """Flushes and closes the file, then puts it in the target's place.
        On any failure nothing is published and the error is raised."""
        if self._done:
            raise ValueError("commit of an output that is closed already")
        try:
            self.flush()
            try:
                super().close()
            except OSError as e:
                raise named(e, self.shown) from None
            if self._temporary is not None:
                try:
                    os.replace(self._temporary, self._target)
                except OSError as e:
                    raise OSError(e.errno, e.strerror, self.shown) from None
                self._temporary = None
        except BaseException:
            self.close()
            raise
        self._done = True

    def close(self) -> None:
        """Discards what was written unless commit() published it."""
        if getattr(self, "_done", True):
            return
        self._done = True
        with contextlib.suppress(OSError, ValueError):
            super().close()
        if self._temporary is not None:
            with contextlib.suppress(FileNotFoundError):
                os.unlink(self._temporary)
            self._temporary = None
