"""The command under bad input, bad destinations and signals: every failure is
one line `tevora: ...`, never a traceback, and leaves neither a partial output
nor a changed input behind."""

import csv
import errno
import glob
import os
import pathlib
import pty
import signal
import stat
import subprocess
import sys
import threading
import time

import pytest

import tevora
from tevora import cli
from conftest import REPO

CATALOGUE = REPO / "examples" / "catalogue.csv"
ENV = {**os.environ, "PYTHONPATH": str(pathlib.Path(tevora.__file__).parents[1])}
SMALL = "sku,gtin\nA,4006381333931\nB,12345670\nC,n/a\n"


def command(*args, stdin=None, stdout=subprocess.PIPE, cwd=None, timeout=60):
    """The command as a process: (status, stdout, stderr)."""
    run = subprocess.run(
        [sys.executable, "-m", "tevora", *[os.fsdecode(a) if isinstance(a, bytes) else str(a) for a in args]],
        input=stdin,
        stdout=stdout,
        stderr=subprocess.PIPE,
        env=ENV,
        cwd=cwd,
        timeout=timeout,
    )
    return run.returncode, run.stdout, run.stderr.decode("utf-8", "replace")


def one_line(err, fragment=""):
    assert "Traceback" not in err, err
    assert err.startswith("tevora: ") and err.count("\n") == 1, err
    assert fragment in err, err


@pytest.fixture
def inside(capsys):
    """The command in this process: (status, stdout, stderr)."""

    def run(*args):
        try:
            status = cli.main([os.fsdecode(a) if isinstance(a, bytes) else str(a) for a in args])
        except SystemExit as usage:  # argparse's way out
            status = usage.code
        out, err = capsys.readouterr()
        return status, out, err

    return run


def snapshot(directory):
    """Every file under `directory` with its bytes and mtime, links as links."""
    found = {}
    for path in sorted(pathlib.Path(directory).rglob("*")):
        info = path.lstat()
        if stat.S_ISLNK(info.st_mode):
            found[path] = ("link", os.readlink(path))
        elif stat.S_ISREG(info.st_mode):
            found[path] = (path.read_bytes(), info.st_mtime_ns, stat.S_IMODE(info.st_mode))
        else:
            found[path] = stat.S_IFMT(info.st_mode)
    return found


def xlsx(path, rows):
    openpyxl = pytest.importorskip("openpyxl", reason="openpyxl is optional: .xlsx support needs it")
    book = openpyxl.Workbook()
    for row in rows:
        book.active.append(row)
    book.save(path)


