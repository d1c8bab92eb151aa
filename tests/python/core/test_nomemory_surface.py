"""Allocation failures over the parts of the surface that the other sweeps
leave out: the function objects' attribute stores, deletes, lazily made
attributes and operations; stringify's remaining walks (a list subclass with
its own iterator, iterators ending in a StopIteration subclass, rows changed
during the walk, every widening of the output) and HEX bound to a list or
found among the builtins; parse by keyword and with ErrUnexpectedEndOfInput
rebound, deleted or found among the builtins.

Every call ends with its result or MemoryError, never SystemError or a crash
(leakcheck.nomemory_sweep). On a debug interpreter, a second sweep repeats
each failing call and checks that the reference total stays put: a path that
leaks when one allocation fails grows it on every repeat."""

import json
import os
import subprocess
import sys
import textwrap

import pytest

from leakcheck import IS_DEBUG, module_dir, nomemory_sweep

pytest.importorskip("_testcapi")

ONE_OR_ALL = pytest.mark.parametrize("only_one", [False, True], ids=["all fail", "one fails"])
STRINGIFY_LINES = [("dwex.stringify", line) for line in (23, 25, 31, 32, 34, 49, 50, 51, 52, 53, 54)]
PARSE_LINES = [("dwex.parse", line) for line in (57, 64, 67, 68, 87, 91, 102, 106, 112, 119, 121,
                                                 138, 143, 152, 160, 166, 177, 190, 191, 195, 197)]

# ---------------------------------------------------------------- function attributes

_ATTRIBUTE_SETUP = """
import warnings
import dwex
warnings.simplefilter("ignore")
f = dwex.parse
ORIGINAL = {name: getattr(f, name) for name in
            ("__name__", "__qualname__", "__doc__", "__defaults__", "__kwdefaults__",
             "__annotations__", "__annotate__", "__module__")}

class StrSub(str):
    pass

class DictSub(dict):
    pass

def prepare():
    for name, value in ORIGINAL.items():
        setattr(f, name, value)
    f.__dict__ = {}
    return VALUE

def store(value):
    setattr(f, NAME, value)
    return value, getattr(f, NAME)

def delete(value):
    setattr(f, NAME, value)
    delattr(f, NAME)
    return value, getattr(f, NAME)
"""

STORES = [
    # (attribute, value as source text, expected read-back as source text)
    ("__name__", "'other'", "arg"),
    ("__name__", "StrSub('sub')", "arg"),
    ("func_name", "'other'", "arg"),
    ("__qualname__", "'Outer.inner'", "arg"),
    ("__doc__", "'text'", "arg"),
    ("func_doc", "42", "arg"),
    ("__defaults__", "(1, 2)", "arg"),
    ("__defaults__", "None", "None"),
    ("func_defaults", "()", "arg"),
    ("__kwdefaults__", "{'k': 1}", "arg"),
    ("__kwdefaults__", "None", "None"),
    ("__annotations__", "{'dwex': 'bytes'}", "arg"),
    ("__annotations__", "DictSub(x='int')", "arg"),
    ("__annotations__", "None", "{}"),
    ("__annotate__", "len", "arg"),
    ("__annotate__", "None", "None"),
    ("__module__", "'elsewhere'", "arg"),
    ("__dict__", "{'k': [1]}", "arg"),
    ("func_dict", "DictSub(k=1)", "arg"),
]

DELETES = [
    ("__doc__", "'text'", "None"),
    ("__defaults__", "(1,)", "None"),
    ("__kwdefaults__", "{'k': 1}", "None"),
    ("__annotations__", "{'k': 1}", "{}"),
    ("__module__", "'elsewhere'", "'dwex'"),
]


def _attribute_setup(name, value):
    return _ATTRIBUTE_SETUP.replace("NAME", repr(name)).replace("VALUE", value)


