"""tevora.arrow against the list functions, cell for cell, over every Arrow
layout it reads; and its refusals."""

import gc
import math

import pytest

pa = pytest.importorskip("pyarrow")
from hypothesis import given, settings  # noqa: E402
from hypothesis import strategies as st  # noqa: E402

import tevora  # noqa: E402
import tevora.arrow as ta  # noqa: E402
from arrow_producers import Counting, strings_with_offsets  # noqa: E402

GTIN_LIKE = st.sampled_from(
    [
        "4006381333931",
        "04006381333931",
        " 4006-3813-33932",
        "4006381333931.0",
        "12345670",
        "1234567",
        "12345678901234567",
        "9780306406157",
        "n/a",
        "",
        "0",
        "\u200b40063813\u200b33931",
        "4006381333931\u00a0",
        "２０００",
    ]
)
TEXTS = st.lists(st.one_of(st.none(), GTIN_LIKE, st.text(max_size=20)), max_size=60)

GTIN_FIELDS = [
    "shortest",
    "encoding",
    "significant_digits",
    "check_digit",
    "expected_check_digit",
    "check_digit_is_valid",
    "indicator",
    "indicator_digit",
    "allocation",
    "allocation_description",
    "is_restricted_circulation",
    "is_publication_or_coupon",
    "looks_like_internal_code",
    "measure_field_looks_zeroed",
]


def expected_row(p):
    """A parse table row as the Parsed object says it."""
    row = {
        name: getattr(p, name)
        for name in [
            "raw",
            "is_gtin",
            "reason",
            "message",
            "digits",
            "store_form",
            "was_cleaned",
            "removed_whitespace",
            "removed_separators",
            "dropped_fraction",
        ]
    }
    row["gtin"] = p.gtin.value if p.gtin else None
    row.update({name: getattr(p.gtin, name) if p.gtin else None for name in GTIN_FIELDS})
    return row


def assert_like_the_list_functions(column, values):
    """Every result of `column` equals the list functions over `values`."""
    assert ta.store_form(column).to_pylist() == tevora.store_form_many(values)
    assert ta.key_strings(column).to_pylist() == tevora.key_strings(values)
    rows = ta.parse(column).to_pylist()
    assert rows == [expected_row(p) for p in tevora.parse_many(values)]


@settings(max_examples=60, deadline=None)
@given(TEXTS, st.sampled_from(["string", "large_string", "string_view", "dictionary"]))
def test_text_columns_read_as_their_str(values, layout):
    if layout == "dictionary":
        column = pa.array(values, pa.string()).dictionary_encode()
    else:
        column = pa.array(values, getattr(pa, layout)())
    assert_like_the_list_functions(column, values)


@settings(max_examples=30, deadline=None)
@given(
    st.lists(st.one_of(st.none(), GTIN_LIKE), min_size=60, max_size=300),
    st.integers(0, 70),
    st.sampled_from(["string", "large_string", "int64"]),
)
def test_columns_longer_than_a_block_of_rows(values, start, layout):
    """Bitmaps are written 64 rows at a time: lengths and offsets across those blocks."""
    if layout == "int64":
        values = [None if v is None else len(v) * 10**11 + 7 for v in values]
    column = pa.array(values, getattr(pa, layout)()).slice(start)
    assert_like_the_list_functions(column, values[start:])
    for result in (ta.parse(column), ta.key_strings(column), ta.store_form(column)):
        result.validate(full=True)


