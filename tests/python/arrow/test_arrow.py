"""dwexio.read_arrow and write_arrow: the native Arrow reader and writer, on
their own (the Arrow C interface without any consumer) and through pyarrow,
polars and DuckDB, which are skipped where they are not installed."""

import gc
import io
import sys
import weakref

import pytest
from hypothesis import given, settings, strategies as st

import dwex
import dwexio

from leakcheck import assert_no_leak
from consumers import duckdb, needs_pyarrow, pa, pl


class Trickle(io.RawIOBase):
    """A binary file whose every read gives at most `step` bytes, so that
    rows and items straddle the reader's refills anywhere."""

    def __init__(self, data: bytes, step: int) -> None:
        self._data, self._at, self._step = data, 0, step

    def readable(self):
        return True

    def read(self, n=-1):
        n = self._step if n < 0 else min(n, self._step)
        chunk = self._data[self._at:self._at + n]
        self._at += len(chunk)
        return chunk


def encode(doc: str) -> bytes:
    return doc.encode("utf-8", "surrogatepass")


def batches(read):
    """The batches that `read()`'s reader gives as lists of rows, and the
    exception it ends with (None after the last batch). A fault in the row
    that fixes the schema is raised by read_arrow itself."""
    out = []
    try:
        for batch in read():
            out.append([list(row.values()) for row in batch.to_pylist()])
    except (SyntaxError, ValueError) as e:
        return out, e
    return out, None


def columns_of(table):
    return [list(col) for col in zip(*table)] if table else []


# --- the property ------------------------------------------------------------

text = st.text(st.characters(exclude_categories=("Cs",)), max_size=8)


@needs_pyarrow
@settings(max_examples=150, deadline=None)
@given(st.integers(0, 4), st.lists(st.lists(text, min_size=4, max_size=4), max_size=12),
       st.integers(1, 7), st.integers(1, 40))
def test_read_arrow_is_load_and_write_arrow_gives_the_bytes_back(width, rows, batch_rows, step):
    table = [row[:width] for row in rows]
    data = encode(dwex.stringify(table))
    reader = dwexio.read_arrow(Trickle(data, step), batch_rows=batch_rows)
    got = list(reader)
    assert all(b.num_rows <= batch_rows for b in got)
    arrow = pa.Table.from_batches(got, schema=pa.schema(reader.schema))
    loaded = dwexio.load(io.BytesIO(data)) if data else []
    assert arrow.num_rows == len(loaded)
    assert [col.to_pylist() for col in arrow.columns] == columns_of(loaded)
    out = io.BytesIO()
    dwexio.write_arrow(arrow, out)
    assert out.getvalue() == data


# --- damaged documents: what iter_rows raises, after the rows before it -------

def iter_rows_outcome(data):
    rows = []
    try:
        for row in dwexio.iter_rows(io.BytesIO(data), chunk_size=3):
            rows.append(row)
    except SyntaxError as e:
        return rows, str(e)
    return rows, None


@needs_pyarrow
@settings(max_examples=300, deadline=None)
@given(st.lists(st.lists(st.text(st.sampled_from("a;0f9\u00e9\u4e2d\U0001F600"), max_size=6),
                         min_size=2, max_size=2), max_size=5), st.data())
def test_damaged_documents_fail_as_iter_rows_fails(table, data):
    doc = dwex.stringify(table)
    if doc:
        at = data.draw(st.integers(0, len(doc) - 1))
        glyph = data.draw(st.sampled_from(["", ";", "0", "A", "9", "g", "\U0001F600", "\u00e9"]))
        doc = doc[:at] + glyph + doc[at + data.draw(st.integers(0, 1)):]
    data_bytes = encode(doc)
    rows, message = iter_rows_outcome(data_bytes) if doc else ([], None)
    got, error = batches(lambda: dwexio.read_arrow(Trickle(data_bytes, data.draw(st.integers(1, 9))),
                                                   batch_rows=data.draw(st.integers(1, 3))))
    got = [row for batch in got for row in batch]
    if isinstance(error, SyntaxError) or error is None:
        assert (got, str(error) if error else None) == (rows, message)
    else:  # a ragged row, which iter_rows reads
        assert ", but the table has" in str(error) and got == rows[:len(got)]


