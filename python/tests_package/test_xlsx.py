"""Workbooks: read as they stream out of the zip, edited in place, and hostile ones refused in one line."""

import datetime
import io
import os
import random
import zipfile

import pytest

from tevora import _xlsx
from tevora._tables import CleanOptions, InputError

MAIN = "http://schemas.openxmlformats.org/spreadsheetml/2006/main"
WORKBOOK = (
    f'<workbook xmlns="{MAIN}" xmlns:r="http://schemas.openxmlformats.org/officeDocument/2006/relationships">'
    '{pr}<sheets><sheet name="Data" sheetId="1" r:id="rId1"/><sheet name="Other" sheetId="2" r:id="rId2"/></sheets>'
    "</workbook>"
)
RELS = (
    '<Relationships xmlns="http://schemas.openxmlformats.org/package/2006/relationships">'
    '<Relationship Id="rId1" Type="http://schemas.openxmlformats.org/officeDocument/2006/relationships/worksheet" '
    'Target="worksheets/sheet1.xml"/>'
    '<Relationship Id="rId2" Type="http://schemas.openxmlformats.org/officeDocument/2006/relationships/worksheet" '
    'Target="/xl/worksheets/sheet2.xml"/>'
    '<Relationship Id="rId3" Type="http://schemas.openxmlformats.org/officeDocument/2006/relationships/sharedStrings" '
    'Target="sharedStrings.xml"/>'
    "</Relationships>"
)
SHEET_TYPE = "application/vnd.openxmlformats-officedocument.spreadsheetml.worksheet+xml"
CONTENT_TYPES = (
    '<Types xmlns="http://schemas.openxmlformats.org/package/2006/content-types">'
    '<Default Extension="rels" ContentType="application/vnd.openxmlformats-package.relationships+xml"/>'
    '<Default Extension="xml" ContentType="application/xml"/>'
    '<Override PartName="/xl/workbook.xml" '
    'ContentType="application/vnd.openxmlformats-officedocument.spreadsheetml.sheet.main+xml"/>'
    f'<Override PartName="/xl/worksheets/sheet1.xml" ContentType="{SHEET_TYPE}"/>'
    f'<Override PartName="/xl/worksheets/sheet2.xml" ContentType="{SHEET_TYPE}"/>'
    '<Override PartName="/xl/sharedStrings.xml" '
    'ContentType="application/vnd.openxmlformats-officedocument.spreadsheetml.sharedStrings+xml"/></Types>'
)
PACKAGE_RELS = (
    '<Relationships xmlns="http://schemas.openxmlformats.org/package/2006/relationships">'
    '<Relationship Id="rId1" Type="http://schemas.openxmlformats.org/officeDocument/2006/relationships/officeDocument" '
    'Target="xl/workbook.xml"/></Relationships>'
)
# Style 0 plain, 1 a built-in date, 2 a custom date, 3 scientific, 4 a time of day, 5 elapsed hours.
STYLES = (
    f'<styleSheet xmlns="{MAIN}"><numFmts count="2"><numFmt numFmtId="164" formatCode="dd/mm/yyyy"/>'
    '<numFmt numFmtId="165" formatCode="[h]:mm"/></numFmts>'
    '<cellXfs count="6"><xf numFmtId="0"/><xf numFmtId="14"/><xf numFmtId="164"/><xf numFmtId="11"/>'
    '<xf numFmtId="20"/><xf numFmtId="165"/></cellXfs></styleSheet>'
)
SHARED = (
    f'<sst xmlns="{MAIN}" count="3" uniqueCount="3"><si><t>gtin</t></si>'
    '<si><r><rPr><b/></rPr><t>4006381</t></r><r><t xml:space="preserve">333931</t></r>'
    "<rPh><t>phonetic</t></rPh></si><si><t>a &amp; b_x000D_</t></si></sst>"
)


def sheet_xml(rows, head="", prefix="", root_attributes=f'xmlns="{MAIN}"'):
    p = f"{prefix}:" if prefix else ""
    return f"<{p}worksheet {root_attributes}>{head}<{p}sheetData>{rows}</{p}sheetData></{p}worksheet>"


