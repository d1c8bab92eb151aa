"""The sizes at which dwexio cuts its input, and the progress line's delay:
private settings of the package that tests make small, so that a few bytes
of input cross many cuts. This module is the one place tests name them; a
setting that moves or is renamed is followed here, on its one line."""

from __future__ import annotations

import contextlib
import importlib
from collections.abc import Iterator
from typing import Any

# The name a test uses -> (module, attribute within it).
SETTINGS = {
    # Bytes of a file read at a time when several threads read it.
    "read_window": ("dwexio._tables.read", "WINDOW_BYTES"),
    # Characters the command's CSV reader and its other text readers take at a time.
    "csv_chunk": ("dwexio._cli.delimited", "_CHUNK"),
    "text_chunk": ("dwexio._cli.formats", "_Chunks._CHUNK"),
    # Seconds before the command shows its progress line.
    "progress_delay": ("dwexio.cli", "Progress.DELAY"),
}


def _owner(name: str) -> tuple[Any, str]:
    module, attribute = SETTINGS[name]
    *path, last = attribute.split(".")
    owner: Any = importlib.import_module(module)
    for step in path:
        owner = getattr(owner, step)
    return owner, last


def apply(setattr_: Any, **values: object) -> None:
    """Sets each named setting through `setattr_` (pytest's
    monkeypatch.setattr, which undoes it after the test)."""
    for name, value in values.items():
        setattr_(*_owner(name), value)


@contextlib.contextmanager
def held(**values: object) -> Iterator[None]:
    """The named settings for the length of a with block."""
    saved = {name: getattr(*_owner(name)) for name in values}
    apply(setattr, **values)
    try:
        yield
    finally:
        apply(setattr, **saved)


def child_setup(**values: object) -> str:
    """Source that gives the named settings in a fresh interpreter."""
    lines = []
    for name, value in values.items():
        module, attribute = SETTINGS[name]
        lines.append(f"import {module}; {module}.{attribute} = {value!r}")
    return "\n".join(lines)
