"""The differential fuzzer's saved cases, replayed against the reference model,
and a short fuzz run on fixed seeds. Each saved case runs in a child, so that
one that crashes the interpreter fails its own test, not the test run."""

import os
import subprocess
import sys
from pathlib import Path

import pytest

import dwex

FUZZ = Path(__file__).resolve().parents[2] / "fuzz"
sys.path.insert(0, str(FUZZ))

import cases  # noqa: E402  (needs the fuzz directory on the path)

SAVED = sorted((FUZZ / "regressions").glob("*.case"))
KNOWN = {name: reason for reason, _, names in cases.KNOWN_FAULTS.values() for name in names}
# The children test the module that this interpreter imported.
ENV = dict(os.environ, DWEX_LIB=str(Path(dwex.__file__).resolve().parent))

_REPLAY = """
import sys
sys.path.insert(0, sys.argv[1])
import cases
problems = cases.run_case(cases.load(sys.argv[2]))
print("\\n".join(problems))
sys.exit(1 if problems else 0)
"""


def _param(path):
    marks = []
    if path.name in KNOWN:
        # Expected to fail until the fault is fixed; then drop its KNOWN_FAULTS entry.
        marks.append(pytest.mark.xfail(strict=True, reason=KNOWN[path.name]))
    return pytest.param(path, id=path.stem, marks=marks)


def test_known_faults_name_saved_cases():
    assert set(KNOWN) <= {path.name for path in SAVED}


@pytest.mark.parametrize("path", [_param(path) for path in SAVED])
def test_saved_case(path):
    proc = subprocess.run([sys.executable, "-X", "faulthandler", "-c", _REPLAY, str(FUZZ), str(path)],
                          capture_output=True, text=True, env=ENV, timeout=300)
    assert proc.returncode == 0, (f"status {proc.returncode}\n{proc.stdout[-3000:]}"
                                  f"{proc.stderr[-3000:]}")


def test_short_differential_run(tmp_path):
    # Fixed seeds: the same few thousand cases on every run. `make fuzz` explores.
    proc = subprocess.run(
        [sys.executable, str(FUZZ / "differential.py"), "--cases", "2500", "--jobs", "2",
         "--seed", "20250101", "--save", str(tmp_path)],
        capture_output=True, text=True, env=ENV, timeout=600)
    saved = "".join(f"\n--- {p.name}\n{p.read_text()[:2000]}" for p in sorted(tmp_path.iterdir()))
    assert proc.returncode == 0 and " 0 mismatches" in proc.stdout, (
        f"{proc.stdout[-2000:]}{proc.stderr[-2000:]}{saved}\n"
        "(copy the cases into tests/fuzz/regressions to keep them)")
    assert "fuzz: 5000 cases" in proc.stdout
