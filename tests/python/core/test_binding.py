"""Binding of the one parameter of stringify and parse: the call shapes that
bind, the exact TypeError of every other shape, the one traceback entry the
module adds, parse's exact-str test, the generic call slot, and the code
objects the two functions carry."""

import ctypes
import functools
import sys
import traceback

import pytest

import dwex

TABLE = [["a", "bc"], ["d"]]
DOC = "01a02bc;01d;"


class StrSub(str):
    pass


class StrSubSub(StrSub):
    pass


class EqRaises(str):
    def __eq__(self, other):
        raise ZeroDivisionError("eq")

    __hash__ = str.__hash__


# (function, its parameter, an argument, what that argument gives, binding line)
STRINGIFY = (dwex.stringify, "lists", TABLE, DOC, 23)
PARSE = (dwex.parse, "dwex", DOC, TABLE, 57)
FUNCTIONS = pytest.mark.parametrize(
    ("f", "param", "arg", "out", "line"), [STRINGIFY, PARSE], ids=["stringify", "parse"]
)


# Reaching the call slots the way only C callers can.
_vectorcall = ctypes.pythonapi.PyObject_Vectorcall
_vectorcall.restype = ctypes.py_object
_vectorcall.argtypes = (ctypes.py_object, ctypes.c_void_p, ctypes.c_size_t, ctypes.c_void_p)
_object_call = ctypes.pythonapi.PyObject_Call
_object_call.restype = ctypes.py_object
_object_call.argtypes = (ctypes.py_object, ctypes.py_object, ctypes.c_void_p)
OFFSET_FLAG = 1 << (8 * ctypes.sizeof(ctypes.c_size_t) - 1)


def vectorcall(f, positional, kwnames=None, kwvalues=(), offset=False):
    """PyObject_Vectorcall with any names at all, as a C caller may pass them.
    With `offset`, a writable slot precedes the arguments and the call says so."""
    values = [None, *positional, *kwvalues] if offset else [*positional, *kwvalues]
    array = (ctypes.py_object * max(len(values), 1))(*values)
    start = ctypes.addressof(array) + (ctypes.sizeof(ctypes.py_object) if offset else 0)
    nargsf = len(positional) | (OFFSET_FLAG if offset else 0)
    names = None if kwnames is None else id(kwnames)
    return _vectorcall(f, start, nargsf, names)


def slot_call(f, args, kwargs):
    """The function type's own generic call slot, with this very dict: the
    method wrapper hands args and kwargs to tp_call without checking them.
    None passes no dict at all."""
    return _object_call(f.__call__, tuple(args), None if kwargs is None else id(kwargs))


def fname(f):
    # spelled out here so that these tests do not lean on the __name__ attribute
    return "stringify" if f is dwex.stringify else "parse"


def module_entries(exc):
    frames = traceback.extract_tb(exc.__traceback__)
    return [(f.name, f.lineno) for f in frames if f.filename == "dwex"]


def last_tb(exc):
    tb = exc.__traceback__
    while tb.tb_next is not None:
        tb = tb.tb_next
    return tb


def raised(call):
    with pytest.raises(BaseException) as info:
        call()
    return info.value


# -- call shapes that bind -------------------------------------------------

BINDING_SHAPES = {
    "positional": lambda f, p, a: f(a),
    "keyword": lambda f, p, a: f(**{p: a}),
    "star-args": lambda f, p, a: f(*[a]),
    "star-args-empty-kwargs": lambda f, p, a: f(*[a], **{}),
    "star-both": lambda f, p, a: f(*(), **{p: a}),
    "fresh-name": lambda f, p, a: f(**{"".join(list(p)): a}),
    "str-subclass-name": lambda f, p, a: f(**{StrSub(p): a}),
    "partial": lambda f, p, a: functools.partial(f)(a),
    "partial-bound": lambda f, p, a: functools.partial(f, a)(),
    "partial-keyword": lambda f, p, a: functools.partial(f, **{p: a})(),
    "type-call": lambda f, p, a: type(f).__call__(f, a),
    "type-call-keyword": lambda f, p, a: type(f).__call__(f, **{p: a}),
    "method-wrapper": lambda f, p, a: f.__call__(a),
    "slot-empty-dict": lambda f, p, a: slot_call(f, [a], {}),
    "slot-keyword": lambda f, p, a: slot_call(f, [], {p: a}),
    "slot-str-subclass": lambda f, p, a: slot_call(f, [], {StrSub(p): a}),
    "vectorcall-keyword": lambda f, p, a: vectorcall(f, [], (p,), [a]),
    "vectorcall-empty-names": lambda f, p, a: vectorcall(f, [a], ()),
    "vectorcall-offset": lambda f, p, a: vectorcall(f, [a], offset=True),
    "vectorcall-offset-keyword": lambda f, p, a: vectorcall(f, [], (p,), [a], offset=True),
}


