"""Column functions on lists that other threads, and the cells themselves, change meanwhile."""

import glob
import os
import pathlib
import random
import resource
import subprocess
import sys
import threading

import pytest

import _tevora
from support import STRESS, Dashed, Shouting, key_string


class Spoken(int):
    """An int whose str() is Python code, so the lock can change hands inside it."""

    def __str__(self):
        return int.__repr__(self)


class Meddler(int):
    """An int whose str() changes every shared column, the one being converted included."""

    def __str__(self):
        for column in COLUMNS:
            change(column, random.Random())
        return int.__repr__(self)


# Values that read alike, one group per column position modulo their number.
# Every change below keeps position i holding a value of group i % len(GROUPS),
# so at every length a column has one right answer, known in advance.
GROUPS = [
    [
        "4006381333931",
        4006381333931,
        4006381333931.0,
        Spoken(4006381333931),
        Dashed(4006381333931),
        Shouting(" 4006-381333931 "),
        Meddler(4006381333931),
    ],
    ["12345670", 12345670, 12345670.0, Spoken(12345670), "\u3000 0012-3456-70\u2060"],
    ["abc", Shouting("abc")],
    [None, ""],
    ["1234567", 1234567, Spoken(1234567), Meddler(1234567)],
    ["4006381333932", 4006381333932, Dashed(4006381333932)],
    ["123456789012345", 123456789012345, Spoken(123456789012345)],
]
SHORTEST, LONGEST = 200, 2000
COLUMNS = [[group[0] for group in GROUPS] * (1000 // len(GROUPS)) for _ in range(3)]
CHANGING = threading.Lock()  # one change at a time, so that each keeps the groups in place


def change(column, rng):
    with CHANGING:
        n = len(column)
        roll = rng.random()
        if roll < 0.6:
            i = rng.randrange(n)
            column[i] = rng.choice(GROUPS[i % len(GROUPS)])
        elif roll < 0.8 and n < LONGEST:
            end = min(n + rng.randrange(1, 50), LONGEST)
            column.extend(rng.choice(GROUPS[j % len(GROUPS)]) for j in range(n, end))
        elif n > SHORTEST:
            del column[rng.randrange(SHORTEST, n) :]


def reading(p):
    """What every value of a group shares once parsed."""
    key = p.key()
    return p.store_form, p.reason, p.digits, p.is_gtin, key and key.as_key_str()


VIEWS = {
    "store_form_many": (_tevora.store_form_many, _tevora.store_form),
    "key_strings": (_tevora.key_strings, key_string),
    "parse_many": (
        lambda column: [reading(p) for p in _tevora.parse_many(column)],
        lambda value: reading(_tevora.parse(value)),
    ),
}


def test_columns_changed_by_other_threads_and_by_their_own_cells():
    expected = {}
    for name, (_, single) in VIEWS.items():
        answers = [single(value) for value in (group[0] for group in GROUPS)]
        assert all(single(value) == answers[i] for i, group in enumerate(GROUPS) for value in group)
        expected[name] = [answers[i % len(GROUPS)] for i in range(LONGEST)]

    calls = 400 if STRESS else 40
    failures, lengths, stop = [], set(), threading.Event()

    def call(seed):
        rng = random.Random(seed)
        try:
            for _ in range(calls):
                name = rng.choice(list(VIEWS))
                result = VIEWS[name][0](rng.choice(COLUMNS))
                lengths.add(len(result))
                if result != expected[name][: len(result)]:
                    failures.append((name, len(result)))
        except BaseException as error:  # noqa: BLE001 - reported below
            failures.append(error)

    def meddle(seed):
        rng = random.Random(seed)
        while not stop.is_set():
            change(rng.choice(COLUMNS), rng)

    callers = [threading.Thread(target=call, args=(seed,)) for seed in range(4)]
    changers = [threading.Thread(target=meddle, args=(seed,)) for seed in range(10, 12)]
    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)  # hand the lock over as often as the interpreter will
    try:
        for thread in changers + callers:
            thread.start()
        for thread in callers:
            thread.join()
    finally:
        stop.set()
        for thread in changers:
            thread.join()
        sys.setswitchinterval(interval)
    assert failures == []
    assert len(lengths) > 1  # the columns did change under the callers


# CPython 3.12 and later turn an int of more than about 9000 digits into text
# with Python code (the _pylong module), so converting an exact int can run
# code that changes the column. A profiling hook makes that deterministic.
HUGE_INT_SCRIPT = """
import sys
sys.path.insert(0, sys.argv[1])
import _tevora
sys.set_int_max_str_digits(0)
column = [10**20000, "4006381333931", "abc"]
def hook(frame, event, arg):
    if event == "call" and frame.f_code.co_filename.endswith("_pylong.py"):
        sys.setprofile(None)
        column.clear()
sys.setprofile(hook)
print(_tevora.key_strings(column))
"""


def pyenv_interpreters(*minors):
    root = os.environ.get("PYENV_ROOT") or pathlib.Path.home() / ".pyenv"
    found = [sorted(glob.glob(f"{root}/versions/3.{minor}.*/bin/python3.{minor}")) for minor in minors]
    return [paths[-1] for paths in found if paths]


@pytest.mark.parametrize("python", pyenv_interpreters(12, 13))
def test_a_huge_int_whose_conversion_changes_the_column(python):
    # Under `make sanitize` this interpreter inherits the sanitizer; its own
    # memory at exit is no leak of ours.
    env = dict(os.environ, ASAN_OPTIONS="detect_leaks=0")
    done = subprocess.run(
        [python, "-I", "-c", HUGE_INT_SCRIPT, str(pathlib.Path(_tevora.__file__).parent)],
        capture_output=True,
        text=True,
        timeout=120,
        env=env,
        preexec_fn=lambda: resource.setrlimit(resource.RLIMIT_CORE, (0, 0)),
    )  # no core file
    # The walk stops at the column's new end: only the int was read.
    assert (done.returncode, done.stdout) == (0, "[None]\n"), done.stderr[-2000:]
