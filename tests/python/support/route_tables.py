"""Tables that cross the seams between stringify's writers: a large ASCII
table (written in one pass) with a leaf of another kind placed where the pass
must hand the rest over, so that each handover is met at every storage width
and at the first leaf, inside a row, at a row's start and at the last leaf."""

import pathlib
import re

ROWS = 640
WIDTH = 3
PLANNER = pathlib.Path(__file__).resolve().parents[3] / "src" / "core" / "route_plan.hpp"


def planner_constant(name):
    """A threshold of stringify's planner, as its header defines it."""
    found = re.search(rf"\b{name} = (\d+);", PLANNER.read_text())
    assert found, f"{name} is not defined in {PLANNER}"
    return int(found.group(1))

WIDE = {"latin-1": "\u00e9", "bmp": "\u4e00", "astral": "\U0001f600"}
POSITIONS = {
    "first leaf": (0, 0),
    "inside a row": (ROWS // 2 + 3, 1),
    "row start": (ROWS // 2 + 5, 0),
    "last leaf": (ROWS - 1, WIDTH - 1),
}
LENGTHS = {"short": 1, "long": 300}


class Text:
    """A leaf that is not a str: the general writer takes over at it."""

    def __init__(self, text):
        self.text = text

    def __str__(self):
        return self.text


class Sub(str):
    pass


def ascii_rows(length):
    # Distinct leaves of mixed lengths, about `length` characters at most.
    return [[f"r{r}c{c}" + "x" * ((r * 7 + c) % (length + 1)) for c in range(WIDTH)]
            for r in range(ROWS)]


def with_leaf(leaf, position, length):
    rows = ascii_rows(length)
    row, at = POSITIONS[position]
    rows[row][at] = leaf
    return rows


def cases():
    """(name, rows) for every seam."""
    for length_name, length in LENGTHS.items():
        for position in POSITIONS:
            for kind, ch in WIDE.items():
                leaf = ch + "w" * length
                yield f"{kind} at {position}, {length_name}", with_leaf(leaf, position, length)
            yield (f"int at {position}, {length_name}", with_leaf(7, position, length))
            yield (f"subclass at {position}, {length_name}",
                   with_leaf(Sub("s" * length), position, length))
        # Two wider kinds, the narrower first: one widening to the wider.
        rows = with_leaf("\u00e9", "inside a row", length)
        rows[-1][-1] = "\U0001f600" * length
        yield f"latin-1 then astral, {length_name}", rows
        rows = with_leaf("\u4e00", "first leaf", length)
        rows[-1][-1] = "\U0001f600"
        yield f"bmp then astral, {length_name}", rows
