"""The report: the machine and build it ran on, the tables of times, sizes and
ratios, linearity, memory and goals as printed text, and results.json with
one flat entry per contender, table and direction for other tools to read."""

from __future__ import annotations

import gc
import json
import os
import platform
import subprocess
import sys
import sysconfig
from pathlib import Path

import goals as goals_mod
import places
from contenders import JOIN_FLOOR, OPS, SPLIT_FLOOR

REPO = places.REPO
MB = 1e6


# ------------------------------------------------------------------ machine


def machine(module_file: str) -> dict:
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
        "module": module_file,
        "module_build": module_build(),
        "peers": peer_versions(),
        "commit": commit(),
        "gc_threshold": gc.get_threshold(),
        "load_average_start": os.getloadavg(),
    }


def peer_versions() -> dict[str, str]:
    out = {}
    for name in ("orjson", "msgspec", "msgpack"):
        try:
            module = __import__(name)
        except ImportError:
            continue
        version = getattr(module, "__version__", None) or ".".join(map(str, getattr(module, "version", ())))
        out[name] = version or "?"
    return out


def module_build() -> dict:
    """The compiler, build type and compile flags the module was really built
    with, read from the newest CMake build tree (the root's or the host's)."""
    trees = [d for d in (REPO / "build" / "cmake", REPO / "build" / "cmake-host") if (d / "build.ninja").exists()]
    if not trees:
        return {"compiler": "unknown", "build_type": "unknown", "flags": ""}
    tree = max(trees, key=lambda d: (d / "build.ninja").stat().st_mtime)
    compiler, build_type, flags = "c++", "", ""
    try:
        for line in (tree / "CMakeCache.txt").read_text().splitlines():
            if line.startswith("CMAKE_CXX_COMPILER:"):
                compiler = line.split("=", 1)[1]
            elif line.startswith("CMAKE_BUILD_TYPE:"):
                build_type = line.split("=", 1)[1]
        lines = (tree / "build.ninja").read_text().splitlines()
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
    # Warnings and the forced pyconfig.h include say nothing about the code made.
    flags = " ".join(f for f in flags.split() if not f.startswith(("-W", "-include", "/")))
    return {"compiler": version, "build_type": build_type, "flags": flags, "tree": str(tree.relative_to(REPO))}


def commit() -> str:
    """From the environment (the Makefile passes `git describe`), else read
    from .git directly: the root has no git."""
    if os.environ.get("DWEX_COMMIT"):
        return os.environ["DWEX_COMMIT"]
    git = REPO / ".git"
    try:
        if git.is_file():  # a worktree: .git names the real directory
            git = Path(git.read_text().split(":", 1)[1].strip())
        head = (git / "HEAD").read_text().strip()
        if not head.startswith("ref: "):
            return head
        ref = head[5:]
        common = git / "commondir"
        base = (git / common.read_text().strip()).resolve() if common.exists() else git
        if (base / ref).exists():
            return (base / ref).read_text().strip() + " (working tree state unknown)"
        for line in (base / "packed-refs").read_text().splitlines():
            if line.endswith(" " + ref):
                return line.split()[0] + " (working tree state unknown)"
    except (OSError, IndexError):
        pass
    return "unknown"


def print_header(meta: dict, settings: dict) -> None:
    b = meta["module_build"]
    module = meta["module"]
    if module.startswith(str(REPO)):
        module = str(Path(module).relative_to(REPO))
    print(f"dwex benchmark  commit {meta['commit']}")
    print(f"Python {meta['python']}  [{meta['implementation']}, GIL "
          f"{'disabled' if meta['gil_disabled'] else 'enabled'}]")
    print(f"OS {meta['os']}; CPU {meta['cpu']} x{meta['cpus']} (pinned to {meta['affinity']})")
    print(f"module {module}: {b['build_type']} build with {b['compiler']}; flags {b['flags']}")
    print("peers: " + (", ".join(f"{k} {v}" for k, v in meta["peers"].items()) or "none installed"))
    print(f"timing: {settings['repeat']} interleaved rounds, medians; a warm sample is >= 0.1 s of calls on one "
          f"table, a fresh one up to as many calls, each on new strings; GC thresholds {meta['gc_threshold']}; "
          f"load average {meta['load_average_start'][0]:.2f} at start")


