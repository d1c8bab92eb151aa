"""stringify from the caller's side: the document written for tables of every
shape, the text and UTF-16 length of each leaf, the width digits taken from the
module attribute HEX, and the exception and traceback entry of every failure."""

import builtins
import contextlib
import gc
import sys
import traceback

import pytest

import dwex
from model import model_stringify

DEFAULT_HEX = "0123456789abcdef"
UPPER_HEX = "ABCDEFGHIJKLMNOP"
_ABSENT = object()


def _put_back(namespace, name, value):
    if value is _ABSENT:
        namespace.pop(name, None)
    else:
        namespace[name] = value


@contextlib.contextmanager
def guard_hex():
    """Whatever a block does to HEX (in the module or among the builtins) and to
    builtins.__getattr__ is undone when it ends, however it ends."""
    saved = [(ns, name, ns.get(name, _ABSENT))
             for ns in (dwex.__dict__, builtins.__dict__) for name in ("HEX", "__getattr__")]
    try:
        yield
    finally:
        for ns, name, value in saved:
            _put_back(ns, name, value)


@pytest.fixture(autouse=True)
def _hex_restored():
    with guard_hex():
        yield


def python_error(func):
    """The exception type and message that the interpreter itself raises for
    `func()`: the module must pass such errors on unchanged."""
    try:
        func()
    except BaseException as exc:  # noqa: BLE001 - any exception is the expectation
        return type(exc), str(exc)
    raise AssertionError("expected an exception")


def raises(table, exc_type, message):
    """Calls stringify(table), which must raise exactly `exc_type` with `message`."""
    with pytest.raises(BaseException) as info:
        dwex.stringify(table)
    err = info.value
    assert type(err) is exc_type, repr(err)
    assert str(err) == message
    return err


def assert_entry(err, line, *, raised_in=None):
    """The module adds exactly one traceback entry: file "dwex", function
    "dwex.stringify", the line of the failing statement. An error the module
    or the interpreter raised ends there; one raised by Python code that the
    module called continues with the frame of `raised_in`."""
    entries = traceback.extract_tb(err.__traceback__)
    ours = [i for i, e in enumerate(entries) if e.filename == "dwex"]
    assert [(entries[i].name, entries[i].lineno) for i in ours] == [("dwex.stringify", line)]
    frame = next(f for f, _ in traceback.walk_tb(err.__traceback__)
                 if f.f_code.co_filename == "dwex")
    assert frame.f_globals is vars(dwex)
    if raised_in is None:
        assert ours[0] == len(entries) - 1, entries
    else:
        assert entries[ours[0] + 1].name == raised_in, entries


# ---------------------------------------------------------------------------
# Helper types


class StrSub(str):
    """A str subclass whose own methods must never be consulted."""

    def __str__(self):
        raise AssertionError("__str__ of a str leaf was called")

    def __len__(self):
        raise AssertionError("__len__ of a str leaf was called")

    def __iter__(self):
        raise AssertionError("__iter__ of a str leaf was called")

    def __getitem__(self, index):
        raise AssertionError("__getitem__ of a str leaf was called")


class Text:
    """A leaf whose __str__ returns a fixed object."""

    def __init__(self, text):
        self.text = text

    def __str__(self):
        return self.text


class ReprOnly:
    def __repr__(self):
        return "<r>"


class Impostor:
    """isinstance() says str, the type does not carry the str flag."""

    @property
    def __class__(self):
        return str

    def __str__(self):
        return "real"


class WrongLen(str):
    def __len__(self):
        return 99


class ReversedList(list):
    def __iter__(self):
        return reversed(list(list.__iter__(self)))


class ReversedTuple(tuple):
    def __iter__(self):
        return reversed(list(tuple.__iter__(self)))


class LyingList(list):
    """Index access and length disagree with the storage that list's own iterator reads."""

    def __len__(self):
        return 0

    def __getitem__(self, index):
        return "zz"


class Iterable:
    def __init__(self, items):
        self.items = items

    def __iter__(self):
        return iter(self.items)


class Stop(StopIteration):
    pass


class StoppingIterator:
    """Yields `items`, then raises `stop`; counts the calls of __next__."""

    def __init__(self, items, stop):
        self.items = list(items)
        self.stop = stop
        self.calls = 0

    def __iter__(self):
        return self

    def __next__(self):
        self.calls += 1
        if self.items:
            return self.items.pop(0)
        raise self.stop


class Broken(Exception):
    pass


class Fatal(BaseException):
    pass


def failing_after(items, exc):
    yield from items
    raise exc


# ---------------------------------------------------------------------------
# Documents


