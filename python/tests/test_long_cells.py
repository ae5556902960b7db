"""Long cells: read a slice at a time, held once, and never the cause of an abort at exit."""

import subprocess
import sys
import textwrap

import pytest

import _tevora
import reference
from conftest import EXTENSION_DIR
from support import SANITIZED

SLICE = 4096  # code points read at a time from a long str

LENGTHS = [SLICE - 1, SLICE, SLICE + 1, 2 * SLICE + 3]
FILLS = {"ascii": "a", "two-byte": "\u00e9", "three-byte": "\u3000", "four-byte": "\U0001f600"}


@pytest.mark.parametrize("length", LENGTHS)
@pytest.mark.parametrize("fill", FILLS.values(), ids=FILLS)
def test_long_cells_read_whole_across_slices(fill, length):
    # A GTIN at the end, behind spaces of the fill's width where they are
    # whitespace, so that the text must come through every slice intact.
    cell = fill * (length - 13) + "4006381333931"
    expected = reference.parse(cell)
    for parsed in (_tevora.parse(cell), _tevora.parse_many([cell])[0]):
        assert (parsed.raw, parsed.gtin and parsed.gtin.value, parsed.reason) == (cell, expected.gtin, expected.reason)
    assert _tevora.store_form(cell) == _tevora.store_form_many([cell])[0] == reference.store_form(cell)


@pytest.mark.parametrize("position", [0, SLICE - 1, SLICE, 2 * SLICE, -1])
def test_a_lone_surrogate_in_a_long_cell_raises_the_interpreters_error(position):
    chars = ["4"] * (2 * SLICE + 5)
    chars[position] = "\udc80"
    cell = "".join(chars)
    with pytest.raises(UnicodeEncodeError) as expected:
        cell.encode("utf-8")
    for function in (_tevora.parse, _tevora.store_form, _tevora.key):
        with pytest.raises(UnicodeEncodeError) as raised:
            function(cell)
        assert raised.value.args == expected.value.args
    for function in (_tevora.parse_many, _tevora.store_form_many, _tevora.key_strings):
        with pytest.raises(TypeError, match="^every item must be str, int, float or None: UnicodeEncodeError: "):
            function([cell])


def run(code, timeout=120):
    """Runs code in a fresh interpreter that imports the extension as `_tevora`."""
    prelude = f"import sys\nsys.path.insert(0, {str(EXTENSION_DIR)!r})\n"
    return subprocess.run(
        [sys.executable, "-c", prelude + textwrap.dedent(code)], capture_output=True, text=True, timeout=timeout
    )


MEMORY = """
    import resource, _tevora
    cell = {cell}
    before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    parsed = _tevora.parse(cell)
    grown = (resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - before) // 1024
    assert parsed.raw == cell
    print(grown)
"""


@pytest.mark.skipif(SANITIZED, reason="the sanitizers' own memory is counted too")
@pytest.mark.parametrize(
    "cell, utf8_mib, limit_mib",
    [
        ('"4" * (100 << 20)', 100, 120),
        ('"\\u00e9" * (25 << 20)', 50, 60),
    ],
)
def test_a_long_cell_is_held_once(cell, utf8_mib, limit_mib):
    done = run(MEMORY.format(cell=cell))
    assert done.returncode == 0, done.stderr
    assert int(done.stdout) <= limit_mib, f"peak grew {done.stdout.strip()} MiB for {utf8_mib} MiB of UTF-8"


# A daemon thread still inside a function when the interpreter exits: CPython
# ends it where it takes the lock back, which must not abort the process.
EXIT_DURING_COLUMN_WORK = {
    "finaliser keeps the exit busy": """
        import threading, time, _tevora
        class SlowFinaliser:
            def __del__(self, sleep=time.sleep): sleep(1)
        holder = SlowFinaliser()
        column = ["4006381333931" + " " * 2000] * 100_000
        threading.Thread(target=_tevora.{function}, args=(column,), daemon=True).start()
        time.sleep(0.05)
    """,
    "two threads looping": """
        import threading, time, _tevora
        column = ["4006381333931"] * 3_000_000
        def loop():
            while True:
                _tevora.{function}(column)
        for _ in range(2):
            threading.Thread(target=loop, daemon=True).start()
        time.sleep(0.3)
    """,
}

# The same inside Python code that converting a cell runs.
EXIT_DURING_CONVERSION = """
    import threading, time, _tevora
    class Slow(int):
        def __str__(self, sleep=time.sleep):
            sleep(0.0005)
            return "4006381333931"
    class SlowFinaliser:
        def __del__(self, sleep=time.sleep): sleep(1)
    holder = SlowFinaliser()
    cells = [Slow(1)] * 100_000
    def work():
        if "{function}".endswith(("_many", "_strings")):
            _tevora.{function}(cells)
        else:
            for cell in cells:
                _tevora.{function}(cell)
    threading.Thread(target=work, daemon=True).start()
    time.sleep(0.05)
"""


def exits_cleanly(script):
    for _ in range(3):
        done = run(script)
        assert (done.returncode, done.stderr) == (0, "")


@pytest.mark.parametrize("function", ["store_form_many", "key_strings"])
@pytest.mark.parametrize("script", EXIT_DURING_COLUMN_WORK.values(), ids=EXIT_DURING_COLUMN_WORK)
def test_exit_while_a_daemon_thread_works_on_a_column(script, function):
    exits_cleanly(script.format(function=function))


@pytest.mark.skipif(
    SANITIZED, reason="ASan's own stack check fails (asan_thread.cpp CHECK) as the thread is unwound at exit"
)
@pytest.mark.parametrize("function", ["parse", "store_form", "key", "parse_many", "store_form_many", "key_strings"])
def test_exit_while_a_daemon_thread_converts_a_cell(function):
    exits_cleanly(EXIT_DURING_CONVERSION.format(function=function))
