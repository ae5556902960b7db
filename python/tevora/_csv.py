"""CSV and TSV files for the `tevora` command: `CsvTable`, the `Table` of
`_tables` over the native scanner of `tevora._files`.

`open_table(path, encoding, delimiter=None, quote=None)` opens one (the
shell's `--delimiter` and `--quote`; without them the delimiter is the one
the header line uses, and the quote is `"`). The
scanner reads the file's bytes in chunks of a mebibyte with no Python object
per row; `check` feeds the report's tally, and `clean` writes every byte of
the file as it was except the content of accepted GTIN cells, which becomes
the store form, and the added columns at the end of each row. The output
keeps the input's dialect row by row: delimiter, quoting, line endings,
encoding, byte order and byte order mark.

`check` feeds `report.tally` directly; a report that has a
`problem_rows(rows)` method (`check --rows-csv`) gets the problem cells,
chunk by chunk, as `Tally.take_problems` gives them; the tally also counts
the ragged rows and the fields with stray quotes.

Text that is not UTF-8 (UTF-16 and UTF-32 of either byte order, latin-1,
cp1252, ...) is decoded to UTF-8 chunk by chunk for the scanner and its output
encoded back with the same codec, so that every byte outside the rewritten
cells comes back as it was.
"""

from __future__ import annotations

import codecs
import os
import stat
import sys
import tempfile
from typing import IO, Any, BinaryIO, Callable, Iterator, List, Optional, Tuple

from ._files import CsvScanner, records
from ._tables import CleanOptions, CleanResult, InputError, shown_path, unreadable

CHUNK = 1 << 20
# The start of the file read to tell its dialect and header; more is read
# while the first record has not ended, up to HEAD_LIMIT.
HEAD_BYTES = 1 << 16
HEAD_LIMIT = 1 << 24
# Rows of the head compared to tell the delimiter.
DIALECT_ROWS = 100
DELIMITERS = ",;\t|"
# Byte order marks, longest first: UTF-32's starts with UTF-16's.
BOMS = (
    (codecs.BOM_UTF32_LE, "utf-32-le"),
    (codecs.BOM_UTF32_BE, "utf-32-be"),
    (codecs.BOM_UTF8, "utf-8"),
    (codecs.BOM_UTF16_LE, "utf-16-le"),
    (codecs.BOM_UTF16_BE, "utf-16-be"),
)
# Codecs whose byte order comes from a byte order mark.
ORDERED = {"utf-16": "UTF-16", "utf-32": "UTF-32"}


def open_table(path: str, encoding: Optional[str], **format_options: Any) -> "CsvTable":
    delimiter = format_options.get("delimiter")
    quote = format_options.get("quote", format_options.get("quotechar", '"'))
    return CsvTable(path, encoding, delimiter, quote)


