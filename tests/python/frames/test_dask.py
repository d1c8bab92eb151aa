"""dwexio.dask on a LocalCluster of two worker processes, which pickle and
tokenise every task as a real cluster does."""

import hashlib
import os
import sys

import pytest

dask = pytest.importorskip("dask")
dd = pytest.importorskip("dask.dataframe")
distributed = pytest.importorskip("distributed")
pa = pytest.importorskip("pyarrow")

import dwex  # noqa: E402
import dwexio  # noqa: E402
from dwexio import dask as dwex_dask  # noqa: E402


@pytest.fixture(scope="module")
def client():
    # Worker processes import dwexio from where this process found it.
    saved = os.environ.get("PYTHONPATH")
    os.environ["PYTHONPATH"] = os.pathsep.join(p for p in sys.path if p)
    try:
        with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                      dashboard_address=None, silence_logs=50) as cluster:
            with distributed.Client(cluster) as c:
                yield c
    finally:
        if saved is None:
            os.environ.pop("PYTHONPATH", None)
        else:
            os.environ["PYTHONPATH"] = saved


def hostile_rows(n):
    """Rows of three leaves that hold ';', digits, whole rows of the same
    width and characters above U+FFFF: each a trap for a guessed start."""
    rows = []
    for k in range(n):
        inner = dwex.stringify([[str(k), "x;", "y"]] * (k % 6))
        rows.append([f"{k};{k * 7}", inner, "\U0001F600" * (k % 3) + "0" * (k % 11) + ";"])
    return rows


def column_hashes(columns):
    return [hashlib.sha256("\0".join(map(str, c)).encode("utf-8", "surrogatepass")).hexdigest()
            for c in columns]


@pytest.mark.parametrize("blocksize", [16, 100, 333, 1000, 5000, None])
def test_cut_at_exact_rows(client, tmp_path, blocksize):
    path = tmp_path / "t.dwex"
    dwexio.dump(hostile_rows(120), path)
    whole = dwexio.read_arrow(path).read_all()
    frame = dwex_dask.read_dwex(str(path), blocksize=blocksize)
    if blocksize is not None and blocksize < 1000:
        assert frame.npartitions > 3
    got = frame.compute()
    assert len(got) == whole.num_rows
    assert column_hashes([got[c].tolist() for c in got.columns]) == \
        column_hashes([whole.column(k).to_pylist() for k in range(whole.num_columns)])


def test_small_files_with_header_packed(client, tmp_path):
    for k in range(12):
        dwexio.dump([["name", "n"]] + [[f"a{k}", str(j)] for j in range(k)], tmp_path / f"p{k:02}.dwex")
    frame = dwex_dask.read_dwex(str(tmp_path / "*.dwex"), header=True, blocksize=200,
                                include_path_column=True)
    assert 1 < frame.npartitions < 12
    got = frame.compute()
    assert list(got.columns) == ["name", "n", "path"]
    assert len(got) == sum(range(12))
    assert got.groupby("name", observed=True).size().to_dict() == {f"a{k}": k for k in range(1, 12)}
    assert set(got["path"].map(os.path.basename)) == {f"p{k:02}.dwex" for k in range(1, 12)}


def test_headers_that_differ_name_both_files(tmp_path):
    dwexio.dump([["a", "b"], ["1", "2"]], tmp_path / "1.dwex")
    dwexio.dump([["a", "c"], ["1", "2"]], tmp_path / "2.dwex")
    with pytest.raises(ValueError, match=r"2\.dwex: the header names the columns 'a', 'c', but .*1\.dwex names"):
        dwex_dask.read_dwex(str(tmp_path / "*.dwex"), header=True)


def test_column_projection_reaches_the_reader(client, tmp_path):
    dwexio.dump([["1", "2", "3"]] * 50, tmp_path / "t.dwex")
    frame = dwex_dask.read_dwex(str(tmp_path / "t.dwex"), blocksize=100)
    assert frame._name == dwex_dask.read_dwex(str(tmp_path / "t.dwex"), blocksize=100)._name
    projected = frame[["f2"]]
    readers = [e for e in projected.optimize(fuse=False).expr.walk() if type(e).__name__.startswith("FromMap")]
    assert [e.operand("columns") for e in readers] == [["f2"]]
    assert projected.compute()["f2"].tolist() == ["3"] * 50


