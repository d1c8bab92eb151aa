"""read_arrow: a DWEX document as Arrow record batches, and the reader that
hands them out.

The native helper (dwexio._native) turns the file's UTF-8 bytes straight into
Arrow string buffers, without a Python str per leaf, building only the
columns asked for and stopping at the row limit. A reader of a path opens
the file again for every scan, so that a consumer such as DuckDB may read
it twice; a reader of an open file can only be read once."""

from __future__ import annotations

import functools
import operator
import os
from collections.abc import Iterator, Mapping, Sequence
from typing import Any, Union

from .. import _native
from .._io.compression import suffix_of, wrap
from .._io.files import ENCODING, ERRORS, File, is_text, untranslated

DEFAULT_BATCH_ROWS = _native.BATCH_ROWS

# What the native reader takes as a row count: a signed 64-bit integer.
_MAX_ROWS = 2**63 - 1

# string_type's choices, as the native reader numbers them.
STRING_TYPES = {"string": 0, "large_string": 1, "string_view": 2}

# Bytes of the file read at a time when several threads read it, at most:
# each window is cut among the threads, and memory holds one window and its
# batches. Windows grow to this with the bytes read before them.
WINDOW_BYTES = _native.WINDOW_BYTES

READ_ONCE = ("this reader of an open file has already been read; "
             "give read_arrow a path to read a file more than once")

Header = Union[bool, Sequence[str]]
Path = Union[str, bytes, "os.PathLike[Any]"]


@functools.cache
def _pyarrow() -> Any:
    try:
        import pyarrow
    except ImportError:
        return None
    return pyarrow


def _needs_pyarrow(what: str) -> Any:
    pa = _pyarrow()
    if pa is None:
        raise ImportError(f"{what} needs pyarrow: pip install 'dwex[arrow]'")
    return pa


def _threads(threads: object) -> int:
    if threads is None:
        try:
            return max(len(os.sched_getaffinity(0)), 1)
        except (AttributeError, OSError):
            return os.cpu_count() or 1
    return _count("threads", threads, 1)


def _seekable(file: Any) -> bool:
    try:
        return bool(file.seekable())
    except Exception:
        return False


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


def _count(name: str, value: object, least: int) -> int:
    if isinstance(value, bool) or not isinstance(value, int):
        raise TypeError(f"{name} must be an int, not {type(value).__name__}")
    if value < least:
        raise ValueError(f"{name} must be at least {least}")
    if value > _MAX_ROWS:
        raise ValueError(f"{name} must be at most 2**63 - 1")
    return value


def _plural(n: int, word: str) -> str:
    return f"{n} {word}" if n == 1 else f"{n} {word}s"


def _listing(names: Sequence[str]) -> str:
    return ", ".join(repr(n) for n in names) if names else "none"


def _resolve(columns: Sequence[str | int], names: list[str]) -> list[int]:
    """The 0-based indices of `columns` (names or indices) among `names`."""
    chosen = []
    for c in columns:
        if isinstance(c, str):
            if c not in names:
                raise ValueError(f"columns: no column is named {c!r}; the columns are {_listing(names)}")
            chosen.append(names.index(c))
        else:
            if not 0 <= c < len(names):
                raise ValueError(f"columns: there is no column {c}; the table has "
                                 f"{_plural(len(names), 'column')}, numbered from 0")
            chosen.append(c)
    return chosen


def _columns(columns: object) -> list[str | int] | None:
    if columns is None:
        return None
    if isinstance(columns, (str, bytes)) or not isinstance(columns, Sequence):
        raise TypeError(f"columns must be a sequence of column names or indices, not {type(columns).__name__}")
    out: list[str | int] = []
    for c in columns:
        if isinstance(c, str):
            out.append(c)
        elif isinstance(c, int) and not isinstance(c, bool):
            out.append(operator.index(c))
        else:
            raise TypeError(f"columns: {c!r} is neither a column name (str) nor an index (int)")
    return out


