"""Random fuzz cases (see cases.py for their form): documents written by the
model and then put in the reader's wider forms and damaged, noise, items with
arbitrary length fields, mutations of earlier documents; tables of every row
and leaf kind, with HEX and ErrUnexpectedEndOfInput bound in every way. Also
the shrinking of a failing case."""

import time

from cases import CONTAINERS
from model import HEX, model_stringify, utf16_length

FORMAT = "0123456789;aAfFgx"
ALPHABETS = [
    "abcxyz" + FORMAT + " \x00\x7f",
    "ab;0\xe9\xff\x80\xa0",
    "ab;1\u20ac\u4e2d\uffff\uff10\ud800\udbff\udc00\udfff",
    "a;2\xe9\u20ac\ud83d\ude00\U0001f600\U00010000\U0010ffff",
]
NOISE = ["0", "1", "9", ";", "a", "F", "g", "G", "x", " ", "/", ":", "@", "`", "\x00", "\xe9",
         "\u4e2d", "\uff10", "\ud83d", "\ude00", "\U0001f600", "\U00010000", "\U0010ffff"]
END_BINDINGS = [("default",)] * 12 + [
    ("value", "another message"), ("value", "\U0001f600 wide"), ("value", 5), ("value", None),
    ("value", ("a", "b")), ("delete",), ("builtins", "from builtins")]
HEX_BINDINGS = [("default",)] * 20 + [
    ("value", "ABCDEFGHIJKLMNOP"), ("value", "0123456789ABCDEF"), ("value", "\xe9" * 16),
    ("value", "\U0001f600\u4e2d" * 8), ("value", "01"), ("value", ""), ("value", 5),
    ("value", [str(k) for k in range(16)]), ("value", ["<%d>" % k for k in range(16)]),
    ("value", [7] * 16), ("value", ["0", 1, "2", "3"]), ("value", {0: "p", 1: "q"}),
    ("value", ("x",) * 16), ("strsub", "0123456789abcdef"), ("strsub", "\u4e2d" * 3),
    ("delete",), ("builtins", "ABCDEFGHIJKLMNOP"), ("builtins", "0")]


def text(rng, alphabet, long_ok=True):
    if long_ok and rng.random() < 0.06:
        # Field widths change at 10 and 100; the reader cuts items of 64 and more its own way.
        n = rng.choice([9, 10, 11, 63, 64, 65, 99, 100, 101, rng.randrange(12, 2500)])
    else:
        n = rng.choice([0, 0, 1, 1, 2, 3, rng.randrange(0, 13)])
    return "".join(rng.choice(alphabet) for _ in range(n))


# ---------------------------------------------------------------- documents


def plain_table(rng, alphabet):
    # Some leaves narrower than the document, so that items of every width are cut from it.
    def leaf():
        return text(rng, alphabet if rng.random() < 0.8 else rng.choice(ALPHABETS))

    return [[leaf() for _ in range(rng.choice([0, 1, 2, 3, rng.randrange(0, 7)]))]
            for _ in range(rng.choice([1, 1, 2, 3, rng.randrange(1, 7)]))]


def wider_forms(rng, table):
    """The table written with upper-case width digits and leading zeros here
    and there, some prefixes made wrong; the pieces of the document."""
    pieces = []
    for row in table:
        for leaf in row:
            digits = str(utf16_length(leaf))
            if rng.random() < 0.1:
                digits = "0" * rng.randrange(1, 17 - len(digits)) + digits
            width = HEX[len(digits) - 1]
            if rng.random() < 0.1:
                width = width.upper()
            change = rng.random()
            if change < 0.03:
                width = rng.choice("ghxzG \x00;\u4e2d\U0001f600")
            elif change < 0.06:
                width = HEX[min(15, max(0, len(digits) - 1 + rng.choice([-1, 1])))]
            elif change < 0.09:
                at = rng.randrange(len(digits))
                digits = digits[:at] + rng.choice(NOISE) + digits[at + 1:]
            elif change < 0.12:
                digits = str(max(0, int(digits) + rng.choice([-2, -1, 1, 2])))
                width = HEX[len(digits) - 1]
            pieces += [width, digits, leaf]
        pieces.append(";")
    return "".join(pieces)


