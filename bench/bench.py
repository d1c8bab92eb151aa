"""Times dwex.parse and dwex.stringify against the standard library's
serializers on real tables, all in one process run, and reports per table the
median time per call, ns per item, MB/s and each contender's time over dwex's
(>1 means dwex is faster), with the garbage collector on (judged) and off;
then linearity in the number of items, peak memory per call, optionally
instruction counts under callgrind, and which goals are reached.

Run with `make bench` (or `tools/run python3.15 bench/bench.py`). Writes
build/bench/results.json and, through the root's python3 with matplotlib,
build/bench/ratios.png."""

from __future__ import annotations

import argparse
import csv
import ctypes
import functools
import gc
import io
import json
import marshal
import os
import pickle
import platform
import statistics
import subprocess
import sys
import sysconfig
import time
import timeit
import tracemalloc
from pathlib import Path

HERE = Path(__file__).resolve().parent
REPO = HERE.parent
OUT = REPO / "build" / "bench"
sys.path.insert(0, str(REPO / "build" / "lib"))
sys.path.insert(0, str(HERE))

import dwex  # noqa: E402
import tables  # noqa: E402

MB = 1e6
POINTER = 8


# ---------------------------------------------------------------- contenders


def csv_dumps(rows):
    buf = io.StringIO()
    csv.writer(buf).writerows(rows)
    return buf.getvalue()


def csv_loads(text):
    return list(csv.reader(io.StringIO(text)))


# name, stringify side, parse side
PEERS = [
    ("dwex", ("dwex.stringify", dwex.stringify), ("dwex.parse", dwex.parse)),
    ("json", ("json.dumps", json.dumps), ("json.loads", json.loads)),
    ("csv", ("csv.writer", csv_dumps), ("csv.reader", csv_loads)),
    ("pickle", ("pickle.dumps", functools.partial(pickle.dumps, protocol=5)), ("pickle.loads", pickle.loads)),
    ("marshal", ("marshal.dumps", marshal.dumps), ("marshal.loads", marshal.loads)),
]
SPLIT_FLOOR = "str.split floor"
JOIN_FLOOR = "''.join floor"
OPS = ("parse", "stringify")


def separator(leaves: list[str]) -> str:
    """A character that occurs in no leaf, for the split floor's text."""
    present = set().union(*map(set, leaves)) if leaves else set()
    for cp in [0, 1, 0x1F, 0x7F, 0xFFFE, 0xFFFF, *range(0xE000, 0xF900)]:
        if chr(cp) not in present:
            return chr(cp)
    raise ValueError("no free separator")


def contenders(table: tables.Table, leaves: list[str]) -> dict[str, list]:
    """Per operation: (label, function, argument, correct, output size) with the
    round trip of every contender checked before anything is timed."""
    rows = table.rows
    out: dict[str, list] = {"parse": [], "stringify": []}
    for peer, (dump_name, dump), (load_name, load) in PEERS:
        text = dump(rows)
        try:
            correct = load(text) == rows
        except Exception as e:  # a peer that cannot read its own output is reported, not fatal
            print(f"  note: {load_name} failed on {table.name}: {e!r}")
            correct = False
        if peer == "dwex" and not correct:
            raise SystemExit(f"dwex.parse(dwex.stringify(t)) != t on the {table.name} table")
        size = len(text)
        out["stringify"].append((dump_name, dump, rows, correct, size))
        out["parse"].append((load_name, load, text, correct, size))
    sep = separator(leaves)
    joined = sep.join(leaves)
    split_ok = joined.split(sep) == leaves
    out["parse"].append((SPLIT_FLOOR, joined.split, sep, split_ok, len(joined)))
    out["stringify"].append((JOIN_FLOOR, "".join, leaves, True, sum(map(len, leaves))))
    return out


# ------------------------------------------------------------------- timing


def timer(fn, arg, gc_on: bool) -> timeit.Timer:
    # timeit turns the collector off while it times; the setup turns it back on.
    return timeit.Timer(functools.partial(fn, arg), setup="import gc; gc.enable()" if gc_on else "pass")


