"""Leak and out-of-memory checks shared by the test files: a repetition check
that watches the interpreter's reference total and allocated blocks, and a sweep
of injected allocation failures that runs in a child interpreter."""

import gc
import importlib.util
import json
import os
import pathlib
import subprocess
import sys
import textwrap
from concurrent.futures import ThreadPoolExecutor

IS_DEBUG = hasattr(sys, "gettotalrefcount")

# Deltas are kept in pooled ints so that storing them allocates nothing that a
# later round would count.
_INT_POOL = {value: value for value in range(-1000, 1000)}


def _pooled(value):
    return _INT_POOL.setdefault(value, value)


def _settle():
    if hasattr(sys, "_clear_internal_caches"):
        sys._clear_internal_caches()
    gc.collect()


def _allocated_blocks():
    blocks = sys.getallocatedblocks()
    try:
        # Strings interned for good during a round live until shutdown.
        blocks -= sys.getunicodeinternedsize(_only_immortal=True)
    except (AttributeError, TypeError):
        pass
    return blocks


def assert_no_leak(func, *, calls=20, warmups=3, runs=3):
    """Runs `func` `calls` times per round: `warmups` rounds that fill caches
    and free lists, then `runs` measured rounds. Fails if the total reference
    count (debug interpreters only) or the number of allocated memory blocks
    grew in every measured round. A leak grows each round; caches settle, and
    free-list noise goes up and down."""
    ref_deltas = [0] * runs
    block_deltas = [0] * runs
    rounds = list(range(warmups + runs))
    refs_before = blocks_before = 0
    for index in rounds:
        for _ in range(calls):
            func()
        _settle()
        blocks_after = _allocated_blocks()
        refs_after = sys.gettotalrefcount() if IS_DEBUG else 0
        if index >= warmups:
            ref_deltas[index - warmups] = _pooled(refs_after - refs_before)
            block_deltas[index - warmups] = _pooled(blocks_after - blocks_before)
        refs_before, blocks_before = refs_after, blocks_after
    problems = []
    if IS_DEBUG and all(delta >= 1 for delta in ref_deltas):
        problems.append(f"reference total grew every round: {ref_deltas}")
    if all(delta >= 1 for delta in block_deltas):
        problems.append(f"allocated blocks grew every round: {block_deltas}")
    assert not problems, f"{calls} calls per round; " + "; ".join(problems)


def module_dir():
    """The directory the dwex module under test is loaded from (conftest put it on sys.path)."""
    return os.path.dirname(importlib.util.find_spec("dwex").origin)


def native_faults_dir():
    """The directory of the Arrow module built to fail its own allocations on
    request (build/lib-faults beside build/lib), or None where it is absent."""
    found = pathlib.Path(module_dir() + "-faults") / "dwexio"
    return str(found) if any(found.glob("_native*.so")) else None


# How a child makes allocation number k fail (and every later one too, unless
# only that one is to fail), and lets every allocation succeed again: the
# interpreter's allocators through _testcapi, or the operator new and byte
# buffers of dwexio's native test build, loaded as dwexio._native before
# dwexio is imported.
_INJECTORS = {
    "interpreter": ("import _testcapi",
                    "_testcapi.set_nomemory(k, {stop})", "_testcapi.remove_mem_hooks()"),
    "native": ("import glob, importlib.util\n"
               "_spec = importlib.util.spec_from_file_location(\n"
               "    'dwexio._native', glob.glob({faults!r} + '/_native*.so')[0])\n"
               "_native = sys.modules['dwexio._native'] = importlib.util.module_from_spec(_spec)\n"
               "_spec.loader.exec_module(_native)",
               "_native._fail_allocations(k, {stop})", "_native._fail_allocations(-1, 0)"),
}

# Attempts in each block of a child's leak check.
_REPEATS = 4

