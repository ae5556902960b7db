"""Helpers shared by the test modules."""

import os
import struct
import sys

import _tevora

# `make stress` sets TEVORA_STRESS=1: the leak loops then run at full length,
# the thread test longer, and the tests too heavy for every run take part.
STRESS = os.environ.get("TEVORA_STRESS") == "1"
# `make sanitize` has Python allocate with plain malloc, which keeps no count of blocks.
SANITIZED = sys.getallocatedblocks() == 0


def float_below(x):
    """The float next below a positive finite x: math.nextafter(x, 0), which
    CPython 3.8 lacks."""
    (bits,) = struct.unpack("<q", struct.pack("<d", x))
    return struct.unpack("<d", struct.pack("<q", bits - 1))[0]


def describe(parsed):
    """Everything a `Parsed` shows, as plain values, so two results compare."""
    gtin, key = parsed.gtin, parsed.key()
    return (
        parsed.raw,
        gtin and gtin.value,
        parsed.reason,
        parsed.message,
        parsed.digits,
        parsed.store_form,
        parsed.was_cleaned,
        parsed.removed_whitespace,
        parsed.removed_separators,
        parsed.dropped_fraction,
        parsed.is_gtin,
        key and key.as_key_str(),
        repr(parsed),
    )


def key_string(value):
    """The single-cell counterpart of one `key_strings` item."""
    key = _tevora.key(value)
    return None if key is None else key.as_key_str()


class Dashed(int):
    """An int whose own str() groups its digits with dashes."""

    def __str__(self):
        return f"{int(self):,}".replace(",", "-")


class Shouting(str):
    """A str whose str() must not be consulted."""

    def __str__(self):
        return "IGNORED"


class Sunk(float):
    """A float whose text forms must not be consulted."""

    def __str__(self):
        return "IGNORED"

    __repr__ = __str__
