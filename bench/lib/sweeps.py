"""The shape sweep: every shape of shapes.py round-tripped by dwex and every
peer, then timed in both directions against every peer and both floors,
interleaved round by round, collector on and off, stringify on new strings
(and on the same strings, for the figures against UTF-8 caches), and judged
on each contender's fastest round (see JUDGED). It runs
twice, each time in a process of its own: a fresh one, and a worked one that
has first built, encoded, decoded and freed the benchmark's four tables and
keeps about 2 M live containers. Three shapes also run at 10^5 and 10^7
items beside the floors, and a build that counts the leaves stringify
writes (build/lib-counting, where present) counts them on every shape.

bench.py runs it, and sweep.py alone."""

from __future__ import annotations

import argparse
import dataclasses
import gc
import json
import os
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import places
import shapes
from contenders import JOIN_FLOOR, SPLIT_FLOOR

COUNTING = places.REPO / "build" / "lib-counting"

STATES = ("fresh", "worked")
# Live containers the worked process keeps: half dicts, half the lists in them.
LIVE_CONTAINERS = 2_000_000
# A sample is at least this long: the sweep times some 20 contenders on some
# 30 shapes, twice, within the few minutes make bench gives it.
TARGET_SECONDS = 0.01
# After the first round, a peer that took at least this many times dwex's
# time in every mode is not timed again: no later round could make it the
# worst peer or bring it under the median goal.
SCREEN_RATIO = 1.5
HUGE_REPEAT = 2
# The shapes also timed at 10^7 items, one per storage width of short leaves.
HUGE_SHAPES = ("ascii-fields-w15", "2byte-short-w3", "astral-short-w3")
# A floor's extra time per character from 10^5 to 10^7 is counted as at
# least this share of its time per character at 10^5, so that a floor that
# happens not to grow does not make any growth of dwex's an infinite ratio.
FLOOR_EXTRA_AT_LEAST = 0.02


@dataclasses.dataclass(frozen=True)
class Plan:
    size: shapes.Size
    repeat: int
    states: tuple[str, ...]
    names: tuple[str, ...] | None
    huge_sizes: tuple[int, ...]  # () leaves the 10^7 run out

    def argv(self) -> list[str]:
        out = ["--items", str(self.size.items), "--chars", str(self.size.chars), "--repeat", str(self.repeat)]
        return out + (["--shapes", ",".join(self.names)] if self.names else [])


def plan_for(quick: bool = False, deep: bool = False, repeat: int = 3, states=STATES, names=None,
             huge: bool = True) -> Plan:
    size = shapes.QUICK if quick else shapes.DEEP if deep else shapes.Size()
    huge_sizes = (10**3, 10**5) if quick else (10**5, 10**6, 10**7) if deep else (10**5, 10**7)
    return Plan(size, repeat, tuple(states), tuple(names) if names else None, huge_sizes if huge else ())


# ------------------------------------------------------------------ children


def _selected(plan_names, size: shapes.Size):
    return [(name, make) for name, make in shapes.builders(size) if plan_names is None or name in plan_names]


