"""tevora.arrow with the libraries that hold Arrow columns: pandas, polars,
DuckDB and nanoarrow, each handing back its own kind."""

import pytest

pa = pytest.importorskip("pyarrow")

import tevora  # noqa: E402
import tevora.arrow as ta  # noqa: E402

CELLS = ["4006381333931", " 4006-3813-33932", None, "n/a", "12345670", "", "1234567"]


def test_polars_series_and_expressions():
    pl = pytest.importorskip("polars")
    import tevora.polars  # noqa: F401

    series = pl.Series("g", CELLS)
    stores = series.gtin.store_form()
    assert isinstance(stores, pl.Series) and stores.name == "g"
    assert stores.to_list() == tevora.store_form_many(CELLS)
    assert series.gtin.key_strings().to_list() == tevora.key_strings(CELLS)
    table = series.gtin.parse()
    assert isinstance(table, pl.DataFrame) and table["reason"].to_list() == [p.reason for p in tevora.parse_many(CELLS)]
    frame = pl.DataFrame({"g": CELLS, "n": [4006381333931, None, 1, 2, 3, 4, 5]})
    out = frame.select(pl.col("g").gtin.key_strings(), n=pl.col("n").gtin.store_form())
    assert out["g"].to_list() == tevora.key_strings(CELLS)
    assert out["n"].to_list() == tevora.store_form_many(frame["n"].to_list())
    parsed = frame.select(pl.col("g").gtin.parse()).unnest("g")
    assert parsed["gtin"].to_list() == [p.gtin.value if p.gtin else None for p in tevora.parse_many(CELLS)]


@pytest.mark.parametrize("dtype", ["string[pyarrow]", None])
def test_pandas_arrow_backed_series_keep_their_dtype(dtype):
    pd = pytest.importorskip("pandas")
    import tevora.pandas  # noqa: F401

    series = pd.Series(CELLS, dtype=dtype, index=list("abcdefg"), name="g")
    if dtype is None and not tevora.pandas._arrow_backed(series):
        series = series.astype(object)
    stores = series.gtin.store_form()
    assert stores.index.equals(series.index) and stores.name == "g"
    assert stores.tolist() == tevora.store_form_many(CELLS)
    keys = series.gtin.key_strings()
    assert [None if pd.isna(k) else k for k in keys] == tevora.key_strings(CELLS)
    frame = series.gtin.parse()
    assert frame["store_form"].tolist() == tevora.store_form_many(CELLS)
    assert str(frame["digits"].dtype) == "Int64" and frame.loc["g", "digits"] == 7


def test_pandas_arrow_dtype_integers():
    pd = pytest.importorskip("pandas")
    import tevora.pandas  # noqa: F401

    series = pd.Series([4006381333931, None], dtype=pd.ArrowDtype(pa.int64()))
    assert series.gtin.store_form().tolist() == ["04006381333931", ""]


def test_duckdb_results():
    duckdb = pytest.importorskip("duckdb")
    connection = duckdb.connect()
    connection.execute("create table t (g varchar, n bigint)")
    connection.executemany("insert into t values (?, ?)", [(c, i) for i, c in enumerate(CELLS)])
    stores = pa.chunked_array(ta.store_form(connection.sql("select g from t order by n")))
    assert stores.to_pylist() == tevora.store_form_many(CELLS)
    table = pa.table(ta.parse(connection.sql("select n from t order by n")))
    assert table["raw"].to_pylist() == [str(i) for i in range(len(CELLS))]


def test_nanoarrow_arrays():
    na = pytest.importorskip("nanoarrow")
    keys = ta.key_strings(na.c_array(CELLS, na.string()))
    assert pa.array(keys).to_pylist() == tevora.key_strings(CELLS)


def test_pyarrow_gets_its_own_kinds_back():
    assert isinstance(ta.store_form(pa.array(CELLS)), pa.StringArray)
    assert isinstance(ta.key_strings(pa.chunked_array([CELLS, CELLS])), pa.ChunkedArray)
    assert isinstance(ta.parse(pa.array(CELLS)), pa.StructArray)
    assert isinstance(ta.parse(pa.table({"g": CELLS})), pa.Table)
    assert isinstance(ta.parse(pa.record_batch({"g": CELLS})), pa.RecordBatch)
