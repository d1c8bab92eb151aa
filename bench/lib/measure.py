"""One table timed against every contender, and dwex's time per item as
tables grow: the measurements that bench.py reports and the sweep repeats
on every shape."""

from __future__ import annotations

import gc
import statistics

import dwex

import contenders
import tables
import timing
from contenders import JOIN_FLOOR, OPS, SPLIT_FLOOR

MB = 1e6


def _kind(s: str) -> int:
    m = ord(max(s)) if s else 0
    return 1 if m < 0x100 else 2 if m < 0x10000 else 4


def describe(table: tables.Table) -> dict:
    """Sizes of the table and of its dwex document. The list of leaves made
    here is gone before anything is timed (see contenders.entries)."""
    leaves = table.leaves
    doc = dwex.stringify(table.rows)
    return {
        "description": table.description,
        "rows": len(table.rows),
        "items": len(leaves),
        "payload_bytes": sum(len(s.encode("utf-8", "surrogatepass")) for s in leaves),
        "document_chars": len(doc),
        "document_kind": _kind(doc),
        "leaf_chars": sum(map(len, leaves)),
        "free_parse_result_s": timing.free_cost(lambda: dwex.parse(doc)),
    }


def bench_table(table: tables.Table, entries: list[contenders.Entry], repeat: int,
                target: float = timing.TARGET_SECONDS, screen=None) -> dict:
    """Times every entry on one table, in samples of `target` seconds (see
    timing.time_many for `screen`), and returns per operation the records by
    label: sizes, median seconds, ns per item, MB/s, ratios to dwex and the
    rounds timed."""
    info = describe(table)
    items, payload = info["items"], info["payload_bytes"]
    calls = {(e.op, e.label): (e.fn, e.arg, e.fresh) for e in entries}
    timed = timing.time_many(calls, repeat, target, screen)
    results: dict = {"info": info, "parse": {}, "stringify": {}}
    for e in entries:
        t = timed[e.op, e.label]
        rec = {"peer": e.peer, "correct": e.correct, "size": e.size, "number": t["number"],
               "fresh_number": t["fresh_number"], "rounds": t["warm"]["gc_on"]["n"]}
        for variant, prefix in (("warm", ""), ("fresh", "fresh_")):
            for mode, s in t.get(variant, {}).items():
                rec[prefix + mode] = s["median"]
                rec[prefix + mode + "_min"] = s["min"]
                rec[prefix + mode + "_max"] = s["max"]
        results[e.op][e.label] = rec
    for op in OPS:
        base = results[op]["dwex." + op]
        for rec in results[op].values():
            for key in [k for k in ("gc_on", "gc_off", "fresh_gc_on", "fresh_gc_off") if k in rec]:
                rec[key + "_ns_per_item"] = rec[key] / items * 1e9
                rec[key + "_mb_s"] = payload / MB / rec[key]
                rec[key + "_ratio"] = rec[key] / base[key]
    return results


# The peers timed beside dwex at every size of the linearity run: the
# standard library's fastest reader and writer, and msgspec's msgpack codec
# (left out where it is not installed).
LINEARITY_PEERS = ("marshal", "msgspec.msgpack")


def linearity(rows: list[list[str]], sizes: list[int], repeat: int, peer_names=LINEARITY_PEERS,
              faults: bool = True, table: str = "ascii") -> dict:
    """Per-item times on tables of each size cut from `rows`: dwex, the peers
    named and the floors, interleaved, so that a reader sees whether a growth
    is dwex's own or the machine's. Sizes up to 10^6 are timed in shared
    rounds; a 10^7 table, which alone takes about a gigabyte, is built and
    timed after them, on its own. Keys: "parse" and "stringify" for dwex,
    every other contender by its label; "order" lists them by direction;
    "chars" the characters of dwex's document and of the leaves at each
    size. With `faults`, the fresh pages each call touches are counted too."""
    peers = [p for p in contenders.peers() if p.name in peer_names]
    order = {
        "parse": ["parse", *(p.loads_label for p in peers), SPLIT_FLOOR],
        "stringify": ["stringify", *(p.dumps_label for p in peers), JOIN_FLOOR],
    }
    out: dict = {"table": table, "sizes": sizes, "order": order, "chars": {}}
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
            for p in peers:
                peer_doc = p.dumps(t)
                if p.loads(peer_doc) == t:
                    calls[p.loads_label, n] = (p.loads, peer_doc)
                    calls[p.dumps_label, n] = (p.dumps, t)
            # The floors at the same sizes show how much of any growth comes
            # from making and freeing that many strings at all. They work on
            # copies: a second reference to each of the table's strings would
            # double marshal.dumps's time (it records every object referenced
            # more than once).
            copies = tables.FreshCopies(t)
            leaves = copies.leaves()
            out["chars"][str(n)] = {"document": len(doc), "leaves": len(copies.joined()[0]) - max(0, n - 1)}
            calls[SPLIT_FLOOR, n] = (contenders.split_floor, copies.joined())
            calls[JOIN_FLOOR, n] = ("".join, leaves)
        for (op, n), r in timing.time_many(calls, repeat).items():
            out.setdefault(op, {})[str(n)] = {m: r["warm"][m]["median"] / n * 1e9 for m in ("gc_on", "gc_off")}
            # Fresh pages are a cost of the machine that grows with the size
            # of a result: counted here, priced below.
            if faults:
                count = timing.minor_faults(calls[op, n][0], calls[op, n][1], min(r["number"], 5))
                out[op][str(n)]["faults_per_item"] = None if count is None else count / n
        del calls, t, doc, leaves, copies
        gc.collect()
    for keys in order.values():
        for op in keys:
            if not all(str(n) in out.get(op, {}) for n in sizes):
                # A peer that failed its round trip at some size is not compared.
                out.pop(op, None)
                continue
            for mode in ("gc_on", "gc_off"):
                per_item = [out[op][str(n)][mode] for n in sizes]
                mid = statistics.median(per_item)
                devs = [v / mid - 1 for v in per_item]
                out[op][mode + "_median_ns"] = mid
                out[op][mode + "_deviation"] = devs
                out[op][mode + "_max_abs_deviation"] = max(map(abs, devs))
    for direction, keys in order.items():
        order[direction] = [op for op in keys if op in out]
    if faults:
        out["page_fault_ns"] = timing.page_fault_seconds() * 1e9
    return out
