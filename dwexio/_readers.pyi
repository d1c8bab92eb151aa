# dwexio's native readers: chunks of a document into rows (iter_rows), CSV or
# TSV text into a document (dwex convert).

def read_rows(text: str, wide: bool, /) -> tuple[list[list[str]], int, int, int, int, int, int, int]:
    """(rows, end, end_units, stop, position, code_point, kind, wanted): the
    complete rows of `text` and where they end, in code points and UTF-16
    units; how the reader stopped (0 complete, 1 end of input, 2 unexpected
    token, with its UTF-16 position and code point); the storage kind of
    `text`; and after an end of input, a length the text must at least reach
    to go on."""

def read_delimited(text: str, delimiter: str, limit: int, alphabet: str, /) -> str | None:
    """The DWEX document of plain delimited lines (no quote character, no
    carriage return but before a line feed), or None for a field longer
    than `limit`."""
