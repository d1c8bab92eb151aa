"""The function objects as Python code inspects them: attribute reads, stores
and deletes with their warnings and errors, signatures and help text,
pickling, method binding, garbage-collector visibility and reference totals.

The module's functions live for the whole process and are shared with the
other test files, so every test here runs under a fixture that puts back
whatever it changed."""

import annotationlib
import contextlib
import copy
import gc
import inspect
import pickle
import pickletools
import pydoc
import re
import sys
import warnings
import weakref

import pytest

import dwex
import leakcheck
from subproc import run

STRINGIFY_DOC = "Serialize a 2D iterable of strings into a DWEX string."
PARSE_DOC = "Parse a DWEX string into a 2D list of strings."
STRINGIFY_COUNT = "stringify() takes exactly 1 positional argument (0 given)"


class StrSub(str):
    pass


class TupleSub(tuple):
    pass


class DictSub(dict):
    pass


class Marker:
    pass


def _snapshot(f):
    names = ("__name__", "__qualname__", "__doc__", "__annotations__", "__defaults__", "__kwdefaults__")
    return f, {name: getattr(f, name) for name in names}, f.__dict__, dict(f.__dict__)


@pytest.fixture(autouse=True)
def restore_functions():
    saved = [_snapshot(dwex.stringify), _snapshot(dwex.parse)]
    yield
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        for f, attrs, attr_dict, contents in saved:
            for name, value in attrs.items():
                setattr(f, name, value)
            # Last, since storing the annotations records `__annotate__` there.
            f.__dict__ = attr_dict
            attr_dict.clear()
            attr_dict.update(contents)


@contextlib.contextmanager
def recorded_warnings():
    """Records every warning, including repeats from the same line."""
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        yield caught


def _reset(f):
    """Replaces every stored value with a fresh one, so that the earlier values
    are released (the autouse fixture puts the real ones back later)."""
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        f.__defaults__ = f.__kwdefaults__ = None
    f.__name__ = f.__qualname__ = "reset"
    f.__doc__ = None
    f.__annotations__ = {}
    # The fixture keeps the first attribute dict (and a copy of its contents).
    f.__dict__.clear()
    f.__dict__ = {}


# ---------------------------------------------------------------- reads

READS = [
    ("stringify", "__name__", "stringify"),
    ("stringify", "func_name", "stringify"),
    ("stringify", "__qualname__", "stringify"),
    ("stringify", "__module__", "dwex"),
    ("stringify", "__doc__", STRINGIFY_DOC),
    ("stringify", "func_doc", STRINGIFY_DOC),
    ("stringify", "__annotations__", {"return": "str"}),
    ("stringify", "__closure__", None),
    ("stringify", "func_closure", None),
    ("stringify", "__defaults__", None),
    ("stringify", "func_defaults", None),
    ("stringify", "__kwdefaults__", None),
    ("parse", "__name__", "parse"),
    ("parse", "func_name", "parse"),
    ("parse", "__qualname__", "parse"),
    ("parse", "__module__", "dwex"),
    ("parse", "__doc__", PARSE_DOC),
    ("parse", "func_doc", PARSE_DOC),
    ("parse", "__annotations__", {"dwex": "str", "return": "list"}),
    ("parse", "__closure__", None),
    ("parse", "func_closure", None),
    ("parse", "__defaults__", None),
    ("parse", "func_defaults", None),
    ("parse", "__kwdefaults__", None),
]


@pytest.mark.parametrize("function, attr, expected", READS)
def test_read(function, attr, expected):
    value = getattr(getattr(dwex, function), attr)
    assert value == expected
    assert type(value) is type(expected)


@pytest.mark.parametrize("function, attr", [(f, a) for f, a, _ in READS])
def test_read_twice_gives_the_same_object(function, attr):
    f = getattr(dwex, function)
    assert getattr(f, attr) is getattr(f, attr)


@pytest.mark.parametrize("function, keys", [("stringify", ["return"]), ("parse", ["dwex", "return"])])
def test_annotation_keys_keep_their_order(function, keys):
    assert list(getattr(dwex, function).__annotations__) == keys


