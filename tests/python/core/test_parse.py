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
from leakcheck import assert_no_leak, nomemory_sweep
from model import END_OF_INPUT, HEX, model_outcome, model_parse, model_stringify, utf16_length

# HYPOTHESIS_PROFILE=long runs every property with 10,000 examples.
EXAMPLES = {"long": 10_000}.get(os.environ.get("HYPOTHESIS_PROFILE", ""), 300)
PROPERTY = settings(
    max_examples=EXAMPLES,
    deadline=None,
    suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large],
)

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


def line_of(text: str) -> str:
    """Where the module stopped on `text`, for the statistics of a property."""
    try:
        dwex.parse(text)
    except SyntaxError as e:
        return f"line {traceback.extract_tb(e.__traceback__)[-1].lineno}"
    return "table"


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


# One character of each storage class; "a" adds nothing wider than ASCII.
CLASSES = {"ascii": "a", "latin-1": "\xe9", "bmp": "\u4e2d", "astral": E}
LONG = "".join(chr(0x20 + k % 95) for k in range(100_003))


def assert_reads_back_at_own_widths(table):
    got = dwex.parse(dwex.stringify(table))
    assert got == table
    for item, leaf in zip((i for row in got for i in row), (l for row in table for l in row)):
        assert item.isascii() == leaf.isascii()
        assert sys.getsizeof(item) == sys.getsizeof(leaf)


@pytest.mark.parametrize("widest", CLASSES, ids=lambda c: f"document {c}")
@pytest.mark.parametrize("own", CLASSES, ids=lambda c: f"cell {c}")
@pytest.mark.parametrize("at", ["start", "end"])
def test_long_cell_is_stored_at_the_width_of_its_one_wide_character(widest, own, at):
    # A long mostly-ASCII cell whose only wider character is its first
    # (the table's first) or its last (the table's last), read from a document
    # that another cell widens: every pair of widths, and a length that leaves
    # a tail after the scan's long steps.
    ch = CLASSES[own]
    other = [CLASSES[widest] * 3]
    if at == "start":
        assert_reads_back_at_own_widths([[ch + LONG], other])
    else:
        assert_reads_back_at_own_widths([other, [LONG + ch]])


@pytest.mark.parametrize("own", ["latin-1", "bmp", "astral"])
def test_long_cells_widened_at_their_end_then_ascii_ones(own):
    # Cells found wide only at their end, then ASCII ones: the reader stops
    # betting on ASCII partway, which must not change any cell.
    body = LONG[:2000]
    widened = [body[: 600 + k] + CLASSES[own] for k in range(4)]
    assert_reads_back_at_own_widths([widened + [body[k:] for k in range(4)]])


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


def reshape(draw, width: str, digits: str, leaf: str):
    """One item's prefix made wrong: a width digit that is no hex digit or
    counts one digit too many or too few, a length digit that is no decimal
    digit, or a length one or two units off."""
    change = draw(st.integers(0, 3))
    if change == 0:
        width = draw(st.sampled_from("ghxzGXZ \x00;" + E + "\u4e2d"))
    elif change == 1:
        width = HEX[min(15, max(0, len(digits) - 1 + draw(st.sampled_from([-1, 1]))))]
    elif change == 2:
        at = draw(st.integers(0, len(digits) - 1))
        digits = digits[:at] + draw(_NOISE) + digits[at + 1 :]
    elif all(d in "0123456789" for d in digits):
        digits = str(max(0, int(digits) + draw(st.sampled_from([-2, -1, 1, 2]))))
        width = HEX[len(digits) - 1]
    return width, digits, leaf


def damage(draw, doc: str) -> str:
    """The document truncated, extended, or with a character inserted,
    replaced or removed, or with an astral code point split in two."""
    at = draw(st.integers(0, len(doc)))
    change = draw(st.integers(-1, 5))
    if change == -1:
        # near the end, where a final item loses its terminator or content
        return doc[: max(1, len(doc) - draw(st.integers(1, 3)))]
    if change == 0:
        return doc[:at]
    if change == 1:
        return doc[:at] + draw(_NOISE) + doc[at:]
    if change == 2:
        return doc[:at] + draw(_NOISE) + doc[at + 1 :]
    if change == 3:
        return doc[:at] + doc[at + 1 :]
    if change == 4:
        return doc + draw(st.text(_NOISE, min_size=1, max_size=3))
    return split_astral(doc, at if draw(st.booleans()) else 0)


