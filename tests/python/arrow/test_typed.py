"""Typed Arrow columns, nulls and column names, through write_arrow and the
`dwex` command: one text rule (pyarrow's cast to string) everywhere, a null
named by row and column unless its text is given, names as the first row, and
never a traceback on a file that pyarrow writes."""

import datetime
import decimal
import io
import json
import subprocess
import sys
import textwrap

import pytest

import dwex
import dwexio
from dwexio import cli

from command import environment, run

pa = pytest.importorskip("pyarrow")
import pyarrow.compute as pc  # noqa: E402
import pyarrow.feather as feather  # noqa: E402
import pyarrow.parquet as pq  # noqa: E402

WRITES = ("; dwex writes columns of strings, numbers, booleans, decimals, dates, times, "
          "timestamps and durations")

# (column, the text of each value): the text that pyarrow.compute.cast to
# string gives.
TYPED = [
    (pa.array([1, -2], pa.int8()), ["1", "-2"]),
    (pa.array([2**64 - 1, 0], pa.uint64()), ["18446744073709551615", "0"]),
    (pa.array([1.5, 1e20], pa.float32()), ["1.5", "1e+20"]),
    (pa.array([0.1, 1 / 3]), ["0.1", "0.3333333333333333"]),
    (pa.array([float("nan"), float("-inf")]), ["nan", "-inf"]),
    (pa.array([True, False]), ["true", "false"]),
    (pa.array([decimal.Decimal("1.50"), decimal.Decimal("-0.01")], pa.decimal128(3, 2)), ["1.50", "-0.01"]),
    (pa.array([decimal.Decimal("12345678901234567890.1")], pa.decimal256(40, 1)), ["12345678901234567890.1"]),
    (pa.array([datetime.date(2024, 1, 2)], pa.date32()), ["2024-01-02"]),
    (pa.array([datetime.date(1969, 12, 31)], pa.date64()), ["1969-12-31"]),
    (pa.array([datetime.time(1, 2, 3, 4)], pa.time64("us")), ["01:02:03.000004"]),
    (pa.array([datetime.time(1, 2, 3)], pa.time32("s")), ["01:02:03"]),
    (pa.array([datetime.datetime(2024, 1, 2, 3, 4, 5)], pa.timestamp("s")), ["2024-01-02 03:04:05"]),
    (pa.array([datetime.datetime(2024, 1, 2, 3, 4, 5)], pa.timestamp("ms", tz="Europe/Oslo")),
     ["2024-01-02 04:04:05.000+0100"]),
    (pa.array([datetime.timedelta(seconds=5)], pa.duration("ms")), ["5000"]),
    (pa.array([7, 7, 8]).dictionary_encode(), ["7", "7", "8"]),
    (pa.array(["a", "b"], pa.large_string()), ["a", "b"]),
    (pa.array(["a", "long enough to leave the view"], pa.string_view()), ["a", "long enough to leave the view"]),
]
TYPED_IDS = [str(column.type) for column, _ in TYPED]

# (column, its type as the message names it)
REFUSED = [
    (pa.array([["x"]]), "list<item: string>"),
    (pa.array([{"a": 1}]), "struct<a: int64>"),
    (pa.array([b"x"]), "binary"),
    (pa.array([[("k", 1)]], pa.map_(pa.string(), pa.int64())), "map<string, int64>"),
    (pa.array([(1, 2, 3)], pa.month_day_nano_interval()), "month_day_nano_interval"),
]


def document(rows):
    return dwex.stringify(rows).encode("utf-8", "surrogatepass")


def written(data, **options):
    out = io.BytesIO()
    dwexio.write_arrow(data, out, **options)
    return dwexio.load(io.BytesIO(out.getvalue()))


