"""Where the benchmark finds the build it measures and writes what it finds,
and how it runs one of this library's functions in an interpreter of its
own (a process whose heap no earlier work has touched, or one under
valgrind)."""

from __future__ import annotations

import sys
from pathlib import Path

LIB = Path(__file__).resolve().parent
REPO = LIB.parents[1]
# The release build: the dwex module and the whole dwexio package.
BUILD = REPO / "build" / "lib"
OUT = REPO / "build" / "bench"


def use_build() -> None:
    """Puts the release build first on the path."""
    if str(BUILD) not in sys.path:
        sys.path.insert(0, str(BUILD))


def command(module: str, function: str, *args: object, python: str | None = None) -> list[str]:
    """The command line that calls `module.function(argv)` with `args` as
    strings, this library and the build on the path."""
    code = (f"import sys; sys.path[:0] = [{str(LIB)!r}, {str(BUILD)!r}]; "
            f"import {module}; {module}.{function}(sys.argv[1:])")
    return [python or sys.executable, "-c", code, *map(str, args)]
