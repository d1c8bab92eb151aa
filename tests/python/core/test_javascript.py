"""A round trip between the languages on the bench tables: dwexio writes each
table, the JavaScript package reads the file (whole and streamed) and writes
the table again from JSON, and the two files must be the same bytes and read
back as the table here."""

from __future__ import annotations

import io
import json
import os
import pathlib
import shutil
import subprocess
import sys

import pytest

import dwexio

ROOT = pathlib.Path(__file__).resolve().parents[3]
NODE = shutil.which("node")

pytestmark = pytest.mark.skipif(NODE is None, reason="node is not installed")


@pytest.fixture(scope="module")
def bench_tables():
    import tables
    if not tables.UNICODE.is_dir():
        pytest.skip(f"no Unicode data files in {tables.UNICODE}")
    return tables.all_tables()


def test_python_writes_javascript_reads_and_writes_back(bench_tables, tmp_path):
    for table in bench_tables:
        dwexio.dump(table.rows, tmp_path / f"{table.name}.dwex")
        (tmp_path / f"{table.name}.json").write_text(json.dumps(table.rows, ensure_ascii=False), encoding="utf-8")
    names = [table.name for table in bench_tables]
    # Node starts clean of what a sanitizer run preloads into this interpreter.
    env = {k: v for k, v in os.environ.items() if k not in ("LD_PRELOAD", "PYTHONMALLOC")}
    run = subprocess.run([NODE, str(ROOT / "js" / "test" / "round-trip.mjs"), str(tmp_path), *names],
                         capture_output=True, text=True, timeout=600, env=env)
    assert run.returncode == 0, run.stdout + run.stderr
    for table in bench_tables:
        ours = (tmp_path / f"{table.name}.dwex").read_bytes()
        theirs = (tmp_path / f"{table.name}.js.dwex").read_bytes()
        assert theirs == ours, table.name
        assert dwexio.load(io.BytesIO(theirs)) == table.rows, table.name
