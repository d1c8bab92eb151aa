"""Peak memory per call: the tracemalloc peak of every contender against the
size of what it returns, and the resident set's high-water growth of dwex's
calls measured in a fresh interpreter (all heap, C++ containers included).

The RSS figures come from rss_child() in a process of its own."""

from __future__ import annotations

import ctypes
import gc
import json
import subprocess
import sys
import tracemalloc
from pathlib import Path

import places

POINTER = 8
MB = 1e6


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


def memory_table(items: int, entries) -> dict:
    """tracemalloc peak of one call of every contender. parse: against the size
    of its result; stringify: against the allowance, its document plus one
    pointer per leaf. tracemalloc sees the interpreter's allocators only;
    memory taken straight from the C heap shows up in the RSS figures."""
    out: dict = {"parse": {}, "stringify": {}}
    tracemalloc.start()
    try:
        for e in entries:
            result, peak = traced_peak(e.fn, e.arg)
            if e.op == "parse":
                size, shared = returned_size(result)
                out[e.op][e.label] = {"peak": peak, "result": size, "shared_strings": shared, "ratio": peak / size}
            else:
                size = sys.getsizeof(result)
                allowance = size + POINTER * items
                out[e.op][e.label] = {"peak": peak, "result": size, "allowance": allowance, "ratio": peak / allowance}
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
    """Growth of the resident set's high-water mark over one call."""
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


def rss_child(argv: list[str]) -> None:
    """Runs in a fresh interpreter, so that the call cannot reuse memory that
    earlier work freed: the RSS peak of one call of `what` (dwex.stringify or
    the join floor on a table, dwex.parse on a document file), as JSON."""
    what, source = argv
    import dwex
    import tables

    if what == "parse":
        doc = Path(source).read_text(encoding="utf-8")
        out, peak = _rss_peak(dwex.parse, doc)
        size, _ = returned_size(out)
        print(json.dumps({"peak": peak, "result": size, "ratio": peak / size}))
        return
    rows = getattr(tables, f"{source}_table")().rows
    leaves = [leaf for row in rows for leaf in row]
    fn, arg = ("".join, leaves) if what == "join" else (dwex.stringify, rows)
    doc, peak = _rss_peak(fn, arg)
    allowance = sys.getsizeof(doc) + POINTER * len(leaves)
    print(json.dumps({"peak": peak, "result": sys.getsizeof(doc), "allowance": allowance,
                      "ratio": peak / allowance}))


def rss_peaks(name: str, doc_path: Path, log=print) -> dict:
    """RSS high-water growth of dwex.parse, dwex.stringify and, to show what the
    method reads for a single plain allocation, the join floor."""
    out: dict = {}
    for key, source in (("stringify", name), ("join", name), ("parse", str(doc_path))):
        try:
            proc = subprocess.run(places.command("memory", "rss_child", key, source),
                                  capture_output=True, text=True, check=True)
            out[key] = json.loads(proc.stdout)
        except (subprocess.CalledProcessError, ValueError) as e:
            log(f"  note: RSS measurement of {key} failed for {name}: {getattr(e, 'stderr', e)}")
    return out