def time_many(calls: dict, repeat: int) -> dict:
    """Median seconds per call of every (function, argument) in `calls`, with
    the collector on and off. Each loop count comes from autorange (collector
    on); then the rounds run every call in turn, so that a burst of load on
    the machine falls on all contenders alike instead of on one of them."""
    numbers = {key: timer(fn, arg, True).autorange()[0] for key, (fn, arg) in calls.items()}
    samples = {key: {"gc_on": [], "gc_off": []} for key in calls}
    for _ in range(repeat):
        for mode, gc_on in (("gc_on", True), ("gc_off", False)):
            for key, (fn, arg) in calls.items():
                samples[key][mode].append(timer(fn, arg, gc_on).timeit(numbers[key]) / numbers[key])
    out = {}
    for key in calls:
        out[key] = {"number": numbers[key], "repeat": repeat}
        for mode in ("gc_on", "gc_off"):
            out[key][mode] = statistics.median(samples[key][mode])
            out[key][mode + "_min"] = min(samples[key][mode])
            out[key][mode + "_max"] = max(samples[key][mode])
    return out


def free_cost(doc: str, repeat: int = 5) -> float:
    """Seconds to free one parse result: every loads figure includes it, since
    each call's result is dropped inside the timed loop."""
    times = []
    for _ in range(repeat):
        r = dwex.parse(doc)
        t0 = time.perf_counter()
        del r
        times.append(time.perf_counter() - t0)
    return statistics.median(times)


def bench_table(table: tables.Table, leaves: list[str], entries: dict, repeat: int) -> dict:
    items = len(leaves)
    payload = sum(len(s.encode("utf-8", "surrogatepass")) for s in leaves)
    doc = dwex.stringify(table.rows)
    info = {
        "description": table.description,
        "rows": len(table.rows),
        "items": items,
        "payload_bytes": payload,
        "document_chars": len(doc),
        "document_kind": _kind(doc),
        "leaf_chars": sum(map(len, leaves)),
    }
    calls = {(op, label): (fn, arg) for op in OPS for label, fn, arg, _ok, _size in entries[op]}
    timed = time_many(calls, repeat)
    results: dict = {"info": info, "parse": {}, "stringify": {}}
    for op in OPS:
        for label, _fn, _arg, correct, size in entries[op]:
            results[op][label] = dict(timed[op, label], correct=correct, output_size=size)
    info["free_parse_result_s"] = free_cost(doc)
    for op in OPS:
        base = results[op]["dwex." + op]
        for label, t in results[op].items():
            for mode in ("gc_on", "gc_off"):
                t[mode + "_ns_per_item"] = t[mode] / items * 1e9
                t[mode + "_mb_s"] = payload / MB / t[mode]
                t[mode + "_ratio"] = t[mode] / base[mode]
    return results


def _kind(s: str) -> int:
    m = ord(max(s)) if s else 0
    return 1 if m < 0x100 else 2 if m < 0x10000 else 4


# ---------------------------------------------------------------- linearity


def linearity(rows: list[list[str]], sizes: list[int], repeat: int) -> dict:
    """dwex per-item times on tables of each size cut from `rows`. Sizes up to
    10^6 are timed in shared rounds; a 10^7 table, which alone takes about a
    gigabyte, is built and timed after them, on its own."""
    out: dict = {"table": "ascii", "sizes": sizes, "parse": {}, "stringify": {}}
    groups = [[n for n in sizes if n <= 10**6], [n for n in sizes if n > 10**6]]
    for group in groups:
        if not group:
            continue
        calls = {}
        for n in group:
            t = tables.scaled(rows, n)
            doc = dwex.stringify(t)
            if dwex.parse(doc) != t:
                raise SystemExit(f"round trip failed at {n} items")
            calls["parse", n] = (dwex.parse, doc)
            calls["stringify", n] = (dwex.stringify, t)
            # The floors at the same sizes show how much of any growth comes
            # from making and freeing that many strings at all.
            leaves = [leaf for row in t for leaf in row]
            sep = separator(leaves)
            calls[SPLIT_FLOOR, n] = (sep.join(leaves).split, sep)
            calls[JOIN_FLOOR, n] = ("".join, leaves)
        for (op, n), r in time_many(calls, repeat).items():
            out.setdefault(op, {})[str(n)] = {m: r[m] / n * 1e9 for m in ("gc_on", "gc_off")}
        del calls, t, doc, leaves
        gc.collect()
    for op in (*OPS, SPLIT_FLOOR, JOIN_FLOOR):
        for mode in ("gc_on", "gc_off"):
            per_item = [out[op][str(n)][mode] for n in sizes]
            mid = statistics.median(per_item)
            devs = [v / mid - 1 for v in per_item]
            out[op][mode + "_median_ns"] = mid
            out[op][mode + "_deviation"] = devs
            out[op][mode + "_max_abs_deviation"] = max(map(abs, devs))
    return out


