"""Python cell values to cell text, and how the functions take their argument."""

import datetime
import decimal
import fractions
import math
import sys

import pytest

import _tevora
from support import Dashed, Shouting, Sunk, describe, float_below, key_string

SINGLE = ["parse", "store_form", "key"]
BATCH = ["parse_many", "store_form_many", "key_strings"]
PARAMETER = {**dict.fromkeys(SINGLE, "value"), **dict.fromkeys(BATCH, "values")}
ITEM_ERROR = "every item must be str, int, float or None: "


def cell_text(value):
    """The text the parser was handed, as every entry point sees it."""
    parsed = _tevora.parse(value)
    assert _tevora.parse_many([value])[0].raw == parsed.raw
    if not parsed.is_gtin:  # a refused cell stores as its own text
        assert _tevora.store_form(value) == parsed.raw
        assert _tevora.store_form_many([value]) == [parsed.raw]
    return parsed.raw


class Failures:
    class Refused(LookupError):
        pass

    class Unprintable(Exception):
        def __str__(self):
            raise RuntimeError("no text")

    class Opaque:
        pass

    class Column(tuple):
        pass


class Raising(int):
    """An int whose str() raises the exception it was made with."""

    def __new__(cls, error):
        made = super().__new__(cls, 12345670)
        made.error = error
        return made

    def __str__(self):
        raise self.error


class NotText(int):
    def __str__(self):
        return 12345670


@pytest.mark.parametrize(
    "value, text",
    [
        (None, ""),
        ("", ""),
        (" 4006381333931 ", " 4006381333931 "),
        ("\t4006-3813\u00a033931.0\n", "\t4006-3813\u00a033931.0\n"),
        ("1234\x005678", "1234\x005678"),
        ("GTIN\U0001f600", "GTIN\U0001f600"),
        (Shouting(" 4006381333931 "), " 4006381333931 "),
        (4006381333931, "4006381333931"),
        (-12345670, "-12345670"),
        (0, "0"),
        (12345678901234567, "12345678901234567"),
        (10**30, "1" + "0" * 30),
        (True, "True"),
        (False, "False"),
        (Dashed(4006381333931), "4-006-381-333-931"),
        (Sunk(2.5), "2.5"),
    ],
)
def test_cell_text_of_values(value, text):
    assert cell_text(value) == text


FLOATS = [
    (4006381333931.0, "4006381333931.0"),
    (40063813339310.0, "40063813339310.0"),
    (12345670.5, "12345670.5"),
    (1e15, "1000000000000000.0"),
    (9999999999999998.0, "9999999999999998.0"),  # the last double below 1e16
    (1e16, "1e16"),
    (-1e16, "-1e16"),
    (12345678901234567.0, "1.2345678901234568e16"),
    (1.7976931348623157e308, "1.7976931348623157e308"),
    (0.0001, "0.0001"),
    (-0.0001, "-0.0001"),
    (float_below(0.0001), "9.999999999999999e-5"),
    (1e-5, "1e-5"),
    (-2.5e-7, "-2.5e-7"),
    (5e-324, "5e-324"),
    (0.0, "0.0"),
    (-0.0, "-0.0"),
    (math.nan, "NaN"),
    (-math.nan, "NaN"),
    (math.inf, "inf"),
    (-math.inf, "-inf"),
    # Whole numbers, on both sides of 2^53, where doubles stop being 1 apart.
    (1.0, "1.0"),
    (-1.0, "-1.0"),
    (100.0, "100.0"),
    (-12345670.0, "-12345670.0"),
    (2.0**53 - 1, "9007199254740991.0"),
    (2.0**53, "9007199254740992.0"),
    (2.0**53 + 2, "9007199254740994.0"),
    (2.0**53 + 6, "9007199254740998.0"),
]


@pytest.mark.parametrize("value, text", FLOATS, ids=[text for _, text in FLOATS])
def test_float_layout(value, text):
    assert cell_text(value) == text


