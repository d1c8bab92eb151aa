"""DWEX documents as Dask DataFrames: many files, or one too large for one
process, read and written in parallel.

``read_dwex`` packs small files into partitions of about ``blocksize`` bytes
and cuts a large one into parts at exact row boundaries. A leaf may hold
anything, ';' and whole rows included, so no byte can be taken for a row
start by looking at it: the planning pass guesses a start near each cut (a
';' followed by rows that read, with the table's column count), has each part
scanned on the workers from its guess to the first row boundary at or past
the next cut, and keeps a guess only where the part before it, itself kept,
ended there; a part that guessed wrong is scanned again from the true
boundary. The pass parses the file once without building columns, and gives
each partition its byte range and row count, which the partition checks.
The guessing, the scanning and the chain are the native splitter's
(dwexio._native: guess_start, scan, chain), as are the sizes of the reads
(GUESS_WINDOW_BYTES around a cut, OVERRUN_BYTES past a part's planned end,
each widened WIDENING times while too short); this module reads the bytes.

dask, pandas, pyarrow and fsspec are imported when these functions are called.
"""

from __future__ import annotations

import contextlib
import io
import os
import posixpath
from collections.abc import Callable, Iterator, Sequence
from typing import Any

from . import _native
from ._io.compression import suffix_of, wrap
from ._tables.read import _columns, _listing, read_arrow
from ._tables.write import write_arrow

__all__ = ["read_dwex", "to_dwex"]


def _libs() -> tuple[Any, Any, Any]:
    try:
        import dask.dataframe as dd
        import pandas as pd
        import pyarrow as pa
    except ImportError:
        raise ImportError("dwexio.dask needs dask[dataframe] and pyarrow: pip install 'dwex[dask]'") from None
    return dd, pd, pa


def _read_range(fs: Any, path: str, begin: int, end: int) -> bytes:
    with fs.open(path, "rb") as f:
        f.seek(begin)
        return f.read(end - begin)


def _whole(fs: Any, path: str) -> bytes:
    """The file's bytes, decompressed by its suffix."""
    with _opened(fs, path) as f:
        return f.read()


def _first_row_end(fs: Any, path: str, size: int) -> int:
    """The byte where the file's second row starts."""
    window = _native.GUESS_WINDOW_BYTES
    while True:
        data = _read_range(fs, path, 0, min(size, window))
        end, _, state = _native.scan(data, 0, 1, len(data) == size, -1)
        if state != "more":
            return end
        window *= _native.WIDENING


@contextlib.contextmanager
def _opened(fs: Any, path: str) -> Iterator[Any]:
    """The file's bytes as an open binary file, decompressed by its suffix."""
    with fs.open(path, "rb") as raw:
        suffix = suffix_of(path)
        if suffix is None:
            yield raw
        else:
            with wrap(raw, suffix, "r") as f:
                yield f


def _first_names(fs: Any, path: str, header: bool) -> list[str] | None:
    """The names in the file's first row with `header`, else f0, f1, ...
    for its leaves; None for an empty file."""
    with _opened(fs, path) as f:
        if f.read(1) == b"":
            return None
    with _opened(fs, path) as f:
        try:
            with read_arrow(f, header=header, n_rows=0) as reader:
                return list(reader.schema.names)
        except (SyntaxError, ValueError) as e:
            raise type(e)(f"{path}: the first row: {e}") from None


# --- planning a large file --------------------------------------------------


def _scan_part(fs: Any, path: str, size: int, cut: int, stop: int, columns: int,
               guess: bool) -> tuple[int, int, int, str]:
    """Part k of the plan, on a worker: its start (guessed past `cut`, or
    `cut` itself), where reading from there to the first boundary at or
    past `stop` ends, its rows, and the scan's state."""
    start = cut
    if guess:
        window = _native.GUESS_WINDOW_BYTES
        while True:
            data = _read_range(fs, path, cut - 1, min(size, cut - 1 + window))
            at, need_more = _native.guess_start(data, 0, cut - 1 + len(data) >= size, columns)
            if not need_more:
                break
            window *= _native.WIDENING
        if at < 0:
            return -1, -1, 0, "none"
        start = cut - 1 + at
    return (start, *_scan_from(fs, path, size, start, stop, columns))


@contextlib.contextmanager
def _mapped(fs: Any, path: str, begin: int, end: int) -> Iterator[tuple[Any, int]]:
    """Bytes `begin` to `end` of the file, and where `begin` is in them: a
    local file's mapped, which spares a copy, any other's read."""
    from fsspec.implementations.local import LocalFileSystem

    if not isinstance(fs, LocalFileSystem) or end <= begin:
        yield _read_range(fs, path, begin, end), 0
        return
    import mmap

    offset = begin - begin % mmap.ALLOCATIONGRANULARITY
    with open(path, "rb") as f, mmap.mmap(f.fileno(), end - offset, offset=offset,
                                           access=mmap.ACCESS_READ) as m:
        yield m, begin - offset


