"""A small pure-Python statement of the document format, written for clarity
rather than speed: the writer, and the reader with its exact messages and
UTF-16 positions. Property tests and the fuzzer compare the module with it."""

from bisect import bisect_left

HEX = "0123456789abcdef"
END_OF_INPUT = "Unexpected end of input"

_WIDTH_DIGITS = "0123456789abcdefABCDEF"
_DECIMAL_DIGITS = "0123456789"
_ROW_TERMINATOR = ";"


def utf16_length(text: str) -> int:
    """Code points, plus one for each above U+FFFF (lone surrogates count one)."""
    return len(text) + sum(1 for c in text if ord(c) > 0xFFFF)


def model_stringify(table, hex_digits: str = HEX) -> str:
    """The document of any two-level iterable; a leaf that is not a str is
    written as its str()."""
    pieces = []
    for row in table:
        for leaf in row:
            v = leaf if isinstance(leaf, str) else str(leaf)
            length_field = str(utf16_length(v))
            pieces += [hex_digits[len(length_field) - 1], length_field, v]
        pieces.append(_ROW_TERMINATOR)
    return "".join(pieces)


def model_parse(text: str, end_of_input: object = END_OF_INPUT) -> list:
    """The table of a document, or SyntaxError with the reader's message.

    `end_of_input` stands for the current value of the module attribute that
    the reader quotes when the input ends too early.
    """
    # A str holds a code point above U+FFFF only when it is stored four bytes
    # wide; that is when the wide reader runs, which treats length digits that
    # end on the last code point differently (they are still read).
    wide = any(ord(c) > 0xFFFF for c in text)
    # u16[k] is the UTF-16 position of code point k; u16[len(text)] the total.
    u16 = [0]
    for c in text:
        u16.append(u16[-1] + (2 if ord(c) > 0xFFFF else 1))
    end = len(text)

    def unexpected_end():
        return SyntaxError(end_of_input)

    def unexpected(character: str, position: int):
        return SyntaxError(f"Unexpected token '{character}' at position {position}")

    if end == 0:
        raise unexpected_end()
    table, row, k = [], [], 0
    while True:
        if text[k] == _ROW_TERMINATOR:
            table.append(row)
            k += 1
            if k == end:
                return table
            row = []
            continue
        if text[k] not in _WIDTH_DIGITS:
            raise unexpected(text[k], u16[k])
        content_start = k + 1 + int(text[k], 16) + 1
        # The narrow reader wants room for the digits and one code point more
        # before it looks at a digit; the wide one only room for the digits.
        if content_start > end or (content_start == end and not wide):
            raise unexpected_end()
        for d in range(k + 1, content_start):
            if text[d] not in _DECIMAL_DIGITS:
                raise unexpected(text[d], u16[d])
        target = u16[content_start] + int(text[k + 1 : content_start])
        if target > u16[end]:
            raise unexpected_end()
        content_end = bisect_left(u16, target, content_start)
        if u16[content_end] != target:
            # The length stops between the halves of an astral code point.
            low = 0xDC00 | (ord(text[content_end - 1]) & 0x3FF)
            raise unexpected(chr(low), target)
        if content_end == end:
            raise unexpected_end()
        row.append(text[content_start:content_end])
        k = content_end


def model_outcome(text: str, end_of_input: object = END_OF_INPUT):
    """("ok", table) or ("error", exception type, args), for comparisons."""
    try:
        return ("ok", model_parse(text, end_of_input))
    except SyntaxError as e:
        return ("error", type(e), e.args)
