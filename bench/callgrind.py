"""Instruction counts per item under callgrind: dwex.parse and dwex.stringify,
and with --peers the same contenders as the timed runs.

For each table and operation a driver runs twice under valgrind: once with the
setup alone (read the document, parse it into rows, make the operation's
input) and once with K calls on top of it. The difference of the totals,
divided by K times the number of items, is the instruction count per item of
one call, including the loop around it and the freeing of the previous
result, as in the timed runs. The same difference taken function by function
shows where the instructions go. Counts do not depend on the load of the
machine, unlike the timings.

Run standalone with `tools/run python3.15 bench/callgrind.py [--peers]`, or
through `bench/bench.py --callgrind`."""

from __future__ import annotations

import argparse
import collections
import gc
import json
import os
import re
import subprocess
import sys
import tempfile
import time
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

HERE = Path(__file__).resolve().parent
REPO = HERE.parent
DWEX_OPS = ("dwex.parse", "dwex.stringify")


def peer_ops() -> tuple[str, ...]:
    """The labels of every other contender, readers first."""
    import contenders

    return tuple(label for op in contenders.OPS for label in contenders.labels(op) if label not in DWEX_OPS)


def driver(op: str, document: Path, calls: int, gc_on: bool) -> None:
    """The program that runs under valgrind: setup (read the document, parse
    it, make the operation's input), then `calls` calls."""
    sys.path.insert(0, str(REPO / "build" / "lib"))
    sys.path.insert(0, str(HERE))
    import contenders
    import dwex

    doc = document.read_text(encoding="utf-8")
    rows = dwex.parse(doc)
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


def _callgrind(out: Path, op: str, document: Path, calls: int, gc_on: bool) -> None:
    cmd = [
        "valgrind", "--tool=callgrind", "--quiet",
        f"--callgrind-out-file={out}",
        sys.executable, str(Path(__file__).resolve()), "--driver", op, str(document),
        str(calls), "on" if gc_on else "off",
    ]
    env = dict(os.environ, PYTHONHASHSEED="0")
    subprocess.run(cmd, check=True, env=env, stdout=subprocess.DEVNULL)


def _total(out: Path) -> int:
    for line in out.read_text().splitlines():
        if line.startswith(("summary:", "totals:")):
            return int(line.split()[1])
    raise ValueError(f"no total in {out}")


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


def measure(documents: dict[str, tuple[Path, int]], ops=DWEX_OPS, calls: int = 5, gc_on: bool = True,
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
    sys.path.insert(0, str(REPO / "build" / "lib"))
    import dwex

    directory.mkdir(parents=True, exist_ok=True)
    documents = {}
    for t in tables_list:
        path = directory / f"{t.name}.dwex"
        path.write_text(dwex.stringify(t.rows), encoding="utf-8")
        documents[t.name] = (path, sum(map(len, t.rows)))
    return documents


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--driver", nargs=4, metavar=("OP", "DOCUMENT", "CALLS", "GC"), help=argparse.SUPPRESS)
    ap.add_argument("--peers", action="store_true", help="also count the other contenders")
    ap.add_argument("--calls", type=int, default=5)
    ap.add_argument("--gc", choices=("on", "off"), default="on")
    ap.add_argument("--tables", default="ascii,bmp,astral,wide")
    ap.add_argument("--out", type=Path, default=REPO / "build" / "bench" / "callgrind")
    args = ap.parse_args()
    if args.driver:
        op, document, calls, gc_flag = args.driver
        driver(op, Path(document), int(calls), gc_flag == "on")
        return
    sys.path.insert(0, str(HERE))
    sys.path.insert(0, str(REPO / "build" / "lib"))
    import tables

    chosen = [getattr(tables, f"{name}_table")() for name in args.tables.split(",")]
    documents = write_documents(chosen, args.out)
    ops = DWEX_OPS + (peer_ops() if args.peers else ())
    results = measure(documents, ops, args.calls, args.gc == "on", args.out)
    print(report(results))
    (args.out / "callgrind.json").write_text(json.dumps(results, indent=1))


if __name__ == "__main__":
    main()
