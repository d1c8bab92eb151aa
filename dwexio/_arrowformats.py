"""The command's Arrow formats: parquet and the Arrow IPC file format (.arrow,
.feather, which is Feather v2), read and written through pyarrow. A DWEX
document goes to and from them through read_arrow and write_arrow, batch by
batch; the text formats through lists of rows."""

from __future__ import annotations

import io
import sys
from collections.abc import Callable, Iterable, Iterator
from typing import Any

from ._arrowio import DEFAULT_BATCH_ROWS, read_arrow, write_arrow

FORMATS = ("parquet", "arrow")
EXTENSIONS = {".parquet": "parquet", ".arrow": "arrow", ".feather": "arrow"}


def involved(*formats: str) -> bool:
    return any(fmt in FORMATS for fmt in formats)


def pyarrow() -> Any:
    """pyarrow with its parquet and IPC modules, or the one-line reason why not."""
    try:
        import pyarrow
        import pyarrow.ipc  # noqa: F401
        import pyarrow.parquet  # noqa: F401
    except ImportError:
        from ._formats import FormatError
        raise FormatError("parquet and Arrow files need pyarrow: pip install 'dwex[arrow]'") from None
    return pyarrow


def _seekable(f: Any) -> Any:
    """Parquet and the IPC file format are read from their end: a pipe is
    read whole first."""
    return f if f.seekable() else io.BytesIO(f.read())


def _batches_of_rows(pa: Any, batches: Iterable[list[list[str]]], header: bool) -> Any:
    """A RecordBatchReader over batches of rows of str."""
    it = iter(batches)
    first: list[list[str]] = []
    for first in it:
        if first:
            break
    names: list[str] | None = None
    if header and first:
        names, first = first[0], first[1:]
    width = len(names) if names is not None else len(first[0]) if first else 0
    names = names if names is not None else [f"f{k}" for k in range(width)]
    schema = pa.schema([(name, pa.string()) for name in names])
    row_number = 1 + bool(header)

    def arrays() -> Iterator[Any]:
        nonlocal row_number
        for rows in ([first] if first else []), it:
            for batch in rows:
                for row in batch:
                    if len(row) != width:
                        raise ValueError(f"row {row_number} has {len(row)} cells, "
                                         f"but the table has {width} columns")
                    row_number += 1
                columns = [list(col) for col in zip(*batch)] if width else []
                yield pa.RecordBatch.from_arrays([pa.array(c, pa.string()) for c in columns],
                                                 schema=schema) if width else \
                    pa.RecordBatch.from_pylist([{}] * len(batch), schema=schema)

    return pa.RecordBatchReader.from_batches(schema, arrays())


def _rows_of_batches(reader: Any, header: bool) -> Iterator[list[list[str]]]:
    """Batches of rows of str from an Arrow reader of string columns."""
    if header:
        yield [list(reader.schema.names)]
    for batch in reader:
        for k, column in enumerate(batch.columns):
            if column.null_count:
                raise ValueError(f"column {k + 1} ('{batch.schema.names[k]}') holds a null, "
                                 "which the target format cannot")
        yield [list(row) for row in zip(*(c.to_pylist() for c in batch.columns))] if batch.num_columns \
            else [[] for _ in range(batch.num_rows)]


def _open(pa: Any, fin: Any, source: str, header: bool, read_rows: Callable[[], Iterable[Any]]) -> Any:
    """A RecordBatchReader over the table in `fin`."""
    if source == "dwex":
        # Its own iteration, so that a damaged document raises its SyntaxError.
        document = read_arrow(fin, header=header)
        reader: Any = pa.RecordBatchReader.from_batches(pa.schema(document.schema), iter(document))
    elif source == "parquet":
        parquet = pa.parquet.ParquetFile(_seekable(fin))
        reader = pa.RecordBatchReader.from_batches(parquet.schema_arrow,
                                                   parquet.iter_batches(batch_size=DEFAULT_BATCH_ROWS))
    elif source == "arrow":
        ipc = pa.ipc.open_file(_seekable(fin))
        reader = pa.RecordBatchReader.from_batches(
            ipc.schema, (ipc.get_batch(k) for k in range(ipc.num_record_batches)))
    else:
        reader = _batches_of_rows(pa, read_rows(), header)
    return reader


def read_rows(fin: Any, source: str) -> Iterator[list[list[str]]]:
    """Batches of rows from a binary file of an Arrow format."""
    return _rows_of_batches(_open(pyarrow(), fin, source, False, list), False)


def convert(fin: Any, fout: Any, source: str, target: str, header: bool,
            read_rows: Callable[[], Iterable[Any]], write_rows: Callable[[Iterable[Any]], None]) -> None:
    """Converts where either side is an Arrow format: `fin` and `fout` are
    binary files for dwex and the Arrow formats, text files otherwise, for
    which `read_rows()` gives batches of rows and `write_rows` takes them."""
    pa = pyarrow()
    reader = _open(pa, fin, source, header, read_rows)
    if target == "dwex":
        try:
            write_arrow(reader, fout, header=header)
        except TypeError as e:
            from ._formats import FormatError
            raise FormatError(str(e)) from None
    elif target in FORMATS:
        writer = (pa.parquet.ParquetWriter(fout, reader.schema) if target == "parquet"
                  else pa.ipc.new_file(fout, reader.schema))
        with writer:
            for batch in reader:
                writer.write_batch(batch)
    else:
        write_rows(_rows_of_batches(reader, header))
    if fout is sys.stdout.buffer:
        fout.flush()
