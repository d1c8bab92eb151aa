"""DWEX documents as polars DataFrames and LazyFrames.

``read_dwex`` builds the string columns as Arrow string_view, the layout
polars keeps its strings in, so that the frame takes the reader's buffers
as they are; ``scan_dwex`` is a polars IO source that reads only the
columns and rows a query asks for; ``write_dwex`` writes a DataFrame or a
LazyFrame. polars is imported when one of them is called, not before.
"""

from __future__ import annotations

import os
from collections.abc import Iterator, Mapping
from typing import Any

from ._tables.read import read_arrow
from ._tables.write import write_arrow

# polars' own string layout: a frame built from it shares the reader's buffers.
STRING_TYPE = "string_view"


def _polars() -> Any:
    try:
        import polars
    except ImportError:
        raise ImportError("dwexio.polars needs polars: pip install 'dwex[polars]'") from None
    return polars


def _is_polars_type(pl: Any, t: object) -> bool:
    return isinstance(t, pl.DataType) or (isinstance(t, type) and issubclass(t, pl.DataType))


def _arrow_schema(pl: Any, schema: object) -> Any:
    """`schema` with each polars type turned into the Arrow type polars
    exports it as; Arrow types and a pyarrow.Schema pass as they are."""
    if not isinstance(schema, Mapping):
        return schema
    return {name: pl.Series([], dtype=t).to_arrow().type if _is_polars_type(pl, t) else t
            for name, t in schema.items()}


def _options(pl: Any, options: dict[str, Any]) -> dict[str, Any]:
    options = dict(options)
    options.setdefault("string_type", STRING_TYPE)
    if options.get("schema") is not None:
        options["schema"] = _arrow_schema(pl, options["schema"])
    return options


def read_dwex(source: Any, **options: Any) -> Any:
    """The document in `source` as a polars.DataFrame.

    `source` and `options` are read_arrow's (header, columns, n_rows,
    schema, batch_rows, string_type); `schema` may give polars types
    (``{"n": pl.Int64}``)."""
    pl = _polars()
    with read_arrow(source, **_options(pl, options)) as reader:
        return pl.DataFrame(reader)


def _frame_schema(pl: Any, names: list[str], schema: object) -> dict[str, Any]:
    types: dict[str, Any] = {}
    if schema is not None:
        import pyarrow as pa

        given = schema if isinstance(schema, Mapping) else {f.name: f.type for f in schema}
        for name, t in given.items():
            if not _is_polars_type(pl, t):
                t = pl.from_arrow(pa.array([], pa.type_for_alias(t) if isinstance(t, str) else t)).dtype
            types[name] = t
    return {name: types.get(name, pl.String) for name in names}


def scan_dwex(path: str | bytes | os.PathLike[Any], **options: Any) -> Any:
    """The document at `path` as a polars.LazyFrame.

    A query reads the file when it is collected, building only the columns
    it selects, stopping after the rows it limits itself to, and filtering
    each batch by its predicate; `options` are read_arrow's, as for
    read_dwex. The path is read once here for the column names."""
    pl = _polars()
    from polars.io.plugins import register_io_source

    if not isinstance(path, (str, bytes, os.PathLike)):
        raise TypeError(f"scan_dwex needs a path, not {type(path).__name__}")
    given_schema = options.get("schema")
    options = _options(pl, options)
    with read_arrow(path, **options) as probe:
        names = probe.schema.names
    schema = _frame_schema(pl, names, given_schema)

    def source(with_columns: list[str] | None, predicate: Any, n_rows: int | None,
               batch_size: int | None) -> Iterator[Any]:
        scan = dict(options)
        if with_columns is not None:
            scan["columns"] = list(with_columns)
        if n_rows is not None:
            limit = scan.get("n_rows")
            scan["n_rows"] = n_rows if limit is None else min(n_rows, limit)
        if batch_size is not None:
            scan["batch_rows"] = batch_size
        with read_arrow(path, **scan) as reader:
            for batch in reader:
                frame = pl.DataFrame(batch)
                yield frame.filter(predicate) if predicate is not None else frame

    return register_io_source(source, schema=schema, explain_name="DWEX",
                              explain_detail=os.fsdecode(path))


def write_dwex(frame: Any, target: Any, **options: Any) -> None:
    """Write a polars DataFrame or LazyFrame (collected first) as a DWEX
    document; `options` are write_arrow's (header, null)."""
    write_arrow(frame, target, **options)
