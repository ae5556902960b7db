"""A plain-Python model of what the module computes, from its documented rules.

It shares nothing with the extension: no table, no code, no trick. The
property tests hold the extension to it over generated cells, so a fault has
to be made twice, the same way, to go unnoticed.
"""

import math
from typing import NamedTuple, Optional

# ---- Cell values to cell texts ---------------------------------------------


def float_text(value):
    """The float layout, read off float.__repr__(): it picks the same digits
    and changes layout at the same bounds, but writes its exponent differently."""
    if math.isnan(value):
        return "NaN"
    mantissa, _, exponent = float.__repr__(value).partition("e")
    return f"{mantissa}e{int(exponent)}" if exponent else mantissa


def cell_text(value):
    """The text a cell value hands the parser; raises what the module raises."""
    if value is None:
        return ""
    if isinstance(value, str):
        text = str.__str__(value)  # a subclass's own __str__ is not asked
        text.encode("utf-8")  # a lone surrogate raises UnicodeEncodeError
        return text
    if isinstance(value, int):
        return cell_text(str(value))  # here a subclass's __str__ is asked
    if isinstance(value, float):
        return float_text(value)
    raise TypeError(f"expected str, int, float or None, got {type(value).__name__}")


def column_error(value):
    """The message of the TypeError a column holding this bad item raises."""
    try:
        cell_text(value)
    except Exception as error:  # noqa: BLE001 - whatever the item raised
        return f"every item must be str, int, float or None: {type(error).__qualname__}: {error}"
    raise AssertionError(f"{value!r} is a good cell")


# ---- The cell parser, the store form and the match key ---------------------

# The 25 code points of White_Space, the three zero-width ones, the nine dashes.
WHITESPACE = frozenset(
    "\t\n\x0b\x0c\r \x85\xa0\u1680\u2028\u2029\u202f\u205f\u3000"
    "\u2000\u2001\u2002\u2003\u2004\u2005\u2006\u2007\u2008\u2009\u200a"
)
ZERO_WIDTH = frozenset("\u200b\u2060\ufeff")
DASHES = frozenset("-\xad\u2010\u2011\u2012\u2013\u2014\u2015\u2212")
DECIMAL_SEPARATORS = frozenset(".,")
DIGITS = "0123456789"

MESSAGES = {
    "empty": "The cell is empty",
    "non_numeric": "Not a number — the cell holds more than digits",
    "too_short": "Fewer than 8 digits — too short to be a GTIN",
    "too_long": "More than 14 digits — not a GTIN",
}


class Outcome(NamedTuple):
    gtin: Optional[str]  # fourteen digits, or None for a refusal
    reason: Optional[str]
    digits: Optional[int]
    removed_whitespace: bool = False
    removed_separators: bool = False
    dropped_fraction: bool = False


def refused(reason, digits=None):
    return Outcome(None, reason, digits)


def parse(text):
    integer, fraction, in_fraction, whitespace, dashes = "", 0, False, False, False
    for c in text:
        if c in DIGITS:
            if in_fraction:
                fraction += 1
            else:
                integer += c
        elif c in WHITESPACE or c in ZERO_WIDTH:
            whitespace = True
        elif c in DASHES:
            dashes = True
        elif c in DECIMAL_SEPARATORS and integer and not in_fraction:
            in_fraction = True
        else:
            return refused("non_numeric")
    if in_fraction and not fraction:
        return refused("non_numeric")
    if not integer:
        return refused("empty")
    if len(integer) < 8:
        return refused("too_short", len(integer))
    if len(integer) > 14:
        return refused("too_long", len(integer))
    return Outcome(integer.rjust(14, "0"), None, None, whitespace, dashes, in_fraction)


def store_form(text):
    gtin = parse(text).gtin
    return text if gtin is None else gtin


def key(text):
    gtin = parse(text).gtin
    return None if gtin is None else gtin[:13] + "0"


# ---- What a Gtin14 shows -----------------------------------------------------

