"""The classes Gtin14, GtinKey and Parsed: values, text forms, hash, equality."""

import operator

import pytest

import _tevora
from reference import DESCRIPTIONS, MESSAGES, PUBLICATION_OR_COUPON, RESTRICTED


def gtin(text):
    return _tevora.parse(text).gtin


# value, expected check digit, valid, recomputed, encoding, shortest, significant digits, indicator, its digit
DIGITS = [
    ("04006381333931", 1, True, "04006381333931", "GTIN-13", "4006381333931", 13, None, None),
    ("04006381333932", 1, False, "04006381333931", "GTIN-13", "4006381333932", 13, None, None),
    ("00000012345670", 0, True, "00000012345670", "GTIN-8", "12345670", 8, None, None),
    ("00012345678905", 5, True, "00012345678905", "GTIN-12", "012345678905", 11, None, None),
    ("00614141999996", 6, True, "00614141999996", "GTIN-12", "614141999996", 12, None, None),
    ("00000001234565", 5, True, "00000001234565", "GTIN-8", "01234565", 7, None, None),
    ("10012345678902", 2, True, "10012345678902", "GTIN-14", "10012345678902", 14, "grouping", 1),
    ("54006381333936", 6, True, "54006381333936", "GTIN-14", "54006381333936", 14, "grouping", 5),
    ("90012345678901", 8, False, "90012345678908", "GTIN-14", "90012345678901", 14, "variable_measure", 9),
    ("00000000000000", 0, True, "00000000000000", "GTIN-8", "00000000", 0, None, None),
    ("00000000000001", 0, False, "00000000000000", "GTIN-8", "00000001", 1, None, None),
]


@pytest.mark.parametrize(
    "value, expected, valid, recomputed, encoding, shortest, significant, indicator, digit", DIGITS
)
def test_digit_arithmetic(value, expected, valid, recomputed, encoding, shortest, significant, indicator, digit):
    g = gtin(value)
    assert (g.value, g.encoding, g.shortest, g.indicator) == (value, encoding, shortest, indicator)
    assert type(g.check_digit) is int and g.check_digit == int(value[-1])
    assert type(g.expected_check_digit) is int and g.expected_check_digit == expected
    assert g.check_digit_is_valid is valid
    assert (g.significant_digits, g.indicator_digit) == (significant, digit)
    fixed = g.with_recomputed_check_digit()
    assert (fixed.value, fixed.check_digit_is_valid, g.value) == (recomputed, True, value)


# The worked values, then the edges of each range.
ALLOCATIONS = {
    "restricted_circulation_company": "00000000000000 00000009999992 00000020000004 10000000123454 90000000000010 "
    "00412345678903 00000029999999 00400000000000 00499999999999",
    "gtin8_issuance": "00000012345670 00000095100005 00000097600008 00000010000000 00000019999999 00000030000000",
    "demonstration": "00000095200002 09521234567899",
    "reserved_future_use": "00000097700005 00000099999999",
    "upc_company_prefix": "00000123456784 00001234567895 00012345678905 00312345678906 00614141999996 "
    "00190000000000 00399999999999 00600000000000 00999999999999 10001000000000",
    "unused_for_gtin8": "10000012345677 90000099000000",
    "restricted_circulation_region": "00212345678909 02012345678903 02999999999991 00200000000000 00299999999999",
    "reserved_gs1_us": "00512345678900 00500000000000 00599999999999",
    "company_prefix": "01234567890128 03000000000007 04006381333931 54006381333936 09501234567891 "
    "09531234567898 01000000000000 01999999999999 09769999999999",
    "epc_general_manager": "09512345678901",
    "issn": "09771234567003",
    "isbn": "09781234567897 19781234567894 09791234567896 09799999999999",
    "ismn": "09790123456785 09790000000000",
    "refund_receipt": "09801234567892",
    "coupon": "09811234567891 09831234567899 09901234567899 09999999999994 09829999999999 99990000000000",
    "reserved_coupon": "09841234567898 09891234567893 09850000000000",
}


