"""Sizes at the edges: the widest length fields, lengths far beyond the input,
many items and rows, very long contents, in every storage width: the right
table or the listed error, in time linear in the size of the input.

DWEX_DEEP=1 adds the 10^7-item and 200 MB documents (several GB of memory,
about a minute)."""

import gc
import os
import sys
import time
import traceback

import pytest

import dwex
from model import END_OF_INPUT, model_outcome, model_stringify

DEEP = os.environ.get("DWEX_DEEP") == "1"
deep_only = pytest.mark.skipif(not DEEP, reason="set DWEX_DEEP=1 (make check-deep)")
# Times of a debug interpreter say little about the module, and take long.
timed = pytest.mark.skipif(hasattr(sys, "gettotalrefcount"), reason="timed on the release build")

E = "\U0001f600"  # two UTF-16 units
NINES = "9" * 16


def outcome(text):
    try:
        return ("ok", dwex.parse(text))
    except SyntaxError as e:
        return ("error", type(e), e.args)


def token(character, position):
    return ("error", SyntaxError, (f"Unexpected token '{character}' at position {position}",))


END = ("error", SyntaxError, (END_OF_INPUT,))


@pytest.mark.parametrize("doc, expected", [
    pytest.param("f0000000000000001a;", ("ok", [["a"]]), id="16 digits"),
    pytest.param("F0000000000000000;", ("ok", [[""]]), id="16 zeros"),
    pytest.param("f" + "0" * 15 + "2" + E + ";", ("ok", [[E]]), id="16 digits wide"),
    pytest.param("f" + NINES + "a;", END, id="largest length, narrow"),
    pytest.param("f" + NINES + "\u4e2d;", END, id="largest length, 16-bit"),
    pytest.param("f" + NINES + E + ";", END, id="largest length, wide"),
    pytest.param("01a;f" + NINES, END, id="largest length, nothing after"),
    pytest.param("01" + E + "f" + NINES, token("\ude00", 3), id="split before a largest length"),
    pytest.param("f" + "9" * 15, END, id="one digit short"),
    pytest.param("f" + "9" * 15 + E, token(E, 16), id="one digit short, wide"),
    pytest.param("f" + "9" * 15 + "x" + E, token("x", 16), id="digits end on the last, wide"),
    pytest.param("f" + "9" * 15 + "x", END, id="digits end on the last, narrow"),
    pytest.param("e" + NINES + "a;", END, id="width one short of the digits"),
    pytest.param("9" + NINES[:10] + "0" * 100 + ";", END, id="ten-digit length past the end"),
])
def test_widest_length_fields(doc, expected):
    assert outcome(doc) == expected == model_outcome(doc)


@pytest.mark.parametrize("position", [10**5, 10**6 + 7])
@pytest.mark.parametrize("wide", [False, True], ids=["narrow", "wide"])
def test_token_far_into_the_input(position, wide):
    # Lengths and positions are plain 64-bit integers; nothing wraps.
    lead = "02" + E + ";" if wide else "01a;"
    body = ";" * (position - (5 if wide else 4))
    exc = pytest.raises(SyntaxError, dwex.parse, lead + body + "x").value
    assert exc.args == (f"Unexpected token 'x' at position {position}",)


# ---------------------------------------------------------------- linear time


# A loaded machine can slow any one measurement several times over; a cost
# that grows too fast does so in every attempt.
ATTEMPTS = 3


def best_times(*funcs, repeat=3):
    """The best time of each of `funcs`, measured in turns so that a busy
    moment of the machine weighs on all of them alike."""
    # The collector's passes over the lists that parse makes are not ours.
    best = [float("inf")] * len(funcs)
    gc.disable()
    try:
        for _ in range(repeat):
            for k, func in enumerate(funcs):
                start = time.perf_counter()
                func()
                best[k] = min(best[k], time.perf_counter() - start)
    finally:
        gc.enable()
    return best


def within(bound, ratio, what):
    """Passes when `ratio()` stays under `bound` in one of a few attempts."""
    seen = []
    for _ in range(ATTEMPTS):
        value, shown = ratio()
        if value < bound:
            return
        seen.append(shown)
    pytest.fail(f"{what}: " + "; ".join(seen))


def assert_linear(make, run, small, *, factor=10, bound=30):
    """`run` on an input `factor` times larger takes at most `bound` times as
    long (linear: about `factor`; quadratic would be `factor` squared)."""
    a, b = make(small), make(small * factor)

    def ratio():
        t_small, t_large = best_times(lambda: run(a), lambda: run(b))
        return t_large / max(t_small, 1e-4), f"{t_small:.4f}s -> {t_large:.4f}s"

    within(bound, ratio, "not linear")