DOCUMENTS = [
    pytest.param([], "", id="no rows"),
    pytest.param([[]], ";", id="one empty row"),
    pytest.param([[], []], ";;", id="two empty rows"),
    pytest.param([[""]], "00;", id="empty string"),
    pytest.param([["", "", ""]], "000000;", id="three empty strings"),
    pytest.param([["a", "bc"], ["d"]], "01a02bc;01d;", id="two rows"),
    pytest.param([["abcdefghij"]], "110abcdefghij;", id="ten characters"),
    pytest.param([["a" * 100]], "2100" + "a" * 100 + ";", id="hundred characters"),
    pytest.param([["hello world"]], "111hello world;", id="eleven characters"),
    pytest.param([["\U0001F600"]], "02\U0001F600;", id="astral"),
    pytest.param([["a\U0001F600b"]], "04a\U0001F600b;", id="astral inside"),
    pytest.param([["\ud800"]], "01\ud800;", id="lone surrogate"),
    pytest.param([[";;"]], "02;;;", id="terminators unescaped"),
    pytest.param([["0123"]], "040123;", id="digits unescaped"),
    pytest.param([["x", 1, None]], "01x01104None;", id="int and None"),
    pytest.param([[True, 2.5]], "04True032.5;", id="bool and float"),
    pytest.param(["ab"], "01a01b;", id="str row"),
    pytest.param("ab", "01a;01b;", id="str table"),
    pytest.param("", "", id="empty str table"),
    pytest.param([""], ";", id="empty str row"),
    pytest.param(["a\U0001F600"], "01a02\U0001F600;", id="str row astral"),
    pytest.param([["a", "b", "c"], [], ["de"]], "01a01b01c;;02de;", id="ragged"),
    pytest.param([(), []], ";;", id="tuple and list rows"),
    pytest.param((("a",),), "01a;", id="tuple of tuples"),
    pytest.param([b"ab"], "02970298;", id="bytes row"),
    pytest.param([range(3)], "010011012;", id="range row"),
    pytest.param([[["a"]]], "05['a'];", id="list leaf"),
    pytest.param({"ab": 1}, "01a01b;", id="dict table"),
]


@pytest.mark.parametrize("table, document", DOCUMENTS)
def test_document(table, document):
    result = dwex.stringify(table)
    assert result == document
    assert type(result) is str


def _shapes(items):
    return {
        "list": lambda: list(items),
        "tuple": lambda: tuple(items),
        "generator": lambda: (x for x in items),
        "iterator": lambda: iter(list(items)),
        "custom iterable": lambda: Iterable(list(items)),
        "list subclass": lambda: type("L", (list,), {})(items),
        "tuple subclass": lambda: type("T", (tuple,), {})(items),
        "lying list subclass": lambda: LyingList(items),
    }


SHAPES = list(_shapes([]))


@pytest.mark.parametrize("table_shape", SHAPES)
@pytest.mark.parametrize("row_shape", SHAPES)
def test_walks_agree(table_shape, row_shape):
    # Every way of walking gives the elements in their iteration order.
    rows = [_shapes(r)[row_shape]() for r in (["a", "bc"], [], ["d"])]
    table = _shapes(rows)[table_shape]()
    assert dwex.stringify(table) == "01a02bc;;01d;"


@pytest.mark.parametrize("table, document", [
    pytest.param(ReversedList([["a"], ["b"]]), "01b;01a;", id="list subclass table"),
    pytest.param([ReversedList(["a", "b"])], "01b01a;", id="list subclass row"),
    pytest.param(ReversedTuple((("a",), ("b",))), "01b;01a;", id="tuple subclass table"),
    pytest.param([ReversedTuple(("a", "b"))], "01b01a;", id="tuple subclass row"),
    pytest.param([type("S", (str,), {"__iter__": lambda s: iter("xy")})("ab")], "01x01y;",
                 id="str subclass row"),
])
def test_subclass_walked_through_own_iter(table, document):
    assert dwex.stringify(table) == document


def test_generator_consumed_once():
    table = (row for row in [["a"], ["b"]])
    assert dwex.stringify(table) == "01a;01b;"
    assert dwex.stringify(table) == ""


def test_next_row_requested_after_row_is_written():
    events = []

    class Leaf:
        def __init__(self, text):
            self.text = text

        def __str__(self):
            events.append(("str", self.text))
            return self.text

    class RecordingHex:
        def __getitem__(self, index):
            events.append(("hex", index))
            return DEFAULT_HEX[index]

    def row(name, leaves):
        events.append(("row begins", name))
        yield from leaves
        events.append(("row ends", name))

    def table():
        events.append(("table next", "r0"))
        yield row("r0", [Leaf("a"), Leaf("bc")])
        events.append(("table next", "r1"))
        yield row("r1", [])
        events.append(("table next", "r2"))
        yield row("r2", [Leaf("d")])
        events.append(("table ends",))

    dwex.HEX = RecordingHex()
    assert dwex.stringify(table()) == "01a02bc;;01d;"
    assert events == [
        ("table next", "r0"), ("row begins", "r0"),
        ("str", "a"), ("hex", 0), ("str", "bc"), ("hex", 0), ("row ends", "r0"),
        ("table next", "r1"), ("row begins", "r1"), ("row ends", "r1"),
        ("table next", "r2"), ("row begins", "r2"), ("str", "d"), ("hex", 0), ("row ends", "r2"),
        ("table ends",),
    ]


# ---------------------------------------------------------------------------
# Text and length of a leaf


