"""The `dwex` command: convert tables between formats, and validate, show and
summarise DWEX documents. Bad input ends with a one-line message on stderr and
a non-zero exit status, never a traceback."""

from __future__ import annotations

import argparse
import contextlib
import csv
import errno
import itertools
import os
import re
import signal
import sys
import time
import unicodedata
from collections.abc import Callable, Iterator, Sequence
from typing import Any, NoReturn, cast

from ._cli import arrow_formats, formats, signals
from ._cli.formats import FORMATS, FormatError, TextOptions, plural, printable
from ._io import files
from ._io.stream import Reader

# Exit statuses: 1 for a document that does not read, 2 for every other
# failure (arguments, files, formats), as argparse uses 2 for its own.
EXIT_INVALID = 1
EXIT_ERROR = 2


class Progress:
    """A progress line on stderr for long conversions (rows, bytes read and
    their rate): by default shown only when stderr is a terminal and the
    work has run for a second, so that pipes and logs stay clean."""

    DELAY = 1.0
    INTERVAL = 0.25

    def __init__(self, source: Any, total: int | None, shown: bool | None = None) -> None:
        self._source = getattr(source, "buffer", source)
        self._source = getattr(self._source, "file", self._source)  # the compressed bytes
        self._total = total
        self._start = time.monotonic()
        self._next = self._start + self.DELAY
        self._shown = sys.stderr.isatty() if shown is None else shown
        self._drawn = False
        self.rows = 0

    def tick(self, rows: int) -> None:
        self.rows += rows
        if not self._shown:
            return
        now = time.monotonic()
        if now < self._next:
            return
        self._next = now + self.INTERVAL
        sys.stderr.write("\r" + self.line(now - self._start) + "\x1b[K")
        sys.stderr.flush()
        self._drawn = True

    def line(self, elapsed: float) -> str:
        """The progress so far, after `elapsed` seconds."""
        parts = [plural(self.rows, "row")]
        done = self._position()
        if done is not None:
            read = f"{done / 1e6:,.1f} MB"
            if self._total:
                read += f" of {self._total / 1e6:,.1f} MB ({min(done / self._total, 1):.0%})"
            parts += [read, f"{done / 1e6 / max(elapsed, 1e-9):,.1f} MB/s"]
        else:
            parts.append(f"{self.rows / max(elapsed, 1e-9):,.0f} rows/s")
        return "dwex: " + ", ".join(parts)

    def _position(self) -> int | None:
        try:
            return int(self._source.tell())
        except (OSError, ValueError, AttributeError):
            return None

    def close(self) -> None:
        if self._drawn:
            sys.stderr.write("\r\x1b[K")
            sys.stderr.flush()


def _size(name: str) -> int | None:
    try:
        return os.stat(name).st_size if name != "-" else None
    except OSError:
        return None


def _open_for(name: str, fmt: str, options: TextOptions = TextOptions()) -> Any:
    if fmt in formats.BINARY_FORMATS:
        return formats.open_binary(name)
    return formats.open_text(name, options)


_TOKEN = re.compile(r"Unexpected token '(.*)' at position (\d+)", re.DOTALL)


def syntax_message(e: SyntaxError) -> str:
    """The parser's message on one line: the token it quotes escaped."""
    message = str(e.msg)
    token = _TOKEN.fullmatch(message)
    if token:
        return f"Unexpected token '{printable(token[1])}' at position {token[2]}"
    return "".join(ch if ch.isprintable() else repr(ch)[1:-1] for ch in message)


def _why(reader: Reader) -> str:
    if reader.trailing_line_break:
        return ": a line break after the last ';' (an editor's final newline?)"
    return ""


@contextlib.contextmanager
def _reading(name: str, reader: Reader | None = None) -> Iterator[None]:
    """Names the input, and the row of a document, in the message of a table
    that does not read."""
    try:
        yield
    except SyntaxError as e:
        where = f" (row {reader.rows + 1}){_why(reader)}" if reader else ""
        raise FormatError(
            f"{printable(name)}: damaged document: {syntax_message(e)}{where}") from None
    except csv.Error as e:
        raise FormatError(f"{printable(name)}: {e}") from None
    except UnicodeDecodeError as e:
        where = ""
        if reader is not None and reader.fault_byte is not None:
            where = f" (byte {reader.fault_byte:,}, row {reader.fault_row:,})"
        raise FormatError(f"{printable(name)}: {_describe(e)}{where}") from None


