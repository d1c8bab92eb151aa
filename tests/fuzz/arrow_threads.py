"""Differential fuzzing of read_arrow on threads against read_arrow on one.

A case is a plain literal, saved with ascii() like the model's cases:

    ("arrow", document bytes, options, source, consumer, [(threads, window), ...])

`options` are read_arrow's (header, columns, n_rows, string_type,
batch_rows); `source` is how the bytes are offered: "bytes" (io.BytesIO),
"path", ("trickle", n) (a file that gives at most n bytes a call) or
("failing", n) (one whose reads fail once n bytes are given); `consumer` is
"iter" (the reader's batches) or "stream" (pyarrow's reader of its C
stream). Each (threads, window) reading, with the reader's window set to
`window` bytes, must deliver the rows that one thread delivers, in order,
in batches of 1 to batch_rows rows (a share of a window may end one early),
then the same exception: type, message, arguments, notes and byte offset.

Documents are tables written with every width digit and leading zeros, with
leaves of every width (ASCII, 2- and 3-byte, astral, lone surrogates as
surrogatepass writes them), leaves holding whole documents of the same column
count (guesses fall inside them), rows longer than a window, rows of the
wrong length, and damage: bytes inserted, dropped or replaced, bytes that are
not UTF-8, the end cut off.
"""

import inspect
import io
import os
import sys
import tempfile
from pathlib import Path

HERE = Path(__file__).resolve().parent
ROOT = HERE.parents[1]
REGRESSIONS = HERE / "regressions-arrow"

LIB = str(ROOT / "build" / ("lib-debug" if hasattr(sys, "gettotalrefcount") else "lib"))
if "dwex" not in sys.modules:
    # As cases.py: the build DWEX_LIB names, or the one the test suite uses.
    sys.path.insert(0, os.environ.get("DWEX_LIB") or LIB)
if LIB not in sys.path:
    # dwexio's native helpers, for a build (DWEX_LIB) that has none of its own.
    sys.path.append(LIB)
sys.path.append(str(ROOT / "tests" / "python" / "support"))
sys.path.insert(0, str(HERE))

import dwex  # noqa: E402
import pyarrow as pa  # noqa: E402

import dwexio  # noqa: E402
import thresholds  # noqa: E402

BATCH_ROWS = inspect.signature(dwexio.read_arrow).parameters["batch_rows"].default

# ---------------------------------------------------------------- documents

LEAF_CHARS = ["a", "z", "0", "9", ";", "f", "x", " ", "\n", "\xe9", "\u4e2d", "\uffff", "\U0001f600",
              "\U00010000"]


def utf16_units(s):
    return len(s.encode("utf-16-le", "surrogatepass")) // 2


def item(rng, leaf):
    """The leaf written as an item, mostly as stringify writes it, sometimes
    with more length digits (a width digit in either case)."""
    n = utf16_units(leaf)
    digits = str(n)
    if rng.random() < 0.1:
        digits = digits.rjust(min(16, len(digits) + rng.randrange(1, 4)), "0")
    width = "0123456789abcdef"[len(digits) - 1]
    if rng.random() < 0.2:
        width = width.upper()
    return width + digits + leaf


def leaf(rng, columns):
    kind = rng.random()
    if kind < 0.5:
        return "".join(rng.choice("abcxyz;0123") for _ in range(rng.choice([0, 1, 2, 3, 5, 9, 10])))
    if kind < 0.75:
        return "".join(rng.choice(LEAF_CHARS) for _ in range(rng.randrange(0, 12)))
    if kind < 0.85:
        # A whole document of the table's shape: a guess may start inside it.
        inner = [[f"{r}{c}" for c in range(columns)] for r in range(rng.randrange(1, 8))]
        return dwex.stringify(inner)
    if kind < 0.93:
        return rng.choice("ab;\xe9\U0001f600") * rng.choice([40, 100, 333, 1200, 5000])
    if kind < 0.97:
        return rng.choice(["\ud800", "\udfff", "a\ud83d"])
    return rng.choice(["01a;", ";;", "00;", "0", "01"])


