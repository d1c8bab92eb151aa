"""`pip install .` builds the module for the interpreter that runs pip and
installs it with its type stub. Checked in a fresh virtual environment that
sees the system's build tools, so that nothing is fetched."""

import os
import pathlib
import shutil
import subprocess
import sys
import sysconfig

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[2]


def _has_build_tools():
    try:
        import scikit_build_core  # noqa: F401
    except ImportError:
        return False
    return shutil.which("cmake") is not None and shutil.which("ninja") is not None


pytestmark = [
    pytest.mark.skipif(hasattr(sys, "gettotalrefcount"), reason="one install check is enough"),
    pytest.mark.skipif(not _has_build_tools(), reason="needs scikit-build-core, cmake and ninja"),
]


def test_pip_install_builds_and_ships_the_stub(tmp_path):
    venv = tmp_path / "venv"
    subprocess.run([sys.executable, "-m", "venv", "--system-site-packages", venv], check=True)
    python = venv / "bin" / "python"
    # A copy without build outputs, as a fresh clone would be.
    source = tmp_path / "src"
    shutil.copytree(ROOT, source, ignore=shutil.ignore_patterns("build", ".git", "__pycache__", ".hypothesis"))
    env = {k: v for k, v in os.environ.items() if not k.startswith("PYTHON")}
    result = subprocess.run(
        [python, "-m", "pip", "install", "--no-build-isolation", "--no-deps", "--no-index", "-q", source],
        capture_output=True, text=True, env=env, cwd=tmp_path,
    )
    assert result.returncode == 0, result.stdout + result.stderr
    check = subprocess.run(
        [python, "-c",
         "import dwex, pathlib; print(dwex.__file__); "
         "print(dwex.parse(dwex.stringify([['a', 'bc'], ['d']])))"],
        capture_output=True, text=True, env=env, cwd=tmp_path,
    )
    assert check.returncode == 0, check.stderr
    installed, value = check.stdout.splitlines()
    purelib = pathlib.Path(subprocess.run(
        [python, "-c", "import sysconfig; print(sysconfig.get_paths()['platlib'])"],
        capture_output=True, text=True, check=True).stdout.strip())
    assert pathlib.Path(installed).parent == purelib
    assert pathlib.Path(installed).name == "dwex" + sysconfig.get_config_var("EXT_SUFFIX")
    assert value == "[['a', 'bc'], ['d']]"
    assert (purelib / "dwex.pyi").is_file()
    # The companion package and its command come with it.
    (tmp_path / "t.csv").write_text("a,b\r\nc,\r\n", newline="")
    for command in (["convert", "t.csv", "t.dwex"], ["validate", "t.dwex"], ["stats", "t.dwex"]):
        run = subprocess.run([venv / "bin" / "dwex", *command], capture_output=True, text=True,
                             env=env, cwd=tmp_path)
        assert run.returncode == 0, run.stderr
    assert (tmp_path / "t.dwex").read_text() == "01a01b;01c00;"
    assert (purelib / "dwexio" / "py.typed").is_file()
