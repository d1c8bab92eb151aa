"""parse: the tables it reads, every fault with its exact message, position and
traceback line, the end-of-input message as a live module attribute, agreement
with the reference model on generated and damaged documents in all three
storage kinds, and the release of everything it built on every path."""

import builtins
import os
import sys
import traceback

import pytest
from hypothesis import HealthCheck, event, given, settings
from hypothesis import strategies as st

import dwex
import subproc
from model import END_OF_INPUT, HEX, model_outcome, model_parse, model_stringify, utf16_length

# HYPOTHESIS_PROFILE=long runs every property with 10,000 examples.
EXAMPLES = {"long": 10_000}.get(os.environ.get("HYPOTHESIS_PROFILE", ""), 300)
PROPERTY = settings(
    max_examples=EXAMPLES,
    deadline=None,
    suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large],
)

IS_DEBUG = hasattr(sys, "gettotalrefcount")

E = "\U0001f600"  # two UTF-16 units
E_LOW = "\ude00"  # its low surrogate
END = END_OF_INPUT


def kind(text: str) -> int:
    top = max(map(ord, text), default=0)
    return 1 if top < 0x100 else 2 if top < 0x10000 else 4


def token(character: str, position: int) -> str:
    return f"Unexpected token '{character}' at position {position}"


def outcome(text: str):
    try:
        return ("ok", dwex.parse(text))
    except SyntaxError as e:
        return ("error", type(e), e.args)


def raised(text: str, exc_type: type = SyntaxError) -> BaseException:
    with pytest.raises(BaseException) as info:
        dwex.parse(text)
    assert type(info.value) is exc_type
    return info.value


def assert_entry(exc: BaseException, line: int) -> None:
    """The module adds exactly one traceback entry, the last one."""
    entries = traceback.extract_tb(exc.__traceback__)
    last = entries[-1]
    assert (last.filename, last.name, last.lineno) == ("dwex", "dwex.parse", line)
    assert [e.filename for e in entries].count("dwex") == 1


# ------------------------------------------------------------------ tables read

TABLES = [
    pytest.param(";", [[]], id="one empty row"),
    pytest.param(";;", [[], []], id="two empty rows"),
    pytest.param("00;", [[""]], id="one empty string"),
    pytest.param("0000;", [["", ""]], id="two empty strings"),
    pytest.param("01a02bc;01d;", [["a", "bc"], ["d"]], id="two rows"),
    pytest.param("111hello world;", [["hello world"]], id="eleven units"),
    pytest.param("02;;;", [[";;"]], id="terminators as content"),
    pytest.param("03;;;;", [[";;;"]], id="content is not scanned"),
    pytest.param("124" + "0123456789abcdefABCDEF;;" + ";", [["0123456789abcdefABCDEF;;"]], id="digits as content"),
    pytest.param("A00000000003abc;", [["abc"]], id="upper-case width digit"),
    pytest.param("a00000000003abc;", [["abc"]], id="lower-case width digit"),
    pytest.param("2007abcdefg;", [["abcdefg"]], id="leading zeros"),
    pytest.param("f0000000000000001a;", [["a"]], id="sixteen length digits"),
    pytest.param("F0000000000000000;", [[""]], id="sixteen zeros"),
    pytest.param("2100" + "a" * 100 + ";", [["a" * 100]], id="hundred units"),
    pytest.param("03\xe9\xff\x80;00;", [["\xe9\xff\x80"], [""]], id="latin-1"),
    pytest.param("02\u4e2d\uffff;;", [["\u4e2d\uffff"], []], id="bmp"),
    pytest.param("02\ud83d\ude00;", [["\ud83d\ude00"]], id="surrogate pair as two lone surrogates"),
    pytest.param("02" + E + ";", [[E]], id="astral"),
    pytest.param("04a" + E + "b;", [["a" + E + "b"]], id="astral inside"),
    pytest.param("03" + E + "\ud800;", [[E + "\ud800"]], id="astral and lone surrogate"),
    pytest.param("01a;;02" + E + ";", [["a"], [], [E]], id="astral in a later row"),
    pytest.param("110" + E * 5 + ";", [[E * 5]], id="astral ten units"),
]


