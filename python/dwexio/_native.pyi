# dwexio's native module: chunks of a document into rows (iter_rows), CSV or
# TSV text into a document (dwex convert), documents into Arrow record batches
# (read_arrow) and Arrow data into documents (write_arrow).

from typing import Any, Iterator

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

def read(file: Any, owned: bool, names: list[str] | None, header: bool, batch_rows: int,
         n_rows: int, layout: int, label: str | None, threads: int, window: int, /) -> Stream:
    """A Stream of the document in `file`, read as far as its schema."""

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

def read_rows(text: str, wide: bool, /) -> tuple[list[list[str]], int, int, int, int, int, int, int]:
    """(rows, end, end_units, stop, position, code_point, kind, wanted): the
    complete rows of `text` and where they end, in code points and UTF-16
    units; how the reader stopped (0 complete, 1 end of input, 2 unexpected
    token, with its UTF-16 position and code point); the storage kind of
    `text`; and after an end of input, a length the text must at least reach
    to go on."""

def read_delimited(text: str, delimiter: str, limit: int, alphabet: str, /) -> str | None:
    """The DWEX document of the records that the csv module reads from `text`
    by its common rules: fields quoted or not, a doubled quote inside a
    quoted one standing for one, no escape character, no spaces skipped,
    lines ended by a line feed or a carriage return and line feed; with the
    width digits of `alphabet`. None where the csv module would apply rules
    of its own (a quote inside an unquoted field, text after a closing quote,
    a carriage return alone, a quoted field still open at the end) or for a
    field longer than `limit`."""
