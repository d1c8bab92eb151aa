"""parse and stringify from many threads at once, on shared inputs, shared
tables and shared rows that another thread appends to and shortens, while yet
another thread rebinds and deletes HEX and ErrUnexpectedEndOfInput.

Every binding of HEX that the test makes is told apart by its width digits
(binding m writes the characters BASE + 16m + d, or the texts "<m:d>"), so a
document shows which binding each leaf was written with. Bindings are made in
order under one lock, so within one call the binding numbers never go down,
and a leaf that saw binding m (or made it, from its own __str__) is written
with m or a later one: a stale cached HEX shows as a step back.

DWEX_DEEP=1 runs the long version."""

import itertools
import os
import random
import sys
import threading
import time

import pytest

import dwex
from model import END_OF_INPUT, model_outcome, model_stringify
from subproc import run

DEEP = os.environ.get("DWEX_DEEP") == "1"
SECONDS = 60.0 if DEEP else 2.0
WORKERS = 8

BASE = 0x10000
LAST_BINDING = (0x10FFFF - BASE) // 16 - 1
DEFAULT_HEX = dwex.HEX
END_VALUES = (END_OF_INPUT, "end A", "end \U0001f600 B")
END_DELETED = "name 'ErrUnexpectedEndOfInput' is not defined"
STRINGIFY_ERRORS = {
    (IndexError, "string index out of range"),  # a one-character HEX
    (IndexError, "list index out of range"),  # a list shortened under a free-threaded walk
    (TypeError, "'int' object is not subscriptable"),
    (NameError, "name 'HEX' is not defined"),
}


def alphabet(m):
    return "".join(chr(BASE + 16 * m + d) for d in range(16))


class Bindings:
    """Numbers every change of HEX; `current` is the number of the last one."""

    def __init__(self):
        self.lock = threading.Lock()
        self.counter = itertools.count()
        self.current = -1  # the default HEX

    def rebind(self, rng=None):
        with self.lock:
            m = next(self.counter)
            if m > LAST_BINDING:
                return self.current
            way = rng.random() if rng is not None else 0.0
            if way < 0.6:
                dwex.HEX = alphabet(m)
            elif way < 0.75:
                dwex.HEX = [f"<{m}:{d}>" for d in range(16)]
            elif way < 0.85:
                dwex.__dict__.pop("HEX", None)
            elif way < 0.93:
                dwex.HEX = alphabet(m)[:1]
            else:
                dwex.HEX = 5
            self.current = m
            return m


BINDINGS = Bindings()
LOCAL = threading.local()


class Recorder:
    """A leaf whose __str__ lets other threads run (or rebinds HEX itself) and
    records the binding number current when it returns. Its text starts with
    "Y" or "R"; no other leaf's does."""

    def __init__(self, text, rebinds=False):
        self.text = ("R" if rebinds else "Y") + text
        self.rebinds = rebinds
        self.calls = itertools.count()

    def __str__(self):
        # Rebinding on every call would use up the binding numbers too soon.
        if self.rebinds and next(self.calls) % 16 == 0:
            seen = BINDINGS.rebind()
        else:
            time.sleep(0)
            seen = BINDINGS.current
        LOCAL.records.append(seen)
        return self.text


def text_of(leaf):
    return leaf.text if isinstance(leaf, Recorder) else leaf


def decode(doc):
    """The rows of a document and the binding number of each leaf's width digit."""
    rows, row, numbers, k = [], [], [], 0
    while k < len(doc):
        c = doc[k]
        if c == ";":
            rows.append(row)
            row, k = [], k + 1
            continue
        if c == "<":
            end = doc.index(">", k)
            m, d = map(int, doc[k + 1:end].split(":"))
            k = end + 1
        elif c in DEFAULT_HEX:
            m, d, k = -1, DEFAULT_HEX.index(c), k + 1
        else:
            m, d = divmod(ord(c) - BASE, 16)
            assert 0 <= m <= LAST_BINDING, f"width digit {c!a}"
            k += 1
        digits = doc[k:k + d + 1]
        assert digits.isdigit() and len(str(int(digits))) == d + 1, f"length field {digits!a}"
        n, k = int(digits), k + d + 1
        start, units = k, 0
        while units < n:
            units += 2 if ord(doc[k]) > 0xFFFF else 1
            k += 1
        assert units == n, "content ends inside a character"
        row.append(doc[start:k])
        numbers.append(m)
    assert not row, "no row terminator at the end"
    return rows, numbers