class CsvTable:
    """A delimited text file: its header, then its rows through the scanner."""

    unit = "B"
    output_formats = ("csv", "xlsx")

    def __init__(self, path: str, encoding: Optional[str], delimiter: Optional[str], quote: Optional[str]) -> None:
        self.path = shown_path(path)
        self._file = _open(path, self.path)
        try:
            self.total = self._file.size
            head = self._file.read(HEAD_BYTES)
            if not head:
                raise InputError(f"{self.path}: the file is empty")
            self.encoding, self._bom = _encoding(self.path, encoding, head)
            self._native = self.encoding == "utf-8"
            self.quote = quote or None
            self.delimiter = ","
            self._head, complete = self._read_head(head)
            if not self._head and complete:
                raise InputError(f"{self.path}: the file is empty")
            if delimiter is not None:
                self.delimiter = delimiter
            else:
                self.delimiter = self._tell_delimiter(complete)
            if self.quote == self.delimiter:
                raise InputError("--delimiter and --quote must be different characters")
            rows, quoted, _ = self._records(2, complete)
            if not rows:
                header: List[str] = []
                if not complete and len(self._head) >= HEAD_LIMIT:
                    raise InputError(f"{self.path}: the first record is longer than {HEAD_LIMIT >> 20} MiB")
                if self._head.strip(b"\r\n"):
                    self._unclosed()
            else:
                header = rows[0]
            if not header:
                raise InputError(f"{self.path}: the first line is blank; it should name the columns")
            self.header: List[str] = header
            # A file whose first two records quote every field gets its added fields quoted too.
            self.quote_all = bool(quoted) and all(quoted[:2])
            self._complete = complete
        except BaseException:
            self.close()
            raise
        self._done = 0

    # ---- The head --------------------------------------------------------------

    def _read_head(self, head: bytes) -> Tuple[bytes, bool]:
        """The head as UTF-8 (its BOM left out), and whether it is the whole file."""
        complete = len(head) < HEAD_BYTES
        data = head
        while True:
            self._head = self._utf8(data, complete)
            # The first record ends where a line ends outside quotes, whatever the delimiter.
            if complete or self._records(1, complete)[0] or len(data) >= HEAD_LIMIT:
                return self._head, complete
            want = len(data)
            more = self._file.read(want)
            complete = len(more) < want
            data += more

    def _utf8(self, data: bytes, complete: bool) -> bytes:
        data = data[len(self._bom) :]
        if self._native:
            try:
                codecs.getincrementaldecoder("utf-8")().decode(data, final=complete)
            except UnicodeDecodeError as error:
                raise InputError(_undecodable(self.path, data, error, "UTF-8")) from None
            return data
        try:
            return codecs.getincrementaldecoder(self.encoding)().decode(data, final=complete).encode("utf-8")
        except UnicodeDecodeError as error:
            raise InputError(_undecodable(self.path, data, error, self.encoding)) from None

    def _unclosed(self) -> None:
        """Raises the scanner's error for the head, a quote left open."""
        scanner = CsvScanner(delimiter=ord(self.delimiter), quote=ord(self.quote or '"'), column=0, mode="measure")
        try:
            scanner.feed(self._head)
            scanner.finish()
        except ValueError as error:
            raise InputError(self._failure(str(error))) from None
        raise InputError(f"{self.path}: the first record does not end")

    def _records(
        self, limit: int, complete: bool, delimiter: Optional[str] = None
    ) -> Tuple[List[List[str]], List[bool], int]:
        quote = ord(self.quote) if self.quote else None
        return records(self._head, ord(delimiter or self.delimiter), quote, limit, final=complete)

    def _tell_delimiter(self, complete: bool) -> str:
        """The delimiter the header line uses; among several, the one that
        splits the most rows of the head into as many fields as the header."""
        scores = []
        for candidate in DELIMITERS:
            rows, _, _ = self._records(DIALECT_ROWS, complete, candidate)
            if not rows or len(rows[0]) < 2:
                continue
            width = len(rows[0])
            agreeing = sum(1 for row in rows[1:] if len(row) == width)
            scores.append((agreeing, width, candidate))
        if not scores:
            return "\t" if self.path.lower().endswith((".tsv", ".tab")) else ","
        scores.sort(reverse=True)
        if len(scores) > 1 and scores[0][:2] == scores[1][:2]:
            shown = " and ".join(repr(s[2]) for s in scores[:2])
            raise InputError(
                f"{self.path}: cannot tell the delimiter: the header line is split as well by {shown}; "
                "name it with --delimiter"
            )
        return scores[0][2]

    # ---- Table -------------------------------------------------------------------

    def done(self) -> int:
        return self._done

    def sample(self, rows: int) -> List[List[Any]]:
        found, _, _ = self._records(rows + 1, self._complete)
        if len(found) < rows + 1 and not self._complete:
            # A head too short for the rows asked: read on, within reason.
            self._file.seek(0)
            data = self._file.read(HEAD_LIMIT)
            self._head = self._utf8(data, len(data) < HEAD_LIMIT)
            self._complete = len(data) < HEAD_LIMIT
            found, _, _ = self._records(rows + 1, self._complete)
        return [list(row) for row in found[1 : rows + 1]]

    def check(self, index: int, report: Any, progress: Callable[[], None]) -> None:
        """Feeds the report's tally, ragged rows and stray quotes included. A
        report with a `problem_rows(rows)` method (`check --rows-csv`) is given
        the problem cells chunk by chunk, as `Tally.take_problems` gives them."""
        tally = report.tally
        problem_rows = getattr(report, "problem_rows", None)
        if problem_rows is not None:
            tally.keep_problems = True
        scanner = CsvScanner(
            delimiter=ord(self.delimiter),
            quote=ord(self.quote) if self.quote else None,
            column=index,
            mode="check",
            tally=tally,
        )
        for _ in self._scan(scanner, progress):
            if problem_rows is not None:
                problem_rows(tally.take_problems())

    def clean(self, index: int, out: BinaryIO, options: CleanOptions, progress: Callable[[], None]) -> CleanResult:
        if options.output_format == "xlsx":
            return self._clean_to_workbook(index, out, options, progress)
        if options.output_format != "csv":
            raise InputError(f"{self.path}: a CSV file is written as CSV or .xlsx, not {options.output_format}")
        quote = ord(self.quote) if self.quote else None
        if quote is None:
            for name in options.added:
                if self.delimiter in name or "\n" in name or "\r" in name:
                    raise InputError(
                        f"the column name {name!r} holds the delimiter or a line break, "
                        "and the file quotes nothing; choose another name"
                    )
        # Rows wider than the header push the added columns out of line:
        # every row is padded to the widest, found by a first pass.
        width = self._widest(index) if options.added else 0
        scanner = CsvScanner(
            delimiter=ord(self.delimiter),
            quote=quote,
            column=index,
            mode="clean",
            key=options.key_column is not None,
            explain=options.explain,
            added=options.added,
            width=width,
            quote_all=self.quote_all,
            ascii_messages=not _encodes(self.encoding, "\u2014"),
        )
        out.write(self._bom)
        if self._native:
            for piece in self._scan(scanner, progress):
                out.write(piece)
        else:
            text = codecs.getincrementaldecoder("utf-8")()
            encoder = codecs.getincrementalencoder(self.encoding)()
            for piece in self._scan(scanner, progress, round_trip=True):
                out.write(encoder.encode(text.decode(piece)))
            out.write(encoder.encode(text.decode(b"", final=True), final=True))
        return CleanResult(
            rows=scanner.rows,
            gtins=scanner.gtins,
            changed=scanner.changed,
            kept=scanner.kept,
            ragged=scanner.ragged,
            stray_quotes=scanner.stray_quotes,
        )

    def _widest(self, index: int) -> int:
        """The most fields in one record, by a first pass."""
        quote = ord(self.quote) if self.quote else None
        measure = CsvScanner(delimiter=ord(self.delimiter), quote=quote, column=index, mode="measure")
        for _ in self._scan(measure, lambda: None):
            pass
        return measure.widest

    def _clean_to_workbook(
        self, index: int, out: BinaryIO, options: CleanOptions, progress: Callable[[], None]
    ) -> CleanResult:
        """The rows as text cells of a new workbook, through the workbook module."""
        from . import _xlsx

        # The first pass also finds bad bytes and an open quote before the workbook is begun.
        widest = self._widest(index)
        width = widest if options.added else 0
        result: CleanResult = _xlsx.clean_to_workbook(
            self._rows(progress), self.header, index, out, options, self.path, lambda: None, width
        )
        return result

    def _rows(self, progress: Callable[[], None]) -> Iterator[List[str]]:
        """The data rows as lists of str, read a chunk at a time; a record
        longer than a chunk is read whole."""
        quote = ord(self.quote) if self.quote else None
        self._file.seek(len(self._bom))
        decoder = codecs.getincrementaldecoder(self.encoding)()
        pending, want, header, line = b"", CHUNK, True, 1
        while True:
            chunk = self._file.read(want, whole=False)
            self._done = self._file.tell()
            final = not chunk
            try:
                pending += decoder.decode(chunk, final=final).encode("utf-8")
            except UnicodeDecodeError as error:
                name = "UTF-8" if self._native else self.encoding
                raise InputError(_undecodable(self.path, chunk, error, name, line)) from None
            found, _, consumed = records(pending, ord(self.delimiter), quote, 1 << 62, final=final)
            line += pending[:consumed].count(b"\n") or pending[:consumed].count(b"\r")
            if header and found:
                found, header = found[1:], False
            yield from found
            if final:
                if consumed < len(pending):
                    self._widest(0)  # raises the scanner's one line, naming where the quote opened
                return
            pending = pending[consumed:]
            want = CHUNK if consumed else max(CHUNK, len(pending))
            progress()

    def _scan(self, scanner: CsvScanner, progress: Callable[[], None], round_trip: bool = False) -> Iterator[bytes]:
        """The whole file through the scanner; yields its output. With
        `round_trip`, a file read through another codec must encode back to
        its very bytes, or the copy written back in that codec would differ
        outside the cleaned cells (cp932, for one, has several byte
        sequences for one character)."""
        self._file.seek(len(self._bom))
        self._done = 0
        decoder = None if self._native else codecs.getincrementaldecoder(self.encoding)()
        encoder = codecs.getincrementalencoder(self.encoding)() if decoder is not None and round_trip else None
        unmatched = b""  # bytes read whose text has not been encoded back yet
        try:
            while True:
                chunk = self._file.read(CHUNK, whole=False)
                self._done = self._file.tell()
                if decoder is not None:
                    try:
                        text = decoder.decode(chunk, final=not chunk)
                    except UnicodeDecodeError as error:
                        raise InputError(_undecodable(self.path, chunk, error, self.encoding, scanner.line)) from None
                    if encoder is not None:
                        again = encoder.encode(text, final=not chunk)
                        unmatched += chunk
                        if not unmatched.startswith(again):
                            raise InputError(
                                f"{self.path}: some of its {self.encoding} bytes would not come back the same "
                                "when written again (a character with more than one byte form), so it cannot be "
                                "cleaned without changing other cells; check reads it, or convert it to UTF-8 first"
                            )
                        unmatched = unmatched[len(again) :]
                    data = text.encode("utf-8")
                else:
                    data = chunk
                if data:
                    yield scanner.feed(data)
                if not chunk:
                    break
                progress()
            yield scanner.finish()
        except ValueError as error:
            raise InputError(self._failure(str(error))) from None
        except MemoryError:
            raise InputError(f"out of memory at row {scanner.rows + 2:,}") from None

    def _failure(self, message: str) -> str:
        if "not valid UTF-8" in message:
            return f"{self.path}: {message}; name the file's encoding with --encoding, for example --encoding cp1252"
        return f"{self.path}: {message}"

    def close(self) -> None:
        file = getattr(self, "_file", None)
        if file is not None:
            file.close()


