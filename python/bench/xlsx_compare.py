"""Reading a workbook's GTIN column: tevora's own reader against openpyxl's
read-only mode, and the command's peak memory on workbooks that claim more
than they hold.

    python3 python/bench/xlsx_compare.py [--rows N] [--repeats R] [--keep DIR]

The workbook is written as a spreadsheet writes one: texts in the shared
strings, codes as numbers or texts, prices, dates with a date format. Both
readers give the GTIN column's cells as the column functions take them
(dates as text); times are medians of R runs in this one process, and the
ratio is openpyxl's time over tevora's. Peak resident memory of `tevora
check` and `tevora clean` is measured with /usr/bin/time -v in a fresh
process each (getrusage where /usr/bin/time is missing).
"""

import argparse
import os
import pathlib
import random
import re
import resource
import shutil
import subprocess
import sys
import tempfile
import warnings
import zipfile

HERE = pathlib.Path(__file__).resolve().parent
PYTHON_DIR = HERE.parents[1] / "python"
sys.path.insert(0, str(PYTHON_DIR))
sys.path.insert(0, str(HERE))

from timing import median_seconds  # noqa: E402

from tevora import _xlsx  # noqa: E402

MAIN = "http://schemas.openxmlformats.org/spreadsheetml/2006/main"
RELS = (
    '<Relationships xmlns="http://schemas.openxmlformats.org/package/2006/relationships">'
    '<Relationship Id="rId1" Type="http://schemas.openxmlformats.org/officeDocument/2006/relationships/worksheet" '
    'Target="worksheets/sheet1.xml"/>'
    '<Relationship Id="rId2" Type="http://schemas.openxmlformats.org/officeDocument/2006/relationships/styles" '
    'Target="styles.xml"/>'
    '<Relationship Id="rId3" Type="http://schemas.openxmlformats.org/officeDocument/2006/relationships/sharedStrings" '
    'Target="sharedStrings.xml"/></Relationships>'
)
WORKBOOK = (
    f'<workbook xmlns="{MAIN}" xmlns:r="http://schemas.openxmlformats.org/officeDocument/2006/relationships">'
    '<sheets><sheet name="Products" sheetId="1" r:id="rId1"/></sheets></workbook>'
)
CONTENT_TYPES = (
    '<Types xmlns="http://schemas.openxmlformats.org/package/2006/content-types">'
    '<Default Extension="rels" ContentType="application/vnd.openxmlformats-package.relationships+xml"/>'
    '<Default Extension="xml" ContentType="application/xml"/>'
    '<Override PartName="/xl/workbook.xml" '
    'ContentType="application/vnd.openxmlformats-officedocument.spreadsheetml.sheet.main+xml"/>'
    '<Override PartName="/xl/worksheets/sheet1.xml" '
    'ContentType="application/vnd.openxmlformats-officedocument.spreadsheetml.worksheet+xml"/>'
    '<Override PartName="/xl/styles.xml" '
    'ContentType="application/vnd.openxmlformats-officedocument.spreadsheetml.styles+xml"/>'
    '<Override PartName="/xl/sharedStrings.xml" '
    'ContentType="application/vnd.openxmlformats-officedocument.spreadsheetml.sharedStrings+xml"/></Types>'
)
PACKAGE_RELS = (
    '<Relationships xmlns="http://schemas.openxmlformats.org/package/2006/relationships">'
    '<Relationship Id="rId1" Type="http://schemas.openxmlformats.org/officeDocument/2006/relationships/officeDocument" '
    'Target="xl/workbook.xml"/></Relationships>'
)
STYLES = f'<styleSheet xmlns="{MAIN}"><cellXfs count="2"><xf numFmtId="0"/><xf numFmtId="14"/></cellXfs></styleSheet>'


def gtin(rng):
    body = f"{rng.randrange(10**11, 10**12)}"
    digits = [int(d) for d in body]
    check = -sum(d * (3 if i % 2 else 1) for i, d in enumerate(digits)) % 10
    return body + str(check)


