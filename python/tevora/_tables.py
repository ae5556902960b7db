"""The tables the `tevora` command reads and writes, one module per format.

Every format gives the command the same `Table`: its header, a sample of rows
to find the GTIN column, and two passes over the column, `check` into a
report and `clean` into an output stream. `open_table` picks the module by
the file's suffix:

    .csv .tsv .txt and anything else   _csv         (CSV and TSV, lossless)
    .xlsx (.xlsm read only)            _xlsx        (a workbook, read from its zip)
    .parquet .arrow .feather .ipc      _arrowfile   (pyarrow)

Each of those modules has a function `open_table(path, encoding,
**format_options) -> Table` (path "-" is stdin) and raises `InputError` for
input it cannot take.
"""

from __future__ import annotations

import dataclasses
import importlib
import os
from typing import TYPE_CHECKING, Any, BinaryIO, Callable, Dict, List, Optional, Protocol, Tuple

if TYPE_CHECKING:
    from ._report import Report


class InputError(Exception):
    """Bad input or a bad request, shown as one line."""


@dataclasses.dataclass
class CleanOptions:
    key_column: Optional[str]  # name of the added match-key column, or None
    explain: bool  # add "<col>_reason", "<col>_message"
    added: List[str]  # the added header names, in order (already checked for clashes)
    trust_numbers: bool  # xlsx: rewrite numeric cells that probably lost digits
    output_format: str  # "csv", "xlsx", "parquet", "arrow" (from OUT's suffix, or the input's for "-")


@dataclasses.dataclass
class CleanResult:
    rows: int = 0
    gtins: int = 0
    changed: int = 0
    kept: int = 0
    ragged: int = 0  # rows wider than the header (CSV)
    stray_quotes: int = 0  # fields with a quote inside an unquoted field, kept byte for byte (CSV)
    lost_digits: int = 0  # numeric cells kept because they probably lost digits (xlsx)
    notes: List[str] = dataclasses.field(default_factory=list)  # extra lines for the summary


class Table(Protocol):
    path: str  # as shown to the user (already escaped for one line)
    header: List[str]
    total: int  # progress: total work in units, 0 when unknown
    unit: str  # "B" or "rows"

    def done(self) -> int:
        """Work done so far, in `unit`."""

    def sample(self, rows: int) -> List[List[Any]]:
        """The first data rows, for column detection; cells as the column
        functions take them (str/int/float/None)."""

    def check(self, index: int, report: "Report", progress: Callable[[], None]) -> None:
        """Adds every cell of column `index` to the report."""

    def clean(self, index: int, out: BinaryIO, options: CleanOptions, progress: Callable[[], None]) -> CleanResult:
        """Writes the whole table to `out`, header included, in
        `options.output_format`, the column's GTINs in store form."""

    def close(self) -> None: ...


# Optional attributes a table may have, which the command reads when there:
# `output_formats`, the formats its `clean` writes (its own format only when
# absent); `encoding`, the text encoding of its CSV output, which added column
# names must fit. A MemoryError may carry the spreadsheet row it reached as
# `row`; the command says "out of memory at row N".


# Suffix -> (format, module). Anything else is read as delimited text.
FORMATS: Dict[str, Tuple[str, str]] = {
    ".xlsx": ("xlsx", "_xlsx"),
    ".xlsm": ("xlsx", "_xlsx"),
    ".parquet": ("parquet", "_arrowfile"),
    ".arrow": ("arrow", "_arrowfile"),
    ".feather": ("arrow", "_arrowfile"),
    ".ipc": ("arrow", "_arrowfile"),
}
# Formats neither read nor written, and what to save them as instead.
UNSUPPORTED = {
    ".xls": ".xls workbooks",
    ".xlsb": ".xlsb workbooks",
    ".ods": ".ods spreadsheets",
    ".numbers": ".numbers spreadsheets",
}
# Outputs refused although the input is read: a macro workbook written
# without its macros would not be what its name says.
UNWRITABLE = {".xlsm": ".xlsm workbooks are not written (their macros would be lost)"}
# How an output format is named to the user, and the suffix that asks for it.
FORMAT_NAMES = {
    "csv": ("CSV", ".csv"),
    "xlsx": ("a workbook", ".xlsx"),
    "parquet": ("Parquet", ".parquet"),
    "arrow": ("an Arrow file", ".arrow"),
}


