"""Every entry point, happy or failing, called over and over: nothing may pile up.

After a warm-up, the interpreter's count of allocated blocks and the process's
resident memory are taken, the call is repeated, and both are taken again.
Under the sanitizer run (`make sanitize`, where Python allocates with plain
malloc and there are no blocks to count) each call runs a few times instead,
and LeakSanitizer reports what was lost when the process ends.
"""

import gc
import os
import sys

import pytest

import _tevora
from support import SANITIZED, STRESS, Dashed, Shouting, Sunk

CALLS = 300_000  # per case under `make stress`; every other run makes a fifteenth of them
BLOCKS_NOISE = 64
RSS_NOISE = 2 << 20


class Raising(int):
    def __str__(self):
        raise LookupError("no text")


class Unprintable(Exception):
    def __str__(self):
        raise RuntimeError("no text either")


class RaisingUnprintable(int):
    def __str__(self):
        raise Unprintable()


class BadEquality:
    def __eq__(self, other):
        raise LookupError("cannot compare")


parsed, refused = _tevora.parse(" 4006-381333931.0 "), _tevora.parse('a\t"\\\xa0\U0001f600')
gtin, key = parsed.gtin, parsed.key()
GOOD = [
    "4006381333931",
    " 4006-3813\u3000 33931,5",
    "abc",
    None,
    "",
    4006381333931,
    -12345670,
    10**30,
    True,
    4006381333931.0,
    float("nan"),
    -0.0,
    1e300,
    Dashed(12345670),
    Shouting("04006381333931"),
    Sunk(2.5),
    "x" * 300,
    "\u2014" * 300,
    "7" * 40,
]
BAD = {
    "object": object(),
    "bytes": b"4006381333931",
    "list": [1],
    "lone surrogate": "1234\ud800",
    "str() raises": Raising(12345670),
    "str() of the error raises": RaisingUnprintable(1),
    "past the digit limit": 10**5000,
}

CASES = {
    # Single cells, each kind of value.
    **{f"parse {v!r:.20}": (lambda v=v: _tevora.parse(v)) for v in GOOD},
    "store_form of every kind": lambda: [_tevora.store_form(v) for v in GOOD],
    "key of every kind": lambda: [_tevora.key(v) for v in GOOD],
    # Columns, and a column mapped out of the heap (texts past 8 MiB).
    **{
        f"{f.__name__} of every kind": (lambda f=f: f(GOOD))
        for f in (_tevora.parse_many, _tevora.store_form_many, _tevora.key_strings)
    },
    "a column of 3 MiB texts": (lambda: _tevora.store_form_many(["5" * (3 << 20)] * 3), 60),
    # Every attribute and method of every class, and their text forms.
    **{
        f"Parsed.{name}": (lambda p=p, name=name: getattr(p, name))
        for p in (parsed, refused)
        for name in (
            "raw",
            "gtin",
            "reason",
            "message",
            "digits",
            "store_form",
            "was_cleaned",
            "removed_whitespace",
            "removed_separators",
            "dropped_fraction",
            "is_gtin",
        )
    },
    "Parsed.key() and repr()": lambda: (parsed.key(), refused.key(), repr(parsed), repr(refused)),
    **{
        f"Gtin14.{name}": (lambda name=name: getattr(gtin, name))
        for name in (
            "value",
            "shortest",
            "encoding",
            "significant_digits",
            "check_digit",
            "expected_check_digit",
            "check_digit_is_valid",
            "indicator",
            "indicator_digit",
            "allocation",
            "allocation_description",
            "is_restricted_circulation",
            "is_publication_or_coupon",
            "looks_like_internal_code",
            "measure_field_looks_zeroed",
        )
    },
    "Gtin14 methods and text forms": lambda: (
        gtin.key(),
        gtin.with_recomputed_check_digit(),
        str(gtin),
        repr(gtin),
        hash(gtin),
        f"{gtin}",
        gtin == gtin,
        gtin != key,
    ),
    "GtinKey methods and text forms": lambda: (
        key.as_key_str(),
        repr(key),
        str(key),
        hash(key),
        key == key,
        key != "x",
        key == gtin,
    ),
    # Bad cells alone, and at the start, in the middle and at the end of a column.
    **{f"single, {what}": (lambda bad=bad: _tevora.key(bad)) for what, bad in BAD.items()},
    **{
        f"column, {what} at {where}": (lambda column=column: _tevora.parse_many(column))
        for what, bad in BAD.items()
        for where, column in (("start", [bad, *GOOD]), ("middle", [*GOOD, bad, *GOOD]), ("end", [*GOOD, bad]))
    },
    "store_form_many and key_strings, bad item in the middle": lambda: (
        _tevora.store_form_many([*GOOD, BAD["str() raises"], *GOOD]),
        _tevora.key_strings([*GOOD, b"", *GOOD]),
    ),
    # Wrong call shapes, wrong columns, classes called, failing comparisons.
    "no argument": lambda: _tevora.parse(),
    "two arguments": lambda: _tevora.parse_many([], []),
    "unknown keyword": lambda: _tevora.store_form(v=1),
    "argument twice": lambda: _tevora.key(1, value=2),
    "keyword argument": lambda: _tevora.key_strings(values=GOOD),
    "a tuple for a column": lambda: _tevora.store_form_many(tuple(GOOD)),
    "a class called": lambda: _tevora.Gtin14("04006381333931"),
    "an ordering": lambda: gtin < gtin,
    "an attribute set": lambda: setattr(gtin, "value", "1"),
    "!= through a failing __eq__": lambda: key != BadEquality(),
}


def call_repeatedly(case, calls):
    for _ in range(calls):
        try:
            case()
        except Exception:  # noqa: BLE001 - the failing calls are among the cases
            pass


def resident_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


@pytest.mark.parametrize("case", CASES.values(), ids=CASES)
def test_nothing_piles_up(case):
    case, calls = case if isinstance(case, tuple) else (case, CALLS)
    calls = calls if STRESS else max(calls // 15, 10)
    if SANITIZED:
        call_repeatedly(case, 20)
        return
    call_repeatedly(case, max(calls // 10, 2))
    gc.collect()
    blocks, resident = sys.getallocatedblocks(), resident_bytes()
    call_repeatedly(case, calls)
    gc.collect()
    assert sys.getallocatedblocks() - blocks < BLOCKS_NOISE
    assert resident_bytes() - resident < RSS_NOISE
