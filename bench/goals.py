"""The goals the benchmark checks, judged with the collector on (the GC-off
value goes beside it), and their printout: "goal met: ..." or "goal not yet
reached: ...". Ratios are a contender's time over dwex's, so >1 means dwex
is faster; stringify is judged on fresh strings."""

from __future__ import annotations

from contenders import JOIN_FLOOR, SPLIT_FLOOR

MSGPACK_DECODE = "msgspec.msgpack decode"
MSGPACK_ENCODE = "msgspec.msgpack encode"
LINEAR_WITHIN = 0.15

# (tables, contender, at least this ratio): dwex.parse against the fastest readers.
PARSE_PEERS = [
    (("ascii", "bmp", "astral"), MSGPACK_DECODE, 1.3),
    (("ascii", "bmp", "astral"), "orjson.loads", 1.3),
    (("wide",), "marshal.loads", 1.0),
    (("wide",), MSGPACK_DECODE, 1.0),
]
# (tables, contender, variant, at least this ratio) for dwex.stringify.
STRINGIFY_PEERS = [
    (None, MSGPACK_ENCODE, "fresh", 1.2),
    (None, "orjson.dumps", "fresh", 1.0),
    (None, MSGPACK_ENCODE, "warm", 1.0),
]
# (operation, table, floor, at most this many times the floor's time).
FLOORS = [("parse", "ascii", SPLIT_FLOOR, 1.3), ("stringify", "wide", JOIN_FLOOR, 1.5)]


def _goal(goals: list, text: str, table: str, required: float, kind: str, on, off, note: str = "",
          bar: tuple | None = None) -> None:
    """Records one goal. kind "min": the value must be >= required; "max": <=.
    `on` None means the goal could not be measured (a peer not installed)."""

    def ok(v):
        return v is not None and (v >= required if kind == "min" else v <= required)

    if on is None or ok(on):
        gap = None
    elif kind == "min":
        gap = 1 - on / required
    else:
        gap = on / required - 1
    goals.append({"goal": text, "table": table, "required": required, "kind": kind, "gc_on": on, "gc_off": off,
                  "met": ok(on), "met_gc_off": ok(off), "measured": on is not None, "gap": gap, "note": note,
                  "bar": bar})


def _times(need: float) -> str:
    return "at least as fast as" if need == 1 else f"{need:g}x as fast as"


def _ratio(rec: dict | None, variant: str, mode: str):
    if rec is None:
        return None
    return rec[f"{'fresh_' if variant == 'fresh' else ''}{mode}_ratio"]


def evaluate(results: dict) -> list[dict]:
    """The goals for `results` as bench.py builds it: per table the parse and
    stringify records by label, the memory figures and the linearity run."""
    goals: list[dict] = []
    for name, t in results["tables"].items():
        for names, label, need in PARSE_PEERS:
            if name in names:
                rec = t["parse"].get(label)
                note = "" if rec is None or rec["correct"] else f"{label} failed its round trip"
                _goal(goals, f"parse {_times(need)} {label}", name, need, "min", _ratio(rec, "warm", "gc_on"),
                      _ratio(rec, "warm", "gc_off"), note or ("" if rec else f"{label} not installed"),
                      ("parse", label, need))
        for names, label, variant, need in STRINGIFY_PEERS:
            if names is None or name in names:
                rec = t["stringify"].get(label)
                note = "" if rec is None or rec["correct"] else f"{label} failed its round trip"
                _goal(goals, f"stringify {_times(need)} {label} ({variant})", name, need, "min",
                      _ratio(rec, variant, "gc_on"), _ratio(rec, variant, "gc_off"),
                      note or ("" if rec else f"{label} not installed"),
                      ("stringify", label, need) if variant == "fresh" else None)
        for op, table, floor, most in FLOORS:
            if name == table:
                variant = "fresh" if op == "stringify" else "warm"
                rec = t[op][floor]
                _goal(goals, f"{op} within {most:g}x of the {floor}" + (" (fresh)" if variant == "fresh" else ""),
                      name, most, "max", 1 / _ratio(rec, variant, "gc_on"), 1 / _ratio(rec, variant, "gc_off"),
                      bar=(op, floor, 1 / most))

    mem, rss = results["memory"], results.get("rss", {})
    for name in results["tables"]:
        parse = mem[name]["parse"]["dwex.parse"]["ratio"]
        _goal(goals, "parse peak memory at most 1.1x its result", name, 1.1, "max", parse, None,
              "tracemalloc peak / size of the returned lists and strings")
        traced = mem[name]["stringify"]["dwex.stringify"]["ratio"]
        resident = rss.get(name, {}).get("stringify", {}).get("ratio")
        worst = max(traced, resident) if resident is not None else traced
        _goal(goals, "stringify peak memory at most the document + 8 bytes per leaf", name, 1.0, "max", worst, None,
              "larger of the tracemalloc and RSS peaks / (document + 8 bytes per leaf)")

    lin = results.get("linearity")
    if lin:
        top = max(lin["sizes"])
        sizes_note = "" if top >= 10**7 else f"sizes up to {top:.0e} items; 10^7 runs in make bench-deep"
        for op in ("parse", "stringify"):
            on, off = lin[op]["gc_on_max_abs_deviation"], lin[op]["gc_off_max_abs_deviation"]
            note = sizes_note
            if on > LINEAR_WITHIN:
                note = "; ".join(filter(None, [_linearity_context(results, op), sizes_note]))
            _goal(goals, f"{op} time per item linear within {LINEAR_WITHIN:.0%}", lin["table"], LINEAR_WITHIN, "max",
                  on, off, note)
    return goals


def _linearity_context(results: dict, op: str) -> str:
    """Beside a linearity miss: how far the peers and the floor at the same
    sizes strayed too, and, from a deep run, how far dwex's instructions per
    item did (flat instructions put the growth in the machine, not the work)."""
    lin = results["linearity"]
    others = [key for key in lin["order"][op] if key != op]
    text = "same sizes: " + ", ".join(f"{key} {lin[key]['gc_on_max_abs_deviation']:.0%}" for key in others)
    counted = results.get("callgrind_sizes", {}).get("ops", {}).get(f"dwex.{op}")
    if counted:
        text += (f"; dwex Ir/item {counted['gc_on_ir_max_abs_deviation']:.0%} "
                 f"[GC off {counted['gc_off_ir_max_abs_deviation']:.0%}]")
    return text


def _value(v, percent: bool) -> str:
    return "-" if v is None else f"{v:.1%}" if percent else f"{v:.2f}x"


def format_goal(g: dict) -> str:
    percent = "%" in g["goal"]
    value = _value(g["gc_on"], percent) + (f" [GC off {_value(g['gc_off'], percent)}]" if g["gc_off"] is not None
                                           else "")
    if not g["measured"]:
        status = "goal not measured:"
    elif g["met"]:
        status = "goal met:"
    else:
        status = "goal not yet reached:"
    extra = []
    if g["gap"] is not None and not percent:
        extra.append(f"{g['gap']:.0%} {'short' if g['kind'] == 'min' else 'over'}")
    if g["note"] and (not g["met"] or "bench-deep" in g["note"]):
        extra.append(g["note"])
    tail = f"  ({'; '.join(extra)})" if extra else ""
    return f"{status:22} {g['table']:7} {g['goal']:62} {value}{tail}"


def summary(goals: list[dict]) -> str:
    met = sum(g["met"] for g in goals)
    unmeasured = sum(not g["measured"] for g in goals)
    text = f"{met} of {len(goals)} goals met"
    return text + (f", {unmeasured} not measured" if unmeasured else "")