# ------------------------------------------------------------------- memory


def returned_size(obj) -> tuple[int, int]:
    """Bytes of the lists and strings reachable from `obj`, each object once,
    leaving out the interpreter's immortal shared strings ('' and the
    one-character Latin-1 strings), which no call allocates."""
    is_immortal = getattr(sys, "_is_immortal", lambda o: False)
    seen: set[int] = set()
    total = shared = 0
    stack = [obj]
    while stack:
        o = stack.pop()
        if id(o) in seen:
            continue
        seen.add(id(o))
        if is_immortal(o):
            shared += 1
            continue
        total += sys.getsizeof(o)
        if isinstance(o, list):
            stack.extend(o)
    return total, shared


def traced_peak(fn, arg):
    gc.collect()
    tracemalloc.reset_peak()
    base = tracemalloc.get_traced_memory()[0]
    result = fn(arg)
    peak = tracemalloc.get_traced_memory()[1] - base
    return result, peak


def memory_table(leaves: list[str], entries: dict) -> dict:
    """tracemalloc peak of one call of every contender against the size of its
    result. tracemalloc sees the interpreter's allocators only; memory that the
    module takes straight from the C++ heap shows up in the RSS figures."""
    out: dict = {"parse": {}, "stringify": {}}
    tracemalloc.start()
    try:
        for op in OPS:
            for label, fn, arg, _correct, _size in entries[op]:
                result, peak = traced_peak(fn, arg)
                if op == "parse":
                    size, shared = returned_size(result)
                    out[op][label] = {"peak": peak, "result": size, "shared_strings": shared, "ratio": peak / size}
                else:
                    size = sys.getsizeof(result)
                    allowance = size + POINTER * len(leaves)
                    out[op][label] = {"peak": peak, "result": size, "allowance": allowance,
                                      "ratio": peak / allowance}
                del result
    finally:
        tracemalloc.stop()
    return out


def _vm() -> dict[str, int]:
    values = {}
    with open("/proc/self/status") as f:
        for line in f:
            key, _, rest = line.partition(":")
            if key in ("VmRSS", "VmHWM"):
                values[key] = int(rest.split()[0]) * 1024
    return values


def _rss_peak(fn, arg):
    """Growth of the resident set's high-water mark over one call: all heap
    memory the call touches, C++ containers included."""
    gc.collect()
    try:
        ctypes.CDLL(None).malloc_trim(0)
    except (OSError, AttributeError):
        pass
    with open("/proc/self/clear_refs", "w") as f:
        f.write("5")  # resets VmHWM to the current RSS
    before = _vm()["VmRSS"]
    result = fn(arg)
    return result, _vm()["VmHWM"] - before


def rss_child(what: str, source: str) -> None:
    """Runs in a fresh interpreter, so that the call cannot reuse memory that
    earlier work freed: the RSS peak of one call of `what` (dwex.stringify or
    the join floor on a table, dwex.parse on a document file), as JSON."""
    if what == "parse":
        doc = Path(source).read_text(encoding="utf-8")
        out, peak = _rss_peak(dwex.parse, doc)
        size, _ = returned_size(out)
        print(json.dumps({"peak": peak, "result": size, "ratio": peak / size}))
        return
    rows = getattr(tables, f"{source}_table")().rows
    leaves = [leaf for row in rows for leaf in row]
    if what == "join":
        fn, arg = "".join, leaves
    else:
        fn, arg = dwex.stringify, rows
    doc, peak = _rss_peak(fn, arg)
    allowance = sys.getsizeof(doc) + POINTER * len(leaves)
    print(json.dumps({"peak": peak, "result": sys.getsizeof(doc), "allowance": allowance,
                      "ratio": peak / allowance}))


