"""read_arrow's options and sources: paths of each kind and compressed,
binary and text files, columns, n_rows, string_type, schema, scanning again,
closing, and the messages of its errors. The consumers (pyarrow, polars,
DuckDB) are optional: the tests that need one skip without it."""

import bz2
import gzip
import io
import lzma
import os
import pathlib
import sys

import pytest

import dwex
import dwexio

from leakcheck import assert_no_leak, nomemory_sweep
from thresholds import child_setup

from consumers import duckdb, needs_pyarrow, pa, pl

try:
    from compression import zstd
except ImportError:
    zstd = None

ROWS = [["name", "city"], ["ann", "Zürich"], ["bob", "a city whose name is long"], ["cy", "\U0001F600"]]
DOC = dwex.stringify(ROWS)
DATA = DOC.encode("utf-8", "surrogatepass")


def columns_of(rows):
    return [list(c) for c in zip(*rows)]


# --- sources --------------------------------------------------------------------

COMPRESSORS = {".gz": gzip.compress, ".bz2": bz2.compress, ".xz": lzma.compress}
if zstd is not None:
    COMPRESSORS[".zst"] = zstd.compress


def write(tmp_path, suffix=""):
    path = tmp_path / f"t.dwex{suffix}"
    path.write_bytes(COMPRESSORS[suffix](DATA) if suffix else DATA)
    return path


SOURCES = {
    "str path": lambda tmp: str(write(tmp)),
    "bytes path": lambda tmp: os.fsencode(write(tmp)),
    "PathLike": lambda tmp: write(tmp),
    "binary file": lambda tmp: io.BytesIO(DATA),
    "text file": lambda tmp: open(write(tmp), encoding="utf-8", errors="surrogatepass"),
    "StringIO": lambda tmp: io.StringIO(DOC, newline=""),
    **{f"{suffix} path": (lambda s: lambda tmp: write(tmp, s))(suffix) for suffix in COMPRESSORS},
}


@needs_pyarrow
@pytest.mark.parametrize("kind", SOURCES)
def test_every_source_reads_as_load_reads(tmp_path, kind):
    source = SOURCES[kind](tmp_path)
    with dwexio.read_arrow(source, header=True, batch_rows=2) as reader:
        table = reader.read_all()
    assert table.column_names == ROWS[0]
    assert [c.to_pylist() for c in table.columns] == columns_of(ROWS[1:])
    if isinstance(source, io.IOBase):
        source.close()