@ONE_OR_ALL
@pytest.mark.parametrize("name, value, expected", STORES, ids=[f"{n}={v}" for n, v, _ in STORES])
def test_store_without_memory(name, value, expected, only_one):
    check = "result[1] is result[0]" if expected == "arg" else f"result[1] == {expected}"
    nomemory_sweep(_attribute_setup(name, value), "store(arg)", check, entries=[],
                   only_one=only_one)


@ONE_OR_ALL
@pytest.mark.parametrize("name, value, expected", DELETES, ids=[n for n, _, _ in DELETES])
def test_delete_without_memory(name, value, expected, only_one):
    nomemory_sweep(_attribute_setup(name, value), "delete(arg)", f"result[1] == {expected}",
                   entries=[], only_one=only_one)


_OPERATIONS_SETUP = """
import pickle
import dwex

class Holder:
    stringify = dwex.stringify
    parse = dwex.parse
    def __iter__(self):
        return iter([])

def prepare():
    return dwex.parse
"""

OPERATIONS = [
    ("repr(arg)", "result.startswith('<dwex function parse at 0x')"),
    ("arg.__reduce__()", "result == 'parse'"),
    ("arg.__annotate__(2)", "result == {'dwex': 'str', 'return': 'list'}"),
    ("pickle.loads(pickle.dumps(arg))", "result is dwex.parse"),
    ("Holder().stringify()", "result == ''"),
    ("arg.__get__(Holder())", "result.__func__ is dwex.parse"),
]


@ONE_OR_ALL
@pytest.mark.parametrize("call, check", OPERATIONS, ids=[call for call, _ in OPERATIONS])
def test_operation_without_memory(call, check, only_one):
    nomemory_sweep(_OPERATIONS_SETUP, call, check, entries=STRINGIFY_LINES, only_one=only_one)


def test_first_reads_without_memory():
    # The name and docstring objects are made on their first read, so each
    # attempt needs an interpreter in which they have never been read.
    setup = "import dwex\ndef prepare():\n    return dwex\n"
    call = "(arg.parse.__name__, arg.parse.__doc__, arg.stringify.__name__, arg.stringify.__doc__)"
    check = ("result == ('parse', 'Parse a DWEX string into a 2D list of strings.', 'stringify', "
             "'Serialize a 2D iterable of strings into a DWEX string.')")
    nomemory_sweep(setup, call, check, entries=[], only_one=True, fresh=True, margin=10)


# ---------------------------------------------------------------- stringify walks

_WALK_SETUP = """
import builtins
import dwex

class Reversed(list):
    def __iter__(self):
        return reversed(list(list.__iter__(self)))

class Stop(StopIteration):
    pass

class Items:
    # Takes its items from the front of the list it is given, as they are then.
    def __init__(self, items):
        self.items = items
    def __iter__(self):
        return self
    def __next__(self):
        if self.items:
            return self.items.pop(0)
        raise Stop()

class Grows:
    # Appends to its row and to the table the first time it is written. What
    # it appends is held elsewhere too: a debug interpreter asserts when an
    # append in Python code fails and frees the item it was given.
    def __init__(self, row, table):
        self.row, self.table, self.done = row, table, False
        self.new_row = ["row" + "x" * 20]
    def __str__(self):
        if not self.done:
            self.done = True
            self.row.append("added")
            self.table.append(self.new_row)
        return "g"

class Shrinks:
    def __init__(self, row):
        self.row = row
    def __str__(self):
        del self.row[-1]
        return "s"

def prepare():
    HEX_SETUP
    table = []
    grow_row = ["a"]
    grow_row.append(Grows(grow_row, table))
    shrink_row = ["b", None, "never written"]
    shrink_row[1] = Shrinks(shrink_row)
    table += [
        Reversed(["r1", "r2"]),
        Items(["i1", "i2"]),
        grow_row,
        shrink_row,
        ["\\xe9" * 12, "\\u4e2d" * 3],
        ["x" * 150, "\\U0001F600", "y"],
    ]
    return Items(table) if WRAP else table
"""

