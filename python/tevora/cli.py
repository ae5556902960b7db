"""The `tevora` command: report on a file's GTIN column, or write it back clean.

    tevora check FILE [--column NAME] [--json] [--fail-on KINDS] [--rows-csv OUT]
    tevora clean FILE -o OUT [--column NAME] [--key-column NAME] [--explain]

FILE is CSV or TSV, an .xlsx workbook, a Parquet or an Arrow file, or - for
stdin; its first row (or schema) names the columns. Each format is a `Table`
(see `_tables`); this module chooses the column, runs the table's pass and
says how it went. Bad input ends with one line on stderr and exit status 1.
"""

from __future__ import annotations

import argparse
import codecs
import contextlib
import csv
import io
import json
import os
import re
import signal
import sys
import time
from typing import Any, Dict, Iterator, List, Optional, Sequence, TextIO, Tuple

from . import __version__, parse_many
from ._output import Interrupted, Output, describe, stopped
from ._report import Report, _count, _shown
from ._tables import (
    CleanOptions,
    InputError,
    Table,
    open_table,
    output_format,
    shown_path,
    refuse_output,
)

# Kept for callers that set it; the format modules choose their own chunks.
CHUNK_ROWS = 1 << 16
# Rows read to find the GTIN column by its content.
DETECTION_ROWS = 1000
# A column qualifies by content when this share of its non-empty cells are GTINs
# with a valid check digit; 8- to 14-digit ids that are not GTINs manage about 10%.
DETECTION_SHARE = 0.3
HEADER_WORDS = {"gtin", "gtins", "ean", "eans", "upc", "upcs", "upca", "barcode", "barcodes", "jan"}
PROGRESS_DELAY = 1.0
PROGRESS_EVERY = 0.5
EXIT_FAILED_CHECK = 3
# Signals that end a run as Ctrl-C does: whatever was being written is removed.
STOP_SIGNALS = tuple(getattr(signal, name) for name in ("SIGINT", "SIGTERM", "SIGHUP") if hasattr(signal, name))
# Codecs that have text on both sides but are no file's encoding.
NOT_FILE_ENCODINGS = {"undefined", "punycode", "idna", "unicode-escape", "raw-unicode-escape"}
FAIL_ON_KINDS = ("wrong-check-digit", "refused")
PROBLEM_FIELDS = ("row", "raw", "reason", "message", "flags")


def main(argv: Optional[Sequence[str]] = None) -> int:
    # Cells and messages may hold characters the terminal's encoding lacks; show
    # them as escapes rather than fail.
    for stream in (sys.stdout, sys.stderr):
        if hasattr(stream, "reconfigure"):
            stream.reconfigure(errors="backslashreplace")
    args = _parser().parse_args(argv)
    with _stop_signals():
        try:
            status = int(args.run(args))
            if stopped:  # a stop whose exception was lost, after the output was complete
                raise Interrupted(stopped[0])
            return status
        except Interrupted as stop:
            return _fail(f"interrupted by {signal.Signals(stop.signum).name}", 128 + stop.signum)
        except KeyboardInterrupt:
            return _fail("interrupted by SIGINT", 128 + signal.SIGINT)
        except BrokenPipeError:
            # The reader of our output went away (`tevora check big.csv | head`); say nothing more.
            _silence_stdout()
            return 1
        except InputError as error:
            return _fail(str(error))
        except MemoryError as error:
            row = getattr(error, "row", None)
            return _fail("out of memory" + (f" at row {row:,}" if row else ""))
        except OSError as error:
            # Writes name their destination; an error without a name is the input's.
            name = error.filename if isinstance(error.filename, str) else getattr(args, "file_shown", None)
            return _fail(f"{shown_path(name)}: {describe(error)}" if name else describe(error))
        except UnicodeError as error:
            return _fail(f"{getattr(args, 'file_shown', 'stdin')}: {error}")
        except csv.Error as error:
            return _fail(f"{getattr(args, 'file_shown', 'stdin')}: not readable as CSV: {error}")
        except Exception as error:  # a fault of ours: still one line, and where to report it
            return _fail(f"unexpected {type(error).__name__}: {_one_line(str(error))} (please report this)")


