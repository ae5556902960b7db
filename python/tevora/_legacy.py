"""The command's first readers and writers, standing in for a format module
that is not there yet (see `_tables`).

CSV and TSV go through the csv module: the dialect is sniffed from the start
of the file and the same dialect is used to write it back. `.xlsx` workbooks
go through openpyxl when it is installed. Rows stream in chunks; no table is
ever held in memory whole.
"""

from __future__ import annotations

import codecs
import csv
import io
import itertools
import os
import sys
from typing import IO, Any, BinaryIO, Callable, Dict, Iterator, List, Optional, Sequence

from . import key_strings, parse_many, store_form_many
from ._tables import CleanOptions, CleanResult, InputError, input_format, shown_path

SAMPLE_BYTES = 1 << 16
SNIFFED_DELIMITERS = ",;\t|"
CHUNK_ROWS = 1 << 16


def open_table(path: str, encoding: Optional[str], **format_options: Any) -> "LegacyTable":
    if input_format(path) == "xlsx":
        return LegacyTable(XlsxSource(path), "xlsx")
    if input_format(path) != "csv":
        raise InputError(f"{shown_path(path)}: this format needs a module that is not installed")
    return LegacyTable(CsvSource(path, encoding, **format_options), "csv")


def _open_binary(path: str) -> IO[bytes]:
    shown = shown_path(path)
    if path == "-":
        return os.fdopen(os.dup(sys.stdin.fileno()), "rb")
    try:
        return open(path, "rb")
    except FileNotFoundError:
        raise InputError(f"{shown}: no such file") from None
    except IsADirectoryError:
        raise InputError(f"{shown}: is a directory, not a file") from None
    except OSError as error:
        raise InputError(f"{shown}: cannot read: {error.strerror}") from None


class _Rejoined(io.RawIOBase):
    """The bytes already read from a stream, then the rest of it: a pipe
    cannot be rewound after its start has been looked at."""

    def __init__(self, head: bytes, rest: IO[bytes]) -> None:
        self._head, self._rest, self.count = memoryview(head), rest, 0

    def readable(self) -> bool:
        return True

    def readinto(self, buffer: Any) -> int:
        if self._head:
            n = min(len(buffer), len(self._head))
            buffer[:n] = self._head[:n]
            self._head = self._head[n:]
        else:
            n = self._rest.readinto(buffer)  # type: ignore[attr-defined]
        self.count += n
        return n


# ---- CSV -----------------------------------------------------------------------


class CsvSource:
    """A delimited text file: its header row, then its data rows as lists of str."""

    typed = False
    unit = "B"

    def __init__(
        self, path: str, encoding: Optional[str], delimiter: Optional[str] = None, quote: Optional[str] = None
    ) -> None:
        self.path = shown_path(path)
        self._name = path
        self._raw = _open_binary(path)
        try:
            try:
                self.total = os.fstat(self._raw.fileno()).st_size
            except OSError:
                self.total = 0
            head = self._raw.read(SAMPLE_BYTES)
            if not head:
                raise InputError(f"{self.path}: the file is empty")
            self.encoding = _choose_encoding(encoding, head)
            sample = _decode_sample(path, self.path, head, self.encoding, complete=len(head) < SAMPLE_BYTES)
            self.format = _sniff(path, sample)
            if delimiter is not None:
                self.format["delimiter"] = delimiter
            if quote is not None:
                self.format["quotechar"] = quote
            self._stream = _Rejoined(head, self._raw)
            self._text = io.TextIOWrapper(io.BufferedReader(self._stream), encoding=self.encoding, newline="")
            self._reader = csv.reader(self._text, **self.format)
            self._rows = self._read()
            header = next(self._rows, None)
            if header is None:
                raise InputError(f"{self.path}: the file is empty")
            if not header:
                raise InputError(f"{self.path}: the first line is blank; it should name the columns")
        except BaseException:
            self._raw.close()
            raise
        self.header: List[str] = header
        self.header_cells: List[Any] = header

    def _read(self) -> Iterator[List[str]]:
        try:
            yield from self._reader
        except UnicodeError:
            raise InputError(_undecodable(self._name, self.path, self.encoding)) from None
        except csv.Error as error:
            raise InputError(f"{self.path}: line {self._reader.line_num}: not readable as CSV: {error}") from None

    def rows(self) -> Iterator[List[str]]:
        return self._rows

    def done(self) -> int:
        return self._stream.count

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