def split_astral(doc, at):
    for k in range(at, len(doc)):
        cp = ord(doc[k]) - 0x10000
        if cp >= 0:
            return doc[:k] + chr(0xD800 | cp >> 10) + chr(0xDC00 | cp & 0x3FF) + doc[k + 1:]
    return doc


def damage(rng, doc):
    at = rng.randrange(len(doc) + 1)
    change = rng.randrange(11)
    if change == 0:
        return doc[:max(1, len(doc) - rng.randrange(1, 4))]
    if change == 1:
        return doc[:at]
    if change == 2:
        return doc[:at] + rng.choice(NOISE) + doc[at:]
    if change == 3:
        return doc[:at] + rng.choice(NOISE) + doc[at + 1:]
    if change == 4:
        return doc[:at] + doc[at + 1:]
    if change == 5:
        return doc + "".join(rng.choice(NOISE) for _ in range(rng.randrange(1, 4)))
    if change == 6:
        return split_astral(doc, at if rng.random() < 0.5 else 0)
    if change == 7:
        end = rng.randrange(at, len(doc) + 1)
        return doc[:end] + doc[at:end] + doc[end:]
    if change == 8:
        digits = [k for k, c in enumerate(doc) if c.isdigit()]
        if digits:
            k = rng.choice(digits)
            return doc[:k] + rng.choice("0123456789") + doc[k + 1:]
        return doc
    if change == 9:
        # Widen the storage: a BMP or astral character in place of another.
        return doc[:at] + rng.choice("\u4e2d\U0001f600\ud800") + doc[at + 1:]
    return doc.replace("\U0001f600", "\ud83d\ude00", 1) if rng.random() < 0.5 else doc


def items(rng):
    """Items with arbitrary width digits and length fields, up to 16 digits."""
    pieces = []
    for _ in range(rng.randrange(1, 6)):
        if rng.random() < 0.25:
            pieces.append(";")
            continue
        h = rng.choice([0, 0, 1, 2, 15, rng.randrange(16)])
        n = rng.choice([0, 1, 2, 3, 10 ** (h + 1) - 1, rng.randrange(10 ** (h + 1))])
        pieces.append(rng.choice("0123456789abcdefABCDEF"[h:h + 1] + HEX[h].upper()))
        pieces.append(str(n).zfill(h + 1)[-(h + 1):])
        pieces.append(text(rng, rng.choice(ALPHABETS), long_ok=False))
    return "".join(pieces) + (";" if rng.random() < 0.7 else "")


def document(rng, corpus):
    way = rng.random()
    if way < 0.45:
        doc = wider_forms(rng, plain_table(rng, rng.choice(ALPHABETS)))
    elif way < 0.6:
        doc = "".join(rng.choice(NOISE + list(FORMAT)) for _ in range(rng.randrange(0, 21)))
    elif way < 0.75:
        doc = items(rng)
    elif corpus:
        doc = rng.choice(corpus)
        if rng.random() < 0.3:
            other = rng.choice(corpus)
            doc = doc[:rng.randrange(len(doc) + 1)] + other[rng.randrange(len(other) + 1):]
    else:
        doc = model_stringify(plain_table(rng, rng.choice(ALPHABETS)))
    for _ in range(rng.choice([0, 0, 1, 1, 2, 3])):
        doc = damage(rng, doc)
    return doc


# ---------------------------------------------------------------- tables


def leaf(rng, alphabet):
    way = rng.randrange(100)
    t = text(rng, alphabet)
    if way < 45:
        return ("s", t)
    if way < 50:
        return ("sub", t)
    if way < 60:
        return ("value", rng.choice([0, -5, 10 ** 20, 2.5, -0.0, 1e300, None, True, False,
                                     b"ab", 1j, (1, "a")]))
    if way < 70:
        return ("text", t)
    if way < 73:
        return ("textsub", t)
    if way < 75:
        return ("raise", t)
    if way < 77:
        return ("nonstr", rng.choice([1, None, b"x", 2.5]))
    if way < 80:
        return ("listleaf", [t, 1, None])
    if way < 100:
        target = rng.choice(["row", "table"])
        action = rng.choice(["append", "insert0", "pop", "del0", "clear", "hex", "hex"])
        if action == "hex":
            arg = rng.choice(HEX_BINDINGS[18:])
        elif target == "row":
            arg = ("s", text(rng, alphabet, long_ok=False))
        else:
            arg = ("list", [("s", text(rng, alphabet, long_ok=False))])
        return ("mutate", target, action, arg, t)
    return ("s", t)