# A child runs `call` once for every k of its range: `prepare()` builds fresh
# arguments with memory intact, allocation number k fails as the injector
# makes it, and the failures stop before anything is judged or printed. One
# JSON line per k lets the parent name the k at which a crash hit. With
# `leaks` (a debug interpreter's), each k is tried again in two blocks of
# attempts whose reference totals are kept, less the most that blocks of
# attempts with memory intact grew it (the interpreter's caches settle
# slowly): a path that leaks when allocation k fails grows the total in both
# by at least one an attempt. The loop ends once `margin` outcomes in a
# row were not MemoryError; with `final`, one attempt with memory intact
# follows.
_CHILD = """\
import gc, json, sys
sys.path.insert(0, {lib!r})
gc.disable()
{inject}
{setup}

def _attempt(k):
    arg = prepare()
    result = error = None
    if k is not None:
        {arm}
    try:
        result = {call}
    except BaseException as exc:
        error = exc
    finally:
        {disarm}
    return result, error

_REPEATS = {repeats}

def _growth(k, blocks=2):
    for _ in range(2):
        _attempt(k)
    deltas = []
    for _ in range(blocks):
        gc.collect()
        before = sys.gettotalrefcount()
        for _ in range(_REPEATS):
            _attempt(k)
        gc.collect()
        deltas.append(sys.gettotalrefcount() - before - _BASE)
    return deltas

_BASE = 0
if {leaks}:
    _BASE = max(_growth(None, blocks=4))

def _module_entries(error):
    entries, tb = [], error.__traceback__
    while tb is not None:
        code = tb.tb_frame.f_code
        if code.co_filename == "dwex":
            entries.append([code.co_name, tb.tb_lineno])
        tb = tb.tb_next
    return entries

def _record(k, result, error):
    if error is None:
        return {{"k": k, "ok": bool({check})}}
    # A consumer's own MemoryError subclass counts as MemoryError.
    kind = "MemoryError" if isinstance(error, MemoryError) else type(error).__name__
    return {{"k": k, "type": kind, "message": str(error), "entries": _module_entries(error)}}

streak = 0
for k in range({first}, {end}):
    record = _record(k, *_attempt(k))
    # The error and the frame in its traceback hold each other. Freed at once,
    # MemoryError goes back to the interpreter's free list; left to pile up,
    # they leave the shared last-resort instance collecting entries attempt
    # after attempt.
    gc.collect()
    if {leaks} and record.get("type") == "MemoryError":
        record["growth"] = _growth(k)
    print(json.dumps(record), flush=True)
    streak = 0 if record.get("type") == "MemoryError" else streak + 1
    if streak > {margin}:
        break
if {final}:
    print(json.dumps(_record("after", *_attempt(None))), flush=True)
"""


def _run_child(setup, call, check, *, first, end, margin, final, only_one, timeout, injector,
               leaks):
    """Runs one child over k in [first, end); returns (records, crash report or None)."""
    stop = "k + 1" if only_one else "0"
    inject, arm, disarm = (part.format(stop=stop, faults=native_faults_dir())
                           for part in _INJECTORS[injector])
    script = _CHILD.format(lib=module_dir(), setup=textwrap.dedent(setup), call=call,
                           check=check, first=first, end=end, margin=margin, final=final,
                           inject=inject, arm=arm, disarm=disarm, leaks=leaks, repeats=_REPEATS)
    env = dict(os.environ, PYTHONHASHSEED="0")
    proc = subprocess.run([sys.executable, "-S", "-c", script], capture_output=True, text=True,
                          env=env, timeout=timeout)
    records = [json.loads(line) for line in proc.stdout.splitlines() if line.startswith("{")]
    crash = None
    if proc.returncode != 0:
        crash = (f"child ended with status {proc.returncode} at k={first + len(records)}:\n"
                 f"{proc.stderr[-3000:]}")
    return records, crash


