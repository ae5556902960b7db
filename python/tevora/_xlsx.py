"""Workbooks (.xlsx): one worksheet read as it streams out of the zip, and
edited in place.

Reading needs nothing but the standard library. The sheet's XML is inflated a
megabyte at a time and its rows are found with regular expressions, which
costs a fraction of what a parser's per-element objects do; `check` decodes
only the GTIN column's cell of each row. Cells are addressed by their `r`
references: the dimension a sheet declares is never used to size anything.

`clean` to a workbook copies every member of the zip unchanged but the sheet,
and in the sheet every byte but the GTIN column's accepted cells, which become
inline text cells keeping their style, and the added columns' cells. Formulas,
styles, number formats, widths, other sheets and defined names stay as they
were, because they are never read.

Bounded memory: a member that inflates past `MAX_RATIO` times its compressed
size (and past `RATIO_FLOOR`) is refused while it inflates, and so is a row
longer than `MAX_ROW_BYTES` or a cell longer than the format's 32,767
characters.
"""

from __future__ import annotations

import codecs
import csv
import datetime
import io
import os
import re
import shutil
import sys
import tempfile
import zipfile
import zlib
from array import array
from typing import (
    IO,
    Any,
    BinaryIO,
    Callable,
    Dict,
    Generator,
    Iterable,
    Iterator,
    List,
    Match,
    Optional,
    Pattern,
    Sequence,
    Tuple,
    Union,
)

from ._tables import CleanOptions, CleanResult, InputError, shown_path, unreadable
from ._tevora import key_strings, parse_many, store_form_many

__all__ = [
    "open_table",
    "clean_to_workbook",
    "XlsxTable",
    "WorkbookWriter",
    "inline_cell",
    "MAX_ROWS",
    "MAX_COLUMNS",
    "MAX_TEXT",
]

# The format's own limits.
MAX_ROWS = 1_048_576
MAX_COLUMNS = 16_384
MAX_TEXT = 32_767
# Inflating stops at this many times the member's compressed size, once past the floor:
# sheet XML compresses 5 to 30 times, whitespace and repeated cells about a thousand.
MAX_RATIO = 250
RATIO_FLOOR = 64 << 20
# One row's XML: 16,384 cells of a few dozen bytes fit many times over; anything longer
# is a single huge cell or not a sheet.
MAX_ROW_BYTES = 16 << 20
# Workbook parts read whole (workbook, relationships, styles): a real one is kilobytes.
MAX_PART_BYTES = 64 << 20
READ_BYTES = 1 << 20
MAX_NUMBER_BYTES = 64
# Cells handed to the report, or rows held by clean, at a time; and their text in bytes.
CHUNK_CELLS = 1 << 16
CHUNK_BYTES = 8 << 20

MAIN_NS = b"http://schemas.openxmlformats.org/spreadsheetml/2006/main"
STRICT_NS = b"http://purl.oclc.org/ooxml/spreadsheetml/main"
WORKSHEET_TYPE = "/worksheet"
WINDOWS_EPOCH = datetime.datetime(1899, 12, 30)
MAC_EPOCH = datetime.datetime(1904, 1, 1)

# Built-in number formats that show dates or times (14-22 and 45-47 everywhere,
# the others in East Asian locales), elapsed times, and scientific notation.
DATE_FORMATS = frozenset([*range(14, 23), *range(27, 37), *range(45, 48), *range(50, 59), *range(71, 82)])
ELAPSED_FORMATS = frozenset([46])
SCIENTIFIC_FORMATS = frozenset([11, 48])
PLAIN, DATE, TIME, ELAPSED, SCIENTIFIC = range(5)

# Sheet cells that a spreadsheet turned into numbers through scientific notation
# keep six significant digits: 5.05294E+12 is stored as 5052940000000.
LOST_DIGITS_MIN = 10**7
LOST_DIGITS_SIGNIFICANT = 6
LOST_DIGITS_REASON = "lost_digits"
LOST_DIGITS_MESSAGE = "probably lost digits in scientific notation; kept as it was (--trust-numbers rewrites it)"

Cell = Any  # str, int, float, bool or None, as the column functions take them
Source = Union[str, "os.PathLike[str]", BinaryIO]


# ---- Zip members -------------------------------------------------------------------


class _Member:
    """A zip member inflated a block at a time, refused once it inflates like a bomb."""

    def __init__(self, book: "_Book", info: zipfile.ZipInfo) -> None:
        self.book, self.info = book, info
        compressed = max(1, min(info.compress_size, book.size or info.compress_size))
        self.limit = max(RATIO_FLOOR, MAX_RATIO * compressed)
        self.inflated = 0
        self._file = book.call(lambda: book.zip.open(info))

    def read(self) -> bytes:
        data: bytes = self.book.call(lambda: self._file.read(READ_BYTES))
        self.inflated += len(data)
        if self.inflated > self.limit:
            raise InputError(
                f"{self.book.path}: {self.info.filename} inflates to more than {MAX_RATIO} times its "
                f"compressed size ({self.inflated >> 20:,} MB so far); refused as a zip bomb"
            )
        return data

    def read_all(self) -> bytes:
        parts: List[bytes] = []
        total = 0
        while True:
            data = self.read()
            if not data:
                return b"".join(parts)
            total += len(data)
            if total > MAX_PART_BYTES:
                raise InputError(f"{self.book.path}: {self.info.filename} is larger than {MAX_PART_BYTES >> 20} MB")
            parts.append(data)

    def close(self) -> None:
        self._file.close()


class _Book:
    """The zip, and the workbook parts every sheet needs: which sheet is where, styles, shared strings."""

    def __init__(self, source: Source, path: str) -> None:
        self.path = path
        self.size = 0
        try:
            self.zip = zipfile.ZipFile(source)
        except OSError as error:
            raise unreadable(path, error) from None
        except (zipfile.BadZipFile, ValueError, EOFError) as error:
            if _starts_with(source, OLE_MAGIC):
                raise InputError(
                    f"{path}: not a zip but an OLE file: a password-protected workbook, or an .xls renamed; "
                    "save it from a spreadsheet as .xlsx without a password, or as CSV"
                ) from None
            raise InputError(f"{path}: not a readable .xlsx workbook ({error or 'not a zip file'})") from None
        try:
            fp = self.zip.fp
            if fp is not None:
                self.size = os.fstat(fp.fileno()).st_size
        except (OSError, AttributeError, ValueError, io.UnsupportedOperation):
            self.size = 0

    def call(self, function: Callable[[], Any]) -> Any:
        """Runs a zip operation, its failures as one line."""
        try:
            return function()
        except InputError:
            raise
        except MemoryError:
            raise InputError(f"{self.path}: out of memory") from None
        except (zipfile.BadZipFile, zlib.error, EOFError, NotImplementedError, RuntimeError, ValueError) as error:
            raise InputError(f"{self.path}: not a readable .xlsx workbook ({error})") from None
        except OSError as error:
            raise InputError(f"{self.path}: cannot read: {error.strerror or error}") from None

    def info(self, name: str) -> Optional[zipfile.ZipInfo]:
        try:
            return self.zip.getinfo(name)
        except KeyError:
            return None

    def part(self, name: str) -> Optional[bytes]:
        info = self.info(name)
        if info is None:
            return None
        member = _Member(self, info)
        try:
            data = member.read_all()
        finally:
            member.close()
        if b"<!DOCTYPE" in data or b"<!ENTITY" in data:
            raise InputError(f"{self.path}: {name} declares a document type; refused (a workbook has none)")
        return data

    def close(self) -> None:
        self.zip.close()


OLE_MAGIC = b"\xd0\xcf\x11\xe0\xa1\xb1\x1a\xe1"


def _starts_with(source: Source, magic: bytes) -> bool:
    try:
        if hasattr(source, "read"):
            source.seek(0)  # type: ignore[union-attr]
            return bool(source.read(len(magic)) == magic)
        with open(source, "rb") as file:
            return file.read(len(magic)) == magic
    except (OSError, ValueError):
        return False