def _fail(message: str, status: int = 1) -> int:
    if sys.stderr is None:
        return status
    try:
        sys.stderr.write(f"tevora: {_one_line(message)}\n")
        sys.stderr.flush()
    except OSError:
        pass
    return status


def _one_line(text: str) -> str:
    return text.replace("\r", "\\r").replace("\n", "\\n")


def _silence_stdout() -> None:
    """Points stdout at /dev/null, so that the interpreter's last flush of a
    stream that failed (a closed pipe, a full disk) says nothing."""
    try:
        null = os.open(os.devnull, os.O_WRONLY)
        os.dup2(null, sys.stdout.fileno())
        os.close(null)
    except (OSError, ValueError):
        pass


@contextlib.contextmanager
def _stop_signals() -> Iterator[None]:
    def stop(signum: int, frame: Any) -> None:
        # Remembered too: an exception raised where Python ignores it (a
        # finaliser) must still keep `commit` from putting the output in place.
        stopped.append(signum)
        raise Interrupted(signum)

    previous: Dict[int, Any] = {}
    try:
        for number in STOP_SIGNALS:
            # A signal ignored by whoever started us (nohup) stays ignored.
            if signal.getsignal(number) is not signal.SIG_IGN:
                previous[number] = signal.signal(number, stop)
    except ValueError:  # not the main thread: signals stay as they are
        pass
    try:
        yield
    finally:
        for number, handler in previous.items():
            signal.signal(number, handler)
        stopped.clear()


def _write(stream: Optional[TextIO], text: str, name: str) -> None:
    """Writes to stdout or stderr; a full disk or a dead device is one line."""
    if stream is None:  # started with the descriptor closed
        raise InputError(f"{name} is closed; nothing can be written to it")
    try:
        stream.write(text)
        stream.flush()
    except BrokenPipeError:
        raise
    except OSError as error:
        _silence_stdout()
        raise InputError(f"{name}: cannot write: {describe(error)}") from None


# ---- Arguments -------------------------------------------------------------------

CHECK_EXAMPLES = """\
examples:
  tevora check products.csv
  tevora check products.xlsx --column "Pack GTIN"
  tevora check products.csv --json > report.json
  tevora check products.csv --fail-on wrong-check-digit,refused:5
  tevora check products.csv --rows-csv problems.csv
  some-export | tevora check -

exit status: 0 the report was written; 1 the file could not be read;
2 the arguments were wrong; 3 --fail-on found such cells.
"""

CLEAN_EXAMPLES = """\
examples:
  tevora clean products.csv -o products.clean.csv
  tevora clean products.csv -o products.clean.csv --key-column gtin_key --explain
  tevora clean products.xlsx -o products.clean.xlsx
  tevora clean products.parquet -o products.clean.parquet
  some-export | tevora clean - -o - > clean.csv

A CSV or TSV file keeps every byte but the GTIN cells (delimiter, quoting,
line endings, encoding); a workbook keeps every sheet, formula and style.
OUT is written beside its place and moved there when complete; on any
failure, or Ctrl-C, nothing is left behind.
"""


class _Parser(argparse.ArgumentParser):
    """Usage errors on one line too, exit status 2."""

    def error(self, message: str) -> Any:
        self.exit(2, f"tevora: {_one_line(message)} (see {self.prog} --help)\n")


