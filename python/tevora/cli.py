"""The `tevora` command: report on a file's GTIN column, or write it back clean.

    tevora check FILE [--column NAME] [--json]
    tevora clean FILE -o OUT [--column NAME] [--key-column NAME] [--explain]

FILE is CSV or TSV (the dialect is sniffed), or .xlsx when openpyxl is
installed; its first row names the columns. Rows stream through the column
functions in chunks, so memory stays flat whatever the file's size. Bad input
ends with one line on stderr and exit status 1.
"""

from __future__ import annotations

import argparse
import contextlib
import itertools
import json
import os
import pathlib
import re
import sys
import time
from typing import Any, Dict, Iterator, List, Optional, Sequence, Tuple

from . import __version__, key_strings, parse_many, store_form_many
from ._report import Report, _shown
from ._tables import CsvSink, CsvSource, InputError, XlsxSink, XlsxSource, open_table

CHUNK_ROWS = 1 << 16
# Rows read to find the GTIN column by its content.
DETECTION_ROWS = 1000
# A column qualifies by content when this share of its non-empty cells are GTINs
# with a valid check digit; 8- to 14-digit ids that are not GTINs manage about 10%.
DETECTION_SHARE = 0.3
HEADER_WORDS = {"gtin", "gtins", "ean", "eans", "upc", "upcs", "upca", "barcode", "barcodes", "jan"}
PROGRESS_DELAY = 1.0
PROGRESS_EVERY = 0.5


def main(argv: Optional[Sequence[str]] = None) -> int:
    # Cells and messages may hold characters the terminal's encoding lacks; show
    # them as escapes rather than fail.
    if hasattr(sys.stdout, "reconfigure"):
        sys.stdout.reconfigure(errors="backslashreplace")
    args = _parser().parse_args(argv)
    try:
        return int(args.run(args))
    except InputError as error:
        return _fail(str(error))
    except KeyboardInterrupt:
        return _fail("interrupted", 130)
    except BrokenPipeError:
        # The reader of our output went away (`tevora check big.csv | head`); say nothing more.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return 1


def _fail(message: str, status: int = 1) -> int:
    print(f"tevora: {message}", file=sys.stderr)
    return status


def _parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="tevora",
        description="Read the GTINs (EAN/UPC barcode numbers) of a CSV, TSV or .xlsx file.",
    )
    parser.add_argument("--version", action="version", version=f"tevora {__version__}")
    commands = parser.add_subparsers(dest="command", metavar="COMMAND", required=True)

    def common(command: argparse.ArgumentParser) -> None:
        command.add_argument(
            "file", type=pathlib.Path, metavar="FILE", help="CSV, TSV or .xlsx; the first row names the columns"
        )
        command.add_argument(
            "--column", metavar="NAME", help="the GTIN column (default: found by its header, else by its content)"
        )
        command.add_argument("--encoding", metavar="NAME", help="the text encoding of a CSV file (default: UTF-8)")

    check = commands.add_parser("check", help="report what the GTIN column holds")
    common(check)
    check.add_argument("--json", action="store_true", help="the same report as JSON")
    check.set_defaults(run=run_check)

    clean = commands.add_parser(
        "clean",
        help="write the file back with the GTIN column in store form",
        description="Writes FILE to OUT with every GTIN in the column replaced by its canonical "
        "fourteen digits; every other cell, and every cell that holds no GTIN, is written as it was.",
    )
    common(clean)
    clean.add_argument(
        "-o",
        "--output",
        type=pathlib.Path,
        required=True,
        metavar="OUT",
        help="where to write (.xlsx writes a workbook)",
    )
    clean.add_argument(
        "--key-column", metavar="NAME", help="add the check-digit-agnostic match key as a column of this name"
    )
    clean.add_argument(
        "--explain", action="store_true", help="add the reason and message of each refusal as two columns"
    )
    clean.set_defaults(run=run_clean)
    return parser


# ---- check -----------------------------------------------------------------------


@contextlib.contextmanager
def _column(args: argparse.Namespace) -> Iterator[Tuple[Any, int, str, Iterator[List[List[Any]]], "Progress"]]:
    """The table, its GTIN column (index, and how it was found) and its rows in chunks."""
    source = open_table(args.file, args.encoding)
    progress = Progress(source)
    try:
        chunks = _chunks(source.rows())
        first: List[List[Any]] = next(chunks, [])
        index, found_by = find_column(source, first[:DETECTION_ROWS], args.column)
        yield source, index, found_by, itertools.chain([first], chunks), progress
    finally:
        progress.close()
        source.close()