@pytest.mark.parametrize("value, name", [(v, name) for name, values in ALLOCATIONS.items() for v in values.split()])
def test_allocation(value, name):
    other_check_digit = value[:13] + str((int(value[13]) + 3) % 10)
    for g in (gtin(value), gtin(other_check_digit)):
        assert (g.allocation, g.allocation_description) == (name, DESCRIPTIONS[name])
        assert g.is_restricted_circulation is (name in RESTRICTED)
        assert g.is_publication_or_coupon is (name in PUBLICATION_OR_COUPON)


@pytest.mark.parametrize(
    "value, internal, zeroed",
    [
        ("00000000000000", True, False),
        ("00000000000001", True, False),
        ("00000001234565", True, False),
        ("00000012345670", False, False),
        ("00000001000000", True, True),
        ("00000020000000", False, True),
        ("02123450000000", False, True),
        ("00212345000000", False, True),
        ("00412340000000", False, True),
        ("90200000000000", False, True),
        ("02123400000000", False, False),
        ("02123450000005", False, False),
        ("02123450000007", False, False),
        ("04006380000000", False, False),
    ],
)
def test_heuristics(value, internal, zeroed):
    g = gtin(value)
    assert (g.looks_like_internal_code, g.measure_field_looks_zeroed) == (internal, zeroed)
    assert type(g.looks_like_internal_code) is bool and type(g.measure_field_looks_zeroed) is bool


@pytest.mark.parametrize(
    "make, expected",
    [
        (lambda: gtin("00000000000000"), -6374812511556294144),
        (lambda: gtin("04006381333931"), -3223999958918846050),
        (lambda: _tevora.key("4006381333931"), -3223999958918846051),
        (lambda: _tevora.key("4006381333932"), -3223999958918846051),
    ],
)
def test_hash_values(make, expected):
    assert hash(make()) == expected


def raise_lookup(message):
    raise LookupError(message)


# Foreign right-hand operands that take part in the comparison protocol.
AlwaysEqual = type("AlwaysEqual", (), {"__eq__": lambda self, other: True})
EqualityFails = type("EqualityFails", (), {"__eq__": lambda self, other: raise_lookup("cannot compare")})
Untruthful = type("Untruthful", (), {"__bool__": lambda self: raise_lookup("no truth value")})
EqualsUntruthful = type("EqualsUntruthful", (), {"__eq__": lambda self, other: Untruthful()})


MAKERS = {"Gtin14": gtin, "GtinKey": _tevora.key}


@pytest.mark.parametrize("kind", MAKERS)
def test_equality_between_instances(kind):
    make = MAKERS[kind]
    a, same, other = make("4006381333931"), make(" 04006381333931"), make("4006381333941")
    assert a is not same and a.__eq__(same) is True
    assert (a == same, a != same, a == other, a != other) == (True, False, False, True)
    assert a.__ne__(other) is True and a.__ne__(same) is False
    assert hash(a) == hash(same) and len({a, same}) == 1


@pytest.mark.parametrize("foreign", ["04006381333931", "04006381333930", 4006381333931, None, object()])
@pytest.mark.parametrize("kind", MAKERS)
def test_equality_with_foreign_objects(kind, foreign):
    a = MAKERS[kind]("4006381333931")
    assert a.__eq__(foreign) is NotImplemented
    assert (a == foreign, foreign == a, a != foreign, foreign != a) == (False, False, True, True)
    assert a.__ne__(foreign) is True


@pytest.mark.parametrize("kind", MAKERS)
def test_inequality_goes_through_the_full_protocol(kind):
    a = MAKERS[kind]("4006381333931")
    assert (a == AlwaysEqual(), a != AlwaysEqual(), a.__ne__(AlwaysEqual())) == (True, False, False)
    with pytest.raises(LookupError, match="cannot compare"):
        operator.ne(a, EqualityFails())
    with pytest.raises(LookupError, match="no truth value"):
        operator.ne(a, EqualsUntruthful())


