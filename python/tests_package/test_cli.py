"""The `tevora` command: reports, cleaning that loses nothing, and bad input."""

import csv
import datetime
import json
import os
import pathlib
import subprocess
import sys

import pytest

import tevora
from tevora import cli
from tevora._report import Report
from conftest import REPO

CATALOGUE = REPO / "examples" / "catalogue.csv"

# Row (as a spreadsheet numbers it) and cell of a small GTIN column whose every
# figure below was worked out by hand.
MIX = [
    "4006381333931",  # 2: valid GTIN-13
    "4006381333932",  # 3: check digit wrong (1 expected): collides with row 2
    " 4006-3813-33931",  # 4: whitespace and dashes; the GTIN of row 2 again
    "4006381333931.0",  # 5: a spreadsheet's float; row 2 again
    "4.00638E+12",  # 6: scientific notation
    "n/a",  # 7
    "",  # 8
    "4011",  # 9: a short internal code
    "00000001000000",  # 10: internal code, measure field zeroed, check digit wrong (9)
    "2123450000000",  # 11: restricted region, measure field zeroed, check digit wrong (5)
    "9781234567897",  # 12: ISBN
    "12345670",  # 13: GTIN-8
    "54006381333936",  # 14: GTIN-14
    "1234567890123456",  # 15: too long
]
MIX_REPORT = {
    "cells": 14,
    "gtins": {"total": 9, "valid_check_digit": 6, "wrong_check_digit": 3},
    "refused": {"non_numeric": 2, "empty": 1, "too_short": 1, "too_long": 1},
    "scientific_notation": 1,
    "cleaning": {"cleaned": 2, "removed_whitespace": 1, "removed_separators": 1, "dropped_fraction": 1},
    "encodings": {"GTIN-13": 6, "GTIN-14": 1, "GTIN-8": 2},
    "allocations": {
        "company_prefix": 5,
        "restricted_circulation_company": 1,
        "restricted_circulation_region": 1,
        "isbn": 1,
        "gtin8_issuance": 1,
    },
    "flags": {
        "looks_like_internal_code": 1,
        "measure_field_looks_zeroed": 2,
        "restricted_circulation": 2,
        "publication_or_coupon": 1,
    },
    "key_collisions": {"keys": 1, "rows": 4},
    "duplicate_rows": 2,
}


def write_csv(path, header, rows):
    with open(path, "w", newline="", encoding="utf-8") as f:
        csv.writer(f, lineterminator="\n").writerows([header, *rows])
    return path


def summary(report):
    """The counts of a JSON report, in the shape of MIX_REPORT."""
    return {
        "cells": report["cells"],
        "gtins": {k: v for k, v in report["gtins"].items() if not k.endswith("examples")},
        "refused": {k: v["count"] for k, v in report["refused"].items()},
        "scientific_notation": report["scientific_notation"]["count"],
        "cleaning": {k: v if isinstance(v, int) else v["count"] for k, v in report["cleaning"].items()},
        "encodings": report["encodings"],
        "allocations": {k: v["count"] for k, v in report["allocations"].items()},
        "flags": {k: v["count"] for k, v in report["flags"].items()},
        "key_collisions": {k: report["key_collisions"][k] for k in ("keys", "rows")},
        "duplicate_rows": report["duplicate_rows"],
    }


@pytest.mark.parametrize("chunk_rows", [1, 3, cli.CHUNK_ROWS])
def test_check_counts_every_kind_of_cell_across_chunks(tmp_path, tevora_cmd, monkeypatch, chunk_rows):
    monkeypatch.setattr(cli, "CHUNK_ROWS", chunk_rows)
    path = write_csv(tmp_path / "mix.csv", ["sku", "gtin"], [[f"S{i}", g] for i, g in enumerate(MIX)])
    status, out, _ = tevora_cmd("check", path, "--json")
    report = json.loads(out)
    assert status == 0 and summary(report) == MIX_REPORT
    assert report["refused"]["non_numeric"]["examples"] == [{"row": 6, "raw": "4.00638E+12"}, {"row": 7, "raw": "n/a"}]
    assert report["gtins"]["wrong_check_digit_examples"][0] == {
        "row": 3,
        "raw": "4006381333932",
        "expected_check_digit": 1,
    }
    assert [r["row"] for r in report["key_collisions"]["examples"][0]["rows"]] == [2, 3, 4, 5]


