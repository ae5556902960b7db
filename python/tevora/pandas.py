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

A column backed by Arrow (pandas' default `str` dtype from pandas 3,
`string[pyarrow]`, `pd.ArrowDtype`) goes through `tevora.arrow` without a
Python object per cell, and its results keep its dtype. `parse()` always
uses the columnar parse: its strings come back as `string[pyarrow]` (missing
is <NA>), its enumerated texts as categoricals.
"""

from __future__ import annotations

import functools
from typing import Any, List, Tuple

import numpy as np
import pandas as pd

from . import arrow, key_strings, parse_many, store_form_many

__all__ = ["GtinAccessor", "cells"]


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
        if _arrow_backed(self._series):
            return self._like_arrow(arrow.store_form(self._series.array))
        return self._like(store_form_many(cells(self._series)))

    def key_strings(self) -> "pd.Series[Any]":
        """Match keys as fourteen-character strings, None where the cell holds no GTIN."""
        if _arrow_backed(self._series):
            return self._like_arrow(arrow.key_strings(self._series.array))
        return self._like(key_strings(cells(self._series)))

    def parse(self) -> pd.DataFrame:
        """One row per cell: the parsed attributes, and for a GTIN its classification."""
        import pyarrow as pa

        table = pa.table(arrow.parse(_as_arrow(self._series)))
        # The columns are new arrays of their own: the frame need not copy them.
        return pd.DataFrame(
            {name: _column(table.column(name)) for name in table.column_names}, index=self._series.index, copy=False
        )

    def _like(self, values: List[Any]) -> "pd.Series[Any]":
        return pd.Series(values, index=self._series.index, name=self._series.name, dtype=object)

    def _like_arrow(self, result: Any) -> "pd.Series[Any]":
        import pyarrow as pa

        chunked = pa.chunked_array(result)
        dtype = self._series.dtype
        if not isinstance(dtype, pd.StringDtype):
            dtype = pd.ArrowDtype(chunked.type)
        values = dtype.__from_arrow__(chunked)
        return pd.Series(values, index=self._series.index, name=self._series.name)


def _arrow_backed(series: "pd.Series[Any]") -> bool:
    dtype = series.dtype
    if isinstance(dtype, pd.StringDtype):
        return bool(dtype.storage == "pyarrow")
    return type(dtype).__name__ == "ArrowDtype"


def _as_arrow(series: "pd.Series[Any]") -> Any:
    """The Series as an Arrow column whose cells read as the list functions read `cells(series)`."""
    import pyarrow as pa

    if _arrow_backed(series) or isinstance(series.dtype, (pd.CategoricalDtype, pd.BooleanDtype)):
        return pa.array(series.array) if _arrow_backed(series) else pa.array(series, from_pandas=True)
    if isinstance(series.dtype, np.dtype) and series.dtype.kind in "biuf":
        return pa.array(series.to_numpy(), from_pandas=True)
    if isinstance(series.dtype, pd.api.extensions.ExtensionDtype) and series.dtype.kind in "biuf":
        return pa.array(series.array)
    values = cells(series)
    if all(v is None or type(v) is str for v in values):
        return pa.array(values, pa.string())
    # Mixed cells: their texts as the list functions make them.
    return pa.array([p.raw for p in parse_many(values)], pa.string())


def _column(column: Any) -> Any:
    """One column of the parse table as pandas holds it without a Python object per cell.

    Numbers, truth values and categories are read from the Arrow buffers
    with numpy; a null's slot holds whatever it holds, and its mask hides it.
    """
    import pyarrow as pa

    kind = column.type
    if pa.types.is_string(kind) or pa.types.is_large_string(kind):
        return pd.StringDtype("pyarrow").__from_arrow__(column)
    array = column.chunk(0) if column.num_chunks == 1 else column.combine_chunks()
    missing = _bits(array.buffers()[0], array.offset, len(array), missing=True)
    if pa.types.is_boolean(kind):
        values = _bits(array.buffers()[1], array.offset, len(array))
        return values if missing is None else pd.arrays.BooleanArray(values, missing)
    if pa.types.is_dictionary(kind):
        codes = _values(array.indices)
        if missing is not None:
            codes = np.where(missing, -1, codes)
        return pd.Categorical.from_codes(codes, dtype=_categories(tuple(array.dictionary.to_pylist())))
    values = _values(array).astype(np.int64)
    return pd.arrays.IntegerArray(values, np.zeros(len(values), bool) if missing is None else missing)


def _bits(buffer: Any, offset: int, length: int, missing: bool = False) -> Any:
    """An Arrow bitmap as numpy bools; for a validity bitmap (`missing`), where it is clear, or None if nowhere."""
    if buffer is None:
        return None if missing else np.zeros(length, bool)
    bits = np.unpackbits(np.frombuffer(buffer, np.uint8), count=offset + length, bitorder="little")[offset:]
    if missing:
        return None if bits.all() else bits == 0
    return bits.view(bool)


def _values(array: Any) -> Any:
    """The values buffer of a primitive Arrow array, as numpy, nulls' slots included."""
    dtype = np.dtype(array.type.to_pandas_dtype())
    return np.frombuffer(array.buffers()[1], dtype)[array.offset : array.offset + len(array)]


@functools.lru_cache(maxsize=None)
def _categories(texts: Tuple[str, ...]) -> pd.CategoricalDtype:
    return pd.CategoricalDtype(list(texts))
