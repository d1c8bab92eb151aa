"""Reliability of stringify and of the module frame: no reference or memory
block is left behind by any success or failure path (debug interpreter), and
with allocations failing at every possible point, calls and the import end
with their result or MemoryError, never with SystemError or a crash."""

import builtins

import pytest

import dwex
from leakcheck import IS_DEBUG, assert_no_leak, nomemory_sweep
from test_serialize import (
    UPPER_HEX, Broken, IterStops, RaisingStr, ReversedList, Stop,
    StoppingIterator, StrSub, Text, failing_after, guard_hex, python_error,
)

_testcapi = pytest.importorskip("_testcapi")

debug_only = pytest.mark.skipif(not IS_DEBUG, reason="needs the reference total of a debug build")

_DELETE = object()


class RaisingEq(str):
    """A keyword name equal to nothing: comparing it raises."""

    def __eq__(self, other):
        raise Broken("compare")

    __hash__ = str.__hash__


class KeywordName(str):
    pass


def _with_hex(hex_value, call):
    """`call` with HEX rebound (or deleted) around it, restored afterwards."""
    if hex_value is None:
        return call

    def run():
        with guard_hex():
            if hex_value is _DELETE:
                del dwex.HEX
            else:
                dwex.HEX = hex_value
            return call()
    return run


def _expect(call, error):
    """A runner that makes the call and checks its outcome: `error` is None
    for a call that succeeds, or (type, message) for one that fails."""
    if error is None:
        def run():
            assert type(call()) in (str, list)
        return run
    exc_type, message = error

    def run():
        try:
            call()
        except BaseException as exc:  # noqa: BLE001 - the type is checked below
            assert type(exc) is exc_type and str(exc) == message, repr(exc)
        else:
            raise AssertionError("no exception")
    return run


def _rows():
    return [["a", "bc"], [], ["d"]]


def _ascii_rows():
    return [["k%d" % r, "x" * (r % 12)] for r in range(300)]


S = dwex.stringify
P = dwex.parse

STRINGIFY_SUCCESS = [
    ("list rows", None, lambda: S(_rows())),
    ("tuple table and rows", None, lambda: S((("a", "bc"), (), ("d",)))),
    ("generator rows", None, lambda: S(iter(row) for row in _rows())),
    ("str table", None, lambda: S("abc")),
    ("non-str leaves", None, lambda: S([[1, None, 2.5, True, b"x", Text("t")]])),
    ("astral and surrogates", None, lambda: S([["\U0001F600x", "\ud800", "\xe9\u20ac"]])),
    ("str subclass leaves", None, lambda: S([[StrSub("abc"), Text(StrSub("d"))]])),
    ("list subclass with own iter", None, lambda: S(ReversedList([ReversedList(["a", "b"])]))),
    ("StopIteration subclass ends walk", None,
     lambda: S(StoppingIterator([StoppingIterator(["a"], Stop())], Stop("v")))),
    ("long text", None, lambda: S([["x" * 1000, "\U0001F600" * 100]])),
    ("no rows", None, lambda: S([])),
    ("keyword", None, lambda: S(lists=_rows())),
    ("str subclass keyword", None, lambda: S(**{KeywordName("lists"): _rows()})),
    ("HEX upper", UPPER_HEX, lambda: S(_rows())),
    ("HEX custom", [str(i) for i in range(16)], lambda: S(_rows())),
    ("HEX deleted, no leaves", _DELETE, lambda: S([[], ()])),
    # Tables large enough for the one pass, and each way it hands over.
    ("one pass", None, lambda: S(_ascii_rows())),
    ("one pass, wider leaf late", None, lambda: S(_ascii_rows() + [["\u4e00"]])),
    ("one pass, subclass leaf late", None, lambda: S(_ascii_rows() + [[StrSub("s")]])),
    ("one pass, longer rows late", None, lambda: S(_ascii_rows() + [["y" * 200] * 9] * 30)),
    ("one pass, non-str leaf late", None, lambda: S(_ascii_rows() + [[1.5]])),
]

BINDING = "stringify() takes exactly 1 positional argument (%d given)"

