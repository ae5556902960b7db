"""Smoke test of one built module, stdlib only, for any CPython from 3.8.

Usage: python smoke.py path/to/_tevora.abi3.so
"""
import os
import sys
import threading

sys.path.insert(0, os.path.dirname(os.path.abspath(sys.argv[1])))
import _tevora as t  # noqa: E402

assert t.__all__[:3] == ["__doc__", "DOMAIN_MIN_DIGITS", "DOMAIN_MAX_DIGITS"], t.__all__
assert t.__doc__ == "GTIN parsing, canonicalisation, match keys and GS1 classification."
assert (t.DOMAIN_MIN_DIGITS, t.DOMAIN_MAX_DIGITS) == (8, 14)

column = [" 4006381333931 ", 4006381333931.0, "4006-3813-33932", 12345670, None, "abc", 1e16, True]
assert t.store_form_many(column) == [
    "04006381333931", "04006381333931", "04006381333932", "00000012345670",
    "", "abc", "1e16", "True",
]
assert t.key_strings(column)[:5] == ["04006381333930"] * 3 + ["00000012345670", None]
assert t.key(4006381333932) == t.key("4006381333931")
assert repr(t.key("4006381333931")) == "GtinKey('04006381333930')"
try:
    t.store_form_many((1, 2))
except TypeError as e:
    assert str(e) == "argument 'values': 'tuple' object cannot be converted to 'PyList'", e
else:
    raise AssertionError("a tuple was accepted")

if hasattr(t, "parse_many"):
    parsed = t.parse_many(column)
    assert [p.is_gtin for p in parsed] == [True] * 4 + [False] * 4
    g = parsed[0].gtin
    assert (g.value, g.shortest, g.encoding, g.allocation) == (
        "04006381333931", "4006381333931", "GTIN-13", "company_prefix")
    assert hash(g) == -3223999958918846050 and g == parsed[1].gtin and g != parsed[2].gtin
    assert repr(parsed[5]) == 'Parsed(raw="abc", reason="non_numeric")'
    assert parsed[4].message == "The cell is empty"

# The column work runs without the GIL: another thread may use the module.
results = []
worker = threading.Thread(target=lambda: results.append(t.store_form_many(column * 1000)))
worker.start()
worker.join()
assert len(results[0]) == len(column) * 1000

print("ok")
