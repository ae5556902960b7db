"""tevora.duckdb: the SQL functions equal the list functions on the same cells, over tables and read_csv."""

import csv
import importlib
import importlib.util
import random
import re
import sys

import pytest

import tevora
from conftest import REPO

duckdb = pytest.importorskip("duckdb")
pytest.importorskip("pyarrow")
import tevora.duckdb  # noqa: E402

TEXTS = [
    "4006381333931",
    "4006381333932",
    " 4006-3813-33931 ",
    "4006381333931.0",
    "0 12345 67890 5",
    "12345670",
    "\u00a04006381333931",
    "5.05294E+12",
    "978-3-16-148410-0",
    "1234567",
    "123456789012345",
    "n/a",
    "",
    "２４００",
]


def generated_cells(count=3000, seed=7):
    """Rows of an id and a text, an integer, a float and a boolean cell, each NULL now and then."""
    rng = random.Random(seed)

    def maybe(value):
        return None if rng.random() < 0.1 else value

    return [
        (
            i,
            maybe(rng.choice(TEXTS)),
            maybe(rng.randrange(10**15)),
            maybe(rng.choice([4006381333931.0, 1e20, 0.5])),
            maybe(rng.random() < 0.5),
        )
        for i in range(count)
    ]


@pytest.fixture(scope="module")
def connection():
    con = duckdb.connect()
    tevora.duckdb.register(con)
    con.execute("CREATE TABLE cells (id INTEGER, t VARCHAR, i BIGINT, f DOUBLE, b BOOLEAN)")
    con.executemany("INSERT INTO cells VALUES (?, ?, ?, ?, ?)", generated_cells())
    return con


def expected(cells):
    return {
        "gtin_store_form": tevora.store_form_many(cells),
        "gtin_key": tevora.key_strings(cells),
        "gtin_reason": [p.reason for p in tevora.parse_many(cells)],
    }


@pytest.mark.parametrize("function", tevora.duckdb.FUNCTIONS)
@pytest.mark.parametrize("column", ["t", "i", "f", "b", "NULL", "CAST(i AS HUGEINT)", "CAST(f AS FLOAT)"])
def test_each_function_equals_the_list_functions_on_a_column_of_generated_cells(connection, function, column):
    rows = connection.sql(f"SELECT {column}, {function}({column}) FROM cells ORDER BY id").fetchall()
    cells = [cell for cell, _ in rows]
    assert [result for _, result in rows] == expected(cells)[function]


def test_read_csv_as_text_and_with_detected_types(connection, tmp_path):
    catalogue = REPO / "examples" / "catalogue.csv"
    with open(catalogue, newline="", encoding="utf-8") as f:
        gtins = [row["gtin"] for row in csv.DictReader(f)]
    query = "SELECT gtin_store_form(gtin), gtin_key(gtin), gtin_reason(gtin) FROM read_csv(?, all_varchar = true)"
    rows = connection.execute(query, [str(catalogue)]).fetchall()
    assert [list(column) for column in zip(*rows)] == list(expected(gtins).values())

    # Columns DuckDB reads as numbers reach tevora as the numbers, as in Python.
    numbers = tmp_path / "numbers.csv"
    numbers.write_text("n,x\n4006381333931,4006381333931.0\n12345670,\n,12345670.5\n")
    rows = connection.execute(
        "SELECT typeof(n), typeof(x), n, x, gtin_store_form(n), gtin_store_form(x) FROM read_csv(?)", [str(numbers)]
    ).fetchall()
    assert {(r[0], r[1]) for r in rows} == {("BIGINT", "DOUBLE")}
    assert [r[4] for r in rows] == tevora.store_form_many([r[2] for r in rows])
    assert [r[5] for r in rows] == tevora.store_form_many([r[3] for r in rows])
    assert [r[5] for r in rows][:2] == ["04006381333931", ""]


@pytest.mark.parametrize(
    "literal, sql_type",
    [
        ("DATE '2020-01-01'", "DATE"),
        ("'\\x01'::BLOB", "BLOB"),
        ("[4006381333931]", "BIGINT[]"),
        ("gen_random_uuid()", "UUID"),
    ],
)
def test_a_type_that_holds_no_gtin_is_an_error_naming_it(connection, literal, sql_type):
    with pytest.raises(duckdb.Error, match=f"gtin_key: {re.escape(sql_type)} cells hold no GTIN"):
        connection.sql(f"SELECT gtin_key({literal})").fetchall()


def test_register_again_and_on_something_else(connection):
    tevora.duckdb.register(connection)
    assert connection.sql("SELECT gtin_key('4006381333931')").fetchall() == [("04006381333930",)]
    with pytest.raises(TypeError, match="needs a DuckDB connection"):
        tevora.duckdb.register("db.duckdb")


@pytest.mark.parametrize(
    "module, missing, extra", [("tevora.duckdb", "duckdb", "duckdb"), ("tevora.spark", "pyspark", "spark")]
)
def test_a_missing_engine_is_one_import_error_naming_the_extra(monkeypatch, module, missing, extra):
    for name in [name for name in sys.modules if name.split(".")[0] == missing] + [missing]:
        monkeypatch.setitem(sys.modules, name, None)  # what `import` finds when the package is not installed
    monkeypatch.delitem(sys.modules, module, raising=False)
    with pytest.raises(ImportError, match=rf"pip install tevora\[{extra}\]"):
        importlib.import_module(module)


def test_the_dask_recipe_without_dask_names_the_extra(monkeypatch):
    monkeypatch.setitem(sys.modules, "dask.dataframe", None)
    spec = importlib.util.spec_from_file_location("dask_catalogue", REPO / "examples" / "dask_catalogue.py")
    with pytest.raises(ImportError, match=r"pip install tevora\[dask\]"):
        spec.loader.exec_module(importlib.util.module_from_spec(spec))
