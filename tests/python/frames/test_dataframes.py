"""dwexio.polars and dwexio.pandas against the libraries' own CSV readers on
the same table, DuckDB over one reader twice, and the rule that importing
dwexio (or its dataframe modules) imports no dataframe library."""

import datetime
import gzip
import io
import sys

import pytest

import dwexio

import subproc
from consumers import duckdb, needs_duckdb, needs_pandas, needs_polars, pa, pd, pl

NAMES = ["name", "n", "when", "note"]
ROWS = [[f"p{k}", str(k * 7 % 11), f"2024-0{k % 9 + 1}-1{k % 10}", "é" * (k % 15)] for k in range(40)]


@pytest.fixture
def files(tmp_path):
    """The table as a DWEX document (with a header row) and as CSV."""
    table = pa.table({n: [r[k] for r in ROWS] for k, n in enumerate(NAMES)})
    dwex_path, csv_path = tmp_path / "t.dwex.gz", tmp_path / "t.csv"
    text = io.BytesIO()
    dwexio.write_arrow(table, text, header=True)
    dwex_path.write_bytes(gzip.compress(text.getvalue()))
    import pyarrow.csv

    pyarrow.csv.write_csv(table, csv_path)
    return dwex_path, csv_path


# --- polars -----------------------------------------------------------------------

@needs_polars
def test_polars_read_dwex_is_read_csv_and_keeps_polars_strings(files):
    import dwexio.polars as dp

    dwex_path, csv_path = files
    frame = dp.read_dwex(dwex_path, header=True)
    assert isinstance(frame, pl.DataFrame) and frame.schema == {n: pl.String for n in NAMES}
    assert frame.equals(pl.read_csv(csv_path, infer_schema=False))
    typed = dp.read_dwex(dwex_path, header=True, columns=["n", "when"], schema={"n": pl.Int16, "when": pl.Date})
    expected = pl.read_csv(csv_path, columns=["n", "when"], schema_overrides={"n": pl.Int16, "when": pl.Date})
    assert typed.equals(expected)


QUERIES = {
    "projection": lambda f: f.select("note", "name"),
    "predicate": lambda f: f.filter(pl.col("n").cast(pl.Int64) > 5),
    "row limit": lambda f: f.head(7),
    "all three": lambda f: f.select("name", "n").filter(pl.col("n") == "3").head(2),
    "limit then filter": lambda f: f.head(20).filter(pl.col("name").str.ends_with("1")),
}


@needs_polars
@pytest.mark.parametrize("query", QUERIES)
@pytest.mark.parametrize("batch_size", [None, 3])
def test_polars_scan_answers_as_a_scan_of_the_csv(files, query, batch_size):
    import dwexio.polars as dp

    dwex_path, csv_path = files
    ours = QUERIES[query](dp.scan_dwex(dwex_path, header=True))
    theirs = QUERIES[query](pl.scan_csv(csv_path, infer_schema=False))
    engine = {} if batch_size is None else {"engine": "streaming"}
    assert ours.collect(**engine).equals(theirs.collect(**engine))
    # The plan is read again at every collect.
    assert ours.collect().equals(theirs.collect())


@needs_polars
def test_polars_scan_stops_at_the_row_limit(tmp_path):
    import dwexio.polars as dp

    path = tmp_path / "damaged.dwex"
    path.write_bytes(b"01a01b;01c01d;01e01f;0x")
    lazy = dp.scan_dwex(path, header=True)
    assert lazy.select("b").head(1).collect().to_dict(as_series=False) == {"b": ["d"]}
    with pytest.raises(SyntaxError) as caught:
        lazy.collect()
    assert str(caught.value) == f"{path}: row 4: Unexpected end of input"


@needs_polars
def test_polars_scan_takes_a_schema_and_write_dwex_takes_both_frames(files, tmp_path):
    import dwexio.polars as dp

    dwex_path, _ = files
    lazy = dp.scan_dwex(dwex_path, header=True, schema={"n": pl.Int64})
    assert lazy.collect_schema()["n"] == pl.Int64
    assert lazy.select(pl.col("n").sum()).collect().item() == sum(int(r[1]) for r in ROWS)
    frame = dp.read_dwex(dwex_path, header=True)
    for data in (frame, frame.lazy()):
        out = io.BytesIO()
        dp.write_dwex(data, out, header=True)
        assert dp.read_dwex(io.BytesIO(out.getvalue()), header=True).equals(frame)
        out = io.BytesIO()
        dwexio.write_arrow(data, out, header=True)
        assert dwexio.load(io.BytesIO(out.getvalue())) == [NAMES] + ROWS


# --- pandas ------------------------------------------------------------------------

@needs_pandas
def test_pandas_read_dwex_gives_pyarrow_backed_columns(files):
    import dwexio.pandas as dpd

    dwex_path, csv_path = files
    frame = dpd.read_dwex(dwex_path, header=True)
    assert all(t == pd.ArrowDtype(pa.string()) for t in frame.dtypes)
    assert frame.to_dict("list") == pd.read_csv(csv_path, dtype=str, keep_default_na=False).to_dict("list")
    typed = dpd.read_dwex(dwex_path, header=True, schema={"n": "int64", "when": pd.ArrowDtype(pa.date32())})
    assert str(typed["n"].dtype) == "int64" and typed["n"].tolist() == [int(r[1]) for r in ROWS]
    assert typed["when"].tolist()[0] == datetime.date(2024, 1, 10)


@needs_pandas
@pytest.mark.parametrize("options, first_rows", [
    ({}, [["k", "v"], ["a", "x"]]),
    ({"header": False}, [["a", "x"], ["b", "NA"]]),
    ({"index": True}, [["i", "k", "v"], ["r1", "a", "x"]]),
])
def test_pandas_to_dwex(options, first_rows):
    import dwexio.pandas as dpd

    frame = pd.DataFrame({"k": ["a", "b"], "v": ["x", None]}, index=pd.Index(["r1", "r2"], name="i"))
    out = io.BytesIO()
    dpd.to_dwex(frame, out, null="NA", **options)
    assert dwexio.load(io.BytesIO(out.getvalue()))[:2] == first_rows
    with pytest.raises(ValueError, match=r"a null; pass null="):
        dpd.to_dwex(frame, io.BytesIO())


# --- DuckDB ----------------------------------------------------------------------------

@needs_duckdb
def test_duckdb_queries_one_reader_twice(files):
    dwex_path, _ = files
    people = dwexio.read_arrow(dwex_path, header=True)
    first = duckdb.sql("select name, n from people where note <> '' order by name limit 3").fetchall()
    assert duckdb.sql("select name, n from people where note <> '' order by name limit 3").fetchall() == first
    assert len(first) == 3


# --- imports --------------------------------------------------------------------------

def test_no_dataframe_library_is_imported_before_it_is_called():
    loaded = subproc.run("""
import sys
sys.path[1:1] = PATH
import dwexio, dwexio.polars, dwexio.pandas
result = sorted(m for m in ("polars", "pandas", "pyarrow", "duckdb") if m in sys.modules)
""", PATH=[p for p in sys.path if p])
    assert loaded == []
