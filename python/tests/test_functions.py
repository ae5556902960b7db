"""The six module functions: cell parsing, store forms, keys, and columns."""

import sys
import threading
import time

import pytest
from hypothesis import given, settings, strategies as st

import _tevora
from support import Dashed, Shouting, Sunk, describe, key_string

BATCH = ["parse_many", "store_form_many", "key_strings"]


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


SPECIALS = "\t\n\x0b \x85\xa0\u2003\u200a\u200b\u2060\ufeff\u3000-\xad\u2014\u2212..,,+ea\u200c\u180e\x1c\x7f\x80\uff14"
messy_text = st.text(st.sampled_from("0123456789" * 5 + SPECIALS), max_size=24)


cells = st.one_of(
    st.none(),
    st.booleans(),
    st.integers(),
    st.integers(10**7, 10**14),
    st.floats(),
    st.floats(1e7, 1e14),
    messy_text,
    st.text(max_size=6),
    messy_text.map(Shouting),
    st.integers(10**7, 10**14).map(Dashed),
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
