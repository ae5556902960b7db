"""The repr's quoted form against the interpreter's own Unicode database."""

import pathlib
import re
import unicodedata

import pytest

import _tevora

PROPLIST = pathlib.Path("/usr/share/unicode/PropList.txt")
TABLE = pathlib.Path(__file__).resolve().parents[2] / "tevora-py" / "src" / "unicode_table.cpp"


def version(text):
    return tuple(int(part) for part in text.split("."))


# The interpreter's database is the reference only where it agrees with the
# one the extension's table was generated from: not newer (code points
# assigned since are unassigned to the extension), and not older than 14.0,
# where U+1734 changed category from Mn to Mc.
EXTENSION_UNICODE = re.search(r'kUnicodeVersion = "([\d.]+)"', TABLE.read_text(encoding="utf-8")).group(1)
comparable = pytest.mark.skipif(
    not (14, 0) <= version(unicodedata.unidata_version) <= version(EXTENSION_UNICODE),
    reason=f"the interpreter's Unicode {unicodedata.unidata_version} is not comparable with the extension's "
    f"{EXTENSION_UNICODE}",
)
OWN_ESCAPES = {"\0": "\\0", "\t": "\\t", "\r": "\\r", "\n": "\\n", "\\": "\\\\", '"': '\\"'}
ESCAPED_CATEGORIES = {"Cc", "Cf", "Cs", "Co", "Cn", "Zl", "Zp", "Zs", "Mn", "Me"}  # Mn and Me extend graphemes


def assigned_code_points():
    # The extension may know a newer Unicode than the interpreter; code points
    # unassigned here are left out rather than guessed.
    return [cp for cp in range(0x110000) if not 0xD800 <= cp <= 0xDFFF and unicodedata.category(chr(cp)) != "Cn"]


def other_grapheme_extend():
    found = set()
    for line in PROPLIST.read_text(encoding="utf-8").splitlines():
        fields = [part.strip() for part in line.split("#", 1)[0].split(";")]
        if len(fields) == 2 and fields[1] == "Other_Grapheme_Extend":
            first, _, last = fields[0].partition("..")
            found.update(range(int(first, 16), int(last or first, 16) + 1))
    return found


def mismatches(code_points, escaped):
    """Code points whose quoted form differs from the expected one."""
    wrong = []
    for cp, parsed in zip(code_points, _tevora.parse_many([chr(cp) for cp in code_points])):
        char = chr(cp)
        expected = OWN_ESCAPES.get(char) or ("\\u{%x}" % cp if escaped(cp) else char)
        if repr(parsed) != f'Parsed(raw="{expected}", reason="{parsed.reason}")':
            wrong.append(f"U+{cp:04X}: {repr(parsed)}")
    return wrong


def by_category(cp):
    return cp != 0x20 and unicodedata.category(chr(cp)) in ESCAPED_CATEGORIES


@comparable
def test_characters_escaped_by_their_category():
    points = [cp for cp in assigned_code_points() if by_category(cp) or chr(cp) in OWN_ESCAPES]
    assert mismatches(points, by_category)[:20] == []


@comparable
@pytest.mark.skipif(not PROPLIST.exists(), reason=f"{PROPLIST} is not installed")
def test_every_other_character():
    extend = other_grapheme_extend()
    points = [cp for cp in assigned_code_points() if not by_category(cp) and chr(cp) not in OWN_ESCAPES]
    assert mismatches(points, extend.__contains__)[:20] == []
