"""The `dwex` command where it can hurt: failed, interrupted and full-disk
conversions never touch what was at OUT, special files are written in place,
files that the command writes read back, and every message is one line."""

import contextlib
import os
import signal
import stat
import subprocess
import sys
import threading
import time

import pytest

import dwex
import dwexio
from dwexio import cli
from command import environment, run

# A failure of the conversion itself: (input name, input bytes, extra
# arguments, the one line on stderr).
FAILURES = [
    ("bad.dwex", b"01a;x", [], "dwex: bad.dwex: damaged document: Unexpected token 'x' at position 4 (row 2)"),
    ("cut.dwex", b"01a;01b", [], "dwex: cut.dwex: damaged document: Unexpected end of input (row 2)"),
    ("open.csv", b'a,b\r\nc,"d\r\ne\r\n', [], "dwex: open.csv: line 2: a quoted field opens here and is never closed"),
    ("open.csv", b'a,"b\nc",d,"e\nf\n', [], "dwex: open.csv: line 2: a quoted field opens here and is never closed"),
    ("after.csv", b'a\n"b"c\n', [], "dwex: after.csv: line 2: ',' expected after '\"'"),
    ("num.json", b'[["a"], ["b", 1]]', [], "dwex: num.json: row 2 is not an array of strings"),
    ("null.jsonl", b'["a"]\n\n[null]\n', [], "dwex: null.jsonl: line 3 is not an array of strings"),
    ("tab.jsonl", b'["a"]\n["b", "c\\td"]\n', ["--to", "tsv"],
     "dwex: out.csv: row 2, column 2: the cell holds a tab, which TSV cannot hold "
     "(--quote writes such cells quoted, as CSV does)"),
    ("nl.jsonl", b'["a\\nb"]\n', ["--to", "tsv"],
     "dwex: out.csv: row 1, column 1: the cell holds a line break, which TSV cannot hold "
     "(--quote writes such cells quoted, as CSV does)"),
    ("wide.jsonl", b'["\\u4e2d"]\n', ["--encoding", "latin-1"],
     "dwex: out.csv: row 1, column 1: iso8859-1 cannot encode '\u4e2d'"),
    ("nl.dwex", b"01a;\n", [], "dwex: nl.dwex: damaged document: Unexpected token '\\n' at position 4 "
     "(row 2): a line break after the last ';' (an editor's final newline?)"),
    ("quote.dwex", b"01a;'", [], "dwex: quote.dwex: damaged document: Unexpected token '\\'' at position 4 (row 2)"),
]


def listing(directory):
    return sorted(os.listdir(directory))


@pytest.mark.parametrize("old", [None, b"precious\n"], ids=["absent", "existing"])
@pytest.mark.parametrize("name, data, extra, message", FAILURES, ids=[f[0] for f in FAILURES])
def test_a_failed_conversion_leaves_the_output_as_it_was(tmp_path, name, data, extra, message, old):
    (tmp_path / name).write_bytes(data)
    if old is not None:
        (tmp_path / "out.csv").write_bytes(old)
    before = listing(tmp_path)
    result = run("convert", name, "out.csv", *extra, cwd=tmp_path)
    assert (result.returncode, result.stderr.decode()) == (2, message + "\n")
    assert listing(tmp_path) == before
    if old is not None:
        assert (tmp_path / "out.csv").read_bytes() == old


def test_the_output_keeps_its_mode_or_follows_the_umask(tmp_path):
    (tmp_path / "in.csv").write_bytes(b"a,b\r\n")
    (tmp_path / "old.dwex").write_bytes(b"stale")
    os.chmod(tmp_path / "old.dwex", 0o604)
    for out in ("old.dwex", "new.dwex"):
        result = run("convert", "in.csv", out, cwd=tmp_path, preexec_fn=lambda: os.umask(0o027))
        assert result.returncode == 0, result.stderr
        assert (tmp_path / out).read_bytes() == b"01a01b;"
    assert stat.S_IMODE(os.stat(tmp_path / "old.dwex").st_mode) == 0o604
    assert stat.S_IMODE(os.stat(tmp_path / "new.dwex").st_mode) == 0o640
    assert listing(tmp_path) == ["in.csv", "new.dwex", "old.dwex"]


def test_devices_and_fifos_are_written_in_place_and_never_removed(tmp_path):
    (tmp_path / "bad.dwex").write_bytes(b"01a;x")
    (tmp_path / "good.dwex").write_bytes(b"01a;")
    try:
        os.mknod(tmp_path / "null", 0o666 | stat.S_IFCHR, os.makedev(1, 3))
    except PermissionError:
        pytest.skip("making a device node needs privileges")
    for source in ("bad.dwex", "good.dwex"):
        run("convert", source, "null", "--to", "csv", cwd=tmp_path)
        assert stat.S_ISCHR(os.stat(tmp_path / "null").st_mode)

    # A stream gets the rows before the damage, as from any filter.
    os.mkfifo(tmp_path / "fifo")
    for source, expected in (("good.dwex", b"a\r\n"), ("bad.dwex", b"a\r\n")):
        received = []
        reader = threading.Thread(target=lambda: received.append((tmp_path / "fifo").read_bytes()),
                                  daemon=True)
        reader.start()
        result = run("convert", source, "fifo", "--to", "csv", cwd=tmp_path)
        reader.join(timeout=60)
        assert received == [expected]
        assert result.returncode == (0 if source == "good.dwex" else 2)
        assert stat.S_ISFIFO(os.stat(tmp_path / "fifo").st_mode)
    assert listing(tmp_path) == ["bad.dwex", "fifo", "good.dwex", "null"]


