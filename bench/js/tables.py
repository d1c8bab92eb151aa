"""Writes what bench/js/bench.mjs times, into the folder given: the four
bench tables (bench/lib/tables.py) and the rectangular shapes of the sweep
(bench/lib/shapes.py, every shape of one declared row width), each as the
DWEX document dwexio.dump writes and as JSON (json.dumps, UTF-8), with a
manifest.json naming them. Node then times both formats of the same table."""

from __future__ import annotations

import json
import pathlib
import sys
import time

BENCH = pathlib.Path(__file__).resolve().parents[1]
ROOT = BENCH.parent
sys.path.insert(0, str(BENCH / "lib"))
sys.path.insert(0, str(ROOT / "build" / "lib"))

import dwexio  # noqa: E402
import shapes  # noqa: E402
import tables  # noqa: E402


def write(out: pathlib.Path, name: str, rows: list[list[str]]) -> dict:
    dwexio.dump(rows, out / f"{name}.dwex")
    (out / f"{name}.json").write_text(json.dumps(rows, ensure_ascii=False), encoding="utf-8")
    leaves = sum(map(len, rows))
    return {"name": name, "rows": len(rows), "leaves": leaves,
            "bytes": (out / f"{name}.dwex").stat().st_size}


def main() -> None:
    out = pathlib.Path(sys.argv[1])
    out.mkdir(parents=True, exist_ok=True)
    started = time.perf_counter()
    manifest = {"tables": [], "shapes": []}
    for table in tables.all_tables():
        manifest["tables"].append({**write(out, f"table-{table.name}", table.rows), "label": table.name,
                                   "description": table.description})
    for shape in shapes.build():
        if shape.width is not None:
            manifest["shapes"].append({**write(out, f"shape-{shape.name}", shape.rows), "label": shape.name,
                                       "description": shape.description})
    (out / "manifest.json").write_text(json.dumps(manifest, indent=1), encoding="utf-8")
    print(f"bench/js/tables.py: {len(manifest['tables'])} tables and {len(manifest['shapes'])} shapes "
          f"in {out} ({time.perf_counter() - started:.0f} s)")


if __name__ == "__main__":
    main()
