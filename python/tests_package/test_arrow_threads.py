"""tevora.arrow off the GIL: two columns at once, a daemon thread at exit,
no memory kept from call to call, and results in the buffers of released ones."""

import os
import subprocess
import sys
import threading

import pytest

pa = pytest.importorskip("pyarrow")

import tevora  # noqa: E402
import tevora._arrow  # noqa: E402
from conftest import REPO  # noqa: E402

STRESS = bool(os.environ.get("TEVORA_STRESS"))


def column(n, seed):
    return pa.array([None if i % 7 == 0 else f"{seed}{i:012d}" for i in range(n)])


def test_two_threads_on_two_columns_get_their_own_results():
    columns = [column(200_000, 4), column(150_000, 9)]
    expected = [tevora.store_form_many(c.to_pylist()) for c in columns]
    results = [None, None]

    def work(i):
        for _ in range(3):
            results[i] = pa.array(tevora._arrow.store_form(columns[i])).to_pylist()

    threads = [threading.Thread(target=work, args=(i,)) for i in range(2)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert results == expected


@pytest.mark.parametrize("large", [False, True])
def test_results_in_reused_buffers_hold_only_their_own_cells(large):
    """Released results' large buffers are reused: nothing of an earlier result may show through."""
    from test_arrow import expected_row

    kind = pa.large_string() if large else pa.string()
    first = ["14006381333938", "9780306406157 ", "4006-3813-33931", "20012345678909"]
    second = ["12345", None, "n/a", "123456789012345678", "04006381333931", ""]
    n = 140_000  # past the size from which buffers are kept
    for _ in range(2):
        pa.array(tevora._arrow.parse(pa.array(first * (n // len(first)), kind)))
        table = pa.array(tevora._arrow.parse(pa.array(second * (n // len(second)), kind)))
        table.validate(full=True)
        rows = [expected_row(p) for p in tevora.parse_many(second)]
        assert table.to_pylist() == rows * (n // len(second))
        assert pa.array(tevora._arrow.store_form(pa.array(second * 30_000, kind))).to_pylist() == (
            tevora.store_form_many(second) * 30_000
        )


def test_exit_while_a_daemon_thread_works_on_a_column():
    script = """
import threading, pyarrow as pa, tevora._arrow as arrow
column = pa.array(["4006381333931"] * 2_000_000)
started = threading.Event()
def work():
    started.set()
    while True:
        arrow.parse(column)
threading.Thread(target=work, daemon=True).start()
started.wait()
"""
    env = dict(os.environ, PYTHONPATH=str(REPO / "python"))
    done = subprocess.run([sys.executable, "-c", script], env=env, capture_output=True, timeout=120)
    assert done.returncode == 0, done.stderr.decode()


def test_a_fork_while_results_come_and_go_leaves_the_child_working():
    # Another thread keeps giving large buffers back to the pool and taking
    # them, so some forks land while it holds the pool's lock.
    script = """
import os, threading, pyarrow as pa, tevora._arrow as arrow
column = pa.array(["4006381333931"] * 200_000)
def churn():
    while True:
        arrow.parse(column)
threading.Thread(target=churn, daemon=True).start()
for _ in range(40):
    pid = os.fork()
    if pid == 0:
        arrow.store_form(column)
        os._exit(0)
    assert os.waitpid(pid, 0)[1] == 0
"""
    env = dict(os.environ, PYTHONPATH=str(REPO / "python"))
    done = subprocess.run([sys.executable, "-W", "ignore", "-c", script], env=env, capture_output=True, timeout=120)
    assert done.returncode == 0, done.stderr.decode()


def resident_kib():
    with open("/proc/self/status") as status:
        return next(int(line.split()[1]) for line in status if line.startswith("VmRSS:"))


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="reads /proc")
def test_no_memory_is_kept_from_call_to_call():
    data = column(10_000, 4)
    bad = pa.array([b"x"])
    loops = 3000 if STRESS else 300

    def run():
        for _ in range(loops):
            pa.array(tevora._arrow.parse(data))
            pa.chunked_array(tevora._arrow.key_strings(pa.chunked_array([data, data])))
            with pytest.raises(TypeError):
                tevora._arrow.store_form(bad)

    run()
    before = resident_kib()
    run()
    assert resident_kib() - before < 8 * 1024


@pytest.mark.skipif(not STRESS, reason="needs TEVORA_STRESS=1 and about 12 GB of memory")
def test_large_strings_past_two_gib():
    cell = "4006381333931" + " " * 987
    data = pa.array([cell] * (2**31 // len(cell) + 1000), pa.large_string())
    assert data.buffers()[2].size > 2**31
    stores = tevora._arrow.store_form(data)
    result = pa.array(stores)
    assert result.type == pa.large_string() and result[len(result) - 1].as_py() == "04006381333931"
