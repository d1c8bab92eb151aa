"""Fuzz cases for the differential fuzzer and the replay of saved cases.

A case is a plain literal (tuples, lists, str, int, float, None), so that it
can be saved with ascii() and read back with ast.literal_eval exactly, lone
surrogates included:

    ("parse", document, binding of ErrUnexpectedEndOfInput)
    ("stringify", table node, binding of HEX)

A binding is ("default",), ("value", literal), ("strsub", text) (an instance
of a str subclass), ("delete",) or ("builtins", literal): deleted from the
module and bound among the builtins.

`run_case` builds the objects of a case twice, runs the module on one copy and
the reference model on the other, and returns what differs (empty: agreed).
The model sees the live module attributes through small proxies, so leaves
that rebind HEX in the middle of a walk are judged like the module.
"""

import ast
import builtins
import os
import sys
import traceback
from pathlib import Path

_ROOT = Path(__file__).resolve().parents[2]
sys.path.insert(0, str(_ROOT / "tests" / "python" / "support"))
if "dwex" not in sys.modules:
    # The module under test: DWEX_LIB names a build of its own (a sanitizer
    # build, say); otherwise the build that the test suite uses.
    _LIB = os.environ.get("DWEX_LIB") or str(
        _ROOT / "build" / ("lib-debug" if hasattr(sys, "gettotalrefcount") else "lib"))
    sys.path.insert(0, _LIB)

import dwex  # noqa: E402
from model import model_parse, model_stringify  # noqa: E402

DEFAULT_HEX = dwex.HEX
DEFAULT_END = dwex.ErrUnexpectedEndOfInput

# Traceback lines of every failure site, by function (and storage width for parse).
STRINGIFY_LINES = {23, 25, 31, 32, 34, 49, 50, 51, 52, 53, 54}
PARSE_LINES = {"narrow": {64, 67, 68, 87, 91, 102, 106, 112, 119, 121},
               "wide": {64, 67, 68, 138, 143, 152, 160, 166, 177, 190, 195, 197}}


class Broken(Exception):
    pass


class StopSub(StopIteration):
    pass


class StrSub(str):
    """A str leaf whose own methods must never run in the module (the model
    may use them)."""

    strict = False

    def __str__(self):
        if StrSub.strict:
            raise AssertionError("__str__ of a str leaf ran")
        return str.__str__(self)

    def __len__(self):
        if StrSub.strict:
            raise AssertionError("__len__ of a str leaf ran")
        return str.__len__(self)


# ---------------------------------------------------------------- building


class Build:
    """One construction of a case's objects, with the log of what ran."""

    def __init__(self):
        self.log = []
        self.serial = 0

    def next_id(self):
        self.serial += 1
        return self.serial


class Leaf:
    """A leaf with its own __str__: returns a text, a str subclass or a non-str,
    raises, or first changes its row, the table or HEX (once per build)."""

    def __init__(self, build, node):
        self.build, self.node, self.ident = build, node, build.next_id()
        self.row = self.table = None
        self.done = False

    def __str__(self):
        self.build.log.append(("str", self.ident))
        tag = self.node[0]
        if tag == "text":
            return self.node[1]
        if tag == "textsub":
            return StrSub(self.node[1])
        if tag == "raise":
            raise Broken(self.node[1])
        if tag == "nonstr":
            return self.node[1]
        _, target, action, arg, text = self.node
        if not self.done:
            self.done = True
            mutate(self.build, self.row if target == "row" else self.table, action, arg)
        return text


def mutate(build, seq, action, arg):
    if action == "hex":
        bind("HEX", arg)
    elif action == "append":
        list.append(seq, make(build, arg))
    elif action == "insert0":
        list.insert(seq, 0, make(build, arg))
    elif action == "pop":
        if list.__len__(seq):
            list.pop(seq)
    elif action == "del0":
        if list.__len__(seq):
            list.__delitem__(seq, 0)
    elif action == "clear":
        list.clear(seq)


class LiveIter:
    """Reads its backing list by index at every step, so changes show."""

    def __init__(self, build, backing, end):
        self.build, self.backing, self.end = build, backing, end
        self.ident, self.at = build.next_id(), 0

    def __iter__(self):
        return self

    def __next__(self):
        self.build.log.append(("next", self.ident))
        if self.at < len(self.backing):
            self.at += 1
            return self.backing[self.at - 1]
        if self.end == "broken":
            raise Broken("iteration")
        raise StopSub() if self.end == "stopsub" else StopIteration


class Iterable:
    def __init__(self, build, backing, end):
        self.build, self.backing, self.end = build, backing, end

    def __iter__(self):
        return LiveIter(self.build, self.backing, self.end)


class ListSub(list):
    """Walked through its own __iter__; index access and length would lie."""

    def __iter__(self):
        return iter(list(list.__iter__(self))[::-1])

    def __len__(self):
        return 0

    def __getitem__(self, index):
        return "lie"


CONTAINERS = ("list", "tuple", "gen", "listsub", "iter", "stopsub", "broken")


def make(build, node, row=None, table=None):
    """The object of `node`. For a container, `row` is set to its backing list
    for the leaves below it; the table's backing list is passed down."""
    tag = node[0]
    if tag in CONTAINERS:
        backing = ListSub() if tag == "listsub" else []
        if table is None:
            table = backing
        for child in node[1]:
            list.append(backing, make(build, child, backing, table))
        if tag == "list" or tag == "listsub":
            return backing
        if tag == "tuple":
            return tuple(backing)
        if tag == "gen":
            return (x for x in backing)
        return Iterable(build, backing, {"iter": "stop"}.get(tag, tag))
    if tag == "s":
        return node[1]
    if tag == "rep":
        return node[1] * node[2]
    if tag == "sub":
        return StrSub(node[1])
    if tag in ("value", "strrow"):
        return node[1]
    if tag == "listleaf":
        return list(node[1])
    leaf = Leaf(build, node)
    leaf.row, leaf.table = row, table
    return leaf


