"""Puts the freshly built module first on the path: build/lib for the release
interpreter, build/lib-debug for the debug one (whose module counts references
into sys.gettotalrefcount). The same directory holds the dwexio package, its
Python sources linked in beside its native module. The tests' shared helpers
(support/) and the benchmark's library (bench/lib, whose tables some tests
read) are importable by name; bench/ itself stays off the path, where its
entry points would shadow the packages they are named after."""

import pathlib
import sys

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[2]
IS_DEBUG = hasattr(sys, "gettotalrefcount")
LIB = ROOT / "build" / ("lib-debug" if IS_DEBUG else "lib")

if not any(LIB.glob("dwex*.so")):
    raise RuntimeError(f"the dwex module is not built in {LIB}; run `make build`")
sys.path.insert(0, str(LIB))
sys.path.append(str(ROOT / "tests" / "python" / "support"))
sys.path.append(str(ROOT / "bench" / "lib"))


@pytest.fixture
def set_thresholds(monkeypatch):
    """Sets dwexio's private cut sizes for one test, by the names of
    support/thresholds.py: set_thresholds(read_window=300)."""
    import thresholds

    return lambda **values: thresholds.apply(monkeypatch.setattr, **values)
