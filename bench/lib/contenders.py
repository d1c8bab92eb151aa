"""The contenders, one small adapter each: how a peer writes a table into its
document and reads it back, and the two floors (cutting one joined text with
str.split, and ''.join of the leaves) that bound what any reader or writer of
the same strings can do. Encoders and decoders that their docs advise to
reuse are made once here and reused for every call."""

from __future__ import annotations

import csv
import dataclasses
import functools
import importlib
import io
import json
import marshal
import pickle
import sys
from collections.abc import Callable
from typing import Any

import tables

SPLIT_FLOOR = "str.split floor"
JOIN_FLOOR = "''.join floor"
OPS = ("parse", "stringify")


@dataclasses.dataclass(frozen=True)
class Peer:
    """A serializer that a user could pick instead of dwex."""

    name: str
    dumps_label: str
    dumps: Callable[[list[list[str]]], Any]
    loads_label: str
    loads: Callable[[Any], Any]


@dataclasses.dataclass
class Entry:
    """One timed operation on one table: `fn(arg)`. For stringify, `fresh()`
    returns an argument made of new strings, for the fresh timings."""

    op: str
    label: str
    peer: str
    fn: Callable[[Any], Any]
    arg: Any
    correct: bool
    size: int  # bytes of the document it reads or writes
    fresh: Callable[[], Any] | None = None
    floor: bool = False


def csv_dumps(rows):
    buf = io.StringIO()
    csv.writer(buf).writerows(rows)
    return buf.getvalue()


def csv_loads(text):
    return list(csv.reader(io.StringIO(text)))


def split_floor(arg: tuple[str, str]) -> list[str]:
    text, sep = arg
    return text.split(sep)


def _dwex() -> Peer:
    import dwex

    return Peer("dwex", "dwex.stringify", dwex.stringify, "dwex.parse", dwex.parse)


def _orjson(orjson) -> Peer:
    return Peer("orjson", "orjson.dumps", orjson.dumps, "orjson.loads", orjson.loads)


def _msgspec(codec: str):
    def make(msgspec) -> Peer:
        module = getattr(msgspec, codec)
        encoder, decoder = module.Encoder(), module.Decoder()
        name = f"msgspec.{codec}"
        return Peer(name, f"{name} encode", encoder.encode, f"{name} decode", decoder.decode)

    return make


def _msgpack(msgpack) -> Peer:
    # A Packer kept across calls reuses its buffer; unpackb is the one-shot reader.
    packer = msgpack.Packer()
    return Peer("msgpack", "msgpack.pack", packer.pack, "msgpack.unpackb", msgpack.unpackb)


# The third-party peers, by the module they need: each is left out, with a
# note, where its module is not installed.
OPTIONAL = [("orjson", _orjson), ("msgspec", _msgspec("msgpack")), ("msgspec", _msgspec("json")),
            ("msgpack", _msgpack)]


@functools.cache
def peers() -> tuple[Peer, ...]:
    out = [
        _dwex(),
        Peer("json", "json.dumps", json.dumps, "json.loads", json.loads),
        Peer("csv", "csv.writer", csv_dumps, "csv.reader", csv_loads),
        Peer("pickle", "pickle.dumps", functools.partial(pickle.dumps, protocol=5), "pickle.loads", pickle.loads),
        Peer("marshal", "marshal.dumps", marshal.dumps, "marshal.loads", marshal.loads),
    ]
    for module, make in OPTIONAL:
        try:
            out.append(make(importlib.import_module(module)))
        except ImportError:
            print(f"note: {module} is not installed; left out", file=sys.stderr)
    csv.field_size_limit(sys.maxsize)  # the wide table's leaves pass the default limit
    return tuple(out)


def labels(op: str) -> list[str]:
    """Every label of an operation, dwex first and the floor last."""
    side = [p.loads_label if op == "parse" else p.dumps_label for p in peers()]
    return side + [SPLIT_FLOOR if op == "parse" else JOIN_FLOOR]


def document_size(doc) -> int:
    """Bytes of a document; a str counts as its UTF-8 (lone surrogates allowed)."""
    if isinstance(doc, str):
        return len(doc.encode("utf-8", "surrogatepass"))
    return len(doc)


def entries(rows: list[list[str]], copies: tables.FreshCopies | None = None, only: str | None = None,
            log=print) -> list[Entry]:
    """The entries of every contender on `rows` (or of the one labelled
    `only`), each peer's round trip checked before anything is timed. A peer
    that cannot read its own output is reported, not fatal; dwex is."""
    out = []
    for p in peers():
        if only not in (None, p.dumps_label, p.loads_label):
            continue
        doc = p.dumps(rows)
        try:
            correct = p.loads(doc) == rows
        except Exception as e:
            log(f"  note: {p.loads_label} cannot read its own document: {e!r}")
            correct = False
        if p.name == "dwex" and not correct:
            raise SystemExit("dwex.parse(dwex.stringify(t)) != t")
        size = document_size(doc)
        fresh = copies.rows if copies is not None else None
        out.append(Entry("stringify", p.dumps_label, p.name, p.dumps, rows, correct, size, fresh))
        out.append(Entry("parse", p.loads_label, p.name, p.loads, doc, correct, size))
    if only in (None, SPLIT_FLOOR):
        leaves = [leaf for row in rows for leaf in row]
        sep = tables.separator(leaves)
        text = sep.join(leaves)
        out.append(Entry("parse", SPLIT_FLOOR, "floor", split_floor, (text, sep), split_floor((text, sep)) == leaves,
                         document_size(text), floor=True))
        del leaves
    if only in (None, JOIN_FLOOR):
        # The floor joins copies: a second reference to each of the table's
        # strings would change what other contenders do (marshal records
        # every object referenced more than once, at twice the time).
        copies = copies or tables.FreshCopies(rows)
        leaves = copies.leaves()
        out.append(Entry("stringify", JOIN_FLOOR, "floor", "".join, leaves, True,
                         document_size("".join(leaves)), copies.leaves, floor=True))
    return out
