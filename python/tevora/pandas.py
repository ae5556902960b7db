"""A `gtin` accessor on pandas Series, through the column functions.

Importing this module registers it (it needs pandas; `import tevora` does not):

    >>> import pandas as pd, tevora.pandas
    >>> s = pd.Series(["4006381333931", 4006381333931.0, None, "n/a"], index=list("abcd"))
    >>> s.gtin.store_form().tolist()
    ['04006381333931', '04006381333931', '', 'n/a']

Every method returns a Series or DataFrame with the same index as the Series.

Missing values (NaN, None, pd.NA, NaT) are empty cells, exactly as `None` is
to the column functions: their store form is "", their key None, and `parse`
refuses them as "empty". Without this a float NaN would be read as the text
"NaN". Other values go in as `Series.tolist()` gives them: text as text, and
the numbers of a numeric column as int or float. A float column is what
pandas makes of a GTIN column with a missing value, so its codes read as
4006381333931.0 and are flagged `dropped_fraction`; read GTIN columns as text
(`dtype=str`) to keep the cells as they were written.
"""

from __future__ import annotations

from typing import Any, List

import numpy as np
import pandas as pd

from . import key_strings, parse_many, store_form_many

__all__ = ["GtinAccessor", "cells"]

# The columns of `parse()` and their dtypes: the Parsed attributes, then what the
# GTIN itself says, missing (<NA> or None) where the cell holds no GTIN.
PARSED_COLUMNS = {
    "raw": object, "is_gtin": bool, "gtin": object, "reason": object, "message": object,
    "digits": "Int64", "store_form": object, "was_cleaned": bool, "removed_whitespace": bool,
    "removed_separators": bool, "dropped_fraction": bool,
}
GTIN_COLUMNS = {
    "shortest": object, "encoding": object, "check_digit_is_valid": "boolean", "allocation": object,
    "is_restricted_circulation": "boolean", "is_publication_or_coupon": "boolean",
    "looks_like_internal_code": "boolean", "measure_field_looks_zeroed": "boolean",
}


def cells(series: "pd.Series[Any]") -> List[Any]:
    """The Series as a list the column functions take: missing values become None."""
    values: List[Any] = series.tolist()
    missing = series.isna().to_numpy()
    if missing.any():
        values = [None if m else v for v, m in zip(values, missing)]
    if not (isinstance(series.dtype, np.dtype) and series.dtype.kind in "biuf"):
        # Object and extension columns can hand out numpy scalars, which are
        # not int or float subclasses (numpy.float64 is, and passes unchanged).
        values = [v.item() if isinstance(v, (np.integer, np.floating, np.bool_)) else v for v in values]
    return values


@pd.api.extensions.register_series_accessor("gtin")
class GtinAccessor:
    """`series.gtin`: GTIN store forms, match keys and parsed attributes of a Series."""

    def __init__(self, series: "pd.Series[Any]") -> None:
        self._series = series

    def store_form(self) -> "pd.Series[Any]":
        """What to write back: canonical fourteen digits for a GTIN, the cell otherwise."""
        return self._like(store_form_many(cells(self._series)))

    def key_strings(self) -> "pd.Series[Any]":
        """Match keys as fourteen-character strings, None where the cell holds no GTIN."""
        return self._like(key_strings(cells(self._series)))

    def parse(self) -> pd.DataFrame:
        """One row per cell: the parsed attributes, and for a GTIN its classification."""
        parsed = parse_many(cells(self._series))
        gtins = [p.gtin for p in parsed]
        columns = {}
        for name, dtype in PARSED_COLUMNS.items():
            if name == "gtin":
                values = [g.value if g else None for g in gtins]
            else:
                values = [getattr(p, name) for p in parsed]
            columns[name] = pd.Series(values, dtype=dtype, index=self._series.index)
        for name, dtype in GTIN_COLUMNS.items():
            values = [getattr(g, name) if g else None for g in gtins]
            columns[name] = pd.Series(values, dtype=dtype, index=self._series.index)
        return pd.DataFrame(columns, index=self._series.index)

    def _like(self, values: List[Any]) -> "pd.Series[Any]":
        return pd.Series(values, index=self._series.index, name=self._series.name, dtype=object)