def workbook(tmp_path, rows, name="in.xlsx", sheet=None, date1904=False, extra=None):
    """A workbook written by hand: its sheet's XML exactly as given."""
    members = {
        "[Content_Types].xml": CONTENT_TYPES,
        "_rels/.rels": PACKAGE_RELS,
        "xl/workbook.xml": WORKBOOK.format(pr='<workbookPr date1904="1"/>' if date1904 else ""),
        "xl/_rels/workbook.xml.rels": RELS,
        "xl/styles.xml": STYLES,
        "xl/sharedStrings.xml": SHARED,
        "xl/worksheets/sheet1.xml": sheet if sheet is not None else sheet_xml(rows),
        "xl/worksheets/sheet2.xml": sheet_xml('<row r="1"><c r="A1" t="inlineStr"><is><t>other</t></is></c></row>'),
        **(extra or {}),
    }
    path = tmp_path / name
    with zipfile.ZipFile(path, "w", zipfile.ZIP_DEFLATED) as z:
        for member, text in members.items():
            z.writestr(member, text if isinstance(text, bytes) else text.encode("utf-8"))
    return path


def read(path, **options):
    table = _xlsx.open_table(str(path), None, **options)
    try:
        return table.header, table.sample(100)
    finally:
        table.close()


HEADER = '<row r="1"><c r="A1" t="s"><v>0</v></c></row>'
INLINE_HEADER = '<row r="1"><c r="A1" t="inlineStr"><is><t>gtin</t></is></c></row>'


# Row 2's XML, and the cell (column A) it must read as.
CELLS = [
    ('<c r="A2" t="s"><v>1</v></c>', "4006381333931"),  # rich text; the phonetic run left out
    ('<c r="A2" t="s"><v>2</v></c>', "a & b\r"),
    ('<c r="A2" t="inlineStr"><is><t>x&lt;y&#233;_x0009_</t></is></c>', "x<yé\t"),
    ('<c r="A2"><v>4006381333931</v></c>', 4006381333931),
    ('<c r="A2" t="n"><v>4.006381333931E+12</v></c>', 4006381333931.0),
    ('<c r="A2"><v>-12</v></c>', -12),
    ('<c r="A2" t="b"><v>1</v></c>', True),
    ('<c r="A2" t="e"><v>#N/A</v></c>', "#N/A"),
    ('<c r="A2" t="str"><f>B2&amp;""</f><v>4006381333931</v></c>', "4006381333931"),  # a formula's cached value
    ('<c r="A2"><f>1+1</f></c>', None),  # a formula never calculated
    ('<c r="A2" s="1"><v>45413.5</v></c>', "2024-05-01 12:00:00"),
    ('<c r="A2" s="2"><v>45413</v></c>', "2024-05-01 00:00:00"),
    ('<c r="A2" s="4"><v>0.5</v></c>', "12:00:00"),
    ('<c r="A2" s="5"><v>1.5</v></c>', "1 day, 12:00:00"),
    ('<c r="A2" s="1"><v>1e300</v></c>', 1e300),  # no such date: the number
    ('<c r="A2" s="3"><v>5052940000000</v></c>', 5052940000000),
    ('<c r="A2" t="d"><v>2024-05-01T00:00:00</v></c>', "2024-05-01T00:00:00"),
    ('<c r="A2" s="0"/>', None),
    ("<c r='A2' t='inlineStr'><is><t>single quotes</t></is></c>", "single quotes"),
    ('<c t="inlineStr" r="A2"><is><t>reordered</t></is></c>', "reordered"),
    ('<c r="A2" t="n"><v>NaN</v></c>', None),
]


@pytest.mark.parametrize("cell, expected", CELLS)
def test_reads_every_kind_of_cell(tmp_path, cell, expected):
    header, rows = read(workbook(tmp_path, HEADER + f'<row r="2">{cell}</row>'))
    assert header == ["gtin"]
    assert rows == ([[expected]] if expected is not None else [])


def test_reads_dates_in_the_1904_system(tmp_path):
    _, rows = read(workbook(tmp_path, HEADER + '<row r="2"><c r="A2" s="1"><v>0</v></c></row>', date1904=True))
    assert rows == [["00:00:00"]]  # a time of day, as a spreadsheet library reads serial 0
    _, rows = read(workbook(tmp_path, HEADER + '<row r="2"><c r="A2" s="1"><v>1</v></c></row>', date1904=True))
    assert rows == [["1904-01-02 00:00:00"]]