@FUNCTIONS
@pytest.mark.parametrize("shape", BINDING_SHAPES)
def test_binds(shape, f, param, arg, out, line):
    assert BINDING_SHAPES[shape](f, param, arg) == out


# -- call shapes that fail -------------------------------------------------


def count(n):
    return "{F}() takes exactly 1 positional argument (%d given)" % n


MULTIPLE = "{F}() got multiple values for keyword argument '{P}'"


def unexpected(name):
    return "{F}() got an unexpected keyword argument '%s'" % name


NOT_STRINGS = "{F}() keywords must be strings"

# Each shape passes `v` wherever it passes a value, so the same table serves
# the reference-count test.
FAILING_SHAPES = {
    "nothing": (lambda f, p, v: f(), count(0)),
    "two": (lambda f, p, v: f(v, v), count(2)),
    "three": (lambda f, p, v: f(v, v, v), count(3)),
    "two-and-param": (lambda f, p, v: f(v, v, **{p: v}), count(2)),
    "two-and-other": (lambda f, p, v: f(v, v, x=v), count(2)),
    "empty-mapping": (lambda f, p, v: f(**{}), count(0)),
    "empty-star-both": (lambda f, p, v: f(*(), **{}), count(0)),
    "partial-nothing": (lambda f, p, v: functools.partial(f)(), count(0)),
    "type-call-nothing": (lambda f, p, v: type(f).__call__(f), count(0)),
    "slot-empty-dict": (lambda f, p, v: slot_call(f, [], {}), count(0)),
    "slot-two": (lambda f, p, v: slot_call(f, [v, v], {"x": v}), count(2)),
    "only-other": (lambda f, p, v: f(x=v), unexpected("x")),
    "other-then-param": (lambda f, p, v: f(x=v, **{p: v}), unexpected("x")),
    "param-then-other": (lambda f, p, v: f(**{p: v}, x=v), unexpected("x")),
    "upper-case": (lambda f, p, v: f(**{p.upper(): v}), unexpected("{P_UPPER}")),
    "latin-1-name": (lambda f, p, v: f(**{"\xfc": v}), unexpected("\xfc")),
    "bmp-name": (lambda f, p, v: f(**{"\u4e2d": v}), unexpected("\u4e2d")),
    "astral-name": (lambda f, p, v: f(**{"\U0001d535": v}), unexpected("\U0001d535")),
    "subclass-other": (lambda f, p, v: f(**{StrSub("x"): v}), unexpected("x")),
    "positional-and-param": (lambda f, p, v: f(v, **{p: v}), MULTIPLE),
    "positional-param-other": (lambda f, p, v: f(v, **{p: v}, x=v), MULTIPLE),
    "positional-other-param": (lambda f, p, v: f(v, x=v, **{p: v}), unexpected("x")),
    "positional-fresh-param": (lambda f, p, v: f(v, **{"".join(list(p)): v}), MULTIPLE),
    "positional-subclass-param": (lambda f, p, v: f(v, **{StrSub(p): v}), MULTIPLE),
    "positional-other-subclass": (lambda f, p, v: f(v, **{StrSub("x"): v}), unexpected("x")),
    "partial-then-param": (lambda f, p, v: functools.partial(f, v)(**{p: v}), MULTIPLE),
    "slot-positional-param": (lambda f, p, v: slot_call(f, [v], {p: v, "x": v}), MULTIPLE),
    "slot-positional-other": (lambda f, p, v: slot_call(f, [v], {"x": v, p: v}), unexpected("x")),
    "vectorcall-int-name": (lambda f, p, v: vectorcall(f, [], (1,), [v]), NOT_STRINGS),
    "vectorcall-positional-int-name": (
        lambda f, p, v: vectorcall(f, [v], (1,), [v]),
        NOT_STRINGS,
    ),
    "vectorcall-param-then-int-name": (
        lambda f, p, v: vectorcall(f, [], (p, b"x"), [v, v]),
        NOT_STRINGS,
    ),
    "vectorcall-two-and-int-name": (lambda f, p, v: vectorcall(f, [v, v], (1,), [v]), count(2)),
    "vectorcall-offset-nothing": (lambda f, p, v: vectorcall(f, [], offset=True), count(0)),
    "vectorcall-offset-two": (lambda f, p, v: vectorcall(f, [v, v], offset=True), count(2)),
}