@contextlib.contextmanager
def _output(name: str) -> Iterator[Any]:
    """The binary file for OUT: standard output, or all or nothing."""
    if name == "-":
        yield sys.stdout.buffer
        sys.stdout.buffer.flush()
    else:
        with files.opened(name, "w") as f:
            yield f


def _text_options(args: argparse.Namespace) -> TextOptions:
    delimiter = args.delimiter
    if delimiter is not None and (len(delimiter) != 1 or delimiter in '"\r\n'):
        raise FormatError("--delimiter takes one character, not a quote or a line break")
    line_ending = "\n" if args.line_ending == "lf" else "\r\n"
    encoding = args.encoding or "utf-8"
    try:
        options = TextOptions(delimiter, encoding, line_ending, args.quote)
        options.codec("r")
    except LookupError:
        raise FormatError(f"--encoding: unknown encoding '{printable(encoding)}'") from None
    return options


ARROW_FORMATS = arrow_formats.FORMATS
DELIMITED = ("csv", "tsv")


class UsageError(FormatError):
    """Options that do not fit together."""


# Each option of convert that only some formats use: what it is for, and
# whether the formats given use it.
_SCOPES: list[tuple[str, str, str, Callable[[str, str], bool]]] = [
    ("delimiter", "--delimiter", "csv and tsv",
     lambda source, target: source in DELIMITED or target in DELIMITED),
    ("encoding", "--encoding", "csv and tsv",
     lambda source, target: source in DELIMITED or target in DELIMITED),
    ("line_ending", "--line-ending", "csv and tsv output", lambda source, target: target in DELIMITED),
    ("quote", "--quote", "tsv", lambda source, target: "tsv" in (source, target)),
    ("header", "--header", "parquet and arrow to or from another format",
     lambda source, target: (source in ARROW_FORMATS) != (target in ARROW_FORMATS)),
    ("null", "--null", "parquet and arrow to another format",
     lambda source, target: source in ARROW_FORMATS and target not in ARROW_FORMATS),
]


def _check_options(args: argparse.Namespace, source: str, target: str) -> None:
    """Refuses an option that would change nothing for these two formats."""
    for field, option, scope, used in _SCOPES:
        given = getattr(args, field)
        if given is None or (given is False and field == "quote"):
            continue
        if not used(source, target):
            if field == "header" and given is False:
                option = "--no-header"
            raise UsageError(f"{option} has no effect from {source} to {target} "
                             f"(it is for {scope})")


def convert(args: argparse.Namespace) -> int:
    source = formats.format_of(args.input, args.source_format)
    target = formats.format_of(args.output, args.target_format)
    _check_options(args, source, target)
    options = _text_options(args)
    if "-" not in (args.input, args.output) and os.path.exists(args.output) and \
            os.path.samefile(args.input, args.output):
        raise FormatError(f"{printable(args.input)}: cannot convert a file into itself")
    arrow = arrow_formats.involved(source, target)
    if arrow:
        arrow_formats.pyarrow()
    # A named source gives its names as the first row, unless --no-header.
    header = args.header if args.header is not None else source in ARROW_FORMATS
    fin = _open_for(args.input, source, options)
    try:
        progress = Progress(fin, _size(args.input), args.progress)
        reader = Reader(fin) if source == "dwex" and not arrow else None
        try:
            with _reading(args.input, reader), _output(args.output) as fout:
                if arrow:
                    arrow_formats.convert(
                        fin, fout, source, target, args.input, header, args.null,
                        lambda: formats.read_table(fin, source, args.input, False, options),
                        lambda rows: formats.write_table(fout, target, rows, progress.tick,
                                                          args.output, options),
                        progress.tick)
                else:
                    batches = reader.batches() if reader else formats.read_table(
                        fin, source, args.input, target == "dwex", options)
                    formats.write_table(fout, target, batches, progress.tick, args.output,
                                         options)
        finally:
            progress.close()
    finally:
        formats.release(fin, args.input)
    return 0


