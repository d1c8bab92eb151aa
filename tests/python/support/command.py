"""Runs the `dwex` command as a child process, with the module and the
dwexio package under test."""

import os
import pathlib
import subprocess
import sys

import dwex
from dwexio import _native

def environment():
    # The module and the package may come from two build directories.
    paths = [pathlib.Path(dwex.__file__).parent, pathlib.Path(_native.__file__).parents[1]]
    # After them, what the tests were given (the debug run's dataframe libraries).
    given = [os.environ["PYTHONPATH"]] if os.environ.get("PYTHONPATH") else []
    return dict(os.environ, PYTHONPATH=os.pathsep.join(list(map(str, paths)) + given))


def run(*args, cwd, stdin=None, **kwargs):
    return subprocess.run([sys.executable, "-m", "dwexio", *map(str, args)], cwd=cwd,
                          env=environment(), input=stdin, capture_output=True, timeout=300,
                          **kwargs)