def document(rng):
    """A table written with the same column count in (almost) every row, and
    that count."""
    columns = rng.choice([0, 1, 1, 2, 3, 3, 4, 6])
    rows = rng.choice([1, 2, 3, 5, rng.randrange(1, 40), rng.randrange(20, 300)])
    parts = []
    for _ in range(rows):
        count = columns
        if rng.random() < 0.02:
            count = max(0, columns + rng.choice([-1, 1]))
        parts.append("".join(item(rng, leaf(rng, columns)) for _ in range(count)) + ";")
    return "".join(parts).encode("utf-8", "surrogatepass"), columns


DAMAGE = [b"0x", b"g", b";", b"\xff", b"\xc3", b"\xe4\xb8", b"\xf0\x9f\x98", b"\xed\xa0\x80", b"\xc0\xaf",
          b"9", b"f", b"\x80", b"c1000000000000"]


def damaged(rng, data):
    for _ in range(rng.choice([1, 1, 2])):
        at = rng.randrange(len(data) + 1)
        how = rng.random()
        if how < 0.4:
            data = data[:at] + rng.choice(DAMAGE) + data[at:]
        elif how < 0.7:
            data = data[:at] + data[at + rng.randrange(1, 4):]
        elif how < 0.9:
            data = data[:at] + rng.choice(DAMAGE) + data[at + 1:]
        else:
            data = data[:at]
    return data