def _scan_from(fs: Any, path: str, size: int, start: int, stop: int, columns: int) -> tuple[int, int, str]:
    overrun = _native.OVERRUN_BYTES
    while True:
        end = min(size, max(stop, start) + overrun)
        with _mapped(fs, path, start, end) as (data, at):
            until = at + max(0, stop - start)
            reached, rows, state = _native.scan(data, at, until, end >= size, columns)
        if state != "more":
            return start + reached - at, rows, state
        overrun *= _native.WIDENING


def _plan_file(fs: Any, path: str, size: int, block: int, header: bool, columns: int) -> list[tuple]:
    """The pieces of one large file: (path, begin, end, rows before, rows),
    each piece's rows counted in the file from the first (header included)."""
    import dask

    begin = _first_row_end(fs, path, size) if header else 0
    count = max(1, -(-(size - begin) // block))
    cuts = [begin + k * (size - begin) // count for k in range(count)] + [size]
    tasks = [dask.delayed(_scan_part, pure=True)(fs, path, size, cuts[k], cuts[k + 1], columns, k > 0)
             for k in range(count)]
    scans = dask.compute(*tasks)
    pieces = _native.chain(scans, begin, size, 1 if header else 0,
                           lambda k, boundary: _scan_from(fs, path, size, boundary, cuts[k + 1], columns))
    return [(path, *piece) for piece in pieces]


# --- reading a partition ----------------------------------------------------


def _located(e: BaseException, path: str, data: bytes, begin: int, row: int, columns: int) -> BaseException:
    """`e`, raised reading `data` (bytes `begin` on of `path`, after `row`
    rows), as the same error naming the file, the row and its byte offset."""
    at, rows, _ = _native.scan(data, 0, len(data), True, columns)
    text = f"{path}: row {row + rows + 1}, byte {begin + at}: {e}"
    if isinstance(e, SyntaxError):
        return _PartSyntaxError(text)
    try:
        return type(e)(text)
    except Exception:
        return ValueError(text)


class _PartSyntaxError(SyntaxError):
    """A partition's format fault, which reaches the client as a plain
    SyntaxError with its message: the exception pickler that dask installs
    rebuilds a type whose __reduce__ is the built-in one without calling its
    __init__, which leaves a SyntaxError's message None."""

    def __reduce__(self) -> tuple:
        return (SyntaxError, self.args)


class _Range:
    """Bytes `begin` to `end` of an open binary file, read on demand, so that
    a partition holds its columns and not also its text."""

    def __init__(self, f: Any, begin: int, end: int) -> None:
        f.seek(begin)
        self._f, self._left = f, end - begin

    def read(self, n: int) -> bytes:
        data = self._f.read(min(n, self._left)) if self._left > 0 else b""
        self._left -= len(data)
        return data

    @property
    def short(self) -> bool:
        return self._left > 0


def _read_piece(fs: Any, piece: tuple, names: list[str], header: bool, wanted: list[str]) -> Any:
    path, begin, end, row, rows = piece
    whole = end < 0
    read_header: bool | list[str] = names
    if whole and header:
        found = _first_names(fs, path, True)
        if found is not None:
            _same_names(path, found, names)
            read_header = True
    with _opened(fs, path) as f:
        source = f if whole else _Range(f, begin, end)
        try:
            with read_arrow(source, header=read_header, columns=wanted) as reader:
                table = reader.read_all()
        except (SyntaxError, ValueError, UnicodeDecodeError) as e:
            data = _whole(fs, path) if whole else _read_range(fs, path, begin, end)
            raise _located(e, path, data, 0 if whole else begin, row, len(names)) from None
    if not whole and source.short:
        raise ValueError(f"{path}: the file ends before byte {end}, where the plan of its parts has "
                         "a part end; it changed after read_dwex planned them")
    if rows >= 0 and table.num_rows != rows:
        raise ValueError(f"{path}: bytes {begin} to {end} hold {table.num_rows} rows where the plan "
                         f"of its parts has {rows}; the file changed after read_dwex planned them")
    return table


def _same_names(path: str, found: list[str], names: list[str]) -> None:
    if found != names:
        raise ValueError(f"{path}: the header names the columns {_listing(found)}, where the plan "
                         f"has {_listing(names)}; the file changed after read_dwex read it")


class _Part:
    """What a partition reads: deterministic to tokenize and cheap to pickle."""

    def __init__(self, fs: Any, pieces: tuple, names: tuple, header: bool, path_column: str | None,
                 paths: tuple) -> None:
        self.fs, self.pieces, self.names, self.header = fs, pieces, names, header
        self.path_column, self.paths = path_column, paths

    def __dask_tokenize__(self) -> tuple:
        from dask.base import tokenize

        return (tokenize(self.fs), self.pieces, self.names, self.header, self.path_column, self.paths)

    def __reduce__(self) -> tuple:
        return (_Part, (self.fs, self.pieces, self.names, self.header, self.path_column, self.paths))


def _read_part(part: _Part, columns: Sequence[str] | None = None) -> Any:
    """One partition as a pandas DataFrame; `columns` comes from Dask's
    column projection, and only those columns are built."""
    _, pd, pa = _libs()
    names = list(part.names)
    wanted = [c for c in (names if columns is None else columns) if c != part.path_column]
    tables = [_read_piece(part.fs, piece, names, part.header, wanted) for piece in part.pieces]
    table = pa.concat_tables(tables)
    # The frame takes the Arrow columns as they are, without a copy.
    frame = pd.DataFrame({k: pd.arrays.ArrowExtensionArray(table.column(k)) for k in range(len(wanted))},
                         index=pd.RangeIndex(table.num_rows), copy=False)
    frame.columns = wanted
    if part.path_column is not None and (columns is None or part.path_column in columns):
        import numpy as np

        codes = np.repeat([part.paths.index(piece[0]) for piece in part.pieces], [t.num_rows for t in tables])
        frame[part.path_column] = pd.Categorical.from_codes(codes, categories=list(part.paths))
        if columns is not None:
            frame = frame[list(columns)]
    return frame


def _meta(pd: Any, pa: Any, names: list[str], path_column: str | None, paths: list[str]) -> Any:
    string = pd.ArrowDtype(pa.string())
    meta = pd.DataFrame({n: pd.Series([], dtype=string) for n in names})
    if path_column is not None:
        meta[path_column] = pd.Categorical([], categories=paths)
    return meta


def _block_size(blocksize: int | str | None) -> int | None:
    if blocksize is None:
        return None
    from dask.utils import parse_bytes

    if isinstance(blocksize, bool) or not isinstance(blocksize, (int, str)):
        raise TypeError(f"blocksize must be a number of bytes, a str such as '64 MiB' or None, "
                        f"not {type(blocksize).__name__}")
    size = parse_bytes(blocksize)
    if size < 1:
        raise ValueError("blocksize must be at least 1 byte")
    return size


def read_dwex(urlpath: Any, *, header: bool = False, columns: Sequence[str] | None = None,
              blocksize: int | str | None = "64 MiB", storage_options: dict[str, Any] | None = None,
              include_path_column: bool | str = False) -> Any:
    """DWEX documents as one Dask DataFrame of pyarrow-backed string columns.

    `urlpath` is a path, a glob, a list of them, or an fsspec URL (with
    `storage_options` for its filesystem); a name ending .gz, .bz2, .xz or
    .zst is decompressed, and such a file is one partition. Files smaller
    than `blocksize` are packed into partitions of about that many bytes; a
    larger file is cut into parts of about that size at exact row
    boundaries, found by a planning pass on the workers that parses the file
    once (None: one partition per file, no pass). `header=True` takes the
    column names from each file's first row, which must be the same in every
    file; otherwise the columns are f0, f1, .... `columns` keeps only those.
    `include_path_column` adds a categorical column of each row's file
    (named "path", or the str given). Errors name the file, the row counted
    from 1 in it, and the byte offset where that row starts."""
    dd, pd, pa = _libs()
    import fsspec

    if not isinstance(header, bool):
        raise TypeError(f"header must be True or False, not {type(header).__name__}")
    block = _block_size(blocksize)
    wanted = _columns(columns)
    path_column = (include_path_column if isinstance(include_path_column, str)
                   else "path" if include_path_column else None)
    fs, _, paths = fsspec.core.get_fs_token_paths(urlpath, mode="rb", storage_options=storage_options or {})
    if not paths:
        raise FileNotFoundError(f"no file matches {urlpath!r}")
    sizes = [fs.size(p) for p in paths]

    names: list[str] | None = None
    named_by = None
    for p, size in zip(paths, sizes):
        found = _first_names(fs, p, header) if size else None
        if found is None:
            continue
        if names is None:
            names, named_by = found, p
            if not header:
                break
        elif found != names:
            raise ValueError(f"{p}: the header names the columns {_listing(found)}, "
                             f"but {named_by} names {_listing(names)}")
    names = names or []
    if path_column is not None and path_column in names:
        raise ValueError(f"include_path_column: the files already have a column named {path_column!r}")

    partitions: list[tuple] = []
    packed: list[tuple] = []
    packed_size = 0
    for p, size in zip(paths, sizes):
        compressed = suffix_of(p) is not None
        if block is None or compressed or size <= block:
            piece = (p, 0, -1, 0, -1)
            if block is None or compressed:
                partitions.append((piece,))
                continue
            if packed and packed_size + size > block:
                partitions.append(tuple(packed))
                packed, packed_size = [], 0
            packed.append(piece)
            packed_size += size
            continue
        if packed:
            partitions.append(tuple(packed))
            packed, packed_size = [], 0
        partitions.extend((piece,) for piece in _plan_file(fs, p, size, block, header, len(names)))
    if packed:
        partitions.append(tuple(packed))

    # Every partition's path column has every file as a category, as the meta does.
    categories = tuple(paths) if path_column is not None else ()
    parts = [_Part(fs, pieces, tuple(names), header, path_column, categories) for pieces in partitions]
    frame = dd.from_map(_read_part, parts, meta=_meta(pd, pa, names, path_column, list(paths)),
                        label="read-dwex", enforce_metadata=False)
    if wanted is not None:
        wanted = [names[c] if isinstance(c, int) and 0 <= c < len(names) else c for c in wanted]
        unknown = [c for c in wanted if c not in frame.columns]
        if unknown:
            raise ValueError(f"columns: no column is named {unknown[0]!r}; the columns are "
                             f"{_listing(list(frame.columns))}")
        frame = frame[list(wanted)]
    return frame


# --- writing ------------------------------------------------------------------


def _write_part(frame: Any, fs: Any, path: str, header: bool, null: str | None) -> str:
    """One partition to its file, all or nothing: a local path through
    write_arrow's own all-or-nothing writing, any other filesystem given the
    whole document in one write."""
    _, pd, pa = _libs()
    from fsspec.implementations.local import LocalFileSystem

    table = pa.Table.from_pandas(frame, preserve_index=False)
    if isinstance(fs, LocalFileSystem):
        write_arrow(table, path, header=header, null=null)
        return path
    buffer = io.BytesIO()
    suffix = suffix_of(path)
    if suffix is None:
        write_arrow(table, buffer, header=header, null=null)
    else:
        with wrap(_Unclosed(buffer), suffix, "w") as f:
            write_arrow(table, f, header=header, null=null)
    with fs.open(path, "wb") as out:
        out.write(buffer.getvalue())
    return path


class _Unclosed(io.BufferedIOBase):
    """A buffer that a compressor may close without losing its bytes."""

    def __init__(self, buffer: io.BytesIO) -> None:
        self._buffer = buffer

    def writable(self) -> bool:
        return True

    def write(self, data: Any) -> int:
        return self._buffer.write(data)


def to_dwex(df: Any, urlpath: Any, *, header: bool = False, name_function: Callable[[int], str] | None = None,
            null: str | None = None, storage_options: dict[str, Any] | None = None,
            compute: bool = True) -> Any:
    """Write a Dask DataFrame as DWEX documents, one file per partition.

    A `*` in `urlpath` (a path or fsspec URL; a directory gets ``*.dwex``)
    becomes the partition number, or `name_function(i)`. Each file is written
    all or nothing, as dump writes one; typed columns as the text pyarrow
    gives them, as write_arrow writes them. `header=True` writes the column
    names first in every file; `null` is the text of a missing value. With
    `compute=True` the files are written now and their paths returned;
    otherwise the list of delayed writes is."""
    import dask
    import fsspec

    if not isinstance(header, bool):
        raise TypeError(f"header must be True or False, not {type(header).__name__}")
    if null is not None and not isinstance(null, str):
        raise TypeError(f"null must be a str or None, not {type(null).__name__}")
    if isinstance(urlpath, (str, os.PathLike)) and "*" not in os.fspath(urlpath):
        urlpath = os.path.join(os.fspath(urlpath), "*.dwex")
    fs, _, paths = fsspec.core.get_fs_token_paths(urlpath, mode="wb", num=df.npartitions,
                                                  name_function=name_function,
                                                  storage_options=storage_options or {})
    for parent in {posixpath.dirname(p) for p in paths}:
        fs.makedirs(parent, exist_ok=True)
    writes = [dask.delayed(_write_part, pure=False)(part, fs, p, header, null)
              for part, p in zip(df.to_delayed(), paths)]
    if not compute:
        return writes
    return list(dask.compute(*writes))
