"""What `import dwex` leaves behind, and what later loads get: the namespace,
the attributes copied from the spec, re-imports, reloads, loads under another
name, failed imports and other interpreters. Anything that needs a first
import runs in a fresh interpreter."""

import builtins
import sys
import sysconfig

import pytest

import dwex
from subproc import run

OWN_KEYS = [
    "__builtins__",
    "sys",
    "__all__",
    "HEX",
    "ErrUnexpectedEndOfInput",
    "UTF16_CODEC",
    "stringify",
    "parse",
    "__test__",
]
# What PyModule_NewObject, the create step and the import system write.
INTERPRETER_KEYS = {"__name__", "__doc__", "__package__", "__loader__", "__spec__", "__file__"}

INTERPRETER_CHANGE = (
    "Interpreter change detected - this module can only be loaded into one "
    "interpreter per process."
)
NATIVE_CODEC = "utf-16-be" if sys.byteorder == "big" else "utf-16-le"
REINITIALISED = "Module 'dwex' has already been imported. Re-initialisation is not supported."

# The execution step takes `sys` from sys.modules and reads its byteorder, so a
# stand-in there for the length of one import steers (or breaks) that step.
STAND_IN_SYS = """
import types

class Ne:
    def __init__(self, answer):
        self.answer = answer
    def __ne__(self, other):
        return self.answer

class BadBool:
    def __bool__(self):
        raise LookupError("truth")

class Raises:
    def __ne__(self, other):
        raise ValueError("byteorder")

class StrSub(str):
    pass

def import_with_byteorder(byteorder):
    real = sys.modules["sys"]
    stand_in = types.ModuleType("sys")
    stand_in.byteorder = byteorder
    sys.modules["sys"] = stand_in
    try:
        return __import__("dwex")
    finally:
        sys.modules["sys"] = real

def failed_import(byteorder):
    try:
        import_with_byteorder(byteorder)
    except BaseException as e:
        return e
    raise AssertionError("the import succeeded")
"""


# -- namespace -------------------------------------------------------------


def test_own_keys_keep_their_order():
    keys = run("import dwex\nresult = list(vars(dwex))")
    assert [k for k in keys if k in OWN_KEYS] == OWN_KEYS


def test_own_keys_come_after_the_interpreters():
    keys = run("import dwex\nresult = list(vars(dwex))")
    assert keys[-len(OWN_KEYS) :] == OWN_KEYS
    assert set(keys[: -len(OWN_KEYS)]) <= INTERPRETER_KEYS


@pytest.mark.parametrize(
    ("name", "value"),
    [
        ("__all__", ["stringify", "parse"]),
        ("HEX", "0123456789abcdef"),
        ("ErrUnexpectedEndOfInput", "Unexpected end of input"),
        ("UTF16_CODEC", NATIVE_CODEC),
        ("__test__", {}),
        ("__name__", "dwex"),
        ("__package__", ""),
    ],
)
def test_namespace_value(name, value):
    got = getattr(dwex, name)
    assert type(got) is type(value)
    assert got == value


@pytest.mark.parametrize(
    ("name", "value"),
    [("__builtins__", builtins), ("sys", sys), ("__doc__", None)],
    ids=["__builtins__", "sys", "__doc__"],
)
def test_namespace_identity(name, value):
    assert getattr(dwex, name) is value


def test_no_path_for_a_plain_module():
    assert "__path__" not in vars(dwex)


def test_file_and_loader_come_from_the_spec():
    assert dwex.__file__ == dwex.__spec__.origin
    assert dwex.__loader__ is dwex.__spec__.loader


def test_no_warning_on_import():
    messages = run(
        """
        import warnings
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            import dwex
        result = [str(w.message) for w in caught]
        """
    )
    # A free-threaded interpreter warns that it turned the GIL on; that
    # warning is the interpreter's, not the module's.
    assert [m for m in messages if "GIL" not in m] == []