# How cells are placed: references, gaps, cells without a reference, prefixes.
LAYOUTS = [
    (sheet_xml(HEADER + '<row r="2"><c r="C2"><v>3</v></c><c r="A2"><v>1</v></c></row>'), [[1, None, 3]]),
    (
        sheet_xml(HEADER + '<row r="2"><c><v>1</v></c><c><v>2</v></c><c r="D2"><v>4</v></c><c><v>5</v></c></row>'),
        [[1, 2, None, 4, 5]],
    ),
    (sheet_xml(HEADER + '<row><c><v>7</v></c></row>\n  <row r="9"><c><v>9</v></c></row>'), [[7], [9]]),
    (sheet_xml(HEADER + '<row r="2"/><row r="3" spans="1:1"></row><row r="4"><c r="A4"><v>4</v></c></row>'), [[4]]),
    (
        sheet_xml(
            '<x:row r="1"><x:c r="A1" t="s"><x:v>0</x:v></x:c></x:row><x:row r="2"><x:c r="A2"><x:v>5</x:v></x:c></x:row>',
            prefix="x",
            root_attributes=f'xmlns:x="{MAIN}"',
        ),
        [[5]],
    ),
    (sheet_xml(HEADER + '<row r="2"><c r="A2"><v>1</v></c></row>', head='<dimension ref="A1:XFD1048576"/>'), [[1]]),
]


@pytest.mark.parametrize("sheet, rows", LAYOUTS)
def test_cells_are_placed_by_their_references(tmp_path, sheet, rows):
    assert read(workbook(tmp_path, None, sheet=sheet)) == (["gtin"], rows)


def test_a_sheet_is_chosen_by_name(tmp_path):
    path = workbook(tmp_path, HEADER)
    assert read(path, sheet="other")[0] == ["other"]
    with pytest.raises(InputError, match='no sheet "Nope"; the sheets are "Data", "Other"'):
        read(path, sheet="Nope")


class Tally:
    """A report that takes cells as they are, with the numbers that probably lost digits."""

    tally = None

    def __init__(self):
        self.chunks = []

    def add(self, first_row, cells, lost_digits=None):
        self.chunks.append((first_row, list(cells), list(lost_digits or [])))


def test_check_feeds_the_column_in_runs_of_rows_and_flags_lost_digits(tmp_path, monkeypatch):
    rows = [
        '<row r="1"><c r="A1" t="inlineStr"><is><t>sku</t></is></c><c r="B1" t="s"><v>0</v></c></row>',
        '<row r="2"><c r="A2"><v>1</v></c><c r="B2"><v>5052940000000</v></c></row>',  # six digits and zeros
        '<row r="3"><c r="B3" s="3"><v>4006381333931</v></c></row>',  # a scientific number format
        '<row r="4"><c r="B4"><v>4006381333931</v></c></row>',
        '<row r="5"><c r="B5" t="inlineStr"><is><t>5052940000000</t></is></c></row>',  # text: as written
        '<row r="6"><c r="A6"><v>1</v></c></row>',  # no cell in the column
        '<row r="6000"><c r="B6000"><v>10000000</v></c></row>',
    ]
    monkeypatch.setattr(_xlsx, "CHUNK_CELLS", 3)
    table = _xlsx.open_table(str(workbook(tmp_path, "".join(rows))), None)
    report = Tally()
    table.check(1, report, lambda: None)
    table.close()
    assert report.chunks == [
        (2, [5052940000000, 4006381333931, 4006381333931], [0, 1]),
        (5, ["5052940000000", None], []),
        (6000, [10000000], [0]),
    ]


# ---- Editing in place ------------------------------------------------------------


def make_book(path):
    """A two-sheet workbook as a spreadsheet user keeps one: formulas, dates, widths, styles, names, merges."""
    openpyxl = pytest.importorskip("openpyxl")
    from openpyxl.styles import Font, PatternFill
    from openpyxl.workbook.defined_name import DefinedName

    book = openpyxl.Workbook()
    sheet = book.active
    sheet.title = "Items"
    rows = [
        ["sku", "gtin", "when", "price", "total"],
        ["A", 4006381333931, datetime.datetime(2024, 5, 1, 12, 0), 2.5, "=D2*2"],
        ["B", "4006381333931.0", datetime.date(2024, 1, 2), 3, "=D3*2"],
        ["C", " 4006-3813-33932", None, None, "=SUM(D2:D3)"],
        ["D", "n/a", '=HYPERLINK("http://x")', 1, None],
        ["E", 5052940000000, None, 1, None],
        ["F", '="4006381333931"', None, None, None],
        ["G", "04006381333931", None, None, None],
    ]
    for row in rows:
        sheet.append(row)
    for cell in ("C2", "C3"):
        sheet[cell].number_format = "dd/mm/yyyy"
    sheet["B2"].font = Font(bold=True)
    sheet["B3"].fill = PatternFill("solid", fgColor="FFFF00")
    sheet["B2"].number_format = "0"
    sheet.column_dimensions["B"].width = 30
    sheet.column_dimensions["C"].width = 14
    sheet.merge_cells("F2:G3")
    book.defined_names["prices"] = DefinedName("prices", attr_text="Items!$D$2:$D$6")
    other = book.create_sheet("Other")
    other.append(["x", 4006381333931, "=Items!B2"])
    other.column_dimensions["A"].width = 40
    book.save(path)
    return openpyxl


