"""The `dwex` command's options, alone and together: what each writes, and the
exact one-line message and exit status of each mistake. The command runs in
this process (cli.main), in a directory of its own."""

import os

import pytest

import dwex
from dwexio import cli
from dwexio._io.files import BATCH_ROWS

FORMAT_LIST = "csv, tsv, json, jsonl, dwex, parquet, arrow"


def doc(*rows):
    return dwex.stringify(list(rows)).encode("utf-8", "surrogatepass")


def dwex_command(tmp_path, monkeypatch, capsysbinary, argv, files):
    """(status, stdout, stderr) of `dwex ARGV` run where `files` were written."""
    for name, data in files.items():
        (tmp_path / name).write_bytes(data)
    monkeypatch.chdir(tmp_path)
    status = cli.main(argv)
    out, err = capsysbinary.readouterr()
    return status, out, err.decode()


# (argv, input files, the file the command writes, its bytes)
CONVERSIONS = [
    (["convert", "t.csv", "t.dwex", "--delimiter", ";"], {"t.csv": b"a;b\r\nc,d\r\n"},
     "t.dwex", doc(["a", "b"], ["c,d"])),
    (["convert", "t.dwex", "t.csv"], {"t.dwex": doc(["a", "b"], ["c"])}, "t.csv", b"a,b\r\nc\r\n"),
    (["convert", "t.dwex", "t.csv", "--line-ending", "lf"], {"t.dwex": doc(["a", "b"], ["c"])},
     "t.csv", b"a,b\nc\n"),
    (["convert", "t.dwex", "t.csv", "--delimiter", ";"], {"t.dwex": doc(["a;", "b,"])},
     "t.csv", b'"a;";b,\r\n'),
    (["convert", "t.dwex", "t.tsv"], {"t.dwex": doc(['"a"', "b c"], [])}, "t.tsv", b'"a"\tb c\r\n\r\n'),
    (["convert", "t.dwex", "t.tsv", "--quote"], {"t.dwex": doc(["a\tb", "c\nd", "e"])},
     "t.tsv", b'"a\tb"\t"c\nd"\te\r\n'),
    (["convert", "t.dwex", "t.tsv", "--quote", "--delimiter", ";", "--line-ending", "lf"],
     {"t.dwex": doc(["a;", "b\t"])}, "t.tsv", b'"a;";b\t\n'),
    (["convert", "t.tsv", "t.dwex"], {"t.tsv": b'"a\t"b\r\n'}, "t.dwex", doc(['"a', '"b'])),
    (["convert", "t.tsv", "t.dwex", "--quote"], {"t.tsv": b'"a\tb"\tc\r\n'}, "t.dwex", doc(["a\tb", "c"])),
    (["convert", "t.csv", "t.dwex", "--encoding", "latin-1"], {"t.csv": b"\xe9,b\r\n"},
     "t.dwex", doc(["\u00e9", "b"])),
    (["convert", "t.dwex", "t.csv", "--encoding", "cp1252"], {"t.dwex": doc(["\u20ac"])},
     "t.csv", b"\x80\r\n"),
    (["convert", "t.dwex", "t.csv", "--encoding", "utf-16"], {"t.dwex": doc(["\u00e9"], ["b"])},
     "t.csv", "\u00e9\r\nb\r\n".encode("utf-16")),
    (["convert", "t.csv", "t.dwex", "--encoding", "UTF-16"], {"t.csv": "x,\U0001F600\r\n".encode("utf-16")},
     "t.dwex", doc(["x", "\U0001F600"])),
    # A byte order mark leading UTF-8 input is dropped; one leading a leaf is
    # written twice, so that reading it back drops only the first.
    (["convert", "t.csv", "t.dwex"], {"t.csv": b"\xef\xbb\xbfa,b\r\n"}, "t.dwex", doc(["a", "b"])),
    (["convert", "t.dwex", "t.csv"], {"t.dwex": doc(["\ufeffa"])}, "t.csv", b"\xef\xbb\xbf\xef\xbb\xbfa\r\n"),
    (["convert", "data.txt", "data.out", "--from", "csv", "--to", "jsonl"], {"data.txt": b"a,b\r\n\r\n"},
     "data.out", b'["a", "b"]\n[]\n'),
    (["convert", "T.CSV", "t.json"], {"T.CSV": b"a\r\n\xc3\xa9\r\n"}, "t.json", '[\n["a"],\n["\u00e9"]\n]\n'.encode()),
    (["convert", "e.dwex", "e.json"], {"e.dwex": b""}, "e.json", b"[]\n"),
    (["convert", "e.dwex", "e.jsonl"], {"e.dwex": b""}, "e.jsonl", b""),
    (["convert", "e.json", "e.dwex"], {"e.json": b" [ ] \n"}, "e.dwex", b""),
    (["convert", "t.ndjson", "t.dwex"], {"t.ndjson": b'["a"]\n\n["\\ud800"]\n'}, "t.dwex",
     doc(["a"], ["\ud800"])),
    # JSON writes a lone surrogate as its escape, which reads back the same.
    (["convert", "t.dwex", "t.json"], {"t.dwex": doc(["\ud800"])}, "t.json", b'[\n["\\ud800"]\n]\n'),
    (["convert", "t.dwex", "t.jsonl"], {"t.dwex": doc(["a\udfff"])}, "t.jsonl", b'["a\\udfff"]\n'),
    (["convert", "t.tab", "t.dwex", "--from", "csv"], {"t.tab": b'"a\tb",c\r\n'}, "t.dwex", doc(["a\tb", "c"])),
]