@pytest.mark.parametrize("function", ["stringify", "parse"])
def test_code_globals_and_dict(function):
    f = getattr(dwex, function)
    assert f.__code__ is f.func_code
    assert f.__code__.co_name == function
    assert f.__globals__ is f.func_globals is vars(dwex)
    assert f.__dict__ is f.func_dict
    assert isinstance(f.__dict__, dict)


@pytest.mark.parametrize("function", ["stringify", "parse"])
@pytest.mark.parametrize("fmt", [*annotationlib.Format, 99])
def test_annotate_returns_the_annotations_in_every_format(function, fmt):
    f = getattr(dwex, function)
    assert callable(f.__annotate__)
    assert f.__annotate__(fmt) is f.__annotations__


@pytest.mark.parametrize("function", ["stringify", "parse"])
def test_repr_names_the_function(function):
    f = getattr(dwex, function)
    assert re.fullmatch(rf"<dwex function {function} at 0x[0-9a-f]+>", repr(f))
    f.__qualname__ = "renamed"
    assert repr(f).startswith("<dwex function renamed at ")


# ---------------------------------------------------------------- stores

SAME = object()  # read back the stored object itself
DELETE = object()  # delete the attribute instead of storing a value

ACCEPTED = [
    # (attribute set, value, attributes read back, expected)
    ("__name__", "other", ["__name__", "func_name"], SAME),
    ("__name__", StrSub("sub"), ["__name__", "func_name"], SAME),
    ("func_name", "other", ["__name__", "func_name"], SAME),
    ("__qualname__", "Outer.inner", ["__qualname__"], SAME),
    ("__qualname__", StrSub("sub"), ["__qualname__"], SAME),
    ("__doc__", "text", ["__doc__", "func_doc"], SAME),
    ("__doc__", 42, ["__doc__", "func_doc"], SAME),
    ("__doc__", None, ["__doc__", "func_doc"], None),
    ("func_doc", "text", ["__doc__", "func_doc"], SAME),
    ("__defaults__", (1,), ["__defaults__", "func_defaults"], SAME),
    ("__defaults__", TupleSub((1, 2)), ["__defaults__", "func_defaults"], SAME),
    ("__defaults__", (), ["__defaults__", "func_defaults"], SAME),
    ("__defaults__", None, ["__defaults__", "func_defaults"], None),
    ("func_defaults", (1,), ["__defaults__", "func_defaults"], SAME),
    ("__kwdefaults__", {"k": 1}, ["__kwdefaults__"], SAME),
    ("__kwdefaults__", DictSub(k=1), ["__kwdefaults__"], SAME),
    ("__kwdefaults__", None, ["__kwdefaults__"], None),
    ("__annotations__", {"dwex": "bytes"}, ["__annotations__"], SAME),
    ("__annotations__", DictSub(x="int"), ["__annotations__"], SAME),
    ("__annotations__", None, ["__annotations__"], {}),
    ("__annotate__", None, ["__annotate__"], None),
    ("__annotate__", len, ["__annotate__"], SAME),
    ("__module__", "elsewhere", ["__module__"], SAME),
    ("__module__", 3, ["__module__"], SAME),
    ("__dict__", {"k": 1}, ["__dict__", "func_dict"], SAME),
    ("__dict__", DictSub(k=1), ["__dict__", "func_dict"], SAME),
    ("func_dict", {"k": 1}, ["__dict__", "func_dict"], SAME),
]


@pytest.mark.parametrize("function", ["stringify", "parse"])
@pytest.mark.parametrize("attr, value, reads, expected", ACCEPTED)
def test_store_accepted(function, attr, value, reads, expected):
    f = getattr(dwex, function)
    before = sys.getrefcount(value)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        setattr(f, attr, value)
        for read in reads:
            got = getattr(f, read)
            if expected is SAME:
                assert got is value
            else:
                assert got == expected and type(got) is type(expected)
        del got
        # Replacing the stored value releases it.
        _reset(f)
    assert sys.getrefcount(value) == before


DELETES = [
    # (attribute deleted, attribute read back, value stored first, value after the delete)
    ("__doc__", "__doc__", "text", None),
    ("func_doc", "func_doc", "text", None),
    ("__defaults__", "__defaults__", (1,), None),
    ("func_defaults", "__defaults__", (1,), None),
    ("__kwdefaults__", "__kwdefaults__", {"k": 1}, None),
    ("__annotations__", "__annotations__", {"k": 1}, {}),
    # Deleting the instance's own `__module__` shows the type's, also "dwex".
    ("__module__", "__module__", "elsewhere", "dwex"),
]