@pytest.mark.parametrize(
    "value, type_name",
    [
        ([1], "list"),
        (b"4006381333931", "bytes"),
        ({}, "dict"),
        ((1,), "tuple"),
        (decimal.Decimal("4006381333931"), "Decimal"),
        (fractions.Fraction(1, 2), "Fraction"),
        (datetime.date(2024, 1, 1), "date"),
        (1 + 2j, "complex"),
        (object(), "object"),
        (Failures.Opaque(), "Opaque"),
        (type("Zählwerk", (), {})(), "Zählwerk"),
    ],
)
@pytest.mark.parametrize("name", SINGLE + BATCH)
def test_values_of_other_types_are_refused(name, value, type_name):
    message = f"expected str, int, float or None, got {type_name}"
    if name in BATCH:
        value, message = ["4006381333931", None, value, "abc"], ITEM_ERROR + "TypeError: " + message
    with pytest.raises(TypeError) as error:
        getattr(_tevora, name)(value)
    assert str(error.value) == message
    assert error.value.__cause__ is None


@pytest.fixture
def small_digit_limit():
    before = sys.get_int_max_str_digits()
    sys.set_int_max_str_digits(1000)
    yield
    sys.set_int_max_str_digits(before)


def too_many_digits_error():
    """CPython's own words for an int too long for str() (3.8's backport words it differently)."""
    before = sys.get_int_max_str_digits()
    sys.set_int_max_str_digits(1000)
    try:
        str(10**2000)
    except ValueError as error:
        return f"ValueError: {error}"
    finally:
        sys.set_int_max_str_digits(before)


RAISING = {
    "qualified exception": (Raising(Failures.Refused("not today")), "Failures.Refused: not today"),
    "unprintable exception": (Raising(Failures.Unprintable()), "Failures.Unprintable: <exception str() failed>"),
    "non-str from __str__": (NotText(1), "TypeError: __str__ returned non-string (type int)"),
    "too many digits": (10**2000, too_many_digits_error()),
    "lone surrogate": (
        "12\ud800",
        "UnicodeEncodeError: 'utf-8' codec can't encode character '\\ud800' in position 2: surrogates not allowed",
    ),
}


@pytest.mark.parametrize("value, shown", RAISING.values(), ids=RAISING)
@pytest.mark.parametrize("name", SINGLE)
def test_errors_of_a_single_cell_pass_through(small_digit_limit, name, value, shown):
    with pytest.raises(Exception) as expected:
        str(value) if not isinstance(value, str) else value.encode()
    with pytest.raises(type(expected.value)) as error:
        getattr(_tevora, name)(value)
    assert type(error.value) is type(expected.value)
    assert error.value.args == expected.value.args


@pytest.mark.parametrize("value, shown", RAISING.values(), ids=RAISING)
@pytest.mark.parametrize("name", BATCH)
def test_errors_of_a_column_item_are_wrapped(small_digit_limit, name, value, shown):
    with pytest.raises(TypeError) as error:
        getattr(_tevora, name)([4006381333931, value, object()])
    assert str(error.value) == ITEM_ERROR + shown
    assert error.value.__cause__ is None


@pytest.mark.parametrize("name", BATCH)
def test_an_unencodable_exception_text_is_still_reported(name):
    with pytest.raises(TypeError) as error:
        getattr(_tevora, name)([Raising(Failures.Refused("x\ud800y"))])
    assert str(error.value) in {ITEM_ERROR + "Failures.Refused: x?y", ITEM_ERROR + "Failures.Refused: x\ufffdy"}


CALL_SHAPES = [
    # (call with f and the parameter name p, message with {f} and {p} filled in)
    (lambda f, p: f(), "{f}() missing 1 required positional argument: '{p}'"),
    (lambda f, p: f(v=[]), "{f}() got an unexpected keyword argument 'v'"),
    (lambda f, p: f([], []), "{f}() takes 1 positional arguments but 2 were given"),
    (lambda f, p: f([], [], []), "{f}() takes 1 positional arguments but 3 were given"),
    (lambda f, p: f([], [], v=[]), "{f}() takes 1 positional arguments but 2 were given"),
    (lambda f, p: f([], **{p: []}), "{f}() got multiple values for argument '{p}'"),
    (lambda f, p: f([], **{p: [], "v": []}), "{f}() got multiple values for argument '{p}'"),
    (lambda f, p: f([], **{"v": [], p: []}), "{f}() got an unexpected keyword argument 'v'"),
    (lambda f, p: f(**{"v": [], p: []}), "{f}() got an unexpected keyword argument 'v'"),
    (lambda f, p: f(**{p: [], "v": []}), "{f}() got an unexpected keyword argument 'v'"),
    (lambda f, p: f(**{p + "s": []}), "{f}() got an unexpected keyword argument '{p}s'"),
]