def snapshot(openpyxl, path):
    book = openpyxl.load_workbook(path)
    found = {
        sheet.title: {
            "cells": {
                c.coordinate: (c.value, c.data_type, c.number_format, c.font.b, c.fill.fgColor.rgb)
                for r in sheet.iter_rows()
                for c in r
                if c.value is not None or c.has_style
            },
            "widths": {k: d.width for k, d in sheet.column_dimensions.items()},
            "merged": sorted(str(r) for r in sheet.merged_cells.ranges),
        }
        for sheet in book.worksheets
    }
    found["names"] = {n: d.attr_text for n, d in book.defined_names.items()}
    return found


def clean(table_path, out_path, *, added=(), key_column=None, explain=False, trust_numbers=False, fmt="xlsx", index=1):
    table = _xlsx.open_table(str(table_path), None)
    try:
        with open(out_path, "wb") as out:
            return table.clean(
                index, out, CleanOptions(key_column, explain, list(added), trust_numbers, fmt), lambda: None
            )
    finally:
        table.close()


def test_clean_edits_the_gtin_cells_and_nothing_else(tmp_path):
    openpyxl = make_book(tmp_path / "in.xlsx")
    result = clean(tmp_path / "in.xlsx", tmp_path / "out.xlsx")
    before, after = snapshot(openpyxl, tmp_path / "in.xlsx"), snapshot(openpyxl, tmp_path / "out.xlsx")
    rewritten = {"B2": "04006381333931", "B3": "04006381333931", "B4": "04006381333932"}
    for cell, text in rewritten.items():
        value, data_type, number_format, bold, fill = after["Items"]["cells"].pop(cell)
        assert (value, data_type) == (text, "s")
        assert (number_format, bold, fill) == before["Items"]["cells"].pop(cell)[2:]  # the style kept
    assert before == after
    # Row 6 probably lost digits and stays a number; the formula of row 7 stays a formula;
    # row 8 is in store form already and is not touched.
    assert (result.rows, result.gtins, result.changed, result.kept, result.lost_digits) == (7, 4, 3, 3, 1)
    with zipfile.ZipFile(tmp_path / "in.xlsx") as a, zipfile.ZipFile(tmp_path / "out.xlsx") as b:
        assert a.namelist() == b.namelist()
        for name in a.namelist():
            if name != "xl/worksheets/sheet1.xml":
                assert a.read(name) == b.read(name), name
        untouched = a.read("xl/worksheets/sheet1.xml").split(b"<row ")
        edited = b.read("xl/worksheets/sheet1.xml").split(b"<row ")
        assert [x for x, y in zip(untouched, edited) if x != y] == untouched[2:5]


def test_trusted_numbers_and_added_columns(tmp_path):
    openpyxl = make_book(tmp_path / "in.xlsx")
    result = clean(
        tmp_path / "in.xlsx",
        tmp_path / "out.xlsx",
        added=["=key", "gtin_reason", "gtin_message"],
        key_column="=key",
        explain=True,
        trust_numbers=True,
    )
    assert (result.gtins, result.lost_digits) == (5, 0)
    sheet = openpyxl.load_workbook(tmp_path / "out.xlsx")["Items"]
    # After the merged range's last column (G), every row alike; a header that looks like a formula is text.
    assert [(c.value, c.data_type) for c in sheet[1]][7:] == [
        ("=key", "s"),
        ("gtin_reason", "s"),
        ("gtin_message", "s"),
    ]
    assert sheet["B6"].value == "05052940000000" and sheet["H6"].value == "05052940000000"
    # Row 6 would be refused without --trust-numbers; row 7 is a formula never calculated.
    assert [sheet.cell(r, 9).value for r in range(2, 9)] == [None, None, None, "non_numeric", None, "empty", None]
    dimension = zipfile.ZipFile(tmp_path / "out.xlsx").read("xl/worksheets/sheet1.xml")
    assert b'<dimension ref="A1:J8"' in dimension


