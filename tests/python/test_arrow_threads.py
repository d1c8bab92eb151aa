"""read_arrow on several threads reads what one thread reads: the same rows,
and the same error at the same row and position, wherever the windows and
their stretches fall. Small windows put the splitter's hard cases (a leaf
holding DWEX text, a row longer than a stretch, a fault past the first
stretch) across the cuts."""

import io

import pytest

import dwex
import dwexio
from dwexio import _arrowread

from consumers import needs_pyarrow, pa
from leakcheck import assert_no_leak

pytestmark = needs_pyarrow


def outcome(source, **options):
    """The rows read before any error, and the error as (type, message, byte offset)."""
    batches, error = [], None
    try:
        for batch in dwexio.read_arrow(source, **options):
            batches.append(batch)
    except (SyntaxError, ValueError) as e:
        error = (type(e), str(e), getattr(e, "start", None))
    table = pa.Table.from_batches(batches) if batches else None
    return (table.to_pydict() if table is not None else {}), error


def text(rows):
    return dwex.stringify(rows).encode("utf-8", "surrogatepass")


NESTED = dwex.stringify([["x", "y", "z"]] * 40)  # a whole document as one leaf
ROWS = [[f"r{i}", "é" * (i % 5), "\U0001F600" * (i % 3)] for i in range(120)]
DOCS = {
    "plain": text(ROWS),
    "leaf holding a document": text(ROWS[:10] + [["a", NESTED, "b"]] + ROWS[10:60] + [[NESTED, "c", NESTED]]),
    "row longer than a stretch": text(ROWS[:30] + [["a", "w" * 5000, "b"]] + ROWS[30:]),
    "bad token in the second stretch": text(ROWS)[:2000] + b"0x" + text(ROWS)[2000:],
    "not UTF-8 in the second stretch": text(ROWS[:80]) + b"01\xff" + text(ROWS[80:]),
    "wrong cell count in the second stretch": text(ROWS[:80] + [["a", "b"]] + ROWS[80:]),
    "cut short": text(ROWS)[:-3],
    "three rows": text(ROWS[:3]),
}


@pytest.mark.parametrize("doc", DOCS)
@pytest.mark.parametrize("window", [64, 300, 1000])
def test_threads_read_what_one_thread_reads(monkeypatch, doc, window):
    data = DOCS[doc]
    alone = outcome(io.BytesIO(data), threads=1)
    monkeypatch.setattr(_arrowread, "WINDOW_BYTES", window)
    for threads in range(2, 9):
        assert outcome(io.BytesIO(data), threads=threads, batch_rows=16) == alone, threads


def test_threads_as_windows_grow():
    # Past 8 MiB read, windows are wider than the first, and each stretch's
    # buffers are sized from the ones before: the rows, and the fault after
    # leaves holding documents, are still one thread's.
    tail = [["a", NESTED, "b"]] * 3 + [["a", "b"]]
    data = text(ROWS) * (9 * 2**20 // len(text(ROWS))) + text(tail + ROWS[:50])
    alone = outcome(io.BytesIO(data), threads=1)
    assert outcome(io.BytesIO(data), threads=2) == alone


@pytest.mark.parametrize("options", [
    dict(columns=[2, 0]),
    dict(n_rows=70),
    dict(n_rows=90),  # the fault in row 81 lies within the rows asked for
    dict(string_type="string_view"),
    dict(header=True, columns=["f"]),
])
def test_threads_with_options(monkeypatch, tmp_path, options):
    rows = [["a", "f", "ab"]] + ROWS[:80] + [["a", "b"]] + ROWS[80:]
    path = tmp_path / "t.dwex"
    path.write_bytes(text(rows))
    if options.get("columns") == ["f"]:
        path.write_bytes(text([["x", "f", "z"]] + ROWS))
    alone = outcome(path, threads=1, **options)
    monkeypatch.setattr(_arrowread, "WINDOW_BYTES", 256)
    assert outcome(path, threads=2, **options) == alone


def test_threads_must_be_a_positive_int():
    with pytest.raises(ValueError, match=r"^threads must be at least 1$"):
        dwexio.read_arrow(io.BytesIO(b"01a;"), threads=0)
    with pytest.raises(TypeError, match=r"^threads must be an int, not float$"):
        dwexio.read_arrow(io.BytesIO(b"01a;"), threads=2.0)


def test_no_leaks_on_threads(monkeypatch):
    monkeypatch.setattr(_arrowread, "WINDOW_BYTES", 300)

    def calls():
        for data in DOCS.values():
            try:
                for batch in dwexio.read_arrow(io.BytesIO(data), threads=3, batch_rows=16, columns=[1])._stream:
                    batch.__arrow_c_array__()
            except (SyntaxError, ValueError):
                pass

    assert_no_leak(calls)