@pytest.mark.parametrize("column, texts", TYPED, ids=TYPED_IDS)
def test_write_arrow_writes_each_type_as_its_text(column, texts):
    table = pa.table({"c": column, "s": pa.array(["x"] * len(column))})
    assert written(table, header=True) == [["c", "s"]] + [[t, "x"] for t in texts]
    # Cast batch by batch: a stream of two batches.
    stream = pa.RecordBatchReader.from_batches(table.schema, table.to_batches() * 2)
    assert written(stream) == [[t, "x"] for t in texts] * 2


@pytest.mark.parametrize("column, type_name", REFUSED, ids=[t for _, t in REFUSED])
def test_other_columns_are_refused_before_the_file_is_touched(tmp_path, column, type_name):
    path = tmp_path / "t.dwex"
    path.write_bytes(b"keep")
    table = pa.table({"s": ["a"], "bad": column})
    with pytest.raises(TypeError) as raised:
        dwexio.write_arrow(table, path)
    assert str(raised.value) == f"column 2 ('bad') is of type {type_name}{WRITES}"
    assert path.read_bytes() == b"keep"


def test_without_pyarrow_a_typed_column_says_what_to_install():
    pytest.importorskip("polars")
    code = textwrap.dedent("""
        import io, sys
        sys.modules["pyarrow"] = None
        import polars as pl, dwexio
        for frame in (pl.DataFrame({"s": ["a"], "n": [1]}), pl.DataFrame({"l": [[1]]}),
                      pl.DataFrame({"s": ["a"]})):
            out = io.BytesIO()
            try:
                dwexio.write_arrow(frame, out)
                print(out.getvalue())
            except TypeError as e:
                print(e)
    """)
    proc = subprocess.run([sys.executable, "-c", code], env=environment(), capture_output=True,
                          text=True, timeout=120)
    assert (proc.stderr, proc.stdout.splitlines()) == ("", [
        "column 2 ('n') is of type int64, which is written as text through pyarrow: "
        "pip install 'dwex[arrow]'",
        f"column 1 ('l') is of type large_list<item: int64>{WRITES}",
        "b'01a;'",
    ])


# A null in each kind of column: the row it is in (from 1).
NULLS = {
    "string": (pa.array(["a", None, "c"]), 2),
    "string_view": (pa.array(["a", "b", None], pa.string_view()), 3),
    "dictionary index": (pa.DictionaryArray.from_arrays(pa.array([0, None, 0], pa.int8()),
                                                        pa.array(["a"])), 2),
    "dictionary value": (pa.DictionaryArray.from_arrays(pa.array([0, 0, 1], pa.int8()),
                                                        pa.array(["a", None])), 3),
    "int64": (pa.array([None, 1, 2]), 1),
}


@pytest.mark.parametrize("column, row", NULLS.values(), ids=NULLS.keys())
def test_an_open_file_gets_no_part_of_a_batch_holding_a_null(column, row):
    # The rows before the null, then a batch holding it.
    before = pa.record_batch({"c": column.slice(0, row - 1)})
    stream = pa.RecordBatchReader.from_batches(before.schema, [before, pa.record_batch({"c": column})])
    out = io.BytesIO()
    with pytest.raises(ValueError) as raised:
        dwexio.write_arrow(stream, out, header=True)
    assert str(raised.value) == (f"row {1 + (row - 1) + row}, column 1 ('c'): a null; pass null= to "
                                 "write_arrow to give the text written for it")
    # Whatever reached the file is whole rows before the null's batch.
    texts = pc.cast(before.column(0), pa.string()).to_pylist()
    rows = dwexio.load(io.BytesIO(out.getvalue()))
    assert rows == ([["c"]] + [[t] for t in texts])[:len(rows)]
    assert written(pa.table({"c": column}), null="\ud800N")[row - 1] == ["\ud800N"]


# --- the command ----------------------------------------------------------------------------

def typed_columns():
    """One value of every column of TYPED."""
    return {f"c{k}": column.slice(0, 1) for k, (column, _) in enumerate(TYPED)}


def command(tmp_path, monkeypatch, capsys, *argv):
    monkeypatch.chdir(tmp_path)
    status = cli.main(list(argv))
    out, err = capsys.readouterr()
    return status, out, err


