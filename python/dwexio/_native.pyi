# dwexio's native module: chunks of a document into rows (iter_rows), CSV or
# TSV text into a document (dwex convert), documents into Arrow record batches
# (read_arrow) and Arrow data into documents (write_arrow).

from typing import Any, Callable, Iterator, Sequence

class Batch:
    """One record batch of a Stream, exported once through __arrow_c_array__."""
    num_rows: int
    def __arrow_c_array__(self, requested_schema: object = None) -> tuple[object, object]: ...

class Stream(Iterator[Batch]):
    """A document read as Arrow record batches of string columns."""
    names: list[str]
    def __arrow_c_stream__(self, requested_schema: object = None) -> object: ...
    def _schema(self) -> object: ...
    def select(self, columns: list[int], /) -> None:
        """Builds only these columns (0-based indices, in this order)."""
    def close(self) -> None:
        """Lets the file go; the stream gives no more batches."""
    def __next__(self) -> Batch: ...

class NotUTF8Error(UnicodeDecodeError):
    """Bytes of a document that are not UTF-8, at `start` in the document."""

BATCH_ROWS: int
"""The rows of a batch at most, unless read() is told otherwise."""
CHUNK_BYTES: int
"""Bytes (or characters) asked of a file at a time."""
WINDOW_BYTES: int
"""The most bytes of a file cut among threads at once."""
GUESS_WINDOW_BYTES: int
"""The bytes around a cut first read to guess a row start there."""
OVERRUN_BYTES: int
"""The bytes past a part's planned end first read for its last row."""
WIDENING: int
"""How many times larger each read is than the last that was too short."""

def read(file: Any, /, *, owned: bool = False, names: list[str] | None = None,
         header: bool = False, batch_rows: int = 65536, n_rows: int = -1, layout: int = 0,
         label: str | None = None, threads: int = 1, window: int = 0) -> Stream:
    """A Stream of the document in `file`, read as far as its schema: `owned`
    closes the file when done; `names` or `header` give the columns; at most
    `n_rows` rows after the header (-1: all); `layout` numbers the string
    type (0 string, 1 large_string, 2 string_view); `label` names the file
    in messages; `threads` read windows of at most `window` bytes (0: the
    file has no readinto() to trust, and one thread reads it)."""

def schema(names: list[str], layout: int, /) -> object:
    """The Arrow C schema of string columns with these names, in a capsule."""

def writer(source: object, /) -> object:
    """The writer of an Arrow stream capsule or (schema, array) capsule pair,
    once every column is known to hold strings."""

def write(writer: object, file: Any, text_file: bool, header: bool, null: str | None, /) -> None:
    """Writes the writer's rows to `file` as a DWEX document, with the width
    digits that dwex.HEX gives when the call starts; a writer writes once."""

def guess_start(data: Any, from_: int, at_eof: bool, columns: int, /) -> tuple[int, bool]:
    """The first plausible row start past `from` in a window of a document, and
    whether a wider window is needed to find one."""

def scan(data: Any, begin: int, until: int, at_eof: bool, columns: int, /) -> tuple[int, int, str]:
    """Where reading rows from `begin` to the first boundary at or past `until`
    stops, the rows before it, and why ("ok", "more" or "fault")."""

def chain(parts: Sequence[tuple[int, int, int, str]], begin: int, size: int, first_row: int,
          scan_again: Callable[[int, int], tuple[int, int, str]], /) -> list[tuple[int, int, int, int]]:
    """The pieces (begin, end, row, rows) of a file of `size` bytes whose
    parts were guessed and scanned apart, each part (start, end, rows, state;
    start -1 and state "none" where no start was found) checked in order from
    `begin` against the one before it; a part that guessed wrong is scanned
    again as `scan_again(k, boundary)` returns it. `row` counts the rows
    before a piece from `first_row`; a piece of -1 rows runs to the file's
    end unplanned (it ends in a fault, or no guess reached it)."""

class RowsRead(tuple[Any, ...]):
    """What read_rows() found in a chunk of a document."""
    rows: list[list[str]]
    """The complete rows of the text."""
    end: int
    """Where they end, in code points."""
    end_units: int
    """Where they end, in UTF-16 units."""
    stop: int
    """How the reader stopped: 0 complete, 1 end of input, 2 unexpected token."""
    position: int
    """An unexpected token's UTF-16 position in the text."""
    code_point: int
    """An unexpected token's code point."""
    kind: int
    """The storage kind of the text (1, 2 or 4)."""
    wanted: int
    """After an end of input, a length the text must at least reach to go on."""

def read_rows(text: str, wide: bool, /) -> RowsRead:
    """The complete rows of `text`, where they end and how the reader stopped."""

def read_delimited(text: str, delimiter: str, limit: int, alphabet: str, /) -> str | None:
    """The DWEX document of the records that the csv module reads from `text`
    by its common rules: fields quoted or not, a doubled quote inside a
    quoted one standing for one, no escape character, no spaces skipped,
    lines ended by a line feed or a carriage return and line feed; with the
    width digits of `alphabet`. None where the csv module would apply rules
    of its own (a quote inside an unquoted field, text after a closing quote,
    a carriage return alone, a quoted field still open at the end) or for a
    field longer than `limit`."""
