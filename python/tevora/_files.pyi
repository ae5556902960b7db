"""tevora over files: the report's tally and the CSV scanner, in C++ with no Python object per row."""

from typing import Any, Dict, List, Optional, Sequence, Tuple, final

# One problem cell for `check --rows-csv`: row, raw text, reason (the refusal's,
# else "wrong_check_digit", else "flagged"), message (the refusal's, or "the
# check digit should be N", or ""), flags (names joined by spaces, from
# "looks_like_internal_code", "measure_field_looks_zeroed",
# "restricted_circulation", "publication_or_coupon", "probably_lost_digits").
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
    # An Arrow array or stream (PyCapsule interface), read in place by the
    # Arrow module's cell reader; TypeError for any other object or a type it
    # does not read, so that the caller can fall back to lists.
    def add_arrow(self, first_row: int, column: object) -> None: ...
    # The problem cells gathered since the last call, in row order.
    def take_problems(self) -> List[Problem]: ...
    # Everything the report renders: cells, gtins, valid, cleaned, wrong [(row,
    # raw, expected)], refused [(reason, count, message, examples)] in the order
    # first seen, scientific(_examples), lost_digits(_examples), cleaning
    # [(name, count, examples)], encodings [(name, count)], allocations [(name,
    # count, description)], flags [(name, count, examples)], collisions [(key,
    # [(row, gtin)], count)] (at most `collisions` of them), collision_keys,
    # collision_rows, duplicates, ragged, stray_quotes, distinct_keys, memory.
    # Examples are [(row, raw)].
    def summary(self, collisions: int = 10) -> Dict[str, Any]: ...
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
    keep_problems: bool  # gather problem cells for take_problems (also set by problems=True)

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

    `feed` raises ValueError("line N is not valid UTF-8 (bytes ...)") and
    `finish` raises ValueError("line N: a quoted field opens here and never
    closes"), N the physical line where the quote opened. A cell longer than
    32,767 bytes (a spreadsheet cell's limit) is never a GTIN: it is kept as it
    is and tallied as refused with the reason "too_large"."""

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
# `final`: data is the whole file, so a last record without terminator counts.
# A blank line is a record of no fields.
def records(
    data: bytes, delimiter: int, quote: Optional[int], limit: int, final: bool = False
) -> Tuple[List[List[str]], List[bool], int]: ...
