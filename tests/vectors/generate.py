"""Writes the conformance vectors that every implementation of the format
reads: the examples of docs/FORMAT.md, edge cases, damaged documents, hostile
lengths, random tables and stored bytes, each answer given by the Python
module. Run by hand after a change to the format or to the module, and
commit what it writes:

    tools/run python3.15 tests/vectors/generate.py

A vector is a JSON object:

- "name"
- "document": the document as UTF-16 units (a JSON string);
- "utf8": the document stored in a file, in hex, as dwexio.dump writes it;
- "rows": the table it reads as, or "error": {"message", "position",
  "byteOffset"} (position and byteOffset null for an end of input), or, for
  bytes that are not UTF-8, "notUTF8": {"message", "byteOffset"};
- "canonical": writing "rows" (or "table", where the document does not read
  back) gives "document" and "utf8" exactly; where a Python str holds a
  pair as two lone surrogates, "written" is what writing the units gives;
- "python": where a Python str holds the document as code points other than
  the units joined (a surrogate pair written as two lone surrogates), those
  "codepoints" and Python's answer for them; "differs" is true when that
  answer is not the answer for the units.

A reader that works in UTF-16 units (JavaScript) checks "document" and
"utf8" against "rows" or "error"; the Python tests check everything."""

from __future__ import annotations

import ast
import io
import json
import pathlib
import random
import re
import sys

HERE = pathlib.Path(__file__).resolve().parent
ROOT = HERE.parents[1]
sys.path.insert(0, str(ROOT / "build" / "lib"))

import dwex  # noqa: E402
import dwexio  # noqa: E402

GUIDE = ROOT / "docs" / "FORMAT.md"
FENCE = re.compile(r"^```examples\n(.*?)^```$", re.MULTILINE | re.DOTALL)
EXAMPLE = re.compile(r"(?P<left>.+?)\s+(?P<arrow><->|->)\s+(?P<right>.+)")
ASTRAL = "\U0001f600"


def joined(text: str) -> str:
    """The str whose code points are the UTF-16 units of `text` read as UTF-16:
    a high surrogate followed by a low one becomes one character."""
    return text.encode("utf-16-le", "surrogatepass").decode("utf-16-le", "surrogatepass")


def joined_rows(rows: list) -> list:
    return [[joined(leaf) for leaf in row] for row in rows]


def utf8(text: str) -> bytes:
    return text.encode("utf-8", "surrogatepass")


def byte_offset(data: bytes, position: int) -> int:
    """The offset of the UTF-8 sequence that holds UTF-16 unit `position`: a
    four-byte sequence holds two units, any other one."""
    units = at = 0
    while True:
        b = data[at]
        size = 1 if b < 0x80 else 4 if b >= 0xF0 else 3 if b >= 0xE0 else 2
        units += 2 if size == 4 else 1
        if units > position:
            return at
        at += size


def answer(text: str) -> dict:
    """What dwex.parse makes of `text`: {"rows": ...} or {"error": ...}."""
    try:
        return {"rows": dwex.parse(text)}
    except SyntaxError as e:
        (message,) = e.args
        found = re.fullmatch(r"Unexpected token '.*' at position (\d+)", message, re.DOTALL)
        return {"error": {"message": message, "position": int(found[1]) if found else None}}


def from_text(name: str, text: str, table: list | None = None) -> dict:
    """The vector of a document given as a Python str; `table`, when given,
    is the table that writes it."""
    units = joined(text)
    data = utf8(text)
    # The empty text is no document, but no bytes are a file of no rows
    # ("no bytes" among the stored vectors).
    vector: dict = {"name": name, "document": units, **({"utf8": data.hex()} if data else {})}
    # What a reader of UTF-16 units gets is what the module gets from the
    # joined str, and from the same bytes decoded into one unit sequence.
    result = answer(units)
    if "error" in result:
        position = result["error"]["position"]
        result["error"]["byteOffset"] = None if position is None else byte_offset(data, position)
    vector.update(result)
    if table is not None:
        vector["canonical"] = dwex.stringify(table) == text and dwexio_dump(table) == data
        assert vector["canonical"], name
        if "rows" not in vector:
            vector["table"] = table  # the table with no rows, whose text is no document
        if units != text:
            # The same units hold a character above U+FFFF, four bytes.
            vector["written"] = utf8(units).hex()
    if units != text:
        theirs = answer(text)
        if "error" in theirs:
            position = theirs["error"]["position"]
            theirs["error"]["byteOffset"] = None if position is None else byte_offset(data, position)
        vector["python"] = {"codepoints": [ord(c) for c in text], **theirs}
        vector["differs"] = (theirs["error"] if "error" in theirs else joined_rows(theirs["rows"])) != (
            result["error"] if "error" in result else result["rows"])
    return vector


