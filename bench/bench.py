"""Times dwex.parse and dwex.stringify against the serializers a user would
pick instead (the standard library's json, csv, pickle and marshal; orjson,
msgspec and msgpack) and against the floors, on real tables, all in one
process run. Per table it reports each contender's document size, median time
per call and its time over dwex's (>1: dwex faster), with the collector on and
off, and stringify on the same strings every call (warm) and on new ones
(fresh); then linearity in the number of items, peak memory per call,
optionally instruction counts under callgrind, the shape sweep (sweep.py)
and which goals are met.

Run with `make bench` (or `tools/run python3.15 bench/bench.py`). Writes
build/bench/results.json, the README's tables as build/bench/speed.md and,
through the root's python3 with matplotlib, build/bench/ratios.png. The parts,
which the other benchmarks share, live by role in lib/."""

from __future__ import annotations

import argparse
import gc
import os
import subprocess
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent / "lib"))
import places  # noqa: E402

places.use_build()

import dwex  # noqa: E402

import contenders  # noqa: E402
import goals  # noqa: E402
import instructions  # noqa: E402
import memory  # noqa: E402
import report  # noqa: E402
import sweeps  # noqa: E402
import tables  # noqa: E402
import timing  # noqa: E402
from measure import bench_table, linearity  # noqa: E402

REPO, OUT = places.REPO, places.OUT


def draw_chart(json_path: Path, png_path: Path) -> None:
    """The chart is drawn by the root's python3, which has matplotlib."""
    try:
        proc = subprocess.run(places.command("chart", "main", json_path, png_path, python="python3"),
                              capture_output=True, text=True, timeout=120)
    except (OSError, subprocess.TimeoutExpired) as e:
        print(f"note: no chart drawn ({e})")
        return
    if proc.returncode != 0:
        tail = (proc.stderr.strip().splitlines() or ["?"])[-1]
        print(f"note: no chart drawn: {tail}")
    else:
        print(f"chart: {png_path.relative_to(REPO)}")


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--deep", action="store_true", help="linearity up to 10^7 items, and callgrind")
    ap.add_argument("--callgrind", action="store_true", help="instruction counts under valgrind (slow)")
    ap.add_argument("--repeat", type=int, default=5, help="interleaved rounds; the median is reported")
    ap.add_argument("--tables", default="ascii,bmp,astral,wide")
    ap.add_argument("--no-linearity", action="store_true")
    ap.add_argument("--no-chart", action="store_true")
    ap.add_argument("--sweep", choices=("on", "quick", "off"), default="on",
                    help="the shape sweep (see sweep.py): at full size, about ten times smaller, or not at all")
    args = ap.parse_args()

    started = time.perf_counter()
    timing.pin_to_one_core()
    contenders.peers()  # notes about missing peers come before the report
    meta = report.machine(dwex.__file__)
    report.print_header(meta, vars(args))

    # One table at a time, so that the collector works on a heap holding the
    # table under test and nothing else of ours.
    results: dict = {"meta": meta, "settings": vars(args), "tables": {}, "memory": {}, "rss": {}}
    documents: dict[str, tuple[Path, int]] = {}
    (OUT / "documents").mkdir(parents=True, exist_ok=True)
    for name in args.tables.split(","):
        table = getattr(tables, f"{name}_table")()
        entries = contenders.entries(table.rows, tables.FreshCopies(table.rows))
        results["tables"][name] = bench_table(table, entries, args.repeat)
        report.print_table(name, results["tables"][name])
        results["memory"][name] = memory.memory_table(len(table.leaves), entries)
        doc_path = OUT / "documents" / f"{name}.dwex"
        doc_path.write_text(dwex.stringify(table.rows), encoding="utf-8")
        documents[name] = (doc_path, len(table.leaves))
        results["rss"][name] = memory.rss_peaks(name, doc_path)
        del table, entries
        gc.collect()

    if not args.no_linearity:
        sizes = [10**3, 10**4, 10**5, 10**6] + ([10**7] if args.deep else [])
        results["linearity"] = linearity(tables.ascii_table().rows, sizes, args.repeat)
        gc.collect()
        report.print_linearity(results["linearity"])
    report.print_memory(results["memory"], results["rss"])

    if args.sweep != "off":
        # Each part in a process of its own, so this one's heap plays no part.
        results["sweep"] = sweeps.run(sweeps.plan_for(quick=args.sweep == "quick", deep=args.deep))
        report.print_sweep(results["sweep"])

    if args.callgrind or args.deep:
        results["callgrind"] = instructions.measure(documents, instructions.DWEX_OPS, 5, True, OUT / "callgrind")
        print("\n== " + instructions.report(results["callgrind"]))
        if args.deep and not args.no_linearity:
            # The same sizes as the timed linearity run: instructions per item
            # that stay flat while the time per item grows put the growth in
            # the memory hierarchy and the collector, not in the work done.
            results["callgrind_sizes"] = instructions.measure_sizes(
                tables.ascii_table().rows, results["linearity"]["sizes"], workdir=OUT / "callgrind")
            print("\n== " + instructions.report_sizes(results["callgrind_sizes"]))

    results["goals"] = goals.evaluate(results)
    report.print_goals(results["goals"])
    meta["load_average_end"] = os.getloadavg()
    meta["seconds"] = time.perf_counter() - started
    print(f"\n{goals.summary(results['goals'])}; load average {meta['load_average_end'][0]:.2f} at the end; "
          f"{meta['seconds']:.0f} s")

    json_path = OUT / "results.json"
    report.write_results(results, json_path)
    (OUT / "speed.md").write_text(report.markdown(results))
    print(f"results: {json_path.relative_to(REPO)}, {(OUT / 'speed.md').relative_to(REPO)}")
    if not args.no_chart:
        draw_chart(json_path, OUT / "ratios.png")


if __name__ == "__main__":
    main()