_DOCUMENT = ("02r202r1;02i102i2;01a01g05added;01b01s;"
             "112" + "\xe9" * 12 + "03" + "\u4e2d" * 3 + ";"
             "2150" + "x" * 150 + "02\U0001F60001y;"
             "123row" + "x" * 20 + ";")


def _walk_setup(hex_setup, wrap):
    return _WALK_SETUP.replace("HEX_SETUP", hex_setup).replace("WRAP", str(wrap))


HEX_SETUPS = {
    "default HEX": ("dwex.HEX = '0123456789abcdef'", lambda doc: doc),
    "HEX a list": ("dwex.HEX = ['<%d>' % d for d in range(16)]",
                   lambda doc: _relabel(doc, lambda d: "<%d>" % d)),
    "HEX from builtins": ("dwex.__dict__.pop('HEX', None); builtins.HEX = 'ABCDEFGHIJKLMNOP'",
                          lambda doc: _relabel(doc, lambda d: "ABCDEFGHIJKLMNOP"[d])),
}


def _relabel(doc, label):
    """The document with each width digit written by `label` instead."""
    from model import model_parse

    pieces = []
    for row in model_parse(doc):
        for leaf in row:
            digits = str(len(leaf) + sum(1 for c in leaf if ord(c) > 0xFFFF))
            pieces += [label(len(digits) - 1), digits, leaf]
        pieces.append(";")
    return "".join(pieces)


@ONE_OR_ALL
@pytest.mark.parametrize("wrap", [False, True], ids=["list table", "iterator table"])
@pytest.mark.parametrize("hex_name", HEX_SETUPS)
def test_stringify_walks_without_memory(hex_name, wrap, only_one):
    hex_setup, relabel = HEX_SETUPS[hex_name]
    expected = relabel(_DOCUMENT)
    nomemory_sweep(_walk_setup(hex_setup, wrap), "dwex.stringify(arg)",
                   f"result == {ascii(expected)}", entries=STRINGIFY_LINES, only_one=only_one)


def test_walk_document_is_right():
    scope = {}
    exec(_walk_setup("pass", False), scope)
    import dwex

    assert dwex.stringify(scope["prepare"]()) == _DOCUMENT


# ---------------------------------------------------------------- parse bindings

_PARSE_SETUP = """
import builtins
import dwex

_spare = None

def prepare():
    # Lists come from a free list first; holding many empties it, so that
    # every list the call makes is an allocation that can fail.
    global _spare
    builtins.__dict__.pop("ErrUnexpectedEndOfInput", None)
    END_SETUP
    _spare = None
    _spare = [[] for _ in range(200)]
    return DOC
"""

PARSE_CASES = [
    # (id, binding of the message, document, call, outcome: table or (type, message, line))
    ("keyword", "pass", "01a02bc;;01d;", "dwex.parse(dwex=arg)", [["a", "bc"], [], ["d"]]),
    ("keyword, wide", "pass", "02\U0001F600;", "dwex.parse(dwex=arg)", [["\U0001F600"]]),
    ("deleted", "dwex.__dict__.pop('ErrUnexpectedEndOfInput', None)", "01a;01b", "dwex.parse(arg)",
     ("NameError", "name 'ErrUnexpectedEndOfInput' is not defined", 119)),
    ("deleted, wide", "dwex.__dict__.pop('ErrUnexpectedEndOfInput', None)", "02\U0001F600",
     "dwex.parse(arg)", ("NameError", "name 'ErrUnexpectedEndOfInput' is not defined", 195)),
    ("from builtins",
     "dwex.__dict__.pop('ErrUnexpectedEndOfInput', None); builtins.ErrUnexpectedEndOfInput = 'b'",
     "0x", "dwex.parse(arg)", ("SyntaxError", "b", 106)),
    ("not a str", "dwex.ErrUnexpectedEndOfInput = 5", "01a", "dwex.parse(arg)",
     ("SyntaxError", "5", 119)),
    ("wide message", "dwex.ErrUnexpectedEndOfInput = '\\U0001F600 end'", "05\u4e2d;",
     "dwex.parse(arg)", ("SyntaxError", "\U0001F600 end", 119)),
]