@pytest.mark.parametrize("function", ["stringify", "parse"])
@pytest.mark.parametrize("attr, read, first, expected", DELETES)
def test_delete(function, attr, read, first, expected):
    f = getattr(dwex, function)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        setattr(f, read, first)
        delattr(f, attr)
    assert getattr(f, read) == expected


def test_delete_module_twice_is_an_attribute_error():
    del dwex.parse.__module__
    with pytest.raises(AttributeError, match="'dwex.function' object has no attribute '__module__'"):
        del dwex.parse.__module__


def test_doc_deleted_before_its_first_read_stays_none():
    # In a fresh interpreter the docstring object has not been made yet.
    assert run("import dwex\ndel dwex.parse.__doc__\nresult = dwex.parse.__doc__") is None


def test_annotations_store_records_annotate_none():
    f = dwex.parse
    f.__annotations__ = {"dwex": "bytes"}
    assert f.__dict__["__annotate__"] is None
    assert f.__annotate__ is None
    # With no annotate function left, the stored dict serves every format.
    assert annotationlib.get_annotations(f, format=annotationlib.Format.STRING) == {"dwex": "bytes"}
    assert str(inspect.signature(f)) == "(dwex: 'bytes')"


@pytest.mark.parametrize("value", [None, {"x": "int"}])
def test_annotations_store_then_rebound_annotate(value):
    f = dwex.parse
    f.__annotations__ = value

    def annotate(fmt):
        return {"dwex": "text"}

    f.__annotate__ = annotate
    assert f.__annotate__ is annotate
    assert f.__dict__["__annotate__"] is annotate
    assert annotationlib.get_annotations(f, format=annotationlib.Format.STRING) == {"dwex": "text"}


def test_stored_annotations_are_not_copied():
    mine = {"dwex": "str"}
    dwex.parse.__annotations__ = mine
    mine["return"] = "list"
    assert dwex.parse.__annotations__ is mine


REJECTED = [
    # (attribute, value or DELETE, exception, message)
    ("__name__", 3, TypeError, "__name__ must be set to a string object"),
    ("__name__", None, TypeError, "__name__ must be set to a string object"),
    ("__name__", b"parse", TypeError, "__name__ must be set to a string object"),
    ("func_name", 3, TypeError, "__name__ must be set to a string object"),
    ("__name__", DELETE, TypeError, "__name__ must be set to a string object"),
    ("func_name", DELETE, TypeError, "__name__ must be set to a string object"),
    ("__qualname__", 3, TypeError, "__qualname__ must be set to a string object"),
    ("__qualname__", None, TypeError, "__qualname__ must be set to a string object"),
    ("__qualname__", DELETE, TypeError, "__qualname__ must be set to a string object"),
    ("__defaults__", [1], TypeError, "__defaults__ must be set to a tuple object"),
    ("__defaults__", {}, TypeError, "__defaults__ must be set to a tuple object"),
    ("func_defaults", [1], TypeError, "__defaults__ must be set to a tuple object"),
    ("__kwdefaults__", (1,), TypeError, "__kwdefaults__ must be set to a dict object"),
    ("__kwdefaults__", [], TypeError, "__kwdefaults__ must be set to a dict object"),
    ("__annotations__", [("dwex", "str")], TypeError, "__annotations__ must be set to a dict object"),
    ("__annotations__", "dwex", TypeError, "__annotations__ must be set to a dict object"),
    ("__annotate__", 3, TypeError, "__annotate__ must be callable or None"),
    ("__annotate__", {}, TypeError, "__annotate__ must be callable or None"),
    ("__annotate__", DELETE, TypeError, "__annotate__ cannot be deleted"),
    ("__code__", None, AttributeError, "readonly attribute"),
    ("func_code", DELETE, AttributeError, "readonly attribute"),
    ("__globals__", {}, AttributeError, "readonly attribute"),
    ("func_globals", DELETE, AttributeError, "readonly attribute"),
    ("__closure__", (), AttributeError, "attribute '__closure__' of 'dwex.function' objects is not writable"),
    ("func_closure", DELETE, AttributeError,
     "attribute 'func_closure' of 'dwex.function' objects is not writable"),
    ("__dict__", 3, TypeError, "__dict__ must be set to a dictionary, not a 'int'"),
    ("__dict__", DELETE, TypeError, "cannot delete __dict__"),
    ("func_dict", DELETE, TypeError, "cannot delete __dict__"),
]