@pytest.mark.skipif(
    not sysconfig.get_config_var("Py_GIL_DISABLED"), reason="needs a free-threaded build"
)
def test_import_turns_the_gil_on():
    enabled = run(
        """
        import warnings
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            import dwex
        result = sys._is_gil_enabled()
        """
    )
    assert enabled is True


# -- the create step, seen through the loader ------------------------------

CREATE = """
import _imp, importlib.machinery, importlib.util
spec = {spec}
module = _imp.create_dynamic(spec)
d = vars(module)
result = {expr}
"""

PLAIN = 'importlib.util.spec_from_file_location("dwex", SO)'
PACKAGE = 'importlib.util.spec_from_file_location("dwex", SO, submodule_search_locations=["/x"])'
NO_LOADER = 'importlib.machinery.ModuleSpec("dwex", None, origin=SO)'
# Only the two attributes that the interpreter itself reads before the step.
BARE = 'types.SimpleNamespace(name="dwex", origin=SO)'


@pytest.mark.parametrize(
    ("module_spec", "expr", "expected"),
    [
        (PLAIN, 'd["__name__"]', "dwex"),
        (PLAIN, 'd["__loader__"] is spec.loader', True),
        (PLAIN, 'd["__file__"] == spec.origin', True),
        (PLAIN, 'd["__package__"]', ""),
        (PLAIN, '"__path__" in d', False),
        (PACKAGE, 'd["__package__"]', "dwex"),
        (PACKAGE, 'd["__path__"] is spec.submodule_search_locations', True),
        (NO_LOADER, '"__loader__" in d and d["__loader__"] is None', True),
        (NO_LOADER, 'd["__file__"] == SO', True),
        (BARE, 'd["__file__"] == SO', True),
        (BARE, '"__path__" in d', False),
    ],
)
def test_create_step_copies_spec(module_spec, expr, expected):
    code = "import types\n" + CREATE.format(spec=module_spec, expr=expr)
    assert run(code) == expected


def test_create_step_fails_with_a_spec_error():
    got = run(
        """
        import _imp
        class BrokenSpec:
            name = "dwex"
            origin = SO
            @property
            def loader(self):
                raise KeyError("loader")
        try:
            _imp.create_dynamic(BrokenSpec())
            result = None
        except KeyError as e:
            result = repr(e)
        """
    )
    assert got == "KeyError('loader')"


# -- further loads of the same module --------------------------------------

REIMPORT = """
import dwex
first, first_parse = dwex, dwex.parse
dwex.HEX = "x"
del sys.modules["dwex"]
import dwex
result = {expr}
"""


@pytest.mark.parametrize(
    ("expr", "expected"),
    [
        ("dwex is first", True),
        ("dwex.parse is first_parse", True),
        ("dwex.HEX", "x"),
        ('sys.modules["dwex"] is first', True),
    ],
)
def test_reimport_after_del(expr, expected):
    assert run(REIMPORT.format(expr=expr)) == expected


RELOAD = """
import importlib, dwex
first, first_parse = dwex, dwex.parse
dwex.HEX = "x"
again = importlib.reload(dwex)
result = {expr}
"""


@pytest.mark.parametrize(
    ("expr", "expected"),
    [
        ("again is first", True),
        ("dwex.parse is first_parse", True),
        ("dwex.HEX", "x"),
        ('dwex.stringify([["a"]])', "x1a;"),
    ],
)
def test_reload(expr, expected):
    assert run(RELOAD.format(expr=expr)) == expected


def test_create_after_import_gives_the_module():
    same = run(
        """
        import importlib.util, dwex
        spec = importlib.util.find_spec("dwex")
        result = spec.loader.create_module(spec) is dwex
        """
    )
    assert same is True


TWO_CREATES = """
import importlib.util, traceback
spec = importlib.util.find_spec("dwex")
a = spec.loader.create_module(spec)
b = spec.loader.create_module(spec)
spec.loader.exec_module(a)
try:
    spec.loader.exec_module(b)
    err = None
except RuntimeError as e:
    err = e
result = {expr}
"""


