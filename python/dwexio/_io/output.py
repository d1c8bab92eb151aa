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
from collections.abc import Iterator
from typing import Any

# The temporary file's name is the target's, hidden and marked; a long name
# is cut so that the marks still fit the file system's limit of 255 bytes.
_NAME_KEPT = 200


def named(e: OSError, name: str) -> OSError:
    """`e` naming `name`, for an error of a call that knows no file name."""
    if e.filename is not None:
        return e
    return OSError(e.errno, e.strerror, name)


def _temporary_beside(target: str) -> Iterator[bytes]:
    """Paths for a new file in the directory of `target`, each tried once."""
    directory, base = os.path.split(os.fsencode(target))
    while True:
        mark = secrets.token_hex(4).encode()
        yield os.path.join(directory, b".%s.%s.tmp" % (base[:_NAME_KEPT], mark))


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
        self._temporary: bytes | None = None
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
            fd = self._create_beside(target)
        # From here on a failure, memory running out included, closes the
        # descriptor and removes the new file.
        raw = None
        try:
            if old is not None and self._temporary is not None:
                _keep_owner_and_mode(fd, old)
            self._target = target
            raw = io.FileIO(fd, "wb")
            super().__init__(raw)
        except BaseException:
            try:
                if raw is None:
                    os.close(fd)
                else:
                    raw.close()
            finally:
                self._discard()
            raise
        self._done = False

    def _create_beside(self, target: str) -> int:
        """A new, empty file in the directory of `target`, its path in
        `_temporary` before it exists, so that whatever fails after its
        creation removes it. Created with mode 0o666, so that the umask
        applies as for any new file. The path is bytes: removing it then
        needs no memory for its encoding."""
        flags = os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_CLOEXEC
        for path in _temporary_beside(target):
            self._temporary = path
            try:
                return os.open(path, flags, 0o666)
            except FileExistsError:
                continue
            except OSError as e:
                self._temporary = None
                raise OSError(e.errno, e.strerror, self.shown) from None
        raise AssertionError("unreachable")

    def _discard(self) -> None:
        """Removes the new file, if there is one."""
        temporary = self._temporary
        self._temporary = None
        if temporary is not None:
            try:
                os.unlink(temporary)
            except FileNotFoundError:
                pass

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
        # No context managers here: the removal must not need memory that a
        # failure may have just found missing.
        try:
            super().close()
        except (OSError, ValueError):
            pass
        finally:
            self._discard()