# ---------------------------------------------------------------- shared inputs

TEXTS = ["", "a", "bc", "x" * 9, "y" * 10, "\xe9" * 11, "\u4e2d;", "\U0001f600", "z" * 100,
         "\ud800", "0;0", "<1:2>", chr(BASE + 5)]


def f(i):
    """The leaf at index i of every shared row, whatever its length."""
    if i % 5 == 4:
        return Recorder(str(i))
    return TEXTS[i % len(TEXTS)] + str(i)


ROW_LIMIT = 40
SHARED_ROWS = [[f(i) for i in range(n)] for n in (0, 3, 12)]
STATIC_ROWS = [tuple(TEXTS), (Recorder("s"), "a", Recorder("t", rebinds=True), "b"), ()]
# Row j of the shared table is always TABLE_ROWS[j]; the table grows and shrinks.
TABLE_ROWS = SHARED_ROWS + STATIC_ROWS + SHARED_ROWS
SHARED_TABLE = list(TABLE_ROWS[:4])
STATIC_TABLES = [
    [list(TEXTS)],
    (tuple(TEXTS[:5]), [Recorder("u")], ()),
    [[Recorder("v", rebinds=True), "w", Recorder("x")], TEXTS[5:]],
]


def _documents():
    docs = []
    rng = random.Random(7)
    for table in ([["a", "bc"], ["d"]], [TEXTS], [["\U0001f600" * 3, "\xe9"]], [[]]):
        doc = model_stringify(table)
        docs.append(doc)
        docs += [doc[:-1], doc[:rng.randrange(1, len(doc) + 1)], doc + "x", "g" + doc, "01\U0001f600;",
                 "0x", "02\U0001f600;0x", "", "05ab;"]
    return docs


DOCUMENTS = _documents()


# ---------------------------------------------------------------- checks


def check_row(row, decoded):
    """A decoded row against the row it came from."""
    if isinstance(row, list) and row in SHARED_ROWS:
        assert decoded == [text_of(f(i)) for i in range(len(decoded))], decoded
    else:
        assert decoded == [text_of(leaf) for leaf in row]


def check_stringify(table, shared_table):
    LOCAL.records = []
    try:
        doc = dwex.stringify(table)
    except (IndexError, TypeError, NameError) as exc:
        assert (type(exc), str(exc)) in STRINGIFY_ERRORS, repr(exc)
        return "error"
    rows, numbers = decode(doc)
    assert numbers == sorted(numbers), f"binding numbers went down: {numbers}"
    recorded = [m for row, m in zip(itertools.chain(*rows), numbers) if row[:1] in "YR" and row]
    assert len(recorded) == len(LOCAL.records)
    for seen, used in zip(LOCAL.records, recorded):
        assert used >= seen, f"a leaf saw binding {seen}, later written with {used}"
    if shared_table:
        assert len(rows) <= len(TABLE_ROWS)
        for j, decoded in enumerate(rows):
            check_row(TABLE_ROWS[j], decoded)
    else:
        assert len(rows) == len(table)
        for row, decoded in zip(table, rows):
            check_row(row, decoded)
    return "document"


def check_parse(doc):
    want = model_outcome(doc)
    try:
        got = dwex.parse(doc)
    except NameError as exc:
        assert want[0] == "error" and want[2] == (END_OF_INPUT,) and str(exc) == END_DELETED
        return "error"
    except SyntaxError as exc:
        if want[2] == (END_OF_INPUT,):
            assert exc.args[0] in END_VALUES and len(exc.args) == 1
        else:
            assert exc.args == want[2]
        return "error"
    assert want[0] == "ok" and got == want[1]
    assert all(type(row) is list and all(type(v) is str for v in row) for row in got)
    return "table"


