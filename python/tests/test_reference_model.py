"""The module against the plain-Python model in reference.py, over generated cells."""

import math
import sys

import pytest
from hypothesis import example, given, settings, strategies as st

import _tevora
import reference
from support import Dashed, Shouting, Sunk, float_below

ATTRIBUTES = [name for name in reference.gtin_attributes("0" * 14) if hasattr(_tevora.Gtin14, name)]

# ---- Cells --------------------------------------------------------------------

SKIPPED = sorted(reference.WHITESPACE | reference.ZERO_WIDTH | reference.DASHES)
# Neighbours of the accepted code points, and characters that look like digits.
REFUSED = (
    "aeE+/\x00\x1c\x1f\x7f\x80\x84\u180e\u200c\u200d\u200e\u2016\u2043\ufe63\uff0d\uff10\uff14"
    "\u0660\u0966\U0001d7ce\U0001f600\U0010ffff"
)


def digits(n):
    return st.text(reference.DIGITS, min_size=n, max_size=n)


# Mostly digits, so that counts around 8 and 14 come up often.
lenient = st.sampled_from(reference.DIGITS * 8 + "".join(SKIPPED) + ".,")


@st.composite
def gtin_like(draw):
    """Digits with a few kinds of skippable characters between them, maybe a
    fraction, maybe one refused character."""
    kinds = draw(st.lists(st.sampled_from(SKIPPED), min_size=1, max_size=3))
    gap = st.sampled_from(["", "", "", "", *kinds])
    length = draw(st.one_of(st.integers(7, 15), st.integers(1, 20)))
    text = "".join(draw(gap) + d for d in draw(digits(length))) + draw(gap)
    text += draw(st.sampled_from(["", "", "", ".0", ",5", ".", "." + "9" * 20, " .0", ".0 ", ".-", ".0.0"]))
    if draw(st.integers(0, 2)) == 0:
        at = draw(st.integers(0, len(text)))
        text = text[:at] + draw(st.sampled_from(REFUSED)) + text[at:]
    return text


texts = st.one_of(
    gtin_like(),
    st.text(lenient, max_size=30),
    st.text(st.one_of(lenient, st.sampled_from(REFUSED)), max_size=20),
    st.text(st.characters(blacklist_categories=["Cs"]), max_size=12),  # anything but a surrogate
)
FLOATS = [
    math.nan,
    -math.nan,
    math.inf,
    -math.inf,
    0.0,
    -0.0,
    5e-324,
    sys.float_info.max,
    1e16,
    -1e16,
    9999999999999998.0,
    1e-4,
    float_below(1e-4),
    4006381333931.0,
    12345670.5,
    1e15,
]
cells = st.one_of(
    st.none(),
    texts,
    texts.map(Shouting),
    st.integers(),
    st.integers(-(10**15), 10**15),
    st.integers(10**7, 10**14),
    st.integers(10**7, 10**14).map(Dashed),
    st.booleans(),
    st.sampled_from(FLOATS),
    st.floats(),
    st.floats(1e7, 1e16),
    st.floats(-1e-3, 1e-3),
    st.floats(1e7, 1e14).map(Sunk),
)

# ---- Properties -----------------------------------------------------------------


def observed(parsed):
    """A Parsed as the model's Outcome, and what the model derives from it."""
    gtin, key = parsed.gtin, parsed.key()
    outcome = reference.Outcome(
        gtin and gtin.value,
        parsed.reason,
        parsed.digits,
        parsed.removed_whitespace,
        parsed.removed_separators,
        parsed.dropped_fraction,
    )
    return outcome, parsed.message, parsed.was_cleaned, parsed.is_gtin, parsed.store_form, key and key.as_key_str()


def modelled(text):
    outcome = reference.parse(text)
    flags = outcome.removed_whitespace or outcome.removed_separators or outcome.dropped_fraction
    return (
        outcome,
        reference.MESSAGES.get(outcome.reason),
        flags,
        outcome.gtin is not None,
        reference.store_form(text),
        reference.key(text),
    )


def shown(g):
    """Every attribute and text form of a Gtin14, keyed as the model keys them."""
    k = g.key()
    return {
        **{name: getattr(g, name) for name in ATTRIBUTES},
        "str": str(g),
        "repr": repr(g),
        "hash": hash(g),
        "key": k.as_key_str(),
        "key repr": repr(k),
        "key hash": hash(k),
        "recomputed": g.with_recomputed_check_digit().value,
    }