def _open(path: str, shown: str) -> "_Input":
    """The file, opened for reading. Stdin, a FIFO or a device is read as it
    comes and kept in a temporary file as well, for a second pass."""
    try:
        source: IO[bytes] = sys.stdin.buffer if path == "-" else open(path, "rb")
    except OSError as error:
        raise unreadable(shown, error) from None
    try:
        regular = stat.S_ISREG(os.fstat(source.fileno()).st_mode)
    except (OSError, ValueError):
        regular = False
    return _Input(source, shown, spooled=not regular or path == "-", owned=path != "-")


class _Input:
    """A file read from any offset: a regular file itself, any other stream
    through a temporary copy of what has been read of it so far."""

    def __init__(self, source: IO[bytes], shown: str, spooled: bool, owned: bool) -> None:
        self._source, self._shown, self._owned = source, shown, owned
        self._spool: Optional[IO[bytes]] = tempfile.TemporaryFile() if spooled else None
        self._kept = 0  # bytes in the spool
        self._at = 0
        self.size = 0 if spooled else os.fstat(source.fileno()).st_size

    def read(self, n: int, whole: bool = True) -> bytes:
        """At most `n` bytes; fewer only at the end, unless `whole` is false,
        when a stream gives what has come so far."""
        try:
            if self._spool is None:
                data = self._source.read(n)
            elif self._at < self._kept:
                self._spool.seek(self._at)
                data = self._spool.read(min(n, self._kept - self._at))
            else:
                read1 = getattr(self._source, "read1", None)
                data = self._source.read(n) if whole or read1 is None else read1(n)
                self._spool.seek(self._kept)
                self._spool.write(data)
                self._kept += len(data)
        except OSError as error:
            raise InputError(f"{self._shown}: cannot read: {error.strerror or error}") from None
        self._at += len(data)
        return data

    def seek(self, offset: int) -> None:
        if self._spool is None:
            self._source.seek(offset)
        elif offset > self._kept:
            self._at = self._kept
            while self._at < offset and self.read(min(CHUNK, offset - self._at)):
                pass
        self._at = offset

    def tell(self) -> int:
        return self._at

    def close(self) -> None:
        if self._spool is not None:
            self._spool.close()
        if self._owned:
            self._source.close()


