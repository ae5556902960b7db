"""CSV and TSV through the native scanner: every byte but the GTIN cells kept,
the dialect told from the header line, malformed input refused or counted."""

import codecs
import io
import re

import pytest

from tevora import _csv, _files
from tevora._report import Report
from tevora._tables import CleanOptions, InputError


def options(*added, key=None, explain=False):
    return CleanOptions(key_column=key, explain=explain, added=list(added), trust_numbers=False, output_format="csv")


def clean(path, index=None, opts=None, **format_options):
    table = _csv.open_table(str(path), format_options.pop("encoding", None), **format_options)
    try:
        out = io.BytesIO()
        column = table.header.index("gtin") if index is None else index
        result = table.clean(column, out, opts or options(), lambda: None)
    finally:
        table.close()
    return out.getvalue(), result


def check(path, **format_options):
    table = _csv.open_table(str(path), format_options.pop("encoding", None), **format_options)
    try:
        report = Report(table.path, "gtin", "option")
        table.check(table.header.index("gtin"), report, lambda: None)
    finally:
        table.close()
    return report


@pytest.mark.parametrize(
    "data, expected",
    [
        # A quoted CR stays quoted; only the GTIN cells change.
        (
            b'sku,desc,gtin\nA,"foo\rbar",4006381333931\nB,x,12345670\n',
            b'sku,desc,gtin\nA,"foo\rbar",04006381333931\nB,x,00000012345670\n',
        ),
        # Line endings row by row, a CRLF inside quotes of an LF file, no last terminator.
        (
            b'gtin,x\r\n4006381333931,"a\r\nb"\n12345670,y\r4006-381333931',
            b'gtin,x\r\n04006381333931,"a\r\nb"\n00000012345670,y\r04006381333931',
        ),
        # Quoted GTINs stay quoted; malformed quoting is kept byte for byte and never rewritten.
        (
            b'"sku","gtin"\n"A","4006381333931"\nB,"400638"1333931\nC,40063"81333931\n',
            b'"sku","gtin"\n"A","04006381333931"\nB,"400638"1333931\nC,40063"81333931\n',
        ),
        # Blank lines and ragged rows pass through.
        (b"sku,gtin\n\nA,12345670,extra,cells\nB\n", b"sku,gtin\n\nA,00000012345670,extra,cells\nB\n"),
        # A semicolon file whose rows are ragged is read by its header's delimiter.
        (
            b'sku;desc;gtin\nA;Box "XL";4006381333931\nB;x\nC;y;12345670;;\n',
            b'sku;desc;gtin\nA;Box "XL";04006381333931\nB;x\nC;y;00000012345670;;\n',
        ),
        (b"sku\tgtin\nA\t4006381333931.0\n", b"sku\tgtin\nA\t04006381333931\n"),
        (b"\xef\xbb\xbfgtin|x\n 4006381333931 |\xc3\xa9\n", b"\xef\xbb\xbfgtin|x\n04006381333931|\xc3\xa9\n"),
    ],
)
def test_clean_changes_only_the_gtin_cells(tmp_path, data, expected):
    path = tmp_path / "in.csv"
    path.write_bytes(data)
    out, _ = clean(path)
    assert out == expected


def test_added_columns_line_up_under_a_ragged_file(tmp_path):
    path = tmp_path / "in.csv"
    path.write_bytes(b"sku,gtin\r\nA,4006381333931\r\nB,04006381333932,extra,cells\r\n\r\nC,n/a")
    out, result = clean(path, opts=options("key", "gtin_reason", "gtin_message", key="key", explain=True))
    assert out.decode().split("\r\n") == [
        "sku,gtin,,,key,gtin_reason,gtin_message",
        "A,04006381333931,,,04006381333930,,",
        "B,04006381333932,extra,cells,04006381333930,,",
        "",
        "C,n/a,,,,non_numeric,Not a number \u2014 the cell holds more than digits",
    ]
    assert (result.rows, result.gtins, result.changed, result.kept, result.ragged) == (4, 2, 1, 2, 1)


def test_a_fully_quoted_file_gets_its_added_fields_quoted(tmp_path):
    path = tmp_path / "in.csv"
    path.write_bytes(b'"gtin","x"\n"12345670","a"\n"1","b"\n')
    out, _ = clean(path, opts=options("key", key="key"))
    assert out == b'"gtin","x","key"\n"00000012345670","a","00000012345670"\n"1","b",""\n'