def _faults(records, *, check_entries, error):
    """What is wrong with the outcomes: see nomemory_sweep."""
    faults = []
    for record in records:
        k = record["k"]
        if min(record.get("growth", [0])) >= _REPEATS:
            faults.append((k, f"reference total grew by {record['growth']} in blocks of {_REPEATS}"))
        if "ok" in record:
            if error is not None:
                faults.append((k, "succeeded, but the call should fail"))
            elif not record["ok"]:
                faults.append((k, "succeeded with a wrong result"))
            continue
        module_entries = [tuple(entry) for entry in record["entries"]]
        if record["type"] == "MemoryError" and k != "after":
            if not check_entries(module_entries):
                faults.append((k, f"MemoryError with module entries {module_entries}"))
        elif error is None or (record["type"], record["message"]) != tuple(error[:2]):
            faults.append((k, f"{record['type']}: {record['message']}"))
        elif module_entries != [tuple(error[2])]:
            faults.append((k, f"{record['type']} with module entries {module_entries}"))
    return faults


def nomemory_sweep(setup, call, check, *, entries, error=None, only_one=False,
                   entry_required=False, fresh=False, margin=25, limit=20000, timeout=240,
                   injector="interpreter", leaks=False):
    """Runs `call` (an expression of `arg`) under `_testcapi.set_nomemory` for
    k = 0, 1, ... until `margin` attempts in a row got past the memory
    failures. Allocation number k fails, and with it every later one; with
    `only_one`, that allocation alone. All attempts run in one fresh
    interpreter, followed by one attempt with memory intact; with `fresh`,
    every attempt runs in an interpreter of its own (for calls such as an
    import, whose first success ends what later attempts in the same process
    could reach). `setup` is source run first in each child; it defines
    `prepare()`, which returns a fresh `arg` for every attempt.

    Without `error` the call must succeed with `check` (an expression of
    `result`) true, or raise MemoryError. With `error` = (type name, message,
    (function, line)) it must raise that error with exactly that module
    traceback entry, or MemoryError. Never anything else (SystemError is what
    a result with an exception set, or no result without one, turns into),
    never a crash. A MemoryError carries at most one module entry, whose
    (function, line) is in `entries`. With `entry_required` it must carry one:
    fair only when one allocation fails (so the entry itself can be made) and
    every allocation of the call happens inside the module's function.

    `injector` "native" fails the allocations of the Arrow module's test build
    (native_faults_dir()) instead of the interpreter's. With `leaks` (a debug
    interpreter only), no failing k may leave the reference total growing.

    Returns the sorted (function, line) entries seen on MemoryErrors."""
    allowed = {tuple(entry) for entry in entries}

    def check_entries(found):
        return (len(found) <= 1 and set(found) <= allowed
                and (found or not entry_required))

    options = dict(only_one=only_one, timeout=timeout, injector=injector, leaks=leaks and IS_DEBUG)
    if fresh:
        records = []
        with ThreadPoolExecutor(max_workers=2) as pool:
            streak, k = 0, 0
            while streak <= margin and k < limit:
                batch = range(k, min(k + 8, limit))
                for found, crash in pool.map(
                        lambda first: _run_child(setup, call, check, first=first, end=first + 1,
                                                 margin=0, final=False, **options), batch):
                    assert crash is None, crash
                    records.extend(found)
                    streak = 0 if found[0].get("type") == "MemoryError" else streak + 1
                k = batch[-1] + 1
    else:
        records, crash = _run_child(setup, call, check, first=0, end=limit, margin=margin,
                                    final=True, **options)
        assert crash is None, crash
        assert records and records[-1]["k"] == "after", "no attempt with memory intact"
    faults = _faults(records, check_entries=check_entries, error=error)
    assert not faults, f"{len(faults)} faulty outcomes, first ones: {faults[:8]}"
    tried = [r for r in records if r["k"] != "after"]
    assert len(tried) < limit, f"still failing at k={limit}"
    return sorted({tuple(e) for r in tried if r.get("type") == "MemoryError"
                   for e in r["entries"]})


def traced_peak(call):
    """`call()`'s result and the most memory that tracemalloc saw it hold at
    once beyond what was held before it."""
    import tracemalloc

    tracemalloc.start()
    try:
        gc.collect()
        tracemalloc.reset_peak()
        base = tracemalloc.get_traced_memory()[0]
        result = call()
        peak = tracemalloc.get_traced_memory()[1] - base
    finally:
        tracemalloc.stop()
    return result, peak
