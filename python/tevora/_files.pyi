"""tevora over files: the report's tally and the CSV scanner, in C++ with no Python object per row."""

from typing import Any, Dict, List, Optional, Sequence, Tuple, final

# One problem cell for `check --rows-csv`: row, raw text, refusal reason ("" for
# a GTIN), message ("" for a GTIN), flags (names joined by spaces, from
# "wrong_check_digit", "looks_like_internal_code", "measure_field_looks_zeroed",
# "restricted_circulation", "publication_or_coupon", "lost_digits").
Problem = Tuple[int, str, str, str, str]

@final
class Tally:
    """Everything `tevora check` reports about one column, gathered chunk by chunk.

    Collisions are tracked in a hash set of packed keys: at most 24 bytes per
    distinct GTIN. `problems=True` keeps the problem cells until drained."""

    def __init__(self, *, problems: bool = False) -> None: ...
    # Cells as the column functions take them (str, int, float, None), converted
    # by the same code; `lost_digits` holds indexes into `cells` of numeric cells
    # that probably lost digits in scientific notation.
    def add(self, first_row: int, cells: Sequence[object], lost_digits: Optional[Sequence[int]] = None) -> None: ...
    # An Arrow array or chunked array (PyCapsule interface) of strings; raises
    # TypeError for any other type, so that the caller can fall back to lists.
    def add_arrow(self, first_row: int, column: object) -> None: ...
    # The problem cells gathered since the last call, in row order.
    def take_problems(self) -> List[Problem]: ...
    # Everything the report renders; see _report.py for the keys.
    def summary(self) -> Dict[str, Any]: ...
    @property
    def cells(self) -> int: ...
    @property
    def gtins(self) -> int: ...
    @property
    def valid(self) -> int: ...
    @property
    def refused_count(self) -> int: ...  # refused cells that are not empty
    @property
    def lost_digits(self) -> int: ...
    @property
    def distinct_keys(self) -> int: ...
    @property
    def memory(self) -> int: ...  # bytes held for collision tracking

@final
class CsvScanner:
    """Reads a CSV's bytes (UTF-8, any chunking) with the given dialect.

    `mode`: "check" feeds `tally` with the column's cells; "clean" also returns
    the output bytes: every byte copied but the content of accepted GTIN
    cells, which becomes the store form, and `added` columns appended at the
    end of each row (`key`, then `explain`'s reason and message) after padding
    to `width` fields; "measure" only counts fields (`widest`). The first
    record is the header: it is not tallied, and in clean mode gets `added`
    names. Blank lines stay blank; a last row without terminator stays so.

    `feed` raises ValueError("line N: ...") for invalid UTF-8 and `finish`
    raises ValueError("line N: ...") naming the line where an unterminated
    quote opened. Cells past `cell_limit` bytes are never GTINs: they are kept
    verbatim and tallied as refused by the reason of their first bytes."""

    def __init__(
        self,
        *,
        delimiter: int,
        quote: Optional[int],
        column: int,
        mode: str,
        tally: Optional[Tally] = None,
        key: bool = False,
        explain: bool = False,
        added: Sequence[str] = (),
        width: int = 0,
        quote_all: bool = False,
        ascii_messages: bool = False,
    ) -> None: ...
    def feed(self, data: bytes) -> bytes: ...
    def finish(self) -> bytes: ...
    @property
    def rows(self) -> int: ...  # data records read (not the header)
    @property
    def line(self) -> int: ...  # the physical line being read, from 1
    @property
    def gtins(self) -> int: ...
    @property
    def changed(self) -> int: ...
    @property
    def kept(self) -> int: ...  # cells of the column kept as they were
    @property
    def ragged(self) -> int: ...  # records wider than the header
    @property
    def stray_quotes(self) -> int: ...  # fields with malformed quoting, kept byte for byte
    @property
    def widest(self) -> int: ...  # the most fields in one record so far
    @property
    def header_width(self) -> int: ...

# The first `limit` records of `data` (which need not end at a record's end; a
# cut last record is left out): their fields as text (invalid UTF-8 replaced),
# whether every field of each was quoted, and how many bytes they took.
def records(
    data: bytes, delimiter: int, quote: Optional[int], limit: int
) -> Tuple[List[List[str]], List[bool], int]: ...
