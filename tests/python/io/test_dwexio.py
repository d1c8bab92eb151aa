"""dwexio: documents in files, read row by row in chunks of any size, and the
`dwex` command run as a child process on real files."""

import csv
import gc
import io
import json
import os
import pathlib
import re
import stat
import warnings

import pytest
from hypothesis import assume, given, settings, strategies as st

import dwex
import dwexio
from dwexio import _native
from dwexio._cli import delimited as _csv, formats as _formats

import thresholds
from command import run
from leakcheck import assert_no_leak

UNICODE = pathlib.Path("/usr/share/unicode")


def outcome(call):
    """(rows, message): the rows yielded or returned, and the SyntaxError's
    message (None when the document read)."""
    rows = []
    try:
        for row in call():
            rows.append(row)
    except SyntaxError as e:
        return rows, str(e)
    return rows, None


def rows_before_damage(doc):
    """The rows of the longest prefix of `doc` that is a whole document: every
    such prefix ends at a row the reader of the whole document closes."""
    for end in range(len(doc), 0, -1):
        if doc[end - 1] == ";":
            try:
                return dwex.parse(doc[:end])
            except SyntaxError:
                pass
    return []


def check_stream(doc, chunk_size, text_file=False):
    # A zero-byte file is the empty table, where the empty text is no document.
    expected_rows, expected_message = outcome(lambda: dwex.parse(doc)) if doc else ([], None)
    if text_file:
        file = io.StringIO(doc, newline="")
    else:
        file = io.BytesIO(doc.encode("utf-8", "surrogatepass"))
    rows, message = outcome(lambda: dwexio.iter_rows(file, chunk_size=chunk_size))
    assert message == expected_message
    assert rows == (expected_rows if message is None else rows_before_damage(doc))


leaves = st.text(st.sampled_from("a;0f9\r\n\x00\u00e9\u4e2d\ud800\udc00\U0001F600"), max_size=12)
tables = st.lists(st.lists(leaves, max_size=4), max_size=6)


@settings(max_examples=400, deadline=None)
@given(tables, st.data())
def test_iter_rows_reads_what_parse_reads(table, data):
    doc = dwex.stringify(table)
    damage = data.draw(st.sampled_from(["none", "cut", "replace", "insert"]))
    if doc and damage != "none":
        at = data.draw(st.integers(0, len(doc) - 1))
        glyph = data.draw(st.sampled_from(";0A9gx\U0001F600\udc00"))
        if damage == "cut":
            doc = doc[:at]
        elif damage == "replace":
            doc = doc[:at] + glyph + doc[at + 1:]
        else:
            doc = doc[:at] + glyph + doc[at:]
    chunk_size = data.draw(st.integers(1, 40))
    check_stream(doc, chunk_size, text_file=data.draw(st.booleans()))


@pytest.mark.parametrize("doc", [
    "", ";", "0", "0x", "01a", "01a;0x", "02\U0001F600;0x", "01a;" * 5 + "02\U0001F600;0",
    "01\U0001F600", "01\U0001F600;", "f0000000000000001a;", "03;;;;" * 40, "1",
])
@pytest.mark.parametrize("chunk_size", [1, 2, 3, 4, 5, 64])
def test_the_end_of_the_document(doc, chunk_size):
    check_stream(doc, chunk_size)


def real_tables():
    data = (UNICODE / "UnicodeData.txt").read_text(encoding="ascii")
    emoji = (UNICODE / "emoji" / "emoji-test.txt").read_text(encoding="utf-8")
    return {
        "UnicodeData": [line.split(";") for line in data.splitlines()],
        "emoji-test": [line.split(" ") for line in emoji.splitlines()],
    }