@pytest.mark.parametrize("number, status", [(signal.SIGINT, 130), (signal.SIGTERM, 143)])
def test_a_signal_leaves_no_partial_output(tmp_path, number, status):
    (tmp_path / "out.csv").write_bytes(b"precious\n")
    child = subprocess.Popen(
        [sys.executable, "-m", "dwexio", "convert", "-", "out.csv", "--from", "dwex"],
        cwd=tmp_path, env=environment(), stdin=subprocess.PIPE, stderr=subprocess.PIPE)
    try:
        # Half a document, and standard input left open: the conversion is
        # under way, its new file written, when the signal comes.
        child.stdin.write(dwex.stringify([["x" * 100]] * 20_000).encode() + b"01")
        child.stdin.flush()
        deadline = time.monotonic() + 60
        while len(listing(tmp_path)) < 2 and time.monotonic() < deadline:
            time.sleep(0.05)
        assert len(listing(tmp_path)) == 2
        child.send_signal(number)
        assert child.wait(timeout=60) == status
    finally:
        child.kill()
        child.stdin.close()
        child.stderr.close()
    assert listing(tmp_path) == ["out.csv"]
    assert (tmp_path / "out.csv").read_bytes() == b"precious\n"


# The signal is noted while the main thread is in C code, never inside the
# blocking read that follows: only sending it again ends that read.
_NOTED_BEFORE_BLOCKING = """
import _thread, os, signal, sys, threading
from dwexio._cli import signals as _signals
woken, wake = os.pipe()
threading.Timer(0.2, _thread.interrupt_main, (signal.{name},)).start()
try:
    with _signals.raised():
        os.read(woken, 1)
except (KeyboardInterrupt, _signals.Terminated) as e:
    print(type(e).__name__)
"""


@pytest.mark.parametrize("name, raised", [("SIGINT", "KeyboardInterrupt"), ("SIGTERM", "Terminated")])
def test_a_signal_noted_before_a_read_blocks_still_ends_it(name, raised):
    result = subprocess.run([sys.executable, "-c", _NOTED_BEFORE_BLOCKING.format(name=name)],
                            env=environment(), capture_output=True, timeout=60)
    assert (result.stdout.decode(), result.stderr) == (raised + "\n", b"")


def test_the_command_gives_back_the_signal_handlers_it_found(tmp_path):
    def state():
        wakeup = signal.set_wakeup_fd(-1)
        signal.set_wakeup_fd(wakeup)
        return ([signal.getsignal(n) for n in (signal.SIGINT, signal.SIGTERM)], wakeup,
                threading.active_count())

    (tmp_path / "in.csv").write_bytes(b"a,b\r\n")
    before = state()
    assert cli.main(["convert", str(tmp_path / "in.csv"), str(tmp_path / "out.dwex")]) == 0
    assert state() == before


@contextlib.contextmanager
def small_file_system(directory):
    directory.mkdir()
    mounted = subprocess.run(["mount", "-t", "tmpfs", "-o", "size=1m", "tmpfs", str(directory)],
                             capture_output=True, text=True)
    if mounted.returncode != 0:
        pytest.skip(f"cannot mount a small tmpfs here: {mounted.stderr.strip()}")
    try:
        yield directory
    finally:
        subprocess.run(["umount", str(directory)], check=True)


def test_a_full_disk_leaves_no_output(tmp_path):
    rows = [[str(k), "x" * 50] for k in range(60_000)]
    dwexio.dump(rows, tmp_path / "big.dwex")
    with small_file_system(tmp_path / "s"):
        (tmp_path / "s" / "kept.csv").write_bytes(b"precious\n")
        for out in ("s/out.dwex", "s/kept.csv", "s/out.json"):
            result = run("convert", "big.dwex", out, cwd=tmp_path)
            assert (result.returncode, result.stderr.decode()) == (
                2, f"dwex: {out}: No space left on device\n")
            assert listing(tmp_path / "s") == ["kept.csv"]
        assert (tmp_path / "s" / "kept.csv").read_bytes() == b"precious\n"
        assert not (tmp_path / "s" / "out.dwex").exists()


def test_long_cells_read_back_everywhere(tmp_path):
    table = [["a", "x" * 300_000, '"\n' * 100_000], ["b"]]
    dwexio.dump(table, tmp_path / "t.dwex")
    for step in (["t.dwex", "t.csv"], ["t.csv", "u.dwex"], ["u.dwex", "u.tsv", "--quote"],
                 ["u.tsv", "v.dwex", "--quote"]):
        result = run("convert", *step, cwd=tmp_path)
        assert result.returncode == 0, result.stderr
    assert dwexio.load(tmp_path / "v.dwex") == table
    stats = run("stats", "t.csv", cwd=tmp_path)
    assert b"longest cell:  300,000 characters (row 1, column 2)" in stats.stdout
    assert run("show", "t.csv", cwd=tmp_path).returncode == 0