@pytest.mark.parametrize("function", ["stringify", "parse"])
@pytest.mark.parametrize("attr, value, error, message", REJECTED)
def test_store_rejected(function, attr, value, error, message):
    f = getattr(dwex, function)
    before = getattr(f, attr)
    with recorded_warnings() as caught, pytest.raises(error) as info:
        if value is DELETE:
            delattr(f, attr)
        else:
            setattr(f, attr, value)
    assert str(info.value) == message
    after = getattr(f, attr)
    # `__annotate__` reads a new bound builtin each time; the others are kept.
    assert after is before if attr != "__annotate__" else after == before
    assert caught == []


# ---------------------------------------------------------------- defaults warn

WARNED = [
    # (attribute, value stored or DELETE, name the warning gives)
    ("__defaults__", (1,), "__defaults__"),
    ("__defaults__", None, "__defaults__"),
    ("__defaults__", DELETE, "__defaults__"),
    ("func_defaults", (1,), "__defaults__"),
    ("func_defaults", DELETE, "__defaults__"),
    ("__kwdefaults__", {"lists": 1}, "__kwdefaults__"),
    ("__kwdefaults__", None, "__kwdefaults__"),
    ("__kwdefaults__", DELETE, "__kwdefaults__"),
]


@pytest.mark.parametrize("attr, value, shown", WARNED)
def test_defaults_store_warns_at_the_callers_line(attr, value, shown):
    with recorded_warnings() as caught:
        if value is DELETE:
            delattr(dwex.stringify, attr)
        else:
            setattr(dwex.stringify, attr, value)
    assert [w.category for w in caught] == [RuntimeWarning]
    # Stack level 1: the line that made the store.
    assert caught[0].filename == __file__
    assert str(caught[0].message) == f"changes to {shown} will not affect the values used in function calls"
    assert getattr(dwex.stringify, attr) == (None if value is DELETE else value)


@pytest.mark.parametrize("attr, value", [("__defaults__", (1,)), ("__kwdefaults__", {"lists": 1})])
def test_defaults_store_turned_into_an_error_stores_nothing(attr, value):
    with warnings.catch_warnings():
        warnings.simplefilter("error", RuntimeWarning)
        with pytest.raises(RuntimeWarning):
            setattr(dwex.stringify, attr, value)
    assert getattr(dwex.stringify, attr) is None


@pytest.mark.parametrize(
    "attr, value",
    [("__defaults__", ([["a"]],)), ("__kwdefaults__", {"lists": [["a"]]})],
)
def test_stored_defaults_are_never_used_by_a_call(attr, value):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        setattr(dwex.stringify, attr, value)
    with pytest.raises(TypeError) as info:
        dwex.stringify()
    assert str(info.value) == STRINGIFY_COUNT
    assert dwex.stringify([["a"]]) == "01a;"


def test_signature_shows_stored_defaults():
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        dwex.parse.__defaults__ = ("",)
    assert str(inspect.signature(dwex.parse)) == "(dwex: 'str' = '') -> 'list'"


# ---------------------------------------------------------------- inspect and help

SIGNATURES = [
    ("stringify", "(lists) -> 'str'"),
    ("parse", "(dwex: 'str') -> 'list'"),
]
FORMATS = [annotationlib.Format.VALUE, annotationlib.Format.FORWARDREF, annotationlib.Format.STRING]


@pytest.mark.parametrize("function, text", SIGNATURES)
@pytest.mark.parametrize("fmt", FORMATS)
def test_signature(function, text, fmt):
    assert str(inspect.signature(getattr(dwex, function), annotation_format=fmt)) == text


@pytest.mark.parametrize(
    "function, params, ret",
    [("stringify", [("lists", inspect.Parameter.empty)], "str"), ("parse", [("dwex", "str")], "list")],
)
def test_signature_parts(function, params, ret):
    sig = inspect.signature(getattr(dwex, function))
    assert [(p.name, p.annotation) for p in sig.parameters.values()] == params
    assert {p.kind for p in sig.parameters.values()} == {inspect.Parameter.POSITIONAL_OR_KEYWORD}
    assert all(p.default is inspect.Parameter.empty for p in sig.parameters.values())
    assert sig.return_annotation == ret