def rss_peaks(name: str, doc_path: Path) -> dict:
    """RSS high-water growth of dwex.parse, dwex.stringify and, to show what the
    method reads for a single plain allocation, the join floor."""
    out: dict = {}
    for key, source in (("stringify", name), ("join", name), ("parse", str(doc_path))):
        try:
            proc = subprocess.run([sys.executable, str(Path(__file__).resolve()), "--rss-child", key, source],
                                  capture_output=True, text=True, check=True)
            out[key] = json.loads(proc.stdout)
        except (subprocess.CalledProcessError, ValueError) as e:
            print(f"  note: RSS measurement of {key} failed for {name}: {getattr(e, 'stderr', e)}")
    return out


# ------------------------------------------------------------------ targets


def evaluate_targets(results: dict) -> list[dict]:
    targets = []

    def add(name, table, required, measured_on, measured_off, kind, note="", bar=None):
        # kind "min": measured must be >= required; "max": measured must be <= required.
        def ok(v):
            return v is not None and (v >= required if kind == "min" else v <= required)

        # How far a missed target is from its limit, as a fraction of the limit.
        if measured_on is None or ok(measured_on):
            miss = None
        elif kind == "min":
            miss = 1 - measured_on / required
        else:
            miss = measured_on / required - 1
        targets.append({"target": name, "table": table, "required": required, "kind": kind,
                        "gc_on": measured_on, "gc_off": measured_off, "met": ok(measured_on),
                        "met_gc_off": ok(measured_off), "miss": miss, "note": note})
        if bar:  # where the chart marks the limit: (operation, contender, ratio to dwex)
            targets[-1]["bar"] = bar

    for name, t in results["tables"].items():
        p, s = t["parse"], t["stringify"]
        for peer, need in (("json.loads", 2.0), ("csv.reader", 2.5), ("marshal.loads", 1.5), ("pickle.loads", 1.5)):
            add(f"parse {need}x faster than {peer}", name, need, p[peer]["gc_on_ratio"],
                p[peer]["gc_off_ratio"], "min", bar=("parse", peer, need))
        if name == "ascii":
            add("parse within 1.3x of the split floor", name, 1.3, 1 / p[SPLIT_FLOOR]["gc_on_ratio"],
                1 / p[SPLIT_FLOOR]["gc_off_ratio"], "max", bar=("parse", SPLIT_FLOOR, 1 / 1.3))
        for peer, need in (("json.dumps", 2.0), ("csv.writer", 2.5), ("pickle.dumps", 2.5)):
            add(f"stringify {need}x faster than {peer}", name, need, s[peer]["gc_on_ratio"],
                s[peer]["gc_off_ratio"], "min", bar=("stringify", peer, need))
        add("stringify within 2.5x of the join floor", name, 2.5, 1 / s[JOIN_FLOOR]["gc_on_ratio"],
            1 / s[JOIN_FLOOR]["gc_off_ratio"], "max", bar=("stringify", JOIN_FLOOR, 1 / 2.5))

    lin = results["linearity"]
    top = max(lin["sizes"])
    note = "" if top >= 10**7 else f"sizes up to {top:.0e} items only; 10^7 runs with --deep"
    for op in OPS:
        add(f"{op} linear within 15%", "ascii", 0.15, lin[op]["gc_on_max_abs_deviation"],
            lin[op]["gc_off_max_abs_deviation"], "max", note)

    mem = results["memory"]
    rss = results.get("rss", {})
    for name in results["tables"]:
        traced = mem[name]["parse"]["dwex.parse"]["ratio"]
        add("parse peak at most 1.1x its result", name, 1.1, traced, None, "max",
            "tracemalloc peak / size of the returned lists and strings")
        traced = mem[name]["stringify"]["dwex.stringify"]["ratio"]
        resident = rss.get(name, {}).get("stringify", {}).get("ratio")
        worst = max(traced, resident) if resident is not None else traced
        add("stringify peak at most document + 1 pointer/leaf", name, 1.0, worst, None, "max",
            "larger of the tracemalloc and RSS peaks / (document + 8 bytes per leaf)")
    return targets


# ------------------------------------------------------------------ reports


