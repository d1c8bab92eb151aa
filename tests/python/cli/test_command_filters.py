"""The `dwex` command and the writers as parts of a pipeline: compressed files
by suffix, a closed output pipe, the progress line, lone surrogates in each
output format, byte offsets of bytes that are not UTF-8, and counts in the
singular."""

import bz2
import gzip
import io
import json
import lzma
import subprocess
import sys

import pytest

import dwex
import dwexio
from dwexio import cli

from command import environment, run

try:
    from compression import zstd
except ImportError:
    zstd = None

try:
    import pyarrow as pa
    import pyarrow.parquet as pq
except ImportError:
    pa = None

ROWS = [["name", "glyph"], ["smile", "\U0001F600"], ["semi", ";"]]
DOCUMENT = dwex.stringify(ROWS).encode("utf-8")
CODECS = {".gz": gzip, ".bz2": bz2, ".xz": lzma}
if zstd is not None:
    CODECS[".zst"] = zstd
SUFFIXES = list(CODECS)


def command(tmp_path, monkeypatch, capsysbinary, *argv):
    monkeypatch.chdir(tmp_path)
    status = cli.main(list(argv))
    out, err = capsysbinary.readouterr()
    return status, out, err.decode()


def write_dump(path):
    dwexio.dump(ROWS, path)


def write_writer(path):
    with dwexio.Writer(path) as w:
        w.writerows(ROWS)


def write_arrow(path):
    if pa is None:
        pytest.skip("pyarrow is not installed")
    dwexio.write_arrow(pa.table({"name": ["smile", "semi"], "glyph": ["\U0001F600", ";"]}), path, header=True)


@pytest.mark.parametrize("suffix", SUFFIXES)
@pytest.mark.parametrize("write", [write_dump, write_writer, write_arrow])
def test_writers_compress_by_suffix_and_readers_decompress(tmp_path, suffix, write):
    path = tmp_path / f"t.dwex{suffix}"
    write(path)
    assert CODECS[suffix].decompress(path.read_bytes()) == DOCUMENT
    assert dwexio.load(path) == ROWS
    assert list(dwexio.iter_rows(str(path))) == ROWS


@pytest.mark.parametrize("suffix", SUFFIXES)
def test_the_command_reads_and_writes_compressed_files(tmp_path, monkeypatch, capsysbinary, suffix):
    pack = CODECS[suffix].compress
    (tmp_path / f"t.dwex{suffix}").write_bytes(pack(DOCUMENT))
    assert command(tmp_path, monkeypatch, capsysbinary, "convert", f"t.dwex{suffix}", f"o.csv{suffix}") == (
        0, b"", "")
    csv_text = "name,glyph\r\nsmile,\U0001F600\r\nsemi,;\r\n".encode()
    assert CODECS[suffix].decompress((tmp_path / f"o.csv{suffix}").read_bytes()) == csv_text
    assert command(tmp_path, monkeypatch, capsysbinary, "convert", f"o.csv{suffix}", "-", "--to", "jsonl")[1] == (
        "".join(json.dumps(r, ensure_ascii=False) + "\n" for r in ROWS).encode())
    assert command(tmp_path, monkeypatch, capsysbinary, "validate", f"t.dwex{suffix}") == (
        0, f"t.dwex{suffix}: ok, 3 rows\n".encode(), "")
    assert command(tmp_path, monkeypatch, capsysbinary, "show", f"t.dwex{suffix}", "--rows", "1")[1] == (
        b"row  1     2\n  1  name  glyph\n")
    assert command(tmp_path, monkeypatch, capsysbinary, "stats", f"t.dwex{suffix}")[1].startswith(
        b"rows:          3\n")
    if pa is not None:
        assert command(tmp_path, monkeypatch, capsysbinary, "convert", f"t.dwex{suffix}",
                       f"t.parquet{suffix}", "--header") == (0, b"", "")
        assert command(tmp_path, monkeypatch, capsysbinary, "convert", f"t.parquet{suffix}",
                       "back.dwex") == (0, b"", "")
        assert (tmp_path / "back.dwex").read_bytes() == DOCUMENT


