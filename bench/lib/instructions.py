"""Instruction counts per item under callgrind: dwex.parse and dwex.stringify,
and the other contenders of the timed runs.

For each table and operation a driver runs twice under valgrind: once with the
setup alone (read the document, parse it into rows, make the operation's
input) and once with K calls on top of it. The difference of the totals,
divided by K times the number of items, is the instruction count per item of
one call, including the loop around it and the freeing of the previous
result, as in the timed runs. The same difference taken function by function
shows where the instructions go. Counts do not depend on the load of the
machine, unlike the timings. callgrind.py runs it alone; bench.py with
--callgrind or --deep."""

from __future__ import annotations

import collections
import functools
import gc
import os
import re
import statistics
import subprocess
import sys
import tempfile
import time
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

import places

DWEX_OPS = ("dwex.parse", "dwex.stringify")


def peer_ops() -> tuple[str, ...]:
    """The labels of every other contender, readers first."""
    import contenders

    return tuple(label for op in contenders.OPS for label in contenders.labels(op) if label not in DWEX_OPS)


DISTINCT = "distinct:"
# A source `shape:NAME` is a shape of the sweep, built by the driver as the
# sweep lays it out (new copies of its strings, or the shared objects of a
# shape that repeats a few leaves).
SHAPE = "shape:"


def _distinct(rows: list[list[str]], text: str) -> list[list[str]]:
    """`rows` with a str object of its own for every leaf but the
    interpreter's shared empty and one-character ones, as the timed tables
    have: the reader's sharing of repeated leaves would change what a writer
    that tracks objects referenced twice does. `text` is the document, which
    holds every character of every leaf."""
    import tables

    return tables.FreshCopies(rows, within=text).rows()


def driver(op: str, source: str, calls: int, gc_on: bool) -> None:
    """The program that runs under valgrind: setup (read the document, parse
    it, make the operation's input), then `calls` calls. A source
    `distinct:PATH` gives every leaf a str of its own first (see _distinct);
    a source `shape:NAME` is a shape of the sweep."""
    import contenders
    import dwex

    distinct = source.startswith(DISTINCT)
    if source.startswith(SHAPE):
        rows = _shape_rows(source.removeprefix(SHAPE))
        doc = ""
    else:
        doc = Path(source.removeprefix(DISTINCT)).read_text(encoding="utf-8")
        rows = dwex.parse(doc)
    peer = next((p for p in contenders.peers() if op in (p.dumps_label, p.loads_label)), None)
    if distinct:
        rows = _distinct(rows, doc)
    if distinct and peer is not None:
        # The input made directly: the round trips were checked when the
        # documents were written. The peer's document is made for either
        # direction, so that one setup-only run serves both.
        document = peer.dumps(rows)
        fn, arg = (peer.loads, document) if op == peer.loads_label else (peer.dumps, rows)
    else:
        entry = next(e for e in contenders.entries(rows, only=op, log=lambda _: None) if e.label == op)
        fn, arg = entry.fn, entry.arg
    del doc
    if gc_on:
        gc.enable()
    else:
        gc.disable()
    for _ in range(calls):
        fn(arg)
    # Leave without finalisation, which would add work that differs between runs.
    sys.stdout.flush()
    os._exit(0)


def drive(argv: list[str]) -> None:
    """driver() from its command line: OP SOURCE CALLS on|off."""
    op, source, calls, gc_flag = argv
    driver(op, source, int(calls), gc_flag == "on")


def _shape_rows(name: str) -> list[list[str]]:
    import shapes

    return shapes.laid_out(next(shapes.build([name])))


@functools.cache
def second_level() -> tuple[int, int, int] | None:
    """This core's second-level cache: (bytes, ways, line bytes), or None
    where the system does not say."""
    try:
        values = [subprocess.run(["getconf", f"LEVEL2_CACHE_{key}"], capture_output=True, text=True).stdout.strip()
                  for key in ("SIZE", "ASSOC", "LINESIZE")]
        size, ways, line = map(int, values)
    except (OSError, ValueError):
        return None
    sets = size // (ways * line) if ways and line else 0
    return (size, ways, line) if sets and sets & (sets - 1) == 0 else None


