"""Runs the `dwex` command as a child process, with the module and the helper
under test and the package's sources."""

import os
import pathlib
import subprocess
import sys

import dwex
from dwexio import _readers

ROOT = pathlib.Path(__file__).resolve().parents[2]


def environment():
    # The module and the helper may come from two build directories.
    paths = [pathlib.Path(dwex.__file__).parent, pathlib.Path(_readers.__file__).parents[1], ROOT]
    # After them, what the tests were given (the debug run's dataframe libraries).
    given = [os.environ["PYTHONPATH"]] if os.environ.get("PYTHONPATH") else []
    return dict(os.environ, PYTHONPATH=os.pathsep.join(list(map(str, paths)) + given))


def run(*args, cwd, stdin=None, **kwargs):
    return subprocess.run([sys.executable, "-m", "dwexio", *map(str, args)], cwd=cwd,
                          env=environment(), input=stdin, capture_output=True, timeout=300,
                          **kwargs)
