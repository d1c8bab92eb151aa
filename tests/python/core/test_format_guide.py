"""Every example in docs/FORMAT.md, run against the module, so that the guide
and the code cannot drift apart: each line of an `examples` block, and each
`pycon` block as a doctest."""

import re

import pytest

import dwex
from doc_examples import ROOT, Block, blocks, run_pycon

GUIDE = ROOT / "docs" / "FORMAT.md"
# `left <-> right` (both directions) or `left -> right` (one direction).
EXAMPLE = re.compile(r"(?P<left>.+?)\s+(?P<arrow><->|->)\s+(?P<right>.+)")
REJECTED = re.compile(r"SyntaxError\((?P<message>.+)\)")


def _examples():
    for block in blocks(GUIDE, ("examples", "pycon")):
        if block.kind == "examples":
            for offset, line in enumerate(block.source.splitlines()):
                if line.strip():
                    yield pytest.param(line, block.line + offset, id=f"FORMAT.md:{block.line + offset}")
        else:
            yield pytest.param(block.source, block.line, id=f"FORMAT.md:{block.line}")


EXAMPLES = list(_examples())
assert EXAMPLES, f"no examples found in {GUIDE}"


def _value(source):
    # Python literals, plus `+` and `*` on strings for long contents.
    return eval(source, {"__builtins__": {}})


@pytest.mark.parametrize("example, line", EXAMPLES)
def test_example(example, line):
    if example.startswith(">>>"):
        # The guide's sessions take the module as given, each on its own.
        run_pycon(Block("pycon", example, line), GUIDE, {"dwex": dwex})
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
