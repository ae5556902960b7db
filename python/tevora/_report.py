"""What `tevora check` finds in a column, gathered chunk by chunk.

Counts are exact; examples are the first few rows of each kind. Match keys are
remembered once per distinct key (a compact int to int entry), so memory grows
with the number of different products, never with the rows or the text.
"""

from __future__ import annotations

import re
from collections import Counter
from typing import Any, Dict, List, Sequence, Tuple

from ._tevora import Gtin14, Parsed, parse

EXAMPLES = 3
COLLISION_EXAMPLES = 10
ROWS_PER_COLLISION = 6
# How a spreadsheet writes a long number it has turned into a float: 4.00638E+12.
SCIENTIFIC = re.compile(r"\s*[+-]?\d+(?:[.,]\d+)?[eE][+-]?\d+\s*")
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

Example = Tuple[int, str]
# Above every fourteen-digit GTIN, as a number.
GTIN_SPAN = 10**14


class Report:
    def __init__(self, path: str, column: str, found_by: str) -> None:
        """`found_by`: "option", "header" or "content"."""
        self.path, self.column, self.found_by = path, column, found_by
        self.cells = self.gtins = self.valid = 0
        self.wrong: List[Tuple[int, str, int]] = []  # examples: row, raw, expected digit
        self.refused: Counter[str] = Counter()
        self.messages: Dict[str, str] = {}
        self.refused_examples: Dict[str, List[Example]] = {}
        self.scientific = 0
        self.scientific_examples: List[Example] = []
        self.cleaning: Counter[str] = Counter()
        self.cleaned = 0
        self.cleaning_examples: Dict[str, List[Example]] = {}
        self.encodings: Counter[str] = Counter()
        self.allocations: Counter[str] = Counter()
        self.descriptions: Dict[str, str] = {}
        self.flags: Counter[str] = Counter()
        self.flag_examples: Dict[str, List[Example]] = {}
        self._predicates: Dict[str, Tuple[bool, bool]] = {}
        # Match key, as a number -> row * GTIN_SPAN + GTIN of the key's first row.
        self._first: Dict[int, int] = {}
        # Keys seen with more than one GTIN -> [rows (capped), row count, GTINs seen, as numbers].
        self.collisions: Dict[int, List[Any]] = {}
        self.duplicates = 0

    def add(self, first_row: int, parsed: Sequence[Parsed]) -> None:
        """Adds one chunk; `first_row` is the spreadsheet row of its first cell."""
        for row, p in enumerate(parsed, first_row):
            self.cells += 1
            g = p.gtin
            if g is None:
                reason = p.reason or "empty"
                self.refused[reason] += 1
                self.messages[reason] = p.message or ""
                _example(self.refused_examples.setdefault(reason, []), row, p.raw)
                if reason == "non_numeric" and SCIENTIFIC.fullmatch(p.raw):
                    self.scientific += 1
                    _example(self.scientific_examples, row, p.raw)
                continue
            self.gtins += 1
            if g.check_digit_is_valid:
                self.valid += 1
            elif len(self.wrong) < EXAMPLES:
                self.wrong.append((row, p.raw, g.expected_check_digit))
            if p.was_cleaned:
                self.cleaned += 1
                for name, _ in CLEANING:
                    if getattr(p, name):
                        self.cleaning[name] += 1
                        _example(self.cleaning_examples.setdefault(name, []), row, p.raw)
            self.encodings[g.encoding] += 1
            allocation = g.allocation
            self.allocations[allocation] += 1
            predicates = self._predicates.get(allocation)
            if predicates is None:
                predicates = (g.is_restricted_circulation, g.is_publication_or_coupon)
                self._predicates[allocation] = predicates
                self.descriptions[allocation] = g.allocation_description
            flags = (g.looks_like_internal_code, g.measure_field_looks_zeroed) + predicates
            for (name, _), value in zip(FLAGS, flags):
                if value:
                    self.flags[name] += 1
                    _example(self.flag_examples.setdefault(name, []), row, p.raw)
            self._track_key(row, g)

    def _track_key(self, row: int, gtin: Gtin14) -> None:
        # Numbers rather than texts keep the memory per distinct key small.
        key, value = int(gtin.key().as_key_str()), int(gtin.value)
        first = self._first.get(key)
        if first is None:
            self._first[key] = row * GTIN_SPAN + value
            return
        collision = self.collisions.get(key)
        if collision is None:
            first_row, first_value = divmod(first, GTIN_SPAN)
            if first_value == value:
                self.duplicates += 1
                return
            collision = self.collisions[key] = [[(first_row, f"{first_value:014d}")], 1, {first_value}]
        rows, count, seen = collision
        if value in seen:
            self.duplicates += 1
        if len(rows) < ROWS_PER_COLLISION:
            rows.append((row, gtin.value))
        collision[1] = count + 1
        seen.add(value)

    # ---- Output ----------------------------------------------------------------

    def as_dict(self) -> Dict[str, Any]:
        def examples(found: List[Example]) -> List[Dict[str, Any]]:
            return [{"row": row, "raw": raw} for row, raw in found]

        return {
            "file": self.path,
            "column": self.column,
            "found_by": self.found_by,
            "cells": self.cells,
            "gtins": {
                "total": self.gtins,
                "valid_check_digit": self.valid,
                "wrong_check_digit": self.gtins - self.valid,
                "wrong_check_digit_examples": [
                    {"row": row, "raw": raw, "expected_check_digit": d} for row, raw, d in self.wrong
                ],
            },
            "refused": {
                reason: {
                    "count": count,
                    "message": self.messages[reason],
                    "examples": examples(self.refused_examples[reason]),
                }
                for reason, count in sorted(self.refused.items(), key=lambda item: -item[1])
            },
            "scientific_notation": {"count": self.scientific, "examples": examples(self.scientific_examples)},
            "cleaning": {
                "cleaned": self.cleaned,
                **{
                    name: {"count": self.cleaning[name], "examples": examples(self.cleaning_examples.get(name, []))}
                    for name, _ in CLEANING
                },
            },
            "encodings": dict(sorted(self.encodings.items())),
            "allocations": {
                name: {"count": count, "description": self.descriptions[name]}
                for name, count in self.allocations.most_common()
            },
            "flags": {
                name: {"count": self.flags[name], "examples": examples(self.flag_examples.get(name, []))}
                for name, _ in FLAGS
            },
            "key_collisions": {
                "keys": len(self.collisions),
                "rows": sum(count for _, count, _ in self.collisions.values()),
                "examples": [
                    {
                        "key": f"{key:014d}",
                        "rows": [{"row": row, "gtin": gtin} for row, gtin in rows],
                        "count": count,
                    }
                    for key, (rows, count, _) in list(self.collisions.items())[:COLLISION_EXAMPLES]
                ],
            },
            "duplicate_rows": self.duplicates,
        }

    def as_text(self) -> str:
        out: List[str] = []
        width = 36

        def line(label: str, count: int, note: str = "", indent: int = 2) -> None:
            share = f"{100 * count / self.cells:5.1f}%" if self.cells else "     -"
            text = f"{' ' * indent}{label:<{width - indent}}{count:>9,}  {share}"
            out.append(f"{text}   {note}".rstrip())

        def rows(found: List[Example], indent: int = 6) -> None:
            if found:
                out.append(" " * indent + "; ".join(f"row {row}: {_shown(raw)}" for row, raw in found))

        how = {"option": "named by --column", "header": "found by its header", "content": "found by its content"}
        out.append(f"{self.path}: column {_shown(self.column)} ({how.get(self.found_by, self.found_by)})")
        out.append(f"{_count(self.cells, 'cell')} read; every percentage below is a share of them")
        out.append("")
        line("GTINs", self.gtins, indent=0)
        line("check digit valid", self.valid)
        line("check digit wrong", self.gtins - self.valid)
        if self.wrong:
            out.append("      " + "; ".join(f"row {row}: {_shown(raw)} (expected {d})" for row, raw, d in self.wrong))
        line("Refused", self.cells - self.gtins, "kept as they are", indent=0)
        for reason, count in self.refused.most_common():
            line(reason, count, self.messages[reason])
            rows(self.refused_examples[reason])
            if reason == "non_numeric" and self.scientific:
                line(
                    "in scientific notation",
                    self.scientific,
                    "a spreadsheet turned these codes into numbers and lost digits",
                    indent=4,
                )
                rows(self.scientific_examples, 8)
        out.append("")
        line("Cleaned to read", self.cleaned, indent=0)
        for name, label in CLEANING:
            note = "a spreadsheet turned these codes into numbers" if name == "dropped_fraction" else ""
            line(label, self.cleaning[name], note)
            rows(self.cleaning_examples.get(name, []))
        out.append("")
        out.append("Encodings")
        for name, count in sorted(self.encodings.items(), key=lambda item: int(item[0][5:])):
            line(name, count)
        out.append("Allocations")
        for name, count in self.allocations.most_common():
            line(name, count, self.descriptions[name])
        out.append("Heuristic flags")
        for name, label in FLAGS:
            line(label, self.flags[name])
            rows(self.flag_examples.get(name, []))
        out.append("")
        colliding_rows = sum(count for _, count, _ in self.collisions.values())
        out.append(
            f"Match-key collisions: {_count(len(self.collisions), 'key')}, {_count(colliding_rows, 'row')} "
            "(records that match only once check digits are ignored)"
        )
        for found, count, _ in list(self.collisions.values())[:COLLISION_EXAMPLES]:
            shown = ", ".join(f"{gtin} (row {row})" for row, gtin in found)
            more = f" and {count - len(found)} more" if count > len(found) else ""
            out.append(f"  {shown}{more}")
        out.append(f"Duplicate GTINs: {_count(self.duplicates, 'row')} repeating the GTIN of an earlier row")
        return "\n".join(out) + "\n"


def _count(n: int, noun: str) -> str:
    return f"{n:,} {noun}" + ("" if n == 1 else "s")


def _example(found: List[Example], row: int, raw: str) -> None:
    if len(found) < EXAMPLES:
        found.append((row, raw))


def _shown(text: str, limit: int = 40) -> str:
    """A cell in double quotes, as the repr of a refused cell shows it:
    invisible and combining characters written as \\u{hex}."""
    if len(text) > limit:
        text = text[: limit - 1] + "\u2026"
    # A leading NUL makes any text a refusal, whose repr quotes its raw text
    # by the module's one rule: take the quoted text from there.
    shown = repr(parse("\0" + text))
    return '"' + shown[len('Parsed(raw="\\0') : shown.rindex('", reason=')] + '"'
