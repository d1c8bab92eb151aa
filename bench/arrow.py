"""Arrow benchmark for dwexio: read_arrow into a pyarrow.Table against the CSV
readers of pyarrow, polars and DuckDB on the same rows, and against
dwexio.load, on one thread and on all; two threads against one on a file of
64 MB and on an adversarial one (leaves holding whole documents); write_arrow
against the CSV writers, to a file and to an io.BytesIO, on the bench's tables
and on the sweep's rectangular shapes; the peak memory of reading a 1 GB
document; dwexio.polars.read_dwex against pl.read_csv in time and memory; and the
cost of each Arrow string type to the consumers.
Prints the figures with the goals and writes build/bench/arrow.json.

    tools/run /opt/dwex-venv/bin/python bench/arrow.py [--quick]

--quick shrinks the large document to 64 MB and the repetitions."""

from __future__ import annotations

import argparse
import csv
import io
import json
import os
import pathlib
import platform
import statistics
import subprocess
import sys

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent / "lib"))
import places  # noqa: E402

places.use_build()

import dwex  # noqa: E402
import dwexio  # noqa: E402
import goals  # noqa: E402
import shapes  # noqa: E402
from tables import all_tables, make_large  # noqa: E402
from timing import interleaved  # noqa: E402

try:
    import duckdb
    import polars as pl
    import pyarrow as pa
    import pyarrow.csv as pacsv
except ImportError as missing:
    sys.exit(f"bench/arrow.py needs pyarrow, polars and duckdb ({missing}); tools/sandbox installs them")

ROOT, LIB, OUT = places.REPO, places.BUILD, places.OUT
WORK = OUT / "arrow"

# (contender, at least this ratio of its time to read_arrow's)
READ_GOALS = [("pyarrow.csv 1 thread", 2.5), ("pyarrow.csv threads", 2.0),
              ("polars.read_csv", 2.0), ("dwexio.load", 4.0)]
# Two threads against one, on a file this large at least; and on the
# adversarial file, where no guess may cost more than one thread's read (within the noise).
THREADS_BYTES = 64 << 20
TWO_THREADS = 1.7
ADVERSARIAL_NO_SLOWER = 0.95
WRITE_GOALS = [("pyarrow.csv.write_csv", 2.0), ("polars write_csv", 2.0)]
# Where the writers write: a path, and an io.BytesIO.
SINKS = ("file", "BytesIO")
STREAM_PEAK_MB = 64
READ_ALL_OVER_BUFFERS = 1.2
# dwexio.polars.read_dwex against pl.read_csv of the same rows: at least this
# ratio of its time, and a peak memory above the interpreter's with polars at
# most this much of the frame's estimated_size().
POLARS_OVER_CSV = 1.5
POLARS_OVER_FRAME = 1.2


def rectangular(rows: list[list[str]]) -> list[list[str]]:
    width = max(map(len, rows))
    return [row + [""] * (width - len(row)) for row in rows]


def csv_reader(path: pathlib.Path, width: int, threads: bool, newlines: bool):
    names = [f"f{k}" for k in range(width)]
    read = pacsv.ReadOptions(use_threads=threads, column_names=names)
    parse = pacsv.ParseOptions(newlines_in_values=newlines)
    convert = pacsv.ConvertOptions(column_types={n: pa.string() for n in names}, strings_can_be_null=False,
                                   quoted_strings_can_be_null=False)
    return lambda: pacsv.read_csv(path, read_options=read, parse_options=parse, convert_options=convert)