# ---------------------------------------------------------------- bindings

_MISSING = object()


def bind(name, binding):
    """Applies a binding of a module attribute; builtins lose the name first."""
    builtins.__dict__.pop(name, None)
    kind = binding[0]
    if kind == "default":
        setattr(dwex, name, DEFAULT_HEX if name == "HEX" else DEFAULT_END)
    elif kind == "value":
        setattr(dwex, name, binding[1])
    elif kind == "strsub":
        setattr(dwex, name, StrSub(binding[1]))
    else:
        dwex.__dict__.pop(name, None)
        if kind == "builtins":
            setattr(builtins, name, binding[1])


def restore():
    bind("HEX", ("default",))
    bind("ErrUnexpectedEndOfInput", ("default",))


def current(name):
    """What the module's lookup finds now: module dict, then builtins."""
    value = dwex.__dict__.get(name, _MISSING)
    if value is _MISSING:
        value = builtins.__dict__.get(name, _MISSING)
    if value is _MISSING:
        raise NameError(f"name '{name}' is not defined")
    return value


class LiveHex:
    """HEX for the model: looked up at every item access, as the module does."""

    def __getitem__(self, index):
        return current("HEX")[index]


# ---------------------------------------------------------------- running


def _outcome(call):
    try:
        return ("ok", call()), None
    except Exception as exc:  # noqa: BLE001 - every exception is an outcome to compare
        return ("error", type(exc), exc.args), exc


def _shape(value):
    """The value with its container types spelled out, for exact comparisons;
    a str with its size, which tells its storage width and whether it is
    marked ASCII (equal strings can differ in both, wrongly)."""
    if isinstance(value, list):
        return (type(value).__name__, [_shape(v) for v in value])
    if isinstance(value, str):
        return (type(value).__name__, value, sys.getsizeof(value))
    return (type(value).__name__, value)


def _entries(exc):
    return [(e.name, e.lineno) for e in traceback.extract_tb(exc.__traceback__)
            if e.filename == "dwex"] if exc is not None else []


def run_parse(doc, binding):
    restore()
    bind("ErrUnexpectedEndOfInput", binding)
    got, exc = _outcome(lambda: dwex.parse(doc))
    if binding[0] == "delete":
        sentinel = object()
        want, _ = _outcome(lambda: model_parse(doc, sentinel))
        if want[0] == "error" and want[2] == (sentinel,):
            want = ("error", NameError, ("name 'ErrUnexpectedEndOfInput' is not defined",))
    else:
        want, _ = _outcome(lambda: model_parse(doc, current("ErrUnexpectedEndOfInput")))
    restore()
    problems = []
    if got[0] == "ok" and want[0] == "ok":
        if _shape(got[1]) != _shape(want[1]):
            problems.append(f"table {got[1]!a} != model {want[1]!a}")
    elif got != want:
        problems.append(f"{got!a} != model {want!a}")
    if exc is not None:
        wide = any(ord(c) > 0xFFFF for c in doc)
        lines = PARSE_LINES["wide" if wide else "narrow"]
        found = _entries(exc)
        if len(found) != 1 or found[0][0] != "dwex.parse" or found[0][1] not in lines:
            problems.append(f"traceback entries {found}")
    return problems


def run_stringify(node, binding):
    logs, outcomes = [], []
    for side in ("module", "model"):
        restore()
        bind("HEX", binding)
        build = Build()
        table = make(build, node)
        if side == "module":
            StrSub.strict = True
            try:
                got, exc = _outcome(lambda: dwex.stringify(table))
            finally:
                StrSub.strict = False
        else:
            got, _ = _outcome(lambda: model_stringify(table, LiveHex()))
        logs.append(build.log)
        outcomes.append(got)
    restore()
    got, want = outcomes
    problems = []
    if got[0] == "ok" and want[0] == "ok":
        if _shape(got[1]) != _shape(want[1]):
            problems.append(f"document {got[1]!a} != model {want[1]!a}")
    elif got != want:
        problems.append(f"{got!a} != model {want!a}")
    if logs[0] != logs[1]:
        problems.append(f"actions {logs[0]} != model {logs[1]}")
    if exc is not None:
        found = _entries(exc)
        if len(found) != 1 or found[0][0] != "dwex.stringify" or found[0][1] not in STRINGIFY_LINES:
            problems.append(f"traceback entries {found}")
    return problems


def run_case(case):
    """What the module and the model disagree on for `case`: a list of texts."""
    try:
        if case[0] == "parse":
            return run_parse(case[1], case[2])
        return run_stringify(case[1], case[2])
    finally:
        restore()


# ---------------------------------------------------------------- known faults

# Faults found and not fixed yet: name -> (reason, a predicate that tells the
# cases which may run into it, names of the saved cases that show it). The
# fuzzer leaves such cases out unless asked (--with-known); the replay expects
# the saved cases named here to fail. Delete the entry with the fix: its saved
# cases stay behind as plain regression cases.
KNOWN_FAULTS = {}


def known_fault(case):
    """The name of the known fault that `case` may run into, or None."""
    for name, (_, covers, _) in KNOWN_FAULTS.items():
        if covers(case):
            return name
    return None


# ---------------------------------------------------------------- saved cases


def dump(case, problems=()):
    head = "".join(f"# {line[:300]!a}\n" for line in problems)
    return head + ascii(case) + "\n"


def load(path):
    text = Path(path).read_text()
    body = "\n".join(line for line in text.splitlines() if not line.startswith("#"))
    return ast.literal_eval(body)