def _decode_sample(name: str, path: str, head: bytes, encoding: str, complete: bool) -> str:
    try:
        return codecs.getincrementaldecoder(encoding)().decode(head, final=complete)
    except UnicodeDecodeError:
        raise InputError(_undecodable(name, path, encoding)) from None
    except UnicodeError as error:
        raise InputError(f"{path}: not readable as {encoding}: {error}") from None


def _undecodable(name: str, path: str, encoding: str) -> str:
    """The one-line message for a file that does not decode, naming the first bad line."""
    decoder = codecs.getincrementaldecoder(encoding)()
    line, bad = 1, b""
    if name == "-" or not os.path.isfile(name):
        return f"{path}: not valid {encoding}; name the file's encoding with --encoding, for example --encoding cp1252"
    with open(name, "rb") as raw:
        try:
            for chunk in iter(raw.readline, b""):
                line += decoder.decode(chunk).count("\n")
            decoder.decode(b"", final=True)  # a character cut off by the end of the file
        except UnicodeDecodeError as error:
            bad = error.object[error.start : error.end]
        except UnicodeError:
            pass
    shown = " ".join(f"0x{b:02x}" for b in bad[:4])
    name = "UTF-8" if codecs.lookup(encoding).name.startswith("utf-8") else encoding
    return (
        f"{path}: line {line} is not valid {name} (bytes {shown}); "
        "name the file's encoding with --encoding, for example --encoding cp1252"
    )


def _sniff(path: str, sample: str) -> Dict[str, Any]:
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
        delimiter = "\t" if os.path.splitext(path)[1].lower() in (".tsv", ".tab") or "\t" in first_line else ","
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


def _openpyxl(path: str) -> Any:
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

    def __init__(self, path: str) -> None:
        self.path = shown_path(path)
        openpyxl = _openpyxl(self.path)
        raw = _open_binary(path)  # the same messages as CSV for a missing or unreadable file
        if path == "-" or not raw.seekable():
            raw = io.BytesIO(raw.read())  # a zip file is read from its end
        # openpyxl reports a damaged workbook with whatever its zip and XML layers raise.
        try:
            self._book = openpyxl.load_workbook(raw, read_only=True, data_only=True)
            sheet = self._book.worksheets[0]
            self.sheet_title = sheet.title
            self.total = sheet.max_row or 0
            self._rows = sheet.iter_rows(values_only=True)
            header = next(self._rows, None)
        except Exception as error:
            raise InputError(f"{self.path}: not a readable .xlsx workbook ({error})") from None
        if header is None:
            self.close()
            raise InputError(f"{self.path}: the first sheet is empty")
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


# ---- The table -----------------------------------------------------------------


class LegacyTable:
    """A source as a `Table`: its column checked and cleaned chunk by chunk."""

    output_formats = ("csv", "xlsx")

    def __init__(self, source: "CsvSource | XlsxSource", format_name: str) -> None:
        self.source, self.format_name = source, format_name
        self.path, self.header = source.path, source.header
        self.total, self.unit = source.total, source.unit
        self._first: List[List[Any]] = []
        self._rows = source.rows()

    def done(self) -> int:
        return self.source.done()

    def sample(self, rows: int) -> List[List[Any]]:
        self._first += itertools.islice(self._rows, max(0, rows - len(self._first)))
        return (
            [[_typed_cell(c) for c in row] for row in self._first[:rows]] if self.source.typed else self._first[:rows]
        )

    def _chunks(self) -> Iterator[List[List[Any]]]:
        rows = itertools.chain(self._first, self._rows)
        self._first = []
        while True:
            chunk = list(itertools.islice(rows, CHUNK_ROWS))
            if not chunk:
                return
            yield chunk

    def check(self, index: int, report: Any, progress: Callable[[], None]) -> None:
        row = 2  # the header is row 1, as a spreadsheet numbers it
        native = hasattr(report, "tally")
        try:
            for chunk in self._chunks():
                cells = column_cells(chunk, index, self.source.typed)
                report.add(row, cells if native else parse_many(cells))
                row += len(chunk)
                progress()
        except MemoryError:
            raise InputError(f"out of memory at row {row:,}") from None

    def clean(self, index: int, out: BinaryIO, options: CleanOptions, progress: Callable[[], None]) -> CleanResult:
        source = self.source
        if options.output_format == "xlsx":
            sink: Any = XlsxSink(out, self.path, getattr(source, "sheet_title", "Sheet1"))
        elif isinstance(source, CsvSource):
            sink = CsvSink(out, source.format, source.encoding)
        else:
            sink = CsvSink(out, dict(lineterminator="\n"), "utf-8")
        cleaner = _Cleaner(index, source.typed, len(source.header_cells), options, sink)
        sink.write([source.header_cells + options.added])
        try:
            for chunk in self._chunks():
                sink.write(cleaner.clean(chunk))
                progress()
        except MemoryError:
            raise InputError(f"out of memory at row {cleaner.result.rows + 2:,}") from None
        sink.close()
        result = cleaner.result
        result.kept = result.rows - result.gtins
        return result

    def close(self) -> None:
        self.source.close()


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