def large_plain_table(rng, alphabet):
    """Hundreds of rows of str, ASCII or of one alphabet, with now and then a
    leaf of any other kind: the tables that are written in one pass, and
    every way that pass hands over to the others."""
    alphabet = alphabet if rng.random() < 0.5 else ALPHABETS[0]
    children = [(rng.choice(["list", "list", "tuple"]),
                 [("s", text(rng, alphabet, long_ok=rng.random() < 0.05)) for _ in range(rng.randrange(0, 7))])
                for _ in range(rng.randrange(80, 200))]
    for _ in range(rng.choice([0, 0, 1, 2])):
        children[rng.randrange(len(children))][1].append(leaf(rng, rng.choice(ALPHABETS)))
    return (rng.choice(["list", "tuple"]), children)


def container(rng, alphabet, depth):
    way = rng.randrange(100)
    if depth == 0 and way >= 95:
        return large_plain_table(rng, alphabet)
    if way < 4:
        return ("strrow", text(rng, alphabet))
    if way < 6:
        return ("value", rng.choice([None, 5, b"ab", {"k": 1}]))
    tag = rng.choices(CONTAINERS, weights=[50, 12, 10, 6, 8, 4, 2])[0]
    n = rng.choice([0, 1, 2, 3, rng.randrange(0, 7)])
    if depth == 0:
        children = [container(rng, alphabet, 1) for _ in range(n)]
    else:
        children = [leaf(rng, alphabet) for _ in range(n)]
    return (tag, children)


def case(rng, corpus):
    if rng.random() < 0.5:
        return ("parse", document(rng, corpus), rng.choice(END_BINDINGS))
    return ("stringify", container(rng, rng.choice(ALPHABETS), 0), rng.choice(HEX_BINDINGS))


# ---------------------------------------------------------------- shrinking


def _node_variants(node):
    tag = node[0]
    if tag in CONTAINERS:
        children = node[1]
        for k in range(len(children)):
            yield (tag, children[:k] + children[k + 1:])
        for k, child in enumerate(children):
            for v in _node_variants(child):
                yield (tag, children[:k] + [v] + children[k + 1:])
        if tag != "list":
            yield ("list", children)
    elif tag in ("s", "sub", "text", "textsub", "strrow", "raise") and len(node[1]) > 1:
        half = len(node[1]) // 2
        yield (tag,) + (node[1][:half],) + node[2:]
        yield (tag,) + (node[1][half:],) + node[2:]
    if tag not in CONTAINERS and node != ("s", "a"):
        yield ("s", "a")


def _case_variants(c):
    if c[0] == "parse":
        doc = c[1]
        if c[2] != ("default",):
            yield ("parse", doc, ("default",))
        size = len(doc) // 2
        while size >= 1:
            for at in range(0, len(doc), size):
                yield ("parse", doc[:at] + doc[at + size:], c[2])
            size //= 2
        for at, ch in enumerate(doc):
            if ch not in "0a;":
                yield ("parse", doc[:at] + ("0" if ch.isdigit() else "a") + doc[at + 1:], c[2])
    else:
        if c[2] != ("default",):
            yield ("stringify", c[1], ("default",))
        for v in _node_variants(c[1]):
            yield ("stringify", v, c[2])


def shrink(c, fails, seconds=10.0, variants=None):
    """A smaller case for which `fails(case)` still holds, within `seconds`;
    `variants(case)` yields the smaller cases to try (by default a model
    case's)."""
    deadline = time.monotonic() + seconds
    progress = True
    while progress and time.monotonic() < deadline:
        progress = False
        for v in (variants or _case_variants)(c):
            if time.monotonic() > deadline:
                break
            if fails(v):
                c, progress = v, True
                break
    return c