@ONE_OR_ALL
@pytest.mark.parametrize("binding, doc, call, outcome", [case[1:] for case in PARSE_CASES],
                         ids=[case[0] for case in PARSE_CASES])
def test_parse_bindings_without_memory(binding, doc, call, outcome, only_one):
    setup = _PARSE_SETUP.replace("END_SETUP", binding).replace("DOC", ascii(doc))
    if isinstance(outcome, list):
        nomemory_sweep(setup, call, f"result == {outcome!r}", entries=PARSE_LINES,
                       only_one=only_one)
    else:
        error = (outcome[0], outcome[1], ("dwex.parse", outcome[2]))
        nomemory_sweep(setup, call, "False", entries=PARSE_LINES, error=error, only_one=only_one)


# ---------------------------------------------------------------- reference totals

# Each k: two failing attempts to warm caches, then two blocks of REPEATS
# attempts, each block measured as a whole. A leak on the path that allocation
# k fails grows the total by at least one per attempt in both blocks; caches
# and free lists that fill and empty stay far below that.
_TOTALS_CHILD = """
import gc, json, sys, _testcapi
sys.path.insert(0, {lib!r})
gc.disable()
{setup}

SPARE = None

def attempt(k):
    global SPARE
    arg = prepare()
    # Lists come from a free list first; holding many empties it.
    SPARE = None
    SPARE = [[] for _ in range(200)]
    result = error = None
    _testcapi.set_nomemory(k, k + 1)
    try:
        result = {call}
    except BaseException as exc:
        error = exc
    finally:
        _testcapi.remove_mem_hooks()
    if error is None:
        return "ok"
    # Marked with the line of the module's own traceback entry, if any.
    tb, ours = error.__traceback__, ""
    while tb is not None:
        if tb.tb_frame.f_code.co_filename == "dwex":
            ours = " at %d" % tb.tb_lineno
        tb = tb.tb_next
    # The interpreter's last-resort MemoryError is shared; its traceback
    # would carry every entry added to it.
    error.__traceback__ = None
    kind = type(error).__name__ + ours
    return KINDS.setdefault(kind, kind)

REPEATS = 6

def measured(k, call=attempt):
    kinds = set()
    gc.collect()
    before = sys.gettotalrefcount()
    for _ in range(REPEATS):
        kinds.add(call(k))
    gc.collect()
    return kinds, sys.gettotalrefcount() - before - OWN

# What measuring costs by itself (the two totals are ints too).
OWN = 0
OWN = min(measured(0, lambda k: "ok")[1] for _ in range(5))
KINDS = {{}}
streak = 0
for k in range(0, {limit}):
    attempt(k)
    attempt(k)
    runs = [measured(k) for block in range(2)]
    kinds = sorted(set().union(*(kinds for kinds, _ in runs)))
    print(json.dumps({{"k": k, "kinds": kinds, "deltas": [delta for _, delta in runs]}}), flush=True)
    streak = 0 if any(kind.startswith("MemoryError") for kind in kinds) else streak + 1
    if streak > 25:
        break
"""


