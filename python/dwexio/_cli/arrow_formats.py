"""The command's Arrow formats: parquet and the Arrow IPC file format (.arrow,
.feather, which is Feather v2), read and written through pyarrow. A DWEX
document goes to and from them through read_arrow and write_arrow, batch by
batch; the text formats through lists of rows. Typed columns become text by
the one rule of dwexio._typed, and their names the first row."""

from __future__ import annotations

import io
import sys
from collections.abc import Callable, Iterable, Iterator
from typing import Any

from .._tables import typed
from .._tables.read import DEFAULT_BATCH_ROWS, read_arrow
from .._tables.typed import INSTALL_PYARROW
from .._tables.write import write_arrow
from .messages import FormatError, plural, printable

FORMATS = ("parquet", "arrow")
EXTENSIONS = {".parquet": "parquet", ".arrow": "arrow", ".feather": "arrow"}

Rows = list[list[str]]


def involved(*formats: str) -> bool:
    return any(fmt in FORMATS for fmt in formats)


def pyarrow() -> Any:
    """pyarrow with its parquet and IPC modules, or the one-line reason why not."""
    try:
        import pyarrow
        import pyarrow.compute  # noqa: F401
        import pyarrow.ipc  # noqa: F401
        import pyarrow.parquet  # noqa: F401
    except ImportError:
        raise FormatError(f"parquet and Arrow files need pyarrow: {INSTALL_PYARROW}") from None
    return pyarrow


def _seekable(f: Any) -> Any:
    """Parquet and the IPC file format are read from their end: a pipe, or
    a decompressing stream, is read whole first."""
    plain = isinstance(f, (io.BufferedReader, io.FileIO, io.BytesIO))
    return f if plain and f.seekable() else io.BytesIO(f.read())


class Input:
    """The batches of the input `name`, counted by `tick`: an Arrow error or
    a ValueError of the table names the input."""

    def __init__(self, name: str, tick: Callable[[int], None] = lambda rows: None) -> None:
        self.name = name
        self._tick = tick

    def batches(self, batches: Iterable[Any]) -> Iterator[Any]:
        import pyarrow as pa
        try:
            for batch in batches:
                self._tick(batch.num_rows)
                yield batch
        except (pa.ArrowException, ValueError) as e:
            if isinstance(e, (FormatError, UnicodeError)):
                raise
            raise FormatError(f"{printable(self.name)}: {e}") from None


def _batches_of_rows(pa: Any, batches: Iterable[Rows], header: bool) -> Any:
    """A RecordBatchReader over batches of rows of str."""
    it = iter(batches)
    first: Rows = []
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
                start = row_number
                for row in batch:
                    if len(row) != width:
                        raise ValueError(f"row {row_number} has {plural(len(row), 'cell')}, "
                                         f"but the table has {plural(width, 'column')}")
                    row_number += 1
                if not width:
                    yield pa.RecordBatch.from_pylist([{}] * len(batch), schema=schema)
                    continue
                columns = [list(col) for col in zip(*batch)]
                try:
                    arrays = [pa.array(c, pa.string()) for c in columns]
                except UnicodeEncodeError:
                    raise ValueError(_surrogate_at(columns, names, start)) from None
                yield pa.RecordBatch.from_arrays(arrays, schema=schema)

    return pa.RecordBatchReader.from_batches(schema, arrays())


def _surrogate_at(columns: list[list[str]], names: list[str], first_row: int) -> str:
    """Where the first leaf of `columns` that UTF-8 cannot hold is, in the
    words of read_arrow."""
    r, k = min((r, k) for k, column in enumerate(columns) for r, leaf in enumerate(column)
               if not leaf.isascii() and any("\ud800" <= ch <= "\udfff" for ch in leaf))
    return (f"row {first_row + r}, column {k + 1} ('{printable(names[k])}'): a lone surrogate, "
            "which an Arrow string (UTF-8) cannot hold")


def _has_nulls(column: Any) -> bool:
    """Whether `column` holds a null: a dictionary's null values count,
    which its null_count leaves out."""
    values = getattr(column, "dictionary", None)
    return bool(column.null_count or (values is not None and values.null_count))


def _first_null(pa: Any, batch: Any) -> tuple[int, int] | None:
    """(row, column) of the first null of `batch`, both from 0, or None."""
    found = [(int(pa.compute.index(column.is_null(), True).as_py()), k)
             for k, column in enumerate(batch.columns) if _has_nulls(column)]
    return min(found) if found else None


