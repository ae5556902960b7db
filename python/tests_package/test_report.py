"""The report shows a cell as the repr of a refused cell shows it."""

import pytest

import tevora
from tevora import cli
from tevora._report import _shown


@pytest.mark.parametrize(
    "text",
    [
        "12a\u0301",
        'a\tb"c\\d\n',
        "\u200bn/a\u00a0",
        "\u2028x\x7f\ue000",
        "see \U0001f600 sheet",
        "",
    ],
)
def test_a_cell_is_shown_by_the_same_rule_as_the_repr(text):
    parsed = tevora.parse(text)
    assert parsed.reason is not None
    shown = repr(parsed)
    assert shown.startswith("Parsed(raw=") and shown.endswith(f', reason="{parsed.reason}")')
    assert _shown(text) == shown[len("Parsed(raw=") : -len(f', reason="{parsed.reason}")')]


def test_a_long_cell_is_cut_and_invisible_characters_stay_visible():
    assert _shown("12a\u0301") == '"12a\\u{301}"'
    assert _shown("\u200b" + "4" * 60) == '"\\u{200b}' + "4" * 38 + '\u2026"'


def test_the_text_report_shows_combining_characters(tmp_path, capsys):
    sheet = tmp_path / "sheet.csv"
    sheet.write_text("gtin\n12a\u0301\n4006381333931\n", encoding="utf-8")
    assert cli.main(["check", str(sheet)]) == 0
    assert '"12a\\u{301}"' in capsys.readouterr().out