@settings(max_examples=40, deadline=None)
@given(TEXTS, st.integers(0, 30), st.integers(0, 30), st.integers(1, 4))
def test_slices_and_chunks_read_their_own_cells(values, start, stop, chunks):
    column = pa.array(values, pa.string()).slice(start, stop)
    expected = values[start : start + stop]
    assert_like_the_list_functions(column, expected)
    pieces = [column.slice(i * len(column) // chunks, len(column) // chunks + 1) for i in range(chunks)]
    chunked = pa.chunked_array(pieces, pa.string())
    assert ta.store_form(chunked).to_pylist() == tevora.store_form_many(chunked.to_pylist())
    assert ta.parse(chunked).num_chunks == chunked.num_chunks


@pytest.mark.parametrize(
    "kind, values",
    [
        (pa.int8(), [-128, 0, 127, None]),
        (pa.uint8(), [0, 255, None]),
        (pa.int16(), [-32768, 32767]),
        (pa.uint16(), [65535, None]),
        (pa.int32(), [-(2**31), 12345670, None]),
        (pa.uint32(), [2**32 - 1]),
        (pa.int64(), [4006381333931, -12345670, -(2**63), 2**63 - 1, None]),
        (pa.uint64(), [2**64 - 1, 40063813339310, None]),
        (pa.float64(), [4006381333931.0, 1e16, 12345678901234567.0, 1e-5, -0.0, math.nan, -math.inf, None]),
        (pa.float32(), [4006381.5, 1e16, 0.1, None]),
        (pa.bool_(), [True, False, None]),
        (pa.null(), [None, None]),
    ],
)
def test_numbers_booleans_and_nulls_read_as_their_python_values(kind, values):
    column = pa.array(values, kind)
    assert_like_the_list_functions(column, column.to_pylist())
    assert_like_the_list_functions(column.slice(1), column.to_pylist()[1:])


def test_half_floats_are_the_floats_they_equal():
    np = pytest.importorskip("numpy")
    halves = np.array([1.5, 4006.0, 65504.0, 6e-8, np.nan, -np.inf], dtype=np.float16)
    assert_like_the_list_functions(pa.array(halves), [float(h) for h in halves])


@pytest.mark.parametrize(
    "column",
    [
        pa.array([], pa.string()),
        pa.array([], pa.int64()),
        pa.chunked_array([], pa.string()),
        pa.array([None] * 5, pa.string()),
        pa.nulls(3),
        pa.array(["x"] * 3).dictionary_encode().slice(3),
    ],
    ids=["empty", "empty-int", "no-chunks", "all-null", "null-type", "empty-dictionary"],
)
def test_empty_and_all_null_columns(column):
    values = column.to_pylist()
    assert ta.store_form(column).to_pylist() == tevora.store_form_many(values)
    assert ta.parse(column).type == ta.parse(pa.array(["x"])).type


@pytest.mark.parametrize(
    "column, text, count",
    [
        (pa.array(["12345"]), pa.string(), pa.int32()),
        (pa.array([12345]), pa.string(), pa.int32()),
        (pa.array(["12345"], pa.string_view()), pa.string(), pa.int32()),
        (pa.array(["12345"], pa.large_string()), pa.large_string(), pa.int64()),
        (pa.array(["12345"], pa.large_string()).dictionary_encode(), pa.large_string(), pa.int64()),
    ],
)
def test_results_keep_the_width_of_large_strings(column, text, count):
    assert ta.store_form(column).type == text
    table = ta.parse(column)
    assert table.type.field("raw").type == table.type.field("store_form").type == text
    assert table.type.field("digits").type == count and table.field("digits").to_pylist() == [5]


def test_results_export_more_than_once():
    values = ["4006381333931", None]
    result = tevora._arrow.key_strings(pa.array(values))
    assert pa.array(result).to_pylist() == pa.array(result).to_pylist() == ["04006381333930", None]
    assert len(result) == 2
    with pytest.raises(TypeError):
        type(result)()


def test_a_record_batch_of_one_column_is_that_column():
    batch = pa.record_batch({"g": ["4006381333931", "x", None]}).slice(1)
    assert pa.array(tevora._arrow.store_form(batch)).to_pylist() == ["x", ""]
    assert ta.parse(pa.table(batch)).num_rows == 2
    with pytest.raises(TypeError, match="one column, got a struct or record batch of 2 columns"):
        tevora._arrow.parse(pa.record_batch({"a": [1], "b": [2]}))


@pytest.mark.parametrize(
    "column, message",
    [
        (pa.array([b"x"]), "format 'z' \\(binary\\)"),
        (pa.array([[1]]), "format '\\+l' \\(list\\)"),
        (pa.array([{"a": b"x"}]), "format 'z' \\(binary\\)"),
        (pa.array([1], pa.decimal128(5, 2)), "\\(decimal\\)"),
        (pa.array([0], pa.date32()), "\\(date\\)"),
    ],
)
def test_columns_that_cannot_be_cells_are_refused_by_their_format(column, message):
    with pytest.raises(TypeError, match=message):
        tevora._arrow.store_form(column)


@pytest.mark.parametrize("column", [["4006381333931"], None, "4006381333931", 12])
def test_objects_that_are_not_arrow_are_refused(column):
    with pytest.raises(TypeError, match="expected an Arrow array or stream"):
        tevora._arrow.parse(column)


def test_int8_dictionary_indices_read_as_signed():
    """Past 127 entries an int8 index cannot reach; a negative one (0x80 to 0xFF) is refused, never read as unsigned."""
    entries = pa.array([f"{i:013d}" for i in range(256)])
    indices = [0, 127, None, 5]
    column = pa.DictionaryArray.from_arrays(pa.array(indices, pa.int8()), entries)
    assert_like_the_list_functions(column, [None if i is None else entries[i].as_py() for i in indices])
    for index in (-1, -128):
        bad = pa.DictionaryArray.from_arrays(pa.array([0, index], pa.int8()), entries, safe=False)
        for function in (tevora._arrow.store_form, tevora._arrow.key_strings, tevora._arrow.parse):
            with pytest.raises(ValueError, match="dictionary index past the dictionary"):
                function(bad)


@pytest.mark.parametrize("offsets", [[0, 5, 3, 13], [0, 13, 5], [-1, 5], [5, 0]])
def test_offsets_out_of_order_or_range_are_refused(offsets):
    column = strings_with_offsets(offsets)
    for function in (tevora._arrow.store_form, tevora._arrow.key_strings, tevora._arrow.parse):
        with pytest.raises(ValueError, match="malformed Arrow array"):
            function(column)


def test_invalid_utf8_is_refused():
    for data in (b"\xff", b"\xed\xa0\x80", b"\xc0\xaf", b"ab\xe2\x82"):
        column = pa.StringArray.from_buffers(1, pa.array([0, len(data)], pa.int32()).buffers()[1], pa.py_buffer(data))
        with pytest.raises(ValueError, match="not UTF-8"):
            tevora._arrow.store_form(column)
        with pytest.raises(ValueError, match="not UTF-8"):
            tevora._arrow.parse(pa.chunked_array([column]))


def negative_length(array):
    array.length = -1


def negative_offset(array):
    array.offset = -1


@pytest.mark.parametrize(
    "data, mutate, error",
    [
        (pa.array(["4006381333931", None]), None, None),
        (pa.array([b"x"]), None, TypeError),
        (pa.array(["x"]), negative_length, ValueError),
        (pa.array(["x", "y"]).slice(1), negative_offset, ValueError),
        (pa.array(["x"]).dictionary_encode(), None, None),
    ],
)
def test_every_struct_is_released_once_on_every_path(data, mutate, error):
    producer = Counting(data, mutate)
    if error:
        with pytest.raises(error):
            tevora._arrow.parse(producer)
    else:
        tevora._arrow.parse(producer)
    gc.collect()
    assert producer.releases == {"arrow_schema": 1, "arrow_array": 1}


@pytest.mark.parametrize(
    "data, error",
    [
        (pa.chunked_array([["4006381333931"], [None, "x"]]), None),
        (pa.chunked_array([[b"x"]]), TypeError),
        (pa.chunked_array([], pa.string()), None),
    ],
)
def test_streams_are_released_once_on_every_path(data, error):
    producer = Counting(data, stream=True)
    if error:
        with pytest.raises(error):
            tevora._arrow.key_strings(producer)
    else:
        assert pa.chunked_array(tevora._arrow.key_strings(producer)).to_pylist() == tevora.key_strings(data.to_pylist())
    gc.collect()
    assert producer.releases == {"arrow_array_stream": 1}
