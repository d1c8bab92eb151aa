"""Instructions per call of each vector kernel and of its plain twin on
aarch64, counted under qemu's user-mode emulator: with one instruction per
translation block and block chaining off, qemu logs one line per instruction
executed. Each kernel runs (bench/kernel_steps.cpp) at two repetition counts;
the difference of the two counts, over the difference of the repetitions, is
the instructions of one call, the program's start-up excluded.

Emulation says nothing about time: these are instruction counts only.

    python3 bench/kernel_insns.py [--binary build/cmake-aarch64-cross/dwex_kernel_steps]
"""

from __future__ import annotations

import argparse
import subprocess
import sys

FEW, MANY = 2, 12
CHUNK = 1 << 20


def instructions(qemu: str, binary: str, kernel: str, variant: str, repetitions: int) -> int:
    command = [qemu, "-one-insn-per-tb", "-d", "exec,nochain", "-D", "/dev/stdout",
               binary, kernel, variant, str(repetitions)]
    with subprocess.Popen(command, stdout=subprocess.PIPE) as run:
        assert run.stdout is not None
        count = 0
        tail = b""
        while chunk := run.stdout.read(CHUNK):
            # A line per executed instruction, each starting "Trace ".
            block = tail + chunk
            count += block.count(b"\nTrace ")
            tail = block[-6:]  # shorter than the mark, so none is counted twice
    if run.returncode != 0:
        raise SystemExit(f"kernel_insns: {' '.join(command)} exited with {run.returncode}")
    return count


def per_call(qemu: str, binary: str, kernel: str, variant: str) -> float:
    few = instructions(qemu, binary, kernel, variant, FEW)
    many = instructions(qemu, binary, kernel, variant, MANY)
    return (many - few) / (MANY - FEW)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--binary", default="build/cmake-aarch64-cross/dwex_kernel_steps")
    parser.add_argument("--qemu", default="qemu-aarch64")
    args = parser.parse_args()
    listing = subprocess.run([args.qemu, args.binary, "--list"], check=True,
                             capture_output=True, text=True).stdout.splitlines()
    units = listing.pop().split()[1]
    print(f"instructions per call on {units} units, aarch64 under qemu (g++ -O3)\n")
    print("| kernel | NEON | plain twin | twin / NEON |")
    print("|---|---:|---:|---:|")
    for kernel in listing:
        vector = per_call(args.qemu, args.binary, kernel, "vector")
        plain = per_call(args.qemu, args.binary, kernel, "plain")
        print(f"| {kernel} | {vector:,.0f} | {plain:,.0f} | {plain / vector:.2f}x |")
        sys.stdout.flush()


if __name__ == "__main__":
    main()