def test_clean_to_csv_writes_rows_as_text(tmp_path):
    make_book(tmp_path / "in.xlsx")
    result = clean(tmp_path / "in.xlsx", tmp_path / "out.csv", added=["key"], key_column="key", fmt="csv")
    lines = (tmp_path / "out.csv").read_text().splitlines()
    assert lines[0] == "sku,gtin,when,price,total,key"
    assert lines[1] == "A,04006381333931,2024-05-01 12:00:00,2.5,,04006381333930"
    assert lines[5] == "E,5052940000000,,1,,"  # probably lost digits: as it was, no key
    assert result.lost_digits == 1


# Text written into a workbook: what openpyxl reads back, always a string.
TEXTS = [
    '=HYPERLINK("http://x")',
    "+1",
    "-1",
    "@SUM(A1)",
    "a\x01b\x1fc",
    "tab\tline\ncr\r",
    "_x0041_ stays as written",
    "  spaces  ",
    "<&>\"'",
    "\ufffe",
]


@pytest.mark.parametrize("text", TEXTS)
def test_written_text_is_never_a_formula_and_reads_back_as_written(tmp_path, text):
    openpyxl = pytest.importorskip("openpyxl")
    with open(tmp_path / "new.xlsx", "wb") as out:
        writer = _xlsx.WorkbookWriter(out, "new.xlsx", "Sheet:1")
        writer.append(["gtin", text])
        writer.append([None, text])
        writer.close()
    assert read(tmp_path / "new.xlsx") == (["gtin", text], [[None, text]])
    # openpyxl leaves the format's _xHHHH_ escapes as they are written, but takes every cell for text.
    sheet = openpyxl.load_workbook(tmp_path / "new.xlsx").active
    escaped = _xlsx.CONTROL.sub(lambda m: f"_x{ord(m.group(0)):04X}_", text).replace("\r", "_x000D_")
    assert [(c.value, c.data_type) for c in sheet[2]] == [(None, "n"), (escaped, "s")]
    assert sheet.title == "Sheet_1"


# ---- Hostile workbooks ---------------------------------------------------------------


def bomb(tmp_path):
    path = tmp_path / "in.xlsx"
    with zipfile.ZipFile(path, "w", zipfile.ZIP_DEFLATED) as z:
        for name, text in [("xl/workbook.xml", WORKBOOK.format(pr="")), ("xl/_rels/workbook.xml.rels", RELS)]:
            z.writestr(name, text)
        with z.open("xl/worksheets/sheet1.xml", "w") as sheet:
            sheet.write(f'<worksheet xmlns="{MAIN}"><sheetData>'.encode() + INLINE_HEADER.encode())
            for _ in range(8):
                sheet.write(b" " * (1 << 20))
    return path


def row_of(size):
    return lambda tmp_path: workbook(
        tmp_path, HEADER + '<row r="2"><c r="A2" t="inlineStr"><is><t>' + "9" * size + "</t></is></c></row>"
    )


def file(data):
    def make(tmp_path):
        (tmp_path / "in.xlsx").write_bytes(data)
        return tmp_path / "in.xlsx"

    return make