def write_workbook(path, rows, seed=2026, dimension=None):
    """A sheet of `rows` products: sku, description, gtin, price, date, quantity."""
    rng = random.Random(seed)
    strings = {}

    def shared(text):
        return strings.setdefault(text, len(strings))

    with zipfile.ZipFile(path, "w", zipfile.ZIP_DEFLATED) as z:
        z.writestr("[Content_Types].xml", CONTENT_TYPES)
        z.writestr("_rels/.rels", PACKAGE_RELS)
        z.writestr("xl/workbook.xml", WORKBOOK)
        z.writestr("xl/_rels/workbook.xml.rels", RELS)
        z.writestr("xl/styles.xml", STYLES)
        with z.open("xl/worksheets/sheet1.xml", "w", force_zip64=True) as sheet:
            declared = f'<dimension ref="{dimension or f"A1:F{rows + 1}"}"/>'
            head = "".join(
                f'<c r="{c}1" t="s"><v>{shared(n)}</v></c>'
                for c, n in zip("ABCDEF", ["sku", "description", "gtin", "price", "added", "quantity"])
            )
            sheet.write(f'<worksheet xmlns="{MAIN}">{declared}<sheetData><row r="1">{head}</row>'.encode())
            block = []
            for r in range(2, rows + 2):
                code = gtin(rng)
                kind = rng.random()
                if kind < 0.45:
                    g = f'<c r="C{r}"><v>{code}</v></c>'  # a code a spreadsheet made a number
                elif kind < 0.9:
                    g = f'<c r="C{r}" t="s"><v>{shared(code)}</v></c>'
                elif kind < 0.95:
                    g = f'<c r="C{r}"><v>{code[:6]}0000000</v></c>'  # digits lost to scientific notation
                else:
                    g = ""
                block.append(
                    f'<row r="{r}" spans="1:6"><c r="A{r}" t="s"><v>{shared(f"SKU-{r:07d}")}</v></c>'
                    f'<c r="B{r}" t="s"><v>{shared(f"Item {rng.randrange(5000)}")}</v></c>{g}'
                    f'<c r="D{r}"><v>{rng.randrange(100, 100000) / 100}</v></c>'
                    f'<c r="E{r}" s="1"><v>{45000 + rng.randrange(1000)}</v></c>'
                    f'<c r="F{r}"><v>{rng.randrange(1, 500)}</v></c></row>'
                )
                if len(block) >= 10000:
                    sheet.write("".join(block).encode())
                    block = []
            sheet.write(("".join(block) + "</sheetData></worksheet>").encode())
        items = sorted(strings, key=strings.get)
        z.writestr(
            "xl/sharedStrings.xml",
            f'<sst xmlns="{MAIN}" uniqueCount="{len(items)}">'
            + "".join(f"<si><t>{s}</t></si>" for s in items)
            + "</sst>",
        )


class Cells:
    """A report that keeps nothing: what is timed is reading the column."""

    tally = None

    def __init__(self):
        self.count = 0

    def add(self, first_row, cells, lost_digits=None):
        self.count += len(cells)


def read_tevora(path, index):
    table = _xlsx.open_table(str(path), None)
    try:
        report = Cells()
        table.check(index, report, lambda: None)
        return report.count
    finally:
        table.close()


def typed_cell(value):
    """How the command took openpyxl's values: dates and the like as text, NaN empty."""
    if value is None or isinstance(value, (str, int)):
        return value
    if isinstance(value, float):
        return None if value != value else value
    return str(value)


def read_openpyxl(path, index):
    import openpyxl

    with warnings.catch_warnings():
        warnings.simplefilter("ignore")  # the generated styles have no named default style
        book = openpyxl.load_workbook(path, read_only=True, data_only=True)
    try:
        rows = book.worksheets[0].iter_rows(values_only=True)
        next(rows)
        count = 0
        chunk = []
        for row in rows:
            chunk.append(typed_cell(row[index] if index < len(row) else None))
            if len(chunk) >= 1 << 16:
                count += len(chunk)
                chunk = []
        return count + len(chunk)
    finally:
        book.close()


def peak_rss(args):
    """Peak resident memory in MB of the command with these arguments, and its exit status."""
    env = dict(os.environ, PYTHONPATH=str(PYTHON_DIR))
    command = [sys.executable, "-m", "tevora", *map(str, args)]
    if shutil.which("time") and os.path.exists("/usr/bin/time"):
        run = subprocess.run(["/usr/bin/time", "-v", *command], env=env, capture_output=True, text=True)
        found = re.search(r"Maximum resident set size \(kbytes\): (\d+)", run.stderr)
        if found:
            return int(found.group(1)) / 1024, run.returncode
    before = resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss
    run = subprocess.run(command, env=env, capture_output=True)
    return max(before, resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss) / 1024, run.returncode


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--rows", type=int, default=200_000)
    parser.add_argument("--repeats", type=int, default=3)
    parser.add_argument("--keep", type=pathlib.Path, help="write the workbooks here and keep them")
    options = parser.parse_args()
    folder = options.keep or pathlib.Path(tempfile.mkdtemp(prefix="tevora-xlsx-"))
    folder.mkdir(parents=True, exist_ok=True)
    try:
        book = folder / "products.xlsx"
        write_workbook(book, options.rows)
        claims = {}
        for dimension in ("A1:XFD1048576", "A1:ALL70000"):
            claims[dimension] = folder / f"claims-{dimension.replace(':', '-')}.xlsx"
            write_workbook(claims[dimension], 20, dimension=dimension)
        print(f"{book.name}: {options.rows:,} rows, {book.stat().st_size / 1e6:.1f} MB; GTIN column C")
        assert read_tevora(book, 2) == read_openpyxl(book, 2) == options.rows
        ours = median_seconds(lambda: read_tevora(book, 2), options.repeats)
        theirs = median_seconds(lambda: read_openpyxl(book, 2), options.repeats)
        print(f"  read the column, openpyxl read-only   {theirs:7.2f} s")
        print(f"  read the column, tevora               {ours:7.2f} s   {theirs / ours:5.1f}x faster")
        print("Peak resident memory, MB (/usr/bin/time -v):")
        runs = [
            ("check", book, ["check", book, "--column", "gtin"]),
            ("clean to .xlsx", book, ["clean", book, "-o", folder / "out.xlsx", "--key-column", "key"]),
            *[("check", path, ["check", path, "--column", "gtin"]) for path in claims.values()],
        ]
        for what, path, args in runs:
            rss, status = peak_rss(args)
            print(f"  {what:<15} {path.name:<32} {rss:7.1f}   (exit {status})")
    finally:
        if options.keep is None:
            shutil.rmtree(folder)


if __name__ == "__main__":
    main()