class _Cleaner:
    """Rewrites rows in place: the column's GTINs in store form, then the added columns."""

    def __init__(self, index: int, typed: bool, width: int, options: CleanOptions, sink: Any) -> None:
        self.index, self.typed, self.width, self.sink = index, typed, width, sink
        self.key, self.explain = options.key_column is not None, options.explain
        self.blank = None if isinstance(sink, XlsxSink) else ""
        self.messages: Dict[str, str] = {}  # each in words the output's encoding can hold
        self.result = CleanResult()

    def clean(self, chunk: List[List[Any]]) -> List[List[Any]]:
        index, blank, result = self.index, self.blank, self.result
        cells = column_cells(chunk, index, self.typed)
        stores, keys = store_form_many(cells), key_strings(cells)
        explained = self._explain(cells, keys) if self.explain else {}
        for j, row in enumerate(chunk):
            if keys[j] is not None:
                result.gtins += 1
                result.changed += stores[j] != row[index]
                row[index] = stores[j]
            if len(row) > self.width:
                result.ragged += 1
            if (self.key or self.explain) and row:  # a blank line stays blank
                row.extend([blank] * (self.width - len(row)))
                if self.key:
                    row.append(keys[j] if keys[j] is not None else blank)
                if self.explain:
                    row.extend(explained.get(j, [blank, blank]))
        result.rows += len(chunk)
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


# ---- Writing ---------------------------------------------------------------------


class CsvSink:
    def __init__(self, out: BinaryIO, params: Dict[str, Any], encoding: str) -> None:
        self.encoding = encoding
        self._file = io.TextIOWrapper(out, encoding=encoding, newline="")
        self._writer = csv.writer(self._file, **params)

    def write(self, rows: Sequence[Sequence[Any]]) -> None:
        self._writer.writerows(rows)

    def can_encode(self, text: str) -> bool:
        try:
            text.encode(self.encoding)
        except UnicodeEncodeError:
            return False
        return True

    def close(self) -> None:
        self._file.flush()
        self._file.detach()  # the stream is the caller's to close


class XlsxSink:
    def __init__(self, out: BinaryIO, path: str, title: str) -> None:
        openpyxl = _openpyxl(path)
        self._out, self._path = out, path
        self._book = openpyxl.Workbook(write_only=True)
        self._sheet = self._book.create_sheet(title=title)

    def write(self, rows: Sequence[Sequence[Any]]) -> None:
        try:
            for row in rows:
                self._sheet.append(row)
        except Exception as error:  # openpyxl refuses control characters in text
            raise InputError(f"{self._path}: cannot be written as .xlsx: {error}") from None

    def can_encode(self, text: str) -> bool:
        return True

    def close(self) -> None:
        import zipfile

        from openpyxl.writer.excel import ExcelWriter

        # As Workbook.save does, but a failed write (a full disk) leaves no
        # archive whose finaliser writes to the closed stream later.
        archive = zipfile.ZipFile(self._out, "w", zipfile.ZIP_DEFLATED, allowZip64=True)
        try:
            ExcelWriter(self._book, archive).save()
        except BaseException:
            archive.fp = None
            raise