@pytest.mark.parametrize(
    "codec, bom",
    [
        ("utf-16-le", codecs.BOM_UTF16_LE),
        ("utf-16-be", codecs.BOM_UTF16_BE),
        ("utf-32-be", codecs.BOM_UTF32_BE),
        ("cp1252", b""),
        ("latin-1", b""),
    ],
)
def test_other_encodings_come_back_in_their_codec_and_byte_order(tmp_path, codec, bom):
    text = "sku;gtin;desc\r\nA;4006381333931;caf\u00e9\r\nB;n/a;\u00e9t\u00e9\r\n"
    path = tmp_path / "in.csv"
    path.write_bytes(bom + text.encode(codec))
    encoding = None if bom else codec
    out, _ = clean(path, opts=options("k", "gtin_reason", "gtin_message", key="k", explain=True), encoding=encoding)
    expected = text.replace("4006381333931", "04006381333931").split("\r\n")
    expected[0] += ";k;gtin_reason;gtin_message"
    expected[1] += ";04006381333930;;"
    dash = "\u2014" if codec.startswith("utf") or codec == "cp1252" else "-"
    expected[2] += f";;non_numeric;Not a number {dash} the cell holds more than digits"
    assert out == bom + "\r\n".join(expected).encode(codec)


@pytest.mark.parametrize(
    "data, encoding, message",
    [
        (
            b'sku,gtin\nA,1\nC,"unterminated,4006381333931\nD,x\n',
            None,
            "line 3: a quoted field opens here and never closes",
        ),
        (b'gtin,"x\ny\n', None, "line 1: a quoted field opens here and never closes"),
        (b"sku,gtin\nA,1\nB,\xff\n", None, "line 3 is not valid UTF-8 (bytes 0xff);"),
        (b"gtin\n1\n", "rot13", "is not a text encoding"),
        (b"g\x00t\x00\n\x00", "utf-16", "no byte order mark for UTF-16"),
        (b"a,b;c\nx;y,z\n", None, "cannot tell the delimiter"),
        (b"\n\ngtin\n", None, "the first line is blank"),
        (b"", None, "the file is empty"),
        (b"\xff\xfe", None, "the file is empty"),
        # U+2235 read from NEC's bytes would be written back as JIS's.
        (b"sku,desc,gtin\nA,\x87\x9a,4006381333931\n", "cp932", "would not come back the same"),
    ],
)
def test_bad_input_is_one_line_naming_where(tmp_path, data, encoding, message):
    path = tmp_path / "in.csv"
    path.write_bytes(data)
    with pytest.raises(InputError, match=re.escape(message)) as error:
        out, _ = clean(path, index=1, encoding=encoding)
    assert "\n" not in str(error.value)


def test_check_counts_rows_ragged_and_stray_quotes(tmp_path):
    path = tmp_path / "in.csv"
    path.write_bytes(b'sku,desc,gtin\nA,"Big" box,4006381333931\nB,x\nC,y,12345670,z\n\n')
    report = check(path)
    assert (report.cells, report.gtins, report.refused_count, report.ragged, report.stray_quotes) == (4, 2, 0, 1, 1)
    text = report.as_text()
    assert "Ragged rows: 1 row wider than the header" in text and "Stray quotes: 1 field" in text


def test_the_delimiter_and_quote_can_be_named(tmp_path):
    path = tmp_path / "in.txt"
    path.write_bytes(b"sku:gtin\n'a:b':4006381333931\n")
    out, _ = clean(path, delimiter=":", quote="'")
    assert out == b"sku:gtin\n'a:b':04006381333931\n"


def test_a_file_of_open_quotes_is_read_as_fields_that_stand_as_they_are(tmp_path):
    # The quadratic sniffer's worst case (its time is measured by make bench-cli).
    path = tmp_path / "in.csv"
    path.write_bytes(b',"a' * 21000)
    table = _csv.open_table(str(path), None)
    table.close()
    assert table.delimiter == "," and table.header[:3] == ["", '"a,"a', '"a,"a']


def test_a_cell_past_the_spreadsheet_limit_is_refused_and_kept(tmp_path):
    path = tmp_path / "in.csv"
    huge = b"4" * 40000
    path.write_bytes(b"gtin,x\n" + huge + b",y\n12345670,z\n")
    out, result = clean(path)
    assert out == b"gtin,x\n" + huge + b",y\n00000012345670,z\n"
    report = check(path)
    assert report.refused == {"too_large": 1} and report.gtins == 1


def test_the_scanner_gives_the_same_output_at_every_chunking():
    data = b'sku,gtin\r\nA,"4006381333931"\r\n"B\r\n",4006-381333931\r\r\nC,caf\xc3\xa9\n'
    outputs = set()
    for cut in range(len(data) + 1):
        scanner = _files.CsvScanner(delimiter=44, quote=34, column=1, mode="clean", key=True, added=["k"], width=2)
        outputs.add(scanner.feed(data[:cut]) + scanner.feed(data[cut:]) + scanner.finish())
    assert len(outputs) == 1


