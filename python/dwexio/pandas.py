"""DWEX documents as pandas DataFrames.

``read_dwex`` gives pyarrow-backed columns (``pd.ArrowDtype``), which keep
the reader's Arrow buffers instead of a Python str per leaf; ``to_dwex``
writes a frame. pandas (and pyarrow, which both need) is imported when one
of them is called, not before.
"""

from __future__ import annotations

from collections.abc import Mapping
from typing import Any

from ._tables.read import read_arrow
from ._tables.write import write_arrow


def _pandas() -> tuple[Any, Any]:
    try:
        import pandas
        import pyarrow
    except ImportError:
        raise ImportError("dwexio.pandas needs pandas and pyarrow: pip install 'dwex[pandas]'") from None
    return pandas, pyarrow


def _arrow_type(pd: Any, pa: Any, name: str, dtype: object) -> tuple[Any, Any]:
    """The Arrow type to cast a column's text to for `dtype`, and the NumPy
    dtype the column takes afterwards (None: it stays pyarrow-backed)."""
    if isinstance(dtype, pa.DataType):
        return dtype, None
    if isinstance(dtype, pd.ArrowDtype):
        return dtype.pyarrow_dtype, None
    try:
        dtype = pd.api.types.pandas_dtype(dtype)
    except TypeError:
        raise TypeError(f"schema: {dtype!r} (column {name!r}) is not a pandas dtype") from None
    if isinstance(dtype, pd.StringDtype):
        return pa.string(), None
    if isinstance(dtype, pd.DatetimeTZDtype):
        return pa.timestamp(dtype.unit, dtype.tz), dtype
    try:
        return pa.from_numpy_dtype(dtype), dtype
    except (TypeError, NotImplementedError, pa.ArrowNotImplementedError):
        raise TypeError(f"schema: column {name!r} cannot be read as {dtype}") from None


def read_dwex(source: Any, **options: Any) -> Any:
    """The document in `source` as a pandas.DataFrame of pyarrow-backed
    columns (``pd.ArrowDtype``; strings are ``string[pyarrow]``).

    `source` and `options` are read_arrow's; `schema` may give pandas
    dtypes (``{"n": "int64"}``), and a column given a NumPy dtype is a
    NumPy column."""
    pd, pa = _pandas()
    schema = options.get("schema")
    numpy: dict[str, Any] = {}
    if isinstance(schema, Mapping):
        arrow = {}
        for name, dtype in schema.items():
            arrow[name], numpy[name] = _arrow_type(pd, pa, name, dtype)
        options["schema"] = arrow
    with read_arrow(source, **options) as reader:
        table = reader.read_all()
    frame = table.to_pandas(types_mapper=pd.ArrowDtype)
    for name, dtype in numpy.items():
        if dtype is not None:
            frame[name] = frame[name].astype(dtype)
    return frame


def to_dwex(df: Any, target: Any, *, header: bool = True, index: bool = False,
            null: str | None = None) -> None:
    """Write a pandas.DataFrame as a DWEX document: its column names as the
    first row unless `header` is False, its index as the first columns where
    `index` is True, and `null` as the text of a missing value (without it a
    missing value is a ValueError naming its row and column)."""
    pd, pa = _pandas()
    if not isinstance(df, pd.DataFrame):
        raise TypeError(f"to_dwex needs a pandas.DataFrame, not {type(df).__name__}")
    if index:
        df = df.reset_index()
    table = pa.Table.from_pandas(df, preserve_index=False)
    write_arrow(table, target, header=header, null=null)
