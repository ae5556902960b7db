"""tevora's column functions as DuckDB SQL functions, vectorised through Arrow.

    >>> import duckdb, tevora.duckdb
    >>> con = duckdb.connect()
    >>> tevora.duckdb.register(con)
    >>> con.sql("SELECT gtin_store_form(g), gtin_key(g), gtin_reason(g) FROM (VALUES ('4006-3813-33931'), ('n/a')) t(g)").fetchall()
    [('04006381333931', '04006381333930', None), ('n/a', None, 'non_numeric')]

`register(connection)` makes three functions on that connection:
`gtin_store_form(x)` (what to write back: fourteen digits for a GTIN, the
cell otherwise), `gtin_key(x)` (the match key, NULL where the cell holds no
GTIN) and `gtin_reason(x)` (why a cell was refused, NULL for a GTIN). Each
gives what `store_form_many`, `key_strings` and `parse_many` give for the
same cells, a whole vector of rows per call to tevora, with no Python
object per row.

A cell reads as it does in Python: VARCHAR as its text, integers as their
digits, FLOAT and DOUBLE as the float, BOOLEAN as True or False, NULL as an
empty cell (store form '', key NULL, reason 'empty'); DECIMAL and ENUM as
their text. Any other type (DATE, BLOB, UUID, LIST, ...) raises an error
naming it when the query runs; cast such a column to VARCHAR to read its
text. DuckDB's Python functions cannot be overloaded by type, so each name
is a macro that passes the argument, by its type, to one of the Python
functions named `tevora_*` that `register` also makes.
"""

from __future__ import annotations

from typing import Any, Callable, Dict

try:
    import duckdb
    import pyarrow as pa
    import pyarrow.compute as pc
except ImportError as error:  # pragma: no cover - depends on the environment
    raise ImportError(f"tevora.duckdb needs DuckDB and pyarrow ({error}): pip install tevora[duckdb]") from error

from . import arrow

__all__ = ["FUNCTIONS", "register"]

#: The SQL functions `register` makes.
FUNCTIONS = ("gtin_store_form", "gtin_key", "gtin_reason")

_TEXT_TYPES = (
    '"NULL"',
    "VARCHAR",
    "TINYINT",
    "SMALLINT",
    "INTEGER",
    "BIGINT",
    "HUGEINT",
    "UTINYINT",
    "USMALLINT",
    "UINTEGER",
    "UBIGINT",
    "UHUGEINT",
)


def _reasons(column: Any) -> Any:
    return pc.struct_field(arrow.parse(column), "reason").cast(pa.string())


_COLUMN_FUNCTIONS: Dict[str, Callable[[Any], Any]] = {
    "gtin_store_form": arrow.store_form,
    "gtin_key": arrow.key_strings,
    "gtin_reason": _reasons,
}


def register(connection: Any) -> None:
    """Make gtin_store_form(x), gtin_key(x) and gtin_reason(x) on a DuckDB connection; again is harmless."""
    if not isinstance(connection, duckdb.DuckDBPyConnection):
        raise TypeError(f"register needs a DuckDB connection (duckdb.connect()), not {type(connection).__name__}")
    con: Any = connection  # DuckDB's own stubs differ from one release to the next
    for name, function in _COLUMN_FUNCTIONS.items():
        internal = f"tevora_{name[len('gtin_') :]}"
        for suffix, sql_type in (("_text", "VARCHAR"), ("_float", "DOUBLE")):
            try:
                con.remove_function(internal + suffix)
            except (duckdb.InvalidInputException, duckdb.CatalogException):
                pass  # not made before on this connection
            con.create_function(
                internal + suffix, function, [sql_type], "VARCHAR", type="arrow", null_handling="special"
            )
        con.execute(_macro(name, internal))


def _macro(name: str, internal: str) -> str:
    texts = ", ".join(f"'{t}'" for t in _TEXT_TYPES)
    return f"""
        CREATE OR REPLACE TEMP MACRO {name}(x) AS CASE
        WHEN typeof(x) IN ('FLOAT', 'DOUBLE') THEN {internal}_float(TRY_CAST(x AS DOUBLE))
        WHEN typeof(x) = 'BOOLEAN' THEN {internal}_text(
            CASE WHEN TRY_CAST(x AS BOOLEAN) THEN 'True' WHEN NOT TRY_CAST(x AS BOOLEAN) THEN 'False' END)
        WHEN typeof(x) IN ({texts}) OR typeof(x) LIKE 'DECIMAL(%' OR typeof(x) LIKE 'ENUM(%'
            THEN {internal}_text(CAST(x AS VARCHAR))
        ELSE error('{name}: ' || typeof(x) || ' cells hold no GTIN; cast the column to VARCHAR to read its text')
        END
    """