def test_check_text_report_is_aligned_and_shows_invisible_characters(tmp_path, tevora_cmd):
    path = write_csv(tmp_path / "mix.csv", ["gtin"], [[g] for g in MIX + ["4006\u00a0381333931"]])
    status, out, _ = tevora_cmd("check", path)
    assert status == 0
    assert '"4006\\u{a0}381333931"' in out
    assert "04006381333931 (row 2), 04006381333932 (row 3)" in out
    counted = [line for line in out.splitlines() if line.rstrip().endswith("%") or "%  " in line]
    assert len({line.index("%") for line in counted}) == 1, "percent column not aligned"


@pytest.mark.parametrize(
    "header, expected, found_by",
    [
        (["sku", "EAN13", "price"], "EAN13", "header"),
        (["id", "Bar code", "price"], "Bar code", "header"),
        (["productGTIN", "id", "price"], "productGTIN", "header"),
        (["mean_price", "code", "price"], "code", "content"),  # "mean" is no EAN
        (["ean", "ean_old", "price"], "ean_old", "header"),  # two names: the content decides
    ],
)
def test_finds_the_gtin_column(tmp_path, tevora_cmd, header, expected, found_by):
    junk = ["n/a", "1.5", "abc", "", "12"]
    rows = [
        [junk[i], g, "1.99"] if expected != header[0] else [g, junk[i], "1.99"]
        for i, g in enumerate(["4006381333931", "9781234567897", "12345670", "036000291452", "4006381333931"])
    ]
    path = write_csv(tmp_path / "t.csv", header, rows)
    report = json.loads(tevora_cmd("check", path, "--json")[1])
    assert (report["column"], report["found_by"]) == (expected, found_by)
    assert (
        json.loads(tevora_cmd("check", path, "--json", "--column", f" {expected.upper()} ")[1])["found_by"] == "option"
    )


# Input with {g} where the GTIN cell goes, then the encoding and the options.
DIALECTS = {
    "comma": ('sku,desc,gtin\nA,"oat, 1 l",{g}\nB,x,n/a\n', "utf-8", []),
    "semicolon crlf": ('sku;desc;gtin\r\nA;"a; b";{g}\r\nB;"say ""hi""";n/a\r\n', "utf-8", []),
    "tab": ("sku\tdesc\tgtin\nA\tx, y\t{g}\nB\tz\t\n", "utf-8", []),
    "pipe": ("sku|desc|gtin\nA|x, y|{g}\nB|z|-\n", "utf-8", []),
    "all quoted": ('"sku","desc","gtin"\n"A","x","{g}"\n"B","","n/a"\n', "utf-8", []),
    "bom": ("\ufeffsku,gtin\nA,{g}\n", "utf-8", []),
    "cp1252": ("sku,desc,gtin\nA,caf\u00e9 cr\u00e8me,{g}\n", "cp1252", ["--encoding", "cp1252"]),
    "quoted newline": ('sku,desc,gtin\nA,"two\nlines",{g}\nB,x, 4006381333931\n', "utf-8", []),
    "short row": ("sku,desc,gtin\nA,x,{g}\nB\n\nC,y,n/a\n", "utf-8", []),
}


@pytest.mark.parametrize("name", DIALECTS)
def test_clean_writes_back_the_same_dialect_changing_only_gtins(tmp_path, tevora_cmd, name):
    template, encoding, options = DIALECTS[name]
    source = tmp_path / ("in.tsv" if name == "tab" else "in.csv")
    source.write_bytes(template.format(g="4006-3813-33931.0").encode(encoding))
    expected = template.format(g="04006381333931").replace(" 4006381333931", "04006381333931")
    status, out, err = tevora_cmd("clean", source, "-o", tmp_path / "out.csv", *options)
    assert (status, err) == (0, "")
    assert (tmp_path / "out.csv").read_bytes() == expected.encode(encoding)
    assert sorted(p.name for p in tmp_path.iterdir()) == sorted([source.name, "out.csv"])  # no temporary left