@pytest.mark.parametrize("function", ["stringify", "parse"])
@pytest.mark.parametrize("fmt", FORMATS)
def test_get_annotations(function, fmt):
    f = getattr(dwex, function)
    got = annotationlib.get_annotations(f, format=fmt)
    assert got == f.__annotations__
    assert got is not f.__annotations__


def test_help_shows_both_functions():
    text = pydoc.plain(pydoc.render_doc(dwex))
    assert f"    parse(dwex: str) -> list\n        {PARSE_DOC}\n" in text
    assert f"    stringify(lists) -> str\n        {STRINGIFY_DOC}\n" in text


# ---------------------------------------------------------------- pickling

@pytest.mark.parametrize("function", ["stringify", "parse"])
@pytest.mark.parametrize("protocol", range(pickle.HIGHEST_PROTOCOL + 1))
def test_pickle_by_reference(function, protocol):
    f = getattr(dwex, function)
    data = pickle.dumps(f, protocol)
    ops = [(op.name, arg) for op, arg, _ in pickletools.genops(data)]
    # A reference to the module attribute, never a reconstruction.
    assert "REDUCE" not in {name for name, _ in ops}
    strings = [arg for _, arg in ops if isinstance(arg, str)]
    assert f"dwex {function}" in strings or strings[:2] == ["dwex", function]
    assert pickle.loads(data) is f


@pytest.mark.parametrize("function", ["stringify", "parse"])
def test_reduce_gives_the_qualified_name(function):
    f = getattr(dwex, function)
    assert f.__reduce__() == function
    f.__qualname__ = "elsewhere"
    assert f.__reduce__() == "elsewhere"


def test_pickle_of_a_name_the_module_lacks_fails():
    dwex.parse.__qualname__ = "nowhere"
    with pytest.raises(pickle.PicklingError):
        pickle.dumps(dwex.parse)


@pytest.mark.parametrize("operation", [copy.copy, copy.deepcopy])
def test_copy_gives_the_same_object(operation):
    assert operation(dwex.parse) is dwex.parse


# ---------------------------------------------------------------- method binding

class Holder:
    stringify = dwex.stringify
    parse = dwex.parse

    def __iter__(self):
        return iter([["a", "bc"], ["d"]])


def test_read_through_an_instance_binds():
    holder = Holder()
    bound = holder.stringify
    assert bound.__self__ is holder
    assert bound.__func__ is dwex.stringify
    assert bound() == "01a02bc;01d;"
    assert str(inspect.signature(bound)) == "() -> 'str'"


def test_bound_call_passes_the_instance_as_the_argument():
    with pytest.raises(TypeError) as info:
        Holder().parse()
    assert str(info.value) == "Argument 'dwex' has incorrect type (expected str, got Holder)"
    with pytest.raises(TypeError) as info:
        Holder().stringify([["a"]])
    assert str(info.value) == "stringify() takes exactly 1 positional argument (2 given)"


@pytest.mark.parametrize("get", [lambda: Holder.parse, lambda: dwex.parse.__get__(None, Holder)],
                         ids=["class", "no instance"])
def test_read_through_the_class_is_the_function(get):
    assert get() is dwex.parse


# ---------------------------------------------------------------- garbage collector

def _str_with_marker(marker):
    text = StrSub("marked")
    text.marker = marker
    return text


# Each value holds a Marker, so a weak reference tells when it is released.
HELD = [
    ("__name__", _str_with_marker),
    ("__qualname__", _str_with_marker),
    ("__doc__", lambda m: m),
    ("__defaults__", lambda m: (m,)),
    ("__kwdefaults__", lambda m: {"k": m}),
    ("__annotations__", lambda m: {"k": m}),
    ("__dict__", lambda m: {"k": m}),
]


@pytest.mark.parametrize("function", ["stringify", "parse"])
@pytest.mark.parametrize("attr, make", HELD)
def test_collector_sees_every_stored_value(function, attr, make):
    f = getattr(dwex, function)
    marker = Marker()
    value = make(marker)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        setattr(f, attr, value)
    assert any(r is value for r in gc.get_referents(f))
    assert any(r is f for r in gc.get_referrers(value))
    alive = weakref.ref(marker)
    del marker, value
    _reset(f)
    gc.collect()
    assert alive() is None


