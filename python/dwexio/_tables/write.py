"""DWEX documents to and from Apache Arrow tables of strings.

The native module (dwexio._native) does the work on both paths, from the
file's UTF-8 bytes straight into Arrow string buffers and back, without a
Python str per leaf. pyarrow, polars and DuckDB stay optional: the reader
speaks the Arrow PyCapsule interface, which each of them consumes."""

from __future__ import annotations

import os
from typing import Any

from .read import DEFAULT_BATCH_ROWS, ArrowReader, ArrowSchema, read_arrow
from .._io.files import File, is_text, opened, untranslated
from .typed import TextWriter

__all__ = ["DEFAULT_BATCH_ROWS", "ArrowReader", "ArrowSchema", "read_arrow", "write_arrow"]


def write_arrow(data: Any, file: File, *, header: bool = False, null: str | None = None) -> None:
    """Write an Arrow table as a DWEX document.

    `data` is anything with ``__arrow_c_stream__`` or ``__arrow_c_array__``
    (a pyarrow Table, RecordBatch or RecordBatchReader, a polars DataFrame,
    ...). String, large_string and string_view columns and dictionaries of
    them are written as they are; numbers, booleans, decimals, dates, times,
    timestamps and durations as pyarrow.compute.cast to string gives them
    (pyarrow needed); any other column is a TypeError before the file is
    touched. `header=True` writes the column names as the first row. A null
    leaf raises ValueError unless `null` gives the text to write for it;
    an open file gets no part of a batch that holds one. A path ending .gz,
    .bz2, .xz or .zst is compressed, all or nothing. For string columns the
    text is exactly what dwexio.dump writes for the same rows, with the width
    digits of dwex.HEX as the call finds it; a HEX that dwex.stringify would
    fail on for some cell raises what stringify raises, and the file gets
    nothing (with such a HEX the document is held in memory until whole)."""
    if not isinstance(header, bool):
        raise TypeError(f"header must be True or False, not {type(header).__name__}")
    if null is not None and not isinstance(null, str):
        raise TypeError(f"null must be a str or None, not {type(null).__name__}")
    writer = TextWriter(data)
    if isinstance(file, (str, os.PathLike)):
        with opened(file, "w") as f:
            writer.write(f, is_text(f), header, null)
    else:
        # An open file stays open: no context to enter.
        f = untranslated(file)
        writer.write(f, is_text(f), header, null)