def test_clean_of_the_catalogue_loses_nothing_and_explains_refusals(tmp_path, tevora_cmd):
    out = tmp_path / "clean.csv"
    status, _, _ = tevora_cmd("clean", CATALOGUE, "-o", out, "--key-column", "gtin_key", "--explain")
    assert status == 0
    with open(CATALOGUE, newline="", encoding="utf-8") as a, open(out, newline="", encoding="utf-8") as b:
        before, after = list(csv.reader(a)), list(csv.reader(b))
    assert after[0] == before[0] + ["gtin_key", "gtin_reason", "gtin_message"]
    assert len(after) == len(before) == 3001
    for old, new in zip(before[1:], after[1:]):
        assert new[:3] + new[4:5] == old[:3] + old[4:5]
        parsed = tevora.parse(old[3])
        if parsed.is_gtin:
            assert (new[3], new[5:]) == (parsed.gtin.value, [parsed.key().as_key_str(), "", ""])
        else:
            assert new[3:] == [old[3], old[4], "", parsed.reason, parsed.message]


def test_the_catalogue_has_every_kind_of_cell_and_its_generator_reproduces_it(tmp_path, tevora_cmd):
    subprocess.run([sys.executable, REPO / "examples" / "make_catalogue.py", tmp_path / "c.csv"], check=True)
    assert (tmp_path / "c.csv").read_bytes() == CATALOGUE.read_bytes()
    counts = summary(json.loads(tevora_cmd("check", CATALOGUE, "--json")[1]))
    assert counts["cells"] == 3000 and set(counts["refused"]) == {"empty", "non_numeric", "too_short", "too_long"}
    assert set(counts["encodings"]) == {"GTIN-8", "GTIN-12", "GTIN-13", "GTIN-14"}
    assert min(counts["cleaning"].values()) > 0 and min(counts["flags"].values()) > 0
    assert counts["scientific_notation"] > 0 and counts["key_collisions"]["keys"] > 0
    assert {"isbn", "issn", "ismn", "coupon", "restricted_circulation_region"} <= set(counts["allocations"])


def test_xlsx_keeps_cell_types(tmp_path, tevora_cmd):
    openpyxl = pytest.importorskip("openpyxl", reason="openpyxl is optional: .xlsx support needs it")
    book = openpyxl.Workbook()
    sheet = book.active
    when = datetime.datetime(2024, 5, 1, 12, 0)
    rows = [
        ["sku", "gtin", "when"],
        ["A", 4006381333931, when],
        ["B", 4006381333931.0, 3],
        ["C", " 4006-3813-33932", None],
        ["D", None, "x"],
        ["E", 4011, 2.5],
        ["F", "n/a", True],
    ]
    for row in rows:
        sheet.append(row)
    book.save(tmp_path / "in.xlsx")
    report = json.loads(tevora_cmd("check", tmp_path / "in.xlsx", "--json")[1])
    assert (report["cells"], report["gtins"]["total"], report["refused"]["empty"]["count"]) == (6, 3, 1)
    # A date is text to the column functions: refused, shown as the date it is.
    dated = json.loads(tevora_cmd("check", tmp_path / "in.xlsx", "--json", "--column", "when")[1])
    assert dated["refused"]["non_numeric"]["examples"][0] == {"row": 2, "raw": "2024-05-01 12:00:00"}
    assert tevora_cmd("clean", tmp_path / "in.xlsx", "-o", tmp_path / "out.xlsx", "--key-column", "key")[0] == 0
    written = list(openpyxl.load_workbook(tmp_path / "out.xlsx").active.iter_rows(values_only=True))
    assert written[0] == ("sku", "gtin", "when", "key")
    assert [r[1] for r in written[1:]] == ["04006381333931", "04006381333931", "04006381333932", None, 4011, "n/a"]
    assert [r[2] for r in written[1:]] == [when, 3, None, "x", 2.5, True]
    assert written[4][3] is None and written[3][3] == "04006381333930"


def undecodable(path):
    path.write_bytes(b"sku,gtin\nA,4006381333931\nB,caf\xe9\n")