def run_check(args: argparse.Namespace) -> int:
    with _column(args) as (source, index, found_by, chunks, progress):
        report = Report(str(args.file), source.header[index], found_by)
        row = 2  # the header is row 1, as a spreadsheet numbers it
        for chunk in chunks:
            report.add(row, parse_many(column_cells(chunk, index, source.typed)))
            row += len(chunk)
            progress.update()
    if args.json:
        sys.stdout.write(json.dumps(report.as_dict(), indent=2, ensure_ascii=False) + "\n")
    else:
        sys.stdout.write(report.as_text())
    return 0


# ---- clean -----------------------------------------------------------------------


def run_clean(args: argparse.Namespace) -> int:
    out: pathlib.Path = args.output
    if _same_file(args.file, out):
        raise InputError(f"{out}: the output is the input file; write the cleaned copy to another path")
    with _column(args) as (source, index, _, chunks, progress):
        name = source.header[index]
        added = ([args.key_column] if args.key_column else []) + (
            [f"{name}_reason", f"{name}_message"] if args.explain else []
        )
        for new in added:
            if new in source.header:
                raise InputError(f"{args.file}: there is a column {_shown(new)} already; choose another name")
        if out.suffix.lower() == ".xlsx":
            sink: Any = XlsxSink(out, getattr(source, "sheet_title", "Sheet1"))
        elif isinstance(source, CsvSource):
            sink = CsvSink(out, source.format, source.encoding)
        else:
            sink = CsvSink(out, dict(lineterminator="\n"), "utf-8")
        cleaner = _Cleaner(
            index, source.typed, len(source.header_cells), args.key_column is not None, args.explain, sink
        )
        try:
            sink.write([source.header_cells + added])
            for chunk in chunks:
                sink.write(cleaner.clean(chunk))
                progress.update()
            sink.commit()
        except BaseException:
            sink.abort()
            raise
    print(
        f"{out}: {cleaner.rows:,} rows written; column {_shown(name)}: {cleaner.gtins:,} GTINs in store form "
        f"({cleaner.changed:,} rewritten), {cleaner.rows - cleaner.gtins:,} cells kept as they were"
    )
    return 0


class _Cleaner:
    """Rewrites rows in place: the column's GTINs in store form, then the added columns."""

    def __init__(self, index: int, typed: bool, width: int, key: bool, explain: bool, sink: Any) -> None:
        self.index, self.typed, self.width, self.key, self.explain, self.sink = index, typed, width, key, explain, sink
        self.blank = None if isinstance(sink, XlsxSink) else ""
        self.messages: Dict[str, str] = {}  # each in words the output's encoding can hold
        self.rows = self.gtins = self.changed = 0

    def clean(self, chunk: List[List[Any]]) -> List[List[Any]]:
        index, blank = self.index, self.blank
        cells = column_cells(chunk, index, self.typed)
        stores, keys = store_form_many(cells), key_strings(cells)
        explained = self._explain(cells, keys) if self.explain else {}
        for j, row in enumerate(chunk):
            if keys[j] is not None:
                self.gtins += 1
                self.changed += stores[j] != row[index]
                row[index] = stores[j]
            if (self.key or self.explain) and row:  # a blank line stays blank
                row.extend([blank] * (self.width - len(row)))
                if self.key:
                    row.append(keys[j] if keys[j] is not None else blank)
                if self.explain:
                    row.extend(explained.get(j, [blank, blank]))
        self.rows += len(chunk)
        return chunk

    def _explain(self, cells: List[Any], keys: List[Optional[str]]) -> Dict[int, List[Any]]:
        refused = [j for j, k in enumerate(keys) if k is None]
        explained = {}
        for j, p in zip(refused, parse_many([cells[j] for j in refused])):
            message = p.message or ""
            if message not in self.messages:
                fits = self.sink.can_encode(message)
                self.messages[message] = message if fits else message.replace("\u2014", "-")
            explained[j] = [p.reason, self.messages[message]]
        return explained


def _same_file(a: pathlib.Path, b: pathlib.Path) -> bool:
    try:
        return os.path.samefile(a, b)
    except OSError:
        return os.path.abspath(a) == os.path.abspath(b)


# ---- Columns ---------------------------------------------------------------------