@needs_pyarrow
@pytest.mark.parametrize("doc", [
    ";", "0", "0x", "1x", "10x", "01a", "01a;0x", "02\U0001F600;0x", "0\U0001F600",
    "01a;" * 5 + "02\U0001F600;0", "01\U0001F600", "01\U0001F600;", "03\U0001F600;",
    "f0000000000000001a;", "03;;;;" * 40, "1", "01a;g", "01a;01\u00e9;x", "01a;\u4e2d",
    "01a;01b;0", "01a;01b", "a0000000000000001a;",
])
@pytest.mark.parametrize("step", [1, 2, 5, 1 << 20])
def test_damage_is_reported_as_iter_rows_reports_it(doc, step):
    data = encode(doc)
    rows, message = iter_rows_outcome(data)
    got, error = batches(lambda: dwexio.read_arrow(Trickle(data, step), batch_rows=2))
    assert [row for batch in got for row in batch] == rows
    assert (str(error) if error else None) == message
    assert error is None or type(error) is SyntaxError
    if message is not None and rows:
        # A consumer's own reader keeps the message, after the same batches.
        stream = pa.RecordBatchReader.from_stream(dwexio.read_arrow(Trickle(data, step), batch_rows=2))
        seen = []
        with pytest.raises(Exception, match=None) as caught:
            for batch in stream:
                seen.extend(list(r.values()) for r in batch.to_pylist())
        assert seen == rows and message in str(caught.value)


# --- the table's shape and the errors the reader fixes --------------------------

@pytest.mark.parametrize("data, header, shape, names", [
    (b"", False, (0, 0), []),
    (b"", True, (0, 0), []),
    (b"", ["a", "b"], (0, 2), ["a", "b"]),
    (b";;;", False, (3, 0), []),
    (b";;;", True, (2, 0), []),
    (b"01a02bc;01d00;", True, (1, 2), ["a", "bc"]),
    (b"01a02bc;01d00;", ("x", "y"), (2, 2), ["x", "y"]),
    (b"01a02bc;01d00;", False, (2, 2), ["f0", "f1"]),
])
def test_shapes_and_names(data, header, shape, names):
    reader = dwexio.read_arrow(io.BytesIO(data), header=header)
    assert reader.schema.names == names
    if pa is not None:
        table = reader.read_all()
        assert (table.num_rows, table.num_columns) == shape and table.column_names == names
        assert all(t == pa.string() for t in table.schema.types)
    else:
        assert sum(b.num_rows for b in reader) == shape[0]


@pytest.mark.parametrize("doc, header, error, message", [
    ("01a02bc;01d;", False, ValueError, "row 2 has 1 cell, but the table has 2 columns"),
    ("01a02bc;;", True, ValueError, "row 2 has 0 cells, but the table has 2 columns"),
    (";01a;", False, ValueError, "row 2 has 1 cell, but the table has 0 columns"),
    ("01a;01b02cd;", ["x"], ValueError, "row 2 has 2 cells, but the table has 1 column"),
    ("01a01b;01c01\ud800;", ["x", "y"], ValueError,
     "row 2, column 2 ('y'): a lone surrogate, which an Arrow string (UTF-8) cannot hold"),
    ("01a01\udfff;", True, ValueError,
     "row 1, column 2: a lone surrogate, which an Arrow string (UTF-8) cannot hold"),
    ("01a03b\x00c;", True, ValueError,
     "the name of column 2 holds a NUL character, which an Arrow column name cannot"),
    ("", ["a", "b\x00"], ValueError,
     "the name of column 2 holds a NUL character, which an Arrow column name cannot"),
    ("", ["\ud800"], ValueError,
     "the name of column 1 holds a lone surrogate, which an Arrow string (UTF-8) cannot hold"),
    ("", "ab", TypeError, "header must be True, False or a sequence of str, not str"),
    ("", [1], TypeError, "header: the name of column 1 is a int, not a str"),
])
def test_errors_name_the_row_and_column(doc, header, error, message):
    def read():
        return [b.num_rows for b in dwexio.read_arrow(Trickle(encode(doc), 3), header=header,
                                                      batch_rows=1)]
    with pytest.raises(error) as caught:
        read()
    assert str(caught.value) == message