def test_str_subclass_leaf_used_as_it_is():
    result = dwex.stringify([[StrSub("abc"), StrSub("\U0001F600"), StrSub("")]])
    assert result == "03abc02\U0001F60000;"
    assert type(result) is str


def test_str_flag_decides_not_isinstance():
    assert isinstance(Impostor(), str)
    assert dwex.stringify([[Impostor()]]) == "04real;"


@pytest.mark.parametrize("leaf, document", [
    pytest.param(0, "010;", id="zero"),
    pytest.param(-5, "02-5;", id="negative"),
    pytest.param(10**20, "121" + "1" + "0" * 20 + ";", id="big int"),
    pytest.param(None, "04None;", id="None"),
    pytest.param(False, "05False;", id="False"),
    pytest.param(1j, "021j;", id="complex"),
    pytest.param(b"ab", "05b'ab';", id="bytes"),
    pytest.param(ReprOnly(), "03<r>;", id="repr only"),
    pytest.param(Text("\U0001F600\u20ac"), "03\U0001F600\u20ac;", id="astral __str__"),
    pytest.param(Text(WrongLen("abc")), "03abc;", id="__str__ returns str subclass"),
    pytest.param(Text(""), "00;", id="__str__ returns empty"),
])
def test_non_str_leaf_through_str(leaf, document):
    assert dwex.stringify([[leaf]]) == document


@pytest.mark.parametrize("result", [1, b"x", None], ids=["int", "bytes", "None"])
def test_str_returning_non_str(result):
    leaf = Text(result)
    exc_type, message = python_error(lambda: str(leaf))
    err = raises([[leaf]], exc_type, message)
    assert exc_type is TypeError
    assert_entry(err, 34)


@pytest.mark.parametrize("text, prefix", [
    pytest.param("\x00", "01", id="nul"),
    pytest.param("\xe9", "01", id="latin-1"),
    pytest.param("\xff\xfe\xe9", "03", id="latin-1 three"),
    pytest.param("\u20ac", "01", id="bmp"),
    pytest.param("\uffff", "01", id="last bmp"),
    pytest.param("\U00010000", "02", id="first astral"),
    pytest.param("\U0010ffff", "02", id="last astral"),
    pytest.param("\U0001F600", "02", id="emoji"),
    pytest.param("a\U0001F600b", "04", id="astral between ascii"),
    pytest.param("\xe9\u20ac\U0001F600", "04", id="all widths"),
    pytest.param("\ud800", "01", id="lone high surrogate"),
    pytest.param("\udfff", "01", id="lone low surrogate"),
    pytest.param("\udc00\ud800", "02", id="reversed surrogates"),
    pytest.param("\ud83d\ude00", "02", id="pair as two code points"),
    pytest.param("\ud800\U0001F600", "03", id="lone surrogate in wide string"),
    pytest.param("\U0001F600" * 4 + "a", "09", id="nine units"),
    pytest.param("\U0001F600" * 5, "110", id="ten units from five code points"),
    pytest.param("\U0001F600" * 50, "2100", id="hundred units"),
])
def test_utf16_length(text, prefix):
    assert dwex.stringify([[text]]) == prefix + text + ";"


@pytest.mark.parametrize("text, prefix", [
    pytest.param("a" * 9, "09", id="9"),
    pytest.param("a" * 10, "110", id="10"),
    pytest.param("a" * 99, "199", id="99"),
    pytest.param("a" * 100, "2100", id="100"),
    pytest.param("a" * 999, "2999", id="999"),
    pytest.param("a" * 1000, "31000", id="1000"),
    pytest.param("\u20ac" * 1000, "31000", id="1000 bmp"),
    pytest.param("a" * 9999, "39999", id="9999"),
    pytest.param("a" * 10**4, "410000", id="10^4"),
    pytest.param("a" * 10**5, "5100000", id="10^5"),
    pytest.param("\U0001F600" * 50000, "5100000", id="10^5 units astral"),
    pytest.param("a" * 10**6, "61000000", id="10^6"),
])
def test_long_length(text, prefix):
    result = dwex.stringify([[text, "z"]])
    assert result == prefix + text + "01z;"


# ---------------------------------------------------------------------------
# HEX


@pytest.mark.parametrize("hex_value, document", [
    pytest.param(UPPER_HEX, "A1aB10" + "x" * 10 + "C100" + "y" * 100 + ";", id="upper letters"),
    pytest.param(["<%d>" % i for i in range(16)],
                 "<0>1a<1>10" + "x" * 10 + "<2>100" + "y" * 100 + ";", id="list of texts"),
    pytest.param({0: "p", 1: "q", 2: "r"}, "p1aq10" + "x" * 10 + "r100" + "y" * 100 + ";",
                 id="dict"),
    pytest.param([StrSub("S")] * 3, "S1aS10" + "x" * 10 + "S100" + "y" * 100 + ";",
                 id="str subclass elements"),
])
def test_hex_rebound(hex_value, document):
    dwex.HEX = hex_value
    assert dwex.stringify([["a", "x" * 10, "y" * 100]]) == document


