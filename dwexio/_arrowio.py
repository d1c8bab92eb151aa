"""DWEX documents to and from Apache Arrow tables of strings.

The native helper (dwexio._arrow) does the work on both paths, from the
file's UTF-8 bytes straight into Arrow string buffers and back, without a
Python str per leaf. pyarrow, polars and DuckDB stay optional: the reader
speaks the Arrow PyCapsule interface, which each of them consumes."""

from __future__ import annotations

from typing import Any

from . import _arrow
from ._arrowread import DEFAULT_BATCH_ROWS, ArrowReader, ArrowSchema, read_arrow
from ._files import File, is_text, opened

__all__ = ["DEFAULT_BATCH_ROWS", "ArrowReader", "ArrowSchema", "read_arrow", "write_arrow"]


def _source(data: Any) -> Any:
    if type(data).__name__ == "LazyFrame" and type(data).__module__.startswith("polars"):
        data = data.collect()
    if hasattr(data, "__arrow_c_stream__"):
        return data.__arrow_c_stream__()
    if hasattr(data, "__arrow_c_array__"):
        return data.__arrow_c_array__()
    raise TypeError("write_arrow needs an Arrow table: an object with __arrow_c_stream__ or "
                    f"__arrow_c_array__, not {type(data).__name__}")


def write_arrow(data: Any, file: File, *, header: bool = False, null: str | None = None) -> None:
    """Write an Arrow table of string columns as a DWEX document.

    `data` is anything with ``__arrow_c_stream__`` or ``__arrow_c_array__``
    (a pyarrow Table, RecordBatch or RecordBatchReader, a polars DataFrame,
    ...); its columns are string, large_string, string_view or dictionaries
    of them. `header=True` writes the column names as the first row. A null
    leaf raises ValueError unless `null` gives the text to write for it.
    The file holds exactly what dwexio.dump writes for the same rows."""
    if not isinstance(header, bool):
        raise TypeError(f"header must be True or False, not {type(header).__name__}")
    if null is not None and not isinstance(null, str):
        raise TypeError(f"null must be a str or None, not {type(null).__name__}")
    writer = _arrow.writer(_source(data))
    with opened(file, "w") as f:
        _arrow.write(writer, f, is_text(f), header, null)