def suffix(path: str) -> str:
    return os.path.splitext(path)[1].lower() if path != "-" else ""


def input_format(path: str) -> str:
    """ "csv", "xlsx", "parquet" or "arrow"; `InputError` for a format never read."""
    if suffix(path) in UNSUPPORTED:
        raise InputError(
            f"{shown_path(path)}: {UNSUPPORTED[suffix(path)]} are not read; save the sheet as .xlsx or CSV"
        )
    return FORMATS.get(suffix(path), ("csv", "_csv"))[0]


def output_format(path: str, input_path: str) -> str:
    """The format OUT is written in: its suffix's, or the input's for stdout."""
    if path == "-":
        return input_format(input_path)
    if suffix(path) in UNSUPPORTED:
        raise InputError(
            f"{shown_path(path)}: {UNSUPPORTED[suffix(path)]} are not written; name a .xlsx or .csv output"
        )
    if suffix(path) in UNWRITABLE:
        raise InputError(f"{shown_path(path)}: {UNWRITABLE[suffix(path)]}; name a .xlsx or .csv output")
    return FORMATS.get(suffix(path), ("csv", "_csv"))[0]


def open_table(path: str, encoding: Optional[str], **format_options: Any) -> Table:
    """The table in the file at `path` ("-": stdin)."""
    module_name = FORMATS.get(suffix(path), ("csv", "_csv"))[1]
    input_format(path)
    try:
        module: Any = importlib.import_module(f".{module_name}", __package__)
    except ImportError as error:  # an optional library, or a native module not built
        raise InputError(f"{shown_path(path)}: this format needs {error.name}, which is not installed") from None
    table: Table = module.open_table(path, encoding, **format_options)
    return table


def refuse_output(table: Table, input_path: str, output_path: str, output: str) -> None:
    """`InputError` unless the table's `clean` writes format `output`."""
    formats = writable_formats(table, input_path)
    if output not in formats:
        suffixes = " or ".join(FORMAT_NAMES.get(f, (f, "." + f))[1] for f in formats)
        raise InputError(
            f"{shown_path(output_path)}: {FORMAT_NAMES.get(input_format(input_path), ('this file',))[0]} is not "
            f"written as {FORMAT_NAMES.get(output, (output,))[0]}; name an output ending in {suffixes}"
        )


def writable_formats(table: Table, path: str) -> Tuple[str, ...]:
    """The formats the table's `clean` writes; its own when it does not say."""
    formats = getattr(table, "output_formats", None)
    return tuple(formats) if formats is not None else (input_format(path),)


def unreadable(shown: str, error: OSError) -> InputError:
    """The one line for an input that cannot be opened."""
    if isinstance(error, FileNotFoundError):
        return InputError(f"{shown}: no such file")
    if isinstance(error, IsADirectoryError):
        return InputError(f"{shown}: is a directory, not a file")
    return InputError(f"{shown}: cannot read: {error.strerror or error}")


def shown_path(path: "str | os.PathLike[str]") -> str:
    """A path on one line: control characters and bytes that are not UTF-8
    (held as surrogates by the file system encoding) as escapes."""
    text = "stdin" if os.fspath(path) == "-" else os.fspath(path)
    if text.isprintable():
        return text
    return "".join(c if c.isprintable() else _escape(c) for c in text)


def _escape(c: str) -> str:
    if 0xDC80 <= ord(c) <= 0xDCFF:  # a byte the file system encoding could not decode
        return f"\\x{ord(c) - 0xDC00:02x}"
    return repr(c)[1:-1] if ord(c) < 0x10000 or len(repr(c)) > 3 else f"\\U{ord(c):08x}"
