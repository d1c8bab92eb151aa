"""What the command says: its one error type and the wording shared by the
messages of every format."""

from __future__ import annotations


class FormatError(Exception):
    """Input that is readable but not a table of the expected format."""


def printable(text: str) -> str:
    """`text` for a one-line message: control characters, line breaks,
    quotes and backslashes written as escapes."""
    if text.isprintable() and not any(ch in text for ch in "'\"\\"):
        return text
    return "".join(ch if ch.isprintable() and ch not in "'\"\\" else
                   "\\" + ch if ch in "'\"\\" else repr(ch)[1:-1] for ch in text)


def plural(count: int, noun: str) -> str:
    """"1 row", "2 rows": `count` with `noun`, plural unless it is one."""
    return f"{count:,} {noun}" if count == 1 else f"{count:,} {noun}s"