def _attributes(tag: bytes) -> Dict[bytes, bytes]:
    """A start tag's attributes by local name, their values unescaped."""
    return {
        m.group(1): _unescape_bytes(m.group(2) if m.group(2) is not None else m.group(3))
        for m in ATTRIBUTE.finditer(tag)
    }


ATTRIBUTE = re.compile(rb'(?:[\w.-]+:)?([\w.-]+)\s*=\s*(?:"([^"]*)"|\'([^\']*)\')')
ENTITY = re.compile(rb"&(#x[0-9a-fA-F]{1,8}|#[0-9]{1,10}|amp|lt|gt|quot|apos);")
NAMED = {b"amp": b"&", b"lt": b"<", b"gt": b">", b"quot": b'"', b"apos": b"'"}


def _unescape_bytes(text: bytes) -> bytes:
    if b"&" not in text:
        return text

    def entity(m: Match[bytes]) -> bytes:
        name = m.group(1)
        if name.startswith(b"#x"):
            return chr(int(name[2:], 16)).encode("utf-8", "surrogatepass")
        if name.startswith(b"#"):
            return chr(int(name[1:])).encode("utf-8", "surrogatepass")
        return NAMED[name]

    try:
        return ENTITY.sub(entity, text)
    except (ValueError, OverflowError):
        return text


def _elements(xml: bytes, name: bytes) -> Iterator[Dict[bytes, bytes]]:
    """The attributes of every element of this local name, in document order."""
    for m in re.finditer(rb"<(?:[\w.-]+:)?" + name + rb"\b([^>]*)>", xml):
        yield _attributes(m.group(1))


# ---- Styles and cell values --------------------------------------------------------


def _format_kind(code: str) -> int:
    """What a custom number format shows: a date, a time of day, an elapsed time, scientific notation, or a number."""
    # Quoted text, escaped and padding characters, and colours or conditions say nothing.
    bare = re.sub(r'"[^"]*"|\\.|_.|\*.', "", code)
    elapsed = re.search(r"\[(?:h+|m+|s+)\]", bare, re.I) is not None
    bare = re.sub(r"\[[^\]]*\]", "", bare).split(";")[0]
    if elapsed:
        return ELAPSED
    if re.search(r"[dy]", bare, re.I):
        return DATE
    if re.search(r"[hs]", bare, re.I) or re.search(r"m", bare, re.I) and re.search(r"[hs:]", bare, re.I):
        return TIME
    if re.search(r"m", bare, re.I):
        return DATE  # months: "mmm-yy" has a y, "mmmm" alone is still a month
    if re.search(r"[eE][+-]", bare):
        return SCIENTIFIC
    return PLAIN


def _style_kinds(styles: Optional[bytes]) -> List[int]:
    """The kind of number format of each cell style, by the style's index."""
    if styles is None:
        return []
    custom: Dict[int, int] = {}
    for attributes in _elements(styles, b"numFmt"):
        try:
            custom[_index(attributes.get(b"numFmtId", b""))] = _format_kind(
                attributes.get(b"formatCode", b"").decode("utf-8", "replace")
            )
        except ValueError:
            continue
    found = re.search(rb"<(?:[\w.-]+:)?cellXfs\b[^>]*>(.*?)</(?:[\w.-]+:)?cellXfs>", styles, re.S)
    if found is None:
        return []
    kinds = []
    for attributes in _elements(found.group(1), b"xf"):
        try:
            number = _index(attributes.get(b"numFmtId", b"0"))
        except ValueError:
            number = 0
        if number in custom:
            kinds.append(custom[number])
        elif number in ELAPSED_FORMATS:
            kinds.append(ELAPSED)
        elif number in (18, 19, 20, 21, 45, 47):
            kinds.append(TIME)
        elif number in DATE_FORMATS:
            kinds.append(DATE)
        elif number in SCIENTIFIC_FORMATS:
            kinds.append(SCIENTIFIC)
        else:
            kinds.append(PLAIN)
    return kinds


def _as_date(value: float, kind: int, epoch: datetime.datetime) -> Cell:
    """A date cell as the text of the Python value a spreadsheet library gives for it."""
    try:
        if kind == ELAPSED:
            return str(datetime.timedelta(days=value))
        day, fraction = divmod(value, 1)
        diff = datetime.timedelta(milliseconds=round(fraction * 86_400_000))
        if 0 <= value < 1 and diff.days == 0:
            return str((datetime.datetime.min + diff).time())
        if 0 < value < 60 and epoch == WINDOWS_EPOCH:
            day += 1  # the serials before the 1900 leap day that never was
        return str(epoch + datetime.timedelta(days=day) + diff)
    except (OverflowError, ValueError):
        return value  # no date this far out: the number it is


UNDERSCORE_ESCAPE = re.compile(r"_x([0-9A-Fa-f]{4})_")
WHOLE_NUMBER = re.compile(rb"-?\d+")


def _text(raw: bytes, where: Callable[[], str], path: str) -> str:
    if b"&" in raw:
        raw = _unescape_bytes(raw)
    try:
        text = raw.decode("utf-8")
    except UnicodeDecodeError:
        raise InputError(f"{path}: {where()}: not valid UTF-8") from None
    if "_x" in text:
        text = UNDERSCORE_ESCAPE.sub(lambda m: chr(int(m.group(1), 16)), text)
    if len(text) > MAX_TEXT:
        raise InputError(f"{path}: {where()} holds {len(text):,} characters, more than a cell can ({MAX_TEXT:,})")
    return text


def _number(text: bytes) -> Union[int, float]:
    # A spreadsheet writes at most 17 significant digits; a longer number is not one, and
    # reading millions of digits as an int takes minutes before Python 3.11.
    if len(text) > MAX_NUMBER_BYTES:
        raise ValueError(text[:20])
    if WHOLE_NUMBER.fullmatch(text):
        return int(text)
    number = float(text)
    return None if number != number else number  # type: ignore[return-value]  # NaN is an empty cell


def _index(text: bytes) -> int:
    if len(text) > MAX_NUMBER_BYTES:
        raise ValueError(text[:20])
    return int(text)


def _style(text: Optional[bytes]) -> int:
    """A cell's style index; a missing or malformed one is the default style, 0."""
    return int(text) if text and len(text) < 10 and text.isdigit() else 0


def lost_digits(value: Cell, style_kind: int) -> bool:
    """A number a spreadsheet probably rounded to scientific notation's six significant digits."""
    if isinstance(value, bool) or not isinstance(value, (int, float)):
        return False
    if style_kind == SCIENTIFIC:
        return True
    if isinstance(value, float):
        if not value.is_integer():
            return False
        value = int(value)
    if value % 10:
        return False
    value = abs(value)
    if value < LOST_DIGITS_MIN:
        return False
    digits = str(value)
    return len(digits.rstrip("0")) <= LOST_DIGITS_SIGNIFICANT


# ---- Column letters ----------------------------------------------------------------

_COLUMNS: Dict[bytes, int] = {}


def column_index(letters: bytes) -> int:
    """0 for A, 25 for Z, 26 for AA."""
    index = _COLUMNS.get(letters)
    if index is None:
        index = 0
        for letter in letters:
            index = index * 26 + (letter - 64)
        index -= 1
        if len(_COLUMNS) < 1 << 15:
            _COLUMNS[letters] = index
    return index


def column_letters(index: int) -> str:
    letters = ""
    index += 1
    while index:
        index, rest = divmod(index - 1, 26)
        letters = chr(65 + rest) + letters
    return letters


# ---- The sheet's XML -----------------------------------------------------------------