def test_hex_indexed_once_per_leaf_with_digit_count_minus_one():
    seen = []

    class RecordingHex:
        def __getitem__(self, index):
            seen.append(index)
            return DEFAULT_HEX[index]

    dwex.HEX = RecordingHex()
    leaves = ["", "x" * 9, "x" * 10, "x" * 99, "x" * 100, "x" * 1000, 12345, "\U0001F600" * 5]
    assert dwex.stringify([leaves[:3], [], leaves[3:]]) == (
        "00" "09" + "x" * 9 + "110" + "x" * 10 + ";;"
        "199" + "x" * 99 + "2100" + "x" * 100 + "31000" + "x" * 1000
        + "0512345" "110" + "\U0001F600" * 5 + ";")
    assert seen == [0, 0, 1, 1, 2, 3, 0, 1]
    assert all(type(index) is int for index in seen)


@pytest.mark.parametrize("hex_value, leaf, exc_type, message", [
    pytest.param("0", "x" * 10, IndexError, "string index out of range", id="short str"),
    pytest.param("", "a", IndexError, "string index out of range", id="empty str"),
    pytest.param(["0"], "x" * 10, IndexError, "list index out of range", id="short list"),
    pytest.param(5, "a", TypeError, "'int' object is not subscriptable", id="int"),
    pytest.param(None, "a", TypeError, "'NoneType' object is not subscriptable", id="None"),
    pytest.param({1: "x"}, "a", KeyError, "0", id="dict without the index"),
])
def test_hex_item_access_fails(hex_value, leaf, exc_type, message):
    dwex.HEX = hex_value
    err = raises([["ok", leaf]], exc_type, message)
    assert_entry(err, 50)


@pytest.mark.parametrize("exc", [Broken("no digit"), StopIteration("not an end"), Fatal("stop")],
                         ids=["exception", "StopIteration", "BaseException"])
def test_hex_getitem_raising_propagates(exc):
    class RaisingHex:
        def __getitem__(self, index):
            raise exc

    dwex.HEX = RaisingHex()
    err = raises([["a"], ["b"]], type(exc), str(exc))
    assert err is exc
    assert_entry(err, 50, raised_in="__getitem__")


@pytest.mark.parametrize("table, document", [
    pytest.param([], "", id="no rows"),
    pytest.param([[]], ";", id="one empty row"),
    pytest.param([[], (), iter([])], ";;;", id="three empty rows"),
    pytest.param(iter([]), "", id="empty iterator"),
])
def test_hex_deleted_tables_without_leaves(table, document):
    del dwex.HEX
    assert dwex.stringify(table) == document


def test_hex_deleted_first_leaf_fails():
    del dwex.HEX
    err = raises([[], ["a"]], NameError, "name 'HEX' is not defined")
    assert_entry(err, 50)


def test_hex_from_builtins_when_module_has_none():
    del dwex.HEX
    builtins.HEX = UPPER_HEX
    assert dwex.stringify([["a"]]) == "A1a;"
    dwex.HEX = DEFAULT_HEX
    assert dwex.stringify([["a"]]) == "01a;"


def test_hex_looked_up_for_every_leaf():
    # With HEX in neither dict, every lookup reaches the builtins module's
    # attribute access, which a module-level __getattr__ lets us count.
    looked_up = []

    def module_getattr(name):
        looked_up.append(name)
        if name == "HEX":
            return DEFAULT_HEX
        raise AttributeError(name)

    del dwex.HEX
    builtins.__getattr__ = module_getattr
    assert dwex.stringify([["a", "b"], [], ["c"]]) == "01a01b;;01c;"
    assert looked_up == ["HEX"] * 3


def test_hex_builtins_lookup_error_propagates():
    def module_getattr(name):
        raise Broken(name)

    del dwex.HEX
    builtins.__getattr__ = module_getattr
    err = raises([["a"]], Broken, "HEX")
    assert_entry(err, 50, raised_in="module_getattr")


class _SameHashAsHex:
    """A key that lands in the probe sequence of "HEX" and fails to compare."""

    def __init__(self, exc):
        self.exc = exc

    def __hash__(self):
        return hash("HEX")

    def __eq__(self, other):
        raise self.exc


@contextlib.contextmanager
def _colliding_key(exc):
    key = _SameHashAsHex(exc)
    dwex.__dict__[key] = None
    try:
        yield
    finally:
        del dwex.__dict__[key]


def test_hex_lookup_error_in_module_dict_falls_back_to_builtins():
    del dwex.HEX
    builtins.HEX = UPPER_HEX
    with _colliding_key(Broken("compare")):
        assert dwex.stringify([["a"]]) == "A1a;"
    del builtins.HEX
    with _colliding_key(Broken("compare")):
        err = raises([["a"]], NameError, "name 'HEX' is not defined")
    assert_entry(err, 50)


def test_hex_lookup_base_exception_in_module_dict_propagates():
    del dwex.HEX
    builtins.HEX = UPPER_HEX
    with _colliding_key(Fatal("compare")):
        err = raises([["a"]], Fatal, "compare")
    assert_entry(err, 50, raised_in="__eq__")