@pytest.mark.parametrize("op", [operator.lt, operator.le, operator.gt, operator.ge])
@pytest.mark.parametrize("kind", MAKERS)
def test_no_ordering(kind, op):
    a, b = MAKERS[kind]("4006381333931"), MAKERS[kind]("12345670")
    assert getattr(a, f"__{op.__name__}__")(b) is NotImplemented
    with pytest.raises(TypeError):
        op(a, b)
    with pytest.raises(TypeError):
        sorted([a, b])


def test_a_gtin_and_its_key_never_compare_equal():
    g = gtin("12345670")
    k = g.key()
    assert k.as_key_str() == g.value == "00000012345670" and hash(k) == hash(g)
    assert (g == k, k == g, g != k, k != g) == (False, False, True, True)
    assert g.__eq__(k) is NotImplemented and k.__eq__(g) is NotImplemented
    assert gtin("4006381333931") != gtin("4006381333932")
    assert gtin("4006381333931").key() == gtin("4006381333932").key()


@pytest.mark.parametrize("render", [str, format, lambda o: f"{o}", lambda o: "%s" % o])
def test_plain_text_forms(render):
    g = gtin("4006381333931")
    # A key has no plain text form: every implicit conversion shows its type.
    assert (render(g), render(g.key())) == ("04006381333931", "GtinKey('04006381333930')")


def test_reprs_of_gtin_and_key():
    g = gtin("4006381333931")
    assert repr(g) == f"{g!r}" == "Gtin14('04006381333931')"
    assert repr(g.key()) == "GtinKey('04006381333930')"


@pytest.mark.parametrize("kind", MAKERS)
def test_format_specs_are_refused(kind):
    with pytest.raises(TypeError):
        format(MAKERS[kind]("4006381333931"), "s")
    with pytest.raises(TypeError):
        f"{MAKERS[kind]('4006381333931'):>20}"


# cell, is_gtin, reason, digits, store_form, then removed_whitespace, removed_separators, dropped_fraction, was_cleaned
@pytest.mark.parametrize(
    "cell, is_gtin, reason, digits, store_form, flags",
    [
        ("", False, "empty", None, "", (False, False, False, False)),
        ("   ", False, "empty", None, "   ", (False, False, False, False)),
        ("--", False, "empty", None, "--", (False, False, False, False)),
        ("1234567", False, "too_short", 7, "1234567", (False, False, False, False)),
        ("1", False, "too_short", 1, "1", (False, False, False, False)),
        ("123456789012345", False, "too_long", 15, "123456789012345", (False, False, False, False)),
        ("12a45678", False, "non_numeric", None, "12a45678", (False, False, False, False)),
        (" 123 ", False, "too_short", 3, " 123 ", (False, False, False, False)),
        (" 4006-3813-33931.", False, "non_numeric", None, " 4006-3813-33931.", (False, False, False, False)),
        (" 4006381333931 ", True, None, None, "04006381333931", (True, False, False, True)),
        ("4006-3813-33931", True, None, None, "04006381333931", (False, True, False, True)),
        ("4006381333931.0", True, None, None, "04006381333931", (False, False, True, True)),
        ("\u00a04006\u2014381333931,5", True, None, None, "04006381333931", (True, True, True, True)),
        ("4006381333932", True, None, None, "04006381333932", (False, False, False, False)),
        ("12345670", True, None, None, "00000012345670", (False, False, False, False)),
    ],
)
def test_parsed_attributes(cell, is_gtin, reason, digits, store_form, flags):
    p = _tevora.parse(cell)
    assert (p.raw, p.is_gtin, p.reason, p.message, p.digits, p.store_form) == (
        cell,
        is_gtin,
        reason,
        MESSAGES.get(reason),
        digits,
        store_form,
    )
    read = (p.removed_whitespace, p.removed_separators, p.dropped_fraction, p.was_cleaned, p.is_gtin)
    assert read == (*flags, is_gtin) and {type(flag) for flag in read} == {bool}
    assert (p.gtin.value if is_gtin else p.gtin) == (store_form if is_gtin else None)
    assert (p.key().as_key_str() if is_gtin else p.key()) == (store_form[:13] + "0" if is_gtin else None)


