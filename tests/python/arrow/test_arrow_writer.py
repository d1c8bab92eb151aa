"""write_arrow against dwex.stringify, byte for byte, on the columns that take
the writer's different paths: all-ASCII batches (lengths are byte counts),
batches with one wide character anywhere, cells at and around the 32 bytes
copied by vectors, cells ending at the very end of a batch's data, empty
cells, long cells, and tables cut into many batches."""

import io

import pytest

import dwex
import dwexio

pa = pytest.importorskip("pyarrow")

TYPES = {
    "string": pa.string(),
    "large_string": pa.large_string(),
    "string_view": pa.string_view(),
    "dictionary int8": pa.dictionary(pa.int8(), pa.string()),
    "dictionary uint16": pa.dictionary(pa.uint16(), pa.large_string()),
    "dictionary int32": pa.dictionary(pa.int32(), pa.large_string()),
    "dictionary uint64": pa.dictionary(pa.uint64(), pa.string()),
}

# Columns of cells, each a case of its own. The lengths around 32 and 16 are
# where a cell stops being copied and counted by whole vectors.
COLUMNS = {
    "ascii": ["a", "bc", "", "def", "x" * 9, "y" * 10, "z" * 99, "w" * 100],
    "ascii around 32": ["q" * n for n in range(12, 40)],
    "empty": [""] * 9,
    "one wide character last": ["plain"] * 20 + ["caf\u00e9"],
    "one wide character first": ["\u00e9t\u00e9"] + ["plain"] * 20,
    "wide around 32": ["\u00e9" * n for n in range(5, 20)] + ["\u4e2d" * n for n in range(8, 13)],
    "astral": ["\U0001f600", "a\U0001f600b", "\U0001f600" * 8, "\U0001f600" * 9, "x" * 29 + "\U0001f600"],
    "long": ["L" * 5000, "\u00e9" * 70_000, "", "s"],
    "lone surrogate": ["\ud800", "a\udfffb"],
}


def expected(columns, header=None):
    rows = [list(r) for r in zip(*columns)]
    return dwex.stringify(([header] if header else []) + rows).encode("utf-8", "surrogatepass")


def written(data, **kw):
    out = io.BytesIO()
    dwexio.write_arrow(data, out, **kw)
    return out.getvalue()


@pytest.mark.parametrize("kind", TYPES)
@pytest.mark.parametrize("case", COLUMNS)
def test_each_column_is_written_as_dump_writes_it(case, kind):
    cells = COLUMNS[case]
    if "surrogate" in case and kind != "string":
        pytest.skip("pyarrow takes a lone surrogate only as given bytes")
    # The same column twice, the second reversed, so that each cell is also
    # the last of its batch's data.
    arrays = [_array(cells, kind), _array(cells[::-1], kind)]
    table = pa.table(arrays, names=["c", "\u00e9"])
    assert written(table) == expected([cells, cells[::-1]])
    assert written(table, header=True) == expected([cells, cells[::-1]], header=["c", "\u00e9"])


def _array(cells, kind):
    if any("\ud800" <= ch <= "\udfff" for c in cells for ch in c):
        return pa.Array.from_buffers(pa.string(), len(cells), [
            None, pa.py_buffer(_offsets(cells)), pa.py_buffer(b"".join(_utf8(c) for c in cells))])
    return pa.array(cells, TYPES[kind])


def _utf8(text):
    return text.encode("utf-8", "surrogatepass")


def _offsets(cells):
    out, at = [0], 0
    for c in cells:
        at += len(_utf8(c))
        out.append(at)
    return b"".join(o.to_bytes(4, "little") for o in out)


@pytest.mark.parametrize("batch_rows", [1, 2, 7, 1000])
@pytest.mark.parametrize("kind", ["string", "large_string", "string_view"])
def test_many_batches_and_slices_give_the_whole_table(batch_rows, kind):
    cells = [c for case in ("ascii", "wide around 32", "astral", "empty") for c in COLUMNS[case]]
    table = pa.table({"a": pa.array(cells, TYPES[kind]), "b": pa.array(cells[::-1], TYPES[kind])})
    reader = pa.RecordBatchReader.from_batches(table.schema, table.to_batches(max_chunksize=batch_rows))
    assert written(reader) == expected([cells, cells[::-1]])
    for start, length in ((1, 5), (7, 20), (len(cells) - 3, 3)):
        part = table.slice(start, length)
        assert written(part) == expected([cells[start:start + length], cells[::-1][start:start + length]])


@pytest.mark.parametrize("null", ["", "N", "\u00e9" * 40])
def test_nulls_in_an_ascii_column_take_the_null_text(null):
    cells = ["a", None, "b" * 31, None, "c" * 33]
    table = pa.table({"a": pa.array(cells, pa.string())})
    assert written(table, null=null) == expected([[null if c is None else c for c in cells]])
    with pytest.raises(ValueError, match=r"^row 2, column 1 \('a'\): a null; pass null="):
        written(table)


class Keeps:
    """A file that keeps every object it is given, to join them at the end."""

    def __init__(self):
        self.chunks = []

    def write(self, data):
        self.chunks.append(data)
        return len(data)

    def getvalue(self):
        return b"".join(bytes(c) for c in self.chunks)


class KeepingBytesIO(io.BytesIO):
    def __init__(self):
        super().__init__()
        self.chunks = []

    def write(self, data):
        self.chunks.append(data)
        return super().write(data)

    def getvalue(self):
        assert b"".join(bytes(c) for c in self.chunks) == super().getvalue()
        return super().getvalue()


@pytest.mark.parametrize("file", [io.BytesIO, Keeps, KeepingBytesIO])
def test_a_file_keeping_what_it_is_given_keeps_the_right_bytes(file):
    # Several flushes' worth: each chunk must stay as it was written.
    cells = [f"{k:07}" + "\u00e9" * (k % 40) for k in range(40_000)]
    out = file()
    dwexio.write_arrow(pa.table({"a": cells}), out)
    assert out.getvalue() == expected([cells])
