"""Every example of README.md and of docs/ (less FORMAT.md, which
test_format_guide.py runs), so that the documentation cannot drift from the
code. A file's `pycon` and `console` blocks run in order, in one directory
of their own and one namespace, so that an example may use the files and
names of the examples before it:

- a `pycon` block is a doctest;
- a `console` block is a list of `$ COMMAND` lines, each followed by the
  output it prints (stdout and stderr together); each runs in bash, with the
  `dwex` command of this build first on the PATH, and must exit with status
  0 (an example of a failure says `; echo "exit $?"`).

An example that needs a library that is not installed (pyarrow, polars,
pandas, DuckDB, Dask) is skipped, with the rest of its file."""

import importlib.util
import os
import re
import subprocess
import sys

import pytest

import dwex
from command import environment
from doc_examples import ROOT, blocks, run_pycon

DOCS = [ROOT / "README.md"] + sorted(p for p in (ROOT / "docs").glob("*.md") if p.name != "FORMAT.md")
KINDS = ("pycon", "console")
IMPORT = re.compile(r"^(?:>>>|\.\.\.) +(?:import|from) +([\w.]+(?:, *[\w.]+)*)", re.MULTILINE)
# What the companion's modules import when they are called.
NEEDED_BY = {"dwexio.polars": {"polars", "pyarrow"}, "dwexio.pandas": {"pandas", "pyarrow"},
             "dwexio.dask": {"dask", "distributed", "pyarrow"}}
# The command reads and writes these formats through pyarrow.
ARROW_FILE = re.compile(r"\.(?:parquet|arrow|feather)\b")
COMMAND = re.compile(r"^\$ (.*)$", re.MULTILINE)
MODULE_NAMES = ("HEX", "ErrUnexpectedEndOfInput", "UTF16_CODEC")


def _needs(block):
    """The top-level modules that `block` imports or runs on."""
    if block.kind == "console":
        return {"pyarrow"} if ARROW_FILE.search(block.source) else set()
    needs = set()
    for names in IMPORT.findall(block.source):
        for name in names.split(","):
            module = name.split()[0]
            needs |= NEEDED_BY.get(module, {module.split(".")[0]})
    return needs


def _missing(block):
    return sorted(m for m in _needs(block) if importlib.util.find_spec(m) is None)


def _commands(block):
    """(command, expected output, line) of each `$` line of `block`."""
    starts = list(COMMAND.finditer(block.source))
    assert starts and not block.source[:starts[0].start()].strip(), \
        f"line {block.line}: a console block starts with '$ '"
    for k, start in enumerate(starts):
        end = starts[k + 1].start() if k + 1 < len(starts) else len(block.source)
        line = block.line + block.source.count("\n", 0, start.start())
        yield start[1], block.source[start.end() + 1:end], line


def _shell(tmp_path):
    """The environment of a console example: `dwex` runs this build."""
    bin_dir = tmp_path.parent / (tmp_path.name + "-bin")
    bin_dir.mkdir(exist_ok=True)
    shim = bin_dir / "dwex"
    shim.write_text(f'#!/bin/sh\nexec "{sys.executable}" -m dwexio "$@"\n')
    shim.chmod(0o755)
    env = environment()
    env.update(PATH=f"{bin_dir}{os.pathsep}{env['PATH']}", COLUMNS="80", LC_ALL="C.UTF-8")
    return env


def run_console(block, name, cwd, env):
    for command, expected, line in _commands(block):
        proc = subprocess.run(["bash", "-c", command], cwd=cwd, env=env, stdout=subprocess.PIPE,
                              stderr=subprocess.STDOUT, timeout=300)
        got = proc.stdout.decode("utf-8", "replace")
        assert proc.returncode == 0, f"{name}:{line}: `{command}` exited {proc.returncode}:\n{got}"
        assert got == expected, f"{name}:{line}: `{command}` printed\n{got}\ninstead of\n{expected}"


@pytest.mark.parametrize("path", [p for p in DOCS if any(blocks(p, KINDS))],
                         ids=lambda p: str(p.relative_to(ROOT)))
def test_examples(path, tmp_path, monkeypatch):
    name = str(path.relative_to(ROOT))
    monkeypatch.chdir(tmp_path)
    # An example may rebind the module's names; they are restored afterwards
    # even where it fails half-way.
    for attr in MODULE_NAMES:
        monkeypatch.setattr(dwex, attr, getattr(dwex, attr))
    env = _shell(tmp_path)
    globs = {"__name__": "__main__"}
    for block in blocks(path, KINDS):
        missing = _missing(block)
        if missing:
            pytest.skip(f"{name}:{block.line} and the examples after it need {', '.join(missing)}")
        if block.kind == "pycon":
            run_pycon(block, path, globs)
        else:
            run_console(block, name, tmp_path, env)


@pytest.mark.parametrize("path", DOCS + [ROOT / "docs" / "FORMAT.md"], ids=lambda p: p.name)
def test_no_example_goes_unrun(path):
    # Python in a fence of another language, or a session in a fence without
    # one, would be read by no test.
    unrun = [b.line for b in blocks(path, ("python", "py", "")) if b.kind or ">>>" in b.source]
    assert unrun == [], f"{path.name}: the fences at lines {unrun} hold Python that no test runs"