@st.composite
def documents(draw):
    """A written document in the reader's wider forms (upper-case width
    digits, leading zeros), then perhaps with an item's prefix made wrong and
    perhaps damaged as a whole."""
    table = draw(tables(draw(st.sampled_from(list(ALPHABETS.values())))))
    items = []  # [width digit, length digits, content] or None for a ';'
    for row in table:
        for leaf in row:
            digits = str(utf16_length(leaf))
            if draw(st.integers(0, 9)) == 0:
                digits = "0" * draw(st.integers(1, 16 - len(digits))) + digits
            width = HEX[len(digits) - 1]
            if draw(st.integers(0, 9)) == 0:
                width = width.upper()
            items.append([width, digits, leaf])
        items.append(None)
    leaves = [k for k, item in enumerate(items) if item is not None]
    if leaves:
        for _ in range(draw(st.sampled_from([0, 0, 1, 1, 2]))):
            k = draw(st.sampled_from(leaves))
            items[k] = list(reshape(draw, *items[k]))
    doc = "".join(";" if item is None else "".join(item) for item in items)
    for _ in range(draw(st.sampled_from([0, 1, 1, 2]))):
        doc = damage(draw, doc)
    return doc


@PROPERTY
@given(doc=documents())
def test_agrees_with_model(doc):
    event(f"kind {kind(doc)}")
    event(line_of(doc))
    assert outcome(doc) == model_outcome(doc)


@PROPERTY
@given(doc=st.text(st.one_of(_NOISE, _FORMAT_CHARACTERS), max_size=20))
def test_agrees_with_model_on_noise(doc):
    event(f"kind {kind(doc)}")
    event(line_of(doc))
    assert outcome(doc) == model_outcome(doc)


# ------------------------------------------------ references and memory

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


def _workload() -> None:
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


def test_every_exit_keeps_totals():
    assert_no_leak(_workload, calls=100)


# Lists come from a free list before the allocator; holding many empties it, so
# that every list a call makes is an allocation that can fail.
_SWEEP_SETUP = """
import dwex
_spare = None

def prepare():
    global _spare
    _spare = None
    _spare = [[] for _ in range(200)]
    return DOC
"""

_NARROW_TABLE = [67, 68, 87, 91, 121]
_WIDE_TABLE = [67, 68, 138, 143, 197]

# (document, its fault as (message, line) or None, the lines at which one
# failed allocation is reported: the table, its rows and items, then the
# message or exception of the document's own fault).
_SWEEPS = [
    pytest.param("01a02bc;;03xyz;00;", None, _NARROW_TABLE, id="1 table"),
    pytest.param("01a;01b", (END, 119), _NARROW_TABLE + [119], id="1 content end"),
    pytest.param("01a;g", (token("g", 4), 102), _NARROW_TABLE + [102], id="1 width digit"),
    pytest.param("01a;0x;", (token("x", 5), 112), _NARROW_TABLE + [112], id="1 length digit"),
    pytest.param("0x", (END, 106), [67, 68, 106], id="1 length end"),
    pytest.param("", (END, 64), [64], id="1 empty"),
    pytest.param("01\u4e2d02bc;;03x\u4e2dz;", None, _NARROW_TABLE, id="2 table"),
    pytest.param("01\u4e2d;g", (token("g", 4), 102), _NARROW_TABLE + [102], id="2 width digit"),
    pytest.param("05\u4e2d;", (END, 119), [67, 68, 119], id="2 content end"),
    pytest.param("0\u4e2d;", (token("\u4e2d", 1), 112), [67, 68, 112], id="2 length digit"),
    pytest.param("02" + E + "02bc;;04x" + E + "z;00;", None, _WIDE_TABLE, id="4 table"),
    pytest.param("02" + E + ";g", (token("g", 5), 152), _WIDE_TABLE + [152], id="4 width digit"),
    pytest.param("02" + E + ";1", (END, 160), _WIDE_TABLE + [160], id="4 length end"),
    pytest.param("0x;" + E, (token("x", 1), 166), [67, 68, 166], id="4 length digit"),
    pytest.param("05" + E + ";", (END, 177), [67, 68, 177], id="4 content end"),
    pytest.param("01" + E + ";", (token(E_LOW, 3), 190), [67, 68, 190, 191], id="4 split"),
    pytest.param("02" + E, (END, 195), [67, 68, 195], id="4 no terminator"),
]


@pytest.mark.parametrize("only_one", [False, True], ids=["all fail", "one fails"])
@pytest.mark.parametrize(("doc", "fault", "lines"), _SWEEPS)
def test_allocation_failures_raise_memory_error(doc, fault, lines, only_one):
    expected = dwex.parse(doc) if fault is None else None
    error = None if fault is None else ("SyntaxError", fault[0], ("dwex.parse", fault[1]))
    seen = nomemory_sweep(
        _SWEEP_SETUP.replace("DOC", ascii(doc)),
        "dwex.parse(arg)",
        f"type(result) is list and result == {expected!r}",
        entries=[("dwex.parse", line) for line in lines],
        error=error,
        only_one=only_one,
        # The entry of a SyntaxError is itself made with allocations; when one
        # of them fails, that MemoryError replaces the error without an entry.
        entry_required=only_one and fault is None,
    )
    if only_one:
        # Every allocation site of the document was reached, each at its line.
        assert seen == [("dwex.parse", line) for line in sorted(lines)]
