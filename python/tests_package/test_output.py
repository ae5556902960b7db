"""Where the command writes: whole or not at all, through links, in place for
what cannot be renamed over, with the old file's mode, owner and group."""

import os
import pathlib
import stat
import threading

import pytest

from tevora import _output
from tevora._output import Output
from tevora._tables import InputError


def write(path, data=b"new\n", **kwargs):
    with Output(str(path), **kwargs) as output:
        output.open().write(data)
    return output


def entries(directory):
    return sorted(p.name for p in pathlib.Path(directory).iterdir())


# The link's name -> where it points, relative to the test's directory; the
# file written through it, and what stays a link.
LINKS = {
    "relative": ({"out.csv": "real.csv"}, "real.csv"),
    "absolute": ({"out.csv": "{d}/real.csv"}, "real.csv"),
    "dangling": ({"out.csv": "sub/new.csv"}, "sub/new.csv"),
    "chain": ({"out.csv": "mid.csv", "mid.csv": "sub/real.csv"}, "sub/real.csv"),
}


@pytest.mark.parametrize("case", LINKS)
def test_a_link_is_written_through(tmp_path, case):
    links, target = LINKS[case]
    (tmp_path / "sub").mkdir()
    for name in ("real.csv", "sub/real.csv"):
        (tmp_path / name).write_bytes(b"old\n")
    for name, points in links.items():
        (tmp_path / name).symlink_to(points.format(d=tmp_path))
    write(tmp_path / "out.csv")
    assert (tmp_path / target).read_bytes() == b"new\n"
    for name, points in links.items():
        assert os.readlink(tmp_path / name) == points.format(d=tmp_path)
    assert not [p for p in tmp_path.rglob(".*") if p.name.endswith(".part")]


@pytest.mark.parametrize("mode", [0o600, 0o640, 0o664, 0o755])
def test_an_existing_file_keeps_its_mode_owner_and_group(tmp_path, mode):
    out = tmp_path / "out.csv"
    out.write_bytes(b"old\n")
    out.chmod(mode)
    # Another group than the default where we may set one (root: any group).
    group = 8 if os.geteuid() == 0 else os.getgroups()[-1]
    os.chown(out, -1, group)
    before = out.stat()
    write(out)
    after = out.stat()
    assert out.read_bytes() == b"new\n" and after.st_ino != before.st_ino  # replaced whole, not rewritten
    assert (stat.S_IMODE(after.st_mode), after.st_uid, after.st_gid) == (mode, before.st_uid, before.st_gid)


def test_a_new_file_has_the_umask_mode(tmp_path):
    umask = os.umask(0o027)
    try:
        write(tmp_path / "out.csv")
    finally:
        os.umask(umask)
    assert stat.S_IMODE((tmp_path / "out.csv").stat().st_mode) == 0o640


@pytest.mark.parametrize("when", ["writing", "before writing", "stop signal lost"])
def test_a_failure_leaves_the_old_file_and_no_temporary(tmp_path, monkeypatch, when):
    out = tmp_path / "out.csv"
    out.write_bytes(b"old\n")
    # A signal whose exception a finaliser swallowed is still remembered.
    monkeypatch.setattr(_output, "stopped", [15] if when == "stop signal lost" else [])
    with pytest.raises((RuntimeError, _output.Interrupted)), Output(str(out)) as output:
        if when != "before writing":
            stream = output.open()
            stream.write(b"partial" * 100000)
            assert len(entries(tmp_path)) == 2  # the temporary, beside its place
        if when != "stop signal lost":
            raise RuntimeError("stop")
    output.abort()  # twice is harmless
    assert entries(tmp_path) == ["out.csv"] and out.read_bytes() == b"old\n"


def test_a_fifo_is_written_in_place(tmp_path):
    os.mkfifo(tmp_path / "out.fifo")
    got = []
    reader = threading.Thread(target=lambda: got.append((tmp_path / "out.fifo").read_bytes()))
    reader.start()
    output = write(tmp_path / "out.fifo")
    reader.join(30)
    assert got == [b"new\n"] and output.in_place
    assert stat.S_ISFIFO((tmp_path / "out.fifo").lstat().st_mode)


def test_a_device_is_written_in_place(tmp_path):
    # Through a link of our own, so that a regression replaces the link, not /dev/null.
    (tmp_path / "null").symlink_to(os.devnull)
    assert write(tmp_path / "null").in_place
    assert os.readlink(tmp_path / "null") == os.devnull and stat.S_ISCHR(os.stat(os.devnull).st_mode)
    assert entries(tmp_path) == ["null"]


def test_an_open_descriptor_is_written_in_place():
    read, written = os.pipe()
    try:
        for name in (f"/dev/fd/{written}", f"/proc/self/fd/{written}"):
            assert write(name, name.encode()).in_place
            assert os.read(read, 100) == name.encode()
    finally:
        os.close(read)
        os.close(written)


# The destination, relative to the test's directory, and the one line.
REFUSED = [
    ("", "the output path is empty"),
    ("sub", "is a directory"),
    ("missing/out.csv", "the directory {d}/missing does not exist"),
    ("file.csv/out.csv", "a part of the path is not a directory"),
    ("in.csv", "the output is the input file"),
]


@pytest.mark.parametrize("name, message", REFUSED)
def test_refused_before_anything_is_written(tmp_path, name, message):
    (tmp_path / "sub").mkdir()
    (tmp_path / "file.csv").write_bytes(b"")
    (tmp_path / "in.csv").write_bytes(b"in")
    with pytest.raises(InputError, match=message.format(d=tmp_path)):
        Output(str(tmp_path / name) if name else "", input_path=str(tmp_path / "in.csv"))
    assert entries(tmp_path) == ["file.csv", "in.csv", "sub"]