def _cache_options(cache_sim: bool) -> list[str]:
    """The cache simulation models two levels, the first and the last. The
    last is set to this core's second level where it is known: the third
    level is shared by every core of the host, so what a call gets of it
    depends on its neighbours, while a miss in the second level is a cost of
    the call's own."""
    if not cache_sim:
        return ["--cache-sim=no"]
    l2 = second_level()
    return ["--cache-sim=yes"] + ([f"--LL={l2[0]},{l2[1]},{l2[2]}"] if l2 else [])


def _callgrind(out: Path, op: str, source, calls: int, gc_on: bool, cache_sim: bool = False) -> None:
    cmd = [
        "valgrind", "--tool=callgrind", "--quiet", *_cache_options(cache_sim),
        f"--callgrind-out-file={out}",
        *places.command("instructions", "drive", op, source, calls, "on" if gc_on else "off"),
    ]
    env = dict(os.environ, PYTHONHASHSEED="0")
    # valgrind notes on stderr which cache it simulates, even when quiet:
    # shown only if the run fails.
    proc = subprocess.run(cmd, env=env, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
    if proc.returncode != 0:
        raise RuntimeError(f"{' '.join(cmd[-7:])} failed under valgrind:\n{proc.stderr[-2000:]}")


def _totals(out: Path) -> dict[str, int]:
    """The run's total of every event: Ir, and with the cache simulation also
    the first-level (D1mr, D1mw) and last-level (DLmr, DLmw) data misses."""
    events = ["Ir"]
    with out.open() as f:
        for line in f:
            if line.startswith("events:"):
                events = line.split()[1:]
            elif line.startswith(("summary:", "totals:")):
                return dict(zip(events, map(int, line.split()[1:])))
    raise ValueError(f"no total in {out}")


def _total(out: Path) -> int:
    return _totals(out)["Ir"]


_ROW = re.compile(r"^\s*([\d,]+)\s+(?:\([^)]*\)\s+)?(\S.*)$")


def _function_name(entry: str) -> str:
    """`file:function [object]` to the bare function name, so that the parts of
    one function that callgrind files under different sources (inlined
    headers, LTO clones, recursion levels) add up."""
    entry = re.sub(r"\s\[[^\]]*\]$", "", entry.strip())
    name = entry.split(":", 1)[1] if ":" in entry and not entry.startswith(":") else entry
    name = re.sub(r"'\d+$", "", name)
    return re.sub(r"\.(lto_priv|part|isra|constprop)\.\d+", "", name)


def _per_function(out: Path) -> dict[str, int]:
    """Exclusive instruction counts per function, as callgrind_annotate gives them."""
    text = subprocess.run(
        ["callgrind_annotate", "--inclusive=no", "--threshold=100", str(out)],
        check=True, capture_output=True, text=True,
    ).stdout
    counts: dict[str, int] = collections.Counter()
    in_table = False
    for line in text.splitlines():
        if "file:function" in line:
            in_table = True
            continue
        if not in_table:
            continue
        m = _ROW.match(line)
        if not m:
            if counts and not line.strip():
                break
            continue
        counts[_function_name(m.group(2))] += int(m.group(1).replace(",", ""))
    return counts


def _direction(label: str) -> str:
    import contenders

    return "parse" if label in contenders.labels("parse") else "stringify"


def _slug(op: str) -> str:
    return re.sub(r"[^a-z]+", "_", op).strip("_")


def measure(documents: dict[str, tuple[Path | str, int]], ops=DWEX_OPS, calls: int = 5, gc_on: bool = True,
            workdir: Path | None = None, top: int = 12) -> dict:
    """Runs the drivers for every table and operation, two at a time, and
    returns per table and operation the instructions per item and the
    functions that take them."""
    workdir = workdir or Path(tempfile.mkdtemp())
    workdir.mkdir(parents=True, exist_ok=True)
    jobs = []
    for name, (document, _items) in documents.items():
        for op in ops:
            for n in (0, calls):
                jobs.append((workdir / f"callgrind.{name}.{_slug(op)}.{n}.out", op, document, n))
    started = time.perf_counter()
    with ThreadPoolExecutor(max_workers=2) as pool:
        list(pool.map(lambda j: _callgrind(*j, gc_on), jobs))
    results: dict = {"calls": calls, "gc": "on" if gc_on else "off", "tables": {}}
    for name, (_document, items) in documents.items():
        table: dict = {"items": items}
        for op in ops:
            base = workdir / f"callgrind.{name}.{_slug(op)}.0.out"
            out = workdir / f"callgrind.{name}.{_slug(op)}.{calls}.out"
            per_call = (_total(out) - _total(base)) / calls
            base_funcs, funcs = _per_function(base), _per_function(out)
            diff = {f: (funcs.get(f, 0) - base_funcs.get(f, 0)) / calls for f in funcs}
            ranked = sorted(diff.items(), key=lambda kv: -kv[1])[:top]
            table[op] = {
                "ir_per_call": per_call,
                "ir_per_item": per_call / items,
                "functions": [
                    {"function": f, "ir_per_item": ir / items, "share": ir / per_call if per_call else 0.0}
                    for f, ir in ranked
                ],
            }
        for op in ops:
            own = f"dwex.{_direction(op)}"
            if own in table:
                table[op]["ratio_to_dwex"] = table[op]["ir_per_call"] / table[own]["ir_per_call"]
        results["tables"][name] = table
    results["seconds"] = time.perf_counter() - started
    return results


# The operations counted at every size of the linearity run: dwex's, and
# the standard library's fastest reader and writer beside them.
SIZE_OPS = ("dwex.parse", "dwex.stringify", "marshal.loads", "marshal.dumps")


def calls_for(items: int) -> int:
    """Calls per run at a size: enough at 10^3 items that the calls outweigh
    the setup, and one at 10^7, where a result alone is about a gigabyte."""
    return max(1, min(1000, 2 * 10**6 // items))


def _peer(op: str) -> str:
    return op.split(".", 1)[0]


def _deviations(values: list[float]) -> list[float]:
    mid = statistics.median(values)
    return [v / mid - 1 if mid else 0.0 for v in values]


def size_documents(rows: list[list[str]], sizes: list[int], ops, directory: Path) -> dict[int, Path]:
    """Writes the dwex document of `rows` scaled to each size, as the timed
    linearity run scales it, after checking every operation's round trip."""
    import contenders
    import dwex
    import tables

    directory.mkdir(parents=True, exist_ok=True)
    out = {}
    for n in sizes:
        t = tables.scaled(rows, n)
        for peer in contenders.peers():
            if {peer.dumps_label, peer.loads_label} & set(ops) and peer.loads(peer.dumps(t)) != t:
                raise SystemExit(f"{peer.name} fails its round trip at {n} items")
        out[n] = directory / f"size{n}.dwex"
        out[n].write_text(dwex.stringify(t), encoding="utf-8")
        del t
    return out


# Simulating the caches slows valgrind several times over: at 10^7 items one
# run would take about a quarter of an hour, so above this size only the
# instructions are counted.
CACHE_SIM_UP_TO = 10**6


def measure_sizes(rows: list[list[str]], sizes: list[int], ops=SIZE_OPS, cache_sim: bool = True,
                  workdir: Path | None = None, jobs: int = 2) -> dict:
    """Instructions (and, with `cache_sim`, data cache misses up to
    CACHE_SIM_UP_TO items) per item of each operation on `rows` (the ascii
    table) scaled to every size, collector on and off. One setup-only run per
    peer and size serves both its operations and both modes, since the setup
    does not depend on either."""
    workdir = workdir or Path(tempfile.mkdtemp())
    workdir.mkdir(parents=True, exist_ok=True)
    documents = size_documents(rows, sizes, ops, workdir)

    def out(key: str, n: int, calls: int, mode: str) -> Path:
        return workdir / f"callgrind.size{n}.{_slug(key)}.{calls}.{mode}.out"

    runs = []
    for n in sizes:
        source = f"{DISTINCT}{documents[n]}"
        sim = cache_sim and n <= CACHE_SIM_UP_TO
        for peer in dict.fromkeys(map(_peer, ops)):
            first = next(op for op in ops if _peer(op) == peer)
            runs.append((out(peer, n, 0, "setup"), first, source, 0, True, sim))
        for op in ops:
            for mode, gc_on in (("gc_on", True), ("gc_off", False)):
                runs.append((out(op, n, calls_for(n), mode), op, source, calls_for(n), gc_on, sim))
    # The largest first, so that the two heaviest runs do not end up alone at the end.
    runs.sort(key=lambda r: -os.path.getsize(r[2].removeprefix(DISTINCT)))
    started = time.perf_counter()
    with ThreadPoolExecutor(max_workers=jobs) as pool:
        list(pool.map(lambda r: _callgrind(*r), runs))
    l2 = second_level()
    last_level = f"L2 ({l2[0] // 1024} KiB, this core's own)" if l2 else "LL (valgrind's default last level)"
    results: dict = {"table": "ascii", "sizes": sizes, "cache_sim": cache_sim, "last_level": last_level,
                     "calls": {str(n): calls_for(n) for n in sizes}, "ops": {}}
    for op in ops:
        rec: dict = {}
        for mode in ("gc_on", "gc_off"):
            by_size = {}
            for n in sizes:
                base = _totals(out(_peer(op), n, 0, "setup"))
                run = _totals(out(op, n, calls_for(n), mode))
                per_item = {k: (run[k] - base[k]) / calls_for(n) / n for k in run}
                entry = {"ir_per_item": per_item["Ir"]}
                if "D1mr" in per_item:
                    entry["d1_misses_per_item"] = per_item["D1mr"] + per_item["D1mw"]
                    entry["ll_misses_per_item"] = per_item["DLmr"] + per_item["DLmw"]
                by_size[str(n)] = entry
            rec[mode] = by_size
            devs = _deviations([by_size[str(n)]["ir_per_item"] for n in sizes])
            rec[mode + "_ir_deviation"] = devs
            rec[mode + "_ir_max_abs_deviation"] = max(map(abs, devs))
        results["ops"][op] = rec
    results["seconds"] = time.perf_counter() - started
    return results


def report_sizes(results: dict) -> str:
    sizes = results["sizes"]
    calls = ", ".join(f"{n:.0e} x{results['calls'][str(n)]}" for n in sizes)
    lines = [f"Instructions per item by number of items, {results['table']} table, under callgrind (setup-only run "
             f"subtracted; calls per run: {calls})"
             + (f"; data cache misses per item, first level (D1) and {results['last_level']}" if results["cache_sim"] else ""),
             f"   {'':16} {'GC':3} {'':8}" + "".join(f"{n:>10.0e}" for n in sizes) + "   max dev"]
    for op, rec in results["ops"].items():
        for mode in ("gc_on", "gc_off"):
            entries = "".join(f"{rec[mode][str(n)]['ir_per_item']:10.1f}" for n in sizes)
            lines.append(f"   {op:16} {mode[3:]:3} {'Ir':8}{entries}   {rec[mode + '_ir_max_abs_deviation']:6.1%}")
            if results["cache_sim"]:
                for key, name in (("d1_misses_per_item", "D1 miss"), ("ll_misses_per_item", results["last_level"].split()[0] + " miss")):
                    entries = "".join(f"{rec[mode][str(n)][key]:10.2f}" if key in rec[mode][str(n)] else f"{'-':>10}"
                                    for n in sizes)
                    lines.append(f"   {'':16} {'':3} {name:8}{entries}")
    return "\n".join(lines)


def report(results: dict, breakdown: int = 8) -> str:
    lines = [f"Instructions per item under callgrind ({results['calls']} calls, GC {results['gc']}; "
             "setup-only run subtracted; x dwex = its instructions / dwex's)"]
    for name, table in results["tables"].items():
        for op, r in table.items():
            if op == "items":
                continue
            ratio = f"  {r['ratio_to_dwex']:5.2f}x dwex" if "ratio_to_dwex" in r and op not in DWEX_OPS else ""
            lines.append(f"  {name:7} {op:24} {r['ir_per_item']:8.1f} Ir/item  ({r['ir_per_call']:,.0f} per call, "
                         f"{table['items']:,} items){ratio}")
            if op in DWEX_OPS:
                for f in r["functions"][:breakdown]:
                    lines.append(f"      {f['ir_per_item']:7.1f} {100 * f['share']:5.1f}%  {f['function'][:100]}")
    return "\n".join(lines)


def write_documents(tables_list, directory: Path) -> dict[str, tuple[Path, int]]:
    import dwex

    directory.mkdir(parents=True, exist_ok=True)
    documents = {}
    for t in tables_list:
        path = directory / f"{t.name}.dwex"
        path.write_text(dwex.stringify(t.rows), encoding="utf-8")
        documents[t.name] = (path, sum(map(len, t.rows)))
    return documents


def shape_sources(names: list[str]) -> dict[str, tuple[str, int]]:
    """The driver's source and the leaf count of each named shape."""
    import shapes

    known = dict(shapes.builders())
    if unknown := [n for n in names if n not in known]:
        raise SystemExit(f"unknown shape(s) {', '.join(unknown)}")
    return {name: (f"{SHAPE}{name}", sum(map(len, known[name]().rows))) for name in names}