def assert_like_a_copy(make, run, small, *, factor=10, bound=3):
    """For inputs that are mostly one long text: the cost of `run` grows like
    the cost of copying the input does. Large fresh memory costs page faults
    that a small input, reusing mapped memory, never pays; a plain copy of the
    same input pays the same."""
    a, b = make(small), make(small * factor)

    def ratio():
        copy_a, run_a, copy_b, run_b = best_times(
            lambda: a + "!", lambda: run(a), lambda: b + "!", lambda: run(b))
        small_copies, large_copies = run_a / max(copy_a, 1e-5), run_b / max(copy_b, 1e-5)
        return large_copies / small_copies, f"{small_copies:.2f} copies -> {large_copies:.2f} copies"

    within(bound, ratio, "not like a copy")


SHAPES = {
    "items": lambda n: [["ab"] * n],
    "rows": lambda n: [["ab"]] * n,
    "empty rows": lambda n: [[]] * n,
    "one long leaf": lambda n: [["x" * (100 * n)]],
    "wide items": lambda n: [[E + "a"] * n],
    "one long wide leaf": lambda n: [[E * (50 * n)]],
    "16-bit items": lambda n: [["\u4e2d"] * n],
}
# Large enough that the small size already leaves the caches: below that the
# small size looks too cheap (10^4 items take a 40th of the time of 10^5).
SIZE = 2 * 10**5
# A long leaf costs a few copies of its content; below some tens of MB those
# stay in the caches and in memory already mapped, so the small size would
# look too cheap. Their linearity is checked at scale by the deep run.
PER_ITEM = [shape for shape in SHAPES if not shape.startswith("one long")]


@timed
@pytest.mark.parametrize("shape", PER_ITEM)
def test_stringify_time_is_linear(shape):
    assert_linear(SHAPES[shape], dwex.stringify, SIZE, factor=4, bound=10)


@timed
@pytest.mark.parametrize("shape", PER_ITEM)
def test_parse_time_is_linear(shape):
    assert_linear(lambda n: model_stringify(SHAPES[shape](n)), dwex.parse, SIZE, factor=4, bound=10)


@pytest.mark.parametrize("shape", SHAPES)
def test_wide_and_deep_tables_round_trip(shape):
    table = SHAPES[shape](10**5)
    doc = dwex.stringify(table)
    assert doc == model_stringify(table)
    assert dwex.parse(doc) == table


def test_deeply_nested_leaf_raises_the_interpreters_error():
    # str() of the leaf recurses; the walk itself does not.
    leaf = []
    for _ in range(10**5):
        leaf = [leaf]
    try:
        str(leaf)
    except RecursionError as exc:
        expected = str(exc)
    exc = pytest.raises(RecursionError, dwex.stringify, [["a", leaf]]).value
    assert str(exc) == expected
    entries = [(e.name, e.lineno) for e in traceback.extract_tb(exc.__traceback__)
               if e.filename == "dwex"]
    assert entries == [("dwex.stringify", 34)]


# ---------------------------------------------------------------- very large


@deep_only
@pytest.mark.parametrize("wide", [False, True], ids=["narrow", "wide"])
def test_ten_million_items(wide):
    n = 10**7
    leaf = E if wide else ""
    table = [[leaf] * n]
    doc = dwex.stringify(table)
    assert doc == ("02" + E if wide else "00") * n + ";"
    back = dwex.parse(doc)
    assert len(back) == 1 and len(back[0]) == n
    assert back == table
    del back, doc


@deep_only
def test_ten_million_rows():
    doc = ";" * 10**7
    table = dwex.parse(doc)
    assert len(table) == 10**7 and table[0] == [] and table[-1] == []
    assert table[0] is not table[1]
    assert dwex.stringify(table) == doc


@deep_only
@pytest.mark.parametrize("wide", [False, True], ids=["narrow", "wide"])
def test_two_hundred_megabyte_document(wide):
    # 2 * 10^8 one-byte code points, or 5 * 10^7 four-byte ones.
    content = E * (5 * 10**7) if wide else "a" * (2 * 10**8)
    units = 10**8 if wide else 2 * 10**8
    doc = dwex.stringify([[content, "z"]])
    assert sys.getsizeof(doc) > 2 * 10**8
    assert doc == "8" + str(units) + content + "01z;"
    assert dwex.parse(doc) == [[content, "z"]]
    # One unit long runs past the end. One unit short ends inside the last
    # character (wide), or leaves its last "a" to be read as a width digit
    # whose length digits would pass the end (narrow).
    assert outcome("8" + str(units + 1) + content + ";") == END
    short = "8" + str(units - 1).zfill(9) + content + ";"
    assert outcome(short) == (token("\ude00", 10 + units - 1) if wide else END)


@deep_only
@timed
@pytest.mark.parametrize("shape", SHAPES)
def test_linear_up_to_ten_million(shape):
    if shape.startswith("one long"):
        assert_like_a_copy(lambda n: model_stringify(SHAPES[shape](n)), dwex.parse, 10**5)
        assert_like_a_copy(lambda n: SHAPES[shape](n)[0][0], lambda x: dwex.stringify([[x]]), 10**5)
    else:
        assert_linear(lambda n: model_stringify(SHAPES[shape](n)), dwex.parse, 10**6)
        assert_linear(SHAPES[shape], dwex.stringify, 10**6)
