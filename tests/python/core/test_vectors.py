"""The conformance vectors of tests/vectors, which the JavaScript package
reads too, against the module and dwexio: a vector that no longer matches
what Python does is stale (regenerate with tests/vectors/generate.py), and
one that the package fails is a fault of the package."""

from __future__ import annotations

import io
import json
import pathlib

import pytest

import dwex
import dwexio

VECTORS = pathlib.Path(__file__).resolve().parents[2] / "vectors"
FILES = sorted(VECTORS.glob("*.json"))


def _params():
    for path in FILES:
        for vector in json.loads(path.read_text(encoding="ascii")):
            yield pytest.param(vector, id=f"{path.stem}: {vector['name']}")


PARAMS = list(_params())


def test_every_kind_is_there():
    kinds = {path.stem for path in FILES}
    assert {"format-guide", "edges", "damaged", "differing", "hostile", "stored", "random"} <= kinds
    vectors = [p.values[0] for p in PARAMS]
    assert any(v.get("differs") for v in vectors)
    assert any("notUTF8" in v for v in vectors)
    assert any(v.get("canonical") for v in vectors)
    # A few hundred KB: small enough to read in a browser page at once.
    assert sum(path.stat().st_size for path in FILES) < 600_000


def _units(rows):
    """`rows` with each pair of lone surrogates joined into its character, as
    JSON (which spells both as the same escapes) reads it back."""
    return [[leaf.encode("utf-16-le", "surrogatepass").decode("utf-16-le", "surrogatepass") for leaf in row]
            for row in rows]


def _outcome(read, data):
    try:
        return {"rows": _units(read(data))}
    except SyntaxError as e:
        return {"message": e.args[0]}


def _wanted(answer: dict) -> dict:
    if "rows" in answer:
        return {"rows": answer["rows"]}
    return {"message": answer["error"]["message"]}


def _load(data: bytes):
    return dwexio.load(io.BytesIO(data))


def _iter_rows(data: bytes):
    return list(dwexio.iter_rows(io.BytesIO(data)))


@pytest.mark.parametrize("vector", PARAMS)
def test_vector(vector):
    python = vector.get("python")
    own = python if python is not None else vector
    text = "".join(map(chr, python["codepoints"])) if python is not None else vector.get("document")
    if "document" in vector:
        # The units, held as characters: what a reader of UTF-16 units gets.
        assert _outcome(dwex.parse, vector["document"]) == _wanted(vector)
        assert _outcome(dwex.parse, text) == _wanted(own)
        if python is not None:
            assert vector["differs"] == (_wanted(own) != _wanted(vector))
    if vector.get("canonical"):
        table = vector.get("table", vector.get("rows"))
        if python is not None:
            table = dwex.parse(text)
        assert dwex.stringify(table) == text
        out = io.BytesIO()
        dwexio.dump(table, out)
        assert out.getvalue().hex() == vector.get("utf8", "")
    if "utf8" not in vector:
        return
    data = bytes.fromhex(vector["utf8"])
    if "notUTF8" in vector:
        with pytest.raises(UnicodeDecodeError) as raised:
            _load(data)
        assert raised.value.start == vector["notUTF8"]["byteOffset"]
        with pytest.raises(UnicodeDecodeError):
            _iter_rows(data)
        try:
            for _batch in dwexio.read_arrow(io.BytesIO(data)):
                pass
        except UnicodeDecodeError as e:
            assert str(e) == vector["notUTF8"]["message"]
        except (SyntaxError, ValueError):
            pass  # a fault that read_arrow meets before these bytes
        return
    assert _outcome(_load, data) == _wanted(own)
    assert _outcome(_iter_rows, data) == _wanted(own)
