"""The seams between stringify's writers: a table that the one pass starts
and another writer finishes is written as the model writes it, at the
narrowest storage, with every leaf written once; a table of str only, in
memory bounded by the document and 8 bytes a leaf (the general writer, which
a leaf that is not a str calls in, grows a buffer of its own)."""

import pathlib
import sys

import pytest

import dwex
import subproc
from leakcheck import traced_peak
from model import model_stringify
from route_tables import ROWS, WIDTH, cases, planner_constant

CASES = dict(cases())
COUNTING = pathlib.Path(__file__).resolve().parents[3] / "build" / "lib-counting"


def _leaves(rows):
    return sum(len(row) for row in rows)


def test_tables_take_the_one_pass():
    # Every seam starts in the one pass: the tables are above its threshold.
    assert ROWS * WIDTH >= planner_constant("one_pass_min_leaves")


@pytest.mark.parametrize("name", list(CASES))
def test_handover(name):
    rows = CASES[name]
    expected = model_stringify(rows)
    document, peak = traced_peak(lambda: dwex.stringify(rows))
    assert document == expected
    # A str cut to length in place behaves as any other.
    assert hash(document) == hash(expected)
    assert document.encode("utf-8", "surrogatepass") == expected.encode("utf-8", "surrogatepass")
    # The narrowest storage: a str equal to one made by a join.
    assert sys.getsizeof(document) == sys.getsizeof("".join([expected]))
    if all(isinstance(leaf, str) for row in rows for leaf in row):
        assert peak <= sys.getsizeof(document) + 8 * _leaves(rows)


@pytest.mark.skipif(not any(COUNTING.glob("dwex*.so")), reason="no leaf-counting build")
def test_every_leaf_written_once():
    counts = subproc.run(
        """
        sys.path.remove(LIB)
        sys.path[:0] = [COUNTING, TESTS]
        import dwex
        from route_tables import ROWS, WIDTH, cases, planner_constant
        result = {}
        for name, rows in cases():
            dwex._leaf_writes()
            dwex.stringify(rows)
            result[name] = (dwex._leaf_writes(), sum(len(row) for row in rows))
        """,
        COUNTING=str(COUNTING), TESTS=str(pathlib.Path(__file__).parents[1] / "support"))
    wrong = {name: got for name, got in counts.items() if got[0] != got[1]}
    assert not wrong
    assert set(counts) == set(CASES)