@pytest.mark.parametrize(("doc", "table"), TABLES)
def test_reads_table(doc, table):
    got = dwex.parse(doc)
    assert got == table
    assert type(got) is list
    assert all(type(row) is list for row in got)
    assert all(type(item) is str for row in got for item in row)
    assert model_parse(doc) == table


@pytest.mark.parametrize(("doc", "table"), TABLES)
def test_writer_output_reads_back(doc, table):
    assert dwex.parse(dwex.stringify(table)) == table


def test_every_call_builds_new_lists():
    doc = "01a;;02bc;"
    first, second = dwex.parse(doc), dwex.parse(doc)
    assert first == second
    assert first is not second
    assert all(a is not b for a, b in zip(first, second))


@pytest.mark.parametrize(
    "doc",
    [
        pytest.param("03abc02\xe9b01\xff;", id="latin-1"),
        pytest.param("03abc02\u4e2db02\xe9\xe9;", id="bmp"),
        pytest.param("03abc02" + E + "02\u4e2d\xe9;03\xe9\xe9\xe9;", id="astral"),
    ],
)
def test_items_are_stored_at_their_own_width(doc):
    # An item cut from wider input is stored like any str with its characters:
    # ASCII flagged as ASCII, and no wider than its largest code point needs.
    for item in (item for row in dwex.parse(doc) for item in row):
        fresh = item.encode("utf-8", "surrogatepass").decode("utf-8", "surrogatepass")
        assert item == fresh
        assert item.isascii() == fresh.isascii()
        assert sys.getsizeof(item) == sys.getsizeof(fresh)


# ----------------------------------------------------------------------- faults

