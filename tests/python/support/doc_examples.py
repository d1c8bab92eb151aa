"""The fenced examples of the documentation, and the doctest run of a `pycon`
block, shared by test_format_guide.py (docs/FORMAT.md) and test_docs.py
(README.md and the rest of docs/)."""

import doctest
import pathlib
import re
from typing import NamedTuple

ROOT = pathlib.Path(__file__).resolve().parents[3]
FENCE = re.compile(r"^```(\w*)\n(.*?)^```$", re.MULTILINE | re.DOTALL)


class Block(NamedTuple):
    kind: str  # the fence's language (examples, pycon, console, ...), or ''
    source: str
    line: int  # the file's line of the block's first line, from 1


def blocks(path, kinds):
    """The fenced blocks of `path` whose language is one of `kinds`, in order."""
    text = path.read_text(encoding="utf-8")
    for fence in FENCE.finditer(text):
        if fence[1] in kinds:
            yield Block(fence[1], fence[2], text.count("\n", 0, fence.start(2)) + 1)


def run_pycon(block, path, globs):
    """Runs `block` as a doctest in `globs`, which keeps the names it binds
    for the blocks after it; fails with doctest's report of each mismatch,
    which names the file's line. Only an example marked ``+ELLIPSIS`` may
    elide output."""
    name = str(path.relative_to(ROOT))
    test = doctest.DocTestParser().get_doctest(block.source, globs, name, str(path), block.line - 1)
    report = []
    runner = doctest.DocTestRunner(optionflags=0)
    runner.run(test, out=report.append, clear_globs=False)
    globs.update(test.globs)
    assert runner.failures == 0, "".join(report)
