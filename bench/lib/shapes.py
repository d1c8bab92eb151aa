"""The shapes of the sweep: tables that vary one thing at a time (leaf length,
row width, storage mix, repetition), cut deterministically from the text of
the unicode-data files, plus the shapes users ran into. Each is built only
when asked for, so that a run holds one shape at a time.

A shape states what it claims to be (its storage mix, leaf length, row width
and whether it repeats a few leaves); `mix_of` and `length_of` recompute the
first two from the rows, so a test can check every claim."""

from __future__ import annotations

import bz2
import dataclasses
import functools
from collections.abc import Callable, Iterator

from tables import UNICODE, FreshCopies

# The one wide character that the mostly-ASCII shapes carry: an em dash, the
# stray non-ASCII character of many English texts. A grinning face is the
# astral one.
WIDE = "\u2014"
ASTRAL = "\U0001f600"

# The length classes, each an inclusive range of characters; "~100000" is
# Size.huge_cell give or take 1000.
LENGTHS = {"0": (0, 0), "1": (1, 1), "2-16": (2, 16), "~100": (90, 110), "~3000": (2900, 3100)}


@dataclasses.dataclass(frozen=True)
class Size:
    """How large to make the shapes: `items` leaves for short leaves, `chars`
    characters of leaves for long ones. The named shapes scale with them."""

    items: int = 100_000
    chars: int = 3_000_000

    @property
    def huge_cell(self) -> int:
        """The length of the '~100000' leaves: shorter in a reduced run."""
        return min(100_000, self.chars // 30)

    def lengths(self) -> dict[str, tuple[int, int]]:
        return {**LENGTHS, "~100000": (self.huge_cell - 1000, self.huge_cell + 1000)}


QUICK = Size(10_000, 300_000)
DEEP = Size(1_000_000, 30_000_000)


@dataclasses.dataclass
class Shape:
    name: str
    description: str
    mix: str  # see mix_of
    length: str  # a key of LENGTHS, or "mixed"
    width: int | None  # leaves per row (None: rows of differing width)
    repeated: bool  # a few short leaves referenced throughout
    rows: list[list[str]]

    @property
    def leaves(self) -> list[str]:
        return [leaf for row in self.rows for leaf in row]


# ------------------------------------------------------------------ sources


def _unihan() -> Iterator[tuple[int, str, str]]:
    with bz2.open(UNICODE / "Unihan_Readings.txt.bz2", "rt", encoding="utf-8") as f:
        for line in f:
            if line.startswith("#") or not line.strip():
                continue
            code, field, value = line.rstrip("\n").split("\t")
            yield int(code[2:], 16), field, value


@functools.cache
def unihan() -> tuple[tuple[int, str, str], ...]:
    """Unihan readings: (code point, field, value), in the file's order."""
    return tuple(_unihan())


@functools.cache
def unicode_data() -> str:
    return (UNICODE / "UnicodeData.txt").read_text(encoding="ascii")


@functools.cache
def unicode_fields() -> tuple[str, ...]:
    """The fields of UnicodeData.txt, line after line: ASCII, 0 to ~80 characters."""
    return tuple(field for line in unicode_data().splitlines() for field in line.split(";"))


@functools.cache
def code_points() -> tuple[int, ...]:
    """Every code point that UnicodeData.txt lists, surrogates left out."""
    cps = (int(line.split(";", 1)[0], 16) for line in unicode_data().splitlines())
    return tuple(cp for cp in cps if not 0xD800 <= cp < 0xE000)


@functools.cache
def latin1_text() -> str:
    """The line-break test cases: ASCII with a '×' or '÷' every few characters."""
    text = (UNICODE / "auxiliary" / "LineBreakTest.txt").read_text(encoding="utf-8")
    return "\n".join(line for line in text.splitlines() if line and not line.startswith("#"))


# Lines of the texts below are kept to this length, so that every cut of 90
# characters or more holds the start of a line.
LINE = 80


def _lines(lines) -> str:
    return "\n".join(line for line in lines if len(line) < LINE)


def _rendered(low: int, high: int) -> str:
    """Unihan readings of the ideographs in [low, high], each line led by the
    ideograph itself instead of its code: every line holds a character of
    that range, whatever its value holds."""
    return _lines(f"{chr(cp)}\t{field}\t{value}" for cp, field, value in unihan()
                  if low <= cp <= high and max(value) < chr(0x10000))


@functools.cache
def bmp_text() -> str:
    return _rendered(0x100, 0xFFFF)


@functools.cache
def emoji() -> tuple[tuple[str, str], ...]:
    """emoji-test.txt: (emoji, name) of every test line."""
    out = []
    for line in (UNICODE / "emoji" / "emoji-test.txt").read_text(encoding="utf-8").splitlines():
        if line.startswith("#") or not line.strip():
            continue
        emoji_, _version, name = line.split("#", 1)[1].strip().split(" ", 2)
        out.append((emoji_, name))
    return tuple(out)


@functools.cache
def astral_text() -> str:
    """The emoji above U+FFFF with their names, then the readings of the
    ideographs above U+FFFF: a character above U+FFFF on every line."""
    return _lines(f"{e}\t{name}" for e, name in emoji() if max(e) > "\uffff") + "\n" + _rendered(0x10000, 0x10FFFF)


# ------------------------------------------------------------------ cutting


def _lengths(kind: str, size: Size) -> Callable[[int], int]:
    """The length of the i-th leaf of a length class: a fixed walk over the
    class's range, so that leaves differ in length without randomness."""
    low, high = size.lengths()[kind]
    span = high - low + 1
    step = {1: 0, 15: 7, 21: 8, 201: 37, 2001: 373}[span]
    return lambda i: low + (i * step) % span


def cut(text: str, kind: str, size: Size, count: int | None = None) -> list[str]:
    """Consecutive leaves of a length class cut from `text`, starting over at
    its beginning when it runs out: `count` leaves, else `size.items` leaves
    of 16 characters or fewer, or as many longer ones as make `size.chars`."""
    length = _lengths(kind, size)
    if count is None and size.lengths()[kind][1] <= 16:
        count = size.items
    leaves: list[str] = []
    at = total = 0
    while len(leaves) < count if count is not None else total < size.chars:
        n = length(len(leaves))
        if at + n > len(text):
            at = 0
        leaves.append(text[at : at + n])
        at += n
        total += n
    return leaves


def rows_of(leaves: list[str], width: int) -> list[list[str]]:
    return [leaves[i : i + width] for i in range(0, len(leaves), width)]


def cycled(leaves: tuple[str, ...] | list[str], items: int) -> list[str]:
    """`items` leaves taken from `leaves` in turn; every pass after the first
    makes new string objects, as a table read from elsewhere would have."""
    out = list(leaves[:items])
    while len(out) < items:
        out.extend((leaf + " ")[:-1] for leaf in leaves[: items - len(out)])
    return out


def with_one(rows: list[list[str]], at: float, ch: str) -> list[list[str]]:
    """`rows` with the leaf at fraction `at` of the way through (1.0: the
    last) ending in `ch` instead of its last character."""
    flat = [(r, c) for r, row in enumerate(rows) for c in range(len(row))]
    r, c = flat[min(len(flat) - 1, int(at * len(flat)))]
    leaf = rows[r][c]
    rows[r][c] = leaf[:-1] + ch
    return rows


def repeated(values: list[str], items: int) -> list[str]:
    """`items` leaves taken from `values` in turn, each distinct value one str
    object referenced wherever it recurs."""
    seen: dict[str, str] = {}
    kept = [seen.setdefault(v, v) for v in values]
    return [kept[i % len(kept)] for i in range(items)]


# ------------------------------------------------------------------ shapes


def _fields(size: Size, items: int | None = None) -> list[str]:
    return cycled(unicode_fields(), items or size.items)


def _unihan_rows(keep: Callable[[int, str], bool], at: Callable[[int], bool] = lambda cp: True) -> list[list[str]]:
    return [[chr(cp), field, value] for cp, field, value in unihan() if at(cp) and keep(cp, value)]


def _readings(low: int, high: int, size: Size) -> list[str]:
    """Values of 2-16 characters of the Unihan readings whose widest character
    lies in [low, high]."""
    values = [v for _cp, _f, v in unihan() if low <= ord(max(v)) <= high and 2 <= len(v) <= 16]
    return cycled(values, size.items)


def _names_list_blocks(size: Size) -> list[list[str]]:
    """NamesList.txt, one row per block: [its header line, all its other
    lines joined by newlines]. A reduced run keeps the first blocks."""
    rows: list[list[str]] = []
    lines: list[str] = []
    for line in (UNICODE / "NamesList.txt").read_text(encoding="utf-8").splitlines():
        if line.startswith("@@\t"):
            if rows:
                rows[-1].append("\n".join(lines))
            rows.append([line[3:]])
            lines = []
        elif rows:
            lines.append(line)
    rows[-1].append("\n".join(lines))
    if size.chars < Size().chars:
        total = 0
        for n, row in enumerate(rows):
            total += len(row[1])
            if total >= size.chars:
                return rows[: n + 1]
    return rows


def _unihan_all(size: Size) -> list[list[str]]:
    """Every Unihan reading as (ideograph, field, value), the ideographs
    above U+FFFF included. Below the deep size, every k-th line, so that the
    astral ideographs at the end of the file stay in: about as many leaves
    as the size has items (the whole file at the deep size)."""
    rows = _unihan_rows(lambda cp, v: True)
    return rows[:: max(1, round(3 * len(rows) / size.items))]


def builders(size: Size = Size()) -> list[tuple[str, Callable[[], Shape]]]:
    """(name, maker) of every shape, in the order they run."""
    S = size
    bmp_cps = [cp for cp in code_points() if 0x100 <= cp <= 0xFFFF]
    astral_cps = [cp for cp in code_points() if cp > 0xFFFF]
    definitions: list[tuple[str, str, str, str, int | None, bool, Callable[[], list[list[str]]]]] = [
        # (name, description, mix, length, width, repeated, rows)
        ("empty-w15", "empty leaves", "ascii", "0", 15, False, lambda: rows_of([""] * S.items, 15)),
        ("ascii-1-w1", "UnicodeData.txt one character a leaf, one leaf a row", "ascii", "1", 1, False,
         lambda: rows_of(cut(unicode_data(), "1", S), 1)),
        ("ascii-2to16-w3", "UnicodeData.txt cut in leaves of 2-16", "ascii", "2-16", 3, False,
         lambda: rows_of(cut(unicode_data(), "2-16", S), 3)),
        ("ascii-fields-w15", "UnicodeData.txt fields, 15 a row", "ascii", "mixed", 15, False,
         lambda: rows_of(_fields(S), 15)),
        ("ascii-fields-w1000", "UnicodeData.txt fields, 1000 a row", "ascii", "mixed", 1000, False,
         lambda: rows_of(_fields(S), 1000)),
        ("ascii-100-w3", "UnicodeData.txt cut in leaves of ~100", "ascii", "~100", 3, False,
         lambda: rows_of(cut(unicode_data(), "~100", S), 3)),
        ("ascii-3000-w1", "UnicodeData.txt cut in leaves of ~3,000", "ascii", "~3000", 1, False,
         lambda: rows_of(cut(unicode_data(), "~3000", S), 1)),
        ("ascii-100k-w1", "UnicodeData.txt cut in leaves of ~100,000", "ascii", "~100000", 1, False,
         lambda: rows_of(cut(unicode_data(), "~100000", S), 1)),
        ("ascii-repeated-w3", "UnicodeData.txt (category, bidi class, mirrored): a few short leaves repeated",
         "ascii", "mixed", 3, True,
         lambda: rows_of(repeated([f for line in unicode_data().splitlines()
                                   for f in (lambda p: (p[2], p[4], p[9]))(line.split(";"))], S.items - S.items % 3), 3)),
        ("latin1-short-w3", "Unihan readings whose widest character is Latin-1: (code, field, value)",
         "latin1", "mixed", 3, False,
         lambda: rows_of(cycled([x for cp, f, v in unihan() if "\x80" <= max(v) <= "\xff"
                                 for x in (f"U+{cp:04X}", f, v)], S.items - S.items % 3), 3)),
        ("latin1-100-w15", "LineBreakTest.txt cut in leaves of ~100", "latin1", "~100", 15, False,
         lambda: rows_of(cut(latin1_text(), "~100", S), 15)),
        ("2byte-1-w3", "the BMP characters above U+00FF that UnicodeData.txt names, one a leaf", "2byte", "1", 3,
         False, lambda: rows_of(cycled([chr(cp) for cp in bmp_cps], S.items), 3)),
        ("2byte-short-w3", "Unihan reading values with a character above U+00FF (none above U+FFFF)", "2byte",
         "2-16", 3, False, lambda: rows_of(_readings(0x100, 0xFFFF, S), 3)),
        ("2byte-100-w3", "Unihan readings led by their BMP ideograph, cut in leaves of ~100", "2byte", "~100", 3,
         False, lambda: rows_of(cut(bmp_text(), "~100", S), 3)),
        ("2byte-3000-w1", "the same cut in leaves of ~3,000", "2byte", "~3000", 1, False,
         lambda: rows_of(cut(bmp_text(), "~3000", S), 1)),
        ("2byte-100k-w1", "the same cut in leaves of ~100,000", "2byte", "~100000", 1, False,
         lambda: rows_of(cut(bmp_text(), "~100000", S), 1)),
        ("2byte-repeated-w3", "the 32 commonest Unihan Hangul readings, wherever they occur", "2byte", "2-16", 3,
         True, lambda: rows_of(_hangul_repeated(S), 3)),
        ("astral-1-w3", "the characters above U+FFFF that UnicodeData.txt names, one a leaf", "astral", "1", 3,
         False, lambda: rows_of(cycled([chr(cp) for cp in astral_cps], S.items), 3)),
        ("astral-short-w3", "the emoji of emoji-test.txt above U+FFFF", "astral", "mixed", 3, False,
         lambda: rows_of(cycled([e for e, _ in emoji() if max(e) > "\uffff"], S.items), 3)),
        ("astral-100-w15", "emoji names and Unihan readings led by a character above U+FFFF, leaves of ~100",
         "astral", "~100", 15, False, lambda: rows_of(cut(astral_text(), "~100", S), 15)),
        ("ascii+2byte-start-w15", "UnicodeData.txt fields with one em dash 1% of the way in",
         "ascii+one-2byte-start", "mixed", 15, False, lambda: with_one(rows_of(_fields(S), 15), 0.01, WIDE)),
        ("ascii+2byte-middle-w15", "UnicodeData.txt fields with one em dash half way",
         "ascii+one-2byte-middle", "mixed", 15, False, lambda: with_one(rows_of(_fields(S), 15), 0.5, WIDE)),
        ("ascii+2byte-last-row-w15", f"{2 * S.items:,} UnicodeData.txt fields, one em dash in the last row",
         "ascii+one-2byte-end", "mixed", 15, False,
         lambda: with_one(rows_of(_fields(S, 2 * S.items), 15), 1.0, WIDE)),
        ("bmp+astral-late-w3", "Unihan readings of BMP ideographs (ideograph, field, value), one grinning face "
         "90% of the way in", "bmp+one-astral-late", "mixed", 3, False,
         lambda: with_one(rows_of(cycled([x for r in _unihan_rows(lambda cp, v: max(v) <= "\uffff",
                                                                  lambda cp: cp <= 0xFFFF) for x in r],
                                         S.items - S.items % 3), 3), 0.9, ASTRAL)),
        ("nameslist-blocks-w2", "NamesList.txt, one row per block: [header, the block's text]", "mixed-2byte",
         "mixed", 2, False, lambda: _names_list_blocks(S)),
        ("ascii-100k+2byte-last-cell-w1", "100 leaves of ~100,000 of UnicodeData.txt, one em dash in the last",
         "ascii+one-2byte-end", "~100000", 1, False,
         lambda: with_one(rows_of(cut(unicode_data(), "~100000", S, count=100), 1), 1.0, WIDE)),
        ("unihan-readings-w3", "Unihan readings (ideograph, field, value), ideographs above U+FFFF included",
         "mixed-astral", "mixed", 3, False, lambda: _unihan_all(S)),
    ]

    def maker(definition) -> Callable[[], Shape]:
        name, description, mix, length, width, repeated, rows = definition
        return lambda: Shape(name, description, mix, length, width, repeated, rows())

    return [(definition[0], maker(definition)) for definition in definitions]


def _hangul_repeated(size: Size) -> list[str]:
    counts: dict[str, int] = {}
    values = [v for _cp, f, v in unihan() if f == "kHangul"]
    for v in values:
        counts[v] = counts.get(v, 0) + 1
    common = set(sorted(counts, key=lambda v: (-counts[v], v))[:32])
    return repeated([v for v in values if v in common], size.items - size.items % 3)


def build(names: list[str] | None = None, size: Size = Size()) -> Iterator[Shape]:
    """The shapes (or those named), made one at a time."""
    for name, make in builders(size):
        if names is None or name in names:
            yield make()


# ------------------------------------------------------------------ claims


def mix_of(rows: list[list[str]]) -> str:
    """The storage mix of a table, from its characters: "ascii", "latin1",
    "2byte" (a character in U+0100..U+FFFF in every leaf, none above),
    "astral" (a character above U+FFFF in every leaf), "ascii+one-2byte-
    {start,middle,end}" (one character above U+00FF in the whole table, in
    the first 10%, the middle 40-60% or the last 10% of its leaves), "bmp+one-
    astral-late" (one character above U+FFFF, in the last 25%, the rest up to
    U+FFFF), else "mixed-2byte" or "mixed-astral" by the widest character."""
    leaves = [leaf for row in rows for leaf in row]
    tops = [max(leaf) if leaf else "" for leaf in leaves]
    top = max(tops, default="")
    if top < "\x80":
        return "ascii"
    if top <= "\xff":
        return "latin1"
    beyond = "\xff" if top <= "\uffff" else "\uffff"
    over = [i for i, t in enumerate(tops) if t > beyond]
    if len(over) == len(leaves):
        return "2byte" if top <= "\uffff" else "astral"
    if len(over) == 1 and sum(ch > beyond for ch in leaves[over[0]]) == 1:
        where = over[0] / max(1, len(leaves) - 1)
        if top <= "\uffff" and max(t for i, t in enumerate(tops) if i != over[0]) < "\x80":
            for name, (low, high) in (("start", (0, 0.1)), ("middle", (0.4, 0.6)), ("end", (0.9, 1.0))):
                if low <= where <= high:
                    return f"ascii+one-2byte-{name}"
        if top > "\uffff" and where >= 0.75:
            return "bmp+one-astral-late"
    return "mixed-2byte" if top <= "\uffff" else "mixed-astral"


def length_of(rows: list[list[str]], size: Size = Size()) -> str:
    """The length class that holds every leaf, or "mixed"."""
    lengths = [len(leaf) for row in rows for leaf in row]
    for name, (low, high) in size.lengths().items():
        if lengths and low <= min(lengths) and max(lengths) <= high:
            return name
    return "mixed"


def laid_out(shape: Shape) -> list[list[str]]:
    """The rows to time: the strings of a shape picked out of a large file
    lie scattered over the heap that reading it made, which slows every
    contender several times over (the join floor too) and would measure the
    allocator's history, not the shape. New copies lie one after another, as
    the fresh strings do. A shape that repeats a few leaves keeps its shared
    objects."""
    return shape.rows if shape.repeated else FreshCopies(shape.rows).rows()