# (document, message, traceback line, storage kind)
FAULTS = [
    pytest.param("", END, 64, 1, id="empty"),
    # narrow input, one byte per code point
    pytest.param("01a", END, 119, 1, id="item without terminator"),
    pytest.param("01a;01b", END, 119, 1, id="later item without terminator"),
    pytest.param("05ab;", END, 119, 1, id="length past the end"),
    pytest.param("0x", END, 106, 1, id="length digit on the last character"),
    pytest.param("02ab;0x", END, 106, 1, id="length digit on the last character later"),
    pytest.param("1", END, 106, 1, id="width digit alone"),
    pytest.param("01a;x", token("x", 4), 102, 1, id="text after a row"),
    pytest.param("01ax", token("x", 3), 102, 1, id="text after an item"),
    pytest.param("g1a;", token("g", 0), 102, 1, id="g"),
    pytest.param("G1a;", token("G", 0), 102, 1, id="G"),
    pytest.param(" 01a;", token(" ", 0), 102, 1, id="space"),
    pytest.param("+1a;", token("+", 0), 102, 1, id="plus"),
    pytest.param("-1a;", token("-", 0), 102, 1, id="minus"),
    pytest.param("`1a;", token("`", 0), 102, 1, id="backtick folds onto @"),
    pytest.param("\x001a;", token("\x00", 0), 102, 1, id="nul"),
    pytest.param("00;\xe9", token("\xe9", 3), 102, 1, id="latin-1 letter"),
    pytest.param("0x;", token("x", 1), 112, 1, id="non-digit length"),
    pytest.param("1A5;", token("A", 1), 112, 1, id="hex digit as length digit"),
    pytest.param("0;;", token(";", 1), 112, 1, id="terminator as length digit"),
    pytest.param("01a;2x000;", token("x", 5), 112, 1, id="later non-digit length"),
    # narrow input, two bytes per code point
    pytest.param("01\ud83d\ude00;", token("\ude00", 3), 102, 2, id="lone low surrogate"),
    pytest.param("01\u4e2d;x", token("x", 4), 102, 2, id="bmp text after a row"),
    pytest.param("\u4e2d", token("\u4e2d", 0), 102, 2, id="bmp width digit"),
    pytest.param("\uff10", token("\uff10", 0), 102, 2, id="fullwidth digit"),
    pytest.param("0\u4e2d;", token("\u4e2d", 1), 112, 2, id="bmp length digit"),
    pytest.param("0\u0661;", token("\u0661", 1), 112, 2, id="arabic-indic digit"),
    pytest.param("05\u4e2d;", END, 119, 2, id="bmp length past the end"),
    pytest.param("02\u4e2d;0x", END, 106, 2, id="bmp length digit on the last character"),
    # wide input, four bytes per code point
    pytest.param("02" + E + ";0x", token("x", 6), 166, 4, id="length digit on the last character is read"),
    pytest.param("0x;" + E, token("x", 1), 166, 4, id="wide non-digit length"),
    pytest.param("02" + E + ";1x5;", token("x", 6), 166, 4, id="wide later non-digit length"),
    pytest.param("g1a;" + E, token("g", 0), 152, 4, id="wide g"),
    pytest.param("02" + E + ";g", token("g", 5), 152, 4, id="position counts astral as two"),
    pytest.param("02" + E + E, token(E, 4), 152, 4, id="astral quoted whole"),
    pytest.param(E, token(E, 0), 152, 4, id="astral width digit"),
    pytest.param("02" + E + ";1", END, 160, 4, id="wide width digit alone"),
    pytest.param("02" + E + ";10", END, 160, 4, id="wide digits past the end"),
    pytest.param("05" + E + ";", END, 177, 4, id="wide length past the end"),
    pytest.param("03" + E, END, 177, 4, id="wide length past the end by one"),
    pytest.param("01" + E + ";", token(E_LOW, 3), 190, 4, id="length ends inside astral"),
    pytest.param("01" + E, token(E_LOW, 3), 190, 4, id="split astral before the missing terminator"),
    pytest.param("02a" + E + ";", token(E_LOW, 4), 190, 4, id="split astral after a letter"),
    pytest.param("01\U00010000;", token("\udc00", 3), 190, 4, id="first astral"),
    pytest.param("01\U0010ffff;", token("\udfff", 3), 190, 4, id="last astral"),
    pytest.param("02" + E + ";03" + E + E + ";", token(E_LOW, 10), 190, 4, id="split astral later"),
    pytest.param("02" + E, END, 195, 4, id="wide item without terminator"),
    pytest.param("01a;02" + E, END, 195, 4, id="wide later item without terminator"),
    pytest.param("00" + E, token(E, 2), 152, 4, id="astral after an empty item"),
]


@pytest.mark.parametrize(("doc", "message", "line", "storage"), FAULTS)
def test_fault(doc, message, line, storage):
    assert kind(doc) == storage
    exc = raised(doc)
    assert exc.args == (message,)
    assert str(exc) == message
    assert exc.lineno is None and exc.filename is None
    assert_entry(exc, line)
    assert model_outcome(doc) == ("error", SyntaxError, (message,))


@pytest.mark.parametrize(("narrow", "wide"), [("0x", "0x;" + E), ("02ab;0x", "02" + E + ";0x")])
def test_narrow_and_wide_differ_only_at_the_last_length_digit(narrow, wide):
    assert raised(narrow).args == (END,)
    assert raised(wide).args[0].startswith("Unexpected token 'x'")


def test_fault_leaves_no_partial_result():
    # A failure after several complete rows hands back nothing, and a later call
    # starts from scratch.
    doc = "01a;02bc;;01x;g"
    exc = raised(doc)
    assert exc.args == (token("g", 14),)
    assert dwex.parse(doc[:-1]) == [["a"], ["bc"], [], ["x"]]


# ---------------------------------------------------- the end-of-input message

# One end-of-input site of each statement: (document, traceback line).
END_SITES = [
    pytest.param("", 64, id="empty"),
    pytest.param("0x", 106, id="narrow digits"),
    pytest.param("05ab;", 119, id="narrow content"),
    pytest.param("02" + E + ";1", 160, id="wide digits"),
    pytest.param("05" + E + ";", 177, id="wide content"),
    pytest.param("02" + E, 195, id="wide terminator"),
]