def validate(args: argparse.Namespace) -> int:
    status = 0
    for name in args.files:
        try:
            with formats.open_binary(name) if name != "-" else contextlib.nullcontext(
                    sys.stdin.buffer) as f:
                reader = Reader(f)
                try:
                    for _ in reader.batches():
                        pass
                except SyntaxError as e:
                    print(f"{printable(name)}: {syntax_message(e)} (position "
                          f"{reader.fault_position}, row {reader.rows + 1}){_why(reader)}")
                    status = max(status, EXIT_INVALID)
                    continue
        except (OSError, ValueError) as e:
            why = e.strerror if isinstance(e, OSError) and e.strerror else _describe(e)
            if isinstance(e, UnicodeDecodeError) and reader.fault_byte is not None:
                why += f" (byte {reader.fault_byte:,}, row {reader.fault_row:,})"
            print(f"{printable(name)}: {why}")
            status = max(status, EXIT_INVALID)
            continue
        print(f"{printable(name)}: ok, {plural(reader.rows, 'row')}")
    return status


# --- show --------------------------------------------------------------------

def visible(text: str) -> str:
    """`text` with every non-printing character written as its escape."""
    if text.isprintable():
        return text
    return "".join(ch if ch.isprintable() else repr(ch)[1:-1] for ch in text)


def _char_width(ch: str) -> int:
    if unicodedata.combining(ch) or unicodedata.category(ch) in ("Mn", "Me", "Cf"):
        return 0
    return 2 if unicodedata.east_asian_width(ch) in ("W", "F") else 1


def display_width(text: str) -> int:
    if text.isascii():
        return len(text)
    return sum(map(_char_width, text))


def shorten(text: str, limit: int) -> str:
    """`text` cut to at most `limit` terminal columns, marked with an ellipsis."""
    if display_width(text) <= limit:
        return text
    out, used = [], 0
    for ch in text:
        w = _char_width(ch)
        if used + w > limit - 1:
            break
        out.append(ch)
        used += w
    return "".join(out) + "\u2026"


def format_table(rows: Sequence[Sequence[str]], first_row: int, leaf_width: int,
                 names: Sequence[str] | None = None) -> list[str]:
    """The rows as aligned lines, each led by its row number, under the
    column names, or numbers."""
    shown = [[shorten(visible(leaf), leaf_width) for leaf in row] for row in rows]
    columns = max((len(row) for row in shown), default=len(names or ()))
    header = ["row"] + [str(k) for k in range(1, columns + 1)]
    if names is not None:
        header = ["row"] + [shorten(visible(name), leaf_width) for name in names]
    body = [[str(first_row + n)] + row for n, row in enumerate(shown)]
    widths = [0] * (columns + 1)
    for line in [header] + body:
        for k, text in enumerate(line):
            widths[k] = max(widths[k], display_width(text))
    out = []
    for line in [header] + body:
        padded = [line[0].rjust(widths[0])]
        padded += [text + " " * (widths[k] - display_width(text))
                   for k, text in enumerate(line[1:], 1)]
        out.append("  ".join(padded).rstrip())
    return out


class Table:
    """The rows of a file being read: the column names of a named source,
    and the document reader of a DWEX document."""

    def __init__(self, rows: Iterator[list[str]], reader: Reader | None = None,
                 names: list[str] | None = None) -> None:
        self.rows = rows
        self.reader = reader
        self.names = names


@contextlib.contextmanager
def _table(args: argparse.Namespace) -> Iterator[Table]:
    """The table of FILE (a DWEX document unless its name or --from says
    otherwise)."""
    name = args.file
    source = formats.format_of(name, args.source_format, default="dwex")
    if args.null is not None and source not in ARROW_FORMATS:
        raise UsageError(f"--null has no effect on {source} (it is for parquet and arrow)")
    f = _open_for(name, source)
    try:
        reader = Reader(f) if source == "dwex" else None
        with _reading(name, reader):
            if reader:
                yield Table(itertools.chain.from_iterable(reader.batches()), reader)
            elif source in ARROW_FORMATS:
                names, batches = arrow_formats.read_rows(f, source, name, args.null)
                yield Table(itertools.chain.from_iterable(batches), names=names)
            else:
                # Without to_dwex every batch is a list of rows.
                batches = cast(Iterator[list[list[str]]], formats.read_table(f, source, name))
                yield Table(itertools.chain.from_iterable(batches))
    finally:
        formats.release(f, name)