@pytest.mark.parametrize("call, message", CALL_SHAPES)
@pytest.mark.parametrize("name", SINGLE + BATCH)
def test_wrong_call_shapes(name, call, message):
    with pytest.raises(TypeError) as error:
        call(getattr(_tevora, name), PARAMETER[name])
    assert str(error.value) == message.format(f=name, p=PARAMETER[name])


@pytest.mark.parametrize("name", SINGLE + BATCH)
def test_the_argument_may_be_passed_by_keyword(name):
    function, cell = getattr(_tevora, name), " 4006381333931"
    argument = [cell] if name in BATCH else cell
    by_position, by_keyword = function(argument), function(**{PARAMETER[name]: argument})
    if name.startswith("parse"):
        by_position, by_keyword = repr(by_position), repr(by_keyword)
    assert by_position == by_keyword


@pytest.mark.parametrize(
    "argument, type_name",
    [
        ((), "tuple"),
        (None, "NoneType"),
        ((c for c in []), "generator"),
        ({}, "dict"),
        ("4006381333931", "str"),
        (range(3), "range"),
        (Failures.Column(), "Failures.Column"),
    ],
)
@pytest.mark.parametrize("name", BATCH)
def test_columns_must_be_lists(name, argument, type_name):
    with pytest.raises(TypeError) as error:
        getattr(_tevora, name)(argument)
    assert str(error.value) == f"argument 'values': '{type_name}' object cannot be converted to 'PyList'"


def batch_view(name, column):
    """A batch result in a form that compares with single-cell results."""
    result = getattr(_tevora, name)(column)
    return [describe(p) for p in result] if name == "parse_many" else result


def single_view(name, cells):
    return {
        "parse_many": lambda: [describe(_tevora.parse(c)) for c in cells],
        "store_form_many": lambda: [_tevora.store_form(c) for c in cells],
        "key_strings": lambda: [key_string(c) for c in cells],
    }[name]()


class Disguised(list):
    def __getitem__(self, index):
        return "ignored"

    def __iter__(self):
        return iter(["ignored"])

    def __len__(self):
        return 0


@pytest.mark.parametrize("name", BATCH)
def test_list_subclasses_are_read_from_storage(name):
    cells = ["4006381333931", None, 12345670.0, "abc"]
    assert batch_view(name, Disguised(cells)) == single_view(name, cells)


class Meddler(int):
    """An int whose str() edits the column that is being converted."""

    def __new__(cls, edit):
        made = super().__new__(cls, 12345670)
        made.edit = edit
        return made

    def __str__(self):
        self.edit()
        return "12345670"


EDITS = {
    "cleared": (lambda column: column.clear(), ["12345670"]),
    "last item removed": (lambda column: column.pop(), ["12345670", "4006381333931"]),
    "cut after the item": (lambda column: column.__delitem__(slice(1, None)), ["12345670"]),
    "grown past its storage": (lambda column: column.extend(["99"] * 10_000), ["12345670", "4006381333931", "abc"]),
    "later item replaced": (
        lambda column: column.__setitem__(2, "00000000"),
        ["12345670", "4006381333931", "00000000"],
    ),
}


@pytest.mark.parametrize("edit, texts", EDITS.values(), ids=EDITS)
@pytest.mark.parametrize("name", BATCH)
def test_column_changed_during_conversion(name, edit, texts):
    column = [None, "4006381333931", "abc"]
    column[0] = Meddler(lambda: edit(column))  # the column holds the only reference
    assert batch_view(name, column) == single_view(name, texts)
