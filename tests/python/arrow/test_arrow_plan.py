"""The planning functions of dwexio._native that dwexio.dask cuts a large
document with: a guessed row start, a scan to the first row boundary past
a byte, and the chain of the parts."""

import pytest

import dwex
from dwexio import _native
from leakcheck import assert_no_leak


def _scan_fails(k, boundary):
    raise ValueError(f"the disk failed scanning part {k} again from {boundary}")


@pytest.mark.parametrize("call, error", [
    (lambda d: _native.scan(d, -1, 0, True, 2), "begin must be at least 0"),
    (lambda d: _native.scan(d, 99, 100, True, 2), "begin is past the end of the data"),
    (lambda d: _native.scan(d, 0, 0, True, -2), "columns must be at least -1"),
    (lambda d: _native.guess_start(d, -5, True, 2), "from must be at least 0"),
    (lambda d: _native.guess_start("text", 0, True, 2), "a bytes-like object is required"),
    (lambda d: _native.chain([(0, 8, 1, "ok"), (9, 16, 1, "ok")], 0, len(d), 0, _scan_fails), "the disk"),
    (lambda d: _native.chain([(0, 8, 1, "odd")], 0, len(d), 0, _scan_fails), "no scan ends as odd"),
])
def test_plan_functions_refuse_bad_arguments_without_leaking(call, error):
    data = dwex.stringify([["ab", "c"]] * 3).encode()
    with pytest.raises((ValueError, TypeError), match=error):
        call(data)

    def refused():
        try:
            call(data)
        except (ValueError, TypeError):
            pass

    assert_no_leak(refused)
    assert_no_leak(lambda: _native.scan(data, 0, 5, True, 2))


@pytest.mark.parametrize("until, at_eof, want", [
    (0, True, (0, 0, "ok")),
    (1, True, (8, 1, "ok")),
    (8, True, (8, 1, "ok")),
    (9, True, (16, 2, "ok")),
    (99, True, (24, 3, "ok")),
    (99, False, (24, 3, "ok")),
])
def test_scan_stops_at_the_first_boundary_past_until(until, at_eof, want):
    data = dwex.stringify([["ab", "c"]] * 3).encode()
    assert _native.scan(data, 0, until, at_eof, 2) == want
    assert _native.scan(data[:20], 16, 99, False, 2) == (16, 0, "more")
    assert _native.scan(data, 0, 99, True, 3) == (0, 0, "fault")
