"""The repr's quoted form against the interpreter's own Unicode database."""
import pathlib
import unicodedata

import pytest

import _tevora

PROPLIST = pathlib.Path("/usr/share/unicode/PropList.txt")
OWN_ESCAPES = {"\0": "\\0", "\t": "\\t", "\r": "\\r", "\n": "\\n", "\\": "\\\\", '"': '\\"'}
ESCAPED_CATEGORIES = {"Cc", "Cf", "Cs", "Co", "Cn", "Zl", "Zp", "Zs", "Mn", "Me"}  # Mn and Me extend graphemes


def assigned_code_points():
    # The extension may know a newer Unicode than the interpreter; code points
    # unassigned here are left out rather than guessed.
    return [cp for cp in range(0x110000)
            if not 0xD800 <= cp <= 0xDFFF and unicodedata.category(chr(cp)) != "Cn"]


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


def test_characters_escaped_by_their_category():
    points = [cp for cp in assigned_code_points() if by_category(cp) or chr(cp) in OWN_ESCAPES]
    assert mismatches(points, by_category)[:20] == []


@pytest.mark.skipif(not PROPLIST.exists(), reason=f"{PROPLIST} is not installed")
def test_every_other_character():
    extend = other_grapheme_extend()
    points = [cp for cp in assigned_code_points() if not by_category(cp) and chr(cp) not in OWN_ESCAPES]
    assert mismatches(points, extend.__contains__)[:20] == []