STRINGIFY_FAILURES = [
    # 31
    ("table None", None, lambda: S(None), TypeError, "'NoneType' object is not iterable"),
    ("table iterator raises", None, lambda: S(failing_after([["a"]], Broken("t"))), Broken, "t"),
    ("table __iter__ raises StopIteration", None, lambda: S(IterStops()),
     StopIteration, "from __iter__"),
    # 32
    ("row None", None, lambda: S([["a"], None]), TypeError, "'NoneType' object is not iterable"),
    ("row iterator raises", None, lambda: S([failing_after(["a"], Broken("r"))]), Broken, "r"),
    # 34
    ("__str__ raises", None, lambda: S([["a", RaisingStr(Broken("s"))]]), Broken, "s"),
    ("__str__ returns int", None, lambda: S([[Text(1)]]),
     *python_error(lambda: str(Text(1)))),
    # 50
    ("HEX too short", "0", lambda: S([["a", "b" * 10]]), IndexError, "string index out of range"),
    ("HEX not subscriptable", 5, lambda: S([["a"]]), TypeError,
     "'int' object is not subscriptable"),
    ("HEX deleted", _DELETE, lambda: S([["a"]]), NameError, "name 'HEX' is not defined"),
    # 54
    ("HEX element not str", [7] * 16, lambda: S([["a"], ["b"]]), TypeError,
     "sequence item 0: expected str instance, int found"),
    ("one pass, __str__ raises late", None, lambda: S(_ascii_rows() + [[RaisingStr(Broken("s"))]]),
     Broken, "s"),
    # binding, 23
    ("no argument", None, lambda: S(), TypeError, BINDING % 0),
    ("two arguments", None, lambda: S([], []), TypeError, BINDING % 2),
    ("two arguments and keyword", None, lambda: S([], [], lists=[]), TypeError, BINDING % 2),
    ("empty keyword mapping", None, lambda: S(**{}), TypeError, BINDING % 0),
    ("unexpected keyword", None, lambda: S(x=[]), TypeError,
     "stringify() got an unexpected keyword argument 'x'"),
    ("multiple values", None, lambda: S([], lists=[]), TypeError,
     "stringify() got multiple values for keyword argument 'lists'"),
    ("keyword name not str", None, lambda: _testcapi.pyobject_vectorcall(S, ([], 1), (1,)),
     TypeError, "stringify() keywords must be strings"),
    ("keyword name compare raises", None, lambda: S(**{RaisingEq("lists"): []}), Broken,
     "compare"),
    ("generic call, key not str", None,
     lambda: _testcapi.pyobject_fastcalldict(S.__call__, ([],), {1: 2}), TypeError,
     "keywords must be strings"),
]

PARSE_TYPE = "Argument 'dwex' has incorrect type (expected str, got %s)"

PARSE_BINDING = [
    ("None", lambda: P(None), TypeError, PARSE_TYPE % "NoneType"),
    ("bytes", lambda: P(b";"), TypeError, PARSE_TYPE % "bytes"),
    ("int", lambda: P(1), TypeError, PARSE_TYPE % "int"),
    ("str subclass", lambda: P(KeywordName(";")), TypeError, PARSE_TYPE % "KeywordName"),
    ("no argument", lambda: P(), TypeError,
     "parse() takes exactly 1 positional argument (0 given)"),
    ("two arguments", lambda: P(";", ";"), TypeError,
     "parse() takes exactly 1 positional argument (2 given)"),
    ("unexpected keyword", lambda: P(x=";"), TypeError,
     "parse() got an unexpected keyword argument 'x'"),
    ("multiple values", lambda: P(";", dwex=";"), TypeError,
     "parse() got multiple values for keyword argument 'dwex'"),
]


@debug_only
@pytest.mark.parametrize("hex_value, call",
                         [pytest.param(*case[1:], id=case[0]) for case in STRINGIFY_SUCCESS])
def test_stringify_success_keeps_totals(hex_value, call):
    run = _with_hex(hex_value, _expect(call, None))
    run()
    assert_no_leak(run)


@debug_only
@pytest.mark.parametrize("hex_value, call, exc_type, message",
                         [pytest.param(*case[1:], id=case[0]) for case in STRINGIFY_FAILURES])
def test_stringify_failure_keeps_totals(hex_value, call, exc_type, message):
    run = _with_hex(hex_value, _expect(call, (exc_type, message)))
    run()
    assert_no_leak(run)


@debug_only
@pytest.mark.parametrize("call, exc_type, message",
                         [pytest.param(*case[1:], id=case[0]) for case in PARSE_BINDING])
def test_parse_binding_failure_keeps_totals(call, exc_type, message):
    run = _expect(call, (exc_type, message))
    run()
    assert_no_leak(run)


@debug_only
def test_hex_from_builtins_keeps_totals():
    def run():
        with guard_hex():
            del dwex.HEX
            builtins.HEX = UPPER_HEX
            assert S([["a"]]) == "A1a;"
    run()
    assert_no_leak(run)


# ---------------------------------------------------------------------------
# Allocation failures

_SWEEP_SETUP = """
import dwex

class Broken(Exception):
    pass

class Sub(str):
    pass

class Text:
    def __init__(self, text):
        self.text = text
    def __str__(self):
        if isinstance(self.text, BaseException):
            raise self.text
        return self.text

def gen_row():
    yield "g"
    yield 7

def prepare():
    return [
        ["a", "bc", ""],
        ("t", 1.5, None),
        gen_row(),
        [Sub("sub"), "\\U0001F600x", "\\xe9\\u20ac", Text("\\U0001F600")],
        "xy",
        [],
        ["z" * 12, Text("txt")],
    ]
"""

_SWEEP_DOCUMENT = ("01a02bc00;01t031.504None;01g017;"
                   "03sub03\U0001F600x02\xe9\u20ac02\U0001F600;01x01y;;"
                   "112" + "z" * 12 + "03txt;")

_STRINGIFY_LINES = [("dwex.stringify", line)
                    for line in (25, 31, 32, 34, 49, 50, 51, 52, 53, 54)]