def column_cells(chunk: List[List[Any]], index: int, typed: bool) -> List[Any]:
    """The column's cells as the column functions take them; a short row has an empty cell."""
    cells = [row[index] if index < len(row) else None for row in chunk]
    return [_typed_cell(c) for c in cells] if typed else cells


def _typed_cell(value: Any) -> Any:
    if value is None or isinstance(value, (str, int)):
        return value
    if isinstance(value, float):
        return None if value != value else value  # NaN is a missing value, not the text "NaN"
    return str(value)  # dates and the like: text, refused and left as they are


def find_column(source: "CsvSource | XlsxSource", sample: List[List[Any]], requested: Optional[str]) -> Tuple[int, str]:
    """The index of the GTIN column, and how it was found."""
    header = source.header
    if requested is not None:
        found = [i for i, name in enumerate(header) if name == requested]
        if not found:
            wanted = requested.strip().casefold()
            found = [i for i, name in enumerate(header) if name.strip().casefold() == wanted]
        if len(found) == 1:
            return found[0], "option"
        if found:
            positions = ", ".join(str(i + 1) for i in found)
            raise InputError(f"{source.path}: {len(found)} columns are named {_shown(requested)} (columns {positions})")
        raise InputError(f"{source.path}: no column {_shown(requested)}; the columns are {_listing(header)}")

    def score(index: int) -> Tuple[int, int]:
        parsed = parse_many(column_cells(sample, index, source.typed))
        valid = sum(1 for p in parsed if p.gtin is not None and p.gtin.check_digit_is_valid)
        return valid, sum(1 for p in parsed if p.reason != "empty")

    named = [i for i, name in enumerate(header) if _names_gtin(name)]
    if len(named) == 1:
        return named[0], "header"
    if named:
        return max(named, key=lambda i: (score(i)[0], -i)), "header"
    scores = {i: score(i) for i in range(len(header))}
    best = max(scores, key=lambda i: (scores[i][0], -i), default=None)
    if best is not None and scores[best][0] > 0 and scores[best][0] >= DETECTION_SHARE * scores[best][1]:
        return best, "content"
    raise InputError(
        f"{source.path}: no GTIN column found by header or content; name it with --column "
        f"(the columns are {_listing(header)})"
    )


def _names_gtin(name: str) -> bool:
    # "EAN13", "upc_a", "Bar code", "productGTIN": words split at case changes,
    # digits and punctuation; "bar code" is one word.
    words = [w.lower() for w in re.findall(r"[A-Z]+(?![a-z])|[A-Z]?[a-z]+", name)]
    return any(w in HEADER_WORDS for w in words) or any(a == "bar" and b == "code" for a, b in zip(words, words[1:]))


def _listing(header: List[str], limit: int = 30) -> str:
    names = ", ".join(_shown(name) for name in header[:limit])
    return names + (f", \u2026 ({len(header)} in all)" if len(header) > limit else "")


def _chunks(rows: Iterator[List[Any]]) -> Iterator[List[List[Any]]]:
    while True:
        chunk = list(itertools.islice(rows, CHUNK_ROWS))
        if not chunk:
            return
        yield chunk


# ---- Progress --------------------------------------------------------------------


class Progress:
    """A progress bar on stderr for work that takes more than a second, shown
    only to a person at a terminal: tqdm's when it is installed, else a line of
    percentages."""

    def __init__(self, source: "CsvSource | XlsxSource", stream: Any = None) -> None:
        self._source, self._stream = source, stream or sys.stderr
        self._on = self._stream.isatty() and source.total > 0
        self._start = self._shown = time.monotonic()
        self._written = False
        self._bar: Any = None
        if self._on:
            try:
                from tqdm import tqdm
            except ImportError:
                return
            self._bar = tqdm(
                total=source.total,
                unit=source.unit,
                unit_scale=True,
                delay=PROGRESS_DELAY,
                leave=False,
                file=self._stream,
                desc=source.path.name,
            )

    def update(self) -> None:
        if not self._on:
            return
        done = self._source.done()
        if self._bar is not None:
            self._bar.update(done - self._bar.n)
            return
        now = time.monotonic()
        if now - self._start >= PROGRESS_DELAY and now - self._shown >= PROGRESS_EVERY:
            self._shown, self._written = now, True
            share = min(100.0, 100 * done / self._source.total)
            self._stream.write(f"\rtevora: {self._source.path.name} {share:3.0f}%")
            self._stream.flush()

    def close(self) -> None:
        if self._bar is not None:
            self._bar.close()
        elif self._written:
            self._stream.write("\r\033[K")
            self._stream.flush()