# Setup in the directory d (with in.csv holding SMALL), the arguments, and what
# the one line must say. Nothing in d may change.
FAILURES = {
    "output is a directory": (
        lambda d: (d / "sub").mkdir(),
        ["clean", "{d}/in.csv", "-o", "{d}/sub"],
        "is a directory",
    ),
    "output is a link to the input": (
        lambda d: (d / "link.csv").symlink_to(d / "in.csv"),
        ["clean", "{d}/in.csv", "-o", "{d}/link.csv"],
        "the output is the input",
    ),
    "output is a hard link to the input": (
        lambda d: os.link(d / "in.csv", d / "hard.csv"),
        ["clean", "{d}/in.csv", "-o", "{d}/hard.csv"],
        "the output is the input",
    ),
    "output is a link to a directory": (
        lambda d: (d / "dir.csv").symlink_to(d),
        ["clean", "{d}/in.csv", "-o", "{d}/dir.csv"],
        "is a directory",
    ),
    "output path empty": (None, ["clean", "{d}/in.csv", "-o", ""], "the output path is empty"),
    "output under a file": (None, ["clean", "{d}/in.csv", "-o", "{d}/in.csv/x.csv"], "not a directory"),
    "output .xlsm": (None, ["clean", "{d}/in.csv", "-o", "{d}/x.xlsm"], ".xlsm workbooks"),
    "output .xls": (None, ["clean", "{d}/in.csv", "-o", "{d}/x.xls"], ".xls workbooks are not written"),
    "output .ods": (None, ["clean", "{d}/in.csv", "-o", "{d}/x.ods"], ".ods spreadsheets are not written"),
    "added column twice": (
        None,
        ["clean", "{d}/in.csv", "-o", "{d}/out.csv", "--key-column", "gtin_reason", "--explain"],
        'the added column "gtin_reason" would be there twice',
    ),
    "key column named like an existing column": (
        None,
        ["clean", "{d}/in.csv", "-o", "{d}/out.csv", "--key-column", "sku"],
        'a column "sku" already',
    ),
    "header name the encoding cannot hold": (
        lambda d: (d / "in.csv").write_bytes(b"sku,gtin\nA,4006381333931\nB,caf\xe9\n"),
        ["clean", "{d}/in.csv", "-o", "{d}/out.csv", "--key-column", "\u20acuro", "--encoding", "latin-1"],
        "cannot be written in the file's encoding",
    ),
    "utf-16 without a byte order mark": (
        lambda d: (d / "in.csv").write_bytes(b"sku,gtin\nA,4006381333931\nB,1\n"),
        ["check", "{d}/in.csv", "--encoding", "utf-16"],
        "in.csv",
    ),
    "a newline in the path": (None, ["check", "{d}/new\nline.csv"], "new\\nline.csv: no such file"),
    "bytes that are not UTF-8 in the path": (None, ["check", b"{d}/caf\xe9.csv"], "caf\\xe9.csv: no such file"),
    "a newline in the output path": (
        None,
        ["clean", "{d}/in.csv", "-o", "{d}/no\nsuch/x.csv"],
        "no\\nsuch/x.csv: cannot write: the directory",
    ),
    "fail-on kind unknown": (None, ["check", "{d}/in.csv", "--fail-on", "wrong"], "unknown kind 'wrong'"),
    "fail-on percentage": (None, ["check", "{d}/in.csv", "--fail-on", "refused:lots"], "must be a number"),
    "fail-on percentage over 100": (None, ["check", "{d}/in.csv", "--fail-on", "refused:150"], "must be a number"),
    "fail-on kind twice": (None, ["check", "{d}/in.csv", "--fail-on", "refused,refused:5"], "given twice"),
    "rows-csv to stdout": (None, ["check", "{d}/in.csv", "--rows-csv", "-"], "name a file for the rows"),
    "rows-csv over the input": (
        None,
        ["check", "{d}/in.csv", "--rows-csv", "{d}/in.csv"],
        "the output is the input",
    ),
    "delimiter of two characters": (None, ["check", "{d}/in.csv", "--delimiter", ";;"], "--delimiter takes one"),
    "delimiter and quote the same": (
        None,
        ["check", "{d}/in.csv", "--delimiter", "'", "--quote", "'"],
        "must be different characters",
    ),
    "a file that cannot be read": (None, ["check", "/proc/self/mem"], "/proc/self/mem"),
    **{
        f"--encoding {name}": (None, ["check", "{d}/in.csv", "--encoding", name], "not a text encoding")
        for name in ("rot13", "base64", "hex", "zip", "punycode", "undefined")
    },
    "--encoding unknown": (None, ["check", "{d}/in.csv", "--encoding", "klingon"], "unknown encoding 'klingon'"),
}


@pytest.mark.parametrize("case", FAILURES)
def test_failure_is_one_line_and_changes_nothing(tmp_path, inside, case):
    setup, args, fragment = FAILURES[case]
    (tmp_path / "in.csv").write_text(SMALL)
    if setup:
        setup(tmp_path)
    before = snapshot(tmp_path)
    d = os.fsencode(tmp_path)
    status, out, err = inside(*[a.replace(b"{d}", d) if isinstance(a, bytes) else a.format(d=tmp_path) for a in args])
    assert status in (1, 2) and out == ""
    one_line(err, fragment)
    assert snapshot(tmp_path) == before


def test_usage_errors_are_one_line_with_status_2(tmp_path):
    for args in (["check"], [], ["check", "x.csv", "--fail-on", "wrong-check-digit:x"], ["clean", "x.csv"]):
        status, out, err = command(*args)
        assert status == 2 and out == b""
        one_line(err, "--help")


@pytest.mark.skipif(os.geteuid() == 0, reason="root reads a file whatever its mode")
def test_unreadable_input(tmp_path, inside):
    (tmp_path / "in.csv").write_text(SMALL)
    (tmp_path / "in.csv").chmod(0)
    status, _, err = inside("check", tmp_path / "in.csv")
    assert status == 1
    one_line(err, "in.csv: cannot read")


class FakeTable:
    """A table whose pass fails as a format module might."""

    path, header, total, unit = "fake.csv", ["gtin"], 0, "rows"

    def __init__(self, error):
        self.error = error

    def done(self):
        return 0

    def sample(self, rows):
        return [["4006381333931"]]

    def check(self, index, report, progress):
        raise self.error

    def clean(self, index, out, options, progress):
        out.write(b"gtin\n")
        raise self.error

    def close(self):
        pass


def memory_error_at_row():
    error = MemoryError()
    error.row = 1234567
    return error