def _schema(schema: object) -> dict[str, Any] | None:
    """Column name -> pyarrow type, each checked to be castable from text."""
    if schema is None:
        return None
    pa = _needs_pyarrow("schema=")
    if isinstance(schema, pa.Schema):
        types = {field.name: field.type for field in schema}
    elif isinstance(schema, Mapping):
        types = {}
        for name, t in schema.items():
            if isinstance(t, str):
                try:
                    t = pa.type_for_alias(t)
                except ValueError:
                    raise ValueError(f"schema: {t!r} (column {name!r}) names no Arrow type") from None
            if not isinstance(t, pa.DataType):
                raise TypeError(f"schema: the type of column {name!r} must be a pyarrow.DataType, "
                                f"not {type(t).__name__}")
            types[name] = t
    else:
        raise TypeError(f"schema must be a pyarrow.Schema or a mapping of column names to Arrow types, "
                        f"not {type(schema).__name__}")
    import pyarrow.compute as pc

    for name, t in types.items():
        try:
            pc.cast(pa.array([], pa.string()), t)
        except (pa.ArrowNotImplementedError, pa.ArrowInvalid):
            raise TypeError(f"schema: column {name!r} cannot be read as {t}: "
                            "there is no cast from text to it") from None
    return types


class _Decompressed:
    """The decompressing file over a path's own, closing both; its errors
    (damaged or cut-short compressed data) start with the path."""

    def __init__(self, inner: Any, raw: Any, label: str) -> None:
        self._inner, self._raw, self._label = inner, raw, label

    def read(self, n: int) -> bytes:
        try:
            return self._inner.read(n)
        except MemoryError:
            raise
        except Exception as e:
            try:
                named = type(e)(f"{self._label}: {e}")
            except Exception:
                raise e from None
            raise named from e

    def close(self) -> None:
        try:
            self._inner.close()
        finally:
            self._raw.close()


class _Encoded:
    """A text file's str, as the UTF-8 (with surrogatepass) that load sees."""

    def __init__(self, file: Any) -> None:
        self._file = file

    def read(self, n: int) -> bytes:
        return self._file.read(n).encode(ENCODING, ERRORS)


def _open_path(path: Path) -> Any:
    raw = open(path, "rb")
    suffix = suffix_of(path)
    if suffix is None:
        return raw
    try:
        return _Decompressed(wrap(raw, suffix, "r"), raw, os.fsdecode(path))
    except BaseException:
        raw.close()
        raise


class ArrowSchema:
    """The schema of an ArrowReader: its column names, and the Arrow C schema
    through ``__arrow_c_schema__`` (``pyarrow.schema(s)`` takes it)."""

    def __init__(self, reader: ArrowReader) -> None:
        self._reader = reader
        self.names: list[str] = list(reader._names)

    def __arrow_c_schema__(self) -> object:
        target = self._reader._target()
        if target is not None:
            return target.__arrow_c_schema__()
        return _native.schema(self._reader._names, self._reader._layout)

    def __repr__(self) -> str:
        return f"ArrowSchema({', '.join(f'{n}: {t}' for n, t in self._reader._type_names())})"