def bench_table(name: str, rows: list[list[str]], rounds: int) -> dict:
    dwex_path, csv_path = WORK / f"{name}.dwex", WORK / f"{name}.csv"
    dwexio.dump(rows, dwex_path)
    with open(csv_path, "w", newline="", encoding="utf-8") as f:
        csv.writer(f).writerows(rows)
    width = len(rows[0])
    newlines = any("\n" in leaf or "\r" in leaf for row in rows for leaf in row)
    table = pa.table(dwexio.read_arrow(dwex_path))
    # Every reader must give the same columns, or its time means nothing.
    checks = {
        "pyarrow.csv 1 thread": csv_reader(csv_path, width, False, newlines)(),
        "polars.read_csv": pl.read_csv(csv_path, has_header=False, infer_schema=False, empty_string_is_null=False).to_arrow(),
    }
    for label, other in checks.items():
        assert [c.to_pylist() for c in other.columns] == [c.to_pylist() for c in table.columns], label
    contenders = {
        "read_arrow": lambda: pa.table(dwexio.read_arrow(dwex_path)),
        "read_arrow 1 thread": lambda: pa.table(dwexio.read_arrow(dwex_path, threads=1)),
        "pyarrow.csv 1 thread": csv_reader(csv_path, width, False, newlines),
        "pyarrow.csv threads": csv_reader(csv_path, width, True, newlines),
        "polars.read_csv": lambda: pl.read_csv(csv_path, has_header=False, infer_schema=False, empty_string_is_null=False),
        "duckdb read_csv": lambda: duckdb.read_csv(str(csv_path), header=False, all_varchar=True, sep=",",
                                                   quotechar='"', escapechar='"').arrow(),
        "dwexio.load": lambda: dwexio.load(dwex_path),
        "file read": lambda: dwex_path.read_bytes(),
    }
    try:
        contenders["duckdb read_csv"]()
    except duckdb.Error:
        # Its dialect sniffer gives up on some tables; it sets no goal.
        del contenders["duckdb read_csv"]
    reading = interleaved(contenders, rounds)
    writing = bench_writing(table, rounds)
    assert (WORK / "out.dwex").read_bytes() == dwex_path.read_bytes()
    return {"table": name, "rows": len(rows), "columns": width, "dwex_bytes": dwex_path.stat().st_size,
            "csv_bytes": csv_path.stat().st_size, "read_s": reading, "write_s": writing}


def bench_writing(table, rounds: int) -> dict[str, dict[str, float]]:
    """write_arrow and the CSV writers on one pyarrow.Table: the median
    seconds of each, by sink. The file is left in WORK/out.dwex."""
    frame = pl.from_arrow(table)
    out_dwex, out_csv = WORK / "out.dwex", WORK / "out.csv"
    targets = {"file": (lambda: out_dwex, lambda: out_csv), "BytesIO": (io.BytesIO, io.BytesIO)}
    contenders = {}
    for sink, (ours, theirs) in targets.items():
        contenders[f"write_arrow {sink}"] = lambda o=ours: dwexio.write_arrow(table, o())
        contenders[f"pyarrow.csv.write_csv {sink}"] = lambda t=theirs: pacsv.write_csv(table, t())
        contenders[f"polars write_csv {sink}"] = lambda t=theirs: frame.write_csv(t(), include_header=False)
    medians = interleaved(contenders, rounds)
    return {sink: {label: medians[f"{label} {sink}"] for label in ("write_arrow", *dict(WRITE_GOALS))}
            for sink in SINKS}


def bench_shapes(size: shapes.Size, rounds: int) -> list[dict]:
    """Writing on each rectangular shape of the sweep (those of one width,
    the last row filled up with empty leaves)."""
    results = []
    for name, make in shapes.builders(size):
        shape = make()
        if shape.width is None:
            continue
        path = WORK / "shape.dwex"
        dwexio.dump(rectangular(shape.rows), path)
        table = pa.table(dwexio.read_arrow(path))
        results.append({"table": name, "cells": table.num_rows * table.num_columns,
                        "write_s": bench_writing(table, rounds)})
        assert (WORK / "out.dwex").read_bytes() == path.read_bytes(), name
    return results


def print_writing(results: list[dict], what: str) -> None:
    print(f"\nwrite_arrow from {what} against the CSV writers (time / write_arrow's; >1: write_arrow faster)")
    labels = list(dict(WRITE_GOALS))
    print(f"  {'table':28} " + " ".join(f"{sink + ' ms':>12} " + " ".join(f"{k[:14]:>15}" for k in labels)
                                        for sink in SINKS))
    for r in results:
        cells = []
        for sink in SINKS:
            w = r["write_s"][sink]
            ours = w["write_arrow"]
            cells.append(f"{ours * 1e3:12.2f} " + " ".join(f"{w[k] / ours:14.2f}x" for k in labels))
        print(f"  {r['table']:28} " + " ".join(cells))


def writing_goals(found: list, results: list[dict]) -> None:
    for r in results:
        for sink in SINKS:
            w = r["write_s"][sink]
            for label, need in WRITE_GOALS:
                goals._goal(found, f"write_arrow {goals._times(need)} {label}, to a {sink}", r["table"], need,
                            "min", w[label] / w["write_arrow"], None)