def show(args: argparse.Namespace) -> int:
    if args.rows < 0 or args.width < 2:
        raise FormatError("--rows must not be negative, and --width at least 2")
    with _table(args) as table:
        first = list(itertools.islice(table.rows, args.rows))
    for line in format_table(first, 1, args.width, table.names):
        print(line)
    return 0


def stats(args: argparse.Namespace) -> int:
    count = leaves = widest = widest_row = longest = longest_row = longest_column = 0
    with _table(args) as table:
        for count, row in enumerate(table.rows, 1):
            n = len(row)
            leaves += n
            if n > widest:
                widest, widest_row = n, count
            if n and (m := max(map(len, row))) > longest:
                column = next(k for k, leaf in enumerate(row) if len(leaf) == m)
                longest, longest_row, longest_column = m, count, column + 1
    reader = table.reader
    print(f"rows:          {count:,}")
    print(f"cells:         {leaves:,}")
    print(f"widest row:    {plural(widest, 'cell')} (row {widest_row})" if count else "widest row:    -")
    if leaves:
        print(f"longest cell:  {plural(longest, 'character')} (row {longest_row}, "
              f"column {longest_column})")
    else:
        print("longest cell:  -")
    if reader is not None:
        names = {1: "1 byte per character (Latin-1)", 2: "2 bytes per character (BMP)",
                 4: "4 bytes per character (above U+FFFF)"}
        print(f"storage width: {names[reader.kind]}")
        print(f"length:        {plural(reader.units, 'UTF-16 unit')}")
    return 0


# --- entry -------------------------------------------------------------------

def _describe(e: BaseException) -> str:
    if isinstance(e, OSError) and e.strerror:
        if e.filename is None:
            return e.strerror
        return f"{printable(os.fsdecode(e.filename))}: {e.strerror}"
    if isinstance(e, UnicodeDecodeError):
        encoding = e.encoding.removesuffix("-sig")  # the reader of UTF-8 drops a BOM
        return f"not {encoding} text ({e.reason}: {e.object[e.start:e.end]!r})"
    return str(e)


class _Version(argparse.Action):
    """--version, read from the installed distribution only when asked."""

    def __call__(self, parser: argparse.ArgumentParser, *args: object) -> NoReturn:
        from . import __version__

        print(f"dwex {__version__}")
        parser.exit()