def failing(f, param, shape):
    call, template = FAILING_SHAPES[shape]
    name = fname(f)
    message = template.format(F=name, P=param, P_UPPER=param.upper())
    return (lambda: call(f, param, "01a;")), message


@FUNCTIONS
@pytest.mark.parametrize("shape", FAILING_SHAPES)
def test_call_shape_message(shape, f, param, arg, out, line):
    call, message = failing(f, param, shape)
    e = raised(call)
    assert type(e) is TypeError
    assert e.args == (message,)


@FUNCTIONS
@pytest.mark.parametrize("shape", FAILING_SHAPES)
def test_call_shape_last_entry(shape, f, param, arg, out, line):
    call, _ = failing(f, param, shape)
    e = raised(call)
    last = traceback.extract_tb(e.__traceback__)[-1]
    assert (last.filename, last.name, last.lineno) == ("dwex", "dwex." + fname(f), line)


@FUNCTIONS
@pytest.mark.parametrize("shape", FAILING_SHAPES)
def test_call_shape_one_entry(shape, f, param, arg, out, line):
    call, _ = failing(f, param, shape)
    assert module_entries(raised(call)) == [("dwex." + fname(f), line)]


@FUNCTIONS
@pytest.mark.parametrize("shape", FAILING_SHAPES)
def test_call_shape_keeps_no_reference(shape, f, param, arg, out, line):
    call, _ = FAILING_SHAPES[shape]
    value = object()

    def fail_many():
        for _ in range(20):
            try:
                call(f, param, value)
            except TypeError:
                pass

    fail_many()
    before = sys.getrefcount(value)
    fail_many()
    assert sys.getrefcount(value) == before


# -- the entry itself ------------------------------------------------------


@FUNCTIONS
@pytest.mark.parametrize(
    ("attr", "expected"),
    [
        ("co_filename", "dwex"),
        ("co_name", "dwex.{F}"),
        ("co_qualname", "dwex.{F}"),
        ("co_firstlineno", "{L}"),
    ],
)
def test_entry_code(attr, expected, f, param, arg, out, line):
    code = last_tb(raised(f)).tb_frame.f_code
    expected = expected.format(F=fname(f), L=line)
    assert str(getattr(code, attr)) == expected


@FUNCTIONS
def test_entry_frame_line(f, param, arg, out, line):
    tb = last_tb(raised(f))
    assert (tb.tb_lineno, tb.tb_frame.f_lineno) == (line, line)


@FUNCTIONS
def test_entry_frame_globals_are_the_module_dict(f, param, arg, out, line):
    assert last_tb(raised(f)).tb_frame.f_globals is vars(dwex)


@FUNCTIONS
def test_entries_at_one_line_share_a_code_object(f, param, arg, out, line):
    first = last_tb(raised(f)).tb_frame.f_code
    second = last_tb(raised(lambda: f(1, 2))).tb_frame.f_code
    third = last_tb(raised(lambda: f(x=1))).tb_frame.f_code
    assert first is second
    assert second is third


def test_entries_of_two_functions_differ():
    a = last_tb(raised(dwex.stringify)).tb_frame.f_code
    b = last_tb(raised(dwex.parse)).tb_frame.f_code
    assert a is not b


