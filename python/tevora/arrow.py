"""Store forms, match keys and parse tables of Arrow columns, with no Python object per cell.

    >>> import pyarrow as pa, tevora.arrow
    >>> tevora.arrow.store_form(pa.array(["4006381333931", None, "n/a"])).to_pylist()
    ['04006381333931', '', 'n/a']

A column is anything that exports the Arrow PyCapsule interface
(`__arrow_c_array__` or `__arrow_c_stream__`): a pyarrow Array or
ChunkedArray, a polars Series, a DuckDB result, a nanoarrow array; a pandas
array backed by Arrow is taken too. It holds strings (`string`,
`large_string`, `string_view`, dictionary-encoded or not), integers,
booleans, floats or nulls, and each cell reads exactly as the list functions
read the Python value Arrow gives for it; a null is an empty cell. A
`float16` is the float it equals. A record batch or table of one column is
that column.

Results come back as the caller's own kind where there is one (a pyarrow
Array or ChunkedArray for pyarrow input, a polars Series or DataFrame for
polars input), otherwise as an `ArrowResult` that any Arrow library reads
through the same interface. `store_form` and `key_strings` give `string`
arrays (`large_string` for `large_string` input); `parse` gives a struct
array with a field per attribute of `Parsed` and of `Gtin14`, the latter
null where the cell holds no GTIN, and the enumerated texts (reason, message,
encoding, indicator, allocation) dictionary-encoded. Its texts are `string`
and `digits` is int32, both the wider type for `large_string` input, whose
cells may be longer than an int32 counts.

The work runs without the GIL, chunk by chunk; the input's buffers are read
in place. Invalid UTF-8 and malformed arrays raise ValueError; a type that
cannot be a cell (binary, list, struct, date, ...) raises TypeError naming it.
"""

from __future__ import annotations

from typing import Any, Callable

from ._arrow import ArrowResult
from ._arrow import key_strings as _key_strings
from ._arrow import parse as _parse
from ._arrow import store_form as _store_form

__all__ = ["ArrowResult", "key_strings", "parse", "store_form"]


def store_form(column: Any) -> Any:
    """What to write back for every cell: canonical fourteen digits for a GTIN, the cell otherwise."""
    return _run(_store_form, column, table=False)


def key_strings(column: Any) -> Any:
    """Match keys as fourteen-character strings, null where the cell holds no GTIN."""
    return _run(_key_strings, column, table=False)


def parse(column: Any) -> Any:
    """Every cell parsed: one row per cell, a column per attribute."""
    return _run(_parse, column, table=True)


def _run(function: Callable[[Any], ArrowResult], column: Any, table: bool) -> Any:
    kind = type(column).__module__.split(".")[0]
    if not (hasattr(column, "__arrow_c_array__") or hasattr(column, "__arrow_c_stream__")):
        if hasattr(column, "__arrow_array__"):  # a pandas array backed by Arrow
            import pyarrow as pa

            column = pa.array(column)
    result = function(column)
    if kind == "pyarrow":
        return _to_pyarrow(result, column, table)
    if kind == "polars":
        import polars as pl

        return pl.DataFrame(result) if table else pl.Series(result).alias(column.name)
    return result


def _to_pyarrow(result: ArrowResult, column: Any, table: bool) -> Any:
    import pyarrow as pa

    if isinstance(column, pa.Array):
        return pa.array(result)
    if table and isinstance(column, (pa.RecordBatch, pa.Table)):
        return pa.table(result) if isinstance(column, pa.Table) else pa.RecordBatch.from_struct_array(pa.array(result))
    return pa.chunked_array(result)
