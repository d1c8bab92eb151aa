"""Instruction counts per item under callgrind (lib/instructions.py):
dwex.parse and dwex.stringify, and with --peers the same contenders as the
timed runs.

    tools/run python3.15 bench/callgrind.py [--peers] [--shapes a,b] [--sizes 1e3,1e5]

bench.py counts them too, with --callgrind or --deep."""

from __future__ import annotations

import argparse
import json
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent / "lib"))
import places  # noqa: E402

places.use_build()

import instructions  # noqa: E402
import tables  # noqa: E402


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--peers", action="store_true", help="also count the other contenders")
    ap.add_argument("--calls", type=int, default=5)
    ap.add_argument("--gc", choices=("on", "off"), default="on")
    ap.add_argument("--tables", default="ascii,bmp,astral,wide")
    ap.add_argument("--shapes", help="instead of the tables: these shapes of the sweep, comma-separated")
    ap.add_argument("--out", type=Path, default=places.OUT / "callgrind")
    ap.add_argument("--sizes", help="instead: count per item on the ascii table at these sizes, e.g. 1e3,1e4")
    ap.add_argument("--ops", help="the operations, comma-separated (dwex.parse,dwex.stringify by default)")
    ap.add_argument("--no-cache-sim", action="store_true", help="with --sizes: instructions only")
    args = ap.parse_args()
    if args.sizes:
        sizes = [int(float(n)) for n in args.sizes.split(",")]
        ops = tuple(args.ops.split(",")) if args.ops else instructions.SIZE_OPS
        known = instructions.DWEX_OPS + instructions.peer_ops()
        if unknown := [op for op in ops if op not in known]:
            ap.error(f"unknown operation {unknown[0]!r}; known: {', '.join(known)}")
        results = instructions.measure_sizes(tables.ascii_table().rows, sizes, ops, not args.no_cache_sim, args.out)
        print(instructions.report_sizes(results))
        (args.out / "callgrind-sizes.json").write_text(json.dumps(results, indent=1))
        return
    if args.shapes:
        documents = instructions.shape_sources(args.shapes.split(","))
    else:
        chosen = [getattr(tables, f"{name}_table")() for name in args.tables.split(",")]
        documents = instructions.write_documents(chosen, args.out)
    ops = tuple(args.ops.split(",")) if args.ops else instructions.DWEX_OPS
    ops += instructions.peer_ops() if args.peers else ()
    results = instructions.measure(documents, ops, args.calls, args.gc == "on", args.out)
    print(instructions.report(results))
    (args.out / "callgrind.json").write_text(json.dumps(results, indent=1))


if __name__ == "__main__":
    main()