def test_hex_rebound_by_leaf_applies_from_that_leaf_on():
    class Rebinding:
        def __str__(self):
            dwex.HEX = UPPER_HEX
            return "r"

    assert dwex.stringify([["a", Rebinding(), "c"], ["d"]]) == "01aA1rA1c;A1d;"


def test_hex_deleted_by_leaf_fails_that_leaf():
    converted = []

    class Deleting:
        def __str__(self):
            converted.append(self)
            del dwex.HEX
            return "r"

    err = raises([["a", Deleting(), "c"]], NameError, "name 'HEX' is not defined")
    assert_entry(err, 50)
    assert len(converted) == 1


@pytest.mark.parametrize("bad, name", [(7, "int"), (b"0", "bytes"), (None, "NoneType")])
def test_hex_non_str_element_fails_at_join(bad, name):
    converted, indexed = [], []

    class Leaf:
        def __init__(self, text):
            self.text = text

        def __str__(self):
            converted.append(self.text)
            return self.text

    class HalfBadHex:
        # The second leaf gets a width digit that is not a str.
        def __getitem__(self, index):
            indexed.append(index)
            return bad if len(indexed) == 2 else DEFAULT_HEX[index]

    dwex.HEX = HalfBadHex()
    table = [[Leaf("a"), Leaf("b")], [], [Leaf("c")]]
    # Pieces: "0" "1" "a", then the bad digit at index 3; the join finds it only
    # after every leaf was written.
    err = raises(table, TypeError, f"sequence item 3: expected str instance, {name} found")
    assert_entry(err, 54)
    assert converted == ["a", "b", "c"]
    assert indexed == [0, 0, 0]


def test_hex_rebinding_changes_later_calls():
    assert dwex.stringify([["a"]]) == "01a;"
    dwex.HEX = UPPER_HEX
    assert dwex.stringify([["a"]]) == "A1a;"
    dwex.__dict__["HEX"] = "Z" * 16
    assert dwex.stringify([["a"]]) == "Z1a;"
    vars(dwex).update(HEX="Y" * 16)
    assert dwex.stringify([["a"]]) == "Y1a;"
    setattr(dwex, "HEX", DEFAULT_HEX)
    assert dwex.stringify([["a"]]) == "01a;"


def test_hex_changed_in_place():
    # The element is fetched from the object at every leaf, so changing the
    # object itself counts as much as rebinding the name.
    digits = list(DEFAULT_HEX)
    dwex.HEX = digits
    assert dwex.stringify([["a"]]) == "01a;"
    digits[0] = "Z"
    assert dwex.stringify([["a"]]) == "Z1a;"

    class Changing:
        def __str__(self):
            digits[0] = "Q"
            return "r"

    assert dwex.stringify([["a", Changing(), "c"]]) == "Z1aQ1rQ1c;"


def test_hex_str_subclass_item_access():
    # A str subclass HEX is indexed through its own item access, not its characters.
    class Hex(str):
        def __getitem__(self, index):
            return f"<{index}>"

    dwex.HEX = Hex(DEFAULT_HEX)
    assert dwex.stringify([["a", "x" * 10]]) == "<0>1a<1>10" + "x" * 10 + ";"


def test_builtins_hex_rebound_between_and_during_calls():
    del dwex.HEX
    builtins.HEX = UPPER_HEX
    assert dwex.stringify([["a"]]) == "A1a;"
    builtins.HEX = "Z" * 16
    assert dwex.stringify([["a"]]) == "Z1a;"

    class Rebinding:
        def __str__(self):
            builtins.HEX = DEFAULT_HEX
            return "r"

    assert dwex.stringify([["a", Rebinding()]]) == "Z1a01r;"
    # A module binding made during the call hides the builtin from that leaf on.
    builtins.HEX = UPPER_HEX

    class Binding:
        def __str__(self):
            dwex.HEX = "Y" * 16
            return "r"

    assert dwex.stringify([["a", Binding(), "c"]]) == "A1aY1rY1c;"


# ---------------------------------------------------------------------------
# Failures


class NotAnIterator:
    def __iter__(self):
        return 1


class IterStops:
    def __iter__(self):
        raise StopIteration("from __iter__")


def _generator_raising_stop():
    yield ["a"]
    raise StopIteration


def _row_generator_raising_stop():
    yield "a"
    raise StopIteration


