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
    if "sweep" in results:
        goals += evaluate_sweep(results["sweep"])
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


# ------------------------------------------------------------------ the sweep

SWEEP_MEDIAN = 1.3  # at least this ratio at the median over the shapes
SWEEP_EXTRA_PER_CHAR = 1.3  # stringify's extra time per character at 10^7, in join floors'


def evaluate_sweep(sweep: dict) -> list[dict]:
    """The sweep's goals: against every peer, in both directions and both
    process states, at least as fast on every shape and 1.3x at the median
    (stringify on new strings; on the same strings, against the UTF-8 caches,
    only where dwex's document is 1 byte a character); one leaf write per
    leaf; and at 10^7 items, stringify's extra time per output character and
    parse's growth held to the floors'."""
    goals: list[dict] = []
    states = sweep["summary"]["states"]
    for direction in ("parse", "stringify", "stringify warm"):
        labels = dict.fromkeys(label for per in states.values() for label, v in per[direction].items()
                               if not v["floor"])
        variant = {"parse": "", "stringify": " (fresh)", "stringify warm": " (warm)"}[direction]
        where = "every 1-byte shape" if direction == "stringify warm" else "every shape"
        for label in labels:
            figures = [(state, per[direction][label]) for state, per in states.items() if label in per[direction]]
            state, worst = min(figures, key=lambda f: f[1]["worst"])
            off = min(f[1]["worst_gc_off"] for f in figures)
            op = direction.split()[0]
            _goal(goals, f"{op} at least as fast as {label} on {where}, {_both(states)}{variant}", "sweep", 1.0,
                  "min", worst["worst"], off, f"worst: {worst['worst_shape']}, {state} process")
            if direction == "stringify warm":
                continue
            state, low = min(figures, key=lambda f: f[1]["median"])
            _goal(goals, f"{op} {SWEEP_MEDIAN:g}x as fast as {label} at the median shape, {_both(states)}{variant}",
                  "sweep", SWEEP_MEDIAN, "min", low["median"], min(f[1]["median_gc_off"] for f in figures),
                  f"lower median: {state} process")

    lw = sweep.get("leaf_writes", {})
    _goal(goals, "stringify writes each leaf once (writes per leaf, worst shape)", "sweep", 1.0, "max",
          lw.get("worst") if lw.get("measured") else None, None,
          f"worst: {lw['worst_shape']}" if lw.get("measured") else lw.get("why", "not measured"))

    for name, fig in sweep.get("huge_figures", {}).items():
        span = f"{fig['small']:.0e} to {fig['large']:.0e} items"
        on, off = fig["gc_on"], fig["gc_off"]
        per_char = on["stringify_per_char"]
        _goal(goals, f"stringify extra ns per character, {span}, within {SWEEP_EXTRA_PER_CHAR:g}x the join floor's",
              name, SWEEP_EXTRA_PER_CHAR, "max", on["stringify_extra_ratio"], off["stringify_extra_ratio"],
              f"dwex {per_char['stringify']['extra_ns']:+.2f} ns, floor {per_char[JOIN_FLOOR]['extra_ns']:+.2f} ns "
              "a character")
        growth = on["parse_growth"]
        _goal(goals, f"parse time per item growth, {span}, within the split floor's", name, 1.0, "max",
              on["parse_growth_ratio"], off["parse_growth_ratio"],
              f"dwex {growth['parse']:.2f}x, floor {growth[SPLIT_FLOOR]:.2f}x")
    return goals


def _both(states: dict) -> str:
    return "both states" if len(states) > 1 else f"{next(iter(states))} process"
