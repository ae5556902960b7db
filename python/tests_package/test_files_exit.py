"""The files module with a daemon thread inside its work when the interpreter
exits: CPython ends the thread where it takes the lock back, which must
neither abort the process nor release a Python object without the lock."""

import os
import pathlib
import subprocess
import sys
import textwrap

import pytest

import tevora

SCRIPTS = {
    "Tally.add": """
        from tevora import _files
        cells = list(("4006381333931", 4006381333931.0, "n/a", None) * 200_000)
        def work():
            tally = _files.Tally()  # one per thread: a tally works for one at a time
            while True:
                tally.add(2, tuple(cells))  # a tuple: the module makes its own list
    """,
    "CsvScanner.feed": """
        from tevora import _files
        data = b"sku,gtin\\n" + b"A,4006381333931\\nB, 4006-3813-33931 \\n" * 200_000
        def work():
            while True:
                scanner = _files.CsvScanner(delimiter=44, quote=34, column=1, mode="clean", tally=_files.Tally())
                scanner.feed(data)
    """,
}
PROLOGUE = """
    import threading, time
    class SlowFinaliser:
        def __del__(self, sleep=time.sleep): sleep(0.5)
    holder = SlowFinaliser()
"""
EPILOGUE = """
    for _ in range(2):
        threading.Thread(target=work, daemon=True).start()
    time.sleep(0.2)
"""


@pytest.mark.parametrize("work", SCRIPTS.values(), ids=SCRIPTS)
def test_exit_while_daemon_threads_work(work):
    script = textwrap.dedent(PROLOGUE) + textwrap.dedent(work) + textwrap.dedent(EPILOGUE)
    env = dict(os.environ, PYTHONPATH=str(pathlib.Path(tevora.__file__).resolve().parents[1]))
    for _ in range(3):
        done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, env=env, timeout=60)
        assert (done.returncode, done.stderr) == (0, "")