def typed(attributes):
    return {name: (type(value), value) for name, value in attributes.items()}


@settings(max_examples=400, deadline=None)
@given(st.lists(cells, max_size=30))
@example(
    [
        "",
        " ",
        "\t\n",
        "-",
        "\u2014",
        "\u200b",
        ".",
        ",",
        ".5",
        "1234567",
        "1234567.89",
        "12,345678",
        "00000000",
        "40063813339310",
        "400638133393101",
        "4006381333931,5",
        "4006381333931.",
        "12345670. ",
        "1,234,567,890,123",
        "12345670 .5",
        "-12345670",
        "\ufeff4006381333931",
        "4006\u2212381333931",
        "4006381333931\u200c",
        "1234\u180e5678",
        "+4006381333931",
        "4006381333931e0",
        "\uff14006381333931",
    ]
)
def test_columns_match_the_model(column):
    texts = [reference.cell_text(value) for value in column]
    parsed = _tevora.parse_many(column)
    assert [p.raw for p in parsed] == texts
    assert [observed(p) for p in parsed] == [modelled(text) for text in texts]
    assert _tevora.store_form_many(column) == [reference.store_form(text) for text in texts]
    assert _tevora.key_strings(column) == [reference.key(text) for text in texts]
    for p in parsed:
        if p.is_gtin:
            assert typed(shown(p.gtin)) == typed(reference.gtin_attributes(p.gtin.value))


pair = st.one_of(st.just("00"), digits(2))
EDGES = [
    0,
    19,
    20,
    29,
    30,
    39,
    40,
    49,
    50,
    59,
    60,
    99,
    100,
    199,
    200,
    299,
    300,
    950,
    951,
    952,
    953,
    976,
    977,
    978,
    979,
    980,
    981,
    983,
    984,
    989,
    990,
    999,
]
prefix = st.one_of(st.integers(0, 999), st.sampled_from(EDGES)).map("{:03d}".format)
# Any value, and values built to reach each classification rule: a GTIN-8
# prefix after six zeros, a GS1 prefix after any first digit, the prefix 000
# with its pairs of zeros; each may end in five zeros.
fourteen_digits = st.builds(
    lambda parts, zeroed: "".join(parts)[: 9 if zeroed else 14].ljust(14, "0"),
    st.one_of(
        st.tuples(digits(14)),
        st.tuples(st.just("000000"), prefix, digits(5)),
        st.tuples(digits(1), prefix, digits(10)),
        st.tuples(digits(1), st.just("000"), pair, pair, digits(6)),
    ),
    st.booleans(),
)


@settings(max_examples=1000, deadline=None)
@given(fourteen_digits)
@example("00000000000000")
@example("99999999999999")
def test_every_gtin14_attribute_matches_the_model(value):
    assert typed(shown(_tevora.parse(value).gtin)) == typed(reference.gtin_attributes(value))


def test_every_code_point_between_digits():
    # Each one passes the conversion to UTF-8 and back and meets the parser:
    # a refused cell stores as its own text, an accepted one as its digits.
    texts = [f"1234{chr(cp)}5678" for cp in range(sys.maxunicode + 1) if not 0xD800 <= cp <= 0xDFFF]
    plain = {text: reference.store_form(text) for text in texts if ord(text[4]) < 0x80 or text[4] in SKIPPED}
    assert _tevora.store_form_many(texts) == [plain.get(text, text) for text in texts]


class Raising(int):
    def __str__(self):
        raise LookupError("no text")


BAD_ITEMS = [object(), b"4006381333931", [1], {}, (1,), 1j, "12\ud800", "\udfff", Raising(12345670)]


@settings(max_examples=100, deadline=None)
@given(st.lists(cells, max_size=8), st.sampled_from(BAD_ITEMS), st.data())
def test_a_bad_item_anywhere_fails_the_whole_column(column, bad, data):
    column.insert(data.draw(st.integers(0, len(column))), bad)
    for name in ("parse_many", "store_form_many", "key_strings"):
        with pytest.raises(TypeError) as error:
            getattr(_tevora, name)(column)
        assert str(error.value) == reference.column_error(bad)