def new_case(rng):
    data, width = document(rng)
    if rng.random() < 0.4:
        data = damaged(rng, data)
    options = {"batch_rows": rng.choice([1, 2, 3, 7, 16, 64, 65536])}
    header = rng.random()
    if header < 0.2:
        options["header"] = True
    elif header < 0.3:
        options["header"] = [f"c{k}" for k in range(width + rng.choice([0, 0, 0, 1, -1]))]
    if rng.random() < 0.3:
        options["columns"] = [rng.randrange(width + 1) for _ in range(rng.randrange(0, 4))]
    if rng.random() < 0.3:
        options["n_rows"] = rng.randrange(0, 300)
    options["string_type"] = rng.choice(["string", "large_string", "string_view"])
    source = rng.choice(["bytes", "bytes", "path", ("trickle", rng.choice([1, 3, 100, 1000])),
                         ("failing", rng.randrange(len(data) + 2))])
    consumer = "stream" if rng.random() < 0.2 else "iter"
    windows = [1, 2, 3, 5, 8, 16, 40, 64, 100, 256, 1000, 4096, max(len(data) // rng.randrange(1, 9), 1)]
    runs = [(rng.randrange(2, 9), rng.choice(windows)) for _ in range(rng.choice([1, 2, 4]))]
    return ("arrow", data, options, source, consumer, runs)


# ---------------------------------------------------------------- reading


class Trickle(io.RawIOBase):
    """A seekable binary file that gives at most `most` bytes a call, and
    whose reads fail once `fail_after` bytes have been given (if not None)."""

    def __init__(self, data, most=None, fail_after=None):
        self._data, self._at, self._most, self._fail_after = data, 0, most, fail_after

    def readable(self):
        return True

    def seekable(self):
        return True

    def readinto(self, buffer):
        if self._fail_after is not None and self._at >= self._fail_after:
            raise OSError(5, f"the disk failed after {self._at} bytes")
        n = len(buffer)
        if self._most is not None:
            n = min(n, self._most)
        if self._fail_after is not None:
            n = min(n, self._fail_after - self._at)
        chunk = self._data[self._at:self._at + n]
        buffer[:len(chunk)] = chunk
        self._at += len(chunk)
        return len(chunk)


def opened(data, source, directory):
    if source == "bytes":
        return io.BytesIO(data)
    if source == "path":
        path = Path(directory) / "doc.dwex"
        path.write_bytes(data)
        return str(path)
    kind, n = source
    return Trickle(data, most=n) if kind == "trickle" else Trickle(data, fail_after=n)


def error_of(e):
    notes = list(getattr(e, "__notes__", ()))
    if isinstance(e, UnicodeDecodeError):
        # `object` holds the bytes from the bad one on, as many as the reader had read.
        return (type(e).__name__, str(e), e.start, e.end, e.reason, e.object[:1], notes)
    return (type(e).__name__, str(e), e.args, notes)


def outcome(case, directory, threads, window=None):
    """What one reading delivers, with windows of `window` bytes (None: the
    reader's own): {"names", "types", "batches", "rows", "error"}."""
    if window is None:
        return _reading(case, directory, threads)
    with thresholds.held(read_window=window):
        return _reading(case, directory, threads)


def _reading(case, directory, threads):
    _, data, options, source, consumer, _ = case
    out = {"batches": [], "rows": [], "error": None}
    try:
        reader = dwexio.read_arrow(opened(data, source, directory), threads=threads, **options)
        if consumer == "stream":
            reader = pa.RecordBatchReader.from_stream(reader)
        out["names"] = list(reader.schema.names)
        for batch in reader:
            batch = pa.record_batch(batch)
            out["types"] = [str(t) for t in batch.schema.types]
            out["batches"].append(batch.num_rows)
            out["rows"].extend(zip(*(c.to_pylist() for c in batch.columns)) if batch.num_columns
                               else [()] * batch.num_rows)
    except (SyntaxError, ValueError, TypeError, OSError, MemoryError, pa.ArrowException) as e:
        out["error"] = error_of(e)
    return out


def run_case(case):
    """How the threaded readings of `case` differ from one thread's: a list of texts."""
    with tempfile.TemporaryDirectory() as directory:
        return _differences(case, directory)


def _differences(case, directory):
    alone = outcome(case, directory, 1)
    # The documents are small: running out of memory is a fault of its own.
    problems = [f"one thread: {alone['error']}"] if alone["error"] and alone["error"][0] == "MemoryError" else []
    most = case[2].get("batch_rows", BATCH_ROWS)
    for threads, window in case[5]:
        got = outcome(case, directory, threads, window)
        where = f"threads={threads}, window={window}"
        for key in ("names", "types", "rows", "error"):
            if got.get(key) != alone.get(key):
                problems.append(f"{where}: {key} {str(got.get(key))[:600]} != {str(alone.get(key))[:600]}")
        if any(not 1 <= n <= most for n in got["batches"]):
            problems.append(f"{where}: batches of {got['batches']} rows, batch_rows={most}")
    return problems


def category(case):
    with tempfile.TemporaryDirectory() as directory:
        error = outcome(case, directory, 1)["error"]
    source = case[3] if isinstance(case[3], str) else case[3][0]
    return f"{source} {case[4]}: {error[0] if error else 'read'}"


# ---------------------------------------------------------------- shrinking


def variants(case):
    """Smaller cases for generate.shrink to try."""
    _, data, options, source, consumer, runs = case
    if len(runs) > 1:
        for run in runs:
            yield case[:5] + ([run],)
    for key in ("header", "columns", "n_rows"):
        if key in options:
            yield case[:2] + ({k: v for k, v in options.items() if k != key},) + case[3:]
    if options.get("string_type") != "string":
        yield case[:2] + (dict(options, string_type="string"),) + case[3:]
    if consumer != "iter":
        yield case[:4] + ("iter",) + case[5:]
    if source != "bytes":
        yield case[:3] + ("bytes",) + case[4:]
    size = len(data) // 2
    while size >= 1:
        for at in range(0, len(data), size):
            yield (case[0], data[:at] + data[at + size:]) + case[2:]
        size //= 2
