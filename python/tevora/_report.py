"""What `tevora check` finds in a column, gathered chunk by chunk.

The counting is the native `Tally` of `tevora._files`: counts are exact,
examples are the first few rows of each kind, and match keys are remembered
in a hash set of packed 64-bit keys, at most 24 bytes per distinct GTIN, so
memory grows with the number of different products, never with the rows or
their text. This module renders what it gathered, as text and as JSON.
"""

from __future__ import annotations

from typing import Any, Dict, List, Optional, Sequence, Tuple

from ._files import Tally
from ._tevora import parse

EXAMPLES = 3
COLLISION_EXAMPLES = 10
ROWS_PER_COLLISION = 6
FLAGS = (
    ("looks_like_internal_code", "looks like an internal code"),
    ("measure_field_looks_zeroed", "measure field looks zeroed"),
    ("restricted_circulation", "restricted circulation"),
    ("publication_or_coupon", "publication or coupon"),
)
CLEANING = (
    ("removed_whitespace", "whitespace removed"),
    ("removed_separators", "dashes removed"),
    ("dropped_fraction", "fraction dropped"),
)
# Rows read from an Arrow column at a time when it goes through lists.
ARROW_CHUNK = 1 << 16

Example = Tuple[int, str]


class Report:
    def __init__(self, path: str, column: str, found_by: str, problems: bool = False) -> None:
        """`found_by`: "option", "header" or "content". `problems`: keep each
        problem cell for `take_problems`."""
        self.path, self.column, self.found_by = path, column, found_by
        self.tally = Tally(problems=problems)
        self._summary: Optional[Dict[str, Any]] = None

    def add(self, first_row: int, cells: Sequence[Any], lost_digits: Optional[Sequence[int]] = None) -> None:
        """Adds one chunk; `first_row` is the spreadsheet row of its first cell.
        Cells as the column functions take them (str, int, float, None);
        `lost_digits` the indexes of numbers that probably lost digits in
        scientific notation."""
        if cells and hasattr(cells[0], "reason"):  # Parsed results, as the command gave them before
            cells = [p.raw for p in cells]
        self.tally.add(first_row, cells, lost_digits)
        self._summary = None

    def add_arrow(self, first_row: int, column: Any) -> None:
        """Adds an Arrow array or chunked array of cells: read in place when
        it exports the Arrow PyCapsule interface with a type the column
        functions read, else through lists."""
        try:
            self.tally.add_arrow(first_row, column)
            self._summary = None
            return
        except TypeError:
            pass
        length = len(column)
        for start in range(0, length, ARROW_CHUNK):
            self.add(first_row + start, column.slice(start, ARROW_CHUNK).to_pylist())

    def take_problems(self) -> List[Tuple[int, str, str, str, str]]:
        """The problem cells since the last call: row, raw, reason, message, flags."""
        return self.tally.take_problems()

    @property
    def cells(self) -> int:
        return self.tally.cells

    @property
    def gtins(self) -> int:
        return self.tally.gtins

    @property
    def valid(self) -> int:
        return self.tally.valid

    @property
    def refused_count(self) -> int:
        """Refused cells that are not empty."""
        return self.tally.refused_count

    @property
    def lost_digits(self) -> int:
        return self.tally.lost_digits

    @property
    def ragged(self) -> int:
        """CSV rows wider than the header, as the CSV scanner counted them."""
        return int(self.summary()["ragged"])

    @property
    def stray_quotes(self) -> int:
        """CSV fields with malformed quoting, read as they stand."""
        return int(self.summary()["stray_quotes"])

    @property
    def refused(self) -> Dict[str, int]:
        return {reason: count for reason, count, _, _ in self.summary()["refused"]}

    def summary(self) -> Dict[str, Any]:
        if self._summary is None:
            self._summary = self.tally.summary(collisions=COLLISION_EXAMPLES)
        return self._summary

    # ---- Output ----------------------------------------------------------------

    def as_dict(self) -> Dict[str, Any]:
        s = self.summary()

        def examples(found: List[Example]) -> List[Dict[str, Any]]:
            return [{"row": row, "raw": raw} for row, raw in found]

        refused = sorted(s["refused"], key=lambda item: -item[1])
        out: Dict[str, Any] = {
            "file": self.path,
            "column": self.column,
            "found_by": self.found_by,
            "cells": s["cells"],
            "gtins": {
                "total": s["gtins"],
                "valid_check_digit": s["valid"],
                "wrong_check_digit": s["gtins"] - s["valid"],
                "wrong_check_digit_examples": [
                    {"row": row, "raw": raw, "expected_check_digit": d} for row, raw, d in s["wrong"]
                ],
            },
            "refused": {
                reason: {"count": count, "message": message, "examples": examples(found)}
                for reason, count, message, found in refused
            },
            "scientific_notation": {"count": s["scientific"], "examples": examples(s["scientific_examples"])},
            "lost_digits": {"count": s["lost_digits"], "examples": examples(s["lost_digits_examples"])},
            "cleaning": {
                "cleaned": s["cleaned"],
                **{name: {"count": count, "examples": examples(found)} for name, count, found in s["cleaning"]},
            },
            "encodings": dict(sorted((name, count) for name, count in s["encodings"])),
            "allocations": {
                name: {"count": count, "description": description}
                for name, count, description in sorted(s["allocations"], key=lambda item: -item[1])
            },
            "flags": {name: {"count": count, "examples": examples(found)} for name, count, found in s["flags"]},
            "key_collisions": {
                "keys": s["collision_keys"],
                "rows": s["collision_rows"],
                "examples": [
                    {"key": key, "rows": [{"row": row, "gtin": gtin} for row, gtin in rows], "count": count}
                    for key, rows, count in s["collisions"]
                ],
            },
            "duplicate_rows": s["duplicates"],
            "refused_count": self.refused_count,
        }
        if self.ragged or self.stray_quotes:
            out["csv"] = {"ragged_rows": self.ragged, "stray_quotes": self.stray_quotes}
        return out

    def as_text(self) -> str:
        s = self.summary()
        cells = s["cells"]
        out: List[str] = []
        width = 36

        def line(label: str, count: int, note: str = "", indent: int = 2) -> None:
            share = f"{100 * count / cells:5.1f}%" if cells else "     -"
            text = f"{' ' * indent}{label:<{width - indent}}{count:>9,}  {share}"
            out.append(f"{text}   {note}".rstrip())

        def rows(found: List[Example], count: int, indent: int = 6) -> None:
            if found:
                shown = "; ".join(f"row {row}: {_shown(raw)}" for row, raw in found)
                out.append(" " * indent + shown + _more(count - len(found)))

        how = {"option": "named by --column", "header": "found by its header", "content": "found by its content"}
        out.append(f"{self.path}: column {_shown(self.column)} ({how.get(self.found_by, self.found_by)})")
        out.append(f"{_count(cells, 'cell')} read; every percentage below is a share of them")
        out.append("")
        gtins, valid = s["gtins"], s["valid"]
        line("GTINs", gtins, indent=0)
        line("check digit valid", valid)
        line("check digit wrong", gtins - valid)
        if s["wrong"]:
            shown = "; ".join(f"row {row}: {_shown(raw)} (expected {d})" for row, raw, d in s["wrong"])
            out.append("      " + shown + _more(gtins - valid - len(s["wrong"])))
        line("Refused", cells - gtins, "kept as they are", indent=0)
        for reason, count, message, found in sorted(s["refused"], key=lambda item: -item[1]):
            line(reason, count, message)
            rows(found, count)
            if reason == "non_numeric" and s["scientific"]:
                line(
                    "in scientific notation",
                    s["scientific"],
                    "a spreadsheet turned these codes into numbers and lost digits",
                    indent=4,
                )
                rows(s["scientific_examples"], s["scientific"], 8)
        if s["lost_digits"]:
            line(
                "probably lost digits in scientific notation",
                s["lost_digits"],
                "numbers with few significant digits, or shown as 1.23E+12: kept as they are",
                indent=0,
            )
            rows(s["lost_digits_examples"], s["lost_digits"])
        out.append("")
        line("Cleaned to read", s["cleaned"], indent=0)
        labels = dict(CLEANING)
        for name, count, found in s["cleaning"]:
            note = "a spreadsheet turned these codes into numbers" if name == "dropped_fraction" else ""
            line(labels[name], count, note)
            rows(found, count)
        out.append("")
        out.append("Encodings")
        for name, count in sorted(s["encodings"], key=lambda item: int(item[0][5:])):
            line(name, count)
        out.append("Allocations")
        for name, count, description in sorted(s["allocations"], key=lambda item: -item[1]):
            line(name, count, description)
        out.append("Heuristic flags")
        flag_labels = dict(FLAGS)
        for name, count, found in s["flags"]:
            line(flag_labels[name], count)
            rows(found, count)
        out.append("")
        out.append(
            f"Match-key collisions: {_count(s['collision_keys'], 'key')}, {_count(s['collision_rows'], 'row')} "
            "(records that match only once check digits are ignored)"
        )
        for _, found, count in s["collisions"]:
            shown = ", ".join(f"{gtin} (row {row})" for row, gtin in found)
            more = f" and {count - len(found)} more" if count > len(found) else ""
            out.append(f"  {shown}{more}")
        if s["collision_keys"] > len(s["collisions"]):
            out.append(f"  \u2026 and {s['collision_keys'] - len(s['collisions']):,} more keys")
        out.append(f"Duplicate GTINs: {_count(s['duplicates'], 'row')} repeating the GTIN of an earlier row")
        if self.ragged or self.stray_quotes:
            out.append("")
            if self.ragged:
                out.append(f"Ragged rows: {_count(self.ragged, 'row')} wider than the header")
            if self.stray_quotes:
                out.append(
                    f"Stray quotes: {_count(self.stray_quotes, 'field')} with a quote inside an unquoted field "
                    "or text after a closing quote, read as they stand"
                )
        return "\n".join(out) + "\n"


def _more(n: int) -> str:
    return f" \u2026 and {n:,} more" if n > 0 else ""


def _count(n: int, noun: str) -> str:
    return f"{n:,} {noun}" + ("" if n == 1 else "s")


def _shown(text: str, limit: int = 40) -> str:
    """A cell in double quotes, as the repr of a refused cell shows it:
    invisible and combining characters written as \\u{hex}."""
    if len(text) > limit:
        text = text[: limit - 1] + "\u2026"
    # A leading NUL makes any text a refusal, whose repr quotes its raw text
    # by the module's one rule: take the quoted text from there.
    shown = repr(parse("\0" + text))
    return '"' + shown[len('Parsed(raw="\\0') : shown.rindex('", reason=')] + '"'