TOTALS = {
    "stringify": (_walk_setup("pass", True), "dwex.stringify(arg)"),
    "stringify, HEX a list": (_walk_setup(HEX_SETUPS["HEX a list"][0], False), "dwex.stringify(arg)"),
    "stringify, failing leaf": (_walk_setup("pass", False).replace(
        "return Items(table) if False else table", "return table + [[1, Text()]]")
        + "\nclass Text:\n    def __str__(self):\n        raise ValueError('leaf')\n",
        "dwex.stringify(arg)"),
    "parse, narrow": (_PARSE_SETUP.replace("END_SETUP", "pass").replace(
        "DOC", ascii("01a02bc;;03x\u4e2dz;00;")), "dwex.parse(arg)"),
    "parse, wide": (_PARSE_SETUP.replace("END_SETUP", "pass").replace(
        "DOC", ascii("02\U0001F60002bc;;04x\U0001F600z;")), "dwex.parse(arg)"),
    "parse, token": (_PARSE_SETUP.replace("END_SETUP", "pass").replace(
        "DOC", ascii("01a;01\U0001F600;")), "dwex.parse(arg)"),
    "parse, end deleted": (_PARSE_SETUP.replace(
        "END_SETUP", "dwex.__dict__.pop('ErrUnexpectedEndOfInput', None)").replace(
        "DOC", ascii("01a;01b")), "dwex.parse(arg)"),
    "binding": ("import dwex\ndef prepare():\n    return None\n", "dwex.stringify(arg, x=1)"),
    "attribute store": (_attribute_setup("__kwdefaults__", "{'k': 1}"), "store(arg)"),
    "attribute delete": (_attribute_setup("__defaults__", "(1,)"), "delete(arg)"),
}


@pytest.mark.skipif(not IS_DEBUG, reason="needs the reference total of a debug build")
@pytest.mark.parametrize("name", TOTALS)
def test_failed_allocations_keep_totals(name):
    setup, call = TOTALS[name]
    script = _TOTALS_CHILD.format(lib=module_dir(), setup=textwrap.dedent(setup),
                                  call=call, limit=20000)
    proc = subprocess.run([sys.executable, "-S", "-c", script], capture_output=True, text=True,
                          timeout=600, env=dict(os.environ, PYTHONHASHSEED="0"))
    records = [json.loads(line) for line in proc.stdout.splitlines() if line.startswith("{")]
    assert proc.returncode == 0, f"status {proc.returncode} after k={len(records)}\n{proc.stderr[-3000:]}"
    assert any(kind.startswith("MemoryError") for r in records for kind in r["kinds"])
    bad = [r for r in records if any(kind.startswith("SystemError") for kind in r["kinds"])]
    assert not bad, bad[:5]
    leaks = [r for r in records if min(r["deltas"]) >= 6]
    assert not leaks, f"{len(leaks)} failure points leak: {leaks[:5]}"


# Imports under failing allocations do not repeat: each attempt that fails
# leaves caches filled for the next, and one that fails inside the
# interpreter's own type machinery or import system leaves references of the
# interpreter's. An import that fails in the execution step for another reason
# (here the test of sys.byteorder raises, at line 20) repeats exactly.
_FAILED_IMPORTS = """
import gc, sys, types
sys.path.insert(0, {lib!r})

class Raises:
    def __ne__(self, other):
        raise ValueError("byteorder")

def failed_import():
    real = sys.modules["sys"]
    stand_in = types.ModuleType("sys")
    stand_in.byteorder = Raises()
    sys.modules["sys"] = stand_in
    try:
        __import__("dwex")
    except ValueError:
        pass
    finally:
        sys.modules["sys"] = real
        sys.modules.pop("dwex", None)

def growth(rounds):
    gc.collect()
    refs, blocks = sys.gettotalrefcount(), sys.getallocatedblocks()
    for _ in range(rounds):
        failed_import()
    gc.collect()
    return sys.gettotalrefcount() - refs, sys.getallocatedblocks() - blocks

# The interpreter's own caches keep some of what a failed import made, fewer
# and fewer over the first few hundred imports.
growth(200)
result = [growth(50) for _ in range(4)]
"""

# Every import that fails after the constants exist once left behind the two
# location tables it had made immortal; the next import now reuses them.
@pytest.mark.skipif(not IS_DEBUG, reason="needs the reference total of a debug build")
def test_failed_imports_keep_totals():
    from subproc import run

    rounds = run(_FAILED_IMPORTS.format(lib=module_dir()))
    # A leak of the module's own grows both by at least two per import in
    # every round; what the interpreter keeps stays well below that.
    assert min(refs for refs, _ in rounds) < 75 and min(blocks for _, blocks in rounds) < 75, rounds
