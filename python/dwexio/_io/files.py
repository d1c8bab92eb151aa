"""Whole documents and row-by-row writing, over paths and open files."""

from __future__ import annotations

import contextlib
import io
import itertools
import os
from collections.abc import Iterable, Iterator
from typing import IO, Any, Union

import dwex

from .compression import compressing, open_decompressed
from .output import Output

ENCODING = "utf-8"
ERRORS = "surrogatepass"

File = Union[str, "os.PathLike[str]", IO[bytes], IO[str]]

# Rows handed on at once, to dwex.stringify by Writer.writerows and by the
# command's readers of other formats: enough to spread the cost of a call,
# few enough to keep the text of one batch small.
BATCH_ROWS = 4096


def is_text(file: Any) -> bool:
    """Whether an open file takes and gives str rather than bytes."""
    return isinstance(file, io.TextIOBase)


def untranslated(file: Any) -> Any:
    """`file`, made to pass line ends through unchanged where it is a text
    file that could translate them; ValueError where that is too late."""
    if isinstance(file, io.TextIOWrapper):
        try:
            file.reconfigure(newline="")
        except io.UnsupportedOperation:
            raise ValueError(
                "dwexio: this text file has been read from already, so its line ends "
                "may be translated; open it in binary mode or with newline=''") from None
    return file


@contextlib.contextmanager
def opened(file: File, mode: str) -> Iterator[Any]:
    """An open file for `file`: a path is opened in binary `mode` and closed
    afterwards; an open file is used as it is and left open.

    For writing, a path gets all or nothing (see Output): what was written
    replaces the file when the ``with`` block ends normally, and is discarded,
    leaving the file as it was, when it ends with an exception. A path
    ending .gz, .bz2, .xz or .zst is decompressed or compressed."""
    if not isinstance(file, (str, os.PathLike)):
        yield untranslated(file)
    elif mode == "r":
        with open_decompressed(file) as f:
            yield f
    else:
        output = Output(file)
        try:
            with compressing(output, file) as f:
                yield f
        except BaseException:
            output.close()
            raise
        output.commit()


def decode(data: bytes | str) -> str:
    return data if isinstance(data, str) else data.decode(ENCODING, ERRORS)


def load(file: File) -> list[list[str]]:
    """Read a whole document and return its rows, as dwex.parse does.

    A zero-byte file is the table with no rows. A damaged document raises
    SyntaxError with dwex.parse's message."""
    with opened(file, "r") as f:
        text = decode(f.read())
    return dwex.parse(text) if text else []


def dump(table: Iterable[Iterable[object]], file: File) -> None:
    """Write `table` as one document, the text of dwex.stringify(table).

    A path is replaced only once the whole document is written."""
    text = dwex.stringify(table)
    with opened(file, "w") as f:
        f.write(text if is_text(f) else text.encode(ENCODING, ERRORS))


class Writer:
    """Writes a document row by row, like csv.writer.

    The rows written make the same text as dwex.stringify of all of them.
    A path given to the constructor gets all or nothing: the rows go to a new
    file beside it, which takes its place on close() or at the normal end of a
    ``with`` block, and is removed when the block ends with an exception (or
    the writer is dropped unclosed). An open file is written as it is and
    left open."""

    def __init__(self, file: File) -> None:
        if isinstance(file, (str, os.PathLike)):
            self._output = Output(file)
            self._compressing = compressing(self._output, file)
            try:
                self._file: Any = self._compressing.__enter__()
            except BaseException:
                self._output.close()
                raise
            self._owned = True
        else:
            self._file = untranslated(file)
            self._owned = False
        self._text = is_text(self._file)

    def _write(self, text: str) -> None:
        self._file.write(text if self._text else text.encode(ENCODING, ERRORS))

    def writerow(self, row: Iterable[object]) -> None:
        """Write one row; each leaf goes through str() as in dwex.stringify."""
        self._write(dwex.stringify((row,)))

    def writerows(self, rows: Iterable[Iterable[object]]) -> None:
        """Write every row of `rows`, in batches."""
        it = iter(rows)
        while batch := list(itertools.islice(it, BATCH_ROWS)):
            self._write(dwex.stringify(batch))

    def close(self) -> None:
        """Put the file the writer opened in its place (once); an open file
        given to the constructor is left open."""
        if self._owned and not self._output.closed:
            try:
                self._compressing.__exit__(None, None, None)
            except BaseException:
                self._output.close()
                raise
            self._output.commit()

    def __enter__(self) -> Writer:
        return self

    def __exit__(self, kind: type[BaseException] | None, *exc: object) -> None:
        if kind is None:
            self.close()
        elif self._owned and not self._output.closed:
            with contextlib.suppress(BaseException):
                self._compressing.__exit__(kind, *exc)
            self._output.close()
