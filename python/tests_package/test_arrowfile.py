"""Parquet and Arrow files: the GTIN column cleaned, everything else and the schema kept."""

import sys

import pytest

pa = pytest.importorskip("pyarrow", reason="pyarrow is optional: Parquet and Arrow files need it")
import pyarrow.feather  # noqa: E402
import pyarrow.ipc  # noqa: E402
import pyarrow.parquet as pq  # noqa: E402

from tevora import _arrowfile  # noqa: E402
from tevora._tables import CleanOptions, InputError  # noqa: E402

GTINS = ["4006381333931", " 4006-3813-33932", None, "n/a", "04006381333931", ""]
STORE_FORMS = ["04006381333931", "04006381333932", None, "n/a", "04006381333931", ""]


def write(path, table):
    """The table in the format the path's suffix names."""
    if path.suffix == ".parquet":
        pq.write_table(table, path, compression="zstd", row_group_size=4)
    elif path.suffix == ".feather":
        pyarrow.feather.write_feather(table, path, chunksize=4)
    else:  # .arrow: the stream format, which has no footer
        with pa.ipc.new_stream(path, table.schema) as writer:
            writer.write_table(table, max_chunksize=4)
    return path


def read(path):
    if path.suffix == ".parquet":
        return pq.read_table(path)
    if path.suffix == ".feather":
        return pyarrow.feather.read_table(path)
    return pa.ipc.open_stream(path).read_all()


def table_of(gtin):
    schema = pa.schema(
        [
            pa.field("sku", pa.string()),
            pa.field("gtin", gtin.type, metadata={b"note": b"as scanned"}),
            pa.field("when", pa.date32()),
            pa.field("price", pa.decimal128(9, 2)),
        ],
        metadata={b"source": b"test"},
    )
    n = len(gtin)
    return pa.table(
        [
            pa.array([f"S{i}" for i in range(n)]),
            gtin,
            pa.array([None] * n, pa.date32()),
            pa.array([None] * n, schema[3].type),
        ],
        schema=schema,
    )


def clean(path, out, added=(), key_column=None, explain=False, index=1):
    table = _arrowfile.open_table(str(path))
    try:
        fmt = "parquet" if path.suffix == ".parquet" else "arrow"
        with open(out, "wb") as stream:
            return table.clean(index, stream, CleanOptions(key_column, explain, list(added), False, fmt), lambda: None)
    finally:
        table.close()


COLUMNS = [
    pa.array(GTINS),
    pa.array(GTINS, pa.large_string()),
    pa.array(GTINS).dictionary_encode(),
    pa.array(GTINS).dictionary_encode().cast(pa.dictionary(pa.int32(), pa.string())),
]


@pytest.mark.parametrize("suffix", [".parquet", ".feather", ".arrow"])
@pytest.mark.parametrize("gtin", COLUMNS, ids=lambda c: str(c.type))
def test_clean_rewrites_the_column_and_keeps_the_schema(tmp_path, suffix, gtin):
    source = write(tmp_path / f"in{suffix}", table_of(gtin))
    out = tmp_path / f"out{suffix}"
    result = clean(source, out)
    before, after = read(source), read(out)
    assert after.schema.equals(before.schema, check_metadata=True)
    assert after.column("gtin").to_pylist() == STORE_FORMS
    for name in ("sku", "when", "price"):
        assert after.column(name).equals(before.column(name))
    assert (result.rows, result.gtins, result.changed, result.kept) == (6, 3, 2, 3)


def test_added_columns_are_text_after_the_others(tmp_path):
    source = write(tmp_path / "in.parquet", table_of(pa.array(GTINS)))
    clean(source, tmp_path / "out.parquet", ["key", "gtin_reason", "gtin_message"], key_column="key", explain=True)
    after = pq.read_table(tmp_path / "out.parquet")
    assert after.schema.names[-3:] == ["key", "gtin_reason", "gtin_message"]
    assert after.column("key").to_pylist()[:3] == ["04006381333930", "04006381333930", None]
    assert after.column("gtin_reason").to_pylist()[1:4] == [None, "empty", "non_numeric"]
    assert after.schema.metadata == {b"source": b"test"}
    assert pq.ParquetFile(tmp_path / "out.parquet").metadata.row_group(0).column(0).compression == "ZSTD"


class Cells:
    tally = None

    def __init__(self):
        self.chunks = []

    def add(self, first_row, cells, lost_digits=None):
        self.chunks.append((first_row, list(cells)))


@pytest.mark.parametrize("suffix", [".parquet", ".feather", ".arrow"])
def test_check_reads_the_column_in_batches_numbered_as_rows(tmp_path, monkeypatch, suffix):
    monkeypatch.setattr(_arrowfile, "BATCH_ROWS", 3)
    numbers = pa.array([4006381333931, None, 12345670, 1, 2, 3, 4])
    source = write(tmp_path / f"in{suffix}", pa.table({"sku": pa.array(["x"] * 7), "gtin": numbers}))
    table = _arrowfile.open_table(str(source))
    report = Cells()
    table.check(1, report, lambda: None)
    firsts = [2]
    for _, cells in report.chunks:
        assert 0 < len(cells) <= 3
        firsts.append(firsts[-1] + len(cells))
    assert [first for first, _ in report.chunks] == firsts[:-1]
    assert sum((cells for _, cells in report.chunks), []) == numbers.to_pylist()
    assert table.sample(2) == [["x", 4006381333931], ["x", None]]
    table.close()


def test_a_column_of_numbers_is_checked_but_not_cleaned(tmp_path):
    source = write(tmp_path / "in.parquet", pa.table({"gtin": pa.array([4006381333931, None])}))
    with pytest.raises(InputError, match='column "gtin" holds int64 values, .* cast the column to string first'):
        clean(source, tmp_path / "out.parquet", index=0)


BAD = [
    ("in.parquet", b"PAR1 but not really", "not a readable Parquet file"),
    ("in.feather", b"ARROW1\0\0 truncated", "not a readable Arrow file"),
    ("in.arrow", b"", "not a readable Arrow file"),
]


@pytest.mark.parametrize("name, data, message", BAD)
def test_damaged_files_are_one_line(tmp_path, tevora_cmd, name, data, message):
    (tmp_path / name).write_bytes(data)
    status, _, err = tevora_cmd("check", tmp_path / name)
    assert status == 1 and message in err and err.count("\n") == 1, err


def test_without_pyarrow_the_line_says_what_to_install(tmp_path, monkeypatch):
    monkeypatch.setitem(sys.modules, "pyarrow", None)
    with pytest.raises(InputError, match=r"need pyarrow, which is not installed \(pip install 'tevora\[arrow\]'\)"):
        _arrowfile.open_table(str(tmp_path / "in.parquet"))


def test_a_column_of_dates_or_bytes_is_checked_as_text(tmp_path):
    import datetime

    source = write(
        tmp_path / "in.parquet",
        pa.table({"when": [datetime.date(2024, 1, 2), None], "raw": [b"4006381333931", b"\xff"]}),
    )
    table = _arrowfile.open_table(str(source))
    for index, cells in [(0, ["2024-01-02", None]), (1, ["4006381333931", "\ufffd"])]:
        report = Cells()
        table.check(index, report, lambda: None)
        assert report.chunks == [(2, cells)]
    table.close()
