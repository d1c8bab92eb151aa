"""Every example in docs/FORMAT.md, run against the module, so that the guide
and the code cannot drift apart: each line of an `examples` block, and each
`pycon` block as a doctest."""

import doctest
import pathlib
import re

import pytest

import dwex

GUIDE = pathlib.Path(__file__).resolve().parents[3] / "docs" / "FORMAT.md"
FENCE = re.compile(r"^```(\w+)\n(.*?)^```$", re.MULTILINE | re.DOTALL)
# `left <-> right` (both directions) or `left -> right` (one direction).
EXAMPLE = re.compile(r"(?P<left>.+?)\s+(?P<arrow><->|->)\s+(?P<right>.+)")
REJECTED = re.compile(r"SyntaxError\((?P<message>.+)\)")


def _examples():
    text = GUIDE.read_text(encoding="utf-8")
    for block in FENCE.finditer(text):
        first_line = text.count("\n", 0, block.start(2)) + 1
        if block[1] == "examples":
            for offset, line in enumerate(block[2].splitlines()):
                if line.strip():
                    yield pytest.param(line, first_line + offset, id=f"FORMAT.md:{first_line + offset}")
        elif block[1] == "pycon":
            yield pytest.param(block[2], first_line, id=f"FORMAT.md:{first_line}")


EXAMPLES = list(_examples())
assert EXAMPLES, f"no examples found in {GUIDE}"


def _value(source):
    # Python literals, plus `+` and `*` on strings for long contents.
    return eval(source, {"__builtins__": {}})


def _run_session(source, line):
    test = doctest.DocTestParser().get_doctest(source, {"dwex": dwex}, "FORMAT.md", str(GUIDE), line)
    report = []
    runner = doctest.DocTestRunner(optionflags=doctest.ELLIPSIS)
    runner.run(test, out=report.append)
    assert runner.failures == 0, "".join(report)


@pytest.mark.parametrize("example, line", EXAMPLES)
def test_example(example, line):
    if example.startswith(">>>"):
        _run_session(example, line - 1)
        return
    parts = EXAMPLE.fullmatch(example)
    assert parts, f"not an example: {example!r}"
    left, both_ways = _value(parts["left"]), parts["arrow"] == "<->"
    rejected = REJECTED.fullmatch(parts["right"])
    if rejected:
        assert isinstance(left, str) and not both_ways
        with pytest.raises(SyntaxError) as raised:
            dwex.parse(left)
        assert raised.value.args == (_value(rejected["message"]),)
        return
    right = _value(parts["right"])
    table, document = (left, right) if isinstance(left, list) else (right, left)
    if both_ways or isinstance(left, list):
        assert dwex.stringify(table) == document
    if both_ways or isinstance(left, str):
        assert dwex.parse(document) == table