def test_entry_code_is_not_the_function_code():
    code = last_tb(raised(dwex.parse)).tb_frame.f_code
    assert code is not dwex.parse.__code__


# -- keyword names whose comparison raises ----------------------------------

EQ_RAISES_SHAPES = {
    "keyword-only": lambda f, p: f(**{EqRaises(p): 1}),
    "after-positional": lambda f, p: f(1, **{EqRaises(p): 1}),
    "after-param": lambda f, p: f(**{p: 1}, **{EqRaises("x"): 1}),
    "slot": lambda f, p: slot_call(f, [], {EqRaises(p): 1}),
}


@FUNCTIONS
@pytest.mark.parametrize("shape", EQ_RAISES_SHAPES)
def test_raising_name_comparison_propagates(shape, f, param, arg, out, line):
    e = raised(lambda: EQ_RAISES_SHAPES[shape](f, param))
    assert type(e) is ZeroDivisionError
    assert e.args == ("eq",)


@FUNCTIONS
@pytest.mark.parametrize("shape", EQ_RAISES_SHAPES)
def test_raising_name_comparison_entry(shape, f, param, arg, out, line):
    e = raised(lambda: EQ_RAISES_SHAPES[shape](f, param))
    entries = [(x.filename, x.name, x.lineno) for x in traceback.extract_tb(e.__traceback__)]
    # the module's entry sits between the caller and the raising __eq__
    assert entries[-1][1] == "__eq__"
    assert entries[-2] == ("dwex", "dwex." + fname(f), line)
    assert module_entries(e) == [("dwex." + fname(f), line)]


# -- non-str keys in a keyword dict ----------------------------------------

NON_STR_DICTS = {
    "int": lambda p: {1: 2},
    "bytes": lambda p: {p.encode(): 2},
    "tuple": lambda p: {(): 2},
    "param-then-int": lambda p: {p: 2, 1: 2},
    "int-then-param": lambda p: {1: 2, p: 2},
}


@FUNCTIONS
@pytest.mark.parametrize("keys", NON_STR_DICTS)
@pytest.mark.parametrize("positional", [0, 1], ids=["keywords-only", "with-positional"])
def test_slot_rejects_non_str_keys(positional, keys, f, param, arg, out, line):
    e = raised(lambda: slot_call(f, [arg] * positional, NON_STR_DICTS[keys](param)))
    assert type(e) is TypeError
    assert e.args == ("keywords must be strings",)


@FUNCTIONS
@pytest.mark.parametrize("keys", NON_STR_DICTS)
def test_slot_non_str_keys_add_no_entry(keys, f, param, arg, out, line):
    e = raised(lambda: slot_call(f, [], NON_STR_DICTS[keys](param)))
    assert module_entries(e) == []


@FUNCTIONS
def test_slot_non_str_keys_keep_no_reference(f, param, arg, out, line):
    value = object()

    def fail_many():
        for _ in range(20):
            with pytest.raises(TypeError):
                slot_call(f, [value], {param: value, 1: value})

    fail_many()
    before = sys.getrefcount(value)
    fail_many()
    assert sys.getrefcount(value) == before


@FUNCTIONS
@pytest.mark.parametrize("positional", [0, 1], ids=["binds", "multiple-values"])
def test_slot_keeps_no_reference_to_keys(positional, f, param, arg, out, line):
    # the slot builds its own tuple of the dict's keys; it must not outlive the call
    key = "".join(list(param))
    value = arg if f is dwex.parse else list(arg)

    def call_many():
        for _ in range(20):
            try:
                slot_call(f, [value] * positional, {key: value})
            except TypeError:
                pass

    call_many()
    before = (sys.getrefcount(key), sys.getrefcount(value))
    call_many()
    assert (sys.getrefcount(key), sys.getrefcount(value)) == before


@FUNCTIONS
def test_interpreter_rejects_non_str_keys_first(f, param, arg, out, line):
    # Python code cannot pass such a dict on: the interpreter refuses it
    # before the function is entered, so no entry of the module appears.
    e = raised(lambda: f(**{1: 2}))
    assert (type(e), e.args) == (TypeError, ("keywords must be strings",))
    assert module_entries(e) == []


