"""Inputs at the far end: huge cells, huge columns, huge ints, a separator everywhere."""

import pathlib
import subprocess
import sys

import pytest

import _tevora
import reference
from support import SANITIZED, STRESS, Dashed, key_string

TEN_MILLION = 10_000_000
SINGLE = ["parse", "store_form", "key"]
BATCH = ["parse_many", "store_form_many", "key_strings"]

# How to make the cell (made in the test, not at collection), then the
# value, reason and digit count that parsing it gives.
HUGE_CELLS = {
    "digits": (lambda: "1" * TEN_MILLION, None, "too_long", TEN_MILLION),
    "spaces, then a GTIN-13": (lambda: " " * TEN_MILLION + "4006381333931", "04006381333931", None, None),
    "ideographic spaces, then a GTIN-8": (lambda: "\u3000" * TEN_MILLION + "12345670", "00000012345670", None, None),
    "a GTIN-13 and a long fraction": (lambda: "4006381333931." + "0" * TEN_MILLION, "04006381333931", None, None),
    "dashes": (lambda: "-" * TEN_MILLION, None, "empty", None),
    "digits, then a letter": (lambda: "0" * TEN_MILLION + "a", None, "non_numeric", None),
    "emoji": (lambda: "\U0001f600" * TEN_MILLION, None, "non_numeric", None),
}


@pytest.mark.parametrize("make, gtin, reason, digits", HUGE_CELLS.values(), ids=HUGE_CELLS)
def test_a_cell_of_ten_million_characters(make, gtin, reason, digits):
    cell = make()
    stored, key = gtin or cell, gtin and gtin[:13] + "0"
    p = _tevora.parse(cell)
    assert (p.gtin and p.gtin.value, p.reason, p.digits, p.store_form) == (gtin, reason, digits, stored)
    assert p.raw == cell
    assert repr(p) == (f"Parsed(gtin=Gtin14('{gtin}'))" if gtin else f'Parsed(raw="{cell}", reason="{reason}")')
    [q] = _tevora.parse_many([cell])
    assert (q.raw, q.reason, q.digits) == (cell, reason, digits)
    assert _tevora.store_form(cell) == _tevora.store_form_many([None, cell])[1] == stored
    assert key_string(cell) == _tevora.key_strings([cell, None])[0] == key


def test_a_column_of_ten_million_none():
    column = [None] * TEN_MILLION
    assert _tevora.store_form_many(column) == [""] * TEN_MILLION
    assert _tevora.key_strings(column) == column


@pytest.mark.skipif(not STRESS, reason="ten million Parsed objects: `make stress`")
def test_parse_many_over_ten_million_none():
    parsed = _tevora.parse_many([None] * TEN_MILLION)
    assert len(parsed) == TEN_MILLION and len({type(p) for p in parsed}) == 1
    assert {(p.raw, p.reason) for p in parsed[:: TEN_MILLION // 1000]} == {("", "empty")}


@pytest.fixture
def default_digit_limit():
    before = sys.get_int_max_str_digits()
    sys.set_int_max_str_digits(sys.int_info.default_max_str_digits)
    yield sys.int_info.default_max_str_digits
    sys.set_int_max_str_digits(before)


@pytest.mark.parametrize("sign", [1, -1])
def test_integers_up_to_the_digit_limit_are_read(default_digit_limit, sign):
    value = sign * (10**default_digit_limit - 1)
    for cell in (value, Dashed(value)):
        p = _tevora.parse(cell)
        assert (p.raw, p.reason, p.digits) == (str(cell), "too_long", default_digit_limit)
    assert _tevora.store_form_many([value]) == [str(value)]


PAST_THE_LIMIT = {"one digit": 10**4300, "negative": -(10**4300), "far": 10**50_000, "subclass": Dashed(10**4300)}


@pytest.mark.parametrize("value", PAST_THE_LIMIT.values(), ids=PAST_THE_LIMIT)
def test_integers_past_the_digit_limit_raise_what_str_raises(default_digit_limit, value):
    with pytest.raises(ValueError) as expected:
        str(value)
    for name in SINGLE:
        with pytest.raises(ValueError) as error:
            getattr(_tevora, name)(value)
        assert (type(error.value), error.value.args) == (type(expected.value), expected.value.args)
    for name in BATCH:
        with pytest.raises(TypeError) as error:
            getattr(_tevora, name)([4006381333931, value, None])
        assert str(error.value) == reference.column_error(value)


def test_without_a_digit_limit_a_huge_integer_is_too_long():
    before = sys.get_int_max_str_digits()
    sys.set_int_max_str_digits(0)
    try:
        value = 7 * 10**100_000
        assert (_tevora.parse(value).digits, _tevora.key(value)) == (100_001, None)
        assert _tevora.store_form_many([value, value]) == [str(value)] * 2
    finally:
        sys.set_int_max_str_digits(before)


OUT_OF_MEMORY_SCRIPT = """
import resource, sys
sys.path.insert(0, sys.argv[1])
import _tevora
column = ["4006381333931", " 12345670 ", None, 4006381333931.0, "abc" * 10, "\u3000" * 40 + "1234567890123",
          123456789012345] * 150_000
with open("/proc/self/statm") as statm:
    mapped = int(statm.read().split()[0]) * resource.getpagesize()
resource.setrlimit(resource.RLIMIT_AS, (mapped + (int(sys.argv[2]) << 20),) * 2)
for name in ("parse_many", "store_form_many", "key_strings"):
    try:
        print(len(getattr(_tevora, name)(column)) == len(column))
    except MemoryError:
        print("MemoryError")
"""


@pytest.mark.skipif(SANITIZED, reason="the sanitizers reserve address space of their own")
@pytest.mark.parametrize("megabytes", [20, 100, 130, 200])
def test_running_out_of_memory_raises_memory_error(megabytes):
    done = subprocess.run(
        [sys.executable, "-c", OUT_OF_MEMORY_SCRIPT, str(pathlib.Path(_tevora.__file__).parent), str(megabytes)],
        capture_output=True,
        text=True,
        timeout=120,
    )
    assert done.returncode == 0, done.stderr[-2000:]
    outcomes = done.stdout.split()  # a whole list or MemoryError, never a short list or a crash
    assert len(outcomes) == 3 and set(outcomes) <= {"True", "MemoryError"}


SKIPPED = sorted(reference.WHITESPACE | reference.ZERO_WIDTH | reference.DASHES)


@pytest.mark.parametrize(
    "between", [*SKIPPED, "".join(SKIPPED)], ids=lambda s: "all" if len(s) > 1 else f"U+{ord(s):04X}"
)
def test_a_skipped_character_between_every_digit(between):
    decimal = "," if len(between) > 1 else "."
    cell = between + between.join("4006381333932") + between + decimal + between + between.join("50") + between
    whitespace, dashes = any(c not in reference.DASHES for c in between), any(c in reference.DASHES for c in between)
    for p in (_tevora.parse(cell), *_tevora.parse_many([cell])):
        assert (p.gtin.value, p.removed_whitespace, p.removed_separators, p.dropped_fraction) == (
            "04006381333932",
            whitespace,
            dashes,
            True,
        )
    assert _tevora.store_form(cell) == _tevora.store_form_many([cell])[0] == "04006381333932"
    assert key_string(cell) == _tevora.key_strings([cell])[0] == "04006381333930"