# Each workbook, and what the one line must say (None: read as it is).
HOSTILE = [
    (bomb, "refused as a zip bomb"),
    (row_of(40_000), "cell A2 holds 40,000 characters, more than a cell can (32,767)"),
    (row_of(3_000_000), "cell A2 holds more than 32,767 characters"),  # past the row's limit, while streaming
    (lambda p: workbook(p, HEADER + '<!-- <row r="2"/> -->'), "holds XML comments, CDATA or a document type"),
    (lambda p: workbook(p, HEADER + '<row r="2"><c r="A2"><v><![CDATA[1]]></v></c></row>'), "holds XML comments"),
    (
        lambda p: workbook(
            p, None, sheet=f'<!DOCTYPE x [<!ENTITY a "b">]><worksheet xmlns="{MAIN}"><sheetData/></worksheet>'
        ),
        "holds XML comments",
    ),
    (
        lambda p: workbook(p, None, extra={"xl/styles.xml": '<!DOCTYPE x [<!ENTITY a "aaaa">]><styleSheet/>'}),
        "declares a document type",
    ),
    (lambda p: workbook(p, HEADER + '<row r="1"><c r="A1"><v>1</v></c></row>'), "row 1 is out of order"),
    (
        lambda p: workbook(p, HEADER + '<row r="2000000"><c><v>1</v></c></row>'),
        "row 2000000 is out of order or past the last row",
    ),
    (
        lambda p: workbook(p, '<row r="1"><c r="XFE1"><v>1</v></c></row>'),
        "row 1: a cell past the last column (XFD)",
    ),
    (
        lambda p: workbook(p, HEADER + '<row r="2"><c r="A2" t="s"><v>99</v></c></row>'),
        "cell A2: '99' is not a valid value",
    ),
    (
        lambda p: workbook(p, HEADER + '<row r="2"><c r="A2"><v>12abc</v></c></row>'),
        "cell A2: '12abc' is not a valid value",
    ),
    (lambda p: workbook(p, HEADER + f'<row r="2"><c r="A2"><v>{"9" * 100_000}</v></c></row>'), "cell A2: '9999"),
    (lambda p: workbook(p, HEADER + f'<row r="2"><c r="A2" t="s"><v>{"9" * 100_000}</v></c></row>'), "cell A2: '9999"),
    (lambda p: workbook(p, HEADER + f'<row r="{"9" * 100_000}"/>'), "not a row number"),
    (lambda p: workbook(p, HEADER + '<row r="2"><c r="A2" s="x"><v>1</v></c><c r="B2" s="99999999999"/></row>'), None),
    (lambda p: workbook(p, HEADER + "junk<row/>"), "unexpected text in the sheet data: 'junk'"),
    (
        lambda p: workbook(p, None, sheet=f'<worksheet xmlns="{MAIN}"><sheetData>' + HEADER),
        "ends in the middle of its rows",
    ),
    (
        lambda p: workbook(p, None, sheet=f'<worksheet xmlns="{MAIN}"><sheetData/></worksheet>'),
        "the sheet 'Data' is empty",
    ),
    (
        lambda p: workbook(
            p,
            None,
            sheet=sheet_xml(HEADER + '<row r="2"><c r="A2" t="inlineStr"><is><t>\xff</t></is></c></row>').encode(
                "latin-1"
            ),
        ),
        "not valid UTF-8",
    ),
    (file(b"not a zip"), "not a readable .xlsx workbook"),
    (file(b"\xd0\xcf\x11\xe0\xa1\xb1\x1a\xe1" + b"\0" * 504), "a password-protected workbook, or an .xls renamed"),
    (file(b"PK\x03\x04" + b"\0" * 40), "not a readable .xlsx workbook"),
]


@pytest.mark.parametrize("make, message", HOSTILE)
def test_hostile_workbooks_are_refused_in_one_line(tmp_path, monkeypatch, tevora_cmd, make, message):
    monkeypatch.setattr(_xlsx, "RATIO_FLOOR", 1 << 20)
    monkeypatch.setattr(_xlsx, "MAX_ROW_BYTES", 1 << 18)
    path = make(tmp_path)
    status, out, err = tevora_cmd("check", path, "--column", "gtin")
    if message is None:  # read, not refused
        assert status == 0 and err == "", err
        return
    assert status == 1 and message in err and err.count("\n") == 1 and err.startswith("tevora: "), err


def test_a_bomb_is_refused_when_copied_too(tmp_path, monkeypatch):
    monkeypatch.setattr(_xlsx, "RATIO_FLOOR", 1 << 20)
    path = workbook(tmp_path, HEADER, extra={"xl/media/blank.bin": b" " * (4 << 20)})
    with pytest.raises(InputError, match="xl/media/blank.bin inflates to more than 250 times"):
        clean(path, tmp_path / "out.xlsx", index=0)


# What writing past the format's limits says, before the output is used.
LIMITS = [
    ("MAX_ROWS", 3, [["a"]] * 4, "more than 3 rows, more than a workbook sheet holds; write CSV or Parquet instead"),
    (
        "MAX_COLUMNS",
        2,
        [["a", "b", "c"]],
        "row 1 has 3 cells, more than a workbook sheet's 2 columns; write CSV or Parquet",
    ),
    (
        "MAX_TEXT",
        5,
        [["a", "123456"]],
        "cell B1 would hold 6 characters, more than a workbook cell can (5); write CSV or Parquet",
    ),
]


@pytest.mark.parametrize("limit, value, rows, message", LIMITS)
def test_a_new_workbook_stops_at_the_format_limits(monkeypatch, limit, value, rows, message):
    monkeypatch.setattr(_xlsx, limit, value)
    writer = _xlsx.WorkbookWriter(io.BytesIO(), "out.xlsx")
    with pytest.raises(InputError, match=message.replace("(", r"\(").replace(")", r"\)")):
        for row in rows:
            writer.append(row)