class _Grammar:
    """The regular expressions for a sheet whose main namespace has this prefix (b"" for the default)."""

    def __init__(self, prefix: bytes) -> None:
        p = re.escape(prefix + b":") if prefix else b""
        self.prefix = prefix + b":" if prefix else b""
        self.sheet_data = re.compile(rb"<" + p + rb"sheetData\b[^>]*?(/?)>")
        # A row, or the end of the sheet's data.
        self.row = re.compile(
            rb"<" + p + rb"row\b([^>]*?)(?:/>|>(.*?)</" + p + rb"row>)|(</" + p + rb"sheetData>)", re.S
        )
        self.cell = re.compile(rb"<" + p + rb"c\b([^>]*?)(?:/>|>(.*?)</" + p + rb"c>)", re.S)
        self.value = re.compile(rb"<" + p + rb"v(?:\s[^>]*)?(?:/>|>(.*?)</" + p + rb"v>)", re.S)
        self.formula = re.compile(rb"<" + p + rb"f\b")
        self.inline = re.compile(rb"<" + p + rb"is\b[^>]*>(.*?)</" + p + rb"is>", re.S)
        self.phonetic = re.compile(rb"<" + p + rb"rPh\b.*?</" + p + rb"rPh>", re.S)
        self.text = re.compile(rb"<" + p + rb"t(?:\s[^>]*)?(?:/>|>(.*?)</" + p + rb"t>)", re.S)
        # Attributes in the order every known writer puts them.
        self.usual = re.compile(rb'\s+r="([A-Z]{1,3})(\d+)"(?:\s+s="(\d+)")?(?:\s+t="(\w+)")?\s*')
        self.cell_start = b"<" + self.prefix + b"c"
        self.cell_with_ref = b"<" + self.prefix + b'c r="'
        self.row_end = b"</" + self.prefix + b"row>"

    def target(self, letters: bytes) -> Pattern[bytes]:
        """The cell of one column in a row whose cells all lead with their reference."""
        p = re.escape(self.prefix)
        return re.compile(
            rb"<"
            + p
            + rb'c r="'
            + letters
            + rb'(\d+)"(?:\s+s="(\d+)")?(?:\s+t="(\w+)")?(\s+[^\s/>][^>]*?)?\s*(?:/>|>(.*?)</'
            + p
            + rb"c>)",
            re.S,
        )

    def all_referenced(self, content: bytes) -> bool:
        """Whether every cell of the row leads with its reference: then a column's cell is found by its letters."""
        # "<c" also starts <color> and <charset> in rich text: such a row takes the longer way.
        return content.count(self.cell_start) == content.count(self.cell_with_ref)


MERGED = re.compile(rb'<(?:[\w.-]+:)?mergeCell\s+ref="[A-Z]+\d+:([A-Z]+)\d+"')
SPANS = re.compile(rb'\bspans="(\d{1,9}):(\d{1,9})"')
ROW_NUMBER = re.compile(rb'\s+r="(\d{1,9})"')
ROOT_ANY = re.compile(rb"<(?:([\w.-]+):)?\w+\b([^>]*)>")
ROOT = re.compile(rb"<(?:([\w.-]+):)?worksheet\b([^>]*)>")


class CellInfo:
    """One cell as found in a row: column, style, type, contents (the bytes inside the element)."""

    __slots__ = ("column", "style", "type", "inner", "start", "end", "attributes")

    def __init__(
        self, column: int, style: int, type_: bytes, inner: Optional[bytes], start: int, end: int, attributes: bytes
    ) -> None:
        self.column, self.style, self.type, self.inner = column, style, type_, inner
        self.start, self.end, self.attributes = start, end, attributes


def _shared_grammar(p: str) -> Tuple[Pattern[str], Pattern[str], Pattern[str]]:
    """Shared string items, their text runs and phonetic runs, for the namespace prefix `p` ("x:")."""
    # Most items are one plain <t>; the others (rich text runs, phonetic runs) are read run by run.
    item = re.compile(
        f'<{p}si>(?:<{p}t(?: xml:space="preserve")?>([^<]*)</{p}t>|<{p}t/>|(.*?))</{p}si>|<{p}si/>',
        re.S,
    )
    text = re.compile(f"<{p}t(?:\\s[^>]*)?(?:/>|>(.*?)</{p}t>)", re.S)
    phonetic = re.compile(f"<{p}rPh\\b.*?</{p}rPh>", re.S)
    return item, text, phonetic


class SharedStrings:
    """A workbook's shared strings, kept as a few long texts and their offsets: a million
    strings cost their characters and eight bytes each, not a Python object each."""

    BLOCK = 4096

    def __init__(self) -> None:
        self._blocks: List[str] = []
        self._offsets: List["array[int]"] = []
        self._items: List[str] = []

    def append(self, text: str) -> None:
        self._items.append(text)
        if len(self._items) == self.BLOCK:
            self.seal()

    def seal(self) -> None:
        """Packs the strings appended since the last block."""
        if not self._items:
            return
        offsets = array("Q", [0])
        total = 0
        for text in self._items:
            total += len(text)
            offsets.append(total)
        self._blocks.append("".join(self._items))
        self._offsets.append(offsets)
        self._items = []

    def __len__(self) -> int:
        return len(self._blocks) * self.BLOCK + len(self._items)

    def __getitem__(self, index: int) -> str:
        if index < 0:
            raise IndexError(index)
        block, k = divmod(index, self.BLOCK)
        if block < len(self._blocks):
            offsets = self._offsets[block]
            if k + 1 < len(offsets):
                return self._blocks[block][offsets[k] : offsets[k + 1]]
            raise IndexError(index)
        return self._items[index - len(self._blocks) * self.BLOCK]


