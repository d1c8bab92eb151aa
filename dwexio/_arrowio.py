"""DWEX documents to and from Apache Arrow tables of strings.

The native helper (dwexio._arrow) does the work on both paths, from the
file's UTF-8 bytes straight into Arrow string buffers and back, without a
Python str per leaf. pyarrow, polars and DuckDB stay optional: the reader
speaks the Arrow PyCapsule interface, which each of them consumes."""

from __future__ import annotations

import functools
import os
from collections.abc import Iterator, Sequence
from typing import Any, Union

from . import _arrow
from ._files import File, is_text, opened
from ._typed import TextWriter

DEFAULT_BATCH_ROWS = 65536

Header = Union[bool, Sequence[str]]


@functools.cache
def _pyarrow() -> Any:
    try:
        import pyarrow
    except ImportError:
        return None
    return pyarrow


class ArrowSchema:
    """The schema of an ArrowReader: its column names, and the Arrow C schema
    through ``__arrow_c_schema__`` (``pyarrow.schema(s)`` takes it)."""

    def __init__(self, stream: Any) -> None:
        self._stream = stream
        self.names: list[str] = stream.names

    def __arrow_c_schema__(self) -> object:
        return self._stream._schema()

    def __repr__(self) -> str:
        return f"ArrowSchema({', '.join(f'{name}: string' for name in self.names)})"


class ArrowReader:
    """The rows of a document as Arrow record batches of string columns.

    It implements the Arrow PyCapsule stream interface, so that
    ``pyarrow.table(r)``, ``polars.DataFrame(r)`` and DuckDB consume it, and
    it is consumed once. Iterating it yields ``pyarrow.RecordBatch`` objects
    (batches with ``__arrow_c_array__`` where pyarrow is missing) and raises
    the document's own SyntaxError or ValueError after the batches before
    the fault; a consumer's own reader gets the same message as text."""

    def __init__(self, stream: Any) -> None:
        self._stream = stream
        self.schema = ArrowSchema(stream)

    def __arrow_c_stream__(self, requested_schema: object = None) -> object:
        return self._stream.__arrow_c_stream__(requested_schema)

    def __iter__(self) -> Iterator[Any]:
        pa = _pyarrow()
        for batch in self._stream:
            yield pa.record_batch(batch) if pa is not None else batch

    def read_all(self) -> Any:
        """All the remaining rows as one pyarrow.Table."""
        pa = _pyarrow()
        if pa is None:
            raise ImportError("read_all() needs pyarrow: pip install 'dwex[arrow]'")
        schema = pa.schema(self.schema)
        return pa.Table.from_batches(list(self), schema=schema)


def _names(header: Header) -> list[str] | None:
    if isinstance(header, bool):
        return None
    if isinstance(header, (str, bytes)) or not isinstance(header, Sequence):
        raise TypeError(f"header must be True, False or a sequence of str, not {type(header).__name__}")
    names = list(header)
    for k, name in enumerate(names, 1):
        if not isinstance(name, str):
            raise TypeError(f"header: the name of column {k} is a {type(name).__name__}, not a str")
        if "\0" in name:
            raise ValueError(f"the name of column {k} holds a NUL character, "
                             "which an Arrow column name cannot")
        try:
            name.encode("utf-8")
        except UnicodeEncodeError:
            raise ValueError(f"the name of column {k} holds a lone surrogate, "
                             "which an Arrow string (UTF-8) cannot hold") from None
    return names


def read_arrow(file: File, *, header: Header = False,
               batch_rows: int = DEFAULT_BATCH_ROWS) -> ArrowReader:
    """Read a document as Arrow record batches of string columns.

    `file` is a path or an open binary file. `header=True` takes the column
    names from the first row, a sequence of str gives them, and otherwise
    they are f0, f1, .... Every row must have as many leaves as there are
    columns. Reading is streamed, `batch_rows` rows a batch (fewer where a
    column would pass 2 GiB): memory holds the batches being built and one
    chunk of the file. A zero-byte file is the empty table."""
    names = _names(header)
    if isinstance(batch_rows, bool) or not isinstance(batch_rows, int):
        raise TypeError(f"batch_rows must be an int, not {type(batch_rows).__name__}")
    if batch_rows < 1:
        raise ValueError("batch_rows must be at least 1")
    owned = isinstance(file, (str, os.PathLike))
    f = open(file, "rb") if owned else file
    if not owned and is_text(f):
        raise TypeError("read_arrow needs a path or a file opened in binary mode")
    try:
        stream = _arrow.read(f, owned, names, header is True, batch_rows)
    except BaseException:
        if owned:
            f.close()
        raise
    return ArrowReader(stream)


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
    text is exactly what dwexio.dump writes for the same rows."""
    if not isinstance(header, bool):
        raise TypeError(f"header must be True or False, not {type(header).__name__}")
    if null is not None and not isinstance(null, str):
        raise TypeError(f"null must be a str or None, not {type(null).__name__}")
    writer = TextWriter(data)
    with opened(file, "w") as f:
        writer.write(f, is_text(f), header, null)