# ------------------------------------------------------------------ tables


def _time(s: float) -> str:
    return f"{s * 1e3:8.3f}" if s >= 1e-4 else f"{s * 1e6:7.2f}u"


def _size(n: int) -> str:
    return f"{n / MB:7.2f}M" if n >= 10**5 else f"{n / 1e3:7.1f}k"


def print_table(name: str, r: dict) -> None:
    i = r["info"]
    print(f"\n== {name}: {i['description']}")
    print(f"   {i['rows']:,} rows, {i['items']:,} items, payload {i['payload_bytes'] / MB:.2f} MB (UTF-8 of the "
          f"leaves), dwex document {i['document_chars']:,} chars at kind {i['document_kind']}; freeing one parse "
          f"result takes {i['free_parse_result_s'] * 1e3:.2f} ms (inside every parse figure)")
    print("   x dwex = its time / dwex's time (>1: dwex faster); size = bytes of its document (str as UTF-8)")
    for op in OPS:
        head = f"   {op:24} {'size':>8} {'ms/call':>8} {'ns/item':>8} {'x dwex':>7} {'GC off':>7}"
        if op == "stringify":
            head += f"  | fresh: {'ms/call':>8} {'ns/item':>8} {'x dwex':>7} {'GC off':>7}"
        print(head)
        for label, t in r[op].items():
            line = (f"   {label:24} {_size(t['size'])} {_time(t['gc_on'])} {t['gc_on_ns_per_item']:8.1f} "
                    f"{t['gc_on_ratio']:6.2f}x {t['gc_off_ratio']:6.2f}x")
            if "fresh_gc_on" in t:
                line += (f"  |        {_time(t['fresh_gc_on'])} {t['fresh_gc_on_ns_per_item']:8.1f} "
                         f"{t['fresh_gc_on_ratio']:6.2f}x {t['fresh_gc_off_ratio']:6.2f}x")
            if not t["correct"]:
                line += "  (round trip failed)"
            print(line)


def print_linearity(lin: dict) -> None:
    sizes = lin["sizes"]
    print(f"\n== linearity: ns per item on the {lin['table']} table by number of items, dwex beside peers and floors "
          "(deviation from the median of the sizes; max = the largest)")
    for direction, keys in lin["order"].items():
        print(f"   {direction:22} {'GC':3}" + "".join(f"{n:>17.0e}" for n in sizes) + "      max")
        for op in keys:
            label = f"dwex.{op}" if op in OPS else op
            for mode in ("gc_on", "gc_off"):
                entries = "".join(f"{lin[op][str(n)][mode]:8.1f} ({dev:+6.1%})"
                                for n, dev in zip(sizes, lin[op][mode + "_deviation"]))
                print(f"   {label:22} {mode[3:]:3}{entries}   {lin[op][mode + '_max_abs_deviation']:6.1%}")
    cost = lin.get("page_fault_ns")
    if cost is None:
        return
    print(f"   fresh pages: minor page faults per 1000 items (GC off) and, in brackets, their cost in ns per item at "
          f"{cost:.0f} ns a page (the first touch of a new page, measured here)")
    for keys in lin["order"].values():
        for op in keys:
            label = f"dwex.{op}" if op in OPS else op
            per_item = [lin[op][str(n)].get("faults_per_item") for n in sizes]
            if None in per_item:
                continue
            entries = "".join(f"{1000 * f:8.2f} ({f * cost:5.1f}) " for f in per_item)
            print(f"   {label:22}    {entries}")


def print_memory(mem: dict, rss: dict) -> None:
    print("\n== peak memory per call (tracemalloc: interpreter allocators only). parse: peak / returned objects; "
          "stringify: peak / (document + 8 B per leaf)")
    for name, m in mem.items():
        for op in OPS:
            entries = "  ".join(f"{label.split()[0] if 'floor' not in label else 'floor'} {v['ratio']:.2f}"
                              for label, v in m[op].items())
            print(f"   {name:7} {op:9} {entries}")
        r = rss.get(name, {})
        if "parse" in r and "stringify" in r and "join" in r:
            print(f"   {name:7} RSS high-water growth (all heap, fresh process): dwex.parse "
                  f"{r['parse']['peak'] / MB:.1f} MB = {r['parse']['ratio']:.2f}x its result "
                  f"({r['parse']['result'] / MB:.1f} MB); dwex.stringify {r['stringify']['peak'] / MB:.1f} MB = "
                  f"{r['stringify']['ratio']:.2f}x the allowance ({r['stringify']['allowance'] / MB:.1f} MB); "
                  f"''.join {r['join']['peak'] / MB:.1f} MB = {r['join']['peak'] / r['join']['result']:.2f}x its result")