def test_tally_collisions_take_few_bytes_per_distinct_gtin():
    tally = _files.Tally()
    n = 200_000
    tally.add(2, [f"{i * 10:012d}" for i in range(10_000_000, 10_000_000 + n)])
    assert tally.distinct_keys == n
    assert tally.memory <= 24 * n


def test_an_arrow_column_is_tallied_as_its_list():
    pa = pytest.importorskip("pyarrow")
    cells = ["4006381333931", "4006381333932", " 4006-3813-33931", None, "4.00638E+12", "n/a", "", 12345670.0]
    as_list, as_arrow = Report("x", "gtin", "option"), Report("x", "gtin", "option")
    as_list.add(2, [str(c) if isinstance(c, float) else c for c in cells])
    column = pa.chunked_array(
        [[c if c is None or isinstance(c, str) else str(c) for c in cells[:3]], cells[3:7] + ["12345670.0"]]
    )
    as_arrow.add_arrow(2, column)
    assert as_arrow.as_dict() == as_list.as_dict()


def test_the_report_says_how_many_more_and_which_numbers_lost_digits():
    report = Report("x", "gtin", "option", problems=True)
    # Twelve keys that collide twice each, five refusals, and two numbers flagged as lost digits.
    colliding = [f"400638133{k:03d}{d}" for k in range(12) for d in (0, 1)]
    report.add(2, colliding + ["n/a"] * 5 + [5052940000000, 4006381333931], lost_digits=[29, 30])
    text = report.as_text()
    assert "\u2026 and 2 more keys" in text
    assert 'row 26: "n/a"; row 27: "n/a"; row 28: "n/a" \u2026 and 2 more' in text
    assert "probably lost digits in scientific notation" in text and 'row 31: "5052940000000"' in text
    assert report.as_dict()["lost_digits"]["count"] == 2 and report.refused_count == 5
    problems = report.take_problems()
    assert ("wrong_check_digit", "the check digit should be 6") in {(p[2], p[3]) for p in problems}
    assert (32, "4006381333931", "flagged", "", "probably_lost_digits") in problems  # valid, but flagged
    assert report.take_problems() == []


def test_collisions_and_duplicates_match_a_plain_model_across_table_growth():
    import random

    rng = random.Random(7)
    prefixes = [f"{rng.randrange(10**12):013d}" for _ in range(3000)]
    cells = [rng.choice(prefixes) + str(rng.choice((0, 0, 0, 1, 5))) for _ in range(20000)]
    first, collisions, duplicates = {}, {}, 0  # the report's bookkeeping, written plainly
    for row, gtin in enumerate(cells, 2):
        key = gtin[:13]
        if key not in first:
            first[key] = (row, gtin)
        elif key not in collisions and first[key][1] == gtin:
            duplicates += 1
        else:
            entry = collisions.setdefault(key, [[first[key]], 1, {first[key][1]}])
            duplicates += gtin in entry[2]
            entry[0] += [(row, gtin)] if len(entry[0]) < 6 else []
            entry[1] += 1
            entry[2].add(gtin)
    report = Report("x", "gtin", "option")
    report.add(2, cells[:7000])
    report.add(7002, cells[7000:])
    found = report.as_dict()["key_collisions"]
    assert (found["keys"], found["rows"]) == (len(collisions), sum(e[1] for e in collisions.values()))
    assert report.as_dict()["duplicate_rows"] == duplicates
    expected = [(k + "0", e[0], e[1]) for k, e in list(collisions.items())[:10]]
    assert [(c["key"], [(r["row"], r["gtin"]) for r in c["rows"]], c["count"]) for c in found["examples"]] == expected


def test_a_csv_cleaned_to_a_workbook_holds_its_rows_as_text(tmp_path):
    openpyxl = pytest.importorskip("openpyxl")
    path = tmp_path / "in.csv"
    path.write_bytes(b'sku;gtin\r\nA;4006381333931\r\nB;=HYPERLINK("x");extra\r\n\r\nC;"12345\n670"\r\n')
    table = _csv.open_table(str(path), None)
    out = tmp_path / "out.xlsx"
    try:
        with open(out, "wb") as f:
            opts = CleanOptions(key_column="k", explain=False, added=["k"], trust_numbers=False, output_format="xlsx")
            result = table.clean(1, f, opts, lambda: None)
    finally:
        table.close()
    rows = list(openpyxl.load_workbook(out).active.iter_rows(values_only=True))
    assert rows[0] == ("sku", "gtin", None, "k")
    assert rows[1] == ("A", "04006381333931", None, "04006381333930")
    assert rows[2][:3] == ("B", '=HYPERLINK("x")', "extra")
    assert rows[-1][:2] == ("C", "00000012345670")  # a line break inside a code is whitespace
    assert (result.rows, result.gtins) == (4, 2)