def test_compressed_output_is_all_or_nothing(tmp_path, monkeypatch, capsysbinary):
    path = tmp_path / "t.dwex.gz"
    path.write_bytes(b"old")
    with pytest.raises(RuntimeError):
        with dwexio.Writer(path) as w:
            w.writerow(["a"])
            raise RuntimeError
    assert path.read_bytes() == b"old"
    (tmp_path / "bad.dwex").write_bytes(b"01a;x")
    status, out, err = command(tmp_path, monkeypatch, capsysbinary, "convert", "bad.dwex", "t.dwex.gz")
    assert status == 2 and path.read_bytes() == b"old"
    assert sorted(p.name for p in tmp_path.iterdir()) == ["bad.dwex", "t.dwex.gz"]


def test_damaged_compressed_input_is_one_line(tmp_path, monkeypatch, capsysbinary):
    (tmp_path / "cut.dwex.gz").write_bytes(gzip.compress(DOCUMENT)[:-9])
    (tmp_path / "plain.dwex.xz").write_bytes(DOCUMENT)
    assert command(tmp_path, monkeypatch, capsysbinary, "convert", "cut.dwex.gz", "o.csv") == (
        2, b"", "dwex: cut.dwex.gz: not a whole .gz file (Compressed file ended before the "
        "end-of-stream marker was reached)\n")
    assert command(tmp_path, monkeypatch, capsysbinary, "stats", "plain.dwex.xz") == (
        2, b"", "dwex: plain.dwex.xz: not a whole .xz file (Input format not supported by decoder)\n")


# --- pipes and the progress line -------------------------------------------------------------

@pytest.mark.parametrize("to", ["jsonl", "csv", "dwex"] + (["parquet"] if pa is not None else []))
def test_a_closed_output_pipe_ends_the_command_quietly(tmp_path, to):
    dwexio.dump([[f"row {k}", "x" * 40] for k in range(200_000)], tmp_path / "big.dwex")
    child = subprocess.Popen([sys.executable, "-m", "dwexio", "convert", "big.dwex", "-", "--to", to],
                             cwd=tmp_path, env=environment(), stdout=subprocess.PIPE,
                             stderr=subprocess.PIPE)
    child.stdout.read(100)
    child.stdout.close()
    assert (child.wait(timeout=300), child.stderr.read()) == (0, b"")
    child.stderr.close()


def test_the_progress_line_is_forced_or_left_out(tmp_path, monkeypatch, capsysbinary, set_thresholds):
    dwexio.dump([["a", "b"]] * 10, tmp_path / "t.dwex")
    set_thresholds(progress_delay=0.0)
    status, out, err = command(tmp_path, monkeypatch, capsysbinary, "convert", "t.dwex", "o.csv", "--progress")
    assert status == 0
    assert err.startswith("\rdwex: 10 rows, 0.0 MB of 0.0 MB (100%), ") and err.endswith(" MB/s\x1b[K\r\x1b[K")
    assert command(tmp_path, monkeypatch, capsysbinary, "convert", "t.dwex", "o.csv", "--no-progress") == (
        0, b"", "")
    # Standard error here is not a terminal.
    assert command(tmp_path, monkeypatch, capsysbinary, "convert", "t.dwex", "o.csv") == (0, b"", "")


# --- lone surrogates and bytes that are not UTF-8 ------------------------------------------------

def test_json_escapes_lone_surrogates_and_reads_them_back(tmp_path, monkeypatch, capsysbinary):
    rows = [["a\ud800", "\udfff"], ["\U0001F600\udc80"]]
    (tmp_path / "t.dwex").write_bytes(dwex.stringify(rows).encode("utf-8", "surrogatepass"))
    for target in ("o.json", "o.jsonl"):
        assert command(tmp_path, monkeypatch, capsysbinary, "convert", "t.dwex", target) == (0, b"", "")
        text = (tmp_path / target).read_bytes().decode("utf-8")  # valid UTF-8
        back = json.loads(text) if target == "o.json" else [json.loads(line) for line in text.splitlines()]
        assert back == rows
        assert command(tmp_path, monkeypatch, capsysbinary, "convert", target, "back.dwex") == (0, b"", "")
        assert dwexio.load(tmp_path / "back.dwex") == rows


