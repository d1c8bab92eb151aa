"""Reading CSV and TSV text in batches, with exactly the rows csv.reader makes
in strict mode (the excel dialect, with the delimiter given), faster where
the text allows.

The file is read in chunks cut after a line feed. For a conversion to DWEX
the native reader writes each chunk straight into the document, with no str
per field, wherever the chunk follows csv.reader's common rules. Otherwise
lines without a quote character are split at the delimiter, and stretches
with quotes go to csv.reader: where it accepts a stretch, it reads it as it
would read the whole file, and where it does not (a quoted field open at the
stretch's end, text after a closing quote), the ordinary reader takes over
from that stretch's start to the end of the file, which is always exact.

Strict mode makes text after a closing quote, and a quoted field that the
file ends in, errors: the lenient reader would drop the quote or swallow the
rest of the file into one field. Errors name the line, counted in line feeds
from the start of the file. Text without quoting (TSV as it is registered)
is only split at the delimiter and at line ends.
"""

from __future__ import annotations

import csv
import io
import itertools
from collections.abc import Iterator
from typing import Any

import dwex

from .. import _native
from .._io.files import BATCH_ROWS

Rows = list[list[str]]

# Characters read at a time: the native readers' chunk.
_CHUNK = _native.CHUNK_BYTES
# Lines without quotes that separate two quoted stretches by less than this
# many characters stay in one stretch, read by one csv.reader.
_GAP = 4096
# A chunk is searched for stretches when quotes are rarer than one in this
# many characters; otherwise csv.reader reads all of it.
_SPARSE = 256
# An unfinished quoted field carried over from chunk to chunk beyond this
# many characters sends the rest of the file to the ordinary reader.
_CARRY_LIMIT = 16 << 20


class _Fallback(Exception):
    """The stretch at `start` of the chunk needs the ordinary reader."""

    def __init__(self, start: int) -> None:
        self.start = start


def _document(text: str, delimiter: str, limit: int) -> str | None:
    """The DWEX document of whole records, written by the native helper where
    the text follows csv.reader's common rules, else None."""
    alphabet = dwex.HEX
    if type(alphabet) is not str or not alphabet.isascii() or len(alphabet) < 16:
        return None  # dwex.stringify knows what to make of it
    document: str | None = _native.read_delimited(text, delimiter, limit, alphabet)
    return document


def _plain(text: str, delimiter: str, limit: int) -> Rows | None:
    """The rows of whole lines without quotes: each split at the delimiter,
    an empty line an empty row. None where csv.reader's own rules are needed:
    a carriage return that does not end a line with a line feed, or a field
    over the limit (which it rejects)."""
    if "\r" in text and text.count("\r") != text.count("\r\n"):
        return None
    text = text.replace("\r\n", "\n")
    lines = text.split("\n")
    if text.endswith("\n"):
        lines.pop()
    if len(text) > limit and max(map(len, lines)) > limit:
        return None
    return [line.split(delimiter) if line else [] for line in lines]


def _quoted(text: str, delimiter: str) -> Rows | None:
    """The rows of a stretch with quotes, where csv.reader reads it, else
    None."""
    try:
        return list(csv.reader(io.StringIO(text, newline=""), delimiter=delimiter, strict=True))
    except csv.Error:
        return None


def _island_end(text: str, first_quote: int) -> int:
    """The end of the quoted stretch whose first quote is at `first_quote`:
    just after the first line feed that follows an even number of quotes and
    is followed by _GAP characters without one; the text's end if none."""
    quotes, k = 0, first_quote
    while True:
        quotes += 1
        following = text.find('"', k + 1)
        if quotes % 2 == 0:
            line_end = text.find("\n", k + 1)
            if line_end < 0:
                return len(text)
            if following < 0 or following > line_end + _GAP:
                return line_end + 1
        if following < 0:
            return len(text)
        k = following


def _stretches(text: str) -> Iterator[tuple[int, int, bool]]:
    """(start, end, quoted): runs of whole lines that cover `text`."""
    pos = 0
    while pos < len(text):
        first_quote = text.find('"', pos)
        if first_quote < 0:
            yield pos, len(text), False
            return
        start = max(pos, text.rfind("\n", pos, first_quote) + 1)
        if start > pos:
            yield pos, start, False
        end = _island_end(text, first_quote)
        yield start, end, True
        pos = end


