"""The table formats of the command: how each is read as batches of rows and
written from them. Every reader yields lists of rows, so that a conversion
hands many rows at once to the writer (and to dwex.stringify)."""

from __future__ import annotations

import csv
import io
import json
import os
import sys
from collections.abc import Iterable, Iterator
from typing import Any, Callable

import dwex

from . import _arrowformats
from ._csv import read_csv
from ._files import ENCODING, ERRORS
from ._stream import Reader

FORMATS = ("csv", "tsv", "json", "jsonl", "dwex") + _arrowformats.FORMATS
BINARY_FORMATS = ("dwex",) + _arrowformats.FORMATS
_EXTENSIONS = {".csv": "csv", ".tsv": "tsv", ".tab": "tsv", ".json": "json",
               ".jsonl": "jsonl", ".ndjson": "jsonl", ".dwex": "dwex", **_arrowformats.EXTENSIONS}

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


def release(f: Any, name: str) -> None:
    """Closes a file that open_binary or open_text opened; the standard
    streams stay open (a text layer over them is flushed and detached)."""
    if name != "-":
        f.close()
    elif isinstance(f, io.TextIOWrapper) and f not in (sys.stdin, sys.stdout):
        f.flush()
        f.detach()
    else:
        f.flush()


# --- readers -----------------------------------------------------------------

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


def read_table(f: Any, fmt: str, name: str, to_dwex: bool = False) -> Iterator[Rows | str]:
    """Batches of rows from an open file: binary for dwex, text otherwise.
    With `to_dwex` a batch may come as its DWEX text already."""
    if fmt == "dwex":
        return Reader(f).batches()
    if fmt in _arrowformats.FORMATS:
        return _arrowformats.read_rows(f, fmt)
    if fmt in ("csv", "tsv"):
        return read_csv(f, "," if fmt == "csv" else "\t", to_dwex)
    if fmt == "json":
        return read_json(f, name)
    return read_jsonl(f, name)


# --- writers -----------------------------------------------------------------

def write_table(f: Any, fmt: str, batches: Iterable[Rows | str],
                tick: Callable[[int], None]) -> None:
    """Writes the rows of `batches` to an open file (binary for dwex, text
    otherwise), calling `tick` with each batch's row count. Only the dwex
    writer takes batches that are DWEX text already."""
    if fmt == "dwex":
        for rows in batches:
            if isinstance(rows, str):
                f.write(rows.encode(ENCODING, ERRORS))
                tick(0)
            else:
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