def test_a_reader_of_an_open_file_is_read_once_and_bad_arguments_are_refused(tmp_path):
    once = "^this reader of an open file has already been read; give read_arrow a path"
    reader = dwexio.read_arrow(io.BytesIO(b"01a;"))
    capsule = reader.__arrow_c_stream__()
    del capsule
    for again in (reader.__arrow_c_stream__, lambda: next(iter(reader)), lambda: list(reader)):
        with pytest.raises(ValueError, match=once):
            again()
    reader = dwexio.read_arrow(io.BytesIO(b"01a;"))
    assert [b.num_rows for b in reader] == [1]
    with pytest.raises(ValueError, match=once):
        list(reader)
    with pytest.raises(ValueError, match="^batch_rows must be at least 1$"):
        dwexio.read_arrow(io.BytesIO(b""), batch_rows=0)
    with pytest.raises(UnicodeDecodeError, match="not UTF-8 in row 2"):
        list(dwexio.read_arrow(io.BytesIO(b"01a;01\xff;")))
    with pytest.raises(FileNotFoundError):
        dwexio.read_arrow(tmp_path / "missing.dwex")


def test_a_path_is_closed_when_read(tmp_path, monkeypatch):
    path = tmp_path / "t.dwex"
    dwexio.dump([["a"]] * 10, path)
    opened = []
    real_open = open
    monkeypatch.setattr("builtins.open", lambda *a, **k: opened.append(real_open(*a, **k)) or opened[-1])
    assert sum(b.num_rows for b in dwexio.read_arrow(path, batch_rows=3)) == 10
    assert opened and opened[0].closed


# --- writing ------------------------------------------------------------------------

@needs_pyarrow
@pytest.mark.parametrize("kind", ["string", "large_string", "string_view", "dictionary"])
def test_write_arrow_writes_what_dump_writes(tmp_path, kind):
    rows = [["a", "\U0001F600x", "é" * 12], ["", "long " * 5, ";"], ["x", "y", None]]
    types = {"string": pa.string(), "large_string": pa.large_string(),
             "string_view": pa.string_view(), "dictionary": pa.dictionary(pa.int8(), pa.string())}
    arrays = [pa.array(list(col), types[kind]) for col in zip(*rows)]
    table = pa.table(arrays, names=["n1", "n\U0001F600", "n3"])
    path = tmp_path / "t.dwex"
    with pytest.raises(ValueError, match=r"^row 4, column 3 \('n3'\): a null; pass null="):
        dwexio.write_arrow(table, path, header=True)
    dwexio.write_arrow(table, path, header=True, null="\ud800NULL")
    expected = [["n1", "n\U0001F600", "n3"]] + [[c if c is not None else "\ud800NULL" for c in r] for r in rows]
    assert path.read_bytes() == encode(dwex.stringify(expected))
    # A slice keeps its offset, and a RecordBatch goes through __arrow_c_array__.
    for data in (table.slice(1, 1), table.to_batches()[0].slice(1, 1)):
        dwexio.write_arrow(data, path)
        assert dwexio.load(path) == [rows[1]]


@needs_pyarrow
def test_write_arrow_refuses_other_columns_before_touching_the_file(tmp_path):
    path = tmp_path / "t.dwex"
    path.write_bytes(b"keep")
    table = pa.table({"s": ["a"], "l": pa.array([["x"]])})
    with pytest.raises(TypeError, match=r"^column 2 \('l'\) is of type list<item: string>; dwex writes "):
        dwexio.write_arrow(table, path)
    with pytest.raises(TypeError, match="needs an Arrow table"):
        dwexio.write_arrow([["a"]], path)
    with pytest.raises(TypeError, match=r"not int32"):
        dwexio.write_arrow(pa.array([1], pa.int32()), path)
    assert path.read_bytes() == b"keep"
    dwexio.write_arrow(pa.table({"s": pa.array([], pa.string())}), path)
    assert path.read_bytes() == b""
    text = io.StringIO(newline="")
    dwexio.write_arrow(pa.table({"s": ["\U0001F600", "b"]}), text, header=True)
    assert text.getvalue() == dwex.stringify([["s"], ["\U0001F600"], ["b"]])


