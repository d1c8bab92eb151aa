"""Differential fuzzing of parse and stringify against the reference model,
and of read_arrow on threads against read_arrow on one (arrow_threads.py).

    python differential.py --seconds N [--jobs J] [--seed S] [--save DIR] [--target T]
    python differential.py --cases N --seed S     (a fixed set of cases)

Runs J worker interpreters for N seconds, each on its own seed, and prints
"fuzz: N cases, M mismatches". A worker writes every case to a shared page
before running it, so a case that crashes the interpreter is still known;
every mismatch is shrunk first. Each failing case is saved in DIR (by default
tests/fuzz/regressions, or regressions-arrow for read_arrow) under a name
made from its content; the replay tests in tests/python run every saved case.
`--target all` gives each target half the seconds. Cases that may run into a fault that is
known and not fixed yet (cases.KNOWN_FAULTS) are left out unless --with-known.
"""

import argparse
import ast
import hashlib
import json
import mmap
import random
import struct
import subprocess
import sys
import tempfile
import time
from collections import Counter
from pathlib import Path

HERE = Path(__file__).resolve().parent
REGRESSIONS = HERE / "regressions"
STATE_SIZE = 1 << 22

sys.path.insert(0, str(HERE))


# The module is imported inside the functions that the workers run: the
# parent process never loads it, so a crash can only take a worker down.


def category(c):
    """A coarse label of a case and the module's outcome, for the statistics."""
    import dwex

    from cases import Build, bind, make, restore

    try:
        if c[0] == "parse":
            top = max(map(ord, c[1]), default=0)
            label = f"parse kind {1 if top < 0x100 else 2 if top < 0x10000 else 4}"
            bind("ErrUnexpectedEndOfInput", c[2])
            dwex.parse(c[1])
        else:
            label = f"stringify {c[1][0]} table"
            bind("HEX", c[2])
            dwex.stringify(make(Build(), c[1]))
        what = "result"
    except Exception as exc:  # noqa: BLE001 - the outcome is only counted
        what = type(exc).__name__
    finally:
        restore()
    return f"{label}: {what}"


def fuzz(seed, *, target="model", seconds=None, count=None, on_case=None, shrink_seconds=10.0,
         with_known=False):
    """Runs generated cases of `target` in this interpreter until `seconds`
    pass or `count` cases ran. Returns (cases run, [(shrunk case, problems)],
    statistics)."""
    from generate import shrink

    if target == "arrow":
        import arrow_threads

        def new_case(rng, corpus):
            return arrow_threads.new_case(rng)

        def known_fault(c):
            return None

        run_case, label, variants = arrow_threads.run_case, arrow_threads.category, arrow_threads.variants
    else:
        from cases import known_fault, run_case
        from generate import case as new_case

        label, variants = category, None

    rng = random.Random(seed)
    corpus, failures, stats = [], [], Counter()
    deadline = time.monotonic() + seconds if seconds is not None else None
    n = 0
    while (count is None or n < count) and (deadline is None or time.monotonic() < deadline):
        c = new_case(rng, corpus)
        if not with_known and known_fault(c):
            continue
        if on_case is not None:
            on_case(c)
        problems = run_case(c)
        n += 1
        if n % 16 == 0:
            stats[label(c)] += 1
        if c[0] == "parse" and len(c[1]) < 400 and (len(corpus) < 2000 or rng.random() < 0.05):
            if len(corpus) >= 2000:
                corpus[rng.randrange(len(corpus))] = c[1]
            else:
                corpus.append(c[1])
        if problems:
            small = shrink(c, lambda v: bool(run_case(v)), shrink_seconds, variants)
            failures.append((small, run_case(small) or problems))
    return n, failures, stats


def save(c, problems, directory, prefix=""):
    from cases import dump

    text = dump(c, problems)
    name = f"{prefix}{c[0]}-{hashlib.sha1(ascii(c).encode()).hexdigest()[:12]}.case"
    directory.mkdir(parents=True, exist_ok=True)
    path = directory / name
    if not path.exists():
        path.write_text(text)
    return path


# ---------------------------------------------------------------- worker


def worker(seed, seconds, count, with_known, state_path, target):
    with open(state_path, "r+b") as f:
        page = mmap.mmap(f.fileno(), STATE_SIZE)

    ran = 0

    def remember(c):
        # The page holds the cases run so far, then the case about to run.
        nonlocal ran
        data = ascii(c).encode()[:STATE_SIZE - 16]
        page[16:16 + len(data)] = data
        page[0:16] = struct.pack("<QQ", ran, len(data))
        ran += 1

    n, failures, stats = fuzz(seed, target=target, seconds=seconds, count=count, on_case=remember,
                              with_known=with_known)
    for c, problems in failures:
        print(json.dumps({"case": ascii(c), "problems": problems}), flush=True)
    print(json.dumps({"cases": n, "stats": dict(stats)}), flush=True)