# Setup, the arguments after the command, and what the one line must say.
BAD_INPUT = [
    ("check", None, ["{d}/missing.csv"], "missing.csv: no such file"),
    ("check", None, ["{d}"], "is a directory"),
    (
        "check",
        "catalogue",
        ["{d}/in.csv", "--column", "ean"],
        'no column "ean"; the columns are "sku", "description", "supplier", "gtin", "price"',
    ),
    (
        "check",
        undecodable,
        ["{d}/in.csv"],
        "line 3 is not valid UTF-8 (bytes 0xe9); name the file's encoding with --encoding",
    ),
    ("clean", undecodable, ["{d}/in.csv", "-o", "{d}/out.csv"], "line 3 is not valid UTF-8"),
    ("check", lambda p: p.write_bytes(b""), ["{d}/in.csv"], "in.csv: the file is empty"),
    ("clean", "catalogue", ["{d}/in.csv", "-o", "{d}/./in.csv"], "the output is the input file"),
    ("check", "catalogue", ["{d}/in.csv", "--encoding", "klingon"], "unknown encoding 'klingon'"),
    ("clean", "catalogue", ["{d}/in.csv", "-o", "{d}/out.csv", "--key-column", "price"], 'a column "price" already'),
    ("clean", "catalogue", ["{d}/in.csv", "-o", "{d}/no/out.csv"], "the directory"),
    (
        "check",
        lambda p: p.write_text("a,b\nx,1\n"),
        ["{d}/in.csv"],
        'no GTIN column found by header or content; name it with --column (the columns are "a", "b")',
    ),
    ("check", lambda p: p.write_text("\nx\n"), ["{d}/in.csv"], "the first line is blank"),
    ("check", None, ["{d}/old.xls"], ".xls workbooks are not read; save the sheet as .xlsx or CSV"),
]


@pytest.mark.parametrize("command, setup, args, message", BAD_INPUT)
def test_bad_input_gives_one_clear_line(tmp_path, tevora_cmd, command, setup, args, message):
    source = tmp_path / "in.csv"
    if setup == "catalogue":
        source.write_bytes(CATALOGUE.read_bytes())
    elif setup:
        setup(source)
    before = sorted(tmp_path.iterdir())
    status, out, err = tevora_cmd(command, *[a.format(d=tmp_path) for a in args])
    assert status == 1 and out == ""
    assert err.startswith("tevora: ") and err.count("\n") == 1 and message in err, err
    assert sorted(tmp_path.iterdir()) == before  # no output, not even a partial one


def test_xlsx_is_read_without_openpyxl(tmp_path, tevora_cmd, monkeypatch):
    openpyxl = pytest.importorskip("openpyxl", reason="openpyxl writes the workbook read here")
    book = openpyxl.Workbook()
    for row in [["sku", "gtin"], ["A", "4006381333931"], ["B", 12345670]]:
        book.active.append(row)
    book.save(tmp_path / "in.xlsx")
    monkeypatch.setitem(sys.modules, "openpyxl", None)
    status, out, err = tevora_cmd("check", tmp_path / "in.xlsx", "--json")
    assert (status, err) == (0, "") and json.loads(out)["gtins"]["total"] == 2


def test_damaged_xlsx(tmp_path, tevora_cmd):
    pytest.importorskip("openpyxl", reason="openpyxl is optional: .xlsx support needs it")
    (tmp_path / "in.xlsx").write_bytes(b"not a zip file")
    status, _, err = tevora_cmd("check", tmp_path / "in.xlsx")
    assert status == 1 and "not a readable .xlsx workbook" in err and err.count("\n") == 1


def test_python_m_tevora_fails_without_a_traceback(tmp_path):
    env = {**os.environ, "PYTHONPATH": str(pathlib.Path(tevora.__file__).parents[1])}
    run = subprocess.run(
        [sys.executable, "-m", "tevora", "check", tmp_path / "none.csv"], capture_output=True, text=True, env=env
    )
    assert (run.returncode, run.stdout, run.stderr) == (1, "", f"tevora: {tmp_path / 'none.csv'}: no such file\n")


def test_plain_progress_line_when_tqdm_is_absent(tmp_path, monkeypatch):
    class Terminal:
        written = ""

        def isatty(self):
            return True

        def write(self, text):
            self.written += text

        def flush(self):
            pass

    monkeypatch.setitem(sys.modules, "tqdm", None)
    monkeypatch.setattr(cli, "PROGRESS_DELAY", 0.0)
    monkeypatch.setattr(cli, "PROGRESS_EVERY", 0.0)
    table = tevora._tables.open_table(str(CATALOGUE), None)
    terminal = Terminal()
    progress = cli.Progress(table, terminal)
    table.check(3, Report(table.path, "gtin", "option"), progress.update)
    progress.close()
    table.close()
    assert terminal.written.startswith("\rtevora: catalogue.csv")
    assert terminal.written.endswith(" 100%\r\x1b[K")