ITERATION_FAILURES = [
    # (id, table factory, exception factory or None, line, frame that raised)
    ("table None", lambda: None,
     lambda: python_error(lambda: iter(None)), 31, None),
    ("table int", lambda: 5,
     lambda: python_error(lambda: iter(5)), 31, None),
    ("table __iter__ returns non-iterator", lambda: NotAnIterator(),
     lambda: python_error(lambda: iter(NotAnIterator())), 31, None),
    ("table __iter__ raises StopIteration", lambda: IterStops(),
     lambda: (StopIteration, "from __iter__"), 31, "__iter__"),
    ("table generator raises", lambda: failing_after([["a"]], Broken("table")),
     lambda: (Broken, "table"), 31, "failing_after"),
    ("table generator raises BaseException", lambda: failing_after([["a"]], Fatal("table")),
     lambda: (Fatal, "table"), 31, "failing_after"),
    ("table generator raises StopIteration", _generator_raising_stop,
     lambda: (RuntimeError, "generator raised StopIteration"), 31, None),
    ("row None", lambda: [["a"], None],
     lambda: python_error(lambda: iter(None)), 32, None),
    ("row int", lambda: [3],
     lambda: python_error(lambda: iter(3)), 32, None),
    ("row __iter__ returns non-iterator", lambda: [NotAnIterator()],
     lambda: python_error(lambda: iter(NotAnIterator())), 32, None),
    ("row __iter__ raises StopIteration", lambda: [["a"], IterStops(), ["b"]],
     lambda: (StopIteration, "from __iter__"), 32, "__iter__"),
    ("row generator raises", lambda: [failing_after(["a"], Broken("row"))],
     lambda: (Broken, "row"), 32, "failing_after"),
    ("row generator raises BaseException", lambda: [failing_after(["a"], Fatal("row"))],
     lambda: (Fatal, "row"), 32, "failing_after"),
    ("row generator raises StopIteration", lambda: [_row_generator_raising_stop()],
     lambda: (RuntimeError, "generator raised StopIteration"), 32, None),
]


@pytest.mark.parametrize("make_table, expect, line, raised_in",
                         [pytest.param(*case[1:], id=case[0]) for case in ITERATION_FAILURES])
def test_iteration_failure(make_table, expect, line, raised_in):
    exc_type, message = expect()
    err = raises(make_table(), exc_type, message)
    assert_entry(err, line, raised_in=raised_in)


class RaisingStr:
    def __init__(self, exc):
        self.exc = exc

    def __str__(self):
        raise self.exc


@pytest.mark.parametrize("exc", [Broken("leaf"), StopIteration("not an end"), Fatal("leaf")],
                         ids=["exception", "StopIteration", "BaseException"])
def test_leaf_str_raising_propagates(exc):
    err = raises([["a", RaisingStr(exc), "c"], ["d"]], type(exc), str(exc))
    assert err is exc
    assert_entry(err, 34, raised_in="__str__")


def test_leaf_int_too_long_for_str():
    if sys.get_int_max_str_digits() == 0:
        pytest.skip("integer string conversion is unlimited here")
    big = 10 ** (sys.get_int_max_str_digits() + 1)
    exc_type, message = python_error(lambda: str(big))
    err = raises([[big]], exc_type, message)
    assert_entry(err, 34)


@pytest.mark.parametrize("stop", [Stop(), Stop("with a value"), StopIteration()],
                         ids=["subclass", "subclass with value", "StopIteration"])
def test_stop_iteration_from_next_ends_walk(stop):
    table = StoppingIterator([["a"], StoppingIterator(["b", "c"], stop)], stop)
    row = table.items[1]
    assert dwex.stringify(table) == "01a;01b01c;"
    # Exhaustion is asked for once: one call per element plus the one that stops.
    assert table.calls == 3
    assert row.calls == 3


# ---------------------------------------------------------------------------
# Rows and tables changed during the walk


def test_row_appended_by_leaf_is_written():
    row = []

    class Appending:
        def __str__(self):
            row.append("z")
            return "p"

    row.extend(["a", Appending(), "c"])
    assert dwex.stringify([row]) == "01a01p01c01z;"


def test_table_appended_by_leaf_is_written():
    table = []

    class Appending:
        def __str__(self):
            table.append(["late"])
            return "p"

    table.append([Appending()])
    assert dwex.stringify(table) == "01p;04late;"


def test_table_shortened_by_leaf():
    # The length is read again before every row, so the vanished row is
    # simply not there: the walk goes on with what now follows.
    table = []

    class Deleting:
        def __str__(self):
            del table[1]
            return "x"

    table.extend([["a", Deleting()], ["b"], ["c"]])
    assert dwex.stringify(table) == "01a01x;01c;"


def test_row_shortened_by_leaf():
    row = []

    class Deleting:
        def __str__(self):
            del row[2]
            return "x"

    row.extend(["a", Deleting(), "c", "d"])
    assert dwex.stringify([row]) == "01a01x01d;"


def test_table_cleared_by_leaf():
    # The current row and leaf then live on the call's own references alone.
    table = []

    class Clearing:
        def __str__(self):
            table.clear()
            return "x"

    table.extend([["a", Clearing(), "c"], ["b"]])
    assert dwex.stringify(table) == "01a01x01c;"


def test_row_cleared_by_its_own_leaf():
    row = []

    class Clearing:
        def __str__(self):
            row.clear()
            return "x"

    row.extend([Clearing(), "b"])
    assert dwex.stringify([row]) == "01x;"


