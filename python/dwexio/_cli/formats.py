"""The table formats of the command: how each is read as batches of rows and
written from them. Every reader yields lists of rows, so that a conversion
hands many rows at once to the writer (and to dwex.stringify)."""

from __future__ import annotations

import codecs
import csv
import dataclasses
import io
import json
import os
import re
import sys
from collections.abc import Iterable, Iterator
from typing import Any, Callable, cast

import dwex

from .._io.compression import inner_name, open_decompressed
from .._io.files import BATCH_ROWS, ENCODING, ERRORS
from .._io.stream import Reader
from . import arrow_formats
from .delimited import read_csv
from .messages import FormatError, plural, printable  # noqa: F401 (the command's names)

FORMATS = ("csv", "tsv", "json", "jsonl", "dwex") + arrow_formats.FORMATS
BINARY_FORMATS = ("dwex",) + arrow_formats.FORMATS
_EXTENSIONS = {".csv": "csv", ".tsv": "tsv", ".tab": "tsv", ".json": "json",
               ".jsonl": "jsonl", ".ndjson": "jsonl", ".dwex": "dwex", **arrow_formats.EXTENSIONS}

Rows = list[list[str]]


@dataclasses.dataclass(frozen=True)
class TextOptions:
    """How CSV and TSV text is read and written."""

    delimiter: str | None = None  # None: ',' for CSV, a tab for TSV
    encoding: str = ENCODING
    line_ending: str = "\r\n"  # as csv.writer writes
    quote: bool = False  # TSV with CSV-style quoting, as the excel-tab dialect

    def separator(self, fmt: str) -> str:
        return self.delimiter or ("," if fmt == "csv" else "\t")

    def codec(self, mode: str) -> tuple[str, str]:
        """The encoding and error handler: reading UTF-8 keeps lone
        surrogates and drops a byte order mark; writing refuses a lone
        surrogate, which no reader of CSV takes."""
        name = codecs.lookup(self.encoding).name
        if mode == "w":
            return name, "strict"
        if name == "utf-8":
            return "utf-8-sig", ERRORS
        return name, ERRORS if name.startswith(("utf-16", "utf-32")) else "strict"


def format_of(name: str, given: str | None, default: str | None = None) -> str:
    """The format named by --from/--to, else by the file's extension (the
    one before a compression suffix: x.csv.gz is CSV)."""
    if given:
        return given
    found = _EXTENSIONS.get(os.path.splitext(inner_name(name))[1].lower())
    if found:
        return found
    if default:
        return default
    what = "standard input/output" if name == "-" else repr(name)
    raise FormatError(f"cannot tell the format of {what} from its extension "
                      f"(use --from/--to with one of {', '.join(FORMATS)})")


def open_binary(name: str) -> Any:
    """The bytes of the input `name`, decompressed by its suffix."""
    if name == "-":
        return sys.stdin.buffer
    return open_decompressed(name)


def open_text(name: str, options: TextOptions = TextOptions()) -> Any:
    """A text file to read that passes line ends through unchanged, as csv
    needs."""
    encoding, errors = options.codec("r")
    return io.TextIOWrapper(open_binary(name), encoding=encoding, errors=errors, newline="")


def release(f: Any, name: str) -> None:
    """Closes an input that open_binary or open_text opened; standard input
    stays open (a text layer over it is detached)."""
    if name != "-":
        f.close()
    elif isinstance(f, io.TextIOWrapper) and f is not sys.stdin:
        f.detach()


# --- readers -----------------------------------------------------------------

def _not_strings(row: Any) -> bool:
    return not isinstance(row, list) or not all(type(leaf) is str for leaf in row)