# Streaming is measured without pyarrow, whose import alone outweighs the
# goal: the batches are the reader's own, each released before the next.
_CHILD = """
import sys, time
sys.path.insert(0, {lib!r})
if {mode!r} in ("stream", "bare"):
    sys.modules["pyarrow"] = None
import dwexio
if {mode!r}.startswith("polars"):
    import polars, dwexio.polars
start = time.perf_counter()
rows = buffers = 0
if {mode!r} == "stream":
    for batch in dwexio.read_arrow({path!r}):
        rows += batch.num_rows
elif {mode!r} == "read_all":
    import pyarrow
    table = dwexio.read_arrow({path!r}).read_all()
    rows, buffers = table.num_rows, table.get_total_buffer_size()
if {mode!r} == "none":
    import pyarrow
elif {mode!r} in ("polars read_dwex", "polars read_csv"):
    frame = (dwexio.polars.read_dwex({path!r}) if {mode!r} == "polars read_dwex"
             else polars.read_csv({path!r}, has_header=False, infer_schema=False))
    rows, buffers = frame.height, int(frame.estimated_size())
seconds = time.perf_counter() - start
with open("/proc/self/status") as status:
    peak = next(line.split()[1] for line in status if line.startswith("VmHWM:"))
print(rows, seconds, int(peak) * 1024, buffers)
"""


def child(path: pathlib.Path, mode: str) -> tuple[int, float, int, int]:
    code = _CHILD.format(lib=str(LIB), path=str(path), mode=mode)
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    rows, seconds, peak, buffers = out.stdout.split()
    return int(rows), float(seconds), int(peak), int(buffers)