@pytest.mark.parametrize("change, document", [
    pytest.param(lambda row: row.append("z"), "01x01b01z;", id="append"),
    pytest.param(lambda row: row.clear(), "01x;", id="clear"),
])
def test_row_held_only_by_call_changed_by_leaf(change, document):
    # A row that a generator hands over fresh is referenced by the call alone;
    # the leaf reaches it through the collector and changes it anyway.
    class Changing:
        def __str__(self):
            rows = [r for r in gc.get_referrers(self) if type(r) is list]
            assert len(rows) == 1
            change(rows[0])
            return "x"

    def table():
        yield [Changing(), "b"]

    assert dwex.stringify(table()) == document


# ---------------------------------------------------------------------------
# References


def _refcounts(objects):
    return [sys.getrefcount(obj) for obj in objects]


@pytest.mark.parametrize("case", ["success", "leaf raises", "row not iterable", "hex fails"])
def test_references_of_input_unchanged(case):
    # Fresh objects only: literals and one-character strings are immortal.
    leaf = Text("".join(["t", "t"]))
    row = ["".join(["a", "a"]), leaf]
    table = [row, ("b",)]
    hex_value = list(DEFAULT_HEX)
    if case == "leaf raises":
        leaf.text = 5
    elif case == "row not iterable":
        table.append(None)
    elif case == "hex fails":
        hex_value = ["0"]
        row.append("y" * 10)
    dwex.HEX = hex_value
    watched = [leaf, row, table, hex_value]
    before = _refcounts(watched)
    try:
        dwex.stringify(table)
    except (TypeError, IndexError):
        pass
    gc.collect()
    assert _refcounts(watched) == before


# ---------------------------------------------------------------- sized in advance or not

class _Text(str):
    def __str__(self):
        raise AssertionError("a str subclass leaf is written without its __str__")


class _Row(list):
    pass


def _gen(items):
    yield from items


# Tables of exact lists and tuples of str are measured before they are
# written; every other shape, and every HEX that is not an exact str long
# enough and no wider than the leaves, takes the general writer. Both give the
# same document, at the narrowest storage that holds it.
@pytest.mark.parametrize("make, hex_digits", [
    (lambda: [["a", "bc"], ("d",)], DEFAULT_HEX),
    (lambda: (["é" * 12, "x"], ["\u4e00", "\U0001f600" * 5]), DEFAULT_HEX),
    (lambda: [[_Text("sub"), "x" * 100]], DEFAULT_HEX),
    (lambda: [[], ()], DEFAULT_HEX),
    (lambda: _gen([["a"]]), DEFAULT_HEX),
    (lambda: _Row([["a"]]), DEFAULT_HEX),
    (lambda: [_Row(["a"]), _gen(["b"])], DEFAULT_HEX),
    (lambda: [["a", 1, None]], DEFAULT_HEX),
    (lambda: [["a", "b"], "cd"], DEFAULT_HEX),
    (lambda: [["a" * 10]], UPPER_HEX),
    (lambda: [["a" * 10]], "0\u00e9"),
    (lambda: [["a"]], "\u00e9"),
    (lambda: [["é"]], "\u4e00\u4e01"),
    (lambda: [["\u4e00" * 10]], "0\U0001f600"),
    (lambda: [["a" * 10]], ["x", "y"]),
])
def test_sized_and_general_writers_agree(make, hex_digits):
    dwex.HEX = hex_digits
    # Equal str compare equal only at the same storage width.
    assert dwex.stringify(make()) == model_stringify(make(), hex_digits)


# Short cells go in as fixed-size moves: a length field from a table (below
# 100 units) and the content as the word that ends with it, reaching back into
# the str's header. Near either end of the document, for a cell that is not a
# compact str (a subclass), and past 99 units the exact copy runs instead.
# Every length around those limits, at every storage width of cell and
# document, at the start, middle and end of the document.
_CHARS = {"ascii": "a;0", "latin1": "é;", "bmp": "\u4e00;", "astral": "\U0001f600;"}
_WIDTH_ORDER = list(_CHARS)


def _cell(width, n):
    chars = _CHARS[width]
    return "".join(chars[k % len(chars)] for k in range(n))


@pytest.mark.parametrize("cell_width, document_width", [
    (cell, document) for k, cell in enumerate(_WIDTH_ORDER) for document in _WIDTH_ORDER[k:]
])
@pytest.mark.parametrize("as_subclass", [False, True], ids=["str", "subclass"])
def test_short_cells_at_every_length(cell_width, document_width, as_subclass):
    lengths = [*range(12), 31, 32, 33, 49, 50, 51, 98, 99, 100, 101]
    cells = [_Text(_cell(cell_width, n)) if as_subclass else _cell(cell_width, n) for n in lengths]
    widest = [_cell(document_width, 1)]
    rows = [cells[k:] + cells[:k] for k in range(len(cells))]
    for table in ([cells, widest], [widest, *rows], [*rows, widest], [[c] for c in cells] + [widest]):
        assert dwex.stringify(table) == model_stringify(table, DEFAULT_HEX)
        assert dwex.parse(dwex.stringify(table)) == [list(row) for row in table]


# ---------------------------------------------------------------- one pass over ASCII tables

