"""tevora.spark in a local[2] session: the added columns equal the list functions on the same rows."""

import os
import random
import shutil
import sys

import pytest

import tevora
from conftest import INSTALLED, REPO

pytest.importorskip("pyspark", reason="PySpark is installed for one Python version only (requirements-dev.txt)")
if not (os.environ.get("JAVA_HOME") or shutil.which("java")):
    pytest.skip("PySpark needs Java (tools/deps installs it)", allow_module_level=True)
import tevora.spark  # noqa: E402
from pyspark.sql import SparkSession  # noqa: E402
from pyspark.sql import types as st  # noqa: E402

pytestmark = pytest.mark.filterwarnings("ignore:PySpark does not yet fully support pandas:FutureWarning")

TEXTS = ["4006381333931", "4006381333932", " 4006-3813-33931 ", "4006381333931.0", "12345670", "5.05294E+12"]
TEXTS += ["978-3-16-148410-0", "1234567", "n/a", "", "\u00a04006381333931", "0 12345 67890 5"]
SCHEMA = "id int, t string, i long, f double, b boolean"


@pytest.fixture(scope="module")
def spark():
    with pytest.MonkeyPatch.context() as patch:
        # The executors' Python is this interpreter, finding tevora where this process does.
        patch.setenv("PYSPARK_PYTHON", sys.executable)
        if not INSTALLED:
            patch.setenv(
                "PYTHONPATH", os.pathsep.join(filter(None, [str(REPO / "python"), os.environ.get("PYTHONPATH")]))
            )
        session = (
            SparkSession.builder.master("local[2]")
            .appName("tevora-tests")
            .config("spark.ui.enabled", "false")
            .config("spark.sql.shuffle.partitions", "2")
            .config("spark.sql.execution.arrow.maxRecordsPerBatch", "700")  # several batches per partition
            .getOrCreate()
        )
        session.sparkContext.setLogLevel("ERROR")
        yield session
        session.stop()


@pytest.fixture(scope="module")
def cells(spark):
    rng = random.Random(11)

    def maybe(value):
        return None if rng.random() < 0.1 else value

    rows = [
        (
            n,
            maybe(rng.choice(TEXTS)),
            maybe(rng.randrange(10**15)),
            maybe(rng.choice([4006381333931.0, 1e20, 0.5])),
            maybe(rng.random() < 0.5),
        )
        for n in range(3000)
    ]
    return spark.createDataFrame(rows, SCHEMA)


def parsed_fields(parsed):
    """Every field of the parse table, from the Parsed objects of the list function."""
    values = {}
    for name in tevora.spark.parse_schema().names:
        if name == "gtin":
            values[name] = [p.gtin.value if p.gtin else None for p in parsed]
        elif hasattr(parsed[0], name):
            values[name] = [getattr(p, name) for p in parsed]
        else:
            values[name] = [getattr(p.gtin, name) if p.gtin else None for p in parsed]
    return values


@pytest.mark.parametrize("column, large", [("t", False), ("t", True), ("i", False), ("f", False), ("b", False)])
def test_store_form_key_and_parse_columns_equal_the_list_functions(spark, cells, column, large):
    spark.conf.set("spark.sql.execution.arrow.useLargeVarTypes", str(large).lower())
    try:
        df = tevora.spark.with_store_form(cells, column, into="store")
        df = tevora.spark.with_parse(tevora.spark.with_key(df, column), column, prefix="p_")
        rows = df.collect()  # in the order of the rows made, as mapInArrow keeps it
    finally:
        spark.conf.unset("spark.sql.execution.arrow.useLargeVarTypes")
    assert [row.id for row in rows] == list(range(3000))
    values = [row[column] for row in rows]
    assert [row.store for row in rows] == tevora.store_form_many(values)
    assert [row[f"{column}_key"] for row in rows] == tevora.key_strings(values)
    for name, expected in parsed_fields(tevora.parse_many(values)).items():
        assert [row[f"p_{name}"] for row in rows] == expected, name


def test_schemas_replace_in_place_and_append(cells):
    kept = cells.schema.fields
    assert tevora.spark.with_store_form(cells, "t").schema == cells.schema
    assert tevora.spark.with_key(cells, "i").schema.fields == kept + [st.StructField("i_key", st.StringType())]
    parse = tevora.spark.parse_schema()
    assert parse["reason"].dataType == st.StringType() and parse["digits"].dataType == st.IntegerType()
    assert parse["check_digit"].dataType == st.ByteType() and parse["is_gtin"].dataType == st.BooleanType()
    added = tevora.spark.with_parse(cells, "t").schema.fields[len(kept) :]
    assert [f.name for f in added] == [f"t_{name}" for name in parse.names]
    assert [f.dataType for f in added] == [f.dataType for f in parse.fields]


def test_a_missing_column_or_one_of_another_type_is_refused_before_any_job(spark):
    df = spark.sql("SELECT DATE '2020-01-01' AS d, 'x' AS g")
    with pytest.raises(KeyError, match="no column 'gtin'; the columns are 'd', 'g'"):
        tevora.spark.with_key(df, "gtin")
    with pytest.raises(TypeError, match="column 'd' is date, which holds no GTIN cells; cast it to string"):
        tevora.spark.with_parse(df, "d")


def test_columns_of_the_same_name_are_refused_before_any_job(spark):
    df = spark.sql("SELECT 'x' AS a, '4006381333931' AS g, 'y' AS a")
    for name in ("g", "a"):
        with pytest.raises(ValueError, match="several columns are named 'a'; rename all but one first"):
            tevora.spark.with_key(df, name)