def machine() -> dict:
    cpu = platform.processor() or "unknown"
    try:
        for line in open("/proc/cpuinfo"):
            if line.startswith("model name"):
                cpu = line.split(":", 1)[1].strip()
                break
    except OSError:
        pass
    os_name = platform.platform()
    try:
        for line in open("/etc/os-release"):
            if line.startswith("PRETTY_NAME="):
                os_name = f"{line.split('=', 1)[1].strip().strip(chr(34))} ({platform.release()})"
    except OSError:
        pass
    return {
        "python": sys.version.replace("\n", " "),
        "implementation": platform.python_implementation(),
        "build": " ".join(platform.python_build()),
        "python_compiler": platform.python_compiler(),
        "gil_disabled": bool(sysconfig.get_config_var("Py_GIL_DISABLED")),
        "config_args": sysconfig.get_config_var("CONFIG_ARGS") or "",
        "os": os_name,
        "cpu": cpu,
        "cpus": os.cpu_count(),
        "affinity": sorted(os.sched_getaffinity(0)) if hasattr(os, "sched_getaffinity") else None,
        "module": dwex.__file__,
        "module_compiler": module_compiler(),
        "commit": commit(),
        "gc_threshold": gc.get_threshold(),
        "load_average_start": os.getloadavg(),
    }


def module_compiler() -> str:
    """The compiler and flags the module was built with, from the build tree."""
    cache = REPO / "build" / "cmake" / "CMakeCache.txt"
    ninja = REPO / "build" / "cmake" / "build.ninja"
    compiler, flags = "c++", ""
    try:
        for line in cache.read_text().splitlines():
            if line.startswith("CMAKE_CXX_COMPILER:"):
                compiler = line.split("=", 1)[1]
        lines = ninja.read_text().splitlines()
        for i, line in enumerate(lines):
            if line.startswith("build CMakeFiles/dwex.dir/") and "parser.cpp" in line:
                for follow in lines[i + 1 : i + 8]:
                    if follow.strip().startswith("FLAGS ="):
                        flags = follow.split("=", 1)[1].strip()
                break
    except OSError:
        pass
    try:
        version = subprocess.run([compiler, "--version"], capture_output=True, text=True).stdout.splitlines()[0]
    except (OSError, IndexError):
        version = compiler
    flags = " ".join(f for f in flags.split() if not f.startswith(("-W", "-include", "/")))
    return f"{version}; {flags}".strip("; ")


def commit() -> str:
    """From the environment (the Makefile passes `git describe`), else read
    from .git directly: the root has no git."""
    if os.environ.get("DWEX_COMMIT"):
        return os.environ["DWEX_COMMIT"]
    git = REPO / ".git"
    try:
        head = (git / "HEAD").read_text().strip()
        if not head.startswith("ref: "):
            return head
        ref = head[5:]
        if (git / ref).exists():
            return (git / ref).read_text().strip() + " (working tree state unknown)"
        for line in (git / "packed-refs").read_text().splitlines():
            if line.endswith(" " + ref):
                return line.split()[0] + " (working tree state unknown)"
    except OSError:
        pass
    return "unknown"


def fmt_time(s: float) -> str:
    return f"{s * 1e3:9.3f}" if s >= 1e-4 else f"{s * 1e6:8.2f}u"


def print_table(name: str, r: dict) -> None:
    i = r["info"]
    print(f"\n== {name}: {i['description']}")
    print(f"   {i['rows']:,} rows, {i['items']:,} items, payload {i['payload_bytes'] / MB:.2f} MB (UTF-8 of the leaves), "
          f"document {i['document_chars']:,} chars at kind {i['document_kind']}; "
          f"freeing one parse result: {i['free_parse_result_s'] * 1e3:.2f} ms (inside every loads figure)")
    head = f"   {'':18} {'ms/call':>9} {'ns/item':>8} {'MB/s':>7} {'x dwex':>7}  | GC off: {'ms/call':>9} {'ns/item':>8} {'MB/s':>7} {'x dwex':>7}"
    for op in OPS:
        print(f"   {op}  (x dwex = its time / dwex time; >1: dwex faster)")
        print(head)
        for label, t in r[op].items():
            flag = "" if t["correct"] else "  (ROUND TRIP FAILED)"
            cells = [
                f"{fmt_time(t[m])} {t[m + '_ns_per_item']:8.1f} {t[m + '_mb_s']:7.1f} {t[m + '_ratio']:6.2f}x"
                for m in ("gc_on", "gc_off")
            ]
            print(f"   {label:18} {cells[0]}  |         {cells[1]}{flag}")