@needs_pyarrow
def test_write_arrow_takes_each_producer_and_duckdb_queries_the_reader(tmp_path):
    rows = [["a", "\U0001F600"], ["", "x;y"], ["b", "\u00e9"]]
    table = pa.table({"c0": [r[0] for r in rows], "c1": [r[1] for r in rows]})
    producers = [table, table.to_batches()[0],
                 pa.RecordBatchReader.from_batches(table.schema, table.to_batches())]
    if pl is not None:
        producers.append(pl.from_arrow(table))  # string_view columns
    if duckdb is not None:
        producers.append(duckdb.from_arrow(table).to_arrow_table())
    path = tmp_path / "t.dwex"
    for data in producers:
        dwexio.write_arrow(data, path)
        assert path.read_bytes() == encode(dwex.stringify(rows))
    if duckdb is not None:
        reader = dwexio.read_arrow(path, batch_rows=1)
        assert duckdb.sql("select count(*), max(f1) from reader").fetchall() == [(3, "\U0001F600")]


def test_a_batch_is_exported_once():
    batch = next(iter(dwexio.read_arrow(io.BytesIO(b"01a;"))._stream))
    assert batch.num_rows == 1
    schema, array = batch.__arrow_c_array__(None)
    with pytest.raises(ValueError, match="^this Arrow batch has already been consumed$"):
        batch.__arrow_c_array__()


# --- the real tables through each consumer ----------------------------------------------

def rectangular(rows):
    width = max(map(len, rows))
    return [row + [""] * (width - len(row)) for row in rows]


@pytest.fixture(scope="module")
def real_tables():
    import tables  # the benchmark's

    return {t.name: rectangular(t.rows) for t in tables.all_tables()}


CONSUMERS = {
    "pyarrow": (lambda: pa, lambda r: pa.table(r).to_pydict()),
    "polars": (lambda: pl, lambda r: pl.DataFrame(r).to_dict(as_series=False)),
    "duckdb": (lambda: duckdb, lambda r: duckdb.from_arrow(r).to_arrow_table().to_pydict()),
}


@pytest.mark.parametrize("consumer", CONSUMERS)
@pytest.mark.parametrize("name", ["ascii", "bmp", "astral", "wide"])
def test_real_tables_through_each_consumer(tmp_path, real_tables, consumer, name):
    available, consume = CONSUMERS[consumer]
    if available() is None or pa is None:
        pytest.skip(f"{consumer} (with pyarrow) is not installed")
    table = real_tables[name]
    path = tmp_path / "t.dwex"
    dwexio.dump(table, path)
    got = consume(dwexio.read_arrow(path, batch_rows=10_000))
    assert list(got.values()) == columns_of(table)
    back = tmp_path / "back.dwex"
    dwexio.write_arrow(pa.table(got), back)
    assert back.read_bytes() == path.read_bytes()


# --- the native code leaks nothing, with no consumer in between -------------------------

def test_no_leaks():
    # The reader's own batches, not pyarrow's: on the debug interpreter a
    # release-built pyarrow moves reference counts that the total never sees.
    data = encode(dwex.stringify([["a", "\u00e9\U0001F600"]] * 50))

    def calls():
        for batch in dwexio.read_arrow(io.BytesIO(data), batch_rows=7)._stream:
            schema, array = batch.__arrow_c_array__()
        dwexio.read_arrow(io.BytesIO(data)).__arrow_c_stream__()
        out = io.BytesIO()
        dwexio.write_arrow(dwexio.read_arrow(io.BytesIO(data), batch_rows=9), out, header=True)
        assert out.getvalue() == encode("02f002f1;") + data
        for bad in (b"01a;0x", b"01a;01b02cd;", b"01\xed\xa0\x80;"):
            with pytest.raises((SyntaxError, ValueError)):
                list(dwexio.read_arrow(io.BytesIO(bad), batch_rows=1)._stream)
            with pytest.raises(ValueError):
                dwexio.write_arrow(dwexio.read_arrow(io.BytesIO(bad), batch_rows=1), io.BytesIO())
    assert_no_leak(calls)


# --- dwex convert ---------------------------------------------------------------------------

