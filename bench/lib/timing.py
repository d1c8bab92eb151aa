"""Timing: median seconds per call, with the collector on (as users run) and
off, the contenders interleaved round by round in one process so that a burst
of load on the shared machine falls on all of them alike."""

from __future__ import annotations

import gc
import mmap
import os
import statistics
import time
from collections.abc import Callable, Hashable
from typing import Any

MODES = (("gc_on", True), ("gc_off", False))
TARGET_SECONDS = 0.1  # length of one warm sample


def pin_to_one_core() -> None:
    """Runs this process (and the children it starts) on one core, the same
    one every time, so that a sample never migrates between caches."""
    if hasattr(os, "sched_setaffinity"):
        try:
            os.sched_setaffinity(0, {max(os.sched_getaffinity(0))})
        except OSError:
            pass


def _set_gc(on: bool) -> None:
    if on:
        gc.enable()
    else:
        gc.disable()


def _loop(fn: Callable[[Any], Any], arg: Any, number: int, gc_on: bool) -> float:
    """Seconds per call over `number` calls. Each result is dropped inside the
    loop, so its freeing counts, as it does for a caller that moves on."""
    was = gc.isenabled()
    _set_gc(gc_on)
    try:
        t0 = time.perf_counter()
        for _ in range(number):
            fn(arg)
        return (time.perf_counter() - t0) / number
    finally:
        _set_gc(was)


def _fresh_arg(fresh: Callable[[], Any]) -> Any:
    """A new argument, made with the collector off and then one young
    collection, so that the call starts, as a warm call does, with its input
    out of the young generation instead of in a young generation full of
    just-made rows."""
    was = gc.isenabled()
    gc.disable()
    try:
        arg = fresh()
    finally:
        _set_gc(was)
    gc.collect(0)
    return arg


def _yield() -> None:
    """Gives up the rest of this time slice, so that what follows starts on a
    whole one: on a shared core, a short sample that begins late in a slice
    is cut by another process's turn, at the same point in every round."""
    if hasattr(os, "sched_yield"):
        os.sched_yield()


def _fresh_loop(fn: Callable[[Any], Any], fresh: Callable[[], Any], number: int, gc_on: bool) -> float:
    """Seconds per call over `number` calls, each on a new argument made
    before its clock starts."""
    total = 0.0
    for _ in range(number):
        arg = _fresh_arg(fresh)
        _yield()
        total += _loop(fn, arg, 1, gc_on)
        del arg
    return total / number


def loops_for(fn: Callable[[Any], Any], arg: Any, target: float = TARGET_SECONDS) -> int:
    """The number of calls that takes at least `target` seconds, 1, 2, 5, 10, ..."""
    number = 1
    while True:
        for factor in (1, 2, 5):
            n = number * factor
            if _loop(fn, arg, n, True) * n >= target:
                return n
        number *= 10


def _summary(samples: list[float]) -> dict[str, float]:
    return {"median": statistics.median(samples), "min": min(samples), "max": max(samples), "n": len(samples)}


def fresh_loops(fresh: Callable[[], Any], number: int, target: float = TARGET_SECONDS,
                making: dict | None = None) -> int:
    """Calls per fresh sample: as many as the warm sample has, but no more than
    fit making their arguments into about `target` seconds (at least one).
    `making` keeps the seconds each maker takes, for the next entry that
    shares it."""
    making = {} if making is None else making
    if fresh not in making:
        times = []
        for _ in range(3):
            t0 = time.perf_counter()
            _fresh_arg(fresh)
            times.append(time.perf_counter() - t0)
        making[fresh] = min(times)
    return max(1, min(number, int(target / making[fresh])))