def dwexio_dump(table: list) -> bytes:
    out = io.BytesIO()
    dwexio.dump(table, out)
    return out.getvalue()


def not_utf8_message(data: bytes, start: int) -> str:
    """read_arrow's message for bytes that are not UTF-8 at `start`: the row
    they fall in counts the complete rows before them."""
    before = data[:start].decode("utf-8", "surrogatepass")
    rows = 0
    for end in range(len(before), 0, -1):
        if before[end - 1] == ";":
            try:
                rows = len(dwex.parse(before[:end]))
                break
            except SyntaxError:
                pass
    return f"'utf-8' codec can't decode byte 0x{data[start]:02x} in position {start}: not UTF-8 in row {rows + 1}"


def from_bytes(name: str, data: bytes) -> dict:
    """The vector of stored bytes, as dwexio.load and dwexio.read_arrow read them."""
    vector: dict = {"name": name, "utf8": data.hex()}
    try:
        text = data.decode("utf-8", "surrogatepass")
    except UnicodeDecodeError as e:
        message = not_utf8_message(data, e.start)
        # read_arrow reads the bytes as it goes, and may meet another fault
        # first (the end of input of a row without ';'); where it meets these
        # bytes, its message is the one given here.
        try:
            for _batch in dwexio.read_arrow(io.BytesIO(data)):
                pass
        except UnicodeDecodeError as arrow:
            assert (arrow.start, str(arrow)) == (e.start, message), name
        except (SyntaxError, ValueError):
            pass
        vector["notUTF8"] = {"message": message, "byteOffset": e.start}
        return vector
    if not data:
        vector["rows"] = []
        return vector
    vector.update(from_text(name, text))
    del vector["document"]
    vector["utf8"] = data.hex()
    return vector


# ------------------------------------------------------------------ sources


def guide() -> list[dict]:
    """Every example line of docs/FORMAT.md."""
    out = []
    text = GUIDE.read_text(encoding="utf-8")
    for block in FENCE.finditer(text):
        first = text.count("\n", 0, block.start(1)) + 1
        for offset, line in enumerate(block[1].splitlines()):
            parts = EXAMPLE.fullmatch(line)
            if not parts:
                continue
            name = f"FORMAT.md:{first + offset}"
            left = eval(parts["left"], {"__builtins__": {}})
            right = parts["right"]
            if isinstance(left, list):
                out.append(from_text(name, dwex.stringify(left), left))
            elif right.startswith("SyntaxError("):
                out.append(from_text(name, left))
            else:
                table = eval(right, {"__builtins__": {}})
                both = parts["arrow"] == "<->"
                out.append(from_text(name, left, table if both else None))
    return out


