"""Allocation failures in read_arrow and write_arrow, at every allocation: the
interpreter's (through _testcapi) and the Arrow module's own operator new and
byte buffers (its test build, build/lib-faults). Reads go through a consumer
of the C stream and through the module's batches, on one thread and split
among three; writes go to a BytesIO and to a path. Every attempt ends with
the right result or MemoryError (a consumer's own subclass of it included),
never a crash; a path keeps its old contents and gets no file beside it. On a
debug interpreter, reads through the module's batches also keep the reference
total steady whatever allocation fails; the calls in which pyarrow's own code
runs are checked for their outcomes only."""

import sys

import pytest

import dwex

from leakcheck import native_faults_dir, nomemory_sweep
from thresholds import child_setup

pytest.importorskip("_testcapi")
pytest.importorskip("pyarrow")

NEEDS_FAULTS = pytest.mark.skipif(native_faults_dir() is None,
                                  reason="no build of the module that fails its allocations")
INJECTORS = pytest.mark.parametrize("injector", ["interpreter", pytest.param("native", marks=NEEDS_FAULTS)])
ONE_OR_ALL = pytest.mark.parametrize("only_one", [False, True], ids=["all fail", "one fails"])
# A debug interpreter's leak check tries each failing allocation eleven times.
TIMEOUT = 1200

# After the module's directory: dwexio, its natives and the consumers.
_PATHS = f"sys.path[1:1] = {[p for p in sys.path if p]!r}"

ROWS = [["a", "é" * 9, "\U0001F600" * 5]] * 40

_READ_SETUP = f"""
import io
{_PATHS}
import pyarrow as pa
import dwexio
{child_setup(read_window=300)}
DATA = {dwex.stringify(ROWS).encode()!r}
ROWS = {ROWS!r}

def prepare():
    return io.BytesIO(DATA)

def rows(table):
    return [list(row.values()) for row in table.to_pylist()]
"""

READS = {
    # pyarrow takes the C stream: get_schema, get_next, get_last_error, release.
    "C stream": ("pa.table(dwexio.read_arrow(arg, batch_rows=7, threads=THREADS))",
                 "rows(result) == ROWS"),
    # The module's own batches, with columns, a row limit and views, as
    # test_arrow_read.py's sweep reads them.
    "batches": ("list(map(lambda b: (b.num_rows, b.__arrow_c_array__() and 1), dwexio.read_arrow("
                "arg, columns=[2, 0], n_rows=30, batch_rows=7, string_type='string_view', threads=THREADS)._stream))",
                "sum(r for r, _ in result) == 30"),
}


# The interpreter's allocations failing in a read: test_arrow_read.py. pyarrow's
# own Python code does not survive those, so its C stream meets only the module's.
@NEEDS_FAULTS
@ONE_OR_ALL
@pytest.mark.parametrize("threads", [1, 3])
@pytest.mark.parametrize("read", list(READS))
def test_read_with_own_allocations_failing(read, threads, only_one):
    call, check = READS[read]
    nomemory_sweep(_READ_SETUP, call.replace("THREADS", str(threads)), check, entries=[],
                   only_one=only_one, injector="native", leaks=read == "batches", timeout=TIMEOUT)


# A column of each kind that the writer takes as it is, with nulls, in
# batches of two rows. A failing write leaves the path with its old contents
# or, failing once the new file has replaced it, the whole new document, and
# nothing beside it; prepare() checks what the attempt before it left.
_WRITE_SETUP = f"""
import io, os, pathlib, tempfile
{_PATHS}
import pyarrow as pa
import dwexio
DIR = pathlib.Path(tempfile.mkdtemp())
PATH = DIR / "table.dwex"
OLD = b"03old;"
STRINGS = ["a", None, "\\u00e9t\\u00e9", "\\U0001F600" * 3, "plain " * 12]
TABLE = pa.Table.from_batches(pa.table({{
    "s": pa.array(STRINGS, pa.string()),
    "l": pa.array(STRINGS, pa.large_string()),
    "v": pa.array(STRINGS, pa.string_view()),
    "d": pa.array(STRINGS, pa.string()).dictionary_encode(),
}}).to_batches(max_chunksize=2))
STATE = {{"failed": False}}

def prepare():
    if STATE["failed"] and TO == "path":
        assert PATH.read_bytes() in (OLD, EXPECTED), PATH.read_bytes()
        assert os.listdir(DIR) == [PATH.name], os.listdir(DIR)
    PATH.write_bytes(OLD)
    STATE["failed"] = True
    return io.BytesIO() if TO == "bytes" else PATH

def write(arg):
    try:
        dwexio.write_arrow(TABLE, arg, header=True, null="-")
    except RuntimeError as e:
        # The interpreter's buffered file reports the lock it could not
        # allocate so.
        if str(e) == "can't allocate read lock":
            raise MemoryError from e
        raise
    STATE["failed"] = False
    return arg

def content(result):
    return result.getvalue() if TO == "bytes" else PATH.read_bytes()

EXPECTED = content(write(prepare()))
assert EXPECTED.startswith(b"01s01l01v01d;01a01a01a01a;01-"), EXPECTED
"""


@INJECTORS
@ONE_OR_ALL
@pytest.mark.parametrize("to", ["bytes", "path"])
def test_write_with_allocations_failing(to, only_one, injector):
    nomemory_sweep(_WRITE_SETUP.replace("TO ==", f"{to!r} =="), "write(arg)",
                   "content(result) == EXPECTED", entries=[], only_one=only_one,
                   injector=injector, timeout=TIMEOUT)