def print_goals(goals: list[dict]) -> None:
    print("\n== goals (judged with the collector on; stringify on fresh strings)")
    for g in goals:
        print("   " + goals_mod.format_goal(g))


# ------------------------------------------------------------------ sweep


def print_sweep(sweep: dict) -> None:
    """The sweep's summary: per direction and contender, the worst ratio over
    the shapes with its shape and the median, in each process state; where a
    peer wins; the leaf writes; the run at 10^7 items."""
    summary, states = sweep["summary"], list(sweep["summary"]["states"])
    size = sweep["size"]
    count = len(next(iter(sweep["states"].values()))["shapes"]) if sweep["states"] else 0
    print(f"\n== sweep: {count} shapes (short leaves {size['items']:,} items, long leaves {size['chars']:,} "
          f"characters), {sweep['repeat']} interleaved rounds of >= {sweep['target_seconds']} s samples, in "
          + " and ".join(f"a {s} process" for s in states))
    for state in states:
        run = sweep["states"][state]
        print(f"   {state} process: {run['tracked_objects']:,} objects tracked by the collector, "
              f"{run['seconds']:.0f} s")
    print("   time of each contender / time of dwex (>1: dwex faster), each its fastest round, collector on [off]; "
          "stringify on new strings; warm: the same strings every call, 1-byte documents only")
    head = f"   {'':14} {'contender':24}"
    for state in states:
        head += f" | {state + ': worst':>13} {'shape':30} {'median':>14}"
    print(head)
    for direction in ("parse", "stringify", "stringify warm"):
        labels = dict.fromkeys(label for state in states for label in summary["states"][state][direction])
        for label in labels:
            line = f"   {direction:14} {label:24}"
            for state in states:
                v = summary["states"][state][direction].get(label)
                if v is None:
                    line += f" | {'-':>13} {'':30} {'':>14}"
                    continue
                line += (f" | {v['worst']:5.2f}x [{v['worst_gc_off']:4.2f}x] {v['worst_shape']:30} "
                         f"{v['median']:5.2f}x [{v['median_gc_off']:4.2f}x]")
            print(line)
    wins = summary["peer_wins"]
    print(f"   where a peer is faster (collector on; stringify on new strings): {len(wins) or 'nowhere'}")
    for w in sorted(wins, key=lambda w: (w["state"], w["direction"], w["shape"], w["ratio"])):
        print(f"     {w['state']:7} {w['direction']:9} {w['shape']:31} {w['contender']:24} {w['ratio']:.2f}x "
              f"[GC off {w['ratio_gc_off']:.2f}x]")
    failed = summary["failed_round_trips"]
    if failed:
        print("   round trips that failed (left out of the figures): " + "; ".join(
            f"{f['contender']} on {f['shape']} ({f['state']})" for f in failed))
    lw = sweep.get("leaf_writes", {})
    if lw.get("measured"):
        print(f"   leaf writes per leaf of one stringify call: worst {lw['worst']:.3f} ({lw['worst_shape']}), "
              f"least {lw['least']:.3f} ({lw['least_shape']}), over {len(lw['shapes'])} shapes")
    else:
        print(f"   leaf writes per leaf: not measured ({lw.get('why', 'no run')})")
    for name, fig in sweep.get("huge_figures", {}).items():
        on, off = fig["gc_on"], fig["gc_off"]
        pc, g = on["stringify_per_char"], on["parse_growth"]
        print(f"   {name} at {fig['small']:.0e} -> {fig['large']:.0e} items: stringify ns per output character "
              f"dwex {pc['stringify']['small_ns']:.2f} -> {pc['stringify']['large_ns']:.2f}, join floor "
              f"{pc[JOIN_FLOOR]['small_ns']:.2f} -> {pc[JOIN_FLOOR]['large_ns']:.2f}: extra "
              f"{on['stringify_extra_ratio']:.2f}x the floor's [GC off {off['stringify_extra_ratio']:.2f}x]; "
              f"parse time per item grows {g['parse']:.2f}x, split floor {g[SPLIT_FLOOR]:.2f}x "
              f"[GC off {off['parse_growth']['parse']:.2f}x, {off['parse_growth'][SPLIT_FLOOR]:.2f}x]")