def _null_option(p: argparse.ArgumentParser) -> None:
    p.add_argument("--null", metavar="TEXT",
                   help="from parquet or arrow: the text of a null cell (without it, a null "
                   "is an error naming its row and column)")


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="dwex", description="Convert tables to and from DWEX documents, and inspect them.")
    parser.add_argument("--version", action=_Version, nargs=0,
                        help="print the version of dwex and exit")
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")

    p = commands.add_parser(
        "convert", help="convert a table between formats",
        description="Convert IN to OUT; '-' is stdin or stdout. The formats "
        f"({', '.join(FORMATS)}) follow the file extensions unless given. OUT appears only "
        "when the whole conversion succeeded; until then, and after any failure or "
        "interruption, a file already at OUT keeps its old content. A zero-byte file is "
        "the table with no rows. JSON and JSONL rows must be arrays of strings: numbers, "
        "booleans and null are rejected, naming the row. Typed columns of parquet and "
        "arrow files are written as pyarrow casts them to text. A name ending .gz, .bz2, "
        ".xz or .zst is compressed, and its format is told by the extension before that.")
    p.add_argument("input", metavar="IN")
    p.add_argument("output", metavar="OUT")
    p.add_argument("--from", dest="source_format", choices=FORMATS)
    p.add_argument("--to", dest="target_format", choices=FORMATS)
    p.add_argument("--delimiter", metavar="CHAR",
                   help="the field delimiter of CSV and TSV input and output "
                   "(default ',' for CSV, a tab for TSV)")
    p.add_argument("--encoding",
                   help="the encoding of CSV and TSV input and output (default utf-8; "
                   "a leading byte order mark is dropped on reading UTF-8)")
    p.add_argument("--line-ending", choices=("crlf", "lf"),
                   help="the line ending of CSV and TSV output (default crlf, as the csv "
                   "module writes: LF input comes back with CRLF unless lf is given)")
    p.add_argument("--quote", action="store_true",
                   help="TSV with CSV-style quoting, so that cells may hold tabs and line "
                   "breaks; without it TSV has no quoting at all, '\"' is an ordinary "
                   "character, and a cell holding a tab or a line break is an error")
    p.add_argument("--header", action=argparse.BooleanOptionalAction,
                   help="from parquet or arrow: write the column names as the first row "
                   "(the default; --no-header leaves them out); to parquet or arrow: take "
                   "the column names from the first row (default f0, f1, ...)")
    _null_option(p)
    p.add_argument("--progress", action=argparse.BooleanOptionalAction,
                   help="a progress line on stderr after the first second (default: only "
                   "when stderr is a terminal)")
    p.set_defaults(run=convert)

    p = commands.add_parser("validate", help="check that DWEX documents read",
                            description="Exit 0 when every FILE reads, else 1, naming each "
                            "damaged file with the error, its position and row number.")
    p.add_argument("files", nargs="+", metavar="FILE")
    p.set_defaults(run=validate)

    p = commands.add_parser("show", help="print the first rows as a table")
    p.add_argument("file", metavar="FILE")
    p.add_argument("--rows", type=int, default=20, help="rows to show (default 20)")
    p.add_argument("--width", type=int, default=30, help="widest cell, in columns (default 30)")
    p.add_argument("--from", dest="source_format", choices=FORMATS)
    _null_option(p)
    p.set_defaults(run=show)

    p = commands.add_parser("stats", help="count the rows and cells of a table")
    p.add_argument("file", metavar="FILE")
    p.add_argument("--from", dest="source_format", choices=FORMATS)
    _null_option(p)
    p.set_defaults(run=stats)
    return parser


def main(argv: Sequence[str] | None = None) -> int:
    args = build_parser().parse_args(argv)
    # Fields of any length read back what any writer wrote.
    csv.field_size_limit(sys.maxsize)
    with signals.raised():
        return _run(args)


def _broken_pipe(e: BaseException) -> bool:
    return isinstance(e, OSError) and e.errno == errno.EPIPE


def _from_arrow(e: BaseException) -> bool:
    """Whether `e` is one of pyarrow's own errors (any of its kinds)."""
    pa = sys.modules.get("pyarrow")
    return pa is not None and isinstance(e, pa.ArrowException)


def _one_line(e: BaseException) -> str:
    """The message of `e`; one of pyarrow's may run on with details over
    several lines, of which the first says what went wrong."""
    message = _describe(e)
    if _from_arrow(e):
        message = message.strip().splitlines()[0] if message.strip() else type(e).__name__
    return message


def _run(args: argparse.Namespace) -> int:
    try:
        status = int(args.run(args))
        sys.stdout.flush()
        return status
    except SyntaxError as e:
        print(f"dwex: damaged document: {syntax_message(e)}", file=sys.stderr)
        return EXIT_INVALID
    except (OSError, ValueError, csv.Error, FormatError) as e:
        if _broken_pipe(e):
            # The reader of our output has gone, as `| head` does: nothing
            # more goes to it, not even the interpreter's flush at exit.
            devnull = os.open(os.devnull, os.O_WRONLY)
            os.dup2(devnull, sys.stdout.fileno())
            os.close(devnull)
            return 0
        print(f"dwex: {_one_line(e)}", file=sys.stderr)
        return EXIT_ERROR
    except Exception as e:
        if not _from_arrow(e):
            raise
        print(f"dwex: {_one_line(e)}", file=sys.stderr)
        return EXIT_ERROR
    except KeyboardInterrupt:
        return 128 + signal.SIGINT
    except signals.Terminated:
        return 128 + signal.SIGTERM