RAISED = [
    (OSError(errno.EIO, "Input/output error", "fake.csv"), "fake.csv: Input/output error"),
    (UnicodeDecodeError("utf-8", b"\xff", 0, 1, "invalid start byte"), "in.csv: 'utf-8' codec can't decode"),
    (UnicodeError("UTF-16 stream does not start with BOM"), "does not start with BOM"),
    (csv.Error("field larger than field limit (131072)"), "not readable as CSV: field larger than"),
    (memory_error_at_row(), "tevora: out of memory at row 1,234,567"),
    (MemoryError(), "tevora: out of memory"),
    (RuntimeError("two\nlines"), "unexpected RuntimeError: two\\nlines"),
]


@pytest.mark.parametrize("subcommand", ["check", "clean"])
@pytest.mark.parametrize("error, fragment", RAISED, ids=[type(e).__name__ for e, _ in RAISED])
def test_what_a_table_raises_is_one_line(tmp_path, inside, monkeypatch, subcommand, error, fragment):
    monkeypatch.setattr(cli, "open_table", lambda *args, **kwargs: FakeTable(error))
    (tmp_path / "in.csv").write_text(SMALL)
    before = signal.getsignal(signal.SIGTERM)
    args = ["-o", tmp_path / "out.csv"] if subcommand == "clean" else []
    status, out, err = inside(subcommand, tmp_path / "in.csv", *args)
    assert status == 1
    one_line(err, fragment)
    assert sorted(p.name for p in tmp_path.iterdir()) == ["in.csv"]  # no output, no temporary
    assert signal.getsignal(signal.SIGTERM) is before  # the handlers are restored


def test_broken_pipe_is_quiet(tmp_path, inside, monkeypatch):
    monkeypatch.setattr(cli, "open_table", lambda *args, **kwargs: FakeTable(BrokenPipeError()))
    assert inside("check", tmp_path / "in.csv") == (1, "", "")


# ---- Processes: standard streams, devices, a full disk and signals ------------------------


def test_standard_streams(tmp_path):
    data = CATALOGUE.read_bytes()
    status, report, err = command("check", "/dev/stdin", stdin=data)  # a pipe cannot be rewound
    assert (status, err) == (0, "") and report.startswith(b'/dev/stdin: column "gtin"')
    assert command("check", "-", stdin=data)[1].replace(b"stdin", b"/dev/stdin", 1) == report
    status, cleaned, err = command("clean", "-", "-o", "-", stdin=data)
    assert status == 0 and err.startswith("stdout: 3,000 rows written")  # the summary stays out of the data
    assert command("clean", CATALOGUE, "-o", tmp_path / "out.csv")[0] == 0
    assert cleaned == (tmp_path / "out.csv").read_bytes()
    with open(tmp_path / "via.csv", "wb") as out:
        assert command("clean", CATALOGUE, "-o", "/dev/stdout", stdout=out)[0] == 0
    assert (tmp_path / "via.csv").read_bytes() == cleaned


@pytest.mark.parametrize(
    "args",
    [["check", CATALOGUE], ["clean", CATALOGUE, "-o", "-"], ["check", CATALOGUE, "--json"]],
    ids=["check", "clean", "json"],
)
def test_stdout_on_a_full_device(args):
    with open("/dev/full", "wb") as full:
        status, _, err = command(*args, stdout=full)
    assert status == 1
    one_line(err, "No space left on device")


def test_output_on_a_full_device(tmp_path):
    # Through a link of our own: a command that renamed over its output would
    # replace the link, not the system's device.
    (tmp_path / "out.csv").symlink_to("/dev/full")
    status, _, err = command("clean", CATALOGUE, "-o", tmp_path / "out.csv")
    assert status == 1
    one_line(err, "out.csv: cannot write: No space left on device")
    assert os.readlink(tmp_path / "out.csv") == "/dev/full"


def test_fifo_input(tmp_path):
    os.mkfifo(tmp_path / "in.csv")
    process = subprocess.Popen(
        [sys.executable, "-m", "tevora", "check", tmp_path / "in.csv"],
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        env=ENV,
    )
    with open(tmp_path / "in.csv", "w") as fifo:
        fifo.write(SMALL)
    out, err = process.communicate(timeout=60)
    assert (process.returncode, err) == (0, b"") and b"3 cells read" in out


@pytest.fixture(scope="module")
def small_disk(tmp_path_factory):
    """A 64 KB file system, or a skip saying why there is none."""
    where = tmp_path_factory.mktemp("full")
    if os.geteuid() != 0:
        pytest.skip("mounting a small tmpfs needs root")
    mounted = subprocess.run(["mount", "-t", "tmpfs", "-o", "size=64k", "tmpfs", where], capture_output=True)
    if mounted.returncode:
        pytest.skip(f"cannot mount a tmpfs here: {mounted.stderr.decode().strip()}")
    yield where
    subprocess.run(["umount", where], check=True)