# A table of at least 256 leaves whose sampled rows (every 32nd part of the
# table) are ASCII is written in one pass into a document sized from that
# sample. A leaf that is not a compact ASCII str, a length field that HEX
# does not give in ASCII, or a document that fills up hands the rest from
# that leaf on to the exact writer, after what is written; a leaf or row
# that needs Python code hands that rest to the general writer. Every route
# writes what the model writes, at the narrowest storage.
_ROWS = 640  # 20 rows between two sampled ones


def _ascii_rows(widths=(3, 1, 12, 0)):
    return [["".join(["k", str(r), "x" * widths[(r + c) % len(widths)]]) for c in range(r % 5 + 1)]
            for r in range(_ROWS)]


def _with_leaf(leaf, at_row):
    rows = _ascii_rows()
    rows[at_row].append(leaf)
    return rows


def _long_after(at_row, width):
    rows = _ascii_rows()
    for row in rows[at_row:]:
        row.append("y" * width)
    return rows


class _Rebinding:
    def __str__(self):
        dwex.HEX = UPPER_HEX
        return "r"


_LATE = _ROWS - 1  # no sampled row: the one pass has written every row before it
_ONE_PASS_TABLES = {
    "all ascii": (_ascii_rows, DEFAULT_HEX),
    "tuples": (lambda: tuple(tuple(row) for row in _ascii_rows()), DEFAULT_HEX),
    "upper hex": (_ascii_rows, UPPER_HEX),
    "empty rows at the end": (lambda: _ascii_rows() + [[] for _ in range(300)], DEFAULT_HEX),
    "longer rows than sampled": (lambda: _long_after(_ROWS // 2 + 1, 40), DEFAULT_HEX),
    "leaves past 99 units": (lambda: _long_after(7, 150), DEFAULT_HEX),
    "latin-1 leaf late": (lambda: _with_leaf("é", _LATE), DEFAULT_HEX),
    "bmp leaf late": (lambda: _with_leaf("\u4e00x", _LATE), DEFAULT_HEX),
    "astral leaf late": (lambda: _with_leaf("\U0001f600", _LATE), DEFAULT_HEX),
    "bmp leaf in the middle": (lambda: _with_leaf("\u4e00" * 20, _ROWS // 2 + 1), DEFAULT_HEX),
    "bmp leaf sampled": (lambda: _with_leaf("\u4e00", 0), DEFAULT_HEX),
    "ascii subclass leaf": (lambda: _with_leaf(_Text("sub"), _ROWS // 2 + 1), DEFAULT_HEX),
    "latin-1 subclass leaf": (lambda: _with_leaf(_Text("é"), _LATE), DEFAULT_HEX),
    "int leaf late": (lambda: _with_leaf(7, _LATE), DEFAULT_HEX),
    "row generator late": (lambda: _ascii_rows()[:-1] + [_gen(["g"])], DEFAULT_HEX),
    "hex wide past one digit": (lambda: _long_after(_LATE, 12), "0\u00e9"),
    "hex of one digit": (lambda: [[leaf[:9] for leaf in row] for row in _ascii_rows()], "0"),
    "hex too short late": (lambda: _long_after(_LATE, 12), "0"),
}


@pytest.mark.parametrize("name", list(_ONE_PASS_TABLES))
def test_one_pass_and_its_handovers(name):
    make, hex_digits = _ONE_PASS_TABLES[name]
    dwex.HEX = hex_digits
    if name == "hex too short late":
        err = raises(make(), IndexError, "string index out of range")
        assert_entry(err, 50)
        return
    document = dwex.stringify(make())
    assert document == model_stringify(make(), hex_digits)
    if hex_digits == DEFAULT_HEX:
        assert dwex.parse(document) == [[leaf if isinstance(leaf, str) else str(leaf) for leaf in row]
                                        for row in make()]


def test_one_pass_leaf_rebinding_hex_late():
    dwex.HEX = DEFAULT_HEX
    rows = _with_leaf(_Rebinding(), _LATE)
    rows[_LATE].append("z")
    document = dwex.stringify(rows)
    head = model_stringify(rows[:_LATE], DEFAULT_HEX)
    assert document == head + model_stringify([rows[_LATE][:-2]], DEFAULT_HEX)[:-1] + "A1rA1z;"


def _wider_late(width):
    rows = [["u" * width] for _ in range(_ROWS)]
    rows[_LATE].append("\u4e00")
    return rows


# The document of the one pass is sized from its sample before it is cut to
# its length, and the ASCII part written before a wider leaf is widened in
# place: whatever the table, a call never takes more than the final document
# and 8 bytes a leaf.
@pytest.mark.parametrize("rows", [
    [["s" * 90] * 4 if r % 20 == 0 else ["t"] * 4 for r in range(_ROWS)],
    _wider_late(4),
    _wider_late(200),
], ids=["sampled rows longer", "short ascii part widened", "long ascii part widened"])
def test_one_pass_room_bounded_by_leaves(rows):
    from leakcheck import traced_peak

    leaves = sum(map(len, rows))
    document, peak = traced_peak(lambda: dwex.stringify(rows))
    assert document == model_stringify(rows)
    assert peak <= sys.getsizeof(document) + 8 * leaves