def test_sweep_document_is_right():
    # The sweeps below compare against this document; check it with memory intact.
    scope = {}
    exec(_SWEEP_SETUP, scope)
    assert S(scope["prepare"]()) == _SWEEP_DOCUMENT


ONE_OR_ALL = pytest.mark.parametrize("only_one", [False, True], ids=["all fail", "one fails"])


@ONE_OR_ALL
def test_stringify_without_memory(only_one):
    seen = nomemory_sweep(_SWEEP_SETUP, "dwex.stringify(arg)",
                          f"type(result) is str and result == {ascii(_SWEEP_DOCUMENT)}",
                          entries=_STRINGIFY_LINES, only_one=only_one, entry_required=only_one)
    # Converting the float leaf alone must allocate, so some attempt failed in the call.
    assert seen or not only_one


_ONE_PASS_SETUP = _SWEEP_SETUP + """
def prepare():
    rows = [["k%d" % r, "x" * (r % 12)] for r in range(300)]
    rows[-1].append(LAST)
    return rows
"""


@ONE_OR_ALL
@pytest.mark.parametrize("last", ["'\\u4e00'", "Text('t')"], ids=["wider leaf", "leaf with __str__"])
def test_one_pass_without_memory(only_one, last):
    # The one pass allocates its document, then cuts it to length or, at the
    # last leaf, widens it in place or hands what it wrote to the general
    # writer: each failure falls back in order.
    setup = _ONE_PASS_SETUP.replace("LAST", last)
    scope = {}
    exec(setup, scope)
    expected = S(scope["prepare"]())
    nomemory_sweep(setup, "dwex.stringify(arg)",
                   f"type(result) is str and result == {ascii(expected)}",
                   entries=_STRINGIFY_LINES, only_one=only_one)


@ONE_OR_ALL
@pytest.mark.parametrize("setup, call, error", [
    pytest.param("def prepare():\n    dwex.__dict__.pop('HEX', None)\n    return [['a']]\n",
                 "dwex.stringify(arg)",
                 ("NameError", "name 'HEX' is not defined", ("dwex.stringify", 50)),
                 id="HEX deleted"),
    pytest.param("def prepare():\n    return [['a', Text(Broken('leaf'))]]\n",
                 "dwex.stringify(arg)", ("Broken", "leaf", ("dwex.stringify", 34)),
                 id="__str__ raises"),
    pytest.param("def prepare():\n    dwex.HEX = [7] * 16\n    return [['a'], ['b']]\n",
                 "dwex.stringify(arg)",
                 ("TypeError", "sequence item 0: expected str instance, int found",
                  ("dwex.stringify", 54)),
                 id="HEX element not str"),
    pytest.param("def prepare():\n    return None\n", "dwex.stringify(arg)",
                 ("TypeError", "'NoneType' object is not iterable", ("dwex.stringify", 31)),
                 id="table not iterable"),
    pytest.param("def prepare():\n    return None\n", "dwex.stringify()",
                 ("TypeError", BINDING % 0, ("dwex.stringify", 23)), id="no argument"),
    pytest.param("def prepare():\n    return None\n", "dwex.stringify(x=arg)",
                 ("TypeError", "stringify() got an unexpected keyword argument 'x'",
                  ("dwex.stringify", 23)), id="unexpected keyword"),
])
def test_stringify_failure_without_memory(setup, call, error, only_one):
    entries = _STRINGIFY_LINES + [("dwex.stringify", 23)]
    nomemory_sweep(_SWEEP_SETUP + setup, call, "False", entries=entries, error=error,
                   only_one=only_one)


_IMPORT_SETUP = """
import importlib.util
importlib.util.find_spec("dwex")  # fills the path finder's caches beforehand
_first = []

def prepare():
    sys.modules.pop("dwex", None)

def check_module(module):
    if not _first:
        _first.append(module)
    return (module is _first[0] and sys.modules["dwex"] is module
            and module.__all__ == ["stringify", "parse"]
            and module.HEX == "0123456789abcdef"
            and module.ErrUnexpectedEndOfInput == "Unexpected end of input"
            and module.__test__ == {}
            and module.stringify([["a", "\\U0001F600"]]) == "01a02\\U0001F600;")
"""

_INIT_LINES = [("init dwex", line) for line in (1, 6, 16, 18, 19, 20, 23, 57)]


def test_import_without_memory():
    # All attempts share one interpreter: every failed import leaves the module
    # to be made afresh by the next one, and once one succeeds, later imports
    # hand back that same module.
    nomemory_sweep(_IMPORT_SETUP, "__import__('dwex')", "check_module(result)",
                   entries=_INIT_LINES)


def test_import_with_one_failed_allocation():
    # One allocation fails, so the entry of the execution step can be made.
    # Each attempt needs an interpreter of its own: an allocation failure that
    # the import survives would otherwise end the sweep at that k.
    seen = nomemory_sweep(_IMPORT_SETUP, "__import__('dwex')", "check_module(result)",
                          entries=_INIT_LINES, only_one=True, fresh=True, margin=15)
    assert seen
