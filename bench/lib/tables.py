"""The benchmark's tables, built afresh on every run from the Unicode data files
of the toolchain root. Each table is a list of rows, each row a list of str, so
every contender (marshal included) can take it as it is. Also the helpers that
derive inputs from a table: a free separator and new copies of its strings."""

from __future__ import annotations

import bz2
import dataclasses
from pathlib import Path

UNICODE = Path("/usr/share/unicode")


@dataclasses.dataclass
class Table:
    name: str
    description: str
    rows: list[list[str]]

    @property
    def leaves(self) -> list[str]:
        return [leaf for row in self.rows for leaf in row]


def ascii_table() -> Table:
    """UnicodeData.txt: one row per line, its fields split on ';'."""
    text = (UNICODE / "UnicodeData.txt").read_text(encoding="ascii")
    rows = [line.split(";") for line in text.splitlines()]
    return Table("ascii", "UnicodeData.txt, one row per line, fields split on ';'", rows)


def bmp_table() -> Table:
    """Unihan readings of the BMP ideographs: (ideograph, field, value).

    Ideographs above U+FFFF, and the few values holding such characters, are
    left out so that the document stays at two bytes per code point."""
    rows = []
    with bz2.open(UNICODE / "Unihan_Readings.txt.bz2", "rt", encoding="utf-8") as f:
        for line in f:
            if line.startswith("#") or not line.strip():
                continue
            code, field, value = line.rstrip("\n").split("\t")
            cp = int(code[2:], 16)
            if cp > 0xFFFF or any(ord(ch) > 0xFFFF for ch in value):
                continue
            rows.append([chr(cp), field, value])
    return Table("bmp", "Unihan_Readings, BMP ideographs only: (ideograph, field, value)", rows)


def astral_table() -> Table:
    """emoji-test.txt: (code points, status, the emoji, its name)."""
    rows = []
    text = (UNICODE / "emoji" / "emoji-test.txt").read_text(encoding="utf-8")
    for line in text.splitlines():
        if line.startswith("#") or not line.strip():
            continue
        fields, comment = line.split("#", 1)
        code_points, status = (part.strip() for part in fields.split(";"))
        emoji, _version, name = comment.strip().split(" ", 2)
        rows.append([code_points, status, emoji, name])
    return Table("astral", "emoji-test.txt: (code points, status, emoji, name)", rows)


def wide_table() -> Table:
    """NamesList.txt, one row per block: the block's header line, then one
    long leaf per subheaded section (the section's lines joined by newlines),
    so that copying the content dominates."""
    rows: list[list[str]] = []
    section: list[str] = []

    def close_section() -> None:
        if section and rows:
            rows[-1].append("\n".join(section))
        section.clear()

    for line in (UNICODE / "NamesList.txt").read_text(encoding="utf-8").splitlines():
        if line.startswith("@@\t"):
            close_section()
            rows.append([line[3:]])
        elif line.startswith("@\t"):
            close_section()
            section.append(line)
        elif rows:
            section.append(line)
    close_section()
    return Table("wide", "NamesList.txt, one row per block, one leaf per subheaded section", rows)


def separator(leaves: list[str], within: str | None = None) -> str:
    """A character that occurs in no leaf, for the split floor's text.
    `within`, a text that holds every character of every leaf (a document of
    the table), is searched instead where given: a native search, quick even
    at 10^7 leaves under valgrind."""
    present = within if within is not None else set().union(*map(set, leaves)) if leaves else set()
    for cp in [0, 1, 0x1F, 0x7F, 0xFFFE, 0xFFFF, *range(0xE000, 0xF900)]:
        if chr(cp) not in present:
            return chr(cp)
    raise ValueError("no free separator")


class FreshCopies:
    """New copies of a table's strings, one set per call of `rows()`.

    An encoder that writes UTF-8 stores the UTF-8 of each non-ASCII str inside
    the str the first time it meets it, so a second call on the same table
    skips that work. Every copy here is cut anew from one joined text, so its
    strings have never been encoded. Only the interpreter's shared empty and
    one-character Latin-1 strings come back as the same objects, as they do
    in the table itself."""

    def __init__(self, rows: list[list[str]], within: str | None = None) -> None:
        leaves = [leaf for row in rows for leaf in row]
        self._sep = separator(leaves, within)
        self._text = self._sep.join(leaves)
        self._widths = [len(row) for row in rows]
        self._empty = not leaves

    def joined(self) -> tuple[str, str]:
        """The leaves joined into one text, and the separator between them,
        which occurs in no leaf."""
        return self._text, self._sep

    def leaves(self) -> list[str]:
        # An empty text splits into one empty string, not into no strings.
        return [] if self._empty else self._text.split(self._sep)

    def rows(self) -> list[list[str]]:
        leaves = self.leaves()
        out = []
        at = 0
        for width in self._widths:
            out.append(leaves[at : at + width])
            at += width
        return out


def all_tables() -> list[Table]:
    return [ascii_table(), bmp_table(), astral_table(), wide_table()]


def scaled(rows: list[list[str]], items: int) -> list[list[str]]:
    """A table of exactly `items` leaves made by cycling over `rows`. Each pass
    after the first makes new string objects, so that a large table does not
    stay in cache by reusing the same few megabytes of text."""
    out: list[list[str]] = []
    left = items
    copy = False
    while left > 0:
        for row in rows:
            if left <= 0:
                break
            row = row[:left]
            if copy:
                # Slicing a concatenation yields a distinct object, except for
                # the interpreter's shared empty and one-character strings,
                # which the source data shares in the same way.
                row = [(leaf + " ")[:-1] for leaf in row]
            else:
                row = list(row)
            out.append(row)
            left -= len(row)
        copy = True
    return out


def make_large(path: Path, size: int) -> None:
    """A document of at least `size` bytes, the ascii table's rows over and over."""
    import dwex

    block = dwex.stringify(ascii_table().rows).encode("ascii")
    with open(path, "wb") as f:
        for _ in range(-(-size // len(block))):
            f.write(block)