@pytest.mark.parametrize("suffix", list(COMPRESSORS))
@pytest.mark.parametrize("damage, error, message", [
    (lambda data: data[: len(data) // 2], EOFError, "Compressed file ended before the end-of-stream marker was reached"),
    (lambda data: b"garbage!" * 4, Exception, None),
])
def test_damaged_compressed_data_is_named_by_its_path(tmp_path, suffix, damage, error, message):
    path = tmp_path / f"t.dwex{suffix}"
    path.write_bytes(damage(COMPRESSORS[suffix](DATA * 1000)))
    with pytest.raises(error) as caught:
        list(dwexio.read_arrow(path)._stream)
    assert str(caught.value).startswith(f"{path}: ")
    assert message is None or str(caught.value) == f"{path}: {message}"


def test_a_text_file_with_a_lone_surrogate_is_refused_as_a_string_cannot_hold_it():
    text = io.StringIO(dwex.stringify([["a"], ["\ud800"]]), newline="")
    with pytest.raises(ValueError) as caught:
        list(dwexio.read_arrow(text)._stream)
    assert str(caught.value) == "row 2, column 1 ('f0'): a lone surrogate, which an Arrow string (UTF-8) cannot hold"


# --- scanning again, once, closing -------------------------------------------------------

@needs_pyarrow
def test_a_reader_of_a_path_is_read_again_at_every_scan(tmp_path):
    path = write(tmp_path, ".gz")
    reader = dwexio.read_arrow(path, header=True, columns=["city"])
    first = reader.read_all()
    assert list(reader) and reader.read_all() == first == pa.table(reader)
    if duckdb is not None:
        for _ in range(2):
            assert duckdb.sql("select count(*), max(city) from reader").fetchall() == [(3, "\U0001F600")]
    if pl is not None:
        assert pl.DataFrame(reader).to_dict(as_series=False) == {"city": columns_of(ROWS[1:])[1]}
    assert repr(reader) == f"ArrowReader({str(path)!r}, columns=['city'])"
    reader.close()
    with pytest.raises(ValueError, match="^this reader is closed$"):
        list(reader)


def test_closing_a_reader_closes_the_file_it_opened(tmp_path, monkeypatch):
    opened = []
    real_open = open
    monkeypatch.setattr("builtins.open", lambda *a, **k: opened.append(real_open(*a, **k)) or opened[-1])
    with dwexio.read_arrow(write(tmp_path)) as reader:
        assert reader.schema.names == ["f0", "f1"]
    assert opened and all(f.closed for f in opened)
    file = io.BytesIO(DATA)
    with dwexio.read_arrow(file):
        pass
    assert not file.closed  # an open file is the caller's


# --- columns and n_rows ----------------------------------------------------------------------

@needs_pyarrow
@pytest.mark.parametrize("header, columns, names, picked", [
    (True, ["city"], ["city"], [1]),
    (True, ["city", "name"], ["city", "name"], [1, 0]),
    (True, [1, "name", 1], ["city", "name", "city"], [1, 0, 1]),
    (True, [], [], []),
    (False, [1], ["f1"], [1]),
    (False, ["f0"], ["f0"], [0]),
])
@pytest.mark.parametrize("string_type", ["string", "string_view"])
def test_columns_by_name_or_index_in_the_order_given(header, columns, names, picked, string_type):
    reader = dwexio.read_arrow(io.BytesIO(DATA), header=header, columns=columns, string_type=string_type)
    table = reader.read_all()
    rows = ROWS[1:] if header else ROWS
    assert table.column_names == names and table.num_rows == len(rows)
    assert [c.to_pylist() for c in table.columns] == [[r[k] for r in rows] for k in picked]


@pytest.mark.parametrize("doc, options, message", [
    (DOC, dict(header=True, columns=["town"]),
     "columns: no column is named 'town'; the columns are 'name', 'city'"),
    (DOC, dict(columns=[2]), "columns: there is no column 2; the table has 2 columns, numbered from 0"),
    ("01a;", dict(columns=[-1]), "columns: there is no column -1; the table has 1 column, numbered from 0"),
    ("", dict(columns=["a"]), "columns: no column is named 'a'; the columns are none"),
    # Columns left out are still read and checked.
    ("01a01b;01c;", dict(columns=[0]), "row 2 has 1 cell, but the table has 2 columns"),
    ("01a01b;01c0x;", dict(columns=[0]), "Unexpected token 'x' at position 11"),
])
def test_columns_that_are_not_there_and_faults_in_columns_left_out(doc, options, message):
    with pytest.raises((ValueError, SyntaxError)) as caught:
        list(dwexio.read_arrow(io.BytesIO(doc.encode()), **options)._stream)
    assert str(caught.value) == message


class Counting(io.BytesIO):
    def __init__(self, data):
        super().__init__(data)
        self.asked = 0

    def read(self, n=-1):
        self.asked += 1
        return super().read(n)

    def readinto(self, buffer):
        self.asked += 1
        return super().readinto(buffer)


@pytest.mark.parametrize("header, n_rows, rows", [
    (True, 0, 0), (True, 2, 2), (True, 3, 3), (True, 10, 3), (False, 1, 1), (False, 0, 0),
])
def test_n_rows_counts_rows_after_the_header_and_reads_no_further(header, n_rows, rows):
    # Damage after the rows asked for is never seen.
    data = DATA + b"0x" if n_rows < 3 else DATA
    reader = dwexio.read_arrow(io.BytesIO(data), header=header, n_rows=n_rows, batch_rows=1)
    assert sum(b.num_rows for b in reader._stream) == rows
    many = Counting(DATA * 100_000)
    assert sum(b.num_rows for b in dwexio.read_arrow(many, n_rows=5)._stream) == 5 and many.asked == 1


# --- string types and their consumers -----------------------------------------------------------

CELLS = ["", "a", "twelve bytes", "thirteen byte", "é" * 6, "é" * 7, "\U0001F600" * 4, "long " * 40]

CONSUMERS = {
    "pyarrow": lambda r: pa.table(r).to_pydict()["f0"],
    "polars": lambda r: pl.DataFrame(r)["f0"].to_list(),
    "duckdb": lambda r: [v for (v,) in duckdb.sql("select f0 from r").fetchall()],
}


@pytest.mark.parametrize("consumer", CONSUMERS)
@pytest.mark.parametrize("string_type, arrow_type", [
    ("string", "string"), ("large_string", "large_string"), ("string_view", "string_view"),
])
def test_each_string_type_through_each_consumer(consumer, string_type, arrow_type):
    if pa is None or (consumer == "polars" and pl is None) or (consumer == "duckdb" and duckdb is None):
        pytest.skip(f"{consumer} (with pyarrow) is not installed")
    data = dwex.stringify([[c] for c in CELLS] * 3).encode()
    r = dwexio.read_arrow(io.BytesIO(data), string_type=string_type, batch_rows=5)
    assert str(pa.schema(r.schema).types[0]) == arrow_type
    assert CONSUMERS[consumer](r) == CELLS * 3


# --- schema: typed columns back from their text ----------------------------------------------------

TYPED = [
    ("int64", lambda: pa.array([1, -20, 3_000_000_000], pa.int64())),
    ("float64", lambda: pa.array([1.5, -0.25, 1e300], pa.float64())),
    ("bool", lambda: pa.array([True, False, True])),
    ("date32", lambda: pa.array([0, 19724, -1], pa.date32())),
    ("timestamp", lambda: pa.array([0, 1_704_164_645_123_456, 5], pa.timestamp("us"))),
    ("decimal", lambda: pa.array(["1.25", "-3.50", "0.00"], pa.string()).cast(pa.decimal128(5, 2))),
]


@needs_pyarrow
@pytest.mark.parametrize("name, make", TYPED, ids=[t[0] for t in TYPED])
@pytest.mark.parametrize("string_type", ["string", "string_view"])
def test_a_typed_column_comes_back_from_its_text(name, make, string_type):
    column = make()
    text = pa.table({"s": ["a", "b", "c"], "v": pa.compute.cast(column, pa.string())})
    out = io.BytesIO()
    dwexio.write_arrow(text, out, header=True)
    for schema in (pa.schema([("v", column.type)]), {"v": column.type}):
        reader = dwexio.read_arrow(io.BytesIO(out.getvalue()), header=True, schema=schema,
                                   string_type=string_type, batch_rows=2)
        table = reader.read_all()
        assert table.column("v").combine_chunks() == column and table.schema.field("v").type == column.type
        again = dwexio.read_arrow(io.BytesIO(out.getvalue()), header=True, schema=schema, string_type=string_type)
        assert pa.table(again) == table


@pytest.mark.parametrize("doc, options, error, message", [
    ("01n;011;012;01x;", dict(header=True, schema={"n": "int8"}, batch_rows=2), ValueError,
     "row 4, column 1 ('n'): cannot read 'x' as int8"),
    ("01a01n;01b03300;", dict(header=True, columns=["n"], schema={"n": "uint8"}), ValueError,
     "row 2, column 2 ('n'): cannot read '300' as uint8"),
    ("01n;", dict(header=True, schema={"m": "int8"}), ValueError,
     "schema: no column is named 'm'; the columns are 'n'"),
    ("01n;", dict(header=True, schema={"n": "int9"}), ValueError, "schema: 'int9' (column 'n') names no Arrow type"),
    ("01n;", dict(header=True, schema={"n": 8}), TypeError,
     "schema: the type of column 'n' must be a pyarrow.DataType, not int"),
    ("01n;", dict(header=True, schema=["n"]), TypeError,
     "schema must be a pyarrow.Schema or a mapping of column names to Arrow types, not list"),
])
@needs_pyarrow
def test_schema_errors(doc, options, error, message):
    with pytest.raises(error) as caught:
        dwexio.read_arrow(io.BytesIO(doc.encode()), **options).read_all()
    assert str(caught.value) == message


@needs_pyarrow
def test_a_type_text_cannot_be_cast_to_is_refused_before_reading():
    with pytest.raises(TypeError) as caught:
        dwexio.read_arrow(io.BytesIO(b"01n;"), header=True, schema={"n": pa.list_(pa.int8())})
    assert str(caught.value) == "schema: column 'n' cannot be read as list<item: int8>: there is no cast from text to it"


# --- arguments, and where errors say they are ----------------------------------------------------------

@pytest.mark.parametrize("options, error, message", [
    (dict(batch_rows=2**63), ValueError, "batch_rows must be at most 2**63 - 1"),
    (dict(batch_rows="9"), TypeError, "batch_rows must be an int, not str"),
    (dict(n_rows=-1), ValueError, "n_rows must be at least 0"),
    (dict(n_rows=2**64), ValueError, "n_rows must be at most 2**63 - 1"),
    (dict(n_rows=True), TypeError, "n_rows must be an int, not bool"),
    (dict(string_type="utf8"), ValueError,
     "string_type must be 'string', 'large_string' or 'string_view', not 'utf8'"),
    (dict(columns="f0"), TypeError, "columns must be a sequence of column names or indices, not str"),
    (dict(columns=[1.0]), TypeError, "columns: 1.0 is neither a column name (str) nor an index (int)"),
])
def test_argument_errors_name_the_argument(options, error, message):
    with pytest.raises(error) as caught:
        dwexio.read_arrow(io.BytesIO(b"01a;"), **options)
    assert str(caught.value) == message


def test_a_source_that_is_neither_path_nor_file_is_refused():
    with pytest.raises(TypeError, match=r"^read_arrow needs a path or an open file, not int$"):
        dwexio.read_arrow(3)


@pytest.mark.parametrize("before", [0, 3, 7, 500_003])
def test_bytes_that_are_not_utf8_are_reported_at_their_offset(tmp_path, before):
    # One-leaf rows of 10, 4 and 3 bytes, then a row whose leaf holds 0xFF.
    tens, rest = divmod(before, 10)
    filler = "07xxxxxxx;" * tens + {0: "", 3: "00;", 7: "01x;00;"}[rest]
    rows = tens + {0: 0, 3: 1, 7: 2}[rest] + 1
    data = filler.encode() + b"01\xff;"
    offset = before + 2
    with pytest.raises(UnicodeDecodeError) as caught:
        list(dwexio.read_arrow(io.BytesIO(data))._stream)
    assert str(caught.value) == f"'utf-8' codec can't decode byte 0xff in position {offset}: not UTF-8 in row {rows}"
    assert caught.value.start == offset
    path = tmp_path / "bad.dwex"
    path.write_bytes(data)
    with pytest.raises(UnicodeDecodeError) as caught:
        list(dwexio.read_arrow(path)._stream)
    assert str(caught.value).endswith(f"in position {offset}: not UTF-8 in row {rows} of {path}")


@pytest.mark.parametrize("doc, message, note", [
    ("01a;01b0x;", "row 2: Unexpected token 'x' at position 8", "in row 2"),
    ("01a;01b", "row 2: Unexpected end of input", "in row 2"),
    ("01a;01b01c;", "row 2 has 2 cells, but the table has 1 column", None),
])
def test_errors_name_the_file_and_row(tmp_path, doc, message, note):
    path = tmp_path / "t.dwex"
    path.write_text(doc)
    with pytest.raises((SyntaxError, ValueError)) as caught:
        list(dwexio.read_arrow(path)._stream)
    assert str(caught.value) == f"{path}: {message}"
    with pytest.raises(type(caught.value)) as unnamed:
        list(dwexio.read_arrow(io.BytesIO(doc.encode()))._stream)
    assert str(unnamed.value) == message.removeprefix("row 2: ")
    assert getattr(unnamed.value, "__notes__", [None]) == [note]


# --- the native code leaks nothing on the new paths ------------------------------------------------------

def test_no_leaks(tmp_path):
    path = write(tmp_path, ".gz")
    data = dwex.stringify([["a", "é" * 9, "\U0001F600" * 5]] * 30).encode()

    def calls():
        for string_type in ("large_string", "string_view"):
            for batch in dwexio.read_arrow(io.BytesIO(data), columns=[2, 0], n_rows=20, batch_rows=7,
                                           string_type=string_type)._stream:
                batch.__arrow_c_array__()
        reader = dwexio.read_arrow(path, header=True, columns=["city"])
        reader.__arrow_c_stream__()
        list(reader._stream)
        reader.close()
        for bad, options in ((b"01a;\xff", {}), (b"01a;0x", {}), (b"01a;", {"columns": ["b"]})):
            with pytest.raises(ValueError if options else (SyntaxError, ValueError)):
                list(dwexio.read_arrow(io.BytesIO(bad), **options)._stream)
            with pytest.raises((SyntaxError, ValueError)):
                list(dwexio.read_arrow(pathlib.Path(path).with_name("bad.dwex"), **options)._stream)
    (tmp_path / "bad.dwex").write_bytes(b"01a;0x")
    assert_no_leak(calls)


@pytest.mark.parametrize("threads", [1, 3])
@pytest.mark.parametrize("only_one", [False, True])
def test_memory_running_out_anywhere_in_a_read_is_a_memory_error(only_one, threads):
    # Every allocation of a read with columns, a row limit and views, from
    # the first to the last, failing in turn (alone, or with all after it):
    # each a MemoryError, never a crash or a wrong table. Three threads read
    # windows small enough to be cut.
    setup = f"""
import io
sys.path[1:1] = {[p for p in sys.path if p]!r}  # after the module's: dwexio and its natives
import dwexio
{child_setup(read_window=300)}
data = {dwex.stringify([["a", "é" * 9, "\U0001F600" * 5]] * 40).encode()!r}

def prepare():
    return io.BytesIO(data)
"""
    # list() of a map, not a comprehension: the interpreter's own LIST_APPEND
    # trips a debug assertion when its resize fails.
    call = ("list(map(lambda b: (b.num_rows, b.__arrow_c_array__() and 1), dwexio.read_arrow("
            f"arg, columns=[2, 0], n_rows=30, batch_rows=7, string_type='string_view', threads={threads})._stream))")
    # Threads cut batches where their stretches end.
    check = "result == [(7, 1)] * 4 + [(2, 1)]" if threads == 1 else "sum(r for r, _ in result) == 30"
    nomemory_sweep(setup, call, check, entries=[], only_one=only_one)