@pytest.mark.parametrize("argv, files, written, expected", CONVERSIONS,
                         ids=[" ".join(c[0][1:]) for c in CONVERSIONS])
def test_conversions(tmp_path, monkeypatch, capsysbinary, argv, files, written, expected):
    status, out, err = dwex_command(tmp_path, monkeypatch, capsysbinary, argv, files)
    assert (status, out, err) == (0, b"", "")
    assert (tmp_path / written).read_bytes() == expected


def test_output_to_stdout(tmp_path, monkeypatch, capsysbinary):
    result = dwex_command(tmp_path, monkeypatch, capsysbinary, ["convert", "t.dwex", "-", "--to", "tsv"],
                          {"t.dwex": doc(["a", "b"], ["c"])})
    assert result == (0, b"a\tb\r\nc\r\n", "")


BAD_DELIMITER = "dwex: --delimiter takes one character, not a quote or a line break\n"

# (argv, input files, the one line on stderr); every one exits with 2 and
# writes nothing.
MISTAKES = [
    (["convert", "t.csv", "o.dwex", "--delimiter", ";;"], {"t.csv": b"a\r\n"}, BAD_DELIMITER),
    (["convert", "t.csv", "o.dwex", "--delimiter", ""], {"t.csv": b"a\r\n"}, BAD_DELIMITER),
    (["convert", "t.csv", "o.dwex", "--delimiter", '"'], {"t.csv": b"a\r\n"}, BAD_DELIMITER),
    (["convert", "t.csv", "o.dwex", "--delimiter", "\r"], {"t.csv": b"a\r\n"}, BAD_DELIMITER),
    (["convert", "t.csv", "o.dwex", "--delimiter", "\n"], {"t.csv": b"a\r\n"}, BAD_DELIMITER),
    (["convert", "t.csv", "o.dwex", "--encoding", "no-such"], {"t.csv": b"a\r\n"},
     "dwex: --encoding: unknown encoding 'no-such'\n"),
    (["convert", "t.csv", "o.dwex", "--encoding", "x'\n"], {"t.csv": b"a\r\n"},
     "dwex: --encoding: unknown encoding 'x\\'\\n'\n"),
    # The formats are told before the options are checked, the options before
    # the files are opened.
    (["convert", "t.xls", "o.dwex", "--delimiter", ";;"], {"t.xls": b"a\r\n"},
     f"dwex: cannot tell the format of 't.xls' from its extension (use --from/--to with one of {FORMAT_LIST})\n"),
    (["convert", "t.csv", "out", "--encoding", "no-such"], {"t.csv": b"a\r\n"},
     f"dwex: cannot tell the format of 'out' from its extension (use --from/--to with one of {FORMAT_LIST})\n"),
    (["convert", "-", "o.dwex"], {},
     "dwex: cannot tell the format of standard input/output from its extension "
     f"(use --from/--to with one of {FORMAT_LIST})\n"),
    (["convert", "missing.csv", "o.dwex", "--delimiter", "ab"], {}, BAD_DELIMITER),
    (["convert", "missing.csv", "o.dwex"], {}, "dwex: missing.csv: No such file or directory\n"),
    (["convert", "t.csv", "t.csv", "--to", "tsv"], {"t.csv": b"a\r\n"},
     "dwex: t.csv: cannot convert a file into itself\n"),
    (["convert", "t.csv", "no/o.dwex"], {"t.csv": b"a\r\n"}, "dwex: no/o.dwex: No such file or directory\n"),
    (["convert", "t.csv", "o.dwex"], {"t.csv": b"a,\xff\r\n"},
     "dwex: t.csv: not utf-8 text (invalid start byte: b'\\xff')\n"),
    (["convert", "t.csv", "o.dwex", "--encoding", "ascii"], {"t.csv": b"a,\xc3\xa9\r\n"},
     "dwex: t.csv: not ascii text (ordinal not in range(128): b'\\xc3')\n"),
    (["convert", "t.dwex", "o.csv", "--encoding", "ascii"], {"t.dwex": doc(["a"], ["b", "\u00e9"])},
     "dwex: o.csv: row 2, column 2: ascii cannot encode '\u00e9'\n"),
    (["convert", "t.dwex", "o.csv"], {"t.dwex": doc(["a"], ["b", "\udc80"])},
     "dwex: o.csv: row 2, column 2: utf-8 cannot encode '\\udc80'\n"),
    (["convert", "t.dwex", "o.tsv", "--delimiter", ";"], {"t.dwex": doc(["a", "b;c"])},
     "dwex: o.tsv: row 1, column 2: the cell holds the delimiter ';', which TSV cannot hold "
     "(--quote writes such cells quoted, as CSV does)\n"),
    (["convert", "t.json", "o.dwex"], {"t.json": b'{"a": 1}'}, "dwex: t.json: not JSON holding an array of rows\n"),
    (["convert", "t.json", "o.dwex"], {"t.json": b'[["a"]] x'}, "dwex: t.json: not JSON: text after the array of rows\n"),
    (["convert", "t.jsonl", "o.dwex"], {"t.jsonl": b'["a"]\n["b"\n'},
     "dwex: t.jsonl: line 2: not JSON: Expecting ',' delimiter\n"),
]


