# The native helper of dwexio.read_arrow and dwexio.write_arrow.

from typing import Any, Iterator

class Batch:
    """One record batch of a Stream, exported once through __arrow_c_array__."""
    num_rows: int
    def __arrow_c_array__(self, requested_schema: object = None) -> tuple[object, object]: ...

class Stream(Iterator[Batch]):
    """A document read as Arrow record batches of string columns."""
    names: list[str]
    def __arrow_c_stream__(self, requested_schema: object = None) -> object: ...
    def _schema(self) -> object: ...
    def __next__(self) -> Batch: ...

def read(file: Any, owned: bool, names: list[str] | None, header: bool, batch_rows: int, /) -> Stream:
    """A Stream of the document in `file`, read as far as its schema."""

def writer(source: object, /) -> object:
    """The writer of an Arrow stream capsule or (schema, array) capsule pair,
    once every column is known to hold strings."""

def write(writer: object, file: Any, text_file: bool, header: bool, null: str | None, /) -> None:
    """Writes the writer's rows to `file` as a DWEX document."""