_MISSING = object()


@pytest.fixture
def end_attribute():
    """Restores dwex.ErrUnexpectedEndOfInput and builtins after the test."""
    saved = dwex.__dict__.get("ErrUnexpectedEndOfInput", _MISSING)
    try:
        yield
    finally:
        if saved is _MISSING:
            dwex.__dict__.pop("ErrUnexpectedEndOfInput", None)
        else:
            dwex.ErrUnexpectedEndOfInput = saved
        builtins.__dict__.pop("ErrUnexpectedEndOfInput", None)


@pytest.mark.parametrize(("doc", "line"), END_SITES)
@pytest.mark.parametrize("value", ["Input ended", "", "\u4e2d" + E, 42, None])
def test_rebound_message_is_read_at_each_raise(end_attribute, doc, line, value):
    dwex.ErrUnexpectedEndOfInput = value
    exc = raised(doc)
    assert exc.args == (value,)
    assert_entry(exc, line)
    dwex.ErrUnexpectedEndOfInput = "again"
    assert raised(doc).args == ("again",)


@pytest.mark.parametrize(("doc", "line"), END_SITES)
def test_deleted_message_raises_name_error(end_attribute, doc, line):
    del dwex.ErrUnexpectedEndOfInput
    exc = raised(doc, NameError)
    assert exc.args == ("name 'ErrUnexpectedEndOfInput' is not defined",)
    assert_entry(exc, line)


def test_deleted_message_leaves_tokens_and_tables_alone(end_attribute):
    del dwex.ErrUnexpectedEndOfInput
    assert raised("01a;x").args == (token("x", 4),)
    assert raised("01" + E + ";").args == (token(E_LOW, 3),)
    assert dwex.parse("01a;") == [["a"]]


@pytest.mark.parametrize(("doc", "line"), END_SITES)
def test_message_falls_back_to_builtins(end_attribute, doc, line):
    del dwex.ErrUnexpectedEndOfInput
    builtins.ErrUnexpectedEndOfInput = "from builtins"
    exc = raised(doc)
    assert exc.args == ("from builtins",)
    assert_entry(exc, line)


# ------------------------------------------------ agreement with the model

_FORMAT_CHARACTERS = st.sampled_from("0123456789;aAfFgx")
ALPHABETS = {
    "ascii": st.characters(max_codepoint=0x7F),
    "latin-1": st.characters(max_codepoint=0xFF),
    "bmp": st.one_of(st.characters(max_codepoint=0xFFFF), st.integers(0xD800, 0xDFFF).map(chr)),
    "astral": st.one_of(
        st.characters(),
        st.integers(0x10000, 0x10FFFF).map(chr),
        st.integers(0xD800, 0xDFFF).map(chr),
    ),
}


def tables(alphabet):
    leaves = st.text(st.one_of(_FORMAT_CHARACTERS, alphabet), max_size=12)
    return st.lists(st.lists(leaves, max_size=5), min_size=1, max_size=5)


@pytest.mark.parametrize("alphabet", ALPHABETS)
@PROPERTY
@given(data=st.data())
def test_round_trip(alphabet, data):
    table = data.draw(tables(ALPHABETS[alphabet]))
    doc = dwex.stringify(table)
    assert doc == model_stringify(table)
    assert dwex.parse(doc) == table


# Characters that damage documents in interesting ways: format characters,
# width digits in both cases, letters beyond f, wide and astral characters,
# surrogates, and digits of other scripts.
_NOISE = st.sampled_from(
    ["0", "1", "9", ";", "a", "F", "g", "G", "x", " ", "/", ":", "@", "`", "\xe9",
     "\u4e2d", "\uff10", "\ud83d", "\ude00", E, "\U00010000", "\U0010ffff"]
)


