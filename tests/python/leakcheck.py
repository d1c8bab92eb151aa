"""Leak and out-of-memory checks shared by the test files: a repetition check
that watches the interpreter's reference total and allocated blocks, and a sweep
of injected allocation failures that runs in a child interpreter."""

import gc
import importlib.util
import json
import os
import subprocess
import sys
import textwrap

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


# The child runs `call` once for every k from 0 up: `prepare()` builds fresh
# arguments with memory intact, `set_nomemory(k)` lets k allocations succeed
# and fails all later ones, and the hooks come off before anything is judged or
# printed. One JSON line per k lets the parent name the k at which a crash hit.
_CHILD = """\
import gc, json, sys, _testcapi
sys.path.insert(0, {lib!r})
gc.disable()
{setup}

def _attempt(k):
    arg = prepare()
    result = error = None
    _testcapi.set_nomemory(k)
    try:
        result = {call}
    except BaseException as exc:
        error = exc
    finally:
        _testcapi.remove_mem_hooks()
    return result, error

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
    return {{"k": k, "type": type(error).__name__, "message": str(error),
             "entries": _module_entries(error)}}

first_ok = None
for k in range({limit}):
    result, error = _attempt(k)
    record = _record(k, result, error)
    del result, error
    print(json.dumps(record), flush=True)
    if first_ok is None and "ok" in record:
        first_ok = k
    if first_ok is not None and k >= first_ok + {margin}:
        break
# With memory back, the same call must still give the right outcome.
result, error = _attempt(-1) if False else (None, None)
arg = prepare()
try:
    result = {call}
except BaseException as exc:
    error = exc
record = _record("after", result, error)
print(json.dumps(record), flush=True)
"""


def nomemory_sweep(setup, call, check, *, entries, error=None, margin=25, limit=20000,
                   timeout=240):
    """Runs `call` (an expression of `arg`) in a fresh interpreter under
    `_testcapi.set_nomemory(k)` for k = 0, 1, ... until it succeeds, plus
    `margin` more. `setup` is source run first in the child; it defines
    `prepare()`, which returns a fresh `arg` for every attempt. On success
    `check` (an expression of `result`) must be true. Otherwise the call must
    raise MemoryError, or `error` = (type name, message) when the call is
    meant to fail. Never SystemError (a result with an exception set, or no
    result without one), never a crash, and the module adds at most one
    traceback entry, whose (function, line) must be in `entries`.
    Returns the number of k values tried."""
    script = _CHILD.format(lib=module_dir(), setup=textwrap.dedent(setup), call=call,
                           check=check, limit=limit, margin=margin)
    env = dict(os.environ, PYTHONHASHSEED="0")
    proc = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True,
                          env=env, timeout=timeout)
    records = [json.loads(line) for line in proc.stdout.splitlines() if line.startswith("{")]
    last_k = next((r["k"] for r in reversed(records) if r["k"] != "after"), None)
    assert proc.returncode == 0, (
        f"child ended with status {proc.returncode} after k={last_k} "
        f"(so at k={0 if last_k is None else last_k + 1}):\n{proc.stderr[-3000:]}")
    assert records and records[-1]["k"] == "after", f"child printed no final check:\n{proc.stderr[-3000:]}"

    allowed = {tuple(entry) for entry in entries}
    faults = []
    for record in records:
        if "ok" in record:
            if not record["ok"]:
                faults.append((record["k"], "succeeded with a wrong result"))
            continue
        outcome = (record["type"], record["message"])
        if record["type"] == "MemoryError" and record["k"] != "after":
            pass
        elif error is None or outcome != tuple(error):
            faults.append((record["k"], f"raised {outcome}"))
            continue
        module_entries = [tuple(entry) for entry in record["entries"]]
        if len(module_entries) > 1 or not set(module_entries) <= allowed:
            faults.append((record["k"], f"{record['type']} with module entries {module_entries}"))
        if record["type"] != "MemoryError" and not module_entries:
            faults.append((record["k"], f"{record['type']} without the module's entry"))
    assert not faults, f"{len(faults)} faulty outcomes, first ones: {faults[:8]}"
    succeeded = [r for r in records if "ok" in r and r["k"] != "after"]
    if error is None:
        assert succeeded, f"no success below k={limit}"
    return len(records) - 1