DESCRIPTIONS = {
    "restricted_circulation_company": "Restricted Circulation Numbers within a company",
    "restricted_circulation_region": "Restricted Circulation Numbers within a geographic region",
    "company_prefix": "GS1 Company Prefixes",
    "upc_company_prefix": "GS1 Company Prefixes from which U.P.C. Company Prefixes can be derived",
    "reserved_gs1_us": "GS1 US reserved for future use",
    "unused_for_gtin8": "Unused to avoid collision with GTIN-8",
    "gtin8_issuance": "Used to issue GTIN-8s",
    "epc_general_manager": "General Manager Numbers for the EPC General Identifier (GID) scheme",
    "demonstration": "Demonstrations and examples of the GS1 system",
    "issn": "ISSN International Centre, for serial publications",
    "isbn": "International ISBN Agency, for books",
    "ismn": "International ISMN Agency, for printed music",
    "refund_receipt": "GS1 identification of refund receipts",
    "coupon": "GS1 coupon identification",
    "reserved_coupon": "Reserved for future GS1 coupon identification",
    "reserved_future_use": "Reserved for future use",
}
RESTRICTED = {"restricted_circulation_company", "restricted_circulation_region"}
PUBLICATION_OR_COUPON = {"issn", "isbn", "ismn", "refund_receipt", "coupon", "reserved_coupon"}

# (last prefix of a range, allocation), ranges in order from 000.
GTIN8_RANGES = [
    (99, "restricted_circulation_company"),
    (199, "gtin8_issuance"),
    (299, "restricted_circulation_company"),
    (951, "gtin8_issuance"),
    (952, "demonstration"),
    (976, "gtin8_issuance"),
    (999, "reserved_future_use"),
]
GS1_RANGES = [
    (19, "upc_company_prefix"),
    (29, "restricted_circulation_region"),
    (39, "upc_company_prefix"),
    (49, "restricted_circulation_company"),
    (59, "reserved_gs1_us"),
    (99, "upc_company_prefix"),
    (199, "company_prefix"),
    (299, "restricted_circulation_region"),
    (950, "company_prefix"),
    (951, "epc_general_manager"),
    (952, "demonstration"),
    (976, "company_prefix"),
    (977, "issn"),
    (978, "isbn"),
    (979, "isbn"),
    (980, "refund_receipt"),
    (983, "coupon"),
    (989, "reserved_coupon"),
    (999, "coupon"),
]


def in_ranges(ranges, prefix):
    return next(name for last, name in ranges if prefix <= last)


def allocation(value):
    if value[:6] == "000000":
        return in_ranges(GTIN8_RANGES, int(value[6:9]))
    prefix = int(value[1:4])
    if prefix == 0 and value[4:6] == "00":
        return "restricted_circulation_company" if value[6:8] == "00" else "unused_for_gtin8"
    if prefix == 979 and value[4] == "0":
        return "ismn"
    return in_ranges(GS1_RANGES, prefix)


def fourteen_hash(text):
    """31-fold polynomial hash over the bytes, never -1."""
    h = 0
    for byte in text.encode():
        h = (h * 31 + byte) % 2**64
    h = min(h, 2**64 - 2)
    return h - 2**64 if h >= 2**63 else h


def gtin_attributes(value):
    """Every attribute of a Gtin14 with these fourteen digits, and its text forms."""
    d = [int(c) for c in value]
    expected = -(3 * sum(d[0:13:2]) + sum(d[1:13:2])) % 10
    length = 14 if d[0] else 13 if d[1] else 8 if value[2:6] == "0000" else 12
    kind = allocation(value)
    key_text = value[:13] + "0"
    return {
        "value": value,
        "shortest": value[-length:],
        "encoding": f"GTIN-{length}",
        "significant_digits": len(value.lstrip("0")),
        "check_digit": d[13],
        "expected_check_digit": expected,
        "check_digit_is_valid": d[13] == expected,
        "indicator": {0: None, 9: "variable_measure"}.get(d[0], "grouping"),
        "indicator_digit": d[0] or None,
        "allocation": kind,
        "allocation_description": DESCRIPTIONS[kind],
        "is_restricted_circulation": kind in RESTRICTED,
        "is_publication_or_coupon": kind in PUBLICATION_OR_COUPON,
        "looks_like_internal_code": value[:7] == "0000000",
        "measure_field_looks_zeroed": kind in RESTRICTED and value[9:] == "00000" and d[13] != expected,
        "str": value,
        "repr": f"Gtin14('{value}')",
        "hash": fourteen_hash(value),
        "key": key_text,
        "key repr": f"GtinKey('{key_text}')",
        "key hash": fourteen_hash(key_text),
        "recomputed": value[:13] + str(expected),
    }