def print_linearity(lin: dict) -> None:
    print("\n== linearity: dwex ns per item on the ascii table, by number of items "
          "(deviation from the median of the sizes)")
    for op in (*OPS, SPLIT_FLOOR, JOIN_FLOOR):
        for mode in ("gc_on", "gc_off"):
            cells = "  ".join(f"{n:>8.0e}: {lin[op][str(n)][mode]:6.1f} ({dev:+5.1%})"
                              for n, dev in zip(lin["sizes"], lin[op][mode + "_deviation"]))
            print(f"   {op:15} GC {mode[3:]:3}  {cells}")


def print_memory(mem: dict, rss: dict) -> None:
    print("\n== peak memory per call (tracemalloc: interpreter allocators only). parse: peak / returned objects; "
          "stringify: peak / (document + 8 B per leaf)")
    for name, m in mem.items():
        for op in OPS:
            cells = "  ".join(f"{label.split()[0]} {v['ratio']:.2f}" for label, v in m[op].items())
            print(f"   {name:7} {op:9} {cells}")
        r = rss.get(name, {})
        if "parse" in r and "stringify" in r and "join" in r:
            print(f"   {name:7} RSS high-water growth (all heap, fresh process): dwex.parse {r['parse']['peak'] / MB:.1f} MB"
                  f" = {r['parse']['ratio']:.2f}x its result ({r['parse']['result'] / MB:.1f} MB); dwex.stringify "
                  f"{r['stringify']['peak'] / MB:.1f} MB = {r['stringify']['ratio']:.2f}x the allowance "
                  f"({r['stringify']['allowance'] / MB:.1f} MB); ''.join {r['join']['peak'] / MB:.1f} MB = "
                  f"{r['join']['peak'] / r['join']['result']:.2f}x its result")
        d = m["parse"]["dwex.parse"]
        s = m["stringify"]["dwex.stringify"]
        print(f"   {name:7} dwex tracemalloc: parse peak {d['peak'] / MB:.1f} MB for {d['result'] / MB:.1f} MB returned; "
              f"stringify peak {s['peak'] / MB:.1f} MB for a {s['result'] / MB:.1f} MB document "
              f"(allowance {s['allowance'] / MB:.1f} MB)")


def print_targets(targets: list[dict]) -> None:
    print("\n== goals (judged with the collector on; GC-off value in brackets)")
    for t in targets:
        on, off = t["gc_on"], t["gc_off"]
        unit = "" if "%" in t["target"] else "x"
        if "%" in t["target"]:
            val = f"{on:.1%}" + (f" [{off:.1%}]" if off is not None else "")
            need = f"<= {t['required']:.0%}"
        else:
            val = f"{on:.2f}{unit}" + (f" [{off:.2f}{unit}]" if off is not None else "")
            need = (">= " if t["kind"] == "min" else "<= ") + f"{t['required']:g}{unit}"
        status = ("goal reached:" if t["met"] else "goal not yet reached:").ljust(21)
        if t["miss"] is None or unit != "x":
            margin = ""
        elif t["kind"] == "min":
            margin = f"  short by {t['miss']:.0%}"
        else:
            margin = f"  over by {t['miss']:.0%}"
        note = f"  ({t['note']})" if t["note"] and (not t["met"] or "--deep" in t["note"]) else ""
        print(f"   {status} {t['table']:7} {t['target']:50} {val:>18} need {need}{margin}{note}")


def draw_chart(json_path: Path, png_path: Path) -> None:
    chart = HERE / "chart.py"
    try:
        proc = subprocess.run(["python3", str(chart), str(json_path), str(png_path)],
                              capture_output=True, text=True, timeout=120)
    except (OSError, subprocess.TimeoutExpired) as e:
        print(f"note: no chart drawn ({e})")
        return
    if proc.returncode != 0:
        tail = (proc.stderr.strip().splitlines() or ["?"])[-1]
        print(f"note: no chart drawn: {tail}")
    else:
        print(f"chart: {png_path.relative_to(REPO)}")