def test_added_columns_past_the_last_column_are_refused_before_writing(tmp_path):
    path = workbook(tmp_path, '<row r="1"><c r="A1" t="s"><v>0</v></c><c r="XFD1"><v>1</v></c></row>')
    with pytest.raises(InputError, match="pass the last column a workbook has"):
        clean(path, tmp_path / "out.xlsx", added=["key"], key_column="key", index=0)
    assert (tmp_path / "out.xlsx").stat().st_size == 0


def test_text_rows_become_a_new_workbook_of_text_cells(tmp_path):
    openpyxl = pytest.importorskip("openpyxl")
    rows = [["A", "4006381333931", "=1+1"], ["B", " 4006-3813-33932"], [], ["C", "n/a", "+x"]]
    options = CleanOptions("key", False, ["key"], False, "xlsx")
    with open(tmp_path / "out.xlsx", "wb") as out:
        result = _xlsx.clean_to_workbook(iter(rows), ["sku", "gtin", "note"], 1, out, options, "out.xlsx")
    written = [[(c.value, c.data_type) for c in row] for row in openpyxl.load_workbook(tmp_path / "out.xlsx").active]
    assert [[v for v, _ in row] for row in written] == [
        ["sku", "gtin", "note", "key"],
        ["A", "04006381333931", "=1+1", "04006381333930"],
        ["B", "04006381333932", None, "04006381333930"],
        [None, None, None, None],
        ["C", "n/a", "+x", None],
    ]
    assert {t for row in written for v, t in row if v is not None} == {"s"}
    assert (result.rows, result.gtins, result.changed) == (4, 2, 2)
    with pytest.raises(InputError, match="row 2 has 4 cells, more than the header's 3"):
        _xlsx.clean_to_workbook(iter([["A", "1", "2", "3"]]), ["a", "b", "c"], 1, io.BytesIO(), options, "out.xlsx")


def test_a_sheet_with_a_namespace_prefix_is_edited_in_its_own_prefix(tmp_path):
    rows = '<x:row r="1"><x:c r="A1" t="s"><x:v>0</x:v></x:c></x:row><x:row r="2"><x:c r="A2"><x:v>4006381333931</x:v></x:c></x:row>'
    path = workbook(tmp_path, None, sheet=sheet_xml(rows, prefix="x", root_attributes=f'xmlns:x="{MAIN}"'))
    clean(path, tmp_path / "out.xlsx", added=["key"], key_column="key", index=0)
    assert read(tmp_path / "out.xlsx") == (["gtin", "key"], [["04006381333931", "04006381333930"]])
    assert b'<x:c r="A2" t="inlineStr"><x:is><x:t>' in zipfile.ZipFile(tmp_path / "out.xlsx").read(
        "xl/worksheets/sheet1.xml"
    )


@pytest.mark.parametrize("name", ["key\x01\x1f", '=HYPERLINK("x")', "@key", "_x0041_", "key\r\n"])
def test_an_added_column_name_is_written_as_text_whatever_it_holds(tmp_path, tevora_cmd, name):
    openpyxl = make_book(tmp_path / "in.xlsx")
    status, _, err = tevora_cmd("clean", tmp_path / "in.xlsx", "-o", tmp_path / "out.xlsx", "--key-column", name)
    assert status == 0, err
    header, rows = read(tmp_path / "out.xlsx")
    assert header[7:] == [name] and rows[0][7] == "04006381333930"
    assert openpyxl.load_workbook(tmp_path / "out.xlsx").active["H1"].data_type == "s"


def test_parts_read_a_few_bytes_at_a_time_read_the_same(tmp_path, monkeypatch):
    make_book(tmp_path / "book.xlsx")
    shared = workbook(tmp_path, HEADER + '<row r="2"><c r="A2" t="s"><v>1</v></c><c r="B2" t="s"><v>2</v></c></row>')
    expected = [read(tmp_path / "book.xlsx"), read(shared)]
    assert expected[1] == (["gtin"], [["4006381333931", "a & b\r"]])
    monkeypatch.setattr(_xlsx, "READ_BYTES", 3)
    assert [read(tmp_path / "book.xlsx"), read(shared)] == expected