@pytest.mark.parametrize("name", ["UnicodeData", "emoji-test"])
def test_real_tables_in_any_pieces(tmp_path, name):
    table = real_tables()[name]
    path = tmp_path / "t.dwex"
    dwexio.dump(table, path)
    assert dwexio.load(path) == table
    for chunk_size in (4093, dwexio.DEFAULT_CHUNK_SIZE):
        assert list(dwexio.iter_rows(path, chunk_size=chunk_size)) == table
    dwexio.dump(table[:300], path)
    for chunk_size in (1, 3):
        assert list(dwexio.iter_rows(path, chunk_size=chunk_size)) == table[:300]
    # A damaged copy: the position counts from the start of the whole document.
    doc = dwex.stringify(table)
    at = len(doc) // 2
    damaged = doc[:at] + "x" + doc[at:]
    path.write_bytes(damaged.encode("utf-8"))
    rows, message = outcome(lambda: dwexio.iter_rows(path, chunk_size=4096))
    assert message == outcome(lambda: dwex.parse(damaged))[1]
    assert rows == table[: len(rows)]
    assert len(dwex.stringify(rows)) <= at < len(dwex.stringify(table[: len(rows) + 1]))


def test_long_rows_read_in_linear_time(tmp_path):
    # One leaf of 4 MB of ';' read in one-byte chunks: the chunks grow with the
    # row, so the row's start is rescanned a logarithmic number of times.
    doc = dwex.stringify([[";" * (1 << 22)], ["a"]])
    path = tmp_path / "long.dwex"
    path.write_text(doc, encoding="ascii")
    assert [len(r[0]) for r in dwexio.iter_rows(path, chunk_size=1)] == [1 << 22, 1]
    # So do the items of one long row.
    dwexio.dump([["a;"] * 300_000], path)
    assert [len(r) for r in dwexio.iter_rows(path, chunk_size=1)] == [300_000]


def test_files_keep_surrogates_and_line_ends(tmp_path):
    table = [["\ud800", "a\r\nb", "\U0001F600"], [], [""]]
    path = tmp_path / "t.dwex"
    dwexio.dump(table, path)
    assert path.read_bytes() == dwex.stringify(table).encode("utf-8", "surrogatepass")
    assert dwexio.load(path) == table
    with open(path, "rb") as f:
        assert dwexio.load(f) == table
    with open(path, encoding="utf-8", errors="surrogatepass", newline="") as f:
        assert list(dwexio.iter_rows(f)) == table


def test_writer_writes_what_stringify_writes(tmp_path):
    rows = [["a", 1], [], ("x", None), ["\U0001F600"]] * 3000
    path = tmp_path / "w.dwex"
    with dwexio.Writer(path) as w:
        w.writerow(iter(rows[0]))
        w.writerows(iter(rows[1:]))
    assert path.read_text(encoding="utf-8") == dwex.stringify(rows)
    out = io.StringIO()
    dwexio.Writer(out).writerows([["a"], ["b"]])
    assert out.getvalue() == "01a;01b;"


csv_text = st.lists(st.sampled_from(['a', ',', '\t', '"', '""', '\n', '\r\n', '\r', ' ', '\u00e9',
                                     '\U0001F600', '\ud800']), max_size=40).map("".join)


@settings(max_examples=300, deadline=None)
@given(csv_text, st.sampled_from([",", "\t"]), st.integers(1, 12), st.integers(3, 1000),
       st.booleans())
def test_csv_reads_as_csv_reader_reads(text, delimiter, chunk, limit, to_dwex):
    def expected():
        return dwex.stringify(csv.reader(io.StringIO(text, newline=""), delimiter=delimiter,
                                         strict=True))

    def ours():
        batches = _csv.read_csv(io.StringIO(text, newline=""), delimiter, to_dwex)
        return "".join(b if isinstance(b, str) else dwex.stringify(b) for b in batches)

    saved = csv.field_size_limit(limit)
    try:
        with thresholds.held(csv_chunk=chunk):
            assert outcome_csv(ours) == outcome_csv(expected)
    finally:
        csv.field_size_limit(saved)


def outcome_csv(call):
    try:
        return call()
    except csv.Error:
        return csv.Error