class XlsxTable:
    """One worksheet of a workbook (the first, unless named)."""

    unit = "B"
    output_formats = ("xlsx", "csv")

    def __init__(self, source: Source, path: str, sheet: Optional[str] = None) -> None:
        self.path = path
        self._book = _Book(source, self.path)
        try:
            self._open(sheet)
        except BaseException:
            self._book.close()
            raise

    def _open(self, wanted: Optional[str]) -> None:
        book = self._book
        workbook = book.part("xl/workbook.xml")
        if workbook is None:
            raise InputError(f"{self.path}: not a readable .xlsx workbook (it has no xl/workbook.xml)")
        relations = {
            a.get(b"Id", b""): (a.get(b"Target", b""), a.get(b"Type", b""))
            for a in _elements(book.part("xl/_rels/workbook.xml.rels") or b"", b"Relationship")
        }
        sheets: List[Tuple[str, str]] = []
        for attributes in _elements(workbook, b"sheet"):
            target, kind = relations.get(attributes.get(b"id", b""), (b"", b""))
            if target and kind.decode("utf-8", "replace").endswith(WORKSHEET_TYPE):
                sheets.append((attributes.get(b"name", b"").decode("utf-8", "replace"), _part_name(target)))
        if not sheets:
            raise InputError(f"{self.path}: the workbook has no worksheet")
        if wanted is None:
            self.sheet_title, self._sheet_name = sheets[0]
        else:
            chosen = [s for s in sheets if s[0] == wanted] or [
                s for s in sheets if s[0].casefold() == wanted.casefold()
            ]
            if not chosen:
                names = ", ".join(f'"{name}"' for name, _ in sheets)
                raise InputError(f'{self.path}: no sheet "{wanted}"; the sheets are {names}')
            self.sheet_title, self._sheet_name = chosen[0]
        info = book.info(self._sheet_name)
        if info is None:
            raise InputError(f"{self.path}: not a readable .xlsx workbook (no {self._sheet_name})")
        self._sheet_info = info
        self.total = info.file_size
        properties = next(_elements(workbook, b"workbookPr"), {})
        self._epoch = MAC_EPOCH if properties.get(b"date1904", b"") in (b"1", b"true") else WINDOWS_EPOCH

        def related(kind: bytes, usual: str) -> str:
            return next((_part_name(t) for t, k in relations.values() if k.endswith(kind)), usual)

        self._kinds = _style_kinds(book.part(related(b"/styles", "xl/styles.xml")))
        self._shared: Optional[SharedStrings] = None
        self._shared_name = related(b"/sharedStrings", "xl/sharedStrings.xml")
        self._member: Optional[_Member] = None
        self._grammar: Optional[_Grammar] = None
        rows = self._rows()
        try:
            self.header_row, header = next(((n, cells) for n, cells, _ in rows), (0, []))
        finally:
            rows.close()
        if not header:
            raise InputError(f"{self.path}: the sheet {self.sheet_title!r} is empty")
        self.header_cells: List[Cell] = header
        self.header = ["" if v is None else str(v) for v in header]

    # ---- The protocol ------------------------------------------------------------

    def done(self) -> int:
        member = self._member
        return min(self.total, member.inflated) if member is not None else 0

    def sample(self, rows: int) -> List[List[Cell]]:
        found: List[List[Cell]] = []
        scan = self._rows()
        try:
            for number, cells, _ in scan:
                if number > self.header_row:
                    found.append(cells)
                    if len(found) >= rows:
                        break
        finally:
            scan.close()
        return found

    def check(self, index: int, report: Any, progress: Callable[[], None]) -> None:
        add = _adder(report)
        first, cells, lost, size = 0, [], [], 0  # type: int, List[Cell], List[int], int

        def flush() -> None:
            if cells:
                add(first, cells, lost)

        for number, cell, kind, _ in self._column(index):
            if number != first + len(cells) or len(cells) >= CHUNK_CELLS or size > CHUNK_BYTES:
                flush()
                first, cells, lost, size = number, [], [], 0
                progress()
            if kind is not None and lost_digits(cell, kind):
                lost.append(len(cells))
            cells.append(cell)
            if isinstance(cell, str):
                size += len(cell)
        flush()
        progress()

    def clean(self, index: int, out: BinaryIO, options: CleanOptions, progress: Callable[[], None]) -> CleanResult:
        if options.output_format == "xlsx":
            return _Editor(self, index, out, options, progress).run()
        if options.output_format == "csv":
            return self._clean_to_csv(index, out, options, progress)
        raise InputError(f"{self.path}: a workbook is written as .xlsx or CSV, not as {options.output_format}")

    def close(self) -> None:
        if self._member is not None:
            self._member.close()
            self._member = None
        self._book.close()

    # ---- Reading -----------------------------------------------------------------

    def shared_strings(self) -> "SharedStrings":
        """The workbook's shared strings, read once, when a cell first needs one."""
        if self._shared is None:
            info = self._book.info(self._shared_name)
            self._shared = SharedStrings()
            if info is not None:
                member = _Member(self._book, info)
                try:
                    self._read_shared(member, self._shared)
                finally:
                    member.close()
        return self._shared

    def _read_shared(self, member: _Member, found: "SharedStrings") -> None:
        """Streams the shared strings part into `found`."""
        decoder = codecs.getincrementaldecoder("utf-8")()
        name = self._shared_name
        buffer = ""
        item: Optional[Pattern[str]] = None
        while True:
            data = member.read()
            try:
                buffer += decoder.decode(data, final=not data)
            except UnicodeDecodeError:
                raise InputError(f"{self.path}: {name} is not valid UTF-8") from None
            if "<!" in buffer:
                raise InputError(f"{self.path}: {name} holds XML comments, CDATA or a document type; refused")
            if item is None:
                root = re.search(r"<(?:([\w.-]+):)?sst\b([^>]*)>", buffer)
                if root is None:
                    if not data or len(buffer) > MAX_PART_BYTES:
                        raise InputError(f"{self.path}: {name} is not a table of shared strings")
                    continue
                start = root.group(0).encode("utf-8")
                found_root = ROOT_ANY.match(start)
                assert found_root is not None
                prefix = _namespace_prefix(found_root.group(1), found_root.group(2)).decode("utf-8", "replace")
                item, text, phonetic = _shared_grammar(re.escape(prefix + ":") if prefix else "")
                buffer = buffer[root.end() :]
            end = 0
            for m in item.finditer(buffer):
                end = m.end()
                plain = m.group(1)
                if plain is None:
                    rich = m.group(2) or ""
                    if "rPh" in rich:
                        rich = phonetic.sub("", rich)
                    plain = "".join(t.group(1) or "" for t in text.finditer(rich))
                if "&" in plain:
                    plain = _unescape_bytes(plain.encode("utf-8")).decode("utf-8", "replace")
                if "_x" in plain:
                    plain = UNDERSCORE_ESCAPE.sub(lambda x: chr(int(x.group(1), 16)), plain)
                if len(plain) > MAX_TEXT:
                    raise InputError(
                        f"{self.path}: shared string {len(found)} holds {len(plain):,} characters, "
                        f"more than a cell can ({MAX_TEXT:,})"
                    )
                found.append(plain)
            buffer = buffer[end:].lstrip()
            if len(buffer) > MAX_ROW_BYTES:
                raise InputError(
                    f"{self.path}: shared string {len(found)} holds more than {MAX_TEXT:,} characters, "
                    "more than a cell can"
                )
            if not data:
                found.seal()
                return

    def _scan(self, keep: bool) -> Iterator[Tuple[bytes, Optional[Match[bytes]]]]:
        """The sheet's XML in pieces: (text, row), the text to copy as it is before the row.

        `keep`: whether the text matters (to write the sheet back); if not, only rows come."""
        if self._member is not None:
            self._member.close()
        member = self._member = _Member(self._book, self._sheet_info)

        def read_until(pattern: Pattern[bytes], buffer: bytes, missing: str) -> Tuple[Match[bytes], bytes]:
            """The first match of `pattern` in the sheet, read as far as it takes."""
            while True:
                found = pattern.search(buffer)
                if found is not None:
                    return found, buffer
                data = member.read()
                if not data or len(buffer) > MAX_PART_BYTES:
                    raise InputError(f"{self.path}: {self._sheet_name} {missing}")
                buffer += data

        found, buffer = read_until(ROOT, b"", "is not a worksheet")
        grammar = self._grammar = _Grammar(_namespace_prefix(found.group(1), found.group(2)))
        opening, buffer = read_until(grammar.sheet_data, buffer, "has no sheet data")
        self._refuse_markup(buffer)
        text = buffer[: opening.end()]
        buffer = buffer[opening.end() :]
        if opening.group(1) == b"/":  # <sheetData/>: no rows at all
            yield text + buffer, None
            yield from self._rest(member)
            return
        row_regex = grammar.row
        while True:
            end = 0
            for m in row_regex.finditer(buffer):
                start = m.start()
                if start != end:
                    gap = buffer[end:start]
                    if not gap.isspace():
                        raise InputError(
                            f"{self.path}: {self._sheet_name}: unexpected text in the sheet data: {_quoted(gap)}"
                        )
                    if keep:
                        text += gap
                if m.group(3) is not None:  # the end of the rows
                    yield (text + buffer[start:] if keep else b""), None
                    yield from self._rest(member)
                    return
                yield text, m
                text = b""
                end = m.end()
            buffer = buffer[end:]
            if buffer[:1].isspace():
                # Whitespace between rows is passed on at once: it may be most of a hostile file.
                rest = buffer.lstrip()
                if keep:
                    text += buffer[: len(buffer) - len(rest)]
                    if len(text) > READ_BYTES:
                        yield text, None
                        text = b""
                buffer = rest
            if len(buffer) > MAX_ROW_BYTES:
                self._refuse_long_row(buffer)
            data = member.read()
            if not data:
                raise InputError(f"{self.path}: {self._sheet_name} ends in the middle of its rows")
            buffer += data
            if b"<!" in buffer[-len(data) - 1 :]:  # the new data, and a "<" just before it
                self._refuse_markup(buffer)

    def _rest(self, member: _Member) -> Iterator[Tuple[bytes, Optional[Match[bytes]]]]:
        while True:
            data = member.read()
            if not data:
                return
            yield data, None

    def _refuse_markup(self, buffer: bytes) -> None:
        if b"<!" in buffer:
            raise InputError(
                f"{self.path}: {self._sheet_name} holds XML comments, CDATA or a document type, which no "
                "spreadsheet writes; save the workbook again from a spreadsheet"
            )

    def _refuse_long_row(self, buffer: bytes) -> None:
        assert self._grammar is not None
        opened = buffer.rfind(b"<" + self._grammar.prefix + b"c ")
        reference = re.match(rb'\s*r="([A-Z]+\d+)"', buffer[opened + 2 + len(self._grammar.prefix) :])
        if opened >= 0 and reference is not None and len(buffer) - opened > MAX_ROW_BYTES // 2:
            name = reference.group(1).decode("ascii")
            raise InputError(f"{self.path}: cell {name} holds more than {MAX_TEXT:,} characters, more than a cell can")
        row = re.search(rb'r="(\d+)"', buffer[:200])
        where = f"row {row.group(1).decode('ascii')}" if row else "a row"
        raise InputError(f"{self.path}: {where} is longer than {MAX_ROW_BYTES >> 20} MB of XML; refused")

    def _row_number(self, attributes: bytes, previous: int) -> int:
        found = re.search(rb'\br\s*=\s*["\']?(\d{1,9})\b', attributes)
        if found is None and re.search(rb"\br\s*=", attributes):
            raise InputError(f"{self.path}: {self._sheet_name}: a row numbered {_quoted(attributes)}, not a row number")
        number = int(found.group(1)) if found else previous + 1
        if number <= previous or number > MAX_ROWS:
            raise InputError(f"{self.path}: {self._sheet_name}: row {number} is out of order or past the last row")
        return number

    def _cells(self, content: bytes, number: int) -> Iterator[CellInfo]:
        """Every cell of a row, with its column worked out when it has no reference."""
        assert self._grammar is not None
        grammar, kinds = self._grammar, self._kinds
        column = -1
        for m in grammar.cell.finditer(content):
            attributes = m.group(1)
            usual = grammar.usual.fullmatch(attributes)
            if usual is not None:
                letters, style, type_ = usual.group(1), usual.group(3), usual.group(4) or b"n"
                column = column_index(letters)
            else:
                named = _attributes(attributes)
                reference = named.get(b"r")
                if reference:
                    letters_found = re.match(rb"([A-Z]{1,3})\d*$", reference)
                    if letters_found is None:
                        raise InputError(
                            f"{self.path}: row {number}: a cell's reference {_quoted(reference)} is not valid"
                        )
                    column = column_index(letters_found.group(1))
                else:
                    column += 1
                style, type_ = named.get(b"s"), named.get(b"t", b"n")
            if column >= MAX_COLUMNS:
                raise InputError(f"{self.path}: row {number}: a cell past the last column (XFD)")
            s = _style(style)
            yield CellInfo(
                column, kinds[s] if s < len(kinds) else PLAIN, type_, m.group(2), m.start(), m.end(), attributes
            )

    def _value(self, cell: CellInfo, number: int) -> Cell:
        """The cell's value as the column functions take it: dates as text, errors as their text."""
        inner, type_ = cell.inner, cell.type
        if not inner:
            return None
        assert self._grammar is not None
        grammar = self._grammar
        if type_ == b"inlineStr":
            found = grammar.inline.search(inner)
            if found is None:
                return None
            body = found.group(1)
            if b"rPh" in body:
                body = grammar.phonetic.sub(b"", body)
            return _text(
                b"".join(t.group(1) or b"" for t in grammar.text.finditer(body)), self._where(cell, number), self.path
            )
        value = grammar.value.search(inner)
        if value is None or not value.group(1):
            return None
        raw = value.group(1)
        try:
            if type_ == b"n":
                result = _number(raw.strip())
                if cell.style in (DATE, TIME, ELAPSED) and result is not None:
                    return _as_date(result, cell.style, self._epoch)
                return result
            if type_ == b"s":
                return self.shared_strings()[_index(raw)]
            if type_ == b"b":
                return raw.strip() in (b"1", b"true")
        except (ValueError, IndexError):
            raise InputError(
                f"{self.path}: {self._where(cell, number)()}: {_quoted(raw)} is not a valid value"
            ) from None
        return _text(raw, self._where(cell, number), self.path)  # str, e (an error's text), d (an ISO date)

    @staticmethod
    def _where(cell: CellInfo, number: int) -> Callable[[], str]:
        return lambda: f"cell {column_letters(cell.column)}{number}"

    def _rows(self, column: int = -1) -> Generator[Tuple[int, List[Cell], Optional[int]], None, None]:
        """Every row with cells: its number, its cells by column (None where there is none),
        and the number format kind of its cell in `column` when that cell is a number."""
        number = 0
        try:
            for _, m in self._scan(keep=False):
                if m is None:
                    continue
                number = self._row_number(m.group(1), number)
                content = m.group(2)
                if not content:
                    continue
                cells: List[Cell] = []
                kind: Optional[int] = None
                for cell in self._cells(content, number):
                    if cell.column >= len(cells):
                        cells.extend([None] * (cell.column - len(cells) + 1))
                    value = cells[cell.column] = self._value(cell, number)
                    if cell.column == column and cell.type == b"n" and isinstance(value, (int, float)):
                        kind = cell.style
                while cells and cells[-1] is None:
                    cells.pop()
                if cells:
                    yield number, cells, kind
        except MemoryError:
            raise InputError(f"{self.path}: out of memory at row {number:,}") from None

    def _target(self, index: int) -> Pattern[bytes]:
        assert self._grammar is not None
        return self._grammar.target(column_letters(index).encode("ascii"))

    def _locate(self, content: bytes, number: int, index: int, target: Pattern[bytes]) -> Optional[CellInfo]:
        """The row's cell in column `index`, found by its reference when every cell has one."""
        grammar = self._grammar
        assert grammar is not None
        if not grammar.all_referenced(content):
            return next((c for c in self._cells(content, number) if c.column == index), None)
        found = target.search(content)
        if found is None:
            return None
        if found.group(4):  # attributes besides s and t: read them all
            cell = next(self._cells(found.group(0), number))
            cell.start, cell.end = found.start(), found.end()
            return cell
        style = found.group(2)
        s = _style(style)
        kinds = self._kinds
        return CellInfo(
            index,
            kinds[s] if s < len(kinds) else PLAIN,
            found.group(3) or b"n",
            found.group(5),
            found.start(),
            found.end(),
            b' s="' + style + b'"' if style else b"",
        )

    def _column(self, index: int) -> Iterator[Tuple[int, Cell, Optional[int], Optional[CellInfo]]]:
        """Each data row's cell of one column: row number, value, number format kind (None if not a
        number), and where the cell is in the row's content."""
        target: Optional[Pattern[bytes]] = None
        number = 0
        header = self.header_row
        shared: Optional[SharedStrings] = None
        try:
            for _, m in self._scan(keep=False):
                if m is None:
                    continue
                attributes = m.group(1)
                found_number = ROW_NUMBER.match(attributes)
                if found_number is not None and number < int(found_number.group(1)) <= MAX_ROWS:
                    number = int(found_number.group(1))
                else:
                    number = self._row_number(attributes, number)
                content = m.group(2)
                if number <= header or not content:
                    continue
                if target is None:
                    target = self._target(index)
                cell = self._locate(content, number, index, target)
                if cell is None:
                    yield number, None, None, None
                    continue
                inner = cell.inner
                if inner is not None and inner[:3] == b"<v>" and inner[-4:] == b"</v>" and cell.type in (b"s", b"n"):
                    # A plain value, the common case, read here without the general path.
                    raw = inner[3:-4]
                    try:
                        if cell.type == b"s":
                            if shared is None:
                                shared = self.shared_strings()
                            yield number, shared[_index(raw)], None, cell
                            continue
                        if cell.style == PLAIN or cell.style == SCIENTIFIC:
                            value = _number(raw)
                            yield number, value, cell.style if value is not None else None, cell
                            continue
                    except (ValueError, IndexError):
                        pass  # the general path says what is wrong
                value = self._value(cell, number)
                numeric = cell.type == b"n" and value is not None and not isinstance(value, str)
                yield number, value, cell.style if numeric else None, cell
        except MemoryError:
            raise InputError(f"{self.path}: out of memory at row {number:,}") from None

    # ---- Workbook to CSV -------------------------------------------------------------

    def _clean_to_csv(
        self, index: int, out: BinaryIO, options: CleanOptions, progress: Callable[[], None]
    ) -> CleanResult:
        result = CleanResult()
        text = io.TextIOWrapper(out, encoding="utf-8", newline="", write_through=True)
        try:
            writer = csv.writer(text, lineterminator="\n")
            width = max(len(self.header_cells), index + 1)
            if options.added:
                width = max(width, self._last_column(merged=False) + 1)
            cleaner = _CellCleaner(options, result)
            writer.writerow(_padded(list(self.header_cells), width) + options.added)
            chunk: List[List[Cell]] = []
            kinds: List[Optional[int]] = []
            previous = self.header_row

            def flush() -> None:
                cells = [row[index] if index < len(row) else None for row in chunk]
                written, added = cleaner.clean(cells, kinds)
                for row, cell, extra in zip(chunk, written, added):
                    if index < len(row):
                        row[index] = cell
                    writer.writerow(_padded(row, width) + extra if options.added else row)
                chunk.clear()
                kinds.clear()
                progress()

            for number, cells, kind in self._rows(index):
                if number <= self.header_row:
                    continue
                for _ in range(number - previous - 1):  # a row the sheet leaves out is a blank line
                    chunk.append([])
                    kinds.append(None)
                    if len(chunk) >= CHUNK_CELLS:
                        flush()
                previous = number
                chunk.append(cells)
                kinds.append(kind)
                if len(chunk) >= CHUNK_CELLS:
                    flush()
            flush()
            text.flush()
        finally:
            text.detach()
        return result

    def _last_column(self, merged: bool = True) -> int:
        """The last column that any row uses, or any merged range when `merged` (the
        dimension a sheet declares may be wrong)."""
        last = 0
        number = 0
        tail = b""
        references: Optional[Pattern[bytes]] = None
        for text, m in self._scan(keep=True):
            if m is None:
                if not merged:
                    continue
                # Merged ranges come after the rows; a range's empty cells are still the range's.
                tail = tail[-64:] + text
                for found in MERGED.finditer(tail):
                    last = max(last, column_index(found.group(1)))
                continue
            number = self._row_number(m.group(1), number)
            content = m.group(2)
            if not content:
                continue
            assert self._grammar is not None
            if references is None:
                references = re.compile(rb"<" + re.escape(self._grammar.prefix) + rb'c r="([A-Z]+)')
            if self._grammar.all_referenced(content):
                letters = references.findall(content)
                if letters:
                    last = max(last, max(column_index(x) for x in set(letters)))
            else:
                for cell in self._cells(content, number):
                    last = max(last, cell.column)
        return last


