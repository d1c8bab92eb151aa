"""The benchmark's pure helpers: the fresh copies that stringify is timed on,
and the goals' verdicts."""

import ctypes
import sys

import pytest

import goals
import tables

ROWS = [["héllo wörld", "x", "", "日本語の文", "😀 face", "é"], [], ["plain ascii", "\udc80 lone"]]


def cache_utf8(s: str) -> None:
    ctypes.pythonapi.PyUnicode_AsUTF8AndSize.restype = ctypes.c_void_p
    try:
        ctypes.pythonapi.PyUnicode_AsUTF8AndSize(ctypes.py_object(s), None)
    except UnicodeEncodeError:  # a lone surrogate has no UTF-8
        pass


def test_fresh_copies_are_new_strings_without_cached_utf8():
    # Copies, so that the module's constants keep no UTF-8 from this test.
    rows = [[leaf[:1] + leaf[1:] for leaf in row] for row in ROWS]
    uncached = {leaf: sys.getsizeof(leaf) for row in rows for leaf in row}
    for row in rows:
        for leaf in row:
            cache_utf8(leaf)
    # What the fresh timings guard against: the first encoder leaves the UTF-8 inside the str.
    assert sys.getsizeof(rows[0][0]) > uncached[rows[0][0]]
    copies = tables.FreshCopies(rows)
    for _ in range(2):
        fresh = copies.rows()
        assert fresh == rows
        for row, new_row in zip(rows, fresh):
            assert new_row is not row
            for old, new in zip(row, new_row):
                if len(old) > 1:  # '' and 'é' are the interpreter's shared strings
                    assert new is not old
                assert sys.getsizeof(new) == uncached[old]
    assert copies.leaves() == [leaf for row in rows for leaf in row]


@pytest.mark.parametrize("rows", [[], [[]], [[""]], [["", ""], []]])
def test_fresh_copies_keep_empty_shapes(rows):
    assert tables.FreshCopies(rows).rows() == rows


def record(ratio, fresh=None):
    rec = {"correct": True, "gc_on_ratio": ratio, "gc_off_ratio": ratio}
    if fresh is not None:
        rec.update(fresh_gc_on_ratio=fresh, fresh_gc_off_ratio=fresh)
    return rec


def test_goals_are_reported_as_met_or_not_yet_reached():
    parse = {"dwex.parse": record(1), "orjson.loads": record(1.5), "msgspec.msgpack decode": record(1.2),
             "str.split floor": record(0.8)}
    stringify = {"dwex.stringify": record(1, 1), "orjson.dumps": record(0.9, 1.1), "''.join floor": record(0.5, 0.5)}
    results = {
        "tables": {"ascii": {"parse": parse, "stringify": stringify}},
        "memory": {"ascii": {"parse": {"dwex.parse": {"ratio": 1.0}}, "stringify": {"dwex.stringify": {"ratio": 1.2}}}},
    }
    verdicts = {(g["goal"]): g for g in goals.evaluate(results)}
    assert verdicts["parse 1.3x as fast as orjson.loads"]["met"]
    assert not verdicts["parse 1.3x as fast as msgspec.msgpack decode"]["met"]
    assert verdicts["stringify at least as fast as orjson.dumps (fresh)"]["met"]  # judged fresh, not warm
    assert verdicts["parse within 1.3x of the str.split floor"]["gc_on"] == pytest.approx(1.25)
    missing = verdicts["stringify 1.2x as fast as msgspec.msgpack encode (fresh)"]
    assert not missing["measured"]
    lines = [goals.format_goal(g) for g in verdicts.values()]
    assert all(line.startswith(("goal met:", "goal not yet reached:", "goal not measured:")) for line in lines)
    assert "MISSED" not in "\n".join(lines)
    assert goals.summary(list(verdicts.values())) == "4 of 8 goals met, 2 not measured"