def time_many(calls: dict[Hashable, tuple], repeat: int, target: float = TARGET_SECONDS,
              screen: Callable[[dict], set] | None = None) -> dict:
    """Median seconds per call of every entry of `calls`, key -> (fn, arg) or
    (fn, arg, fresh). Each round runs every entry in turn, each with the
    collector on and then off; an entry with a `fresh` maker also gets a fresh sample per round and
    mode, each call on a new argument. Returns key -> {"warm": {mode:
    summary}, "fresh": {...} where timed, "number" and "fresh_number": calls
    per sample}. A sample lasts at least `target` seconds (one call at least).
    `screen`, given the samples of the first round (key -> {"warm": {mode:
    [seconds]}, ...}), returns the keys not to time again."""
    numbers = {key: loops_for(c[0], c[1], target) for key, c in calls.items()}
    fresh_numbers = {}
    making: dict = {}
    samples: dict = {key: {"warm": {m: [] for m, _ in MODES}} for key in calls}
    for key, c in calls.items():
        if len(c) > 2 and c[2] is not None:
            samples[key]["fresh"] = {m: [] for m, _ in MODES}
            fresh_numbers[key] = fresh_loops(c[2], numbers[key], target, making)
    active = dict(calls)
    for round_ in range(repeat):
        if round_ == 1 and screen is not None:
            for key in screen(samples):
                active.pop(key, None)
        for key, c in active.items():
            fn, arg = c[0], c[1]
            # One entry's two modes back to back: the machine's speed drifts
            # within a round, and a drift between them would read as the
            # collector's doing.
            for mode, gc_on in MODES:
                _yield()
                samples[key]["warm"][mode].append(_loop(fn, arg, numbers[key], gc_on))
            if "fresh" in samples[key]:
                for mode, gc_on in MODES:
                    samples[key]["fresh"][mode].append(_fresh_loop(fn, c[2], fresh_numbers[key], gc_on))
    out = {}
    for key in calls:
        out[key] = {"number": numbers[key], "fresh_number": fresh_numbers.get(key)}
        for kind, by_mode in samples[key].items():
            out[key][kind] = {mode: _summary(s) for mode, s in by_mode.items()}
    return out


def free_cost(make: Callable[[], Any], repeat: int = 5) -> float:
    """Median seconds to free one result of `make()`: every loads figure
    includes it, since each call's result is dropped inside the timed loop."""
    times = []
    for _ in range(repeat):
        r = make()
        t0 = time.perf_counter()
        del r
        times.append(time.perf_counter() - t0)
    return statistics.median(times)


def minor_faults(fn: Callable[[Any], Any], arg: Any, number: int) -> float | None:
    """Minor page faults per call, collector off, after one call that settles
    the allocator. Each is a page the process had not touched (the allocator
    gives back to the system the memory a freed result held, and maps new
    memory for the next), which the kernel clears on first touch. None where
    the system does not count them."""
    try:
        import resource
    except ImportError:
        return None
    was = gc.isenabled()
    gc.disable()
    try:
        fn(arg)
        before = resource.getrusage(resource.RUSAGE_SELF).ru_minflt
        for _ in range(number):
            fn(arg)
        return (resource.getrusage(resource.RUSAGE_SELF).ru_minflt - before) / number
    finally:
        _set_gc(was)


def page_fault_seconds(pages: int = 4096, repeat: int = 5) -> float:
    """Median seconds that the first touch of a new page costs here, less the
    cost of the loop that touches it."""
    step = mmap.PAGESIZE
    size = pages * step
    samples = []
    for _ in range(repeat):
        with mmap.mmap(-1, size) as m:
            t0 = time.perf_counter()
            for at in range(0, size, step):
                m[at] = 1
            first = time.perf_counter() - t0
            t0 = time.perf_counter()
            for at in range(0, size, step):
                m[at] = 1
            again = time.perf_counter() - t0
        samples.append(max(0.0, first - again) / pages)
    return statistics.median(samples)


def interleaved(contenders: dict[str, Callable[[], Any]], rounds: int) -> dict[str, float]:
    """The median seconds of each contender, run in turn round after round so
    that the machine's drift reaches all of them alike."""
    times: dict[str, list[float]] = {name: [] for name in contenders}
    for _ in range(rounds):
        for name, run in contenders.items():
            start = time.perf_counter()
            run()
            times[name].append(time.perf_counter() - start)
    return {name: statistics.median(t) for name, t in times.items()}
