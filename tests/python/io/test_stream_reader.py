"""_stream.Reader, whose counts the `dwex` command reports (validate's position
and row, stats' storage width and length): at every chunk size, from a
binary or a text file, they must be those of the whole document."""

import io
import re

import pytest

import dwex
from dwexio._io import stream as _stream


def kind_of(text):
    widest = max(map(ord, text), default=0)
    return 1 if widest < 0x100 else 2 if widest < 0x10000 else 4


def utf16_units(text):
    return len(text.encode("utf-16-le", "surrogatepass")) // 2


def expected(doc):
    """(rows, fault position or None, trailing line break) of the whole
    document, as dwex.parse reads it."""
    if not doc:
        return [], None, False
    try:
        return dwex.parse(doc), None, False
    except SyntaxError as e:
        position = int(re.search(r"at position (\d+)", str(e))[1]) if "position" in str(e) else None
    end = doc.rfind(";", 0, len(doc)) + 1
    while end:
        try:
            rows = dwex.parse(doc[:end])
            break
        except SyntaxError:
            end = doc.rfind(";", 0, end - 1) + 1
    else:
        rows = []
    if position is None:  # the end of the input: the position is the whole length
        position = utf16_units(doc)
    trailing = bool(rows) and doc[end:] in ("\n", "\r\n", "\r")
    return rows, position, trailing


def read(doc, chunk_size, text_file):
    file = io.StringIO(doc, newline="") if text_file else io.BytesIO(doc.encode("utf-8", "surrogatepass"))
    reader = _stream.Reader(file, chunk_size)
    rows = []
    try:
        for batch in reader.batches():
            rows += batch
    except SyntaxError:
        pass
    return reader, rows


DOCUMENTS = [
    "", "01a;", "01a02bc;;03def;", "01\u00e9;", "01\u4e2d;01a;", "02\U0001F600;01a;",
    "01a;01\u00e9;02\U0001F600;", "f0000000000000001a;", "0a" + "x" * 11 + ";", ";" * 9,
    # damaged: the position counts UTF-16 units from the document's start
    "01a;x", "02\U0001F600;x", "01\u4e2d;01", "01a;02b", "0", "02\U0001F600", "01a;g",
    # an editor's final line break, and what is not one
    "01a;\n", "01a;\r\n", "01a;\r", "01\U0001F600;\n", "01a;\n\n", "01a;\nx", "\n", "01a\n;",
]


@pytest.mark.parametrize("text_file", [False, True], ids=["bytes", "text"])
@pytest.mark.parametrize("doc", DOCUMENTS, ids=map(ascii, DOCUMENTS))
def test_the_counts_are_the_whole_documents_at_every_chunk_size(doc, text_file):
    rows, position, trailing = expected(doc)
    complete = doc if position is None else dwex.stringify(rows) if rows else ""
    for chunk_size in range(1, len(doc.encode("utf-8", "surrogatepass")) + 2):
        reader, got = read(doc, chunk_size, text_file)
        assert got == rows, chunk_size
        assert (reader.rows, reader.units) == (len(rows), utf16_units(complete)), chunk_size
        assert reader.fault_position == position, chunk_size
        assert reader.trailing_line_break == trailing, chunk_size
        if position is None:
            assert reader.kind == kind_of(doc), chunk_size


@pytest.mark.parametrize("chunk_size", [1, 2, 7, 4096])
def test_a_code_point_split_between_reads_is_whole(chunk_size):
    # Four-, three- and two-byte UTF-8 sequences cut at every byte.
    table = [["\U0001F600" * 3, "\u4e2d\u00e9"], ["\u00e9" * 5], ["\U0001F600a"]]
    reader, got = read(dwex.stringify(table), chunk_size, False)
    assert (got, reader.kind) == (table, 4)
