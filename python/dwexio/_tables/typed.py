"""The one text rule for typed Arrow columns, shared by every writer.

A column of integers, floats, booleans, decimals, dates, times, timestamps or
durations (or of nulls, or a dictionary of any of them) is written as the
text that ``pyarrow.compute.cast(column, pyarrow.string())`` gives, batch by
batch as the batches come; string, large_string and string_view columns, and
dictionaries of them, pass through as they are. Any other column (nested,
binary, intervals) is refused with TypeError naming it and its type as
pyarrow prints it, before a batch is read. Without pyarrow the native writer
tells the columns apart from the Arrow C schema alone, and a typed column
asks for pyarrow."""

from __future__ import annotations

import functools
import sys
import threading
from collections.abc import Iterator
from typing import Any

from .. import _native

INSTALL_PYARROW = "pip install 'dwex[arrow]'"


@functools.cache
def pyarrow() -> Any:
    """pyarrow with its compute module, or None where it is not installed."""
    try:
        import pyarrow
        import pyarrow.compute  # noqa: F401
    except ImportError:
        return None
    return pyarrow


def unwritable(column: int, name: str, type_name: str, has_text: bool) -> TypeError:
    """The error for a column that is neither strings nor given a text here:
    `has_text` where pyarrow would give it one."""
    if has_text:
        return TypeError(f"column {column} ('{name}') is of type {type_name}, which is written "
                         f"as text through pyarrow: {INSTALL_PYARROW}")
    return TypeError(f"column {column} ('{name}') is of type {type_name}; dwex writes columns "
                     "of strings, numbers, booleans, decimals, dates, times, timestamps and "
                     "durations")


def _is_strings(pa: Any, kind: Any) -> bool:
    if pa.types.is_dictionary(kind):
        kind = kind.value_type
    return bool(pa.types.is_string(kind) or pa.types.is_large_string(kind)
                or pa.types.is_string_view(kind))


def _has_text(pa: Any, kind: Any) -> bool:
    if pa.types.is_dictionary(kind):
        kind = kind.value_type
    t = pa.types
    return bool(t.is_integer(kind) or t.is_floating(kind) or t.is_boolean(kind)
                or t.is_decimal(kind) or t.is_date(kind) or t.is_time(kind)
                or t.is_timestamp(kind) or t.is_duration(kind) or t.is_null(kind))


def _reader(pa: Any, data: Any) -> Any:
    """A pyarrow RecordBatchReader over `data`, which is anything with
    ``__arrow_c_stream__`` or ``__arrow_c_array__``."""
    if isinstance(data, pa.RecordBatchReader):
        return data
    if isinstance(data, pa.Table):
        return data.to_reader()
    if isinstance(data, pa.RecordBatch):
        return pa.RecordBatchReader.from_batches(data.schema, [data])
    if hasattr(data, "__arrow_c_stream__"):
        return pa.RecordBatchReader.from_stream(data)
    batch = pa.record_batch(data)
    return pa.RecordBatchReader.from_batches(batch.schema, [batch])


def text_reader(data: Any) -> Any:
    """A pyarrow RecordBatchReader of `data` with every column strings, the
    typed ones cast as each batch is read. Needs pyarrow."""
    pa = pyarrow()
    reader = _reader(pa, data)
    schema = reader.schema
    cast = []
    for k, field in enumerate(schema):
        if _is_strings(pa, field.type):
            continue
        if not _has_text(pa, field.type):
            raise unwritable(k + 1, field.name, str(field.type), False)
        cast.append(k)
    if not cast:
        return reader
    for k in cast:
        schema = schema.set(k, schema.field(k).with_type(pa.string()))
    compute = pa.compute

    def batches() -> Any:
        for batch in reader:
            columns = list(batch.columns)
            for k in cast:
                columns[k] = compute.cast(columns[k], pa.string())
            yield pa.RecordBatch.from_arrays(columns, schema=schema)

    return pa.RecordBatchReader.from_batches(schema, kept(batches()))


# The last exception that a Python producer of batches raised in this thread:
# the native writer, a consumer through the Arrow C stream, gets its text
# only, and TextWriter.write raises it again as it was.
_raised = threading.local()


def kept(batches: Iterator[Any]) -> Iterator[Any]:
    """`batches`, with an exception they raise kept for TextWriter.write.
    Every Python generator of batches that write_arrow may read passes
    through here."""
    try:
        yield from batches
    except BaseException as e:
        _raised.error = e
        raise


def _capsules(data: Any) -> Any:
    if type(data).__name__ == "LazyFrame" and type(data).__module__.startswith("polars"):
        # A query plan, not a table: its rows exist once it has run.
        data = data.collect()
    if hasattr(data, "__arrow_c_stream__"):
        return data.__arrow_c_stream__()
    if hasattr(data, "__arrow_c_array__"):
        return data.__arrow_c_array__()
    raise TypeError("write_arrow needs an Arrow table: an object with __arrow_c_stream__ or "
                    f"__arrow_c_array__, not {type(data).__name__}")


class _Stream:
    """A stream capsule already taken from its producer, offered again."""

    def __init__(self, capsule: Any) -> None:
        self._capsule = capsule

    def __arrow_c_stream__(self, requested_schema: object = None) -> Any:
        return self._capsule


class _Array:
    """A (schema, array) capsule pair already taken from its producer."""

    def __init__(self, capsules: Any) -> None:
        self._capsules = capsules

    def __arrow_c_array__(self, requested_schema: object = None) -> Any:
        return self._capsules


class TextWriter:
    """The native writer of `data`'s rows as text, every column checked
    before a batch is read. String columns go to it as the producer made
    them; a typed column sends the whole table through text_reader()."""

    def __init__(self, data: Any) -> None:
        pa = sys.modules.get("pyarrow")
        if pa is not None and isinstance(data, pa.RecordBatchReader):
            # Through Python, so that the exception of a producer written in
            # Python comes back as it was.
            reader = text_reader(data)
            if reader is data:
                reader = pa.RecordBatchReader.from_batches(reader.schema, kept(reader))
            self._writer = _native.writer(reader.__arrow_c_stream__())
            return
        source = _capsules(data)
        try:
            self._writer = _native.writer(source)
            return
        except TypeError as e:
            if len(e.args) != 4:
                raise
            if not e.args[3] or pyarrow() is None:
                raise unwritable(*e.args) from None
        # The native writer left the source unread; a table in memory is
        # cast from itself.
        if pa is not None and isinstance(data, (pa.Table, pa.RecordBatch)):
            again = data
        else:
            again = _Array(source) if isinstance(source, tuple) else _Stream(source)
        self._writer = _native.writer(text_reader(again).__arrow_c_stream__())

    def write(self, file: Any, text_file: bool, header: bool, null: str | None) -> None:
        _raised.error = None
        try:
            _native.write(self._writer, file, text_file, header, null)
        except ValueError:
            error, _raised.error = getattr(_raised, "error", None), None
            if error is not None:
                raise error from None
            raise