def split_astral(doc: str, at: int) -> str:
    """The first astral code point from `at` on written as its two surrogates,
    which keeps every UTF-16 length and position but can narrow the storage."""
    for k in range(at, len(doc)):
        cp = ord(doc[k]) - 0x10000
        if cp >= 0:
            pair = chr(0xD800 | cp >> 10) + chr(0xDC00 | cp & 0x3FF)
            return doc[:k] + pair + doc[k + 1 :]
    return doc


@st.composite
def documents(draw):
    """A written document, perhaps with its items' prefixes reshaped (case,
    leading zeros, wrong lengths, wrong width digits), then perhaps damaged
    (truncated, extended, characters inserted, replaced or removed)."""
    table = draw(tables(draw(st.sampled_from(list(ALPHABETS.values())))))
    pieces = []
    for row in table:
        for leaf in row:
            n = utf16_length(leaf)
            n = max(0, n + draw(st.sampled_from([0] * 12 + [-2, -1, 1, 2])))
            digits = str(n)
            if draw(st.integers(0, 9)) == 0:
                digits = "0" * draw(st.integers(1, 16 - len(digits))) + digits
            width = HEX[len(digits) - 1]
            shape = draw(st.integers(0, 19))
            if shape == 0:
                width = width.upper()
            elif shape == 1:
                width = draw(st.sampled_from("ghxzGXZ \x00;" + E + "\u4e2d"))
            elif shape == 2:
                width = HEX[min(15, max(0, len(digits) - 1 + draw(st.sampled_from([-1, 1]))))]
            elif shape == 3:
                at = draw(st.integers(0, len(digits) - 1))
                digits = digits[:at] + draw(_NOISE) + digits[at + 1 :]
            pieces += [width, digits, leaf]
        pieces.append(";")
    doc = "".join(pieces)
    for _ in range(draw(st.integers(0, 2))):
        at = draw(st.integers(0, len(doc)))
        damage = draw(st.integers(0, 5))
        if damage == 0:
            doc = doc[:at]
        elif damage == 1:
            doc = doc[:at] + draw(_NOISE) + doc[at:]
        elif damage == 2:
            doc = doc[:at] + draw(_NOISE) + doc[at + 1 :]
        elif damage == 3:
            doc = doc[:at] + doc[at + 1 :]
        elif damage == 4:
            doc = doc + draw(st.text(_NOISE, min_size=1, max_size=3))
        else:
            doc = split_astral(doc, at if draw(st.booleans()) else 0)
    return doc


@PROPERTY
@given(doc=documents())
def test_agrees_with_model(doc):
    expected = model_outcome(doc)
    event(f"kind {kind(doc)}")
    event(expected[0] if expected[0] == "ok" else expected[2][0].split(" at ")[0][:18])
    assert outcome(doc) == expected


@PROPERTY
@given(doc=st.text(st.one_of(_NOISE, _FORMAT_CHARACTERS), max_size=20))
def test_agrees_with_model_on_noise(doc):
    event(f"kind {kind(doc)}")
    assert outcome(doc) == model_outcome(doc)


# -------------------------------------------- references and memory (debug)

# A workload through every exit: tables, each kind of fault, and the NameError.
_WORKLOAD = [
    "01a02bc;;01d;",
    "03\xe9\xe9\xe9;",
    "02\u4e2d\u4e2d;02" + E + ";",
    "",
    "01a;x",
    "0x;",
    "0x",
    "05ab;",
    "g" + E,
    "0x;" + E,
    "02" + E + ";1",
    "05" + E + ";",
    "01" + E + ";",
    "02" + E,
]


def _run_workload(times: int) -> None:
    for _ in range(times):
        for doc in _WORKLOAD:
            try:
                dwex.parse(doc)
            except SyntaxError:
                pass
        saved = dwex.ErrUnexpectedEndOfInput
        del dwex.ErrUnexpectedEndOfInput
        try:
            dwex.parse("01a")
        except NameError:
            pass
        finally:
            dwex.ErrUnexpectedEndOfInput = saved


