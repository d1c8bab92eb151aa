"""DWEX documents in files and streams, and the ``dwex`` command.

``dwex`` turns a table of strings into one DWEX text and back, in memory.
This package reads and writes such documents in files:

* ``dump(table, file)`` and ``load(file)`` write and read a whole document;
* ``iter_rows(file)`` reads a document of any size one row at a time;
* ``Writer(file)`` writes a document row by row;
* ``read_arrow(file)`` and ``write_arrow(data, file)`` read a document into
  Arrow record batches of strings and write one from them, typed columns as
  the text pyarrow gives them (pyarrow, polars, DuckDB and any other Arrow
  consumer take them; none is required);
* ``dwexio.polars`` and ``dwexio.pandas`` read documents into those libraries'
  frames and write them back, importing the library only when called;
* ``dwexio.dask`` reads many files, or one too large for one process, as a
  Dask DataFrame in parallel, and writes one file per partition.

A file is a path (``str`` or ``os.PathLike``) or an open file; a path ending
``.gz``, ``.bz2``, ``.xz`` or ``.zst`` is compressed and decompressed. A path is
written all or nothing: a new file beside it takes its place only once the
whole document is written, and an error leaves the old file untouched.
A zero-byte file is the table with no rows. Documents are stored as UTF-8
with ``errors="surrogatepass"`` (lone surrogates survive) and without newline
translation (``"\\r\\n"`` inside a leaf survives). An open binary file is
best; a text file works too: one that could translate line ends is switched
to ``newline=""`` before its first read, and refused with ValueError after it.
"""

from __future__ import annotations

from ._io.files import Writer, dump, load
from ._io.stream import DEFAULT_CHUNK_SIZE, iter_rows
from ._tables.read import read_arrow
from ._tables.write import write_arrow

__all__ = ["DEFAULT_CHUNK_SIZE", "Writer", "dump", "iter_rows", "load", "read_arrow", "write_arrow"]


def __getattr__(name: str) -> str:
    # The version is the installed distribution's, looked up when first asked
    # for: reading the metadata costs more than the rest of the import.
    if name == "__version__":
        import importlib.metadata

        try:
            version = importlib.metadata.version("dwex")
        except importlib.metadata.PackageNotFoundError:
            version = "0+unknown"  # a source tree, not installed
        globals()["__version__"] = version
        return version
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
