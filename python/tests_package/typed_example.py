"""Every public name of tevora, used with the types its stubs promise.

test_typing.py runs mypy --strict on this file; it is never imported.
"""

from typing import Callable, List, Optional, Sequence, Union

import pandas as pd

import tevora
import tevora.pandas
from tevora import (
    DOMAIN_MAX_DIGITS,
    DOMAIN_MIN_DIGITS,
    Gtin14,
    GtinKey,
    Parsed,
    key,
    key_strings,
    parse,
    parse_many,
    store_form,
    store_form_many,
)
from tevora.cli import main

version: str = tevora.__version__
names: List[str] = tevora.__all__
bounds: List[int] = [DOMAIN_MIN_DIGITS, DOMAIN_MAX_DIGITS]

p: Parsed = parse(" 4006381333931.0")
texts: List[Optional[str]] = [p.raw, p.reason, p.message, p.store_form]
digits: Optional[int] = p.digits
flags: List[bool] = [p.is_gtin, p.was_cleaned, p.removed_whitespace, p.removed_separators, p.dropped_fraction]
parsed_key: Optional[GtinKey] = p.key()

g: Optional[Gtin14] = p.gtin
if g is not None:
    about: List[Optional[str]] = [
        g.value,
        g.shortest,
        g.encoding,
        g.indicator,
        g.allocation,
        g.allocation_description,
    ]
    numbers: List[Optional[int]] = [
        g.significant_digits,
        g.check_digit,
        g.expected_check_digit,
        g.indicator_digit,
    ]
    verdicts: List[bool] = [
        g.check_digit_is_valid,
        g.is_restricted_circulation,
        g.is_publication_or_coupon,
        g.looks_like_internal_code,
        g.measure_field_looks_zeroed,
        g == g.with_recomputed_check_digit(),
    ]
    k: GtinKey = g.key()
    key_text: str = k.as_key_str()
    same_key: bool = k == key(4006381333932) and hash(k) == hash(g)

one: str = store_form(4006381333931)
floats: List[Optional[float]] = [4006381333931.0, None]
stores: List[str] = store_form_many(floats)
keys: List[Optional[str]] = key_strings(["4006381333931", "n/a"])
cells: List[Union[str, int, float, None]] = [1, 2.5, "x", None]
column: List[Parsed] = parse_many(cells)
written_in_place: List[Parsed] = parse_many([1, 2.5, "x", None])

entry: Callable[[Optional[Sequence[str]]], int] = main
frame: pd.DataFrame = pd.Series(["4006381333931"]).gtin.parse()
accessor: type = tevora.pandas.GtinAccessor
