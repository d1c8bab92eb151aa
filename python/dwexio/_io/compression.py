"""Files compressed by the suffix of their name: ``.gz``, ``.bz2``, ``.xz``
and ``.zst``, each through the standard library's module for it.

A compressed file is a stream of bytes like any other to the readers and
writers: the path names the format by the suffix before the compression one
(``people.dwex.gz`` is a DWEX document), and the compressed bytes are read
and written through the same open binary file as plain ones."""

from __future__ import annotations

import contextlib
import errno
import functools
import importlib
import io
import os
from collections.abc import Iterator
from typing import Any

# The suffix of a compressed file and the standard module that reads and
# writes it; each module's open() takes an open binary file.
CODECS = {".gz": "gzip", ".bz2": "bz2", ".xz": "lzma", ".zst": "compression.zstd"}


def suffix_of(path: str | bytes | os.PathLike[Any]) -> str | None:
    """The compression suffix that ends `path`, lower-cased, or None."""
    name = os.fsdecode(path)
    ext = os.path.splitext(name)[1].lower()
    return ext if ext in CODECS else None


def inner_name(path: str | bytes | os.PathLike[Any]) -> str:
    """`path` as a str without its compression suffix: what names its format."""
    name = os.fsdecode(path)
    return name[: -len(suffix_of(name) or "")] if suffix_of(name) else name


def _module(suffix: str) -> Any:
    try:
        return importlib.import_module(CODECS[suffix])
    except ImportError:
        raise ValueError(f"this Python cannot read or write {suffix} files: "
                         f"its {CODECS[suffix]} module is missing") from None


def wrap(raw: Any, suffix: str, mode: str) -> Any:
    """An open binary file that decompresses what it reads from `raw` (mode
    "r") or compresses what is written to it into `raw` (mode "w"). Closing
    it finishes the compressed stream but leaves `raw` open."""
    return _module(suffix).open(raw, mode + "b")


def _damaged(name: str, suffix: str, e: BaseException) -> OSError:
    why = str(e) or type(e).__name__
    return OSError(errno.EINVAL, f"not a whole {suffix} file ({why})", name)


class Decompressed(io.BufferedIOBase):
    """The decompressed bytes of a file it owns, read only forward (parquet
    and Arrow files, read from their end, are read whole first). `file` is
    the compressed file, whose position tells how far reading has come.
    Damaged compressed data is an OSError naming the path, as the gzip
    module's own BadGzipFile is an OSError."""

    def __init__(self, path: str | bytes | os.PathLike[Any], suffix: str) -> None:
        self.name = os.fsdecode(path)
        self._suffix = suffix
        self.file = open(path, "rb")
        try:
            self._stream = wrap(self.file, suffix, "r")
        except BaseException:
            self.file.close()
            raise

    def readable(self) -> bool:
        return True

    def _call(self, method: Any, *args: Any) -> Any:
        try:
            return method(*args)
        except (EOFError, OSError, ValueError, *_errors()) as e:
            if isinstance(e, OSError) and e.errno is not None:
                raise
            raise _damaged(self.name, self._suffix, e) from None

    def read(self, size: int | None = -1) -> bytes:
        return self._call(self._stream.read, -1 if size is None else size)

    def read1(self, size: int = -1) -> bytes:
        return self._call(self._stream.read1, size)

    def readinto(self, buffer: Any) -> int:
        return self._call(self._stream.readinto, buffer)

    def close(self) -> None:
        if not self.closed:
            try:
                self._stream.close()
            finally:
                self.file.close()
                super().close()


@functools.cache
def _errors() -> tuple[type[BaseException], ...]:
    """The damaged-data errors of the decompressors that are present."""
    found: list[type[BaseException]] = []
    for module, name in (("zlib", "error"), ("lzma", "LZMAError"), ("compression.zstd", "ZstdError")):
        with contextlib.suppress(ImportError):
            found.append(getattr(importlib.import_module(module), name))
    return tuple(found)


def open_decompressed(path: str | bytes | os.PathLike[Any]) -> Any:
    """`path` open for reading bytes, decompressed where its suffix says."""
    suffix = suffix_of(path)
    return Decompressed(path, suffix) if suffix else open(path, "rb")


@contextlib.contextmanager
def compressing(raw: Any, path: str | bytes | os.PathLike[Any]) -> Iterator[Any]:
    """`raw`, an open binary file for writing `path`, compressed where the
    suffix of `path` says: the compressed stream is finished at the end of
    the block, and left unfinished by an exception (the caller discards
    `raw` then)."""
    suffix = suffix_of(path)
    if suffix is None:
        yield raw
        return
    stream = wrap(raw, suffix, "w")
    try:
        yield stream
    except BaseException:
        # Closed now, into the output about to be discarded, rather than by
        # the collector into a closed file.
        with contextlib.suppress(Exception):
            stream.close()
        raise
    stream.close()