# Custom number formats and what their numbers show.
FORMATS = [
    ("General", _xlsx.PLAIN),
    ("0", _xlsx.PLAIN),
    ('#,##0.00 "days"', _xlsx.PLAIN),  # quoted text says nothing
    ("[Red]0.00", _xlsx.PLAIN),
    ("0.00E+00", _xlsx.SCIENTIFIC),
    ("##0.0E-0", _xlsx.SCIENTIFIC),
    ("yyyy-mm-dd", _xlsx.DATE),
    ("[$-409]d-mmm-yy;@", _xlsx.DATE),
    ("mmmm", _xlsx.DATE),
    ("h:mm AM/PM", _xlsx.TIME),
    ("mm:ss", _xlsx.TIME),
    ("[h]:mm:ss", _xlsx.ELAPSED),
    ("\\d0", _xlsx.PLAIN),  # an escaped letter
]


@pytest.mark.parametrize("code, kind", FORMATS)
def test_number_formats_are_told_apart(code, kind):
    assert _xlsx._format_kind(code) == kind


# Numbers, their format's kind, and whether they probably lost digits in scientific notation.
LOST = [
    (5052940000000, _xlsx.PLAIN, True),
    (5052940000000.0, _xlsx.PLAIN, True),
    (5052900000000, _xlsx.PLAIN, True),
    (5052941000000, _xlsx.PLAIN, False),  # seven significant digits
    (4006381333931, _xlsx.PLAIN, False),
    (4006381333931, _xlsx.SCIENTIFIC, True),
    (1000000, _xlsx.PLAIN, False),  # too short to have been a GTIN
    (10000000, _xlsx.PLAIN, True),
    (-5052940000000, _xlsx.PLAIN, True),
    (5052940000000.5, _xlsx.PLAIN, False),
    (True, _xlsx.SCIENTIFIC, False),
    ("5052940000000", _xlsx.PLAIN, False),  # text keeps its digits
]


@pytest.mark.parametrize("value, kind, lost", LOST)
def test_numbers_that_probably_lost_digits(value, kind, lost):
    assert _xlsx.lost_digits(value, kind) is lost


def test_a_failed_clean_leaves_no_output(tmp_path, monkeypatch, tevora_cmd):
    monkeypatch.setattr(_xlsx, "RATIO_FLOOR", 1 << 20)
    path = workbook(tmp_path, HEADER, extra={"xl/media/blank.bin": b" " * (4 << 20)})
    status, _, err = tevora_cmd("clean", path, "-o", tmp_path / "out.xlsx", "--column", "gtin")
    assert status == 1 and "refused as a zip bomb" in err
    assert sorted(p.name for p in tmp_path.iterdir()) == ["in.xlsx"]


STRESS = bool(os.environ.get("TEVORA_STRESS"))


class Quiet:
    tally = None

    def add(self, first_row, cells, lost_digits=None):
        pass


def test_damaged_workbooks_give_one_line_or_a_result(tmp_path):
    """Bytes of the workbook's parts changed, cut and repeated at random: every read and
    write either works or raises InputError."""
    make_book(tmp_path / "book.xlsx")
    shared = workbook(
        tmp_path,
        HEADER
        + "".join(f'<row r="{i + 2}">{cell}</row>'.replace("A2", f"A{i + 2}") for i, (cell, _) in enumerate(CELLS)),
    )
    rng = random.Random(2026)
    for _ in range(2000 if STRESS else 150):
        with zipfile.ZipFile(rng.choice([tmp_path / "book.xlsx", shared])) as source:
            members = {name: source.read(name) for name in source.namelist()}
        name = rng.choice([n for n in members if n.endswith(".xml") or n.endswith(".rels")])
        data = bytearray(members[name])
        for _ in range(rng.randint(1, 6)):
            k = rng.randrange(len(data))
            roll = rng.random()
            if roll < 0.4:
                data[k] = rng.choice(b'<>/"=&;x0123456789 ABrcvts:!?')
            elif roll < 0.7:
                del data[k : k + rng.randint(1, 20)]
            else:
                data[k:k] = data[rng.randrange(len(data)) :][: rng.randint(1, 40)]
        members[name] = bytes(data)
        damaged = io.BytesIO()
        with zipfile.ZipFile(damaged, "w") as z:
            for member, content in members.items():
                z.writestr(member, content)
        damaged.seek(0)
        try:
            table = _xlsx.XlsxTable(damaged, "damaged.xlsx")
            index = min(1, len(table.header) - 1)
            table.sample(10)
            table.check(index, Quiet(), lambda: None)
            for fmt in ("xlsx", "csv"):
                options = CleanOptions("k", True, ["k", "r", "m"], False, fmt)
                table.clean(index, io.BytesIO(), options, lambda: None)
        except InputError as error:
            assert "\n" not in str(error)