def test_convert_writes_names_then_the_text_of_each_type(tmp_path, monkeypatch, capsys):
    pq.write_table(pa.table(typed_columns()), tmp_path / "t.parquet")
    # Parquet keeps some types at a finer unit (timestamp[s] as [ms]).
    table = pq.read_table(tmp_path / "t.parquet")
    names = table.column_names
    texts = [pc.cast(c, pa.string())[0].as_py() for c in table.columns]
    for target in ("t.csv", "t.json", "t.dwex", "t.tsv"):
        assert command(tmp_path, monkeypatch, capsys, "convert", "t.parquet", target) == (0, "", "")
    assert dwexio.load(tmp_path / "t.dwex") == [names, texts]
    assert json.loads((tmp_path / "t.json").read_text()) == [names, texts]
    assert (tmp_path / "t.tsv").read_text(newline="") == "\t".join(names) + "\r\n" + "\t".join(texts) + "\r\n"
    assert command(tmp_path, monkeypatch, capsys, "convert", "t.parquet", "n.dwex", "--no-header") == (0, "", "")
    assert dwexio.load(tmp_path / "n.dwex") == [texts]


def test_nulls_name_the_file_row_and_column_unless_null_gives_their_text(tmp_path, monkeypatch, capsys):
    # A dictionary's null value: its row is null though no index is.
    feather.write_feather(pa.table({"a": pa.DictionaryArray.from_arrays(pa.array([0, 0, 1], pa.int8()),
                                                                           pa.array(["v", None]))}),
                             str(tmp_path / "d.arrow"))
    for names in ([], ["--no-header"]):
        assert command(tmp_path, monkeypatch, capsys, "convert", "d.arrow", "-", "--to", "jsonl", *names) == (
            2, "", "dwex: d.arrow: row 3, column 1 ('a') is null; --null TEXT gives the text to "
            "write for a null\n")
    assert command(tmp_path, monkeypatch, capsys, "convert", "d.arrow", "-", "--to", "jsonl", "--null", "") == (
        0, '["a"]\n["v"]\n["v"]\n[""]\n', "")
    pq.write_table(pa.table({"a": ["x", "y", "z"], "b": pa.array([1, None, None])}), tmp_path / "t.parquet")
    message = "dwex: t.parquet: row 2, column 2 ('b') is null; --null TEXT gives the text to write for a null\n"
    for argv in (["show", "t.parquet"], ["stats", "t.parquet"], ["convert", "t.parquet", "o.csv"],
                 ["convert", "t.parquet", "o.dwex"]):
        assert command(tmp_path, monkeypatch, capsys, *argv) == (2, "", message)
        assert not (tmp_path / "o.csv").exists() and not (tmp_path / "o.dwex").exists()
    assert command(tmp_path, monkeypatch, capsys, "show", "t.parquet", "--null", "-") == (
        0, "row  a  b\n  1  x  1\n  2  y  -\n  3  z  -\n", "")
    assert command(tmp_path, monkeypatch, capsys, "show", "t.parquet", "--rows", "0") == (0, "row  a  b\n", "")
    assert command(tmp_path, monkeypatch, capsys, "convert", "t.parquet", "o.dwex", "--null", "") == (0, "", "")
    assert dwexio.load(tmp_path / "o.dwex") == [["a", "b"], ["x", "1"], ["y", ""], ["z", ""]]
    status, out, err = command(tmp_path, monkeypatch, capsys, "stats", "t.parquet", "--null", "NA")
    assert (status, out.splitlines()[:2], err) == (0, ["rows:          3", "cells:         6"], "")