def bench_memory(size: int) -> dict:
    path = WORK / "large.dwex"
    try:
        make_large(path, size)
        bare = child(path, "bare")[2]
        baseline = child(path, "none")[2]
        rows, seconds, peak, _ = child(path, "stream")
        # read_all() of a quarter of that size, whose table fits this machine easily.
        make_large(WORK / "quarter.dwex", size // 4)
        all_rows, _, all_peak, buffers = child(WORK / "quarter.dwex", "read_all")
        total = path.stat().st_size
    finally:
        path.unlink(missing_ok=True)
        (WORK / "quarter.dwex").unlink(missing_ok=True)
    return {"bytes": total, "rows": rows, "seconds": seconds, "peak_rss": peak, "bare_rss": bare,
            "baseline_rss": baseline,
            "read_all_rows": all_rows, "read_all_peak_rss": all_peak, "read_all_buffers": buffers}


def bench_polars(size: int, rounds: int) -> dict:
    """dwexio.polars.read_dwex and pl.read_csv of the same rows, each in a
    process of its own (alternating, `rounds` times): median seconds, and
    the lowest peak RSS above a process that has imported both."""
    dwex_path, csv_path = WORK / "polars.dwex", WORK / "polars.csv"
    try:
        make_large(dwex_path, size)
        pl.DataFrame(dwexio.read_arrow(dwex_path)).write_csv(csv_path, include_header=False)
        baseline = child(dwex_path, "polars")[2]
        runs: dict[str, list] = {"polars read_dwex": [], "polars read_csv": []}
        for _ in range(rounds):
            for mode, path in (("polars read_dwex", dwex_path), ("polars read_csv", csv_path)):
                runs[mode].append(child(path, mode))
        assert len({r[0] for rs in runs.values() for r in rs}) == 1, "the readers disagree on the rows"
        out = {"bytes": dwex_path.stat().st_size, "rows": runs["polars read_dwex"][0][0],
               "frame_bytes": runs["polars read_dwex"][0][3], "baseline_rss": baseline}
        for mode, rs in runs.items():
            out[mode] = {"seconds": statistics.median(r[1] for r in rs), "peak_rss": min(r[2] for r in rs)}
    finally:
        dwex_path.unlink(missing_ok=True)
        csv_path.unlink(missing_ok=True)
    return out


def adversarial(path: pathlib.Path, size: int) -> None:
    """Rows of three leaves, the middle one a whole three-column document of
    about 1 MB: every guessed row start inside it passes for a row start."""
    inner = dwex.stringify([[f"{k}", "x" * (k % 50), "é" * (k % 7)] for k in range(30000)])
    block = dwex.stringify([["a", inner, "b"]] * 8).encode()
    with open(path, "wb") as f:
        for _ in range(-(-size // len(block))):
            f.write(block)


def bench_threads(size: int, rounds: int) -> dict:
    """read_arrow on 1 and 2 threads, batch by batch, on a plain file and an adversarial one."""
    out = {}
    for kind, make in (("plain", make_large), ("adversarial", adversarial)):
        path = WORK / f"{kind}.dwex"
        try:
            make(path, size)
            one = [b.num_rows for b in dwexio.read_arrow(path, threads=1)]
            two = [b.num_rows for b in dwexio.read_arrow(path, threads=2)]
            assert sum(one) == sum(two), kind
            assert pa.table(dwexio.read_arrow(path, threads=2)).equals(pa.table(dwexio.read_arrow(path, threads=1)))
            times = interleaved({n: (lambda n=n: sum(b.num_rows for b in dwexio.read_arrow(path, threads=n)._stream))
                                 for n in (1, 2)}, rounds)
            out[kind] = {"bytes": path.stat().st_size, "rows": sum(one), "1": times[1], "2": times[2]}
        finally:
            path.unlink(missing_ok=True)
    return out


def bench_string_types(rows: list[list[str]], rounds: int) -> dict:
    """What each consumer pays to take a table of each Arrow string type."""
    base = pa.table(dwexio.read_arrow(WORK / "ascii.dwex"))
    typed = {kind: base.cast(pa.schema([(n, t) for n in base.column_names]))
             for kind, t in (("string", pa.string()), ("large_string", pa.large_string()),
                             ("string_view", pa.string_view()))}
    out = {}
    for kind, table in typed.items():
        out[kind] = interleaved({
            "polars": lambda t=table: pl.DataFrame(t),
            "duckdb": lambda t=table: duckdb.from_arrow(t).to_arrow_table(),
        }, rounds)
        out[kind]["buffers"] = table.get_total_buffer_size()
    return out


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true")
    args = parser.parse_args()
    rounds = 3 if args.quick else 9
    WORK.mkdir(parents=True, exist_ok=True)

    results = [bench_table(t.name, rectangular(t.rows), rounds) for t in all_tables()]
    print("read_arrow into a pyarrow.Table against the CSV readers on the same rows (time / read_arrow's; "
          ">1: read_arrow faster), GC on")
    print(f"  (read_arrow on all {os.cpu_count()} cores, threads=None, as the ratios; on one, threads=1, beside it)")
    labels = [k for k in results[0]["read_s"] if k != "read_arrow"]
    print(f"  {'table':8} {'MB':>6} {'read_arrow ms':>14} " + " ".join(f"{k:>21}" for k in labels))
    for r in results:
        ours = r["read_s"]["read_arrow"]
        print(f"  {r['table']:8} {r['dwex_bytes'] / 1e6:6.1f} {ours * 1e3:14.1f} "
              + " ".join(f"{r['read_s'][k] / ours:20.2f}x" if k in r["read_s"] else f"{'-':>21}"
                         for k in labels))
    print("  (the file read is the floor on one core: read_arrow takes "
          + ", ".join(f"{r['read_s']['read_arrow'] / r['read_s']['file read']:.1f}x" for r in results)
          + " its time)")
    print_writing(results, "that table")
    swept = bench_shapes(shapes.QUICK if args.quick else shapes.Size(), rounds)
    print_writing(swept, "the sweep's rectangular shapes")

    memory = bench_memory((64 << 20) if args.quick else (1 << 30))
    print(f"\nread_arrow over a {memory['bytes'] / 2**30:.2f} GiB document, batch by batch: peak RSS "
          f"{memory['peak_rss'] / 2**20:.1f} MiB (interpreter and dwexio alone "
          f"{memory['bare_rss'] / 2**20:.1f} MiB), {memory['bytes'] / memory['seconds'] / 1e6:.0f} MB/s")
    over = (memory["read_all_peak_rss"] - memory["baseline_rss"]) / memory["read_all_buffers"]
    print(f"read_all() of {memory['read_all_rows']:,} rows: peak RSS above the interpreter's with pyarrow "
          f"{over:.2f}x the table's own buffers ({memory['read_all_buffers'] / 2**20:.1f} MiB)")

    frames = bench_polars((16 << 20) if args.quick else (256 << 20), 3)
    by_dwex, by_csv = frames["polars read_dwex"], frames["polars read_csv"]
    polars_over = (by_dwex["peak_rss"] - frames["baseline_rss"]) / frames["frame_bytes"]
    print(f"\ndwexio.polars.read_dwex of {frames['bytes'] / 1e6:.0f} MB ({frames['rows']:,} rows) against "
          f"pl.read_csv of the same rows: {by_dwex['seconds'] * 1e3:.0f} ms and {by_csv['seconds'] * 1e3:.0f} ms; "
          f"peak RSS above the interpreter's with polars {polars_over:.2f}x and "
          f"{(by_csv['peak_rss'] - frames['baseline_rss']) / frames['frame_bytes']:.2f}x the frame's "
          f"estimated_size() ({frames['frame_bytes'] / 2**20:.1f} MiB)")

    threads = bench_threads(THREADS_BYTES, rounds)
    print("\nread_arrow batch by batch on 1 and 2 threads (ms)")
    for kind, t in threads.items():
        print(f"  {kind:12} {t['bytes'] / 1e6:6.1f} MB  1 thread {t['1'] * 1e3:8.1f}  2 threads "
              f"{t['2'] * 1e3:8.1f}  {t['1'] / t['2']:.2f}x")

    types = bench_string_types(results[0], rounds)
    print("\nthe ascii table handed to each consumer as each string type (ms; buffers MB)")
    for kind, t in types.items():
        print(f"  {kind:13} polars.DataFrame {t['polars'] * 1e3:7.1f}   duckdb.from_arrow "
              f"{t['duckdb'] * 1e3:7.1f}   buffers {t['buffers'] / 1e6:6.1f}")

    found: list[dict] = []
    for r in results:
        ours = r["read_s"]["read_arrow"]
        for label, need in READ_GOALS:
            goals._goal(found, f"read_arrow {goals._times(need)} {label}", r["table"], need, "min",
                        r["read_s"][label] / ours, None)
    writing_goals(found, results + swept)
    goals._goal(found, f"read_arrow on 2 threads {TWO_THREADS}x as fast as on 1", "plain 64 MB", TWO_THREADS,
                "min", threads["plain"]["1"] / threads["plain"]["2"], None)
    goals._goal(found, f"read_arrow on 2 threads no slower than on 1 (at least {ADVERSARIAL_NO_SLOWER}x)",
                "adversarial 64 MB", ADVERSARIAL_NO_SLOWER, "min",
                threads["adversarial"]["1"] / threads["adversarial"]["2"], None)
    goals._goal(found, f"read_arrow of 1 GB streamed: peak RSS / {STREAM_PEAK_MB} MB at most 1", "large",
                1.0, "max", memory["peak_rss"] / (STREAM_PEAK_MB << 20), None)
    goals._goal(found, f"read_all() at most {READ_ALL_OVER_BUFFERS}x the table's buffers", "large",
                READ_ALL_OVER_BUFFERS, "max", over, None)
    goals._goal(found, f"dwexio.polars.read_dwex {goals._times(POLARS_OVER_CSV)} pl.read_csv", "polars",
                POLARS_OVER_CSV, "min", by_csv["seconds"] / by_dwex["seconds"], None)
    goals._goal(found, f"dwexio.polars.read_dwex at most {POLARS_OVER_FRAME}x the frame's estimated_size()",
                "polars", POLARS_OVER_FRAME, "max", polars_over, None)
    print("\n== goals (GC on)")
    for g in found:
        print("   " + goals.format_goal(g))
    print("   " + goals.summary(found))

    for leftover in WORK.iterdir():
        leftover.unlink()
    WORK.rmdir()
    report = {"commit": os.environ.get("DWEX_COMMIT", ""), "python": platform.python_version(),
              "pyarrow": pa.__version__, "polars": pl.__version__, "duckdb": duckdb.__version__,
              "rounds": rounds, "quick": args.quick, "tables": results, "memory": memory,
              "string_types": types, "shapes_writing": swept, "threads": threads, "polars": frames,
              "goals": found}
    (OUT / "arrow.json").write_text(json.dumps(report, indent=2) + "\n")
    print(f"\nwrote {(OUT / 'arrow.json').relative_to(ROOT)}")


if __name__ == "__main__":
    main()