# ---------------------------------------------------------------- the run


@pytest.fixture
def fast_switching():
    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-5)
    try:
        yield
    finally:
        sys.setswitchinterval(interval)
        dwex.HEX = DEFAULT_HEX
        dwex.ErrUnexpectedEndOfInput = END_OF_INPUT


def _worker(seed, stop, counts, problems):
    rng = random.Random(seed)
    while not stop.is_set():
        job = rng.randrange(4)
        try:
            if job == 0:
                outcome = check_parse(rng.choice(DOCUMENTS))
            elif job == 1:
                outcome = check_stringify(rng.choice(STATIC_TABLES), False)
            elif job == 2:
                outcome = check_stringify([rng.choice(SHARED_ROWS), rng.choice(STATIC_ROWS)], False)
            else:
                outcome = check_stringify(SHARED_TABLE, True)
            counts[(job, outcome)] = counts.get((job, outcome), 0) + 1
        except Exception as exc:  # noqa: BLE001 - every failure is collected and reported
            problems.append(f"job {job}: {type(exc).__name__}: {exc}")
            if len(problems) > 20:
                stop.set()


def _rebinder(stop):
    rng = random.Random(1)
    while not stop.is_set():
        BINDINGS.rebind(rng)
        way = rng.random()
        if way < 0.2:
            dwex.__dict__.pop("ErrUnexpectedEndOfInput", None)
        else:
            dwex.ErrUnexpectedEndOfInput = rng.choice(END_VALUES)
        time.sleep(0.002 if DEEP else 0.0002)


def _mutator(stop):
    rng = random.Random(2)
    while not stop.is_set():
        for row in SHARED_ROWS[1:]:
            if len(row) < ROW_LIMIT and rng.random() < 0.5:
                row.append(f(len(row)))
            elif row:
                row.pop()
        if len(SHARED_TABLE) < len(TABLE_ROWS) and rng.random() < 0.5:
            SHARED_TABLE.append(TABLE_ROWS[len(SHARED_TABLE)])
        elif SHARED_TABLE:
            SHARED_TABLE.pop()
        if rng.random() < 0.1:
            time.sleep(0)


def test_threads_share_inputs_tables_rows_and_bindings(fast_switching):
    stop = threading.Event()
    counts, problems = {}, []
    threads = [threading.Thread(target=_worker, args=(k, stop, counts, problems))
               for k in range(WORKERS)]
    threads += [threading.Thread(target=_rebinder, args=(stop,)),
                threading.Thread(target=_mutator, args=(stop,))]
    for thread in threads:
        thread.start()
    stop.wait(SECONDS)
    stop.set()
    for thread in threads:
        thread.join()
    assert not problems, problems[:10]
    calls = sum(counts.values())
    print(f"threads: {WORKERS} workers, {calls} calls, {BINDINGS.current + 1} bindings of HEX, "
          f"outcomes {sorted(counts.items())}")
    # Every kind of job ran, and both ways out were seen under the rebinding.
    assert {job for job, _ in counts} == {0, 1, 2, 3}
    assert {outcome for _, outcome in counts} == {"table", "document", "error"}


FIRST_READS = """
import threading
import dwex

barrier = threading.Barrier(8)
seen = []

def read():
    barrier.wait()
    seen.append(tuple(id(getattr(f, name)) for f in (dwex.parse, dwex.stringify)
                      for name in ("__name__", "__doc__")))

threads = [threading.Thread(target=read) for _ in range(8)]
for t in threads:
    t.start()
for t in threads:
    t.join()
result = len(set(seen)), len(seen)
"""


@pytest.mark.parametrize("attempt", range(10 if DEEP else 2))
def test_concurrent_first_reads_give_one_object(attempt):
    # A fresh process each time: a name or docstring is made on its first read.
    assert run(FIRST_READS) == (1, 8)