@pytest.mark.parametrize("argv, files, message", MISTAKES, ids=[" ".join(m[0][1:]) for m in MISTAKES])
def test_mistakes(tmp_path, monkeypatch, capsysbinary, argv, files, message):
    status, out, err = dwex_command(tmp_path, monkeypatch, capsysbinary, argv, files)
    assert (status, out, err) == (cli.EXIT_ERROR, b"", message)
    assert sorted(os.listdir(tmp_path)) == sorted(files)


def test_validate_names_each_file_and_fails_on_any(tmp_path, monkeypatch, capsysbinary):
    files = {"ok.dwex": doc(["a"], ["b", "c"]), "empty.dwex": b"", "bad.dwex": b"01a;x",
             "cut.dwex": b"01a;02b", "nl.dwex": b"01a;\r\n", "wide.dwex": doc(["\U0001F600"]) + b"x",
             "text.dwex": b"\xff"}
    names = ["ok.dwex", "empty.dwex", "bad.dwex", "cut.dwex", "nl.dwex", "wide.dwex", "text.dwex",
             "missing.dwex"]
    status, out, err = dwex_command(tmp_path, monkeypatch, capsysbinary, ["validate", *names], files)
    assert (status, err) == (cli.EXIT_INVALID, "")
    assert out.decode().splitlines() == [
        "ok.dwex: ok, 2 rows",
        "empty.dwex: ok, 0 rows",
        "bad.dwex: Unexpected token 'x' at position 4 (position 4, row 2)",
        "cut.dwex: Unexpected end of input (position 7, row 2)",
        "nl.dwex: Unexpected token '\\r' at position 4 (position 4, row 2): a line break after the "
        "last ';' (an editor's final newline?)",
        "wide.dwex: Unexpected token 'x' at position 5 (position 5, row 2)",
        "text.dwex: not utf-8 text (invalid start byte: b'\\xff') (byte 0, row 1)",
        "missing.dwex: No such file or directory",
    ]