@pytest.mark.parametrize("name", ["out.csv", "out.xlsx", "rows.csv"])
def test_full_file_system(small_disk, inside, name):
    # The catalogue cleaned is 230 KB; its problem rows with a second copy fill the rest.
    (small_disk / "old.csv").write_bytes(b"x" * 20000)
    source = CATALOGUE
    if name.endswith(".xlsx"):
        with open(CATALOGUE, newline="", encoding="utf-8") as f:
            xlsx(small_disk.parent / "in.xlsx", list(csv.reader(f)))
        source = small_disk.parent / "in.xlsx"
    if name == "rows.csv":
        args = ["check", CATALOGUE, "--rows-csv", small_disk / name]
        (small_disk / "fill").write_bytes(b"x" * 30000)
    else:
        args = ["clean", source, "-o", small_disk / name, "--key-column", "key", "--explain"]
    try:
        status, _, err = inside(*args)
        assert status == 1
        one_line(err, "No space left on device")
        assert sorted(p.name for p in small_disk.iterdir()) == sorted(
            ["old.csv"] + (["fill"] if "rows" in name else [])
        )
    finally:
        for path in small_disk.iterdir():
            path.unlink()


@pytest.mark.parametrize("signum", [signal.SIGINT, signal.SIGTERM, signal.SIGHUP], ids=lambda s: s.name)
@pytest.mark.parametrize("subcommand", ["clean", "check"])
def test_a_stop_signal_leaves_no_file(tmp_path, signum, subcommand):
    """The input is a FIFO fed until the output has begun: the command is
    surely mid-file when the signal comes."""
    os.mkfifo(tmp_path / "in.csv")
    out = ["-o", tmp_path / "out.csv"] if subcommand == "clean" else ["--rows-csv", tmp_path / "out.csv"]
    process = subprocess.Popen(
        [sys.executable, "-m", "tevora", subcommand, tmp_path / "in.csv", *out],
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        env=ENV,
    )
    begun = threading.Event()

    def feed():
        # Read and write, without blocking: the open never waits for a reader,
        # and a command that is gone (or never read) cannot hold the test.
        fd = os.open(tmp_path / "in.csv", os.O_RDWR | os.O_NONBLOCK)
        rows = b"A,4006381333932\n" * 256  # PIPE_BUF: written whole or not at all
        try:
            os.write(fd, b"sku,gtin\n")
            while not begun.is_set():
                try:
                    os.write(fd, rows)
                except BlockingIOError:
                    time.sleep(0.005)
        finally:
            os.close(fd)

    feeder = threading.Thread(target=feed)
    feeder.start()
    try:
        deadline = time.monotonic() + 30
        while not glob.glob(str(tmp_path / ".out.csv.*")) and time.monotonic() < deadline:
            time.sleep(0.01)
        assert glob.glob(str(tmp_path / ".out.csv.*")), "the output was never begun"
        process.send_signal(signum)
    finally:
        begun.set()
        _, err = process.communicate(timeout=60)
        feeder.join()
    assert process.returncode == 128 + signum, err
    one_line(err.decode(), f"interrupted by {signum.name}")
    assert sorted(p.name for p in tmp_path.iterdir()) == ["in.csv"]


def test_a_hangup_ignored_by_nohup_stays_ignored(tmp_path):
    process = subprocess.run(
        [
            sys.executable,
            "-c",
            "import signal, sys; signal.signal(signal.SIGHUP, signal.SIG_IGN);"
            "from tevora import cli; print(cli.main(['check', sys.argv[1]]), signal.getsignal(signal.SIGHUP) is signal.SIG_IGN)",
            CATALOGUE,
        ],
        capture_output=True,
        text=True,
        env=ENV,
        check=True,
    )
    assert process.stdout.endswith("0 True\n")


def test_stdout_closed():
    run = subprocess.run(
        [sys.executable, "-m", "tevora", "check", CATALOGUE],
        stderr=subprocess.PIPE,
        env=ENV,
        preexec_fn=lambda: os.close(1),
    )
    assert run.returncode == 1
    one_line(run.stderr.decode(), "stdout is closed")


def test_binary_output_to_a_terminal_is_refused(tmp_path):
    pyarrow = pytest.importorskip("pyarrow", reason="pyarrow is optional: Parquet needs it")
    parquet = pytest.importorskip("pyarrow.parquet")
    parquet.write_table(pyarrow.table({"gtin": ["4006381333931"]}), tmp_path / "in.parquet")
    terminal, other_end = pty.openpty()
    try:
        run = subprocess.run(
            [sys.executable, "-m", "tevora", "clean", tmp_path / "in.parquet", "-o", "-"],
            stdout=other_end,
            stderr=subprocess.PIPE,
            env=ENV,
        )
    finally:
        os.close(terminal)
        os.close(other_end)
    assert run.returncode == 1
    one_line(run.stderr.decode(), "stdout is a terminal")
