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


class Digits:
    """A HEX that runs code of its own when indexed."""

    def __getitem__(self, k):
        return "<" + "xyz"[k % 3] + ">"


_DELETED = object()
# Bindings of dwex.HEX: other alphabets, elements of any text, and ones that
# stringify rejects at some length, at every length, or only once it is done.
HEXES = {
    "upper": "0123456789ABCDEF",
    "wide": "\u96f6\u4e00\u4e8c\u4e09\u56db\u4e94\u516d\u4e03\u516b\u4e5d" + "abcdef",
    "astral and surrogate": "\U0001f600\ud800" + "23456789abcdef",
    "texts": Digits(),
    "list": ["", "two", "3"] + list("3456789abcdef"),
    "too short": "0",
    "empty": "",
    "not indexable": 5,
    "dict missing 2": {0: "a", 2: "c"},
    "not str": [1, 2, 3],
    "second not str": ["0", 1],
    "deleted": _DELETED,
}
# Every path of the writer: a plain ASCII column, wide and long cells (three
# length digits), a view column and a dictionary with a null.
HEX_TABLE = {
    "a": pa.array(["x", "yyyyyyyyyy", "é" * 120, ""], pa.string()),
    "b": pa.array(["1", None, "\U0001f600" * 3, "q" * 13], pa.string_view()),
    "c": pa.array(["k", "k", None, "m"], pa.dictionary(pa.int8(), pa.string())),
}


def _outcome(call):
    try:
        return call()
    except Exception as e:
        return type(e), str(e)


@pytest.mark.parametrize("header", [False, True])
@pytest.mark.parametrize("hex_name", HEXES)
def test_write_arrow_takes_hex_as_stringify_does(monkeypatch, hex_name, header):
    if HEXES[hex_name] is _DELETED:
        monkeypatch.delattr(dwex, "HEX")
    else:
        monkeypatch.setattr(dwex, "HEX", HEXES[hex_name])
    table = pa.table(HEX_TABLE)
    columns = [[c if c is not None else "N" for c in col.to_pylist()] for col in table.columns]
    want = _outcome(lambda: expected(columns, table.column_names if header else None))
    out = io.BytesIO()
    assert _outcome(lambda: dwexio.write_arrow(table, out, header=header, null="N")) in (None, want)
    # A failure writes nothing.
    assert out.getvalue() == (b"" if isinstance(want, tuple) else want)


@pytest.mark.parametrize("target", ["bytes", "text", "path"])
def test_a_cell_that_hex_fails_on_after_a_flush_leaves_the_target_untouched(monkeypatch, tmp_path,
                                                                             target):
    # Some flushes' worth of one-digit cells first, and a ten-letter cell last.
    monkeypatch.setattr(dwex, "HEX", "0")
    cells = ["abc"] * 100_000 + ["0123456789"]
    table = pa.table({"a": cells})
    with pytest.raises(IndexError, match="^string index out of range$"):
        dwex.stringify([[c] for c in cells])
    out = {"bytes": io.BytesIO, "text": io.StringIO}.get(target)
    if out is None:
        out = tmp_path / "t.dwex"
        out.write_bytes(b"before")
    else:
        out = out()
    with pytest.raises(IndexError, match="^string index out of range$"):
        dwexio.write_arrow(pa.RecordBatchReader.from_batches(table.schema, table.to_batches(1000)), out)
    assert out.read_bytes() == b"before" if target == "path" else out.getvalue() in (b"", "")
    # Without the last cell, the same HEX writes the whole document.
    assert written(table.slice(0, 100_000)) == expected([cells[:-1]])