@pytest.mark.parametrize("function", ["stringify", "parse"])
def test_collector_sees_the_fixed_fields(function):
    f = getattr(dwex, function)
    referents = gc.get_referents(f)
    for value in (f.__code__, f.__globals__, f.__qualname__, type(f)):
        assert any(r is value for r in referents)


CLEAR_SNIPPET = """
import ctypes, gc, warnings, weakref
import dwex

class Marker:
    pass

class StrSub(str):
    pass

f = dwex.parse
markers = [Marker() for _ in range(7)]
name, qualname = StrSub("n"), StrSub("q")
name.marker, qualname.marker = markers[5], markers[6]
f.__name__, f.__qualname__ = name, qualname
f.__doc__ = markers[0]
f.__annotations__ = {"k": markers[1]}
f.__dict__["k"] = markers[2]
warnings.simplefilter("ignore")
f.__defaults__ = (markers[3],)
f.__kwdefaults__ = {"k": markers[4]}
alive = [weakref.ref(m) for m in markers]
del markers, name, qualname

# The type's clear slot, called as the collector would on a cycle; the GIL
# stays held (PYFUNCTYPE).
api = ctypes.pythonapi
api.PyType_GetSlot.restype = ctypes.c_void_p
api.PyType_GetSlot.argtypes = [ctypes.py_object, ctypes.c_int]
clear = ctypes.PYFUNCTYPE(ctypes.c_int, ctypes.py_object)(api.PyType_GetSlot(type(f), 51))
status = clear(f)
del f
gc.collect()
result = (status, [ref() is None for ref in alive])
"""


def test_clear_releases_every_stored_value():
    # The module's functions are never garbage, so the collector never clears
    # them; calling the clear slot directly, in a child that exits right after,
    # shows what it would release for an unreachable one.
    assert run(CLEAR_SNIPPET) == (0, [True] * 7)


# ---------------------------------------------------------------- reference totals

needs_debug = pytest.mark.skipif(not leakcheck.IS_DEBUG, reason="needs sys.gettotalrefcount")


def _store_round(f, attr, value):
    original = getattr(f, attr)

    def round_trip():
        setattr(f, attr, value)
        setattr(f, attr, original)

    return round_trip


@needs_debug
@pytest.mark.parametrize("attr, value, reads, expected", ACCEPTED)
def test_store_keeps_the_reference_total(attr, value, reads, expected):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        leakcheck.assert_no_leak(_store_round(dwex.parse, attr, value))


@needs_debug
@pytest.mark.parametrize("attr, read, first, expected", DELETES)
def test_delete_keeps_the_reference_total(attr, read, first, expected):
    f = dwex.parse
    original = getattr(f, read)

    def round_trip():
        delattr(f, attr)
        setattr(f, read, original)

    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        leakcheck.assert_no_leak(round_trip)


@needs_debug
@pytest.mark.parametrize("attr, value, error, message", REJECTED)
def test_rejected_store_keeps_the_reference_total(attr, value, error, message):
    f = dwex.parse

    def attempt():
        try:
            if value is DELETE:
                delattr(f, attr)
            else:
                setattr(f, attr, value)
        except error:
            pass

    leakcheck.assert_no_leak(attempt)


READ_ONLY_OPS = sorted({attr for _, attr, _ in READS} | {"__code__", "__globals__", "__dict__", "__annotate__"})


@needs_debug
@pytest.mark.parametrize("attr", READ_ONLY_OPS)
def test_read_keeps_the_reference_total(attr):
    leakcheck.assert_no_leak(lambda: getattr(dwex.parse, attr))


@needs_debug
@pytest.mark.parametrize(
    "operation",
    [repr, lambda f: f.__reduce__(), lambda f: f.__annotate__(1), lambda f: pickle.dumps(f),
     lambda f: Holder().parse, inspect.signature],
    ids=["repr", "reduce", "annotate", "pickle", "bind", "signature"],
)
def test_operation_keeps_the_reference_total(operation):
    leakcheck.assert_no_leak(lambda: operation(dwex.parse))
