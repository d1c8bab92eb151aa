"""read_arrow on several threads reads what one thread reads: the same rows,
and the same error at the same row and position, wherever the windows and
their stretches fall. Small windows put the splitter's hard cases (a leaf
holding DWEX text, a row longer than a stretch, a fault past the first
stretch) across the cuts."""

import io
import os
import pathlib
import subprocess
import sys

import pytest

import dwex
import dwexio

from consumers import needs_pyarrow, pa
from leakcheck import assert_no_leak

pytestmark = needs_pyarrow


def outcome(source, **options):
    """The rows read before any error, and the error as (type, message, byte offset)."""
    batches, error = [], None
    try:
        for batch in dwexio.read_arrow(source, **options):
            batches.append(batch)
    except (SyntaxError, ValueError, OSError) as e:
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
    "bad token in the third of three stretches": text(ROWS)[:-600] + b"0x" + text(ROWS)[-600:],
    "not UTF-8 in the second stretch": text(ROWS[:80]) + b"01\xff" + text(ROWS[80:]),
    "wrong cell count in the second stretch": text(ROWS[:80] + [["a", "b"]] + ROWS[80:]),
    "cut short": text(ROWS)[:-3],
    "three rows": text(ROWS[:3]),
}


@pytest.mark.parametrize("doc", DOCS)
@pytest.mark.parametrize("window", [64, 300, 1000, 10**6])
def test_threads_read_what_one_thread_reads(set_thresholds, doc, window):
    data = DOCS[doc]
    alone = outcome(io.BytesIO(data), threads=1)
    set_thresholds(read_window=window)
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
def test_threads_with_options(set_thresholds, tmp_path, options):
    rows = [["a", "f", "ab"]] + ROWS[:80] + [["a", "b"]] + ROWS[80:]
    path = tmp_path / "t.dwex"
    path.write_bytes(text(rows))
    if options.get("columns") == ["f"]:
        path.write_bytes(text([["x", "f", "z"]] + ROWS))
    alone = outcome(path, threads=1, **options)
    set_thresholds(read_window=256)
    assert outcome(path, threads=2, **options) == alone


def test_threads_must_be_a_positive_int():
    with pytest.raises(ValueError, match=r"^threads must be at least 1$"):
        dwexio.read_arrow(io.BytesIO(b"01a;"), threads=0)
    with pytest.raises(TypeError, match=r"^threads must be an int, not float$"):
        dwexio.read_arrow(io.BytesIO(b"01a;"), threads=2.0)


def test_no_leaks_on_threads(set_thresholds):
    set_thresholds(read_window=300)

    def calls():
        for file in [io.BytesIO(data) for data in DOCS.values()] + [FailingFile(DOCS["plain"], 1500)]:
            try:
                for batch in dwexio.read_arrow(file, threads=3, batch_rows=16, columns=[1])._stream:
                    batch.__arrow_c_array__()
            except (SyntaxError, ValueError, OSError):
                pass

    assert_no_leak(calls)


class FailingFile(io.BytesIO):
    """A seekable file whose reads fail once `after` bytes are given."""

    def __init__(self, data, after):
        super().__init__(data)
        self._after = after

    def readinto(self, buffer):
        if self.tell() >= self._after:
            raise OSError(5, "the disk failed")
        with memoryview(buffer) as view:
            return super().readinto(view[:self._after - self.tell()])

    def read(self, n=-1):
        if self.tell() >= self._after:
            raise OSError(5, "the disk failed")
        return super().read(min(n, self._after - self.tell()))


@pytest.mark.parametrize("after", [0, 40, 1500])
def test_rows_before_a_failing_read_come_first(set_thresholds, after):
    # One thread delivers every row that the bytes read before the failure
    # hold; a window read on threads must too, not drop the window with them.
    data = DOCS["plain"]
    alone = outcome(FailingFile(data, after), threads=1, batch_rows=16)
    set_thresholds(read_window=1000)
    assert outcome(FailingFile(data, after), threads=3, batch_rows=16) == alone


FUZZ = pathlib.Path(__file__).resolve().parents[2] / "fuzz"
sys.path.insert(0, str(FUZZ))


@pytest.mark.parametrize("path", sorted((FUZZ / "regressions-arrow").glob("*.case")), ids=lambda p: p.stem)
def test_saved_fuzz_case(path):
    import arrow_threads
    import cases

    assert arrow_threads.run_case(cases.load(path)) == []


def test_short_fuzz_run(tmp_path):
    # Fixed seeds: the same cases on every run; `make fuzz` explores.
    proc = subprocess.run(
        [sys.executable, str(FUZZ / "differential.py"), "--target", "arrow", "--cases", "300", "--jobs", "2",
         "--seed", "20261209", "--save", str(tmp_path)],
        capture_output=True, text=True, timeout=600,
        env=dict(os.environ, DWEX_LIB=str(pathlib.Path(dwex.__file__).resolve().parent)))
    saved = "".join(f"\n--- {p.name}\n{p.read_text()[:2000]}" for p in sorted(tmp_path.iterdir()))
    assert proc.returncode == 0 and "fuzz: 600 cases, 0 mismatches" in proc.stdout, (
        f"{proc.stdout[-2000:]}{proc.stderr[-2000:]}{saved}\n"
        "(copy the cases into tests/fuzz/regressions-arrow to keep them)")
