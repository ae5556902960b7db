"""The command's options people script with: --fail-on, --rows-csv, the column
choice said aloud, --help, the CSV dialect options and --trust-numbers."""

import csv
import json
import os

import pytest

from tevora import cli

# One wrong check digit, two refused cells that are not empty, one empty: 8 cells.
CELLS = ["4006381333931", "4006381333932", "n/a", "", "12345670", "9781234567897", "4011", "036000291452"]


@pytest.fixture
def tevora_cmd(capsys):
    def run(*args):
        try:
            status = cli.main([str(a) for a in args])
        except SystemExit as usage:
            status = usage.code
        out, err = capsys.readouterr()
        assert "Traceback" not in err
        return status, out, err

    return run


@pytest.fixture
def column(tmp_path):
    path = tmp_path / "in.csv"
    path.write_text("sku,gtin\n" + "".join(f"S{i},{c}\n" for i, c in enumerate(CELLS)))
    return path


# --fail-on, the exit status, and what the line on stderr says (none for 0).
FAIL_ON = [
    ("wrong-check-digit", 3, ["1 cells with a wrong check digit (12.50% of 8); --fail-on allows none"]),
    ("refused", 3, ["2 cells refused (no GTIN) (25.00% of 8)"]),  # the empty cell is not counted
    ("refused:25", 0, []),
    ("refused:24.9", 3, ["above the limit of 24.9%"]),
    ("wrong-check-digit:20,refused:10%", 3, ["2 cells refused"]),
    ("wrong-check-digit, refused", 3, ["wrong check digit", "refused"]),
    ("wrong-check-digit:50,refused:50", 0, []),
]


@pytest.mark.parametrize("limits, status, lines", FAIL_ON)
def test_fail_on(column, tevora_cmd, limits, status, lines):
    got, out, err = tevora_cmd("check", column, "--fail-on", limits, "--json")
    assert got == status and json.loads(out)["cells"] == 8  # the report is written either way
    assert err.count("\n") == len(lines)
    for line, fragment in zip(err.splitlines(), lines):
        assert line.startswith("tevora: ") and fragment in line


def test_rows_csv_has_a_row_for_each_problem_cell(column, tmp_path, tevora_cmd):
    status, out, err = tevora_cmd("check", column, "--rows-csv", tmp_path / "rows.csv")
    assert (status, err) == (0, "") and out.startswith(f"{column}: column")
    with open(tmp_path / "rows.csv", newline="", encoding="utf-8") as f:
        rows = list(csv.reader(f))
    assert rows[0] == ["row", "raw", "reason", "message", "flags"]
    by_row = {int(r[0]): r[1:] for r in rows[1:]}
    assert by_row[3][:2] == ["4006381333932", "wrong_check_digit"] and "1" in by_row[3][2]
    assert by_row[4][:2] == ["n/a", "non_numeric"] and by_row[4][2]
    assert by_row[7] == ["9781234567897", "flagged", "", "publication_or_coupon"]
    assert by_row[8][:2] == ["4011", "too_short"]
    assert not {2, 5, 6, 9} & set(by_row)  # valid GTINs and the empty cell are no problems
    assert sorted(by_row) == sorted(by_row, key=int)


# Headers, the cells under each, and the column the command takes.
TWO_CANDIDATES = [
    (["Pack GTIN", "EAN"], [["n/a", "4006381333931"], ["", "12345670"]], "EAN"),
    (["EAN", "Pack GTIN"], [["4006381333931", "4006381333931"], ["12345670", "12345670"]], "EAN"),
]


@pytest.mark.parametrize("header, rows, chosen", TWO_CANDIDATES)
def test_a_choice_between_columns_is_said_aloud(tmp_path, tevora_cmd, header, rows, chosen):
    path = tmp_path / "in.csv"
    path.write_text("\n".join(",".join(r) for r in [header, *rows]) + "\n")
    status, out, err = tevora_cmd("check", path, "--json")
    assert status == 0 and json.loads(out)["column"] == chosen
    assert err.count("\n") == 1 and err.startswith("tevora: 2 ")
    assert '"Pack GTIN", "EAN"' in err or '"EAN", "Pack GTIN"' in err
    assert f'using "{chosen}"' in err and "--column" in err
    assert tevora_cmd("check", path, "--column", chosen)[2] == ""  # named: nothing to say


def test_one_candidate_is_taken_silently(column, tevora_cmd):
    assert tevora_cmd("check", column)[2] == ""


@pytest.mark.parametrize("command", ["check", "clean"])
def test_help_has_a_description_and_examples(tevora_cmd, command):
    status, out, _ = tevora_cmd(command, "--help")
    assert status == 0
    assert f"  tevora {command} " in out.split("examples:", 1)[1]  # examples, laid out as written
    assert "stdin" in out and ("--fail-on" in out if command == "check" else "--key-column" in out)