class _Chunks:
    """The text of a file read chunk by chunk, kept from `pos` on."""

    _CHUNK = 1 << 16
    _SPACE = re.compile(r"[^ \t\n\r]")

    def __init__(self, f: Any) -> None:
        self._f = f
        self.text = ""
        self.pos = 0

    def more(self) -> bool:
        """Reads at least as much again as is kept; False at the end."""
        data = self._f.read(max(self._CHUNK, len(self.text) - self.pos))
        if not data:
            return False
        self.text = self.text[self.pos:] + data
        self.pos = 0
        return True

    def next_char(self) -> str:
        """The next character that is not JSON white space ('' at the end),
        with `pos` on it."""
        while True:
            found = self._SPACE.search(self.text, self.pos)
            if found:
                self.pos = found.start()
                return self.text[self.pos]
            self.pos = len(self.text)
            if not self.more():
                return ""


def read_json(f: Any, name: str) -> Iterator[Rows]:
    """The rows of a JSON array of arrays of strings, each row decoded by
    itself, so that memory holds a chunk of the file and the longest row."""
    shown = printable(name)
    chunks, decoder = _Chunks(f), json.JSONDecoder()
    if chunks.next_char() != "[":
        raise FormatError(f"{shown}: not JSON holding an array of rows")
    chunks.pos += 1
    batch: Rows = []
    number = 0
    closed = chunks.next_char() == "]"
    chunks.pos += closed
    while not closed:
        number += 1
        chunks.next_char()
        while True:
            try:
                row, end = decoder.raw_decode(chunks.text, chunks.pos)
                break
            except json.JSONDecodeError as e:
                # A row cut by the end of the chunk reads once more text comes.
                cut = e.pos >= len(chunks.text) - 6 or e.msg.startswith("Unterminated string")
                if not (cut and chunks.more()):
                    raise FormatError(f"{shown}: row {number}: not JSON: {e.msg}") from None
        if _not_strings(row):
            raise FormatError(f"{shown}: row {number} is not an array of strings")
        batch.append(row)
        chunks.pos = end
        following = chunks.next_char()
        if following not in (",", "]"):
            raise FormatError(f"{shown}: row {number}: not JSON: expecting ',' or ']' after it")
        chunks.pos += 1
        closed = following == "]"
        if len(batch) == BATCH_ROWS:
            yield batch
            batch = []
    if chunks.next_char():
        raise FormatError(f"{shown}: not JSON: text after the array of rows")
    if batch:
        yield batch


def read_jsonl(f: Any, name: str) -> Iterator[Rows]:
    shown = printable(name)
    batch: Rows = []
    for number, line in enumerate(f, 1):
        if not line.strip():
            continue
        try:
            row = json.loads(line)
        except json.JSONDecodeError as e:
            raise FormatError(f"{shown}: line {number}: not JSON: {e.msg}") from None
        if _not_strings(row):
            raise FormatError(f"{shown}: line {number} is not an array of strings")
        batch.append(row)
        if len(batch) == BATCH_ROWS:
            yield batch
            batch = []
    if batch:
        yield batch


def read_table(f: Any, fmt: str, name: str, to_dwex: bool = False,
               options: TextOptions = TextOptions()) -> Iterator[Rows | str]:
    """Batches of rows from an open file: binary for dwex, text otherwise.
    With `to_dwex` a batch may come as its DWEX text already."""
    if fmt == "dwex":
        return Reader(f).batches()
    if fmt in arrow_formats.FORMATS:
        return arrow_formats.read_rows(f, fmt)
    if fmt in ("csv", "tsv"):
        return read_csv(f, options.separator(fmt), to_dwex, fmt == "csv" or options.quote)
    if fmt == "json":
        return read_json(f, name)
    return read_jsonl(f, name)


# --- writers -----------------------------------------------------------------

def _unencodable(rows: Rows, first: int, encoding: str, errors: str) -> str:
    """Where the first leaf of `rows` that `encoding` cannot hold is."""
    for r, row in enumerate(rows):
        for c, leaf in enumerate(row):
            try:
                leaf.encode(encoding, errors)
            except UnicodeEncodeError as e:
                return (f"row {first + r}, column {c + 1}: {encoding} cannot encode "
                        f"'{printable(e.object[e.start:e.end])}'")
    return "a character that cannot be encoded"