class ArrowReader:
    """The rows of a document as Arrow record batches.

    It implements the Arrow PyCapsule stream interface, so that
    ``pyarrow.table(r)``, ``polars.DataFrame(r)`` and DuckDB consume it.
    Every scan (a ``__arrow_c_stream__`` call, an iteration, ``read_all``)
    reads the document from its first row: a reader of a path opens the file
    again each time; a reader of an open file is read once, and a second scan
    raises ValueError. Iterating yields ``pyarrow.RecordBatch`` objects
    (batches with ``__arrow_c_array__`` where pyarrow is missing) and raises
    the document's own SyntaxError or ValueError after the batches before
    the fault; a consumer's own reader gets the same message as text."""

    def __init__(self, source: Any, path: Path | None, open_stream: Any, first: Any, *,
                 header_rows: int, layout: int, types: dict[str, Any] | None,
                 indices: list[int]) -> None:
        self._source = source
        self._path = path
        self._open_stream = open_stream
        self._pending = first
        self._names: list[str] = first.names
        self._header_rows = header_rows
        self._layout = layout
        self._types = types
        self._indices = indices
        self._closed = False
        self.schema = ArrowSchema(self)

    # --- scans --------------------------------------------------------------

    def _take(self) -> Any:
        if self._closed:
            raise ValueError("this reader is closed")
        stream, self._pending = self._pending, None
        if stream is not None:
            return stream
        if self._path is None:
            raise ValueError(READ_ONCE)
        return self._open_stream()

    @property
    def _stream(self) -> Any:
        """The native stream of a new scan, batches without pyarrow."""
        return self._take()

    def _target(self) -> Any:
        if not self._types:
            return None
        pa = _needs_pyarrow("schema=")
        string = (pa.string(), pa.large_string(), pa.string_view())[self._layout]
        return pa.schema([(n, self._types.get(n, string)) for n in self._names])

    def _type_names(self) -> list[tuple[str, str]]:
        plain = [k for k, v in STRING_TYPES.items() if v == self._layout][0]
        types = self._types or {}
        return [(n, str(types[n]) if n in types else plain) for n in self._names]

    def _batches(self, stream: Any) -> Iterator[Any]:
        pa = _pyarrow()
        row = self._header_rows
        for batch in stream:
            if pa is None:
                yield batch
                continue
            batch = pa.record_batch(batch)
            if self._types:
                batch = self._cast(batch, row)
            row += batch.num_rows
            yield batch

    def _cast(self, batch: Any, rows_before: int) -> Any:
        import pyarrow.compute as pc

        pa = _pyarrow()
        arrays = []
        for k, name in enumerate(self._names):
            column = batch.column(k)
            t = self._types.get(name) if self._types else None
            if t is not None:
                if column.type == pa.string_view():
                    # pyarrow parses few types from views: the text goes as a string column.
                    column = pc.cast(column, pa.string())
                try:
                    column = pc.cast(column, t)
                except pa.ArrowInvalid:
                    at = _first_failing(column, t)
                    where = f"{self._label()}: " if self._path is not None else ""
                    raise ValueError(
                        f"{where}row {rows_before + at + 1}, column {self._indices[k] + 1} ({name!r}): "
                        f"cannot read {column[at].as_py()!r} as {t}") from None
            arrays.append(column)
        return pa.RecordBatch.from_arrays(arrays, schema=self._target())

    def _label(self) -> str:
        return os.fsdecode(self._path) if self._path is not None else ""

    def __arrow_c_stream__(self, requested_schema: object = None) -> object:
        stream = self._take()
        if not self._types:
            return stream.__arrow_c_stream__(requested_schema)
        pa = _pyarrow()
        reader = pa.RecordBatchReader.from_batches(self._target(), self._batches(stream))
        return reader.__arrow_c_stream__(requested_schema)

    def __iter__(self) -> Iterator[Any]:
        return self._batches(self._take())

    def read_all(self) -> Any:
        """All the rows as one pyarrow.Table (a scan of its own)."""
        pa = _needs_pyarrow("read_all()")
        return pa.Table.from_batches(list(self), schema=pa.schema(self.schema))

    # --- the file -----------------------------------------------------------

    def close(self) -> None:
        """Lets the file go; later scans raise ValueError."""
        self._closed = True
        stream, self._pending = self._pending, None
        if stream is not None:
            stream.close()

    def __enter__(self) -> ArrowReader:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    def __repr__(self) -> str:
        source = repr(self._label()) if self._path is not None else repr(self._source)
        return f"ArrowReader({source}, columns={self._names!r})"


def _first_failing(column: Any, t: Any) -> int:
    """The index of the first value of `column` that does not cast to `t`:
    halves of the failing range are cast until one value is left."""
    import pyarrow as pa
    import pyarrow.compute as pc

    lo, hi = 0, len(column)
    while hi - lo > 1:
        mid = (lo + hi) // 2
        try:
            pc.cast(column.slice(lo, mid - lo), t)
            lo = mid
        except pa.ArrowInvalid:
            hi = mid
    return lo


