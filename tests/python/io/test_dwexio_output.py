"""dwexio's all-or-nothing output (output.Output, under dump, Writer and `dwex
convert`): whatever way writing ends, the path holds either its old bytes (or
nothing) or all of the new ones, and no temporary file stays behind."""

import errno
import gc
import os
import stat
import warnings

import pytest

from dwexio._io.output import Output

OLD = b"old bytes"
NEW = b"01a;" * 1000


def prepare(tmp_path, state):
    """The path to write in `state`, and the file that holds its bytes."""
    path = tmp_path / "t.dwex"
    if state == "absent":
        return path, path
    real = tmp_path / "real.dwex"
    real.write_bytes(OLD)
    os.chmod(real, 0o640)
    if state == "file":
        return real, real
    os.symlink("real.dwex", path)  # state == "link"
    return path, real


def end_by_commit(out, monkeypatch):
    out.commit()


def end_by_close(out, monkeypatch):
    out.close()


def end_by_exception(out, monkeypatch):
    with pytest.raises(KeyError):
        try:
            raise KeyError("x")
        except BaseException:
            out.close()
            raise


def end_by_drop(out, monkeypatch):
    pass  # the test lets go of it


def end_by_failed_replace(out, monkeypatch):
    def refuse(*args):
        raise OSError(errno.EXDEV, "Invalid cross-device link")
    monkeypatch.setattr(os, "replace", refuse)
    with pytest.raises(OSError) as caught:
        out.commit()
    assert (caught.value.errno, caught.value.filename) == (errno.EXDEV, out.shown)
    monkeypatch.undo()


ENDINGS = {"commit": end_by_commit, "close": end_by_close, "exception": end_by_exception,
           "dropped": end_by_drop, "failed replace": end_by_failed_replace}


@pytest.mark.parametrize("state", ["absent", "file", "link"])
@pytest.mark.parametrize("ending", ENDINGS)
def test_the_path_holds_all_or_nothing(tmp_path, monkeypatch, state, ending):
    path, real = prepare(tmp_path, state)
    before = sorted(os.listdir(tmp_path))
    out = Output(path)
    out.write(NEW[:100])
    out.write(NEW[100:])
    assert sorted(os.listdir(tmp_path)) != before  # the new bytes go to a file beside it
    ENDINGS[ending](out, monkeypatch)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", ResourceWarning)  # as an open file warns
        del out
        gc.collect()
    after = sorted(os.listdir(tmp_path))
    if ending == "commit":
        assert real.read_bytes() == NEW
        assert after == sorted(before + (["t.dwex"] if state == "absent" else []))
    else:
        assert after == before
        if state != "absent":
            assert real.read_bytes() == OLD
    if state == "link":
        assert os.readlink(path) == "real.dwex"
    if state != "absent" and ending == "commit":
        assert stat.S_IMODE(os.stat(real).st_mode) == 0o640


def test_a_closed_output_cannot_commit(tmp_path):
    for first in (Output.commit, Output.close):
        out = Output(tmp_path / "t.dwex")
        first(out)
        with pytest.raises(ValueError, match="^commit of an output that is closed already$"):
            out.commit()
        out.close()  # closing again is harmless


@pytest.mark.skipif(not os.path.exists("/dev/full"), reason="needs /dev/full")
def test_a_device_is_written_in_place_and_its_errors_name_it():
    out = Output("/dev/full")
    out.write(b"x" * 100)
    with pytest.raises(OSError) as caught:
        out.commit()
    assert (caught.value.errno, caught.value.filename) == (errno.ENOSPC, "/dev/full")
    assert os.path.exists("/dev/full")


@pytest.mark.skipif(os.geteuid() == 0, reason="root may write any file")
def test_a_read_only_file_is_refused_not_replaced(tmp_path):
    path = tmp_path / "t.dwex"
    path.write_bytes(OLD)
    os.chmod(path, 0o444)
    with pytest.raises(PermissionError) as caught:
        Output(path)
    assert caught.value.filename == str(path)
    assert path.read_bytes() == OLD and os.listdir(tmp_path) == ["t.dwex"]


@pytest.mark.parametrize("name", ["\u4e2d" * 83 + ".dwex", "x" * 255, ".hidden"])
def test_the_temporary_file_fits_beside_any_name(tmp_path, name):
    out = Output(tmp_path / name)
    out.write(NEW)
    (temporary,) = os.listdir(tmp_path)
    assert temporary.startswith(".") and temporary.endswith(".tmp")
    assert len(os.fsencode(temporary)) <= 255
    out.commit()
    assert os.listdir(tmp_path) == [name] and (tmp_path / name).read_bytes() == NEW
