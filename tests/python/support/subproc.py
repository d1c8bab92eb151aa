"""Runs a snippet in a fresh interpreter, for behaviour that only a first
import shows (the module lives until the process ends, so a test process
that has imported it once can never see a fresh load again)."""

import ast
import pathlib
import subprocess
import sys
import textwrap

import dwex

# The same directory that conftest put first on the path: the build that the
# running interpreter (release or debug) is testing.
SO = pathlib.Path(dwex.__file__).resolve()
LIB = SO.parent

_MARK = "\x1fresult="


def run(code: str, **consts: object) -> object:
    """Runs `code` with LIB first on sys.path and the names SO and LIB (str)
    plus `consts` (repr-able literals) defined, and returns the literal that
    the snippet left in `result`. A snippet that fails or crashes fails the
    calling test with the child's output."""
    prelude = [
        "import sys",
        f"LIB = {str(LIB)!r}",
        f"SO = {str(SO)!r}",
        "sys.path.insert(0, LIB)",
    ]
    prelude += [f"{name} = {value!r}" for name, value in consts.items()]
    source = "\n".join(prelude) + "\n" + textwrap.dedent(code)
    source += f"\nprint({_MARK!r} + repr(result))\n"
    proc = subprocess.run(
        [sys.executable, "-X", "faulthandler", "-c", source],
        capture_output=True,
        text=True,
        timeout=120,
    )
    lines = [line for line in proc.stdout.splitlines() if line.startswith(_MARK)]
    if proc.returncode != 0 or not lines:
        raise AssertionError(
            f"snippet exited with {proc.returncode}\n--- source\n{source}"
            f"--- stdout\n{proc.stdout}--- stderr\n{proc.stderr}"
        )
    return ast.literal_eval(lines[-1][len(_MARK) :])
