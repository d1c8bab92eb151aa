"""The table formats of the command: how each is read as batches of rows and
written from them. Every reader yields lists of rows, so that a conversion
hands many rows at once to the writer (and to dwex.stringify)."""

from __future__ import annotations

import csv
import io
import itertools
import json
import os
import sys
from collections.abc import Iterable, Iterator
from typing import Any, Callable

import dwex

from ._files import ENCODING, ERRORS
from ._stream import Reader

FORMATS = ("csv", "tsv", "json", "jsonl", "dwex")
_EXTENSIONS = {".csv": "csv", ".tsv": "tsv", ".tab": "tsv", ".json": "json",
               ".jsonl": "jsonl", ".ndjson": "jsonl", ".dwex": "dwex"}

_CHUNK = 256 * 1024
_BATCH_ROWS = 4096

Rows = list[list[str]]


class FormatError(Exception):
    """Input that is readable but not a table of the expected format."""


def format_of(name: str, given: str | None, default: str | None = None) -> str:
    """The format named by --from/--to, else by the file's extension."""
    if given:
        return given
    found = _EXTENSIONS.get(os.path.splitext(name)[1].lower())
    if found:
        return found
    if default:
        return default
    what = "standard input/output" if name == "-" else repr(name)
    raise FormatError(f"cannot tell the format of {what} from its extension "
                      f"(use --from/--to with one of {', '.join(FORMATS)})")


def open_binary(name: str, mode: str) -> Any:
    if name == "-":
        return sys.stdin.buffer if mode == "r" else sys.stdout.buffer
    return open(name, mode + "b")


def open_text(name: str, mode: str) -> Any:
    """A text file that passes line ends through unchanged, as csv needs."""
    if name == "-":
        stream = sys.stdin if mode == "r" else sys.stdout
        return io.TextIOWrapper(stream.buffer, encoding=ENCODING, errors=ERRORS,
                                newline="", write_through=True)
    return open(name, mode, encoding=ENCODING, errors=ERRORS, newline="")


# --- readers -----------------------------------------------------------------

def _csv_fallback(f: Any, done: str, tail: str, dialect: str) -> Iterator[Rows]:
    """Continues with csv.reader from a line boundary: the complete lines in
    `done`, then the line that `tail` begins, then the rest of the file."""
    def lines() -> Iterator[str]:
        yield from io.StringIO(done, newline="")
        if tail:
            yield from io.StringIO(tail + f.readline(), newline="")
        yield from f
    reader = csv.reader(lines(), dialect)
    while batch := list(itertools.islice(reader, _BATCH_ROWS)):
        yield batch


def _split_lines(text: str, delimiter: str, limit: int, ended: bool) -> Rows | None:
    """The rows csv.reader makes of lines that need no quoting rules: each
    line split at the delimiter, an empty line an empty row; `ended` says that
    `text` ends with a line end rather than the end of the file. None where
    csv.reader's own rules are needed: a quote character, a carriage return
    that does not end a line with a line feed, or a field over the limit
    (which csv.reader rejects)."""
    if '"' in text:
        return None
    if "\r" in text:
        if text.count("\r") != text.count("\r\n"):
            return None
        text = text.replace("\r\n", "\n")
    lines = text.split("\n")
    if ended:
        lines.pop()
    if len(text) > limit and max(map(len, lines)) > limit:
        return None
    return [line.split(delimiter) if line else [] for line in lines]


def read_csv(f: Any, delimiter: str) -> Iterator[Rows]:
    """Rows exactly as csv.reader reads them (excel or excel-tab dialect).
    Stretches without quotes are split directly, which is several times
    faster; from the first stretch that needs them on, csv.reader reads."""
    dialect = "excel" if delimiter == "," else "excel-tab"
    limit = csv.field_size_limit()
    tail = ""
    while True:
        data = f.read(max(_CHUNK, len(tail)))
        if not data:
            break
        text = tail + data
        cut = text.rfind("\n") + 1
        done, tail = text[:cut], text[cut:]
        if not done:
            continue
        rows = _split_lines(done, delimiter, limit, True)
        if rows is None:
            yield from _csv_fallback(f, done, tail, dialect)
            return
        yield rows
    if tail:
        rows = _split_lines(tail, delimiter, limit, False)
        if rows is None:
            yield from _csv_fallback(f, "", tail, dialect)
        else:
            yield rows


def _check_rows(value: Any, where: str) -> Rows:
    if not isinstance(value, list):
        raise FormatError(f"{where}: not a list of lists of strings")
    for number, row in enumerate(value, 1):
        if not isinstance(row, list) or not all(isinstance(cell, str) for cell in row):
            raise FormatError(f"{where}: row {number} is not a list of strings")
    return value


def read_json(f: Any, name: str) -> Iterator[Rows]:
    try:
        value = json.load(f)
    except json.JSONDecodeError as e:
        raise FormatError(f"{name}: not JSON: {e}") from None
    yield _check_rows(value, name)


def read_jsonl(f: Any, name: str) -> Iterator[Rows]:
    batch: Rows = []
    for number, line in enumerate(f, 1):
        if not line.strip():
            continue
        try:
            row = json.loads(line)
        except json.JSONDecodeError as e:
            raise FormatError(f"{name}: line {number}: not JSON: {e}") from None
        if not isinstance(row, list) or not all(isinstance(cell, str) for cell in row):
            raise FormatError(f"{name}: line {number} is not a list of strings")
        batch.append(row)
        if len(batch) == _BATCH_ROWS:
            yield batch
            batch = []
    if batch:
        yield batch


def read_table(f: Any, fmt: str, name: str) -> Iterator[Rows]:
    """Batches of rows from an open file: binary for dwex, text otherwise."""
    if fmt == "dwex":
        return Reader(f).batches()
    if fmt in ("csv", "tsv"):
        return read_csv(f, "," if fmt == "csv" else "\t")
    if fmt == "json":
        return read_json(f, name)
    return read_jsonl(f, name)


# --- writers -----------------------------------------------------------------

def write_table(f: Any, fmt: str, batches: Iterable[Rows], tick: Callable[[int], None]) -> None:
    """Writes the rows of `batches` to an open file (binary for dwex, text
    otherwise), calling `tick` with each batch's row count."""
    if fmt == "dwex":
        for rows in batches:
            f.write(dwex.stringify(rows).encode(ENCODING, ERRORS))
            tick(len(rows))
    elif fmt in ("csv", "tsv"):
        writer = csv.writer(f, "excel" if fmt == "csv" else "excel-tab")
        for rows in batches:
            writer.writerows(rows)
            tick(len(rows))
    elif fmt == "json":
        first = True
        f.write("[")
        for rows in batches:
            if rows:
                text = ",\n".join(json.dumps(row, ensure_ascii=False) for row in rows)
                f.write(("\n" if first else ",\n") + text)
                first = False
            tick(len(rows))
        f.write("]\n" if first else "\n]\n")
    else:
        for rows in batches:
            if rows:
                f.write("\n".join(json.dumps(row, ensure_ascii=False) for row in rows) + "\n")
            tick(len(rows))