def _quoted(data: bytes) -> str:
    """Some bytes of the file, quoted on one line."""
    return repr(data[:40].decode("utf-8", "backslashreplace"))


def _padded(row: List[Cell], width: int) -> List[Cell]:
    return row + [None] * (width - len(row)) if len(row) < width else row


def _part_name(target: bytes) -> str:
    """A relationship's target as a member name: relative to xl/ unless it starts at the root."""
    name = target.decode("utf-8", "replace")
    if name.startswith("/"):
        return name[1:]
    parts: List[str] = ["xl"]
    for piece in name.split("/"):
        if piece == "..":
            if parts:
                parts.pop()
        elif piece and piece != ".":
            parts.append(piece)
    return "/".join(parts)


def _namespace_prefix(prefix: Optional[bytes], attributes: bytes) -> bytes:
    """The prefix the sheet gives the spreadsheet namespace: b"" when it is the default one."""
    for m in re.finditer(rb'xmlns(?::([\w.-]+))?\s*=\s*["\']([^"\']*)["\']', attributes):
        if m.group(2) in (MAIN_NS, STRICT_NS) and m.group(1):
            return m.group(1)
        if m.group(2) in (MAIN_NS, STRICT_NS):
            return b""
    return prefix or b""


def _adder(report: Any) -> Callable[[int, List[Cell], List[int]], None]:
    """The report's way of taking a chunk: cells and lost digits when it can, parsed cells otherwise."""
    if hasattr(report, "tally"):
        return lambda first, cells, lost: report.add(first, cells, lost_digits=lost)
    return lambda first, cells, lost: report.add(first, parse_many(cells))