# The file, the options, and the cells the report must find in its GTIN column.
DIALECT_OPTIONS = [
    ("sku:gtin\nA:4006381333931\nB:12345670\n", ["--delimiter", ":"], 2),
    ("sku\tgtin\nA\t4006381333931\n", ["--delimiter", "\\t"], 1),
    ("sku,gtin\n'A, B',4006381333931\n'C',12345670\n", ["--quote", "'"], 2),
]


@pytest.mark.parametrize("text, options, gtins", DIALECT_OPTIONS)
def test_dialect_options_reach_the_table(tmp_path, tevora_cmd, text, options, gtins):
    path = tmp_path / "in.txt"
    path.write_text(text)
    status, out, err = tevora_cmd("check", path, "--json", "--column", "gtin", *options)
    assert (status, err) == (0, "")
    assert json.loads(out)["gtins"]["total"] == gtins


def test_clean_keeps_the_dialect_the_options_name(tmp_path, tevora_cmd):
    (tmp_path / "in.csv").write_bytes(b"sku;gtin\r\n'A; B';4006-3813-33931\r\n")
    status, _, _ = tevora_cmd("clean", tmp_path / "in.csv", "-o", tmp_path / "out.csv", "--quote", "'")
    assert status == 0
    assert (tmp_path / "out.csv").read_bytes() == b"sku;gtin\r\n'A; B';04006381333931\r\n"


def test_cross_format_output_nobody_writes_is_refused(column, tmp_path, tevora_cmd):
    status, _, err = tevora_cmd("clean", column, "-o", tmp_path / "out.arrow")
    assert status == 1 and err.count("\n") == 1 and "out.arrow" in err
    assert sorted(os.listdir(tmp_path)) == ["in.csv"]


def test_trust_numbers_rewrites_numbers_that_probably_lost_digits(tmp_path, tevora_cmd):
    openpyxl = pytest.importorskip("openpyxl", reason="openpyxl is optional: .xlsx support needs it")
    book = openpyxl.Workbook()
    for row in [["sku", "gtin"], ["A", 5052940000000], ["B", 4006381333931]]:
        book.active.append(row)
    book.save(tmp_path / "in.xlsx")
    written = {}
    for options in ([], ["--trust-numbers"]):
        out = tmp_path / f"out{len(options)}.xlsx"
        status, summary, _ = tevora_cmd("clean", tmp_path / "in.xlsx", "-o", out, *options)
        assert status == 0
        written[len(options)] = [r[1] for r in openpyxl.load_workbook(out).active.iter_rows(values_only=True)]
        if not options:
            assert "--trust-numbers" in summary
    assert written[0] == ["gtin", 5052940000000, "04006381333931"]
    assert written[1] == ["gtin", "05052940000000", "04006381333931"]


@pytest.mark.parametrize("where", ["cell", "key column"])
def test_a_control_character_reaches_a_workbook_or_one_line(tmp_path, tevora_cmd, where):
    openpyxl = pytest.importorskip("openpyxl", reason="openpyxl reads the workbook back")
    (tmp_path / "in.csv").write_text("sku,gtin,desc\nA,4006381333931,a\x01b\n")
    key = "k\x02" if where == "key column" else "key"
    status, _, err = tevora_cmd("clean", tmp_path / "in.csv", "-o", tmp_path / "out.xlsx", "--key-column", key)
    if status:  # refused: one line, no file
        assert status == 1 and err.count("\n") == 1 and not (tmp_path / "out.xlsx").exists()
        return
    header, row = openpyxl.load_workbook(tmp_path / "out.xlsx").active.iter_rows(values_only=True)
    # Written with the format's own escape, which openpyxl leaves as it is.
    assert (header[3], row[2]) == (key.replace("\x02", "_x0002_"), "a_x0001_b")


def test_a_path_with_a_newline_and_a_stray_byte_is_shown_on_one_line(tmp_path, tevora_cmd):
    name = os.fsdecode(b"new\nline\xff.csv")
    (tmp_path / name).write_text("sku,gtin\nA,4006381333931\n")
    status, out, _ = tevora_cmd("check", tmp_path / name)
    assert status == 0 and out.startswith(f"{tmp_path}/new\\nline\\xff.csv: column")
    status, out, _ = tevora_cmd("clean", tmp_path / name, "-o", tmp_path / ("out" + name))
    assert (
        status == 0
        and out.count("\n") == 1
        and '/outnew\\nline\\xff.csv: 1 row written; column "gtin": 1 GTIN in store form' in out
    )
