"""The package as a user gets it: an sdist built from the source tree, a wheel
built from that sdist, the wheel installed into a fresh virtual environment.
The installed module round-trips real tables, mypy finds the type stub in
that environment, the wheel needs no newer system than manylinux_2_28, and
both files carry the licence; the companion package (its Python sources and
one native module) and its `dwex` command come with the wheel. Everything is
built offline from the tools already installed."""

import importlib.util
import os
import pathlib
import re
import shutil
import subprocess
import sys
import tarfile
import textwrap
import tomllib
import zipfile

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[3]
BENCH_LIB = ROOT / "bench" / "lib"
UNICODE = pathlib.Path("/usr/share/unicode")
NEWEST_GLIBC = (2, 28)


def _missing_tools():
    modules = [name for name in ("build", "scikit_build_core") if importlib.util.find_spec(name) is None]
    commands = [name for name in ("cmake", "ninja", "mypy", "auditwheel") if shutil.which(name) is None]
    return modules + commands


pytestmark = [
    pytest.mark.skipif(hasattr(sys, "gettotalrefcount"), reason="one install check is enough"),
    pytest.mark.skipif("DWEX_LIB" in os.environ, reason="the install check runs with the build/lib suite only"),
    pytest.mark.skipif(bool(_missing_tools()), reason=f"needs {', '.join(_missing_tools())} to build and check a wheel"),
    pytest.mark.skipif(not UNICODE.is_dir(), reason=f"the real tables come from {UNICODE} (Debian's unicode-data)"),
]

# Run by the installed interpreter: the bench's tables, from the Unicode data
# files, through the installed module and back.
ROUND_TRIP = textwrap.dedent(f"""
    import sys
    sys.path.insert(0, {str(BENCH_LIB)!r})
    import dwex, tables
    for table in (tables.ascii_table(), tables.astral_table()):
        document = dwex.stringify(table.rows)
        assert dwex.parse(document) == table.rows, table.name
    print(dwex.__file__)
""")

STUB_USE = textwrap.dedent("""
    import dwex
    reveal_type(dwex.parse)
    reveal_type(dwex.stringify)
""")


def _run(args, **kwargs):
    env = {k: v for k, v in os.environ.items() if not k.startswith(("PYTHON", "MYPY"))}
    result = subprocess.run(args, capture_output=True, text=True, env=env, **kwargs)
    assert result.returncode == 0, f"{args}\n{result.stdout[-3000:]}\n{result.stderr[-3000:]}"
    return result.stdout


def test_wheel_from_the_sdist_installs_round_trips_and_types(tmp_path):
    dist = tmp_path / "dist"
    _run([sys.executable, "-m", "build", "--no-isolation", "--outdir", dist, ROOT], cwd=tmp_path)
    (sdist,) = dist.glob("dwex-*.tar.gz")
    (wheel,) = dist.glob("dwex-*.whl")

    venv = tmp_path / "venv"
    _run([sys.executable, "-m", "venv", "--without-pip", venv])
    python = venv / "bin" / "python"
    _run([sys.executable, "-m", "pip", "--python", python, "install", "-q", "--no-index", "--no-deps", wheel])

    installed = pathlib.Path(_run([python, "-I", "-c", ROUND_TRIP], cwd=tmp_path).strip())
    platlib = pathlib.Path(_run([python, "-I", "-c", "import sysconfig; print(sysconfig.get_paths()['platlib'])"]).strip())
    assert installed.parent == platlib
    # The stub ships once, as the stub-only package that type checkers read.
    assert (platlib / "dwex-stubs" / "__init__.pyi").is_file()
    assert not (platlib / "dwex.pyi").exists()

    (tmp_path / "use.py").write_text(STUB_USE)
    revealed = _run(["mypy", "--python-executable", python, "--cache-dir", tmp_path / "mypy", "use.py"], cwd=tmp_path)
    assert 'Revealed type is "def (dwex: str) -> list[list[str]]"' in revealed
    assert 'Revealed type is "def (lists: typing.Iterable[typing.Iterable[object]]) -> str"' in revealed

    shown = _run(["auditwheel", "show", wheel])
    tag = re.search(r'consistent with the\s+following platform tag:\s+"manylinux_(\d+)_(\d+)_', shown)
    assert tag, shown
    assert (int(tag[1]), int(tag[2])) <= NEWEST_GLIBC, shown

    # The licence travels with both.
    with tarfile.open(sdist) as archive:
        assert f"{sdist.name.removesuffix('.tar.gz')}/LICENSE" in archive.getnames()
    with zipfile.ZipFile(wheel) as archive:
        info = next(name.partition("/")[0] for name in archive.namelist() if name.endswith(".dist-info/METADATA"))
        assert "License-File: LICENSE" in archive.read(f"{info}/METADATA").decode()
        assert f"{info}/licenses/LICENSE" in archive.namelist()

    # The companion package and its command come with it.
    (tmp_path / "t.csv").write_text("a,b\r\nc,\r\n", newline="")
    for command in (["convert", "t.csv", "t.dwex"], ["validate", "t.dwex"], ["stats", "t.dwex"]):
        _run([venv / "bin" / "dwex", *command], cwd=tmp_path)
    assert (tmp_path / "t.dwex").read_text() == "01a01b;01c00;"
    version = tomllib.loads((ROOT / "pyproject.toml").read_text())["project"]["version"]
    assert _run([venv / "bin" / "dwex", "--version"]) == f"dwex {version}\n"
    assert (platlib / "dwexio" / "py.typed").is_file()
    # The package as python/dwexio holds it, beside one native module.
    package = ROOT / "python" / "dwexio"
    sources = {p.relative_to(package.parent).as_posix() for p in package.rglob("*")
               if p.is_file() and "__pycache__" not in p.parts}
    with zipfile.ZipFile(wheel) as archive:
        shipped = {name for name in archive.namelist() if name.startswith("dwexio/")}
    (native,) = shipped - sources
    assert sources <= shipped and re.fullmatch(r"dwexio/_native\.cpython-[\w-]+\.so", native), shipped
    # So does the Arrow reader, which needs no dataframe library to stream.
    rows = _run([python, "-I", "-c", "import dwexio; print([b.num_rows for b in dwexio.read_arrow('t.dwex')])"],
                cwd=tmp_path)
    assert rows == "[2]\n"