def test_the_native_helper_leaks_nothing():
    def calls():
        _native.read_rows("01a;02b", False)
        _native.read_rows("01\U0001F600;0", True)
        _native.read_rows("01a;0", True)
        _native.read_rows("", False)
        _native.read_delimited('a,"b""c"\r\n\U0001F600,', ",", 100, dwex.HEX)
        _native.read_delimited('a,"b', ",", 100, dwex.HEX)
        _native.read_delimited("abcdef", ",", 2, dwex.HEX)
        with pytest.raises(TypeError):
            _native.read_rows(b"01a;", False)
        with pytest.raises(TypeError):
            _native.read_delimited("a", ",", 100, "0123")
    assert_no_leak(calls)
    assert _native.read_delimited('a,"b""c"\r\n\U0001F600,', ",", 100, dwex.HEX) == (
        '01a03b"c;02\U0001F60000;')
    assert _native.read_rows("01a;02b", False) == ([["a"]], 4, 4, 1, 0, 0, 1, 9)
    assert _native.read_rows("02\U0001F600;0x", True) == ([["\U0001F600"]], 4, 5, 2, 6, ord("x"), 4, 0)


# --- the command -----------------------------------------------------------------

def csv_round_trip(path):
    out = io.StringIO(newline="")
    with open(path, newline="", encoding="utf-8") as f:
        csv.writer(out).writerows(csv.reader(f))
    return out.getvalue().encode("utf-8")


def test_convert_between_every_format(tmp_path):
    source = tmp_path / "ud.csv"
    with open(source, "w", newline="", encoding="utf-8") as f:
        csv.writer(f).writerows(real_tables()["UnicodeData"])
    chain = ["ud.csv", "a.dwex", "b.json", "c.jsonl", "d.tsv", "e.dwex", "f.csv"]
    for a, b in zip(chain, chain[1:]):
        result = run("convert", a, b, cwd=tmp_path)
        assert result.returncode == 0 and not result.stderr, result.stderr
    assert (tmp_path / "f.csv").read_bytes() == source.read_bytes()
    assert (tmp_path / "e.dwex").read_bytes() == (tmp_path / "a.dwex").read_bytes()
    assert json.loads((tmp_path / "b.json").read_text()) == real_tables()["UnicodeData"]
    piped = run("convert", "-", "-", "--from", "csv", "--to", "dwex", cwd=tmp_path,
                stdin=source.read_bytes())
    assert piped.stdout == (tmp_path / "a.dwex").read_bytes() and not piped.stderr
    back = run("convert", "-", "-", "--from", "dwex", "--to", "csv", cwd=tmp_path,
               stdin=piped.stdout)
    assert back.stdout == source.read_bytes() and not back.stderr


def test_a_csv_of_the_system_comes_back_as_csv_writes_it(tmp_path):
    found = sorted(pathlib.Path("/usr/share").glob("*/**/sample_data/*.csv"))
    if not found:
        pytest.skip("no CSV file under /usr/share")
    for path in found:
        assert run("convert", path, "x.dwex", cwd=tmp_path).returncode == 0
        assert run("convert", "x.dwex", "y.csv", cwd=tmp_path).returncode == 0
        assert (tmp_path / "y.csv").read_bytes() == csv_round_trip(path)


def test_validate_show_and_stats(tmp_path):
    table = real_tables()["emoji-test"]
    dwexio.dump(table, tmp_path / "good.dwex")
    cut = dwex.stringify(table)[:1000]
    (tmp_path / "cut.dwex").write_text(cut, encoding="utf-8")
    ok = run("validate", "good.dwex", cwd=tmp_path)
    assert ok.returncode == 0 and b"good.dwex" in ok.stdout
    bad = run("validate", "good.dwex", "cut.dwex", cwd=tmp_path)
    expected = outcome(lambda: dwex.parse(cut))[1]
    units = len(cut.encode("utf-16-le")) // 2
    row = len(rows_before_damage(cut)) + 1
    assert bad.returncode == 1
    assert f"cut.dwex: {expected} (position {units}, row {row})".encode() in bad.stdout

    shown = run("show", "good.dwex", "--rows", "3", "--width", "12", cwd=tmp_path)
    lines = shown.stdout.decode().splitlines()
    assert shown.returncode == 0 and len(lines) == 4
    assert lines[1].split()[:2] == ["1", "#"]
    (tmp_path / "ctl.dwex").write_bytes(dwex.stringify([["a\tb", "x" * 50]]).encode())
    shown = run("show", "ctl.dwex", cwd=tmp_path).stdout.decode()
    assert "a\\tb" in shown and "x" * 29 + "\u2026" in shown

    stats = run("stats", "good.dwex", cwd=tmp_path).stdout.decode()
    assert f"rows:          {len(table):,}" in stats
    assert f"cells:         {sum(map(len, table)):,}" in stats
    assert "4 bytes per character" in stats