# ---------------------------------------------------------------- parent


def run_workers(seconds, jobs, seed, directory, *, count=None, with_known=False, verbose=True,
                target="model"):
    """Runs the workers; returns (cases, mismatches, saved paths, statistics)."""
    deadline = time.monotonic() + seconds
    total, mismatches, saved, stats = 0, 0, [], Counter()
    with tempfile.TemporaryDirectory() as tmp:
        running = {}
        next_seed = seed

        def start(slot):
            nonlocal next_seed
            state = Path(tmp) / f"state{slot}"
            state.write_bytes(b"\0" * STATE_SIZE)
            left = max(1.0, deadline - time.monotonic())
            command = [sys.executable, "-X", "faulthandler", __file__, "--worker", str(next_seed),
                       "--seconds", str(left), "--state", str(state), "--target", target]
            if count is not None:
                command += ["--cases", str(count)]
            if with_known:
                command.append("--with-known")
            proc = subprocess.Popen(command, stdout=subprocess.PIPE, text=True)
            running[slot] = (proc, state, next_seed)
            next_seed += 1

        for slot in range(jobs):
            start(slot)
        while running:
            for slot, (proc, state, worker_seed) in list(running.items()):
                try:
                    out, _ = proc.communicate(timeout=max(1.0, deadline - time.monotonic() + 120))
                except subprocess.TimeoutExpired:
                    proc.kill()
                    out, _ = proc.communicate()
                del running[slot]
                done = False
                for line in out.splitlines():
                    record = json.loads(line)
                    if "cases" in record:
                        total += record["cases"]
                        stats.update(record["stats"])
                        done = True
                    else:
                        mismatches += 1
                        c = ast.literal_eval(record["case"])
                        saved.append(save(c, record["problems"], directory))
                if not done:
                    # The interpreter died (or hung) on the case in the shared page.
                    mismatches += 1
                    data = state.read_bytes()
                    ran, size = struct.unpack("<QQ", data[:16])
                    why = f"worker (seed {worker_seed}) ended with status {proc.returncode}"
                    if size == 0:
                        why += " before its first case"
                    else:
                        total += ran + 1
                        c = ast.literal_eval(data[16:16 + size].decode())
                        saved.append(save(c, [why], directory, prefix="crash-"))
                    if verbose:
                        print(f"fuzz: {why}", file=sys.stderr)
                    if count is None and time.monotonic() < deadline - 1:
                        start(slot)
    return total, mismatches, saved, stats


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--seconds", type=float, default=60)
    parser.add_argument("--cases", type=int, default=None, help="cases per worker (then no time limit)")
    parser.add_argument("--with-known", action="store_true", help="also cases of known faults")
    parser.add_argument("--jobs", type=int, default=1)
    parser.add_argument("--seed", type=int, default=None)
    parser.add_argument("--save", type=Path, default=None,
                        help="where failing cases go (by default the target's regressions directory)")
    parser.add_argument("--target", choices=["model", "arrow", "all"], default="model")
    parser.add_argument("--stats", action="store_true", help="print the cases run by category")
    parser.add_argument("--worker", type=int, help=argparse.SUPPRESS)
    parser.add_argument("--state", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.cases is not None and args.worker is None:
        args.seconds = 24 * 3600.0
    if args.worker is not None:
        worker(args.worker, args.seconds, args.cases, args.with_known, args.state, args.target)
        return 0
    seed = args.seed if args.seed is not None else random.SystemRandom().randrange(1 << 30)
    targets = ["model", "arrow"] if args.target == "all" else [args.target]
    failed = False
    for target in targets:
        directory = args.save or (HERE / "regressions-arrow" if target == "arrow" else REGRESSIONS)
        total, mismatches, saved, stats = run_workers(args.seconds / len(targets), args.jobs, seed, directory,
                                                      count=args.cases, with_known=args.with_known,
                                                      target=target)
        if args.stats:
            for name, n in sorted(stats.items()):
                print(f"  {name}: ~{n * 16}")
        for path in dict.fromkeys(saved):
            print(f"saved {path.relative_to(Path.cwd()) if path.is_relative_to(Path.cwd()) else path}")
        print(f"seed {seed}, {args.jobs} workers" + (f", {target}" if len(targets) > 1 else ""))
        print(f"fuzz: {total} cases, {mismatches} mismatches")
        failed = failed or mismatches > 0
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
