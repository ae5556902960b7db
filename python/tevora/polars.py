"""A `gtin` namespace on polars Series and expressions, through `tevora.arrow`.

Importing this module registers it (it needs polars: `pip install tevora[polars]`):

    >>> import polars as pl, tevora.polars
    >>> pl.Series(["4006381333931", None, "n/a"]).gtin.store_form().to_list()
    ['04006381333931', '', 'n/a']
    >>> pl.DataFrame({"g": ["4006381333931"]}).select(pl.col("g").gtin.key_strings()).item()
    '04006381333930'

Cells read as `tevora.arrow` reads them: a null is an empty cell, numbers as
their Python values. `parse` gives a DataFrame on a Series and a struct on an
expression (`.struct.unnest()` makes it columns).
"""

from __future__ import annotations

from functools import lru_cache
from typing import cast

try:
    import polars as pl
except ImportError as error:  # pragma: no cover - depends on the environment
    raise ImportError("tevora.polars needs polars: pip install tevora[polars]") from error

from . import arrow

__all__ = ["GtinExpr", "GtinSeries"]


@lru_cache(maxsize=None)
def _parse_dtype() -> pl.DataType:
    return cast(pl.DataType, arrow.parse(pl.Series([], dtype=pl.String)).to_struct().dtype)


@pl.api.register_series_namespace("gtin")
class GtinSeries:
    """`series.gtin`: store forms, match keys and parse tables of a polars Series."""

    def __init__(self, series: pl.Series) -> None:
        self._series = series

    def store_form(self) -> pl.Series:
        """What to write back: canonical fourteen digits for a GTIN, the cell otherwise."""
        return cast(pl.Series, arrow.store_form(self._series))

    def key_strings(self) -> pl.Series:
        """Match keys as fourteen-character strings, null where the cell holds no GTIN."""
        return cast(pl.Series, arrow.key_strings(self._series))

    def parse(self) -> pl.DataFrame:
        """One row per cell: the parsed attributes, and for a GTIN its classification."""
        return cast(pl.DataFrame, arrow.parse(self._series))


@pl.api.register_expr_namespace("gtin")
class GtinExpr:
    """`pl.col(...).gtin`: the same, as expressions."""

    def __init__(self, expr: pl.Expr) -> None:
        self._expr = expr

    def store_form(self) -> pl.Expr:
        return self._expr.map_batches(arrow.store_form, return_dtype=pl.String)

    def key_strings(self) -> pl.Expr:
        return self._expr.map_batches(arrow.key_strings, return_dtype=pl.String)

    def parse(self) -> pl.Expr:
        """A struct with a field per attribute."""
        return self._expr.map_batches(lambda s: arrow.parse(s).to_struct(s.name), return_dtype=_parse_dtype())