STATS = [
    ("t.dwex", doc(["a", "bcd"], [], ["\u00e9"]), [
        "rows:          3", "cells:         3", "widest row:    2 cells (row 1)",
        "longest cell:  3 characters (row 1, column 2)",
        "storage width: 1 byte per character (Latin-1)", "length:        14 UTF-16 units"]),
    ("t.dwex", doc(["\u4e2d", "\U0001F600x"]), [
        "rows:          1", "cells:         2", "widest row:    2 cells (row 1)",
        "longest cell:  2 characters (row 1, column 2)",
        "storage width: 4 bytes per character (above U+FFFF)", "length:        9 UTF-16 units"]),
    ("t.csv", b"a,b\r\nc,dd,e\r\n", [
        "rows:          2", "cells:         5", "widest row:    3 cells (row 2)",
        "longest cell:  2 characters (row 2, column 2)"]),
    ("e.dwex", b"", ["rows:          0", "cells:         0", "widest row:    -", "longest cell:  -",
                     "storage width: 1 byte per character (Latin-1)", "length:        0 UTF-16 units"]),
    ("t.jsonl", b"[]\n[]\n", ["rows:          2", "cells:         0", "widest row:    0 cells (row 0)",
                              "longest cell:  -"]),
]


@pytest.mark.parametrize("name, data, lines", STATS, ids=[f"{s[0]}-{k}" for k, s in enumerate(STATS)])
def test_stats(tmp_path, monkeypatch, capsysbinary, name, data, lines):
    status, out, err = dwex_command(tmp_path, monkeypatch, capsysbinary, ["stats", name], {name: data})
    assert (status, err) == (0, "")
    assert out.decode().splitlines() == lines


SHOW = [
    ([], doc(["a", "bc"], ["def"]), ["row  1    2", "  1  a    bc", "  2  def"]),
    (["--rows", "1"], doc(["a", "bc"], ["def"]), ["row  1  2", "  1  a  bc"]),
    (["--width", "3"], doc(["abcdef", "x\ty"]), ["row  1    2", "  1  ab\u2026  x\\\u2026"]),
    (["--width", "4"], doc(["\u4e2d\u4e2d\u4e2d", "\u4e2d"]), ["row  1    2", "  1  \u4e2d\u2026  \u4e2d"]),
]


@pytest.mark.parametrize("options, data, lines", SHOW, ids=[" ".join(s[0]) or "default" for s in SHOW])
def test_show(tmp_path, monkeypatch, capsysbinary, options, data, lines):
    status, out, err = dwex_command(tmp_path, monkeypatch, capsysbinary, ["show", "t.dwex", *options],
                                    {"t.dwex": data})
    assert (status, err) == (0, "")
    assert out.decode().splitlines() == lines


@pytest.mark.parametrize("name, delimiter", [("t.csv", ","), ("t.tsv", "\t")])
@pytest.mark.parametrize("encoding", ["utf-16", "utf-32", "utf-8-sig", "latin-1"])
def test_a_table_of_many_batches_is_one_text_in_its_encoding(tmp_path, monkeypatch, capsysbinary, encoding,
                                                             name, delimiter):
    rows = [[f"r{k}", "\u00e9"] for k in range(3 * BATCH_ROWS + 5)]
    files = {"t.dwex": doc(*rows)}
    status, out, err = dwex_command(tmp_path, monkeypatch, capsysbinary,
                                    ["convert", "t.dwex", name, "--encoding", encoding], files)
    assert (status, err) == (0, "")
    text = "".join(f"{a}{delimiter}{b}\r\n" for a, b in rows)
    assert (tmp_path / name).read_bytes() == text.encode(encoding)
    status, out, err = dwex_command(tmp_path, monkeypatch, capsysbinary,
                                    ["convert", name, "back.dwex", "--encoding", encoding], {})
    assert (status, err) == (0, "")
    assert (tmp_path / "back.dwex").read_bytes() == files["t.dwex"]