@pytest.mark.parametrize("args, setup", [
    (["convert", "missing.csv", "a.dwex"], None),
    (["convert", "a.csv", "a.unknown"], ("a.csv", b"a,b\r\n")),
    (["convert", "cut.dwex", "a.csv"], ("cut.dwex", b"01a;02b")),
    (["convert", "open.csv", "a.dwex"], ("open.csv", b'a,"' + b"x" * 200_000 + b"\r\n")),
    (["convert", "a.json", "a.dwex"], ("a.json", b'[["a"], ["b", 1]]')),
    (["convert", "a.json", "a.dwex"], ("a.json", b'{"a": 1}')),
    (["convert", "a.json", "a.dwex"], ("a.json", b'[["a"]')),
    (["convert", "a.jsonl", "a.dwex"], ("a.jsonl", b'["a"]\n"b"\n')),
    (["validate", "missing.dwex"], None),
    (["show", "cut.dwex"], ("cut.dwex", b"01a;0x;")),
    (["stats", "cut.dwex"], ("cut.dwex", b"\xff")),
])
def test_bad_input_gets_one_line_and_a_failing_status(tmp_path, args, setup):
    if setup:
        (tmp_path / setup[0]).write_bytes(setup[1])
    result = run(*args, cwd=tmp_path)
    assert result.returncode != 0
    message = result.stderr or result.stdout
    assert len(message.decode().splitlines()) == 1, message
    assert b"Traceback" not in message
    assert not (tmp_path / "a.dwex").exists()


# --- files are written whole or not at all, and read back ------------------------

def test_writer_and_dump_replace_a_file_only_when_complete(tmp_path):
    path = tmp_path / "t.dwex"
    path.write_bytes(b"old")
    os.chmod(path, 0o604)
    with pytest.raises(ZeroDivisionError):
        with dwexio.Writer(path) as w:
            w.writerow(["a"])
            1 / 0
    assert path.read_bytes() == b"old" and os.listdir(tmp_path) == ["t.dwex"]
    w = dwexio.Writer(path)
    w.writerows([["b"]] * 5000)
    assert path.read_bytes() == b"old"
    w.close()
    assert path.read_bytes() == b"01b;" * 5000
    assert stat.S_IMODE(os.stat(path).st_mode) == 0o604
    # A writer dropped unclosed publishes nothing (and warns, as an open file does).
    w = dwexio.Writer(tmp_path / "new.dwex")
    w.writerow(["c"])
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", ResourceWarning)
        del w
        gc.collect()
    assert os.listdir(tmp_path) == ["t.dwex"]
    with pytest.raises(TypeError):
        dwexio.dump([["a"], 5], path)
    with pytest.raises(IsADirectoryError):
        dwexio.dump([["a"]], tmp_path)
    # The empty table is a zero-byte file, and reads back.
    dwexio.dump([], path)
    with dwexio.Writer(tmp_path / "empty.dwex"):
        pass
    for empty in (path, tmp_path / "empty.dwex"):
        assert empty.read_bytes() == b""
        assert dwexio.load(empty) == [] and list(dwexio.iter_rows(empty)) == []
    assert sorted(os.listdir(tmp_path)) == ["empty.dwex", "t.dwex"]
    # Through a link the file it points at is replaced; a name of 254 bytes
    # still leaves room for the new file's.
    os.symlink("t.dwex", tmp_path / "link.dwex")
    dwexio.dump([["l"]], tmp_path / "link.dwex")
    assert os.path.islink(tmp_path / "link.dwex") and path.read_bytes() == b"01l;"
    dwexio.dump([["n"]], tmp_path / ("\u4e2d" * 83 + ".dwex"))
    assert dwexio.load(tmp_path / ("\u4e2d" * 83 + ".dwex")) == [["n"]]


