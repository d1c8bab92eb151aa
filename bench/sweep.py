"""The shape sweep alone (lib/sweeps.py; `make bench` runs it as part of
bench.py):

    tools/run python3.15 bench/sweep.py [--quick] [--shapes a,b] [--states fresh]

which prints the sweep's report and goals and writes build/bench/sweep.json.
--quick makes every shape about ten times smaller, for a check that it runs."""

from __future__ import annotations

import argparse
import json
import os
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent / "lib"))
import places  # noqa: E402

places.use_build()

import goals  # noqa: E402
import report  # noqa: E402
import shapes  # noqa: E402
import sweeps  # noqa: E402
import timing  # noqa: E402


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--quick", action="store_true", help="shapes about ten times smaller, 10^3 to 10^5 items")
    ap.add_argument("--deep", action="store_true", help="shapes ten times larger, 10^5 to 10^7 items")
    ap.add_argument("--repeat", type=int, default=3, help="interleaved rounds; the median is reported")
    ap.add_argument("--shapes", help="comma-separated names of the shapes to run (default: all)")
    ap.add_argument("--states", default=",".join(sweeps.STATES), help="process states to run in: fresh, worked")
    ap.add_argument("--no-huge", action="store_true", help="leave out the run at 10^7 items")
    args = ap.parse_args()

    names = args.shapes.split(",") if args.shapes else None
    known = [name for name, _ in shapes.builders()]
    unknown = [n for n in names or () if n not in known]
    if unknown:
        raise SystemExit(f"unknown shape(s) {', '.join(unknown)}; the shapes are: {', '.join(known)}")
    states = args.states.split(",")
    if any(s not in sweeps.STATES for s in states):
        raise SystemExit(f"--states takes {', '.join(sweeps.STATES)}")
    timing.pin_to_one_core()
    plan = sweeps.plan_for(args.quick, args.deep, args.repeat, states, names, not args.no_huge)
    print(f"dwex shape sweep  commit {report.commit()}; load average {os.getloadavg()[0]:.2f} at start")
    sweep = sweeps.run(plan)
    report.print_sweep(sweep)
    verdicts = goals.evaluate_sweep(sweep)
    report.print_goals(verdicts)
    print(f"\n{goals.summary(verdicts)}; load average {sweep['load_average_end'][0]:.2f} at the end; "
          f"{sweep['seconds']:.0f} s")
    places.OUT.mkdir(parents=True, exist_ok=True)
    path = places.OUT / "sweep.json"
    path.write_text(json.dumps({"sweep": sweep, "goals": verdicts}, indent=1, default=str))
    print(f"results: {path.relative_to(places.REPO)}")


if __name__ == "__main__":
    main()