def _piece(text: str, delimiter: str, limit: int, to_dwex: bool) -> Iterator[Rows | str]:
    """The batches of a chunk of whole lines that starts at a record's start.
    Raises _Fallback where only the ordinary reader can go on."""
    if to_dwex:
        document = _document(text, delimiter, limit)
        if document is not None:
            yield document
            return
    quotes = text.count('"')
    if quotes == 0:
        stretches: Any = ((0, len(text), False),)
    elif quotes * _SPARSE < len(text):
        stretches = _stretches(text)
    else:
        stretches = ((0, len(text), True),)
    for start, end, quoted in stretches:
        stretch = text[start:end] if (start, end) != (0, len(text)) else text
        batch = (_quoted(stretch, delimiter) if quoted
                 else _plain(stretch, delimiter, limit))
        if batch is None:
            raise _Fallback(start)
        yield batch


def _open_quote(record: str, delimiter: str) -> int:
    """Where the quoted field that `record` (one record's text, its last
    field quoted and never closed) opens."""
    k = 0
    while True:
        if record.startswith('"', k):
            q = k + 1
            while True:
                q = record.find('"', q)
                if q < 0:
                    return k
                if not record.startswith('"', q + 1):
                    break
                q += 2
            k = q + 1  # strict mode: a delimiter follows the closing quote
        k = record.find(delimiter, k) + 1
        if k == 0:
            return 0


def _ordinary(f: Any, done: str, tail: str, delimiter: str, line: int) -> Iterator[Rows]:
    """csv.reader from a record's start on line `line`: the lines of `done`,
    the line that `tail` begins, then the rest of the file."""
    record: list[str] = []  # the lines of the record being read

    def lines() -> Iterator[str]:
        def sources() -> Iterator[str]:
            yield from io.StringIO(done, newline="")
            if tail:
                yield from io.StringIO(tail + f.readline(), newline="")
            yield from f
        for text in sources():
            record.append(text)
            yield text

    reader = csv.reader(lines(), delimiter=delimiter, strict=True)
    batch: Rows = []
    while True:
        try:
            row = next(reader)
        except StopIteration:
            break
        except csv.Error as e:
            text = "".join(record)
            if str(e) == "unexpected end of data":
                at = line + text.count("\n", 0, _open_quote(text, delimiter))
                message = "a quoted field opens here and is never closed"
                raise csv.Error(f"line {at}: {message}") from None
            at = line + text.count("\n") - (record[-1].count("\n") if record else 0)
            raise csv.Error(f"line {at}: {e}") from None
        batch.append(row)
        line += sum(text.count("\n") for text in record)
        record.clear()
        if len(batch) == BATCH_ROWS:
            yield batch
            batch = []
    if batch:
        yield batch


def _unquoted(text: str, delimiter: str, limit: int, to_dwex: bool) -> Rows | str:
    """The rows of whole lines of text without quoting."""
    if to_dwex and '"' not in text:
        document = _document(text, delimiter, limit)
        if document is not None:
            return document
    rows = _plain(text, delimiter, limit)
    if rows is None:
        rows = list(csv.reader(io.StringIO(text, newline=""), delimiter=delimiter,
                               quoting=csv.QUOTE_NONE))
    return rows


def read_csv(f: Any, delimiter: str, to_dwex: bool = False,
             quoting: bool = True) -> Iterator[Rows | str]:
    """Batches of the rows csv.reader reads in strict mode from the text file
    `f` (opened with newline=""), or without `quoting` the rows of its lines
    split at the delimiter; with `to_dwex` a batch may come as its DWEX
    text. Errors are csv.Error naming the line."""
    limit = csv.field_size_limit()
    tail = ""
    line = 1  # the line that the next chunk starts on
    while True:
        data = f.read(max(_CHUNK, len(tail)))
        text = tail + data
        if not data:
            done, tail = text, ""
        else:
            cut = text.rfind("\n") + 1
            done, tail = text[:cut], text[cut:]
            # A chunk must end at a record's end: an odd number of quotes
            # leaves a quoted field open, so it waits for more lines.
            if quoting and done.count('"') % 2:
                if len(text) <= _CARRY_LIMIT:
                    tail = text
                    continue
                yield from _ordinary(f, done, tail, delimiter, line)
                return
        if done and not quoting:
            yield _unquoted(done, delimiter, limit, to_dwex)
        elif done:
            try:
                yield from _piece(done, delimiter, limit, to_dwex)
            except _Fallback as stop:
                yield from _ordinary(f, done[stop.start:], tail, delimiter,
                                     line + done.count("\n", 0, stop.start))
                return
        if not data:
            return
        line += done.count("\n")
