"""Whole documents and row-by-row writing, over paths and open files."""

from __future__ import annotations

import contextlib
import io
import itertools
import os
from collections.abc import Iterable, Iterator
from typing import IO, Any, Union

import dwex

ENCODING = "utf-8"
ERRORS = "surrogatepass"

File = Union[str, "os.PathLike[str]", IO[bytes], IO[str]]

# Rows that Writer.writerows hands to dwex.stringify at once: enough to spread
# the call's cost, few enough to keep the text of one batch small.
_BATCH_ROWS = 4096


def is_text(file: Any) -> bool:
    """Whether an open file takes and gives str rather than bytes."""
    return isinstance(file, io.TextIOBase)


@contextlib.contextmanager
def opened(file: File, mode: str) -> Iterator[Any]:
    """An open file for `file`: a path is opened in binary `mode` and closed
    afterwards; an open file is used as it is and left open."""
    if isinstance(file, (str, os.PathLike)):
        with open(file, mode + "b") as f:
            yield f
    else:
        yield file


def decode(data: bytes | str) -> str:
    return data if isinstance(data, str) else data.decode(ENCODING, ERRORS)


def load(file: File) -> list[list[str]]:
    """Read a whole document and return its rows, as dwex.parse does.

    A damaged document raises SyntaxError with dwex.parse's message."""
    with opened(file, "r") as f:
        text = decode(f.read())
    return dwex.parse(text)


def dump(table: Iterable[Iterable[object]], file: File) -> None:
    """Write `table` as one document, the text of dwex.stringify(table)."""
    text = dwex.stringify(table)
    with opened(file, "w") as f:
        f.write(text if is_text(f) else text.encode(ENCODING, ERRORS))


class Writer:
    """Writes a document row by row, like csv.writer.

    The rows written make the same text as dwex.stringify of all of them.
    A path given to the constructor is opened at once and closed by close()
    or at the end of a ``with`` block; an open file is left open."""

    def __init__(self, file: File) -> None:
        if isinstance(file, (str, os.PathLike)):
            self._file: Any = open(file, "wb")
            self._owned = True
        else:
            self._file = file
            self._owned = False
        self._text = is_text(self._file)

    def _write(self, text: str) -> None:
        self._file.write(text if self._text else text.encode(ENCODING, ERRORS))

    def writerow(self, row: Iterable[object]) -> None:
        """Write one row; each cell goes through str() as in dwex.stringify."""
        self._write(dwex.stringify((row,)))

    def writerows(self, rows: Iterable[Iterable[object]]) -> None:
        """Write every row of `rows`, in batches."""
        it = iter(rows)
        while batch := list(itertools.islice(it, _BATCH_ROWS)):
            self._write(dwex.stringify(batch))

    def close(self) -> None:
        """Close the file if the writer opened it."""
        if self._owned:
            self._file.close()

    def __enter__(self) -> Writer:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()