def test_text_files_never_translate_line_ends(tmp_path):
    table = [["a\r\nb", "\r"], ["\n", "\ud800"]]
    path = tmp_path / "t.dwex"
    dwexio.dump(table, path)
    with open(path, encoding="utf-8", errors="surrogatepass") as f:
        assert dwexio.load(f) == table
    with open(path, encoding="utf-8", errors="surrogatepass") as f:
        assert list(dwexio.iter_rows(f, chunk_size=3)) == table
    with open(path, encoding="utf-8", errors="surrogatepass") as f:
        f.read(1)
        with pytest.raises(ValueError, match="open it in binary mode or with newline=''"):
            dwexio.load(f)
    with open(path, "w", encoding="utf-8", errors="surrogatepass", newline="\r\n") as f:
        dwexio.dump(table, f)
        dwexio.Writer(f).writerow(["\n"])
    assert dwexio.load(path) == table + [["\n"]]


def test_iter_rows_opens_its_file_at_once(tmp_path):
    with pytest.raises(FileNotFoundError):
        dwexio.iter_rows(tmp_path / "missing.dwex")
    with pytest.raises(ValueError):
        dwexio.iter_rows(tmp_path / "missing.dwex", chunk_size=0)


def can_be_tsv(table):
    return all(row != [""] and not any(c in leaf for leaf in row for c in "\t\r\n")
               for row in table)


format_leaves = st.text(st.sampled_from('a,;\t" \r\n\ufeff\u00e9\ud800\U0001F600'), max_size=5)


@settings(max_examples=300, deadline=None)
@given(st.lists(st.lists(format_leaves, max_size=4), max_size=5),
       st.sampled_from(["csv", "tsv", "tsv --quote", "json", "jsonl"]),
       st.sampled_from(["\r\n", "\n"]), st.integers(1, 9))
def test_every_format_gives_the_table_back(table, fmt, line_ending, chunk):
    with thresholds.held(csv_chunk=chunk, text_chunk=chunk):  # rows cut anywhere
        check_format(table, fmt, line_ending)


def check_format(table, fmt, line_ending):
    fmt, _, quote = fmt.partition(" ")
    assume(fmt != "tsv" or quote or can_be_tsv(table))
    options = _formats.TextOptions(line_ending=line_ending, quote=bool(quote))
    document = dwex.stringify(table).encode("utf-8", "surrogatepass")
    written = io.BytesIO()
    if fmt in ("csv", "tsv") and any(re.search("[\ud800-\udfff]", leaf) for row in table for leaf in row):
        # No CSV reader takes a lone surrogate: the writer stops at the first.
        with pytest.raises(_formats.FormatError, match=r"^t: row \d+, column \d+: utf-8 cannot encode '\\ud"):
            _formats.write_table(written, fmt, _formats.read_table(io.BytesIO(document), "dwex", "t"),
                                 lambda rows: None, "t", options)
        return
    _formats.write_table(written, fmt, _formats.read_table(io.BytesIO(document), "dwex", "t"),
                         lambda rows: None, "t", options)
    text = io.TextIOWrapper(io.BytesIO(written.getvalue()), encoding="utf-8-sig",
                            errors="surrogatepass", newline="")
    back = io.BytesIO()
    _formats.write_table(back, "dwex", _formats.read_table(text, fmt, "t", True, options),
                         lambda rows: None)
    assert back.getvalue() == document
