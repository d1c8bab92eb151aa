"""Files compressed by the suffix of their name: ``.gz``, ``.bz2``, ``.xz``
and ``.zst``, each through the standard library's module for it.

A compressed file is a stream of bytes like any other to the readers and
writers: the path names the format by the suffix before the compression one
(``people.dwex.gz`` is a DWEX document), and the compressed bytes are read
and written through the same open binary file as plain ones."""

from __future__ import annotations

import importlib
import os
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