# -- names repeated by a C caller ------------------------------------------


@FUNCTIONS
def test_repeated_name_keeps_no_reference(f, param, arg, out, line):
    # The interpreter never passes a name twice; a C caller may. The later
    # value binds, and neither value stays referenced.
    first, second = object(), arg
    before = (sys.getrefcount(first), sys.getrefcount(second))
    for _ in range(20):
        assert vectorcall(f, [], (param, param), [first, second]) == out
    assert (sys.getrefcount(first), sys.getrefcount(second)) == before


# -- references held by successful calls -----------------------------------


@FUNCTIONS
@pytest.mark.parametrize("shape", ["positional", "keyword", "slot-keyword", "vectorcall-offset"])
def test_binding_keeps_no_reference(shape, f, param, arg, out, line):
    value = list(TABLE) if f is dwex.stringify else "".join(list(DOC))
    for _ in range(3):
        BINDING_SHAPES[shape](f, param, value)
    before = sys.getrefcount(value)
    for _ in range(20):
        BINDING_SHAPES[shape](f, param, value)
    assert sys.getrefcount(value) == before


# -- parse's exact-str test ------------------------------------------------


def incorrect_type(name):
    return f"Argument 'dwex' has incorrect type (expected str, got {name})"


NOT_STR = {
    "None": None,
    "bytes": b"01a;",
    "int": 1,
    "bytearray": bytearray(b"01a;"),
    "list": ["01a;"],
}
STR_SUBCLASSES = {
    "StrSub": StrSub("01a;"),
    "StrSubSub": StrSubSub("01a;"),
    "empty-StrSub": StrSub(""),
}
TYPE_TEST_SHAPES = {
    "positional": lambda v: dwex.parse(v),
    "keyword": lambda v: dwex.parse(dwex=v),
    "slot": lambda v: slot_call(dwex.parse, [v], None),
    "slot-keyword": lambda v: slot_call(dwex.parse, [], {"dwex": v}),
}
ALL_WRONG = {**NOT_STR, **STR_SUBCLASSES}


@pytest.mark.parametrize("shape", TYPE_TEST_SHAPES)
@pytest.mark.parametrize("case", ALL_WRONG)
def test_type_test_message(case, shape):
    value = ALL_WRONG[case]
    e = raised(lambda: TYPE_TEST_SHAPES[shape](value))
    assert type(e) is TypeError
    assert e.args == (incorrect_type(type(value).__name__),)


@pytest.mark.parametrize("shape", TYPE_TEST_SHAPES)
@pytest.mark.parametrize("case", ALL_WRONG)
def test_type_test_adds_no_entry(case, shape):
    e = raised(lambda: TYPE_TEST_SHAPES[shape](ALL_WRONG[case]))
    assert module_entries(e) == []
    assert traceback.extract_tb(e.__traceback__)[-1].filename == __file__


@pytest.mark.parametrize("case", NOT_STR)
def test_type_test_without_note(case):
    e = raised(lambda: dwex.parse(NOT_STR[case]))
    assert not hasattr(e, "__notes__")


@pytest.mark.parametrize("shape", TYPE_TEST_SHAPES)
@pytest.mark.parametrize("case", STR_SUBCLASSES)
def test_str_subclass_gets_one_note(case, shape):
    e = raised(lambda: TYPE_TEST_SHAPES[shape](STR_SUBCLASSES[case]))
    assert len(e.__notes__) == 1
    assert type(e.__notes__[0]) is str
    assert "PEP 484" in e.__notes__[0]


def test_note_is_not_shared_between_calls():
    a = raised(lambda: dwex.parse(StrSub("")))
    b = raised(lambda: dwex.parse(StrSub("")))
    assert a is not b
    assert (len(a.__notes__), len(b.__notes__)) == (1, 1)


@pytest.mark.parametrize("case", ALL_WRONG)
def test_type_test_keeps_no_reference(case):
    value = ALL_WRONG[case]
    if value is None or type(value) is int:
        pytest.skip("immortal")

    def fail_many():
        for _ in range(20):
            with pytest.raises(TypeError):
                dwex.parse(value)

    fail_many()
    before = sys.getrefcount(value)
    fail_many()
    assert sys.getrefcount(value) == before