@pytest.mark.skipif(not IS_DEBUG, reason="needs a debug interpreter")
def test_reference_counts_stay_level():
    _run_workload(20)  # warm up caches (traceback code objects, interned texts)
    deltas = []
    for _ in range(5):
        refs, blocks = sys.gettotalrefcount(), sys.getallocatedblocks()
        _run_workload(200)
        deltas.append((sys.gettotalrefcount() - refs, sys.getallocatedblocks() - blocks))
    # A leak of one reference per call would add thousands per round.
    assert all(abs(r) < 50 and abs(b) < 50 for r, b in deltas), deltas


# The child runs each document with allocation failures injected at every
# allocation in turn: set_nomemory(k, 0) fails the (k+1)-th allocation and
# every later one, set_nomemory(k, k + 1) only the (k+1)-th. It returns, per
# document, the number of allocations the call makes, the traceback lines of
# the MemoryErrors that single failures raise, and every outcome that is
# neither the normal one nor MemoryError.
_SWEEP = """
import _testcapi
import dwex
import traceback

def attempt(doc, start, stop):
    value = None
    # Lists come from a free list first; holding many empties it, so that
    # every list the call makes is a real allocation that can fail.
    spare = [[] for _ in range(200)]
    try:
        _testcapi.set_nomemory(start, stop)
        try:
            value = dwex.parse(doc)
        finally:
            _testcapi.remove_mem_hooks()
    except BaseException as e:
        entries = traceback.extract_tb(e.__traceback__)
        last = (entries[-1].filename, entries[-1].name) if entries else None
        line = entries[-1].lineno if last == ("dwex", "dwex.parse") else None
        return ("raised", type(e).__name__, e.args, line)
    return ("ok", value)

result = []
for doc in DOCS:
    normal = attempt(doc, 1 << 30, 0)
    bad, lines, k = [], set(), 0
    while attempt(doc, k, 0) != normal:
        k += 1
        if k > 500:
            bad.append(("no end", k))
            break
    for start in range(k + 3):
        for stop in (0, start + 1):
            got = attempt(doc, start, stop)
            if got == normal:
                continue
            if got[:2] != ("raised", "MemoryError"):
                bad.append((start, stop, got))
            elif stop and got[3] is not None:
                lines.add(got[3])
    result.append((doc, k, sorted(lines), bad))
"""

_NARROW_TABLE = [67, 68, 87, 91, 121]
_WIDE_TABLE = [67, 68, 138, 143, 197]
# (document, traceback lines of a failed allocation): the table, its rows and
# items, then the message or exception of the document's own fault.
_SWEEP_DOCS = {
    1: [
        ("01a02bc;;03xyz;00;", _NARROW_TABLE),
        ("01a;01b", _NARROW_TABLE + [119]),
        ("01a;g", _NARROW_TABLE + [102]),
        ("01a;0x;", _NARROW_TABLE + [112]),
        ("0x", [67, 68, 106]),
        ("", [64]),
    ],
    2: [
        ("01\u4e2d02bc;;03x\u4e2dz;", _NARROW_TABLE),
        ("01\u4e2d;g", _NARROW_TABLE + [102]),
        ("05\u4e2d;", [67, 68, 119]),
        ("0\u4e2d;", [67, 68, 112]),
    ],
    4: [
        ("02" + E + "02bc;;04x" + E + "z;00;", _WIDE_TABLE),
        ("01" + E + ";", [67, 68, 190, 191]),
        ("02" + E, [67, 68, 195]),
        ("02" + E + ";g", _WIDE_TABLE + [152]),
        ("0x;" + E, [67, 68, 166]),
        ("02" + E + ";1", _WIDE_TABLE + [160]),
        ("05" + E + ";", [67, 68, 177]),
    ],
}


@pytest.mark.parametrize("storage", [1, 2, 4])
def test_allocation_failures_raise_memory_error_at_their_line(storage):
    docs = dict(_SWEEP_DOCS[storage])
    assert all(kind(doc) == storage for doc in docs if doc)
    for doc, allocations, lines, bad in subproc.run(_SWEEP, DOCS=list(docs)):
        assert bad == [], (doc, bad)
        assert allocations > 0
        assert lines == sorted(docs[doc]), doc