@pytest.mark.parametrize(
    ("expr", "expected"),
    [
        ("a is not b", True),
        ("str(err)", REINITIALISED),
        ('[f.name for f in traceback.extract_tb(err.__traceback__) if f.filename == "dwex"]', []),
        ("a.HEX", "0123456789abcdef"),
    ],
)
def test_execution_step_on_a_second_module_object(expr, expected):
    assert run(TWO_CREATES.format(expr=expr)) == expected


# -- a load as the member of a package -------------------------------------

PACKAGE_LOAD = """
import os, shutil
pkg = os.path.join(ROOT, "pkg")
os.mkdir(pkg)
open(os.path.join(pkg, "__init__.py"), "w").close()
shutil.copy(SO, pkg)
sys.path.insert(0, ROOT)
{before}
import pkg.dwex
m = sys.modules["pkg.dwex"]
result = {expr}
"""


@pytest.mark.parametrize(
    ("expr", "expected"),
    [
        ('sys.modules["dwex"] is m', True),
        ("m.__name__", "pkg.dwex"),
        ("m.__package__", "pkg"),
        ("m.parse.__module__", "dwex"),
        ("m.stringify.__module__", "dwex"),
        ("__import__('dwex') is m", True),
    ],
)
def test_package_member(tmp_path, expr, expected):
    code = PACKAGE_LOAD.format(before="", expr=expr)
    assert run(code, ROOT=str(tmp_path)) == expected


def test_package_member_leaves_a_taken_key(tmp_path):
    before = 'import types\ntaken = types.ModuleType("dwex")\nsys.modules["dwex"] = taken'
    code = PACKAGE_LOAD.format(before=before, expr='sys.modules["dwex"] is taken')
    assert run(code, ROOT=str(tmp_path)) is True


# -- an embedding host that marks the module as __main__ -------------------

AS_MAIN = """
import ctypes
flag = ctypes.c_int.in_dll(ctypes.CDLL(SO), "dwex_module_is_main")
before = flag.value
flag.value = 1
import dwex
result = {expr}
"""


@pytest.mark.parametrize(
    ("expr", "expected"),
    [
        ("before", 0),
        ("dwex.__name__", "__main__"),
        ('sys.modules["dwex"] is dwex', True),
        ('sys.modules["__main__"] is not dwex', True),
        ("flag.value", 1),
        ("dwex.parse.__module__", "dwex"),
    ],
)
def test_marked_as_main(expr, expected):
    assert run(AS_MAIN.format(expr=expr)) == expected


# -- the byteorder test and a failing execution step -----------------------


@pytest.mark.parametrize(
    ("byteorder", "codec"),
    [
        ('"little"', "utf-16-le"),
        ('"".join(["b", "ig"])', "utf-16-be"),
        ('StrSub("big")', "utf-16-be"),
        ('StrSub("little")', "utf-16-le"),
        ("Ne(False)", "utf-16-be"),
        ("Ne(True)", "utf-16-le"),
        ("Ne(0)", "utf-16-be"),
        ('Ne("yes")', "utf-16-le"),
    ],
)
def test_utf16_codec_follows_byteorder(byteorder, codec):
    code = STAND_IN_SYS + f"result = import_with_byteorder({byteorder}).UTF16_CODEC"
    assert run(code) == codec


FAILED = (
    STAND_IN_SYS
    + """
import traceback
err = failed_import({byteorder})
frames = traceback.extract_tb(err.__traceback__)
entries = [(f.name, f.lineno) for f in frames if f.filename == "dwex"]
result = {expr}
"""
)

FAILING_BYTEORDERS = [
    ("Raises()", "ValueError('byteorder')"),
    ("Ne(BadBool())", "LookupError('truth')"),
]


@pytest.mark.parametrize(("byteorder", "error"), FAILING_BYTEORDERS)
def test_failed_import_raises_the_error(byteorder, error):
    assert run(FAILED.format(byteorder=byteorder, expr="repr(err)")) == error


