"""The tables the `tevora` command reads and writes.

CSV and TSV go through the csv module: the dialect is sniffed from the start of
the file and the same dialect is used to write the file back, so cells that
tevora does not change come out as they went in. `.xlsx` workbooks go through
openpyxl when it is installed. Rows stream in order; no table is ever held in
memory whole.
"""

from __future__ import annotations

import codecs
import csv
import io
import os
import pathlib
import tempfile
from typing import IO, Any, Dict, Iterator, List, Optional, Sequence

SAMPLE_BYTES = 1 << 16
SNIFFED_DELIMITERS = ",;\t|"


class InputError(Exception):
    """Bad input or a bad request, shown to the user as one line."""


def open_table(path: pathlib.Path, encoding: Optional[str]) -> "CsvSource | XlsxSource":
    suffix = path.suffix.lower()
    if suffix in (".xlsx", ".xlsm"):
        return XlsxSource(path)
    if suffix == ".xls":
        raise InputError(f"{path}: .xls workbooks are not read; save the sheet as .xlsx or CSV")
    return CsvSource(path, encoding)


def _open_binary(path: pathlib.Path) -> IO[bytes]:
    try:
        return open(path, "rb")
    except FileNotFoundError:
        raise InputError(f"{path}: no such file") from None
    except IsADirectoryError:
        raise InputError(f"{path}: is a directory, not a file") from None
    except OSError as error:
        raise InputError(f"{path}: cannot read: {error.strerror}") from None


# ---- CSV -----------------------------------------------------------------------


class CsvSource:
    """A delimited text file: its header row, then its data rows as lists of str."""

    typed = False
    unit = "B"

    def __init__(self, path: pathlib.Path, encoding: Optional[str]) -> None:
        self.path = path
        self._raw = _open_binary(path)
        try:
            self.total = os.fstat(self._raw.fileno()).st_size
            head = self._raw.read(SAMPLE_BYTES)
            if not head:
                raise InputError(f"{path}: the file is empty")
            self.encoding = _choose_encoding(encoding, head)
            sample = _decode_sample(path, head, self.encoding, complete=len(head) < SAMPLE_BYTES)
            self.format = _sniff(path, sample)
            self._raw.seek(0)
            self._text = io.TextIOWrapper(self._raw, encoding=self.encoding, newline="")
            self._reader = csv.reader(self._text, **self.format)
            self._rows = self._read()
            header = next(self._rows, None)
            if header is None:
                raise InputError(f"{path}: the file is empty")
            if not header:
                raise InputError(f"{path}: the first line is blank; it should name the columns")
        except BaseException:
            self._raw.close()
            raise
        self.header: List[str] = header
        self.header_cells: List[Any] = header

    def _read(self) -> Iterator[List[str]]:
        try:
            yield from self._reader
        except UnicodeDecodeError:
            raise InputError(_undecodable(self.path, self.encoding)) from None
        except csv.Error as error:
            raise InputError(f"{self.path}: line {self._reader.line_num}: not readable as CSV: {error}") from None

    def rows(self) -> Iterator[List[str]]:
        return self._rows

    def done(self) -> int:
        return self._raw.tell()

    def close(self) -> None:
        self._raw.close()


def _choose_encoding(requested: Optional[str], head: bytes) -> str:
    if requested is not None:
        try:
            name = codecs.lookup(requested).name
        except LookupError:
            raise InputError(f"unknown encoding {requested!r}") from None
        # A byte order mark belongs to the file, not to the first column's name.
        return "utf-8-sig" if name == "utf-8" and head.startswith(codecs.BOM_UTF8) else requested
    if head.startswith(codecs.BOM_UTF8):
        return "utf-8-sig"
    if head.startswith((codecs.BOM_UTF16_LE, codecs.BOM_UTF16_BE)):
        return "utf-16"
    return "utf-8"


def _decode_sample(path: pathlib.Path, head: bytes, encoding: str, complete: bool) -> str:
    try:
        return codecs.getincrementaldecoder(encoding)().decode(head, final=complete)
    except UnicodeDecodeError:
        raise InputError(_undecodable(path, encoding)) from None


def _undecodable(path: pathlib.Path, encoding: str) -> str:
    """The one-line message for a file that does not decode, naming the first bad line."""
    decoder = codecs.getincrementaldecoder(encoding)()
    line, bad = 1, b""
    with open(path, "rb") as raw:
        try:
            for chunk in iter(raw.readline, b""):
                line += decoder.decode(chunk).count("\n")
            decoder.decode(b"", final=True)  # a character cut off by the end of the file
        except UnicodeDecodeError as error:
            bad = error.object[error.start : error.end]
    shown = " ".join(f"0x{b:02x}" for b in bad[:4])
    name = "UTF-8" if codecs.lookup(encoding).name.startswith("utf-8") else encoding
    return (
        f"{path}: line {line} is not valid {name} (bytes {shown}); "
        "name the file's encoding with --encoding, for example --encoding cp1252"
    )


