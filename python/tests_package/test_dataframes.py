"""The pandas accessor and the Dask recipe."""

import importlib.util

import numpy as np
import pandas as pd
import pytest

import tevora
import tevora.pandas  # noqa: F401  registers Series.gtin
from conftest import REPO

CELLS = ["4006381333931", 4006381333931.0, None, np.nan, pd.NA, pd.NaT, " 4006-3813-33932", "n/a", 12345670, "1234567"]
INDEX = pd.Index(list("qwertyuiop"), name="sku")


def test_store_form_and_key_strings_keep_the_index_and_read_missing_values_as_empty():
    s = pd.Series(CELLS, index=INDEX, name="gtin", dtype=object)
    stores, keys = s.gtin.store_form(), s.gtin.key_strings()
    for result in (stores, keys):
        assert result.index.equals(INDEX) and result.name == "gtin" and result.dtype == object
    assert stores.tolist() == [
        "04006381333931",
        "04006381333931",
        "",
        "",
        "",
        "",
        "04006381333932",
        "n/a",
        "00000012345670",
        "1234567",
    ]
    assert keys.tolist() == ["04006381333930"] * 2 + [None] * 4 + ["04006381333930", None, "00000012345670", None]


@pytest.mark.parametrize(
    "series, raws",
    [
        (pd.Series([4006381333931.0, np.nan]), ["4006381333931.0", ""]),  # what pandas makes of a gappy column
        (pd.Series([4006381333931, 12345670]), ["4006381333931", "12345670"]),
        (pd.Series([4006381333931, None], dtype="Int64"), ["4006381333931", ""]),
        (pd.Series(["4006381333931", None], dtype="string"), ["4006381333931", ""]),
        (pd.Series([np.int64(12345670), np.float32(1.5)], dtype=object), ["12345670", "1.5"]),
        (pd.Series(["12345670", "abc"], dtype="category"), ["12345670", "abc"]),
    ],
)
def test_parse_reads_every_dtype_as_its_values(series, raws):
    assert series.gtin.parse()["raw"].tolist() == raws


def test_parse_has_one_row_per_cell_with_parsed_and_gtin_attributes():
    frame = pd.Series(CELLS, index=INDEX, dtype=object).gtin.parse()
    assert frame.index.equals(INDEX)
    row = frame.loc["w"]
    assert (row.raw, row["gtin"], row.dropped_fraction, row.encoding, row.check_digit_is_valid) == (
        "4006381333931.0",
        "04006381333931",
        True,
        "GTIN-13",
        True,
    )
    assert frame.loc["u", "check_digit_is_valid"] is not pd.NA and not frame.loc["u", "check_digit_is_valid"]
    refused = frame.loc["p"]
    assert (refused.reason, refused.digits) == ("too_short", 7) and refused["gtin"] is pd.NA
    assert refused.check_digit_is_valid is pd.NA and pd.isna(frame.loc["q", "digits"])
    assert frame.loc["e", "message"] == "The cell is empty"
    assert str(frame["digits"].dtype) == "Int64" and str(frame["is_restricted_circulation"].dtype) == "boolean"
    assert pd.Series([], dtype=object).gtin.parse().shape == (0, len(frame.columns))


@pytest.mark.parametrize("start, pieces", [(0, 1), (3, 1), (5, 3), (70, 4)])
def test_parse_of_an_arrow_backed_series_holds_every_attribute_of_parsed(start, pieces):
    """Every cell of the frame is the Parsed (or Gtin14) attribute, whatever the chunks of the Arrow column."""
    pa = pytest.importorskip("pyarrow")
    parsed = tevora.parse_many(tevora.pandas.cells(pd.Series(CELLS * 20, dtype=object)))[start:]
    texts = [p.raw for p in parsed]
    step = len(texts) // pieces + 1
    chunked = pa.chunked_array([pa.array(texts[i : i + step], pa.string()) for i in range(0, len(texts), step)])
    frame = pd.Series(pd.arrays.ArrowExtensionArray(chunked)).gtin.parse()
    for name in frame.columns:
        if name == "gtin":
            expected = [p.gtin.value if p.gtin else None for p in parsed]
        elif hasattr(parsed[0], name):
            expected = [getattr(p, name) for p in parsed]
        else:
            expected = [getattr(p.gtin, name) if p.gtin else None for p in parsed]
        assert frame[name].astype(object).where(frame[name].notna(), None).tolist() == expected, name
    pd.testing.assert_frame_equal(frame, pd.Series(texts, dtype=object).gtin.parse())


def test_dask_recipe_on_threads_equals_pandas_on_the_whole_catalogue():
    import dask

    spec = importlib.util.spec_from_file_location("dask_catalogue", REPO / "examples" / "dask_catalogue.py")
    recipe = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(recipe)
    catalogue = REPO / "examples" / "catalogue.csv"
    frame = pd.read_csv(catalogue, dtype=str, keep_default_na=False)
    # Dask reads text as Arrow strings where pyarrow is installed; pandas, as objects.
    with dask.config.set({"dataframe.convert-string": False}):
        result = recipe.clean(recipe.read(str(catalogue), blocksize="64KB"), "gtin")
        assert result.npartitions > 1
        cleaned = result.compute(scheduler="threads").reset_index(drop=True)
    expected = recipe.clean_partition(frame, "gtin")
    pd.testing.assert_frame_equal(cleaned, expected)
    assert cleaned["gtin"].tolist() == tevora.store_form_many(frame["gtin"].tolist())
