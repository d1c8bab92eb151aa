"""Streaming benchmark for dwexio: reading documents in pieces against reading
them whole, the memory of reading a 1 GB document, and the conversion of a CSV
file against csv.reader alone. Prints a table and writes
build/bench/streaming.json.

    tools/run python3.15 bench/streaming.py [--quick]

--quick shrinks the large document to 64 MB and the repetitions, for a check
that the script runs."""

from __future__ import annotations

import argparse
import csv
import json
import os
import pathlib
import platform
import subprocess
import sys

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent / "lib"))
import places  # noqa: E402

places.use_build()

import dwex  # noqa: E402
import dwexio  # noqa: E402
from dwexio import cli  # noqa: E402
from tables import make_large  # noqa: E402
from timing import interleaved  # noqa: E402

ROOT, LIB, OUT = places.REPO, places.BUILD, places.OUT
WORK = OUT / "streaming"
UNICODE = pathlib.Path("/usr/share/unicode")


def documents() -> dict[str, list[list[str]]]:
    """Tables of real data at each storage width of the document."""
    data = (UNICODE / "UnicodeData.txt").read_text(encoding="ascii")
    emoji = (UNICODE / "emoji" / "emoji-test.txt").read_text(encoding="utf-8")
    names = (UNICODE / "NamesList.txt").read_text(encoding="utf-8")
    return {
        "UnicodeData (1 byte)": [line.split(";") for line in data.splitlines()],
        "NamesList lines (2 bytes)": [line.split("\t") for line in names.splitlines()],
        "emoji-test (4 bytes)": [line.split(" ") for line in emoji.splitlines()] * 4,
        "leaves of 1000 ';' (1 byte)": [[";" * 1000] * 8] * 1000,
        "one 8 MB leaf of ';' (1 byte)": [[";" * (8 << 20)]],
    }


def read_whole(path: pathlib.Path) -> None:
    with open(path, "rb") as f:
        dwex.parse(f.read().decode("utf-8", "surrogatepass"))


def read_streaming(path: pathlib.Path) -> None:
    for _ in dwexio.iter_rows(path):
        pass


def bench_reading(rounds: int) -> list[dict]:
    results = []
    for name, table in documents().items():
        path = WORK / "read.dwex"
        dwexio.dump(table, path)
        size = path.stat().st_size
        medians = interleaved({"whole": lambda: read_whole(path),
                               "iter_rows": lambda: read_streaming(path)}, rounds)
        results.append({
            "document": name, "bytes": size,
            "whole_s": medians["whole"], "iter_rows_s": medians["iter_rows"],
            "ratio": medians["whole"] / medians["iter_rows"],
        })
    return results


# The peak resident size of the child's own image: VmHWM starts afresh at
# exec, where getrusage's maximum would carry over the parent's.
_CHILD = """
import sys, time
sys.path.insert(0, {lib!r})
import dwexio
rows = 0
start = time.perf_counter()
if {read}:
    for _ in dwexio.iter_rows({path!r}):
        rows += 1
seconds = time.perf_counter() - start
with open("/proc/self/status") as status:
    peak = next(line.split()[1] for line in status if line.startswith("VmHWM:"))
print(rows, seconds, peak)
"""


def child(path: pathlib.Path, read: bool) -> tuple[int, float, int]:
    code = _CHILD.format(lib=str(LIB), path=str(path), read=read)
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    rows, seconds, kib = out.stdout.split()
    return int(rows), float(seconds), int(kib) * 1024


def bench_memory(size: int) -> dict:
    path = WORK / "large.dwex"
    try:
        make_large(path, size)
        _, _, baseline = child(path, read=False)
        rows, seconds, peak = child(path, read=True)
        total = path.stat().st_size
    finally:
        path.unlink(missing_ok=True)
    return {"bytes": total, "rows": rows, "seconds": seconds, "peak_rss": peak,
            "baseline_rss": baseline, "chunk_size": dwexio.DEFAULT_CHUNK_SIZE}


def csv_reader_alone(path: pathlib.Path) -> None:
    with open(path, newline="", encoding="utf-8") as f:
        for _ in csv.reader(f):
            pass


def bench_convert(rounds: int) -> list[dict]:
    table = documents()["UnicodeData (1 byte)"] * 4
    results = []
    for name, quoting in (("quoted where needed", csv.QUOTE_MINIMAL), ("every field quoted", csv.QUOTE_ALL)):
        source = WORK / "table.csv"
        with open(source, "w", newline="", encoding="utf-8") as f:
            csv.writer(f, quoting=quoting).writerows(table)
        target = WORK / "table.dwex"
        medians = interleaved({
            "csv.reader": lambda: csv_reader_alone(source),
            "convert": lambda: cli.main(["convert", str(source), str(target)]),
        }, rounds)
        assert dwexio.load(target) == table
        results.append({"csv": name, "bytes": source.stat().st_size,
                        "csv_reader_s": medians["csv.reader"], "convert_s": medians["convert"],
                        "ratio": medians["csv.reader"] / medians["convert"]})
    return results


def print_ratios(title: str, results: list[dict], label: str, baseline: tuple[str, str],
                 ours: tuple[str, str]) -> None:
    """One line per result: its size, both medians and the baseline's time
    over ours (above 1 where ours is faster)."""
    print(title)
    print(f"  {label:30} {'MB':>7} {baseline[0] + ' ms':>14} {ours[0] + ' ms':>14} {'ratio':>6}")
    for r in results:
        print(f"  {r[label]:30} {r['bytes'] / 1e6:7.1f} {r[baseline[1]] * 1e3:14.1f} "
              f"{r[ours[1]] * 1e3:14.1f} {r['ratio']:5.2f}x")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true")
    args = parser.parse_args()
    rounds = 3 if args.quick else 9
    WORK.mkdir(parents=True, exist_ok=True)

    reading = bench_reading(rounds)
    print_ratios("iter_rows over a file against dwex.parse of the whole file (both reading it); "
                 "goal >= 0.8x", reading, "document", ("whole", "whole_s"),
                 ("iter_rows", "iter_rows_s"))

    memory = bench_memory((64 << 20) if args.quick else (1 << 30))
    print(f"\niter_rows over a {memory['bytes'] / 2**30:.2f} GiB document, default chunk "
          f"{memory['chunk_size'] // 1024} KiB; goal: peak < 64 MB")
    print(f"  peak RSS {memory['peak_rss'] / 2**20:.1f} MiB (interpreter and modules alone "
          f"{memory['baseline_rss'] / 2**20:.1f} MiB), {memory['rows']:,} rows in "
          f"{memory['seconds']:.1f} s ({memory['bytes'] / memory['seconds'] / 1e6:.0f} MB/s)")

    converting = bench_convert(rounds)
    print()
    print_ratios("dwex convert csv -> dwex against csv.reader reading the file alone; goal >= 1x",
                 converting, "csv", ("csv.reader", "csv_reader_s"), ("convert", "convert_s"))

    for leftover in WORK.iterdir():
        leftover.unlink()
    WORK.rmdir()
    report = {
        "commit": os.environ.get("DWEX_COMMIT", ""), "python": platform.python_version(),
        "machine": platform.machine(), "rounds": rounds, "quick": args.quick,
        "reading": reading, "memory": memory, "convert": converting,
    }
    (OUT / "streaming.json").write_text(json.dumps(report, indent=2) + "\n")
    print(f"\nwrote {(OUT / 'streaming.json').relative_to(ROOT)}")


if __name__ == "__main__":
    main()
