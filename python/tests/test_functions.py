"""The six module functions: cell parsing, store forms, keys, and columns."""
import sys
import threading
import time

import pytest
from hypothesis import given, settings, strategies as st

import _tevora
from support import MESSAGES, Dashed, Shouting, Sunk, describe, key_string

BATCH = ["parse_many", "store_form_many", "key_strings"]
WHITESPACE = set("\t\n\x0b\x0c\r \x85\xa0\u1680\u2028\u2029\u202f\u205f\u3000") | set(map(chr, range(0x2000, 0x200B)))
ZERO_WIDTH = set("\u200b\u2060\ufeff")
DASHES = set("-\xad\u2010\u2011\u2012\u2013\u2014\u2015\u2212")


def outcome(parsed):
    """(value, reason, digits, flags) with the flags as letters w, s and f."""
    flags = zip("wsf", (parsed.removed_whitespace, parsed.removed_separators, parsed.dropped_fraction))
    value = None if parsed.gtin is None else parsed.gtin.value
    return value, parsed.reason, parsed.digits, "".join(letter for letter, on in flags if on)


def test_none_is_an_empty_cell():
    p = _tevora.parse(None)
    assert outcome(p) == (None, "empty", None, "") and p.raw == ""
    assert _tevora.store_form(None) == "" and _tevora.key(None) is None
    assert [describe(q) for q in _tevora.parse_many([None])] == [describe(p)]
    assert _tevora.store_form_many([None]) == [""] and _tevora.key_strings([None]) == [None]


@pytest.mark.parametrize("name", BATCH)
def test_an_empty_column_gives_a_new_empty_list(name):
    column = []
    first, second = getattr(_tevora, name)(column), getattr(_tevora, name)(column)
    assert type(first) is list and first == [] and first is not second and first is not column


def test_results_are_plain_objects():
    column = [Shouting("abc"), "4006381333931", None, 12345670.0, "abc"]
    assert [type(item) for item in _tevora.store_form_many(column)] == [str] * 5
    assert [type(item) for item in _tevora.key_strings(column)] == [type(None), str, type(None), str, type(None)]
    assert {type(item) for item in _tevora.parse_many(column)} == {_tevora.Parsed}
    assert type(_tevora.store_form(Shouting("abc"))) is str


def test_every_call_returns_new_objects():
    for cell in ("04006381333931", "abc"):
        assert _tevora.store_form(cell) == cell and _tevora.store_form(cell) is not cell
    assert _tevora.parse("4006381333931") is not _tevora.parse("4006381333931")
    assert _tevora.key("4006381333931") is not _tevora.key("4006381333931")


def reference_outcome(text):
    """The cell parser's rules, written out plainly."""
    digits, fraction, in_fraction, flags = "", 0, False, ""
    for c in text:
        if "0" <= c <= "9":
            fraction, digits = (fraction + 1, digits) if in_fraction else (fraction, digits + c)
        elif c in WHITESPACE or c in ZERO_WIDTH or c in DASHES:
            flags += "w" if c in WHITESPACE or c in ZERO_WIDTH else "s"
        elif c in ".," and digits and not in_fraction:
            in_fraction = True
        else:
            return None, "non_numeric", None, ""
    if in_fraction and not fraction:
        return None, "non_numeric", None, ""
    if not digits:
        return None, "empty", None, ""
    if not 8 <= len(digits) <= 14:
        return None, "too_short" if len(digits) < 8 else "too_long", len(digits), ""
    return digits.rjust(14, "0"), None, None, "".join(f for f in "wsf" if f in flags + "f" * in_fraction)


SPECIALS = "\t\n\x0b \x85\xa0\u2003\u200a\u200b\u2060\ufeff\u3000-\xad\u2014\u2212..,,+ea\u200c\u180e\x1c\x7f\x80\uff14"
messy_text = st.text(st.sampled_from("0123456789" * 5 + SPECIALS), max_size=24)


@settings(max_examples=1000, deadline=None)
@given(messy_text)
def test_parser_rules(text):
    p = _tevora.parse(text)
    assert outcome(p) == reference_outcome(text)
    assert p.message == MESSAGES.get(p.reason)
    assert p.was_cleaned == any((p.removed_whitespace, p.removed_separators, p.dropped_fraction))
    assert (p.raw, p.store_form) == (text, text if p.gtin is None else p.gtin.value)


cells = st.one_of(
    st.none(), st.booleans(), st.integers(), st.integers(10**7, 10**14), st.floats(), st.floats(1e7, 1e14),
    messy_text, st.text(max_size=6), messy_text.map(Shouting), st.integers(10**7, 10**14).map(Dashed),
    st.floats(1e7, 1e14).map(Sunk),
)


@settings(max_examples=200, deadline=None)
@given(st.lists(cells, max_size=40))
def test_column_functions_agree_with_single_cell_functions(column):
    assert [describe(p) for p in _tevora.parse_many(column)] == [describe(_tevora.parse(v)) for v in column]
    assert _tevora.store_form_many(column) == [_tevora.store_form(v) for v in column]
    assert _tevora.key_strings(column) == [key_string(v) for v in column]
    assert [_tevora.parse(v).store_form for v in column] == [_tevora.store_form(v) for v in column]


@pytest.mark.parametrize("name", ["store_form_many", "key_strings"])
def test_other_threads_run_during_column_work(name):
    column = ["4006381333931", " 4006-3813-33931 ", "abc", None, 12345670] * 400_000
    state = {"in_call": False, "stop": False, "progress": 0}
    started = threading.Event()

    def busy():
        started.set()
        while not state["stop"]:
            state["progress"] += state["in_call"]
            time.sleep(0)  # hands the lock back whenever it is wanted

    # With a long switch interval nobody is forced to give up the lock, so the
    # busy thread can only count while the call has released it.
    interval = sys.getswitchinterval()
    sys.setswitchinterval(60)
    thread = threading.Thread(target=busy)
    try:
        thread.start()
        started.wait()
        state["in_call"] = True
        result = getattr(_tevora, name)(column)
        state["in_call"] = False
    finally:
        state["stop"] = True
        thread.join()
        sys.setswitchinterval(interval)
    assert len(result) == len(column)
    assert state["progress"] > 0