SURROGATE_TARGETS = [
    ("o.csv", "o.csv: row 2, column 1: utf-8 cannot encode '\\udc80'"),
    ("o.tsv", "o.tsv: row 2, column 1: utf-8 cannot encode '\\udc80'"),
    ("o.parquet", "t.dwex: row 2, column 1 ('f0'): a lone surrogate, which an Arrow string (UTF-8) cannot hold"),
    ("o.arrow", "t.dwex: row 2, column 1 ('f0'): a lone surrogate, which an Arrow string (UTF-8) cannot hold"),
]


@pytest.mark.parametrize("target, message", SURROGATE_TARGETS, ids=[t for t, _ in SURROGATE_TARGETS])
def test_other_formats_stop_at_a_lone_surrogate(tmp_path, monkeypatch, capsysbinary, target, message):
    if target.endswith(("parquet", "arrow")) and pa is None:
        pytest.skip("pyarrow is not installed")
    (tmp_path / "t.dwex").write_bytes(dwex.stringify([["a", "b"], ["\udc80x", "c"]]).encode("utf-8", "surrogatepass"))
    (tmp_path / target).write_bytes(b"old")
    assert command(tmp_path, monkeypatch, capsysbinary, "convert", "t.dwex", target) == (2, b"", f"dwex: {message}\n")
    assert (tmp_path / target).read_bytes() == b"old"


def test_text_with_a_lone_surrogate_stops_on_its_way_to_parquet(tmp_path, monkeypatch, capsysbinary):
    if pa is None:
        pytest.skip("pyarrow is not installed")
    (tmp_path / "t.jsonl").write_bytes(b'["a", "b"]\n["c", "\\ud800"]\n')
    assert command(tmp_path, monkeypatch, capsysbinary, "convert", "t.jsonl", "o.parquet") == (
        2, b"", "dwex: t.jsonl: row 2, column 2 ('f1'): a lone surrogate, which an Arrow string (UTF-8) "
        "cannot hold\n")


# (document bytes, the byte offset and row validate names)
NOT_UTF8 = [
    (b"\xff", 0, 1),
    (b"01a;01\xff;", 6, 2),
    (b"01a;02b\xc3;", 7, 2),
    (DOCUMENT * 20_000 + b"03ab\xe9;", len(DOCUMENT) * 20_000 + 4, 60_001),
]


@pytest.mark.parametrize("data, offset, row", NOT_UTF8, ids=[str(n[1]) for n in NOT_UTF8])
def test_validate_names_the_byte_offset_and_row(tmp_path, monkeypatch, capsysbinary, data, offset, row):
    (tmp_path / "t.dwex").write_bytes(data)
    status, out, err = command(tmp_path, monkeypatch, capsysbinary, "validate", "t.dwex")
    assert (status, err) == (1, "")
    assert out.decode().endswith(f" (byte {offset:,}, row {row:,})\n")


def test_counts_of_one_are_singular(tmp_path, monkeypatch, capsysbinary):
    (tmp_path / "one.dwex").write_bytes(dwex.stringify([["a"]]).encode())
    assert command(tmp_path, monkeypatch, capsysbinary, "validate", "one.dwex")[1] == b"one.dwex: ok, 1 row\n"
    assert command(tmp_path, monkeypatch, capsysbinary, "stats", "one.dwex")[1].decode().splitlines() == [
        "rows:          1", "cells:         1", "widest row:    1 cell (row 1)",
        "longest cell:  1 character (row 1, column 1)",
        "storage width: 1 byte per character (Latin-1)", "length:        4 UTF-16 units"]
    (tmp_path / "empty-row.dwex").write_bytes(b";")
    assert command(tmp_path, monkeypatch, capsysbinary, "stats", "empty-row.dwex")[1].decode().splitlines()[-1] == (
        "length:        1 UTF-16 unit")
    (tmp_path / "ragged.dwex").write_bytes(dwex.stringify([["a", "b"], ["c"]]).encode())
    if pa is not None:
        assert command(tmp_path, monkeypatch, capsysbinary, "convert", "ragged.dwex", "o.parquet")[2].startswith(
            "dwex: ragged.dwex: row 2 has 1 cell, ")