def _delimited_text(rows: Rows, first: int, delimiter: str, line_ending: str) -> str:
    """The lines of `rows` without quoting; a leaf holding the delimiter or a
    line break has no such form."""
    text = line_ending.join([delimiter.join(row) for row in rows]) + line_ending
    leaves = sum(map(len, rows))
    if (text.count(delimiter) == leaves - len(rows) + rows.count([])
            and text.count("\n") == line_ending.count("\n") * len(rows)
            and text.count("\r") == line_ending.count("\r") * len(rows)):
        return text
    for r, row in enumerate(rows):
        for c, leaf in enumerate(row):
            if delimiter in leaf or "\n" in leaf or "\r" in leaf:
                what = "a tab" if delimiter == "\t" else f"the delimiter '{printable(delimiter)}'"
                raise FormatError(
                    f"row {first + r}, column {c + 1}: the cell holds "
                    f"{what if delimiter in leaf else 'a line break'}, which TSV cannot "
                    "hold (--quote writes such cells quoted, as CSV does)")
    raise AssertionError("a miscounted line")


def write_table(f: Any, fmt: str, batches: Iterable[Rows | str],
                tick: Callable[[int], None], name: str = "-",
                options: TextOptions = TextOptions()) -> None:
    """Writes the rows of `batches` to the binary file `f`, calling `tick`
    with each batch's row count. Only the dwex writer takes batches that are
    DWEX text already. A table that the format cannot hold raises
    FormatError naming `name`, the row and the column."""
    if fmt == "dwex":
        for rows in batches:
            if isinstance(rows, str):
                f.write(rows.encode(ENCODING, ERRORS))
                tick(0)
            else:
                f.write(dwex.stringify(rows).encode(ENCODING, ERRORS))
                tick(len(rows))
        return
    # JSON writes a lone surrogate as its escape, which reads back the same.
    encoding, errors = options.codec("w") if fmt in ("csv", "tsv") else (ENCODING, "backslashreplace")
    # One encoder for the whole file: an encoding that starts with a byte
    # order mark (UTF-16, UTF-32, utf-8-sig) writes it once, not per batch.
    encode = codecs.getincrementalencoder(encoding)(errors).encode
    first = 1  # the number of the batch's first row

    def put(text: str, rows: Rows) -> None:
        if first == 1 and text.startswith("\ufeff") and encoding == "utf-8":
            # Reading drops one byte order mark: this one, not the leaf's.
            text = "\ufeff" + text
        try:
            data = encode(text)
        except UnicodeEncodeError:
            where = _unencodable(rows, first, encoding, errors)
            raise FormatError(f"{printable(name)}: {where}") from None
        f.write(data)

    if fmt in ("csv", "tsv") and (fmt == "csv" or options.quote):
        buffer = io.StringIO(newline="")
        writer = csv.writer(buffer, delimiter=options.separator(fmt),
                            lineterminator=options.line_ending)
    elif fmt == "json":
        f.write(b"[")
    for rows in cast(Iterable[Rows], batches):
        if not rows:
            continue
        if fmt == "json":
            text = ",\n".join(json.dumps(row, ensure_ascii=False) for row in rows)
            put(("\n" if first == 1 else ",\n") + text, rows)
        elif fmt == "jsonl":
            put("\n".join(json.dumps(row, ensure_ascii=False) for row in rows) + "\n", rows)
        elif fmt == "tsv" and not options.quote:
            try:
                text = _delimited_text(rows, first, options.separator(fmt), options.line_ending)
            except FormatError as e:
                raise FormatError(f"{printable(name)}: {e}") from None
            put(text, rows)
        else:
            writer.writerows(rows)
            put(buffer.getvalue(), rows)
            buffer.seek(0)
            buffer.truncate()
        first += len(rows)
        tick(len(rows))
    if fmt == "json":
        f.write(b"]\n" if first == 1 else b"\n]\n")
