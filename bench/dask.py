"""Dask benchmark for dwexio.dask: read_dwex of one large document and of a
directory of 200 files, each to a row count and a per-column total of string
lengths, on a LocalCluster of worker processes, against dd.read_csv (pyarrow
engine) of the same rows as CSV and dd.read_parquet as the floor. Prints the
goals as met or not and writes build/bench/dask.json.

    tools/run /opt/dwex-venv/bin/python bench/dask.py [--quick]

The inputs are built once under build/bench/dask/ and reused (--quick: a
64 MB document instead of 1 GB)."""

from __future__ import annotations

import argparse
import json
import os
import pathlib
import resource
import sys
import time

HERE = pathlib.Path(__file__).resolve().parent
# This file's name is the library's: its directory must not shadow it.
sys.path[:] = [p for p in sys.path if pathlib.Path(p or ".").resolve() != HERE]
sys.path.insert(0, str(HERE / "lib"))
import places  # noqa: E402

places.use_build()

BLOCKSIZE = 64 * 2**20
FILES = 200


def stats(frame):
    import pandas as pd

    out = {"rows": len(frame)}
    for c in frame.columns:
        out[c] = int(frame[c].str.len().fillna(0).sum())
    return pd.DataFrame([out])


def peak_kib() -> int:
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss


def make_inputs(base: pathlib.Path, size: int) -> dict[str, pathlib.Path]:
    import pyarrow as pa
    import pyarrow.csv as pcsv
    import pyarrow.parquet as pq

    import dwex
    from tables import ascii_table

    rows = ascii_table().rows
    width = len(rows[0])
    names = [f"f{k}" for k in range(width)]
    table = pa.table({n: [r[k] for r in rows] for k, n in enumerate(names)})
    block = dwex.stringify(rows).encode("ascii")
    sink = pa.BufferOutputStream()
    pcsv.write_csv(table, sink, pcsv.WriteOptions(include_header=False, quoting_style="all_valid"))
    csv_block = sink.getvalue().to_pybytes()
    out = {}
    base.mkdir(parents=True, exist_ok=True)
    large = base / f"large-{size >> 20}M"
    copies = -(-size // len(block))
    if not (large / "done").exists():
        large.mkdir(exist_ok=True)
        for suffix, data in ((".dwex", block), (".csv", csv_block)):
            with open(large / f"t{suffix}", "wb") as f:
                for _ in range(copies):
                    f.write(data)
        with pq.ParquetWriter(large / "t.parquet", table.schema) as w:
            for _ in range(copies):
                w.write_table(table)
        (large / "done").write_text("")
    many = base / "many"
    if not (many / "done").exists():
        many.mkdir(exist_ok=True)
        step = -(-len(rows) // 20)
        for k in range(FILES):
            part = rows[(k % 20) * step:(k % 20 + 1) * step]
            (many / f"t{k:03}.dwex").write_bytes(dwex.stringify(part).encode("ascii"))
            t = table.slice((k % 20) * step, step)
            pcsv.write_csv(t, many / f"t{k:03}.csv",
                           pcsv.WriteOptions(include_header=False, quoting_style="all_valid"))
            pq.write_table(t, many / f"t{k:03}.parquet")
        (many / "done").write_text("")
    out["large"], out["many"], out["names"] = large, many, names
    return out


def run(kind: str, where: pathlib.Path, glob: str, names: list[str], client) -> tuple[float, dict, float]:
    import dask.dataframe as dd

    from dwexio.dask import read_dwex

    start = time.perf_counter()
    if kind == "dwex":
        frame = read_dwex(str(where / f"{glob}.dwex"), blocksize=BLOCKSIZE)
    elif kind == "csv":
        frame = dd.read_csv(str(where / f"{glob}.csv"), engine="pyarrow", header=None, names=names,
                            dtype=str, keep_default_na=False, blocksize=BLOCKSIZE)
    else:
        frame = dd.read_parquet(str(where / f"{glob}.parquet"))
    planned = time.perf_counter() - start
    result = frame.map_partitions(stats).compute().sum().to_dict()
    return time.perf_counter() - start, result, planned


def cluster(workers: int):
    import distributed

    os.environ["PYTHONPATH"] = os.pathsep.join(p for p in sys.path if p)
    c = distributed.LocalCluster(n_workers=workers, threads_per_worker=1, processes=True,
                                 dashboard_address=None, silence_logs=50)
    return c, distributed.Client(c)


def best(kind, where, glob, names, client, repeat):
    times = []
    for _ in range(repeat):
        seconds, result, planned = run(kind, where, glob, names, client)
        times.append((seconds, planned))
    seconds, planned = min(times)
    return seconds, planned, result


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--quick", action="store_true")
    args = parser.parse_args()
    size = (64 if args.quick else 1024) * 2**20
    repeat = 2 if args.quick else 3
    inputs = make_inputs(places.OUT / "dask", size)
    names = inputs["names"]
    gib = os.path.getsize(inputs["large"] / "t.dwex") / 2**30
    figures: dict = {}

    c, client = cluster(2)
    try:
        base = client.run(peak_kib)
        for label, where, glob in (("large", inputs["large"], "t"), ("many", inputs["many"], "*")):
            for kind in ("dwex", "csv", "parquet"):
                seconds, planned, result = best(kind, where, glob, names, client, repeat)
                figures[f"{label}/{kind}"] = {"seconds": seconds, "planning": planned, "rows": result["rows"]}
                if kind == "dwex":
                    figures[f"{label}/check"] = result
                    if label == "large":
                        # The peak is the process's: taken before the others read.
                        peak = client.run(peak_kib)
                        growth = max(peak[w] - base[w] for w in peak) * 1024
                elif result["rows"] != figures[f"{label}/check"]["rows"]:
                    raise SystemExit(f"{label}: {kind} read {result['rows']} rows, dwex "
                                     f"{figures[f'{label}/check']['rows']}")
    finally:
        client.close()
        c.close()
    c, client = cluster(1)
    try:
        one, _, _ = best("dwex", inputs["large"], "t", names, client, repeat)
    finally:
        client.close()
        c.close()

    large, many = figures["large/dwex"]["seconds"], figures["many/dwex"]["seconds"]
    goals = [
        ("large file: read_dwex vs dd.read_csv", figures["large/csv"]["seconds"] / large, 1.5),
        ("200 files: read_dwex vs dd.read_csv", figures["many/csv"]["seconds"] / many, 1.5),
        ("large file: 2 workers vs 1", one / large, 1.7),
        ("peak growth per worker / blocksize (at most)", growth / BLOCKSIZE, 4.0),
    ]
    print(f"Dask on a LocalCluster of 2 worker processes; document {gib:.2f} GiB, blocksize 64 MiB")
    for key, fig in figures.items():
        if "seconds" in fig:
            print(f"  {key:16} {fig['seconds']:7.2f} s  (planning {fig['planning']:5.2f} s)")
    print(f"  large/dwex 1 worker {one:7.2f} s; planning pass {figures['large/dwex']['planning'] / gib:.2f} s per GiB")
    for text, value, need in goals:
        met = value <= need if "at most" in text else value >= need
        print(f"  {'met    ' if met else 'NOT met'} {text}: {value:.2f} (goal {need})")
    out = places.OUT / "dask.json"
    out.write_text(json.dumps({"figures": figures, "one_worker": one, "goals": goals}, indent=1))


if __name__ == "__main__":
    main()