@pytest.mark.parametrize(("byteorder", "error"), FAILING_BYTEORDERS)
def test_failed_import_has_one_init_entry(byteorder, error):
    assert run(FAILED.format(byteorder=byteorder, expr="entries")) == [("init dwex", 20)]


@pytest.mark.parametrize(
    ("expr", "expected"),
    [
        ('"dwex" in sys.modules', False),
        ("__import__('dwex').UTF16_CODEC", NATIVE_CODEC),
    ],
    ids=["no-sys-modules-entry", "reimport-works"],
)
def test_import_after_failure(expr, expected):
    got = run(FAILED.format(byteorder="Raises()", expr=expr))
    assert got == expected


def test_failed_module_is_not_reused():
    got = run(
        STAND_IN_SYS
        + """
err = failed_import(Raises())
tb = err.__traceback__
while tb.tb_frame.f_code.co_filename != "dwex":
    tb = tb.tb_next
failed_ns = tb.tb_frame.f_globals
import dwex
result = (vars(dwex) is failed_ns, failed_ns["__name__"])
"""
    )
    assert got == (False, "dwex")


# -- lookups of module attributes at the moment of use ---------------------


def test_lookup_falls_back_to_builtins():
    got = run(
        """
        import builtins, dwex
        del dwex.HEX
        builtins.HEX = "Z123456789abcdef"
        result = dwex.stringify([["a"]])
        """
    )
    assert got == "Z1a;"


# -- other interpreters ----------------------------------------------------

IN_SUBINTERPRETER = (
    STAND_IN_SYS
    + """
import _interpreters
{main}
interp = _interpreters.create("{config}")
try:
    err = _interpreters.exec(interp, "import sys\\nsys.path.insert(0, %r)\\nimport dwex\\n" % LIB)
finally:
    _interpreters.destroy(interp)
result = {expr}
"""
)

MAIN_STATES = {
    "imported": "import dwex",
    "failed": "failed_import(Raises())",
}


@pytest.mark.parametrize("main", MAIN_STATES)
def test_subinterpreter_import_fails(main):
    code = IN_SUBINTERPRETER.format(
        main=MAIN_STATES[main], config="legacy", expr="err and (err.type.__name__, err.msg)"
    )
    assert run(code) == ("ImportError", INTERPRETER_CHANGE)


def test_main_still_works_after_subinterpreter_refusal():
    code = IN_SUBINTERPRETER.format(
        main="import dwex", config="legacy", expr='dwex.parse("01a;")'
    )
    assert run(code) == [["a"]]


def test_isolated_subinterpreter_refusal_leaves_main_free():
    # The interpreter refuses the module in an isolated interpreter before the
    # create step runs, so the first interpreter can still load it afterwards.
    code = IN_SUBINTERPRETER.format(
        main="", config="isolated", expr='(err.type.__name__, err.msg, __import__("dwex").HEX)'
    )
    refusal = "module dwex does not support loading in subinterpreters"
    assert run(code) == ("ImportError", refusal, "0123456789abcdef")


# -- a failed load as a package member -------------------------------------

PACKAGE_FAILED_LOAD = (
    STAND_IN_SYS
    + """
import os, shutil, types
pkg = os.path.join(ROOT, "pkg")
os.mkdir(pkg)
open(os.path.join(pkg, "__init__.py"), "w").close()
shutil.copy(SO, pkg)
sys.path.insert(0, ROOT)
real = sys.modules["sys"]
stand_in = types.ModuleType("sys")
stand_in.byteorder = Raises()
sys.modules["sys"] = stand_in
try:
    import pkg.dwex
except ValueError:
    pass
finally:
    sys.modules["sys"] = real
result = ("pkg.dwex" in sys.modules, "dwex" in sys.modules, __import__("dwex").parse("01a;"))
"""
)


def test_failed_package_member_load_leaves_no_dwex_entry(tmp_path):
    # The extra name is entered before the step that fails; a half-made
    # module must not stay reachable under it.
    assert run(PACKAGE_FAILED_LOAD, ROOT=str(tmp_path)) == (False, False, [["a"]])