@needs_pyarrow
@pytest.mark.parametrize("ext", [".parquet", ".arrow", ".feather"])
@pytest.mark.parametrize("header", [False, True])
def test_convert_to_and_from_arrow_files(tmp_path, ext, header):
    from dwexio import cli
    rows = [["name", "glyph"], ["smile", "\U0001F600"], ["semi", ";"]]
    source, middle, back = tmp_path / "t.dwex", tmp_path / f"t{ext}", tmp_path / "back.dwex"
    dwexio.dump(rows, source)
    flag = ["--header"] if header else ["--no-header"]
    assert cli.main(["convert", str(source), str(middle)] + flag) == 0
    table = pa.ipc.open_file(middle).read_all() if ext != ".parquet" else pa.parquet.read_table(middle)
    assert table.column_names == (rows[0] if header else ["f0", "f1"])
    assert cli.main(["convert", str(middle), str(back)] + flag) == 0
    assert back.read_bytes() == source.read_bytes()
    csv_path = tmp_path / "t.csv"
    assert cli.main(["convert", str(middle), str(csv_path)] + flag) == 0
    assert cli.main(["convert", str(csv_path), str(middle)] + flag) == 0
    assert cli.main(["convert", str(middle), str(back)] + flag) == 0
    assert back.read_bytes() == source.read_bytes()


@needs_pyarrow
def test_convert_refuses_what_an_arrow_file_cannot_hold(tmp_path, capsys):
    from dwexio import cli
    numbers = tmp_path / "n.parquet"
    pa.parquet.write_table(pa.table({"n": [[1], [2]]}), numbers)
    ragged = tmp_path / "r.dwex"
    ragged.write_bytes(b"01a02bc;01d;")
    for source, target, message in [
        (numbers, "n.dwex", "column 1 ('n') is of type list<element: int64>; dwex writes"),
        (ragged, "r.parquet", "row 2 has 1 cell, but the table has 2 columns"),
    ]:
        assert cli.main(["convert", str(source), str(tmp_path / target)]) == 2
        assert message in capsys.readouterr().err
        assert not (tmp_path / target).exists()


def test_convert_without_pyarrow_says_what_to_install(tmp_path, monkeypatch, capsys):
    from dwexio import cli
    monkeypatch.setitem(sys.modules, "pyarrow", None)
    source = tmp_path / "t.dwex"
    source.write_bytes(b"01a;")
    assert cli.main(["convert", str(source), str(tmp_path / "t.parquet")]) == 2
    assert capsys.readouterr().err == "dwex: parquet and Arrow files need pyarrow: pip install 'dwex[arrow]'\n"
    assert not (tmp_path / "t.parquet").exists()


@pytest.mark.parametrize("batch", [False, True])
def test_a_reader_in_a_cycle_with_its_open_file_is_collected(batch):
    # The file refers to the reader, whose native stream holds the file (and
    # a batch holds the stream): the collector sees through both.
    f = io.BytesIO(dwex.stringify([["a"], ["b"]]).encode())
    f.held = dwexio.read_arrow(f, batch_rows=1)
    if batch:
        f.held = next(iter(f.held._pending))
    gone = weakref.ref(f)
    del f
    gc.collect()
    assert gone() is None



# The collector may finalize the file before the stream that would close it,
# which is the warning any open file collected in a cycle gives.
@pytest.mark.filterwarnings("ignore:unclosed file:ResourceWarning")
@pytest.mark.parametrize("file_first", [True, False])
def test_a_stream_that_owns_its_file_is_collected_quietly(tmp_path, monkeypatch, file_first):
    # A stream closes the file it owns. In a cycle through the file, the
    # collector may clear the file before the stream is freed: the close
    # must come first, or it calls into a cleared file.
    from dwexio import _native

    path = tmp_path / "t.dwex"
    dwexio.dump([["a"], ["b"], ["c"]], path)
    raised = []
    monkeypatch.setattr(sys, "unraisablehook", raised.append)
    f = open(path, "rb")
    stream = _native.read(f, owned=True, batch_rows=1)
    next(stream)
    if file_first:
        f.held = stream
    else:
        stream_holder = [stream, f]
        f.held = stream_holder
    closed = weakref.ref(f)
    del f, stream
    if not file_first:
        del stream_holder
    gc.collect()
    assert closed() is None
    assert [(r.exc_type, str(r.exc_value)) for r in raised] == []