@pytest.mark.parametrize("out, expected", [
    ("e.csv", b""), ("e.tsv", b""), ("e.json", b"[]\n"), ("e.jsonl", b""), ("e.dwex", b""),
])
def test_a_zero_byte_file_is_the_empty_table(tmp_path, out, expected):
    (tmp_path / "empty.dwex").write_bytes(b"")
    (tmp_path / "empty.csv").write_bytes(b"")
    assert run("convert", "empty.dwex", out, cwd=tmp_path).returncode == 0
    assert (tmp_path / out).read_bytes() == expected
    assert run("convert", "empty.csv", "again.dwex", cwd=tmp_path).returncode == 0
    assert (tmp_path / "again.dwex").read_bytes() == b""
    result = run("validate", "empty.dwex", cwd=tmp_path)
    assert (result.returncode, result.stdout) == (0, b"empty.dwex: ok, 0 rows\n")


def test_tsv_has_no_quoting_unless_asked(tmp_path):
    (tmp_path / "q.tsv").write_bytes(b'a"b\t"c"\r\n"d\n')
    assert run("convert", "q.tsv", "q.jsonl", cwd=tmp_path).returncode == 0
    assert (tmp_path / "q.jsonl").read_bytes() == b'["a\\"b", "\\"c\\""]\n["\\"d"]\n'
    assert run("convert", "q.jsonl", "back.tsv", "--line-ending", "lf", cwd=tmp_path).returncode == 0
    assert (tmp_path / "back.tsv").read_bytes() == b'a"b\t"c"\n"d\n'
    assert run("convert", "q.jsonl", "quoted.tsv", "--quote", cwd=tmp_path).returncode == 0
    assert (tmp_path / "quoted.tsv").read_bytes() == b'"a""b"\t"""c"""\r\n"""d"\r\n'


def test_delimiter_encoding_and_byte_order_mark(tmp_path):
    (tmp_path / "semi.csv").write_bytes(b'\xef\xbb\xbfa;"b;c"\nd;e\n')
    assert run("convert", "semi.csv", "s.jsonl", "--delimiter", ";", cwd=tmp_path).returncode == 0
    assert (tmp_path / "s.jsonl").read_bytes() == b'["a", "b;c"]\n["d", "e"]\n'
    (tmp_path / "l.csv").write_bytes("é,ü\n".encode("latin-1"))
    result = run("convert", "l.csv", "l.csv.dwex", "--encoding", "latin-1", "--to", "dwex",
                 cwd=tmp_path)
    assert result.returncode == 0 and (tmp_path / "l.csv.dwex").read_bytes() == "01é01ü;".encode()


def test_messages_stay_on_one_line(tmp_path):
    (tmp_path / "nl.dwex").write_bytes(b"01a;\n")
    result = run("validate", "nl.dwex", cwd=tmp_path)
    assert result.stdout == (b"nl.dwex: Unexpected token '\\n' at position 4 (position 4, row 2): "
                             b"a line break after the last ';' (an editor's final newline?)\n")
    (tmp_path / "cr.dwex").write_bytes(b"01a;\r01b;")
    result = run("validate", "cr.dwex", "odd\nname'.dwex", cwd=tmp_path)
    assert result.stdout == (b"cr.dwex: Unexpected token '\\r' at position 4 (position 4, row 2)\n"
                             b"odd\\nname\\'.dwex: No such file or directory\n")


@pytest.mark.skipif("libasan" in os.environ.get("LD_PRELOAD", ""),
                    reason="AddressSanitizer's shadow memory outweighs the bound")
def test_json_is_read_row_by_row(tmp_path):
    # About 24 MB of JSON: read whole, its rows alone would take far more
    # than the bound below.
    with open(tmp_path / "big.json", "w") as f:
        f.write("[\n" + ",\n".join('["%d", "ab", "c"]' % k for k in range(1_000_000)) + "\n]\n")
    # The growth of this process's peak (ru_maxrss would count the forked
    # test's) over its peak once the command is imported, so that what an
    # emulator running the interpreter holds for itself is not counted.
    code = ("import re, sys; from dwexio.cli import main\n"
            "def peak(): return int(re.search(r'VmHWM:\\s+(\\d+)', open('/proc/self/status').read())[1])\n"
            "before = peak(); status = main(sys.argv[1:]); print(before, peak()); sys.exit(status)")
    result = subprocess.run([sys.executable, "-c", code, "convert", "big.json", "big.dwex"],
                            cwd=tmp_path, env=environment(), capture_output=True, timeout=300)
    assert result.returncode == 0, result.stderr
    before, after = map(int, result.stdout.split())
    assert after - before < 40_000  # KiB
    rows = dwexio.iter_rows(tmp_path / "big.dwex")
    assert next(rows) == ["0", "ab", "c"] and sum(1 for _ in rows) == 999_999