def _null_checked(pa: Any, reader: Any, name: str) -> Iterator[Any]:
    names = reader.schema.names
    rows = 0
    for batch in reader:
        if found := _first_null(pa, batch):
            r, k = found
            raise FormatError(f"{printable(name)}: row {rows + r + 1}, column {k + 1} "
                              f"('{printable(names[k])}') is null; --null TEXT gives the text "
                              "to write for a null")
        rows += batch.num_rows
        yield batch


def text_reader(pa: Any, reader: Any, name: str, null: str | None) -> Any:
    """`reader` with every column text, each batch checked whole for nulls
    before it is handed on unless `null` gives their text. A column without
    a text form is a FormatError before a batch is read."""
    try:
        text = typed.text_reader(reader)
    except TypeError as e:
        raise FormatError(f"{printable(name)}: {e}") from None
    if null is not None:
        return text
    return pa.RecordBatchReader.from_batches(text.schema, _null_checked(pa, text, name))


def _rows_of_batches(batches: Iterable[Any], null: str | None) -> Iterator[Rows]:
    """Batches of rows of str from record batches of text columns."""
    for batch in batches:
        if not batch.num_columns:
            yield [[] for _ in range(batch.num_rows)]
            continue
        columns = []
        for column in batch.columns:
            values = column.to_pylist()
            if _has_nulls(column):
                values = [null if v is None else v for v in values]
            columns.append(values)
        yield [list(row) for row in zip(*columns)]


def open_reader(fin: Any, source: str, name: str, header: bool = False,
                read_rows: Callable[[], Iterable[Any]] = list) -> Any:
    """A RecordBatchReader over the table in `fin`."""
    pa = pyarrow()
    try:
        if source == "dwex":
            # Its own iteration, so that a damaged document raises its SyntaxError.
            document = read_arrow(fin, header=header)
            return pa.RecordBatchReader.from_batches(pa.schema(document.schema), iter(document))
        if source == "parquet":
            parquet = pa.parquet.ParquetFile(_seekable(fin))
            return pa.RecordBatchReader.from_batches(
                parquet.schema_arrow, parquet.iter_batches(batch_size=DEFAULT_BATCH_ROWS))
        if source == "arrow":
            ipc = pa.ipc.open_file(_seekable(fin))
            return pa.RecordBatchReader.from_batches(
                ipc.schema, (ipc.get_batch(k) for k in range(ipc.num_record_batches)))
    except pa.ArrowException as e:
            raise FormatError(f"{printable(name)}: {e}") from None
    return _batches_of_rows(pa, read_rows(), header)


def read_rows(fin: Any, source: str, name: str, null: str | None) -> tuple[list[str], Iterator[Rows]]:
    """The column names and batches of rows of a binary file of an Arrow
    format, every column as text."""
    pa = pyarrow()
    reader = open_reader(fin, source, name)
    text = text_reader(pa, reader, name, null)
    return reader.schema.names, _rows_of_batches(Input(name).batches(text), null)


def convert(fin: Any, fout: Any, source: str, target: str, name: str, header: bool,
            null: str | None, read_rows: Callable[[], Iterable[Any]],
            write_rows: Callable[[Iterable[Any]], None], tick: Callable[[int], None]) -> None:
    """Converts where either side is an Arrow format: `fin` and `fout` are
    binary files for dwex and the Arrow formats, text files otherwise, for
    which `read_rows()` gives batches of rows and `write_rows` takes them
    (and calls `tick`, which is called here for the other targets). From an
    Arrow format, `header` writes the names as the first row; to one, it
    takes them from the first row."""
    pa = pyarrow()
    counted = Input(name, tick if target == "dwex" or target in FORMATS else lambda rows: None)
    reader = open_reader(fin, source, name, header and source not in FORMATS, read_rows)
    if target in FORMATS:
        writer = (pa.parquet.ParquetWriter(fout, reader.schema) if target == "parquet"
                  else pa.ipc.new_file(fout, reader.schema))
        with writer:
            for batch in counted.batches(reader):
                writer.write_batch(batch)
    elif target == "dwex":
        text = text_reader(pa, reader, name, null)
        write_arrow(pa.RecordBatchReader.from_batches(text.schema, counted.batches(text)),
                    fout, header=header, null=null)
    else:
        rows = _rows_of_batches(counted.batches(text_reader(pa, reader, name, null)), null)
        write_rows(_named(reader.schema.names, rows) if header else rows)
    if fout is sys.stdout.buffer:
        fout.flush()


def _named(names: list[str], batches: Iterator[Rows]) -> Iterator[Rows]:
    # The names go out with the first batch, so that a fault in that batch
    # (a null, a lone surrogate) leaves a pipe with no lone header line.
    yield [list(names), *next(batches, [])]
    yield from batches