def work_the_process() -> list:
    """What a process that has done other work holds: the four tables of
    bench.py built, written and read back by dwex and the fastest peers, all
    freed; then about 2 M live containers, kept until the process ends."""
    import contenders
    import tables

    wanted = ("dwex", "marshal", "msgspec.msgpack", "orjson")
    for table in tables.all_tables():
        for p in contenders.peers():
            if p.name in wanted:
                back = p.loads(p.dumps(table.rows))
                del back
        del table
    gc.collect()
    return [{"row": [i]} for i in range(LIVE_CONTAINERS // 2)]


def child_sweep(state: str, size: shapes.Size, repeat: int, names) -> dict:
    import contenders
    import measure
    import tables

    started = time.perf_counter()
    keep = work_the_process() if state == "worked" else []
    out: dict = {"state": state, "setup_s": time.perf_counter() - started,
                 "tracked_objects": len(gc.get_objects()), "shapes": {}}
    print(f"\n== sweep, {state} process ({out['tracked_objects']:,} objects tracked by the collector)", flush=True)
    print(f"   {'shape':31} {'items':>9} {'kind':>4}  {'parse us':>9} {'worst peer':>30}  {'stringify us':>12} "
          f"{'worst peer (fresh)':>30}", flush=True)
    for name, make in _selected(names, size):
        began = time.perf_counter()
        shape = make()
        rows = shapes.laid_out(shape)
        table = tables.Table(name, shape.description, rows)
        notes: list[str] = []
        entries = contenders.entries(rows, tables.FreshCopies(rows), log=notes.append)
        r = measure.bench_table(table, entries, repeat, TARGET_SECONDS, screen)
        r["claims"] = {"mix": shape.mix, "length": shape.length, "width": shape.width, "repeated": shape.repeated}
        r["notes"] = [n.strip() for n in notes]
        r["seconds"] = time.perf_counter() - began
        out["shapes"][name] = r
        print("   " + _shape_line(name, r), flush=True)
        del shape, rows, table, entries
        gc.collect()
    out["seconds"] = time.perf_counter() - started
    del keep
    return out


def screen(samples: dict) -> set:
    """The peers to time no more after the first round (see SCREEN_RATIO)."""
    out = set()
    for (op, label), s in samples.items():
        own = samples.get((op, f"dwex.{op}"))
        if own is None or label == f"dwex.{op}" or label in (SPLIT_FLOOR, JOIN_FLOOR):
            continue
        if all(s[kind][mode][0] >= SCREEN_RATIO * own[kind][mode][0] for kind in s for mode in s[kind]):
            out.add((op, label))
    return out


def _shape_line(name: str, r: dict) -> str:
    i = r["info"]
    leaves = [f"{name:31} {i['items']:9,} {i['document_kind']:4}"]
    for op in ("parse", "stringify"):
        own = r[op][f"dwex.{op}"][JUDGED[op][0]]
        peers = [(ratios(r, op, label)[0], label) for label, rec in r[op].items()
                 if rec["peer"] not in ("dwex", "floor") and rec["correct"]]
        ratio, label = min(peers, default=(float("nan"), "-"))
        leaves.append(f"{own * 1e6:{9 if op == 'parse' else 12}.1f} {label:>23} {ratio:5.2f}x")
    return "  ".join(leaves) + f"  {r['seconds']:4.1f} s"


def child_huge(names, sizes: tuple[int, ...], repeat: int) -> dict:
    """dwex and the floors at each size, on tables cut from three shapes."""
    import measure

    out: dict = {}
    for name in HUGE_SHAPES:
        if names is not None and name not in names:
            continue
        shape = next(shapes.build([name], shapes.Size()))
        print(f"   {name}: {', '.join(f'{n:.0e}' for n in sizes)} items", flush=True)
        out[name] = measure.linearity(shapes.laid_out(shape), list(sizes), repeat, peer_names=(), faults=False, table=name)
        del shape
        gc.collect()
    return out


def child_leaf_writes(size: shapes.Size, names) -> dict:
    """Leaf writes per leaf of one stringify call on every shape, counted by
    the module of build/lib-counting."""
    if not COUNTING.is_dir():
        return {"measured": False, "why": "build/lib-counting is absent"}
    sys.path.insert(0, str(COUNTING))
    import dwex

    if not hasattr(dwex, "_leaf_writes") or not dwex.__file__.startswith(str(COUNTING)):
        return {"measured": False, "why": f"{dwex.__file__} has no _leaf_writes()"}
    out: dict = {"measured": True, "module": dwex.__file__, "shapes": {}}
    for name, make in _selected(names, size):
        shape = make()
        leaves = sum(map(len, shape.rows))
        dwex._leaf_writes()
        dwex.stringify(shape.rows)
        writes = dwex._leaf_writes()
        out["shapes"][name] = {"leaves": leaves, "writes": writes, "per_leaf": writes / leaves if leaves else None}
        del shape
    return out


def child(argv: list[str]) -> None:
    """A child's part of the work, its result written as JSON to --json."""
    ap = argparse.ArgumentParser()
    ap.add_argument("part", choices=("sweep", "huge", "leaf-writes"))
    ap.add_argument("--state", choices=STATES)
    ap.add_argument("--items", type=int)
    ap.add_argument("--chars", type=int)
    ap.add_argument("--repeat", type=int)
    ap.add_argument("--shapes")
    ap.add_argument("--huge-sizes")
    ap.add_argument("--json", required=True)
    args = ap.parse_args(argv)
    size = shapes.Size(args.items, args.chars)
    names = tuple(args.shapes.split(",")) if args.shapes else None
    if args.part == "sweep":
        result = child_sweep(args.state, size, args.repeat, names)
    elif args.part == "huge":
        result = child_huge(names, tuple(int(n) for n in args.huge_sizes.split(",")), args.repeat)
    else:
        result = child_leaf_writes(size, names)
    Path(args.json).write_text(json.dumps(result, default=str))


# ------------------------------------------------------------------ parent


def _run_child(args: list[str]) -> dict:
    """Runs child() in a process of its own with `args`; its progress goes
    to our stdout, its result comes back through a JSON file."""
    with tempfile.TemporaryDirectory() as tmp:
        path = Path(tmp) / "result.json"
        sys.stdout.flush()
        proc = subprocess.run(places.command("sweeps", "child", *args, "--json", path))
        if proc.returncode != 0 or not path.exists():
            raise RuntimeError(f"sweep child {' '.join(args)} ended with status {proc.returncode}")
        return json.loads(path.read_text())


def run(plan: Plan) -> dict:
    """The whole sweep, each part in a process of its own, and its summary."""
    started = time.perf_counter()
    out: dict = {"size": dataclasses.asdict(plan.size), "repeat": plan.repeat, "target_seconds": TARGET_SECONDS,
                 "live_containers": LIVE_CONTAINERS, "load_average_start": os.getloadavg(), "states": {}}
    for state in plan.states:
        out["states"][state] = _run_child(["sweep", "--state", state, *plan.argv()])
    try:
        out["leaf_writes"] = _run_child(["leaf-writes", *plan.argv()])
    except RuntimeError as e:
        out["leaf_writes"] = {"measured": False, "why": str(e)}
    if plan.huge_sizes:
        print(f"\n== sweep at {', '.join(f'{n:.0e}' for n in plan.huge_sizes)} items: dwex beside the floors", flush=True)
        # Calls on 10^7 items last long enough for two rounds to agree.
        out["huge"] = _run_child(["huge", "--huge-sizes", ",".join(map(str, plan.huge_sizes)), *plan.argv(),
                                  "--repeat", str(min(plan.repeat, HUGE_REPEAT))])
        out["huge_figures"] = {name: huge_figures(lin) for name, lin in out["huge"].items()}
    out["summary"] = summarize(out)
    out["seconds"] = time.perf_counter() - started
    out["load_average_end"] = os.getloadavg()
    return out


# ------------------------------------------------------------------ summary


# The time of a contender on a shape that the sweep judges, per direction:
# (collector on, collector off). Each is its fastest round: on a shared
# machine what other processes take from a sample only ever adds to it, and
# the worst of some 30 shapes times 8 peers would otherwise pick out the
# unluckiest sample rather than the slowest shape.
JUDGED = {"parse": ("gc_on_min", "gc_off_min"), "stringify": ("fresh_gc_on_min", "fresh_gc_off_min"),
          "stringify warm": ("gc_on_min", "gc_off_min")}


def ratios(r: dict, direction: str, label: str) -> tuple[float, float]:
    """A contender's time over dwex's on one shape, collector on and off."""
    op = direction.split()[0]
    own, rec = r[op][f"dwex.{op}"], r[op][label]
    on, off = (rec[key] / own[key] for key in JUDGED[direction])
    return on, off


def summarize(sweep: dict) -> dict:
    """Per state, direction and contender: the worst ratio (see JUDGED) over
    the shapes with its shape, and the median ratio (collector on, and off
    beside it);
    "stringify warm" only over shapes whose dwex document is 1 byte a
    character. Also every shape where a peer is faster than dwex, and the
    peers that failed a round trip. Shapes where a contender could not read
    its own document do not count for it."""
    out: dict = {"states": {}, "peer_wins": [], "failed_round_trips": []}
    for state, run_ in sweep["states"].items():
        per: dict = {}
        for direction in JUDGED:
            op = direction.split()[0]
            by_label: dict = {}
            for name, r in run_["shapes"].items():
                if direction == "stringify warm" and r["info"]["document_kind"] != 1:
                    continue
                for label, rec in r[op].items():
                    if rec["peer"] == "dwex":
                        continue
                    if not rec["correct"]:
                        if direction != "stringify warm":
                            out["failed_round_trips"].append({"state": state, "direction": op, "shape": name,
                                                              "contender": label})
                        continue
                    on, off = ratios(r, direction, label)
                    by_label.setdefault(label, []).append((on, off, name))
                    if direction != "stringify warm" and rec["peer"] != "floor" and on < 1:
                        out["peer_wins"].append({"state": state, "direction": op, "shape": name, "contender": label,
                                                 "ratio": on, "ratio_gc_off": off})
            per[direction] = {}
            for label, values in by_label.items():
                worst = min(values)
                worst_off = min(values, key=lambda v: v[1])
                per[direction][label] = {
                    "floor": label in (SPLIT_FLOOR, JOIN_FLOOR), "shapes": len(values),
                    "worst": worst[0], "worst_shape": worst[2], "worst_gc_off": worst_off[1],
                    "worst_gc_off_shape": worst_off[2],
                    "median": statistics.median(v[0] for v in values),
                    "median_gc_off": statistics.median(v[1] for v in values),
                }
        out["states"][state] = per
    lw = sweep.get("leaf_writes", {})
    if lw.get("measured"):
        counted = [(v["per_leaf"], name) for name, v in lw["shapes"].items() if v["per_leaf"] is not None]
        lw["worst"], lw["worst_shape"] = max(counted)
        lw["least"], lw["least_shape"] = min(counted)
    return out


def huge_figures(lin: dict) -> dict:
    """From a linearity run at sizes small..large: stringify's time per output
    character at each end (dwex: its document; the join floor: the leaves)
    and the extra from one to the other, and parse's growth in time per item,
    for dwex and its floor, collector on and off."""
    small, large = str(min(lin["sizes"])), str(max(lin["sizes"]))
    out: dict = {"small": int(small), "large": int(large)}
    for mode in ("gc_on", "gc_off"):
        per_char = {}
        for key, chars_key in (("stringify", "document"), (JOIN_FLOOR, "leaves")):
            ends = [lin[key][n][mode] * int(n) / max(1, lin["chars"][n][chars_key]) for n in (small, large)]
            per_char[key] = {"small_ns": ends[0], "large_ns": ends[1], "extra_ns": ends[1] - ends[0]}
        floor = per_char[JOIN_FLOOR]
        floor_extra = max(floor["extra_ns"], FLOOR_EXTRA_AT_LEAST * floor["small_ns"])
        growth = {key: lin[key][large][mode] / lin[key][small][mode] for key in ("parse", SPLIT_FLOOR)}
        # A time per character that fell counts as no extra time.
        extra_ratio = max(0.0, per_char["stringify"]["extra_ns"]) / floor_extra
        out[mode] = {"stringify_per_char": per_char, "stringify_extra_ratio": extra_ratio,
                     "parse_growth": growth, "parse_growth_ratio": growth["parse"] / growth[SPLIT_FLOOR]}
    return out