# ---- Cleaning ------------------------------------------------------------------------


class _CellCleaner:
    """What becomes of a chunk of the GTIN column: each cell's value to write, and the added columns."""

    def __init__(self, options: CleanOptions, result: CleanResult) -> None:
        self.options, self.result = options, result

    def clean(
        self, cells: List[Cell], kinds: Sequence[Optional[int]], frozen: Sequence[bool] = ()
    ) -> Tuple[List[Cell], List[List[str]]]:
        """`kinds`: each numeric cell's number format kind, None for others; `frozen`: cells
        never rewritten (formulas, booleans, errors)."""
        options, result = self.options, self.result
        stores, keys = store_form_many(cells), key_strings(cells)
        written: List[Cell] = []
        # Numbers that probably lost digits keep them lost: no key, and no store form unless trusted.
        doubtful = [k is not None and lost_digits(c, k) for c, k in zip(cells, kinds)]
        for j, cell in enumerate(cells):
            result.rows += 1
            if keys[j] is None or (frozen and frozen[j]) or (doubtful[j] and not options.trust_numbers):
                written.append(cell)
                result.kept += 1
                result.lost_digits += keys[j] is not None and doubtful[j] and not options.trust_numbers
            else:
                result.gtins += 1
                result.changed += stores[j] != cell
                written.append(stores[j])
        added: List[List[str]] = [[] for _ in cells]
        suspect = [d and not options.trust_numbers for d in doubtful]
        if options.key_column is not None:
            for j, extra in enumerate(added):
                extra.append("" if suspect[j] else keys[j] or "")
        if options.explain:
            refused = [j for j, k in enumerate(keys) if k is None]
            reasons = parse_many([cells[j] for j in refused])
            explained = {j: (p.reason or "", p.message or "") for j, p in zip(refused, reasons)}
            for j, extra in enumerate(added):
                if suspect[j] and keys[j] is not None:
                    extra.extend([LOST_DIGITS_REASON, LOST_DIGITS_MESSAGE])
                else:
                    extra.extend(explained.get(j, ("", "")))
        return written, added


# ---- Writing cells -------------------------------------------------------------------

CONTROL = re.compile("[\x00-\x08\x0b-\x1f\ufffe\uffff]|_(?=x[0-9A-Fa-f]{4}_)")
SURROGATE = re.compile("[\ud800-\udfff]")


def _escape(text: str) -> bytes:
    """Text as the content of a <t> element: XML-escaped, control characters in the format's _xHHHH_ escape."""
    if "&" in text or "<" in text or ">" in text:
        text = text.replace("&", "&amp;").replace("<", "&lt;").replace(">", "&gt;")
    text = CONTROL.sub(lambda m: f"_x{ord(m.group(0)):04X}_", text)
    if "\r" in text:
        text = text.replace("\r", "_x000D_")  # a parser would read a bare CR as a line feed
    return text.encode("utf-8", "surrogatepass" if not SURROGATE.search(text) else "replace")


def inline_cell(reference: str, text: str, style: Optional[bytes] = None, prefix: bytes = b"") -> bytes:
    """A text cell that is never a formula, whatever its text starts with; `prefix` is the
    sheet's for the spreadsheet namespace ("x:"), if it has one."""
    space = b' xml:space="preserve"' if text[:1].isspace() or text[-1:].isspace() else b""
    s = b' s="' + style + b'"' if style else b""
    p, r = prefix, reference.encode("ascii")
    return b'<%sc r="%s"%s t="inlineStr"><%sis><%st%s>%s</%st></%sis></%sc>' % (
        p,
        r,
        s,
        p,
        p,
        space,
        _escape(text),
        p,
        p,
        p,
    )