def test_damaged_row_in_third_partition(client, tmp_path):
    rows = [["abc", "de"]] * 30
    good = dwex.stringify(rows).encode()
    row_bytes = len(good) // 30
    # Row 23's second leaf swallows the ';' and the row runs into the next.
    at = 22 * row_bytes
    damaged = good[:at] + good[at:at + row_bytes].replace(b"02de;", b"03de;") + good[at + row_bytes:]
    path = tmp_path / "bad.dwex"
    path.write_bytes(damaged)
    frame = dwex_dask.read_dwex(str(path), blocksize=row_bytes * 8)
    with pytest.raises(ValueError, match=rf"bad\.dwex: row 23, byte {at}: .* 4 cells"):
        frame.compute()
    assert frame.partitions[0].compute().shape == (8, 2)


@pytest.mark.parametrize("url", ["file", "memory"])
def test_round_trip(client, tmp_path, url):
    import pandas as pd

    df = pd.DataFrame({"s": [f"r{k};\U0001F600" for k in range(40)], "n": range(40),
                       "x": [k / 4 for k in range(40)]})
    frame = dd.from_pandas(df, npartitions=4)
    target = f"file://{tmp_path}/out/part-*.dwex" if url == "file" else "memory://rt/part-*.dwex.gz"
    # A memory filesystem lives in one process: the workers' would be their own.
    with dask.config.set(scheduler="sync" if url == "memory" else None):
        written = dwex_dask.to_dwex(frame, target, header=True)
        assert len(written) == 4
        back = dwex_dask.read_dwex(target.replace("part-*", "*"), header=True).compute()
    assert back["s"].tolist() == df["s"].tolist()
    assert back["n"].tolist() == [str(k) for k in range(40)]
    assert back["x"].tolist() == pa.array(df["x"]).cast(pa.string()).to_pylist()



@pytest.mark.parametrize("blocksize", [40, 700])
def test_header_file_cut_and_empty_files(client, tmp_path, blocksize):
    rows = [["a;", "b"]] + [[f"{k}", "02x;" * (k % 4)] for k in range(60)]
    dwexio.dump(rows, tmp_path / "big.dwex")
    dwexio.dump(rows[:1], tmp_path / "only-header.dwex")
    (tmp_path / "zero.dwex").write_bytes(b"")
    frame = dwex_dask.read_dwex(str(tmp_path / "*.dwex"), header=True, blocksize=blocksize)
    got = frame.compute()
    assert list(got.columns) == ["a;", "b"]
    assert got.values.tolist() == rows[1:]


def test_fault_in_a_small_file_counts_its_header(client, tmp_path):
    dwexio.dump([["h"], ["x"]], tmp_path / "a.dwex")
    (tmp_path / "b.dwex").write_bytes(b"01h;01x;05y;")
    frame = dwex_dask.read_dwex(str(tmp_path / "*.dwex"), header=True)
    with pytest.raises(SyntaxError, match=r"b\.dwex: row 3, byte 8: "):
        frame.compute()


def test_to_dwex_names_files_and_defers(client, tmp_path):
    import pandas as pd

    frame = dd.from_pandas(pd.DataFrame({"a": list("abcdef")}), npartitions=3)
    writes = dwex_dask.to_dwex(frame, str(tmp_path / "out"), name_function=lambda i: f"n{i}",
                               compute=False)
    assert not (tmp_path / "out").exists() or not list((tmp_path / "out").iterdir())
    dask.compute(*writes)
    assert sorted(os.listdir(tmp_path / "out")) == ["n0.dwex", "n1.dwex", "n2.dwex"]
    assert dwexio.load(tmp_path / "out" / "n1.dwex") == [["c"], ["d"]]
