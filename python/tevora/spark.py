"""tevora's column functions on Spark DataFrames, an Arrow batch at a time.

    >>> import tevora.spark
    >>> df = spark.createDataFrame([("A", "4006-3813-33931"), ("B", "n/a")], "sku string, gtin string")
    >>> df = tevora.spark.with_store_form(df, "gtin", into="gtin_store")
    >>> df = tevora.spark.with_key(df, "gtin")                  # adds gtin_key
    >>> df = tevora.spark.with_parse(df, "gtin", prefix="p_")   # adds p_raw, p_is_gtin, p_reason, ...
    >>> df.select("gtin_store", "gtin_key", "p_reason").collect()
    [Row(gtin_store='04006381333931', gtin_key='04006381333930', p_reason=None), Row(gtin_store='n/a', gtin_key=None, p_reason='non_numeric')]

Each function returns a new DataFrame with every column of the old one and
the new columns after them (a new column named as an existing one replaces
it, in its place). The work runs on the executors through
`DataFrame.mapInArrow`: each batch's column goes to `tevora.arrow` whole,
with no Python object per row, so the executors need tevora and pyarrow
installed, as the driver does (`pip install tevora[spark]`).

The column is a string, integer, floating-point or boolean column (or of
NullType), read as the list functions read the values Spark gives for it; a
null is an empty cell. Other types raise TypeError here, before any job runs:
cast such a column to string to read its text. `with_parse` adds a column
per field of `tevora.arrow.parse`'s table, in its order, with the Spark
types of `parse_schema()`; the enumerated texts (reason, message, encoding,
...) are plain strings.
"""

from __future__ import annotations

import functools
from typing import Any, Callable, Dict, Iterator, List, Optional, Tuple

try:
    import pyarrow as pa
    import pyarrow.compute as pc
    from pyspark.sql import DataFrame
    from pyspark.sql import types as st
except ImportError as error:  # pragma: no cover - depends on the environment
    raise ImportError(f"tevora.spark needs PySpark and pyarrow ({error}): pip install tevora[spark]") from error

from . import arrow

__all__ = ["parse_schema", "with_key", "with_parse", "with_store_form"]

# The Spark types a column of cells may have.
_CELL_TYPES = (
    st.StringType,
    st.ByteType,
    st.ShortType,
    st.IntegerType,
    st.LongType,
    st.FloatType,
    st.DoubleType,
    st.BooleanType,
    st.NullType,
)


def with_store_form(df: DataFrame, column: str, into: Optional[str] = None) -> DataFrame:
    """The column's store forms as a string column `into` (default: the column itself, replaced)."""
    return _with(df, column, "store_form", [(into or column, st.StringType())])


def with_key(df: DataFrame, column: str, into: Optional[str] = None) -> DataFrame:
    """The column's match keys as a string column `into` (default `<column>_key`), null for no GTIN."""
    return _with(df, column, "key", [(into or f"{column}_key", st.StringType())])


def with_parse(df: DataFrame, column: str, prefix: Optional[str] = None) -> DataFrame:
    """A column per field of the parse table, named `prefix` + field (default prefix `<column>_`)."""
    head = f"{column}_" if prefix is None else prefix
    return _with(df, column, "parse", [(head + f.name, f.dataType) for f in parse_schema().fields])


@functools.lru_cache(maxsize=None)
def _parse_arrow_type() -> Any:
    return arrow.parse(pa.array([], pa.string())).type


def parse_schema() -> st.StructType:
    """The Spark schema of the parse table: its Arrow fields, dictionary-encoded texts as strings."""
    return st.StructType([st.StructField(f.name, _spark_type(f.type), f.nullable) for f in _parse_arrow_type()])


def _spark_type(arrow_type: Any) -> st.DataType:
    if pa.types.is_dictionary(arrow_type):
        arrow_type = arrow_type.value_type
    if pa.types.is_string(arrow_type) or pa.types.is_large_string(arrow_type):
        return st.StringType()
    if pa.types.is_boolean(arrow_type):
        return st.BooleanType()
    integers: Dict[int, Callable[[], st.DataType]] = {8: st.ByteType, 16: st.ShortType, 32: st.IntegerType}
    if pa.types.is_signed_integer(arrow_type):
        return integers.get(arrow_type.bit_width, st.LongType)()
    raise TypeError(f"no Spark type for the parse table's {arrow_type}")  # pragma: no cover - a new field's type


def _with(df: DataFrame, column: str, kind: str, added: List[Tuple[str, st.DataType]]) -> DataFrame:
    names = df.schema.names
    twice = sorted({name for name in names if names.count(name) > 1})
    if twice:  # Spark cannot tell such columns apart in mapInArrow
        raise ValueError(f"several columns are named {twice[0]!r}; rename all but one first")
    if column not in names:
        raise KeyError(f"no column {column!r}; the columns are {', '.join(repr(name) for name in names)}")
    position = names.index(column)
    cell_type = df.schema.fields[position].dataType
    if not isinstance(cell_type, _CELL_TYPES):
        raise TypeError(
            f"column {column!r} is {cell_type.simpleString()}, which holds no GTIN cells; cast it to string to read its text"
        )
    new = {name: j for j, (name, _) in enumerate(added)}
    # Where each output column comes from: an input column by position, or ~j for the j-th new one.
    layout = [~new.pop(name) if name in new else i for i, name in enumerate(names)] + [~j for j in new.values()]
    fields = [df.schema.fields[k] if k >= 0 else st.StructField(*added[~k], True) for k in layout]
    schema = st.StructType(fields)
    return df.mapInArrow(functools.partial(_batches, kind, position, layout, schema.names), schema)


def _batches(kind: str, position: int, layout: List[int], names: List[str], batches: Iterator[Any]) -> Iterator[Any]:
    """One output batch per input batch: the old columns, and the new ones from tevora.arrow."""
    for batch in batches:
        cells = batch.column(position)
        if kind == "store_form":
            results = [arrow.store_form(cells)]
        elif kind == "key":
            results = [arrow.key_strings(cells)]
        else:
            results = [_plain(field) for field in arrow.parse(cells).flatten()]
        columns = [batch.column(k) if k >= 0 else results[~k] for k in layout]
        yield pa.RecordBatch.from_arrays(columns, names=names)


def _plain(field: Any) -> Any:
    """A parse table's field as Spark reads it: texts undictionaried, digit counts as int32."""
    if pa.types.is_dictionary(field.type):
        return field.dictionary_decode()
    if pa.types.is_int64(field.type):  # `digits`, for large_string input
        return pc.cast(field, pa.int32())
    return field