# --------------------------------------------------------------------- main


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--deep", action="store_true", help="linearity up to 10^7 items, and callgrind")
    ap.add_argument("--callgrind", action="store_true", help="instruction counts under valgrind (slow)")
    ap.add_argument("--repeat", type=int, default=5, help="timing repeats; the median is reported")
    ap.add_argument("--tables", default="ascii,bmp,astral,wide")
    ap.add_argument("--no-chart", action="store_true")
    ap.add_argument("--rss-child", nargs=2, help=argparse.SUPPRESS)
    args = ap.parse_args()
    if args.rss_child:
        rss_child(*args.rss_child)
        return

    started = time.perf_counter()
    csv.field_size_limit(sys.maxsize)  # the wide table's cells pass the default limit
    if hasattr(os, "sched_setaffinity"):
        try:
            os.sched_setaffinity(0, {max(os.sched_getaffinity(0))})
        except OSError:
            pass
    meta = machine()
    print(f"dwex benchmark  commit {meta['commit']}")
    print(f"Python {meta['python']}  [{meta['implementation']}, GIL {'disabled' if meta['gil_disabled'] else 'enabled'}]")
    print(f"OS {meta['os']}; CPU {meta['cpu']} x{meta['cpus']} (pinned to {meta['affinity']})")
    print(f"module {Path(meta['module']).relative_to(REPO) if meta['module'].startswith(str(REPO)) else meta['module']}"
          f" built with {meta['module_compiler']}")
    print(f"timing: timeit autorange, then {args.repeat} rounds over all contenders, median per call; "
          f"GC thresholds {meta['gc_threshold']}; load average "
          f"{meta['load_average_start'][0]:.2f} at start")

    # One table at a time, so that the collector works on a heap holding the
    # table under test and nothing else of ours.
    results: dict = {"meta": meta, "settings": vars(args), "tables": {}, "memory": {}, "rss": {}}
    documents: dict[str, tuple[Path, int]] = {}
    (OUT / "documents").mkdir(parents=True, exist_ok=True)
    for name in args.tables.split(","):
        table = getattr(tables, f"{name}_table")()
        leaves = table.leaves
        entries = contenders(table, leaves)
        results["tables"][name] = bench_table(table, leaves, entries, args.repeat)
        print_table(name, results["tables"][name])
        results["memory"][name] = memory_table(leaves, entries)
        doc_path = OUT / "documents" / f"{name}.dwex"
        doc_path.write_text(dwex.stringify(table.rows), encoding="utf-8")
        documents[name] = (doc_path, len(leaves))
        results["rss"][name] = rss_peaks(name, doc_path)
        del table, leaves, entries
        gc.collect()

    sizes = [10**3, 10**4, 10**5, 10**6] + ([10**7] if args.deep else [])
    results["linearity"] = linearity(tables.ascii_table().rows, sizes, args.repeat)
    gc.collect()
    print_linearity(results["linearity"])
    print_memory(results["memory"], results["rss"])

    if args.callgrind or args.deep:
        import callgrind

        results["callgrind"] = callgrind.measure(documents, callgrind.DWEX_OPS, 5, True, OUT / "callgrind")
        print("\n== " + callgrind.report(results["callgrind"]))

    results["targets"] = evaluate_targets(results)
    print_targets(results["targets"])
    meta["load_average_end"] = os.getloadavg()
    meta["seconds"] = time.perf_counter() - started
    missed = sum(not t["met"] for t in results["targets"])
    print(f"\n{len(results['targets']) - missed} of {len(results['targets'])} goals reached; "
          f"load average {meta['load_average_end'][0]:.2f} at the end; {meta['seconds']:.0f} s")

    OUT.mkdir(parents=True, exist_ok=True)
    json_path = OUT / "results.json"
    json_path.write_text(json.dumps(results, indent=1, default=str))
    print(f"results: {json_path.relative_to(REPO)}")
    if not args.no_chart:
        draw_chart(json_path, OUT / "ratios.png")


if __name__ == "__main__":
    main()