def _check_text(path: str, reference: str, text: str) -> None:
    if len(text) > MAX_TEXT:
        raise InputError(
            f"{path}: cell {reference} would hold {len(text):,} characters, more than a workbook cell can "
            f"({MAX_TEXT:,}); write CSV or Parquet instead"
        )


class _Editor:
    """The workbook written back: every member copied, the sheet with the GTIN column's cells rewritten."""

    def __init__(
        self, table: XlsxTable, index: int, out: BinaryIO, options: CleanOptions, progress: Callable[[], None]
    ) -> None:
        self.table, self.index, self.out, self.options, self.progress = table, index, out, options, progress
        self.result = CleanResult()
        self.cleaner = _CellCleaner(options, self.result)
        self.letters = column_letters(index)
        self.formulas = 0
        self.row = 0
        self.target: Optional[Pattern[bytes]] = None

    def run(self) -> CleanResult:
        table, options = self.table, self.options
        self.first_added = 0
        if options.added:
            for name in options.added:
                _check_text(table.path, "of the header", name)
            self.first_added = max(table._last_column(), len(table.header_cells) - 1) + 1
            if self.first_added + len(options.added) > MAX_COLUMNS:
                raise InputError(
                    f"{table.path}: the added columns would pass the last column a workbook has (XFD, "
                    f"{MAX_COLUMNS:,}); write CSV or Parquet instead"
                )
        book = table._book
        try:
            with zipfile.ZipFile(self.out, "w", zipfile.ZIP_DEFLATED) as written:
                for info in book.zip.infolist():
                    if info.filename == table._sheet_name:
                        self._write_sheet(written, info)
                    else:
                        self._copy(written, info)
        except (RuntimeError, zipfile.LargeZipFile) as error:
            raise InputError(f"{table.path}: cannot write the workbook: {error}") from None
        except MemoryError:
            raise InputError(f"{table.path}: out of memory at row {self.row:,}") from None
        if self.formulas:
            self.result.notes.append(f"{self.formulas:,} formula cells in the column kept as formulas")
        return self.result

    def _copy(self, written: zipfile.ZipFile, info: zipfile.ZipInfo) -> None:
        member = _Member(self.table._book, info)
        try:
            with written.open(_copied_info(info), "w", force_zip64=info.file_size > 1 << 30) as target:
                while True:
                    data = member.read()
                    if not data:
                        break
                    target.write(data)
        finally:
            member.close()

    @property
    def prefix(self) -> bytes:
        grammar = self.table._grammar
        return grammar.prefix if grammar is not None else b""

    def _write_sheet(self, written: zipfile.ZipFile, info: zipfile.ZipInfo) -> None:
        table = self.table
        with written.open(_copied_info(info), "w", force_zip64=True) as target:
            pending: List[Tuple[bytes, bytes, int, Optional[CellInfo], Cell]] = []
            size = 0
            number = 0
            head = True
            for text, m in table._scan(keep=True):
                if head:
                    text = self._dimension(text)
                    head = False
                if m is None:
                    if text:
                        if pending:
                            size = 0
                            self._flush(target, pending)
                        target.write(text)
                    continue
                number = self.row = table._row_number(m.group(1), number)
                cell, value = self._find(m, number)
                pending.append((text, m.group(0), number, cell, value))
                size += m.end() - m.start()
                if len(pending) >= CHUNK_CELLS or size > CHUNK_BYTES:
                    self._flush(target, pending)
                    size = 0
            self._flush(target, pending)

    def _dimension(self, head: bytes) -> bytes:
        """The declared used range widened by the added columns, when it spans the columns there are."""
        if not self.options.added:
            return head
        found = re.search(rb'(<(?:[\w.-]+:)?dimension\s+ref=")([A-Z]+)(\d+):([A-Z]+)(\d+)(")', head)
        if found is None or column_index(found.group(4)) != self.first_added - 1:
            return head
        last = column_letters(self.first_added + len(self.options.added) - 1).encode("ascii")
        return head[: found.start(4)] + last + head[found.end(4) :]

    def _find(self, m: Match[bytes], number: int) -> Tuple[Optional[CellInfo], Cell]:
        content = m.group(2)
        if number <= self.table.header_row or not content:
            return None, None
        if self.target is None:
            self.target = self.table._target(self.index)
        cell = self.table._locate(content, number, self.index, self.target)
        if cell is None:
            return None, None
        return cell, self.table._value(cell, number)

    def _flush(self, target: IO[bytes], pending: List[Tuple[bytes, bytes, int, Optional[CellInfo], Cell]]) -> None:
        if not pending:
            return
        header, grammar = self.table.header_row, self.table._grammar
        assert grammar is not None
        data = [p for p in pending if p[2] > header]
        cells = [p[4] for p in data]
        kinds: List[Optional[int]] = []
        frozen: List[bool] = []
        for _, _, _, cell, value in data:
            formula = cell is not None and cell.inner is not None and grammar.formula.search(cell.inner) is not None
            self.formulas += formula
            # Formulas, booleans, errors and ISO dates stay what they are, whatever they read as.
            frozen.append(cell is None or formula or cell.type not in (b"n", b"s", b"str", b"inlineStr"))
            numeric = cell is not None and cell.type == b"n" and isinstance(value, (int, float))
            kinds.append(cell.style if numeric and cell is not None else None)
        new, added = self.cleaner.clean(cells, kinds, frozen)
        j = 0
        out: List[bytes] = []
        for text, row, number, cell, value in pending:
            out.append(text)
            if number <= header:
                out.append(self._with_added(row, number, self.options.added) if number == header else row)
                continue
            written = new[j]
            if cell is not None and isinstance(written, str) and (written != value or cell.type == b"n"):
                row = self._rewrite(row, cell, number, written)
            out.append(self._with_added(row, number, added[j]) if self.options.added else row)
            j += 1
        target.write(b"".join(out))
        pending.clear()
        self.progress()

    def _rewrite(self, row: bytes, cell: CellInfo, number: int, text: str) -> bytes:
        style = re.search(rb'\bs\s*=\s*["\'](\d+)["\']', cell.attributes)
        # The row's content starts after its start tag.
        start = row.index(b">") + 1
        return (
            row[: start + cell.start]
            + inline_cell(f"{self.letters}{number}", text, style.group(1) if style else None, self.prefix)
            + row[start + cell.end :]
        )

    def _with_added(self, row: bytes, number: int, values: Sequence[str]) -> bytes:
        cells = b"".join(
            inline_cell(f"{column_letters(self.first_added + k)}{number}", value, None, self.prefix)
            for k, value in enumerate(values)
            if value
        )
        if not cells:
            return row
        assert self.table._grammar is not None
        end_tag = self.table._grammar.row_end
        start_end = row.index(b">")
        start_tag = row[: start_end + 1]
        spans = SPANS.search(start_tag)
        if spans is not None:
            high = max(int(spans.group(2)), self.first_added + len(values))
            start_tag = start_tag[: spans.start(2)] + str(high).encode("ascii") + start_tag[spans.end(2) :]
        if row.endswith(b"/>") and start_end == len(row) - 1:
            return start_tag[:-2].rstrip() + b">" + cells + end_tag
        return start_tag + row[start_end + 1 : len(row) - len(end_tag)] + cells + end_tag


def _copied_info(info: zipfile.ZipInfo) -> zipfile.ZipInfo:
    copy = zipfile.ZipInfo(info.filename, date_time=info.date_time)
    copy.compress_type = zipfile.ZIP_DEFLATED if info.compress_type != zipfile.ZIP_STORED else zipfile.ZIP_STORED
    copy.external_attr = info.external_attr
    copy.create_system = info.create_system
    copy.comment = info.comment
    return copy


# ---- A new workbook ------------------------------------------------------------------

