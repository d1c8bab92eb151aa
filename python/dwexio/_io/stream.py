"""Reading a document of any size one chunk at a time.

Each read is decoded and joined to the unfinished row left over from the
previous one. The reader's own loop (the native helper) builds the complete
rows of that text in one pass and says where they end; the rest waits for
more input. A fault found inside the text is final whatever follows, since
the whole document's reader would reach the same spot in the same state;
running out of text is a fault only at the true end. A zero-byte file is the
table with no rows, as dwex.stringify([]) is the empty text.
"""

from __future__ import annotations

import codecs
import contextlib
from collections.abc import Iterator
from typing import Any

import dwex

from .. import _native
from .files import ENCODING, ERRORS, File, opened

DEFAULT_CHUNK_SIZE = 64 * 1024

# How the helper's loop stopped on a chunk of text.
_COMPLETE, _END_OF_INPUT, _UNEXPECTED_TOKEN = 0, 1, 2
_LINE_ENDS = ("\n", "\r\n", "\r")


def utf16_units(text: str) -> int:
    """The UTF-16 length of `text`: code points above U+FFFF count two."""
    if text.isascii():
        return len(text)
    return len(text) + sum(1 for ch in text if ch > "\uffff")


def raise_end_of_input() -> None:
    """Raises what dwex.parse raises at the end of its input, with the
    module's current message (or its NameError if the message is gone)."""
    dwex.parse("")


class Reader:
    """Hands out the rows of an open document in batches, one batch per read,
    and keeps count of what it has read: the rows, their UTF-16 units, the
    widest storage kind seen and, after a damaged document, the position of
    the fault (UTF-16 units from the document's start)."""

    def __init__(self, file: Any, chunk_size: int = DEFAULT_CHUNK_SIZE) -> None:
        self._file = file
        self._chunk_size = chunk_size
        self.rows = 0
        self.units = 0
        self.kind = 1
        self.fault_position: int | None = None
        # After bytes that are not UTF-8: their offset in the file, and the
        # row (from 1) they fall in.
        self.fault_byte: int | None = None
        self.fault_row: int | None = None
        # Whether the fault is a line break after the last row's ';', all
        # that follows it: an editor's final newline, the commonest damage.
        self.trailing_line_break = False

    def batches(self) -> Iterator[list[list[str]]]:
        read = self._file.read
        read_rows = _native.read_rows
        decoder = None
        tail = ""
        wide = False  # whether the document so far holds a code point above U+FFFF
        wanted = 0  # the length the unfinished row needs at least
        fed = 0  # the bytes handed to the decoder
        while True:
            # A long row is read in ever larger chunks, so that rescanning
            # its start stays linear in its length; a long item is read up to
            # its declared end at once.
            data = read(max(self._chunk_size, len(tail), wanted - len(tail)))
            at_end = not data
            if isinstance(data, str):
                chunk = data
            else:
                if decoder is None:
                    decoder = codecs.getincrementaldecoder(ENCODING)(ERRORS)
                pending = len(decoder.getstate()[0])
                try:
                    chunk = decoder.decode(data, at_end)
                except UnicodeDecodeError as e:
                    self._not_utf8(e, fed - pending, tail)
                    raise
                fed += len(data)
            text = tail + chunk if tail else chunk
            if not text:
                if not at_end:
                    continue
                return
            # Only the true end needs the whole document's loop: the narrow
            # and the wide loop part ways on a length field at the last code
            # point, nowhere else.
            found = read_rows(text, wide and at_end)
            end = found.end
            if found.kind == 4:
                wide = True
            if found.kind > self.kind:
                self.kind = found.kind
            base = self.units
            if end:
                self.rows += len(found.rows)
                self.units += found.end_units
                yield found.rows
            if found.stop == _UNEXPECTED_TOKEN:
                position = found.position
                self.fault_position = base + position
                self.trailing_line_break = (
                    position == found.end_units and self.rows > 0
                    and _all_that_is_left(text[end:], at_end, read, decoder) in _LINE_ENDS)
                raise SyntaxError(
                    f"Unexpected token '{chr(found.code_point)}' at position {base + position}"
                )
            tail = text[end:] if end < len(text) else ""
            wanted = found.wanted - end
            if at_end:
                if found.stop == _END_OF_INPUT:
                    self.fault_position = self.units + utf16_units(tail)
                    raise_end_of_input()
                return


    def _not_utf8(self, e: UnicodeDecodeError, base: int, tail: str) -> None:
        """Notes where the bytes of `e` are: `base` is the offset of its
        object, `tail` the unfinished row before it."""
        self.fault_byte = base + e.start
        before = tail + e.object[:e.start].decode(ENCODING, ERRORS)
        self.fault_row = self.rows + len(_native.read_rows(before, False).rows) + 1


def _all_that_is_left(rest: str, at_end: bool, read: Any, decoder: Any) -> str:
    """`rest` and what the file holds after it, as far as needed to tell a
    line end that ends the file from anything else: a "\\r" that ends one read
    may be the start of a "\\r\\n"."""
    while not at_end and len(rest) <= 2:
        data = read(2)
        at_end = not data
        rest += data if isinstance(data, str) else decoder.decode(data, at_end)
    return rest


def iter_rows(file: File, *, chunk_size: int = DEFAULT_CHUNK_SIZE) -> Iterator[list[str]]:
    """Yield the rows of a document one list at a time, like csv.reader.

    The file is opened at once (a missing file raises here, not at the first
    row) and read `chunk_size` bytes (characters for a text file) at a time,
    so memory stays bounded by the chunk size plus the largest row. The rows
    are exactly those of dwex.parse on the whole document; a zero-byte file
    has none. A damaged document raises the SyntaxError that dwex.parse of
    the whole document raises, with the position counted from the document's
    start, after the rows before the damage have been yielded."""
    if chunk_size < 1:
        raise ValueError("chunk_size must be at least 1")
    stack = contextlib.ExitStack()
    return _rows(stack, Reader(stack.enter_context(opened(file, "r")), chunk_size))


def _rows(stack: contextlib.ExitStack[Any], reader: Reader) -> Iterator[list[str]]:
    with stack:
        for rows in reader.batches():
            yield from rows