def _parser() -> argparse.ArgumentParser:
    parser = _Parser(
        prog="tevora",
        description="Read the GTINs (EAN/UPC barcode numbers) of a CSV, TSV, .xlsx, Parquet or Arrow file.",
        epilog="examples:\n  tevora check products.csv\n  tevora clean products.csv -o clean.csv\n\n"
        "tevora COMMAND --help describes each command.",
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    parser.add_argument("--version", action="version", version=f"tevora {__version__}")
    commands = parser.add_subparsers(dest="command", metavar="COMMAND", required=True, parser_class=_Parser)

    def common(command: argparse.ArgumentParser) -> None:
        command.add_argument(
            "file",
            metavar="FILE",
            help="CSV, TSV, .xlsx, .parquet or .arrow/.feather, or - for stdin (read as CSV); "
            "the first row names the columns",
        )
        command.add_argument(
            "--column", metavar="NAME", help="the GTIN column (default: found by its header, else by its content)"
        )
        command.add_argument(
            "--encoding", metavar="NAME", help="the text encoding of a CSV file (default: from its BOM, else UTF-8)"
        )
        command.add_argument(
            "--delimiter",
            metavar="CHAR",
            help="the CSV field delimiter (default: told from the header line); \\t is tab",
        )
        command.add_argument("--quote", metavar="CHAR", help='the CSV quote character (default: ")')

    check = commands.add_parser(
        "check",
        help="report what the GTIN column holds",
        description="Reports what the GTIN column holds: valid GTINs and wrong check digits, refusals by "
        "reason, what had to be cleaned, encodings, allocations, heuristic flags and match-key collisions. "
        "Rows are numbered as a spreadsheet shows them, the header being row 1.",
        epilog=CHECK_EXAMPLES,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    common(check)
    check.add_argument("--json", action="store_true", help="the same report as JSON")
    check.add_argument(
        "--fail-on",
        metavar="KINDS",
        type=_fail_on,
        help="exit with status 3 when the column holds cells of these kinds: wrong-check-digit, refused "
        "(non-empty cells that are no GTIN), comma-separated; KIND:PCT only when above PCT percent of the cells",
    )
    check.add_argument(
        "--rows-csv",
        metavar="OUT",
        help="also write one CSV row per problem cell: row, raw, reason, message, flags",
    )
    check.set_defaults(run=run_check)

    clean = commands.add_parser(
        "clean",
        help="write the file back with the GTIN column in store form",
        description="Writes FILE to OUT with every GTIN in the column replaced by its canonical "
        "fourteen digits; every other cell, and every cell that holds no GTIN, is written as it was.",
        epilog=CLEAN_EXAMPLES,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    common(clean)
    clean.add_argument(
        "-o",
        "--output",
        required=True,
        metavar="OUT",
        help="where to write, - for stdout; its suffix chooses the format (.csv, .tsv, .xlsx, .parquet, .arrow)",
    )
    clean.add_argument(
        "--key-column", metavar="NAME", help="add the check-digit-agnostic match key as a column of this name"
    )
    clean.add_argument(
        "--explain", action="store_true", help="add the reason and message of each refusal as two columns"
    )
    clean.add_argument(
        "--trust-numbers",
        action="store_true",
        help="workbooks: rewrite numeric cells that probably lost digits in scientific notation too",
    )
    clean.set_defaults(run=run_clean)
    return parser


def _fail_on(text: str) -> Dict[str, float]:
    """ "wrong-check-digit,refused:5" -> {kind: percent}; percent 0 means any cell."""
    limits: Dict[str, float] = {}
    for item in text.split(","):
        kind, _, share = item.strip().partition(":")
        if kind not in FAIL_ON_KINDS:
            raise argparse.ArgumentTypeError(
                f"unknown kind {kind!r}; choose from {', '.join(FAIL_ON_KINDS)}, as KIND or KIND:PERCENT"
            )
        if kind in limits:
            raise argparse.ArgumentTypeError(f"{kind} given twice")
        percent = 0.0
        if _:
            try:
                percent = float(share.rstrip("%"))
            except ValueError:
                percent = -1.0
            if not 0 <= percent < 100 or share.strip().lower() in ("nan", "inf"):
                raise argparse.ArgumentTypeError(f"{item.strip()!r}: the percentage must be a number from 0 to 100")
        limits[kind] = percent
    return limits


def _encoding(name: Optional[str]) -> Optional[str]:
    if name is None:
        return None
    try:
        info = codecs.lookup(name)
    except (LookupError, ValueError):
        raise InputError(f"unknown encoding {name!r}") from None
    if not getattr(info, "_is_text_encoding", True) or info.name in NOT_FILE_ENCODINGS:
        raise InputError(f"{name!r} is not a text encoding; name one such as utf-8, cp1252 or latin-1")
    return name


def _character(name: str, value: Optional[str]) -> Optional[str]:
    if value is None:
        return None
    value = {"\\t": "\t", "tab": "\t", "TAB": "\t"}.get(value, value)
    if len(value) != 1 or value in "\r\n":
        raise InputError(f"--{name} takes one character (\\t for a tab), not {value!r}")
    return value


def _format_options(args: argparse.Namespace) -> Dict[str, str]:
    options = {}
    for name in ("delimiter", "quote"):
        value = _character(name, getattr(args, name))
        if value is not None:
            options[name] = value
    if "delimiter" in options and options["delimiter"] == options.get("quote", '"'):
        raise InputError("--delimiter and --quote must be different characters")
    return options


@contextlib.contextmanager
def _table(args: argparse.Namespace) -> Iterator[Tuple[Table, int, str]]:
    """The table, its GTIN column's index and how the column was found."""
    args.file_shown = shown_path(args.file)
    encoding = _encoding(args.encoding)
    options = _format_options(args)
    table = open_table(args.file, encoding, **options)
    try:
        index, found_by = find_column(table, args.column)
        yield table, index, found_by
    finally:
        table.close()


# ---- check -----------------------------------------------------------------------


def run_check(args: argparse.Namespace) -> int:
    args.file_shown = shown_path(args.file)
    if args.rows_csv == "-":
        raise InputError("--rows-csv: the report goes to stdout; name a file for the rows")
    rows_out = Output(args.rows_csv, args.file) if args.rows_csv is not None else None
    with _table(args) as (table, index, found_by), contextlib.ExitStack() as stack:
        report = Report(table.path, table.header[index], found_by, problems=rows_out is not None)
        target: Any = report
        if rows_out is not None:
            stack.enter_context(rows_out)
            target = ProblemRows(report, rows_out.open())
        progress = stack.enter_context(contextlib.closing(Progress(table)))
        table.check(index, target, progress.update)
        if rows_out is not None:
            target.close()
            rows_out.commit()
    if args.json:
        _write(sys.stdout, json.dumps(report.as_dict(), indent=2, ensure_ascii=False) + "\n", "stdout")
    else:
        _write(sys.stdout, report.as_text(), "stdout")
    failed = failed_checks(report, args.fail_on or {})
    for line in failed:
        _fail(line)
    return EXIT_FAILED_CHECK if failed else 0


def failed_checks(report: Report, limits: Dict[str, float]) -> List[str]:
    """One line for each --fail-on kind the column holds more of than allowed."""
    counts = {"wrong-check-digit": report.gtins - report.valid, "refused": report.refused_count}
    words = {"wrong-check-digit": "with a wrong check digit", "refused": "refused (no GTIN)"}
    failed = []
    for kind, percent in limits.items():
        count = counts[kind]
        share = 100 * count / report.cells if report.cells else 0.0
        if count and share > percent:
            limit = f"above the limit of {percent:g}%" if percent else "--fail-on allows none"
            failed.append(f"{count:,} cells {words[kind]} ({share:.2f}% of {report.cells:,}); {limit}")
    return failed


class ProblemRows:
    """The report, writing each problem cell its tally keeps as a CSV row.

    A table that scans natively hands over the cells after each chunk
    (`problem_rows`); one that adds cells to the report has them drained
    after each `add`."""

    def __init__(self, report: Report, out: Any) -> None:
        self.report = report
        self._text = io.TextIOWrapper(out, encoding="utf-8", newline="", errors="surrogateescape")
        self._writer = csv.writer(self._text, lineterminator="\n")
        self._writer.writerow(PROBLEM_FIELDS)

    def __getattr__(self, name: str) -> Any:
        return getattr(self.report, name)

    def problem_rows(self, rows: Sequence[Tuple[int, str, str, str, str]]) -> None:
        self._writer.writerows(rows)

    def add(self, first_row: int, cells: Sequence[Any], lost_digits: Optional[Sequence[int]] = None) -> None:
        self.report.add(first_row, cells, lost_digits)
        self.problem_rows(self.report.take_problems())

    def add_arrow(self, first_row: int, column: Any) -> None:
        self.report.add_arrow(first_row, column)
        self.problem_rows(self.report.take_problems())

    def close(self) -> None:
        self.problem_rows(self.report.take_problems())
        self._text.flush()
        self._text.detach()


# ---- clean -----------------------------------------------------------------------


def run_clean(args: argparse.Namespace) -> int:
    args.file_shown = shown_path(args.file)
    # Everything that can be refused from the arguments alone is, before the input is read.
    out_format = output_format(args.output, args.file)
    if args.output == "" or args.output is None:
        raise InputError("the output path is empty; name a file, or - for stdout")
    with _table(args) as (table, index, _):
        refuse_output(table, args.file, args.output, out_format)
        if args.output == "-" and out_format != "csv" and _is_terminal(sys.stdout):
            raise InputError(
                f"stdout is a terminal: redirect it to a file for {out_format} output, or name one with -o"
            )
        name = table.header[index]
        added = ([args.key_column] if args.key_column is not None else []) + (
            [f"{name}_reason", f"{name}_message"] if args.explain else []
        )
        _check_added(table, added, out_format, args)
        options = CleanOptions(
            key_column=args.key_column,
            explain=args.explain,
            added=added,
            trust_numbers=args.trust_numbers,
            output_format=out_format,
        )
        with Output(args.output, args.file) as output, contextlib.closing(Progress(table)) as progress:
            stream = output.open()
            to_stdout = output.in_place and _is_stdout(stream)
            result = table.clean(index, stream, options, progress.update)
            output.commit()
    summary = (
        f"{output.shown}: {_count(result.rows, 'row')} written; column {_shown(name)}: "
        f"{_count(result.gtins, 'GTIN')} in store form ({result.changed:,} rewritten), "
        f"{_count(result.rows - result.gtins, 'cell')} kept as {'it was' if result.rows - result.gtins == 1 else 'they were'}"
    )
    notes = list(result.notes)
    if result.ragged:
        rows = "1 row is" if result.ragged == 1 else f"{result.ragged:,} rows are"
        notes.append(f"{rows} longer than the header; the added columns follow the longest")
    if result.stray_quotes:
        cells = "1 cell holds" if result.stray_quotes == 1 else f"{result.stray_quotes:,} cells hold"
        kept = "it was" if result.stray_quotes == 1 else "they were"
        notes.append(f"{cells} a quote inside an unquoted field, kept as {kept}")
    if result.lost_digits:
        notes.append(
            f"{result.lost_digits:,} numbers probably lost digits in scientific notation and were kept "
            "(--trust-numbers rewrites them)"
        )
    text = "\n".join([summary] + [f"  {note}" for note in notes]) + "\n"
    if to_stdout:
        _write(sys.stderr, text, "stderr")
    else:
        _write(sys.stdout, text, "stdout")
    return 0


def _check_added(table: Table, added: List[str], out_format: str, args: argparse.Namespace) -> None:
    """Refuses added column names that clash, or that the output cannot hold."""
    seen = set(table.header)
    for new in added:
        if new == "":
            raise InputError("--key-column needs a name")
        if new in table.header:
            raise InputError(f"{table.path}: there is a column {_shown(new)} already; choose another name")
        if new in seen:
            raise InputError(f"the added column {_shown(new)} would be there twice (--key-column and --explain)")
        seen.add(new)
    encoding = getattr(table, "encoding", None) or args.encoding
    if out_format == "csv" and encoding:
        for new in added:
            try:
                new.encode(encoding)
            except UnicodeEncodeError:
                raise InputError(
                    f"the column name {_shown(new)} cannot be written in the file's encoding {encoding}"
                ) from None


def _is_terminal(stream: Any) -> bool:
    try:
        return bool(stream.isatty())
    except (AttributeError, ValueError, OSError):
        return False


def _is_stdout(stream: Any) -> bool:
    try:
        return os.path.samestat(os.fstat(stream.fileno()), os.fstat(sys.stdout.fileno()))
    except (OSError, ValueError, AttributeError):
        return False


# ---- Columns ---------------------------------------------------------------------


def find_column(table: Table, requested: Optional[str]) -> Tuple[int, str]:
    """The index of the GTIN column, and how it was found; when more than one
    column could be it, says on stderr which was taken."""
    header = table.header
    if requested is not None:
        found = [i for i, name in enumerate(header) if name == requested]
        if not found:
            wanted = requested.strip().casefold()
            found = [i for i, name in enumerate(header) if name.strip().casefold() == wanted]
        if len(found) == 1:
            return found[0], "option"
        if found:
            positions = ", ".join(str(i + 1) for i in found)
            raise InputError(f"{table.path}: {len(found)} columns are named {_shown(requested)} (columns {positions})")
        raise InputError(f"{table.path}: no column {_shown(requested)}; the columns are {_listing(header)}")

    sample = table.sample(DETECTION_ROWS)
    scores: Dict[int, Tuple[int, int]] = {}

    def score(index: int) -> Tuple[int, int]:
        if index not in scores:
            parsed = parse_many([row[index] if index < len(row) else None for row in sample])
            valid = sum(1 for p in parsed if p.gtin is not None and p.gtin.check_digit_is_valid)
            scores[index] = (valid, sum(1 for p in parsed if p.reason != "empty"))
        return scores[index]

    named = [i for i, name in enumerate(header) if _names_gtin(name)]
    if named:
        best = max(named, key=lambda i: (score(i)[0], -i))
        _announce(table, named, best, "headers name")
        return best, "header"
    qualifying = [i for i in range(len(header)) if score(i)[0] > 0 and score(i)[0] >= DETECTION_SHARE * score(i)[1]]
    if qualifying:
        best = max(qualifying, key=lambda i: (score(i)[0], -i))
        _announce(table, qualifying, best, "columns hold")
        return best, "content"
    raise InputError(
        f"{table.path}: no GTIN column found by header or content; name it with --column "
        f"(the columns are {_listing(table.header)})"
    )


def _announce(table: Table, candidates: List[int], chosen: int, how: str) -> None:
    if len(candidates) < 2:
        return
    names = ", ".join(_shown(table.header[i]) for i in candidates)
    _write(
        sys.stderr,
        f"tevora: {len(candidates)} {how} GTINs ({names}); using {_shown(table.header[chosen])}, "
        f"which has the most valid GTINs in the first rows; name another with --column\n",
        "stderr",
    )


def _names_gtin(name: str) -> bool:
    # "EAN13", "upc_a", "Bar code", "productGTIN": words split at case changes,
    # digits and punctuation; "bar code" is one word.
    words = [w.lower() for w in re.findall(r"[A-Z]+(?![a-z])|[A-Z]?[a-z]+", name)]
    return any(w in HEADER_WORDS for w in words) or any(a == "bar" and b == "code" for a, b in zip(words, words[1:]))


def _listing(header: List[str], limit: int = 30) -> str:
    names = ", ".join(_shown(name) for name in header[:limit])
    return names + (f", \u2026 ({len(header)} in all)" if len(header) > limit else "")


# ---- Progress --------------------------------------------------------------------


class Progress:
    """A progress bar on stderr for work that takes more than a second, shown
    only to a person at a terminal: tqdm's when it is installed, else a line of
    percentages."""

    def __init__(self, table: Table, stream: Any = None) -> None:
        self._table, self._stream = table, stream or sys.stderr
        self._name = os.path.basename(table.path) or table.path
        try:
            self._on = bool(self._stream.isatty()) and table.total > 0
        except (OSError, ValueError):
            self._on = False
        self._start = self._shown = time.monotonic()
        self._written = False
        self._bar: Any = None
        if self._on:
            try:
                from tqdm import tqdm
            except ImportError:
                return
            self._bar = tqdm(
                total=table.total,
                unit=table.unit,
                unit_scale=True,
                delay=PROGRESS_DELAY,
                leave=False,
                file=self._stream,
                desc=self._name,
            )

    def update(self) -> None:
        if not self._on:
            return
        done = self._table.done()
        if self._bar is not None:
            self._bar.update(done - self._bar.n)
            return
        now = time.monotonic()
        if now - self._start >= PROGRESS_DELAY and now - self._shown >= PROGRESS_EVERY:
            self._shown, self._written = now, True
            share = min(100.0, 100 * done / self._table.total)
            self._stream.write(f"\rtevora: {self._name} {share:3.0f}%")
            self._stream.flush()

    def close(self) -> None:
        if self._bar is not None:
            self._bar.close()
        elif self._written:
            self._stream.write("\r\033[K")
            self._stream.flush()