def _encoding(shown: str, requested: Optional[str], head: bytes) -> Tuple[str, bytes]:
    """The codec to read with (one with no byte order mark of its own), and
    the byte order mark the file starts with."""
    if requested is None:
        for bom, name in BOMS:
            if head.startswith(bom):
                return name, bom
        return "utf-8", b""
    try:
        info = codecs.lookup(requested)
    except LookupError:
        raise InputError(f"unknown encoding {requested!r}") from None
    if not getattr(info, "_is_text_encoding", True):
        raise InputError(f"{requested!r} is not a text encoding; name one such as utf-8 or cp1252")
    name = info.name
    if name in ("utf-8", "utf-8-sig"):
        return "utf-8", codecs.BOM_UTF8 if head.startswith(codecs.BOM_UTF8) else b""
    if name in ORDERED:
        for bom, ordered in BOMS:
            if ordered.startswith(name) and head.startswith(bom):
                return ordered, bom
        raise InputError(
            f"{shown}: no byte order mark for {ORDERED[name]}; name the byte order, "
            f"--encoding {name}-le or --encoding {name}-be"
        )
    for bom, ordered in BOMS:
        if ordered == name and head.startswith(bom):
            return name, bom
    return name, b""


def _encodes(encoding: str, text: str) -> bool:
    try:
        text.encode(encoding)
    except UnicodeEncodeError:
        return False
    return True


def _undecodable(shown: str, data: bytes, error: UnicodeDecodeError, encoding: str, line: int = 1) -> str:
    """The one-line message for bytes that do not decode, naming their line."""
    before = data[: error.start]
    if encoding != "UTF-8":
        before = codecs.decode(before, encoding, "replace").encode("utf-8")
    line += before.count(b"\n") or before.count(b"\r")
    bad = " ".join(f"0x{b:02x}" for b in error.object[error.start : error.end][:4])
    return (
        f"{shown}: line {line} is not valid {encoding} (bytes {bad}); "
        "name the file's encoding with --encoding, for example --encoding cp1252"
    )