@pytest.mark.parametrize(
    "cell, shown",
    [
        ("4006381333931", "Parsed(gtin=Gtin14('04006381333931'))"),
        (" 4006-381333931.0", "Parsed(gtin=Gtin14('04006381333931'))"),
        ("4006381333932", "Parsed(gtin=Gtin14('04006381333932'))"),
        ("abc", 'Parsed(raw="abc", reason="non_numeric")'),
        ("", 'Parsed(raw="", reason="empty")'),
        (None, 'Parsed(raw="", reason="empty")'),
        (" - ", 'Parsed(raw=" - ", reason="empty")'),
        ("1234567", 'Parsed(raw="1234567", reason="too_short")'),
        ("1234567890123456", 'Parsed(raw="1234567890123456", reason="too_long")'),
    ],
)
def test_parsed_repr(cell, shown):
    p = _tevora.parse(cell)
    assert repr(p) == str(p) == shown


@pytest.mark.parametrize(
    "char, written",
    [
        ('"', '\\"'),
        ("\\", "\\\\"),
        ("\t", "\\t"),
        ("\r", "\\r"),
        ("\n", "\\n"),
        ("\0", "\\0"),
        ("\xa0", "\\u{a0}"),
        ("\u0301", "\\u{301}"),
        ("\u20dd", "\\u{20dd}"),
        ("\u0378", "\\u{378}"),
        ("\ue000", "\\u{e000}"),
        ("\U000f0000", "\\u{f0000}"),
        ("\U0010ffff", "\\u{10ffff}"),
        ("\x0b", "\\u{b}"),
        ("\x7f", "\\u{7f}"),
        ("\x85", "\\u{85}"),
        ("\xad", "\\u{ad}"),
        ("\u200b", "\\u{200b}"),
        ("\u200d", "\\u{200d}"),
        ("\ufeff", "\\u{feff}"),
        ("\U000e0001", "\\u{e0001}"),
        ("\u2028", "\\u{2028}"),
        ("\u2029", "\\u{2029}"),
        ("\u3000", "\\u{3000}"),
        ("\u09be", "\\u{9be}"),
        ("\uff9e", "\\u{ff9e}"),  # neither Mn nor Me, yet Grapheme_Extend
        ("'", "'"),
        (" ", " "),
        ("é", "é"),
        ("\u20ac", "\u20ac"),
        ("\U0001f600", "\U0001f600"),
        ("\uff14", "\uff14"),
    ],
)
def test_quoted_raw_text_in_the_repr(char, written):
    assert repr(_tevora.parse(f"x{char}y")) == f'Parsed(raw="x{written}y", reason="non_numeric")'


def test_every_read_makes_a_new_object():
    p = _tevora.parse(" 4006381333931")
    g, k = p.gtin, p.key()
    reads = [
        lambda: p.gtin,
        p.key,
        lambda: p.raw,
        lambda: p.store_form,
        lambda: _tevora.parse("abc").reason,
        lambda: g.value,
        lambda: g.encoding,
        lambda: g.allocation,
        g.key,
        g.with_recomputed_check_digit,
        k.as_key_str,
    ]
    assert [read() is read() for read in reads] == [False] * len(reads)
    assert p.gtin == p.gtin and p.key() == p.key() and g.with_recomputed_check_digit() == g


def test_parsed_compares_and_hashes_by_identity():
    p, q = _tevora.parse("4006381333931"), _tevora.parse("4006381333931")
    assert p == p and p != q and not p == q
    assert hash(p) == object.__hash__(p)