def _sniff(path: pathlib.Path, sample: str) -> Dict[str, Any]:
    """Reader and writer parameters for the file the sample comes from."""
    # Whole lines only: a record cut at the end of the sample would mislead the sniffer.
    if "\n" in sample[:-1]:
        sample = sample[: sample.rindex("\n", 0, len(sample) - 1) + 1]
    first_line = sample.split("\n", 1)[0]
    try:
        delimiter = csv.Sniffer().sniff(sample, delimiters=SNIFFED_DELIMITERS).delimiter
    except csv.Error:
        delimiter = ""
    if not delimiter or delimiter not in first_line:
        delimiter = "\t" if path.suffix.lower() in (".tsv", ".tab") or "\t" in first_line else ","
    if "\r\n" in sample:
        terminator = "\r\n"
    elif "\n" in sample or "\r" not in sample:
        terminator = "\n"
    else:
        terminator = "\r"
    # Always the double quote: the sniffer takes apostrophes in text for quote characters.
    params: Dict[str, Any] = dict(
        delimiter=delimiter,
        quotechar='"',
        doublequote=True,
        skipinitialspace=False,
        lineterminator=terminator,
        quoting=csv.QUOTE_MINIMAL,
        strict=False,
    )
    # A file whose first two lines quote every field is written back the same way.
    lines = sample.replace("\r\n", "\n").replace("\r", "\n").split("\n")[:2]
    if len(lines) == 2 and all(_fully_quoted(line, params) for line in lines):
        params["quoting"] = csv.QUOTE_ALL
    return params


def _fully_quoted(line: str, params: Dict[str, Any]) -> bool:
    fields: List[str] = next(csv.reader([line], **params), [])
    out = io.StringIO()
    quoted: Dict[str, Any] = {**params, "quoting": csv.QUOTE_ALL, "lineterminator": ""}
    csv.writer(out, **quoted).writerow(fields)
    return bool(fields) and out.getvalue() == line


# ---- xlsx ----------------------------------------------------------------------


def _openpyxl(path: pathlib.Path) -> Any:
    try:
        import openpyxl
    except ImportError:
        raise InputError(
            f"{path}: .xlsx files need openpyxl, which is not installed (Debian: apt-get install python3-openpyxl)"
        ) from None
    return openpyxl


class XlsxSource:
    """The first worksheet of a workbook: typed cells (str, int, float, dates, None)."""

    typed = True
    unit = "rows"

    def __init__(self, path: pathlib.Path) -> None:
        self.path = path
        openpyxl = _openpyxl(path)
        _open_binary(path).close()  # the same messages as CSV for a missing or unreadable file
        # openpyxl reports a damaged workbook with whatever its zip and XML layers raise.
        try:
            self._book = openpyxl.load_workbook(path, read_only=True, data_only=True)
            sheet = self._book.worksheets[0]
            self.sheet_title = sheet.title
            self.total = sheet.max_row or 0
            self._rows = sheet.iter_rows(values_only=True)
            header = next(self._rows, None)
        except Exception as error:
            raise InputError(f"{path}: not a readable .xlsx workbook ({error})") from None
        if header is None:
            self.close()
            raise InputError(f"{path}: the first sheet is empty")
        self.header_cells = list(header)
        self.header = ["" if v is None else str(v) for v in header]
        self._done = 1

    def rows(self) -> Iterator[List[Any]]:
        try:
            for row in self._rows:
                self._done += 1
                yield list(row)
        except Exception as error:
            raise InputError(f"{self.path}: row {self._done + 1}: not readable ({error})") from None

    def done(self) -> int:
        return self._done

    def close(self) -> None:
        self._book.close()


# ---- Writing ---------------------------------------------------------------------


class Sink:
    """An output file written beside its final place and moved there only when
    complete, so a failure never leaves half a file or clobbers an old one."""

    def __init__(self, out: pathlib.Path) -> None:
        self.out = out
        try:
            handle, name = tempfile.mkstemp(dir=out.parent, prefix=f".{out.name}.", suffix=".part")
        except FileNotFoundError:
            raise InputError(f"{out}: cannot write: the directory {out.parent} does not exist") from None
        except OSError as error:
            raise InputError(f"{out}: cannot write: {error.strerror}") from None
        os.close(handle)
        self.temp = pathlib.Path(name)
        umask = os.umask(0)
        os.umask(umask)
        os.chmod(self.temp, 0o666 & ~umask)

    def commit(self) -> None:
        self._close()
        os.replace(self.temp, self.out)

    def abort(self) -> None:
        try:
            self._close()
        finally:
            self.temp.unlink()

    def _close(self) -> None:
        raise NotImplementedError


class CsvSink(Sink):
    def __init__(self, out: pathlib.Path, params: Dict[str, Any], encoding: str) -> None:
        super().__init__(out)
        self.encoding = encoding
        self._file = open(self.temp, "w", encoding=encoding, newline="")
        self._writer = csv.writer(self._file, **params)

    def write(self, rows: Sequence[Sequence[Any]]) -> None:
        self._writer.writerows(rows)

    def can_encode(self, text: str) -> bool:
        try:
            text.encode(self.encoding)
        except UnicodeEncodeError:
            return False
        return True

    def _close(self) -> None:
        self._file.close()


class XlsxSink(Sink):
    def __init__(self, out: pathlib.Path, title: str) -> None:
        openpyxl = _openpyxl(out)
        super().__init__(out)
        self._book = openpyxl.Workbook(write_only=True)
        self._sheet = self._book.create_sheet(title=title)

    def write(self, rows: Sequence[Sequence[Any]]) -> None:
        try:
            for row in rows:
                self._sheet.append(row)
        except ValueError as error:  # openpyxl refuses control characters in text
            raise InputError(f"{self.out}: cannot write: {error}") from None

    def can_encode(self, text: str) -> bool:
        return True

    def _close(self) -> None:
        if self._book is not None:
            book, self._book = self._book, None
            book.save(self.temp)