def read_arrow(source: File | bytes, *, header: Header = False, columns: Sequence[str | int] | None = None,
               n_rows: int | None = None, schema: Any = None, batch_rows: int = DEFAULT_BATCH_ROWS,
               string_type: str = "string", threads: int | None = None) -> ArrowReader:
    """Read a document as Arrow record batches.

    `source` is a path (str, bytes or os.PathLike; a name ending .gz, .bz2,
    .xz or .zst is decompressed) or an open file, binary or text, as for
    load. `header=True` takes the column names from the first row, a
    sequence of str gives them, and otherwise they are f0, f1, ....
    `columns` picks columns by name or 0-based index, in that order; only
    those are built, though every row is still read and checked. `n_rows`
    stops after that many rows after the header, leaving the rest of the file
    unread. `string_type` is the Arrow type of the columns: "string",
    "large_string" or "string_view". `schema` (a pyarrow.Schema or a mapping
    of column name to Arrow type) casts those columns from their text.
    Every row must have as many leaves as there are columns. Reading is
    streamed, `batch_rows` rows a batch (fewer where a column would pass
    2 GiB, or where a thread's share of a window ends). A zero-byte file is
    the empty table.

    `threads` native threads read the file (None: as many as the process may
    run on; 1: one), the interpreter's lock released: the file is read a
    window of 8 MiB at a time, each window cut at guessed row starts that are
    checked before they count, so the rows and any error are those of one
    thread. A compressed file, a text file and a source that cannot seek (a
    pipe) are read on one thread, as is an `n_rows` whose rows would not fill
    a window (a larger one may read up to a window past its last row)."""
    names = _names(header)
    batch_rows = _count("batch_rows", batch_rows, 1)
    limit = -1 if n_rows is None else _count("n_rows", n_rows, 0)
    if string_type not in STRING_TYPES:
        raise ValueError(f"string_type must be 'string', 'large_string' or 'string_view', not {string_type!r}")
    layout = STRING_TYPES[string_type]
    threads = _threads(threads)
    wanted = _columns(columns)
    types = _schema(schema)
    if isinstance(source, (str, bytes, os.PathLike)):
        path: Path | None = source
        label: str | None = os.fsdecode(source)
    else:
        path = label = None
        if not callable(getattr(source, "read", None)):
            raise TypeError(f"read_arrow needs a path or an open file, not {type(source).__name__}")
    indices: list[int] = []

    def open_stream() -> Any:
        if path is not None:
            file, owned = _open_path(path), True
        else:
            file, owned = (_Encoded(untranslated(source)) if is_text(source) else source), False
        # Only a plain seekable file is read on threads: a window's bytes are
        # read ahead of its rows, which a slow or failing stream should not be.
        plain = (not isinstance(file, (_Decompressed, _Encoded)) and _seekable(file)
                 and callable(getattr(file, "readinto", None)))
        workers = threads if plain else 1
        try:
            stream = _native.read(file, owned=owned, names=names, header=header is True,
                                  batch_rows=batch_rows, n_rows=limit, layout=layout, label=label,
                                  threads=workers, window=WINDOW_BYTES if plain else 0)
        except BaseException:
            if owned:
                file.close()
            raise
        if wanted is not None:
            try:
                # A path scanned again picks the columns the first scan found.
                indices[:] = indices or _resolve(wanted, stream.names)
                stream.select(indices)
            except BaseException:
                stream.close()
                raise
        return stream

    first = open_stream()
    names_read = first.names
    if types is not None:
        unknown = [n for n in types if n not in names_read]
        if unknown:
            first.close()
            raise ValueError(f"schema: no column is named {unknown[0]!r}; "
                             f"the columns are {_listing(names_read)}")
    return ArrowReader(source, path, open_stream, first, header_rows=1 if header is True else 0,
                       layout=layout, types=types,
                       indices=list(indices) if wanted is not None else list(range(len(names_read))))