def test_empty_str_passes_the_type_test():
    e = raised(lambda: dwex.parse(""))
    assert (type(e), e.args) == (SyntaxError, ("Unexpected end of input",))


# -- code objects ----------------------------------------------------------

STRINGIFY_VARNAMES = (
    "lists", "out", "v", "l_str", "u16_len", "i", "v_len", "kind", "buf", "l", "item",
)  # fmt: skip
PARSE_VARNAMES = (
    "dwex", "length", "kind", "out", "ls", "data", "i", "j", "n", "c", "char_start",
    "H_digits", "target_u16_len", "u16_accum", "char_idx", "u16_idx", "buf", "ch",
    "low_surrogate_code", "_",
)  # fmt: skip

CODE_ATTRS = [
    # (attribute, stringify's, parse's)
    ("co_name", "stringify", "parse"),
    ("co_qualname", "stringify", "parse"),
    ("co_filename", "dwex", "dwex"),
    ("co_firstlineno", 23, 57),
    ("co_argcount", 1, 1),
    ("co_posonlyargcount", 0, 0),
    ("co_kwonlyargcount", 0, 0),
    ("co_nlocals", 11, 20),
    ("co_flags", 3, 3),
    # made with stack size 0; CPython 3.15 reports at least 1
    ("co_stacksize", 1, 1),
    ("co_varnames", STRINGIFY_VARNAMES, PARSE_VARNAMES),
    ("co_consts", (), ()),
    ("co_names", (), ()),
    ("co_freevars", (), ()),
    ("co_cellvars", (), ()),
    ("co_exceptiontable", b"", b""),
]


@pytest.mark.parametrize(
    ("f", "attr", "expected"),
    [(dwex.stringify, a, s) for a, s, _ in CODE_ATTRS]
    + [(dwex.parse, a, p) for a, _, p in CODE_ATTRS],
    ids=[f"stringify-{a}" for a, _, _ in CODE_ATTRS] + [f"parse-{a}" for a, _, _ in CODE_ATTRS],
)
def test_code_attribute(f, attr, expected):
    got = getattr(f.__code__, attr)
    assert type(got) is type(expected)
    assert got == expected


@pytest.mark.parametrize(
    ("f", "span"),
    [(dwex.stringify, (23, 54)), (dwex.parse, (57, 198))],
    ids=["stringify", "parse"],
)
def test_code_lines_span(f, span):
    lines = [line for _, _, line in f.__code__.co_lines() if line is not None]
    assert (min(lines), max(lines)) == span


@FUNCTIONS
def test_code_string_is_zeros(f, param, arg, out, line):
    code = f.__code__
    assert type(code.co_linetable) is bytes
    assert len(code.co_code) == (2 * len(code.co_linetable) + 4) // 4 * 4
    assert code.co_code == bytes(len(code.co_code))


@FUNCTIONS
def test_code_object_is_fixed(f, param, arg, out, line):
    assert f.__code__ is f.__code__
    assert f.__code__ is not (dwex.parse if f is dwex.stringify else dwex.stringify).__code__


# -- leaks -----------------------------------------------------------------


def test_failing_calls_do_not_leak():
    # Fails only if memory grows in every round: a one-off growth (a cached
    # traceback code object, a free list) is not a leak.
    def workload():
        for f, param in ((dwex.stringify, "lists"), (dwex.parse, "dwex")):
            for call, _ in FAILING_SHAPES.values():
                try:
                    call(f, param, "01a;")
                except TypeError:
                    pass
            for value in ALL_WRONG.values():
                try:
                    dwex.parse(value)
                except TypeError:
                    pass

    def measure():
        total = sys.gettotalrefcount() if hasattr(sys, "gettotalrefcount") else 0
        return sys.getallocatedblocks(), total

    for _ in range(3):
        workload()
    growth = []
    for _ in range(4):
        before = measure()
        for _ in range(50):
            workload()
        after = measure()
        growth.append(tuple(a - b for a, b in zip(after, before)))
    assert not all(g[0] > 0 for g in growth), growth
    assert not all(g[1] > 0 for g in growth), growth