CONTENT_TYPES = b"""<?xml version="1.0" encoding="UTF-8" standalone="yes"?>
<Types xmlns="http://schemas.openxmlformats.org/package/2006/content-types"><Default Extension="rels" ContentType="application/vnd.openxmlformats-package.relationships+xml"/><Default Extension="xml" ContentType="application/xml"/><Override PartName="/xl/workbook.xml" ContentType="application/vnd.openxmlformats-officedocument.spreadsheetml.sheet.main+xml"/><Override PartName="/xl/worksheets/sheet1.xml" ContentType="application/vnd.openxmlformats-officedocument.spreadsheetml.worksheet+xml"/><Override PartName="/xl/styles.xml" ContentType="application/vnd.openxmlformats-officedocument.spreadsheetml.styles+xml"/></Types>"""
ROOT_RELS = b"""<?xml version="1.0" encoding="UTF-8" standalone="yes"?>
<Relationships xmlns="http://schemas.openxmlformats.org/package/2006/relationships"><Relationship Id="rId1" Type="http://schemas.openxmlformats.org/officeDocument/2006/relationships/officeDocument" Target="xl/workbook.xml"/></Relationships>"""
WORKBOOK_RELS = b"""<?xml version="1.0" encoding="UTF-8" standalone="yes"?>
<Relationships xmlns="http://schemas.openxmlformats.org/package/2006/relationships"><Relationship Id="rId1" Type="http://schemas.openxmlformats.org/officeDocument/2006/relationships/worksheet" Target="worksheets/sheet1.xml"/><Relationship Id="rId2" Type="http://schemas.openxmlformats.org/officeDocument/2006/relationships/styles" Target="styles.xml"/></Relationships>"""
STYLES = b"""<?xml version="1.0" encoding="UTF-8" standalone="yes"?>
<styleSheet xmlns="http://schemas.openxmlformats.org/spreadsheetml/2006/main"><fonts count="1"><font><sz val="11"/><name val="Calibri"/></font></fonts><fills count="2"><fill><patternFill patternType="none"/></fill><fill><patternFill patternType="gray125"/></fill></fills><borders count="1"><border><left/><right/><top/><bottom/><diagonal/></border></borders><cellStyleXfs count="1"><xf numFmtId="0" fontId="0" fillId="0" borderId="0"/></cellStyleXfs><cellXfs count="1"><xf numFmtId="0" fontId="0" fillId="0" borderId="0" xfId="0"/></cellXfs><cellStyles count="1"><cellStyle name="Normal" xfId="0" builtinId="0"/></cellStyles></styleSheet>"""


def _xml_attribute(text: str) -> str:
    return text.replace("&", "&amp;").replace("<", "&lt;").replace('"', "&quot;")


class WorkbookWriter:
    """A new workbook of one sheet, every cell text (never a formula), written as rows come.

    Past the format's limits (rows, columns, characters in a cell) it raises InputError
    naming the limit and suggesting CSV or Parquet; the caller drops the partial output."""

    def __init__(self, out: BinaryIO, path: str, title: str = "Sheet1") -> None:
        self.path = path
        # Sheet names: at most 31 characters, none of []:*?/\ .
        title = re.sub(r"[\[\]:*?/\\\x00-\x1f]", "_", title)[:31] or "Sheet1"
        self._zip = zipfile.ZipFile(out, "w", zipfile.ZIP_DEFLATED)
        self._zip.writestr("[Content_Types].xml", CONTENT_TYPES)
        self._zip.writestr("_rels/.rels", ROOT_RELS)
        self._zip.writestr(
            "xl/workbook.xml",
            '<?xml version="1.0" encoding="UTF-8" standalone="yes"?>\n'
            '<workbook xmlns="http://schemas.openxmlformats.org/spreadsheetml/2006/main" '
            'xmlns:r="http://schemas.openxmlformats.org/officeDocument/2006/relationships">'
            f'<sheets><sheet name="{_xml_attribute(title)}" sheetId="1" r:id="rId1"/></sheets></workbook>',
        )
        self._zip.writestr("xl/_rels/workbook.xml.rels", WORKBOOK_RELS)
        self._zip.writestr("xl/styles.xml", STYLES)
        self._sheet = self._zip.open("xl/worksheets/sheet1.xml", "w", force_zip64=True)
        self._sheet.write(
            b'<?xml version="1.0" encoding="UTF-8" standalone="yes"?>\n'
            b'<worksheet xmlns="http://schemas.openxmlformats.org/spreadsheetml/2006/main"><sheetData>'
        )
        self.rows = 0
        self._letters: List[str] = []

    def append(self, cells: Sequence[Optional[str]]) -> None:
        if self.rows >= MAX_ROWS:
            raise InputError(
                f"{self.path}: more than {MAX_ROWS:,} rows, more than a workbook sheet holds; write CSV or Parquet instead"
            )
        if len(cells) > MAX_COLUMNS:
            raise InputError(
                f"{self.path}: row {self.rows + 1} has {len(cells):,} cells, more than a workbook sheet's "
                f"{MAX_COLUMNS:,} columns; write CSV or Parquet instead"
            )
        self.rows += 1
        letters = self._letters
        while len(letters) < len(cells):
            letters.append(column_letters(len(letters)))
        number = str(self.rows)
        parts = [b'<row r="' + number.encode("ascii") + b'">']
        for k, cell in enumerate(cells):
            if cell:
                text = str(cell)
                _check_text(self.path, f"{letters[k]}{number}", text)
                parts.append(inline_cell(letters[k] + number, text))
        parts.append(b"</row>")
        self._sheet.write(b"".join(parts))

    def close(self) -> None:
        """Finishes the workbook (its sheet's end and the zip's directory)."""
        self._sheet.write(b"</sheetData></worksheet>")
        self._sheet.close()
        self._zip.close()


def clean_to_workbook(
    rows: Iterable[Sequence[Optional[str]]],
    header: Sequence[str],
    index: int,
    out: BinaryIO,
    options: CleanOptions,
    path: str,
    progress: Callable[[], None] = lambda: None,
    width: int = 0,
) -> CleanResult:
    """Text rows (a CSV file's, after its header) cleaned into a new workbook of one sheet:
    every cell text, never a formula. The added columns start at column `width` (the
    header's width by default), the same for every row; a row wider than that, when
    columns are added, is refused rather than have its keys land under another column."""
    result = CleanResult()
    cleaner = _CellCleaner(options, result)
    writer = WorkbookWriter(out, path)
    width = max(width, len(header), index + 1)
    writer.append(list(header) + [None] * (width - len(header)) + list(options.added))
    chunk: List[Sequence[Optional[str]]] = []

    def flush() -> None:
        cells: List[Cell] = [row[index] if index < len(row) else None for row in chunk]
        written, added = cleaner.clean(cells, [None] * len(cells))
        for row, cell, extra in zip(chunk, written, added):
            cells_out: List[Optional[str]] = list(row)
            if index < len(cells_out):
                cells_out[index] = cell
            if options.added:
                if len(cells_out) > width:
                    raise InputError(
                        f"{path}: row {writer.rows + 1} has {len(cells_out):,} cells, more than the header's "
                        f"{width:,}, and the added columns would not line up; write CSV, which pads such rows"
                    )
                if any(extra):
                    cells_out += [None] * (width - len(cells_out))
                    cells_out += [x or None for x in extra]
            writer.append(cells_out)
        chunk.clear()
        progress()

    for row in rows:
        chunk.append(row)
        if len(chunk) >= CHUNK_CELLS:
            flush()
    flush()
    writer.close()
    return result


def open_table(path: str, encoding: Optional[str] = None, sheet: Optional[str] = None, **_: Any) -> XlsxTable:
    """The sheet (the first unless named) of the workbook at `path`; "-" reads one from stdin.

    `encoding` is for text files: a workbook says its own."""
    if path != "-":
        return XlsxTable(path, shown_path(path), sheet)
    # A zip is read from its end: stdin goes to a temporary file first.
    spool = tempfile.TemporaryFile()
    try:
        shutil.copyfileobj(sys.stdin.buffer, spool, READ_BYTES)
        spool.seek(0)
        return XlsxTable(spool, shown_path(path), sheet)
    except OSError as error:
        spool.close()
        raise InputError(f"stdin: cannot read: {error.strerror or error}") from None
    except BaseException:
        spool.close()
        raise