# ------------------------------------------------------------------ results


def flat_entries(tables: dict) -> list[dict]:
    """One entry per contender, table and direction, with median seconds per
    call (GC on and off; warm and fresh for stringify), document size and
    whether its round trip held: the part of results.json meant for tools."""
    out = []
    for name, t in tables.items():
        for op in OPS:
            for label, r in t[op].items():
                e = {"table": name, "direction": op, "contender": label, "size_bytes": r["size"],
                     "correct": r["correct"]}
                if op == "parse":
                    e.update(gc_on_s=r["gc_on"], gc_off_s=r["gc_off"])
                else:
                    e.update(warm_gc_on_s=r["gc_on"], warm_gc_off_s=r["gc_off"], fresh_gc_on_s=r["fresh_gc_on"],
                             fresh_gc_off_s=r["fresh_gc_off"])
                out.append(e)
    return out


def markdown(results: dict) -> str:
    """The speed and size tables in Markdown, for the README: each contender's
    time over dwex's (GC on; stringify on fresh strings, warm in brackets),
    then each document's size in bytes."""
    names = list(results["tables"])
    head = "| | " + " | ".join(names) + " |\n|---|" + "---:|" * len(names) + "\n"
    out = [f"Time of each contender / time of dwex (>1: dwex is faster), collector on; commit "
           f"{results['meta']['commit']}, {results['meta']['python'].split()[0]}, {results['meta']['cpu']}.\n"]
    for op in OPS:
        title = "parse" if op == "parse" else "stringify on new strings (in brackets: the same strings every call)"
        out.append(f"\n**{title}**\n\n" + head)
        for label in results["tables"][names[0]][op]:
            if label.startswith("dwex."):
                continue
            entries = []
            for n in names:
                r = results["tables"][n][op].get(label)
                if r is None:
                    entries.append("-")
                elif op == "parse":
                    entries.append(f"{r['gc_on_ratio']:.2f}x")
                else:
                    entries.append(f"{r['fresh_gc_on_ratio']:.2f}x ({r['gc_on_ratio']:.2f}x)")
            out.append(f"| {label} | " + " | ".join(entries) + " |\n")
    out.append("\n**document size, bytes (str as UTF-8)**\n\n" + head)
    for label, r in results["tables"][names[0]]["stringify"].items():
        entries = [f"{results['tables'][n]['stringify'][label]['size']:,}" if label in results["tables"][n]["stringify"]
                 else "-" for n in names]
        name = r["peer"] if r["peer"] != "floor" else "the leaves alone"
        out.append(f"| {name} | " + " | ".join(entries) + " |\n")
    if "sweep" in results:
        out.append(sweep_markdown(results["sweep"]))
    return "".join(out)


def sweep_markdown(sweep: dict) -> str:
    """The sweep's worst and median ratio per peer and direction, in each
    process state, for the README."""
    summary = sweep["summary"]["states"]
    states = list(summary)
    count = len(next(iter(sweep["states"].values()))["shapes"]) if states else 0
    out = [f"\n**the shape sweep: worst shape and median over {count} shapes** (collector on; stringify on new "
           "strings; each contender's fastest round)\n\n| | " + " | ".join(f"{s}: worst | {s}: median" for s in states) + " |\n|---|"
           + "---|---:|" * len(states) + "\n"]
    for direction in ("parse", "stringify"):
        for label in dict.fromkeys(label for s in states for label in summary[s][direction]):
            entries = []
            for s in states:
                v = summary[s][direction].get(label)
                entries += ["-", "-"] if v is None else [f"{v['worst']:.2f}x ({v['worst_shape']})", f"{v['median']:.2f}x"]
            out.append(f"| {label} | " + " | ".join(entries) + " |\n")
    return "".join(out)


def write_results(results: dict, path: Path) -> None:
    path.parent.mkdir(parents=True, exist_ok=True)
    results = {"entries": flat_entries(results["tables"]), **results}
    path.write_text(json.dumps(results, indent=1, default=str))