def edges() -> list[dict]:
    tables = {
        "one empty row": [[]],
        "empty rows": [[], [], []],
        "one empty leaf": [[""]],
        "empty leaves": [["", ""], [""]],
        "terminators and digits as content": [[";", ";;", "0", "f0;", "01a;"]],
        "line ends as content": [["\r\n", "\r", "\n", "a\r\nb\rc\n"]],
        "control characters": [["\x00", "\x1f\x7f", "\t"]],
        "byte order mark inside a leaf": [["\ufeff", "a\ufeffb"]],
        "noncharacters": [["\uffff", "\ufffe", "\U0010ffff"]],
        "latin-1": [["é", "ÿ", "\x80"]],
        "two-byte": [["€", "中文", "\u0800", "\u07ff"]],
        "astral at the edges of leaves": [[ASTRAL, ASTRAL + "a", "a" + ASTRAL, ASTRAL * 3]],
        "lone high surrogate": [["\ud800"], ["a\udbff"], ["\udbffb"]],
        "lone low surrogate": [["\udc00"], ["a\udfff"], ["\udfffb"]],
        "reversed pair": [["\ude00\ud83d"]],
        "lone surrogates beside a pair": [["\ud83d" + ASTRAL, ASTRAL + "\ude00"]],
        "rows of different widths": [["a"], [], ["b", "c", "d"], [""], ["e"] * 20],
        "wide row": [[str(i) for i in range(1000)]],
        **{f"length {n}": [["x" * n]] for n in (9, 10, 99, 100, 999, 1000)},
        **{f"length {n} in units": [[ASTRAL * (n // 2) + "y" * (n % 2)]] for n in (9, 10, 99, 100)},
        "length 4095, 4096": [["z" * 4095, "z" * 4096]],
    }
    out = [from_text(name, dwex.stringify(table), table) for name, table in tables.items()]
    documents = {
        "every width digit": "".join(f"{w}{'0' * int(w, 16)}1a" for w in "0123456789abcdefABCDEF") + ";",
        "leading zeros": "0000000000000000000000000000001a002bc;",
        "widest field": "f0000000000000003abc;",
        "upper-case width digit with a long leaf": "A0000000012" + "q" * 12 + ";",
        "an astral character counted in a leading-zero length": "102" + ASTRAL + ";",
    }
    out += [from_text(name, doc) for name, doc in documents.items()]
    return out


def damaged() -> list[dict]:
    """Every cut of a few documents, and each of their characters replaced by
    characters that stand out in the grammar."""
    seeds = [
        "01a02bc;;03d;e;",
        "11" + "0123456789" + "0" + ASTRAL + "é;",
        "1030123456789;00;",
        "03a" + ASTRAL + ";02\ud800\udc00;",
        "0\ud83d;02\u20ac\u20ac;",
        "02ab;10" + ASTRAL + ";",
    ]
    replacements = ["x", ";", "0", "9", "F", "\n", ASTRAL, "\ud83d", "\ude00", "\u20ac", "é"]
    out = []
    seen = set()

    def add(name, doc):
        key = joined(doc), doc
        if key not in seen:
            seen.add(key)
            out.append(from_text(name, doc))

    for s, seed in enumerate(seeds):
        for cut in range(len(seed) + 1):
            add(f"seed {s} cut at {cut}", seed[:cut])
        for at in range(len(seed)):
            for r, ch in enumerate(replacements):
                add(f"seed {s} character {at} replaced by #{r}", seed[:at] + ch + seed[at + 1 :])
            add(f"seed {s} character {at} removed", seed[:at] + seed[at + 1 :])
        for end in ("x", "\n", ";", "0", "00", "01a", ASTRAL, "0" + ASTRAL, "\ud83d"):
            add(f"seed {s} followed by {end!r}", seed + end)
    return out


def differing() -> list[dict]:
    """Documents whose lone-surrogate pair a Python str holds apart from the
    character: each with both answers."""
    documents = {
        "pair where an item starts": "\ud83d\ude00;",
        "pair among length digits": "10\ud83d\ude00;",
        "digits at the last character beside a pair": "02\ud83d\ude00;0x",
        "pair ending the digits at the last character": "02ab;0\ud83d\ude00",
        "pair after the fault": "0x\ud83d\ude00;",
        "pair split by a length": "01\ud83d\ude00;",
        "pair in a leaf": "02\ud83d\ude00;",
        "pair in a leaf, then digits at the last character": "02\ud83d\ude00;1",
        "pair of lone surrogates from two leaves' ends": "01\ud83d01\ude00;",
    }
    return [from_text(name, doc) for name, doc in documents.items()]


def hostile() -> list[dict]:
    """Declared lengths far beyond the input."""
    documents = {
        "largest length": "f9999999999999999",
        "largest length with content": "f9999999999999999" + "x" * 40 + ";",
        "largest length after a row": "01a;f9999999999999999" + "é" * 10,
        "2^53 + 1": "f9007199254740993" + "x" * 10 + ";",
        "2^63 - 1 in sixteen digits with a leading zero": "f0922337203685477" + "x" * 5 + ";",
        "fifteen nines": "e999999999999999" + ASTRAL * 5 + ";",
        "long length field": "f" + "0" * 15 + "9" + "x" * 8,
        "length one past the input": "05abcd;",
        "length exactly to the end": "04abcd",
        "length to the last character": "05abcde",
        "length past an astral tail": "04a" + ASTRAL + ";",
        "a million declared, ten there": "5" + "1000000" + "x" * 10 + ";",
        "digits longer than the input": "f123",
        "width digit alone": "f",
    }
    return [from_text(name, doc) for name, doc in documents.items()]


def stored() -> list[dict]:
    """Bytes as a file holds them, some of them not UTF-8."""
    samples = {
        "no bytes": b"",
        "byte order mark": b"\xef\xbb\xbf01a;",
        "byte order mark as a leaf": b"01\xef\xbb\xbf;",
        "final newline": b"01a;\n",
        "final CRLF": b"01a;\r\n",
        "lone surrogate sequence": b"01\xed\xa0\x80;",
        "pair as two surrogate sequences": b"02\xed\xa0\xbd\xed\xb8\x80;",
        "pair as two surrogate sequences, split by a length": b"01\xed\xa0\xbd\xed\xb8\x80;",
        "pair as two surrogate sequences where an item starts": b"\xed\xa0\xbd\xed\xb8\x80;",
        "four-byte sequence": b"02\xf0\x9f\x98\x80;",
        "invalid lead byte": b"\xff",
        "invalid byte in a leaf": b"03a\xffb;",
        "invalid byte in the second row": b"01a;02\xe2\x82;",
        "stray continuation byte": b"01\x80;",
        "overlong two-byte": b"02\xc0\x80;",
        "overlong three-byte": b"03\xe0\x80\x80;",
        "above U+10FFFF": b"04\xf4\x90\x80\x80;",
        "five-byte lead": b"05\xf8\x88\x80\x80\x80;",
        "truncated at the end": b"01a;01\xc3",
        "truncated four-byte at the end": b"02\xf0\x9f\x98",
        "truncated surrogate at the end": b"01\xed\xa0",
        "invalid after a complete row": b"01a;\xfe",
        "invalid where digits stand": b"1\xff2;",
        "valid rows then an invalid length": b"01a;01b;0\xc3\x28;",
        "Latin-1 instead of UTF-8": "01é;".encode("latin-1"),
        "CESU-8 would-be pair then ASCII": b"04\xed\xa0\xbd\xed\xb8\x80ab;",
    }
    return [from_bytes(name, data) for name, data in samples.items()]


ALPHABET = (["a", "b", "z", "0", "7", ";", " ", "\n", "\r", "\t", "é", "ÿ", "€", "中", "\uffff"]
            + [ASTRAL, "\U00010000", "\U0010ffff", "\U0001f1fa\U0001f1f8"])
LONE = ["\ud800", "\udbff", "\udc00", "\udfff"]


def random_leaf(rng: random.Random) -> str:
    n = rng.choice([0, 1, 1, 2, 3, 5, 8, 9, 10, 11, 12, 13, 14, 20] * 4 + [99, 100, 101])
    chars = []
    for _ in range(n):
        if rng.random() < 0.05:
            ch = rng.choice(LONE)
            # A lone surrogate beside its partner would be a pair.
            if chars and ((ch >= "\udc00" and "\ud800" <= chars[-1] < "\udc00")):
                ch = "\ud800"
            chars.append(ch)
        else:
            chars.append(rng.choice(ALPHABET))
    leaf = "".join(chars)
    return leaf if leaf == joined(leaf) else leaf.replace("\udc00", "x").replace("\udfff", "x")


def random_tables(count: int = 100, seed: int = 20261210) -> list[dict]:
    rng = random.Random(seed)
    out = []
    for k in range(count):
        table = [[random_leaf(rng) for _ in range(rng.choice([0, 1, 2, 3, 5, 8]))]
                 for _ in range(rng.choice([1, 1, 2, 3, 4, 7]))]
        out.append(from_text(f"random table {k}", dwex.stringify(table), table))
    return out


FILES = {
    "format-guide": guide,
    "edges": edges,
    "damaged": damaged,
    "differing": differing,
    "hostile": hostile,
    "stored": stored,
    "random": random_tables,
}


def main() -> None:
    for name, make in FILES.items():
        vectors = make()
        path = HERE / f"{name}.json"
        # ASCII only, one vector a line: lone surrogates survive as escapes,
        # and a diff shows which vectors changed.
        lines = ",\n".join(json.dumps(v, ensure_ascii=True, separators=(",", ":")) for v in vectors)
        path.write_text(f"[\n{lines}\n]\n", encoding="ascii")
        print(f"{path.relative_to(ROOT)}: {len(vectors)} vectors, {path.stat().st_size:,} bytes")


if __name__ == "__main__":
    main()
