# Types of the dwex extension module: tables of strings to one text
# (the DWEX document) and back. The module itself has no docstring.

from collections.abc import Iterable

__all__ = ["stringify", "parse"]

# Read by the functions at every call, so rebinding them changes later calls.
HEX: str
ErrUnexpectedEndOfInput: str
UTF16_CODEC: str

def stringify(lists: Iterable[Iterable[object]]) -> str:
    """Serialize a 2D iterable of strings into a DWEX string."""

def parse(dwex: str) -> list[list[str]]:
    """Parse a DWEX string into a 2D list of strings."""