# (argv, the one line on stderr): each an option that changes nothing here.
USELESS = [
    (["convert", "t.csv", "o.json", "--header"],
     "--header has no effect from csv to json (it is for parquet and arrow to or from another format)"),
    (["convert", "t.csv", "o.dwex", "--no-header"],
     "--no-header has no effect from csv to dwex (it is for parquet and arrow to or from another format)"),
    (["convert", "t.parquet", "o.arrow", "--header"],
     "--header has no effect from parquet to arrow (it is for parquet and arrow to or from another format)"),
    (["convert", "t.parquet", "o.dwex", "--delimiter", ";"],
     "--delimiter has no effect from parquet to dwex (it is for csv and tsv)"),
    (["convert", "t.parquet", "o.json", "--encoding", "latin-1"],
     "--encoding has no effect from parquet to json (it is for csv and tsv)"),
    (["convert", "t.csv", "o.dwex", "--line-ending", "lf"],
     "--line-ending has no effect from csv to dwex (it is for csv and tsv output)"),
    (["convert", "t.csv", "o.dwex", "--quote"], "--quote has no effect from csv to dwex (it is for tsv)"),
    (["convert", "t.csv", "o.dwex", "--null", "x"],
     "--null has no effect from csv to dwex (it is for parquet and arrow to another format)"),
    (["convert", "t.parquet", "o.parquet.gz", "--null", "x"],
     "--null has no effect from parquet to parquet (it is for parquet and arrow to another format)"),
    (["show", "t.csv", "--null", "x"], "--null has no effect on csv (it is for parquet and arrow)"),
]


@pytest.mark.parametrize("argv, message", USELESS, ids=[" ".join(u[0]) for u in USELESS])
def test_an_option_without_effect_is_a_usage_error(tmp_path, monkeypatch, capsys, argv, message):
    (tmp_path / "t.csv").write_bytes(b"a\r\n")
    pq.write_table(pa.table({"a": ["x"]}), tmp_path / "t.parquet")
    assert command(tmp_path, monkeypatch, capsys, *argv) == (2, "", f"dwex: {message}\n")
    assert sorted(p.name for p in tmp_path.iterdir()) == ["t.csv", "t.parquet"]


def test_no_traceback_on_any_column_pyarrow_writes(tmp_path):
    columns = typed_columns()
    columns.update({"inf": pa.array([float("inf")]), "null": pa.array([None], pa.string()),
                    "dict": pa.array(["d"]).dictionary_encode()})
    pq.write_table(pa.table(columns), tmp_path / "typed.parquet")
    nested = dict(columns, list=pa.array([["x"]]), struct=pa.array([{"a": 1}]), binary=pa.array([b"x"]))
    pq.write_table(pa.table(nested), tmp_path / "nested.parquet")
    feather.write_feather(pa.table(nested), str(tmp_path / "nested.feather"))
    cases = []
    for name in ("typed.parquet", "nested.parquet", "nested.feather"):
        for argv in (["show", name], ["show", name, "--null", ""], ["stats", name, "--null", ""],
                     ["convert", name, "out.json", "--null", ""], ["convert", name, "out.dwex"],
                     ["convert", name, "out.arrow"], ["validate", name]):
            proc = run(*argv, cwd=tmp_path)
            assert b"Traceback" not in proc.stderr + proc.stdout
            assert len(proc.stderr.splitlines()) <= 1
            cases.append(proc.returncode)
    # Nulls stop show, stats and convert without --null, nested columns
    # everything but the Arrow copy; validate finds no DWEX document.
    assert cases == [2, 0, 0, 0, 2, 0, 1] + [2, 2, 2, 2, 2, 0, 1] * 2


@pytest.mark.parametrize("name, data", [("bad.parquet", b"not parquet"), ("bad.arrow", b"xx"),
                                        ("bad.feather", b"ARROW1\0\0" * 4)])
def test_a_file_pyarrow_cannot_read_is_named(tmp_path, monkeypatch, capsys, name, data):
    (tmp_path / name).write_bytes(data)
    for argv in (["show", name], ["convert", name, "o.csv"]):
        status, out, err = command(tmp_path, monkeypatch, capsys, *argv)
        assert (status, out) == (2, "")
        assert err.startswith(f"dwex: {name}: ") and err.count("\n") == 1
