"""Initialisation, registration, and the texts and properties Python sees."""

import gc
import inspect
import os
import pathlib
import pickle
import re
import shutil
import subprocess
import sys
import weakref

import pytest

import _tevora
from conftest import PACKAGE_DIR

CLASSES = ["Gtin14", "GtinKey", "Parsed"]
FUNCTIONS = {
    "parse": "value",
    "store_form": "value",
    "key": "value",
    "store_form_many": "values",
    "key_strings": "values",
    "parse_many": "values",
}
ALL = ["__doc__", "DOMAIN_MIN_DIGITS", "DOMAIN_MAX_DIGITS", *CLASSES, *FUNCTIONS]

GTINKEY_DOC = (
    "A check-digit-agnostic match key. **Not a GTIN.**\n\n"
    "Deliberately awkward to turn into a string. It has no `__str__`, so\n"
    "`f\"{key}\"` and `str(key)` both produce `GtinKey('07390525907740')` rather\n"
    "than a bare number — a key that leaks into an export shows up as visibly\n"
    "wrong instead of as a plausible, fabricated identifier. The only way to\n"
    "the digits is `as_key_str()`, which says what it is at the call site."
)
KEY_STRINGS_DOC = (
    "Match keys for a whole column, as strings, with `None` where there is no\nkey.\n\n"
    "Named `key_strings` rather than `keys` on purpose. This is the one place\n"
    "the type distinction is deliberately dropped — a dataframe column needs\n"
    "strings — so the call site has to say so."
)

# Dotted path from the module ("" is the module itself), __doc__, __text_signature__.
TEXTS = [
    ("", "GTIN parsing, canonicalisation, match keys and GS1 classification.", None),
    ("parse", "Read one cell.", "(value)"),
    ("store_form", "What to write when storing this value.", "(value)"),
    ("key", "The match key for this value, or `None` outside the domain.", "(value)"),
    ("store_form_many", "Storage forms for a whole column. Releases the GIL for the work.", "(values)"),
    ("key_strings", KEY_STRINGS_DOC, "(values)"),
    ("parse_many", "Parse a whole column.", "(values)"),
    ("Gtin14", "A GTIN in canonical GTIN-14 form.", None),
    ("GtinKey", GTINKEY_DOC, None),
    ("Parsed", "The result of reading one cell.", None),
    ("Parsed.raw", "The input, verbatim, whatever it was.", None),
    ("Parsed.gtin", "The canonical form, or `None`.", None),
    ("Parsed.reason", '`"empty"`, `"non_numeric"`, `"too_short"`, `"too_long"`, or `None`.', None),
    ("Parsed.message", "A sentence fit to show a user, or `None`.", None),
    ("Parsed.digits", "How many digits were found, when the count is why it was refused.", None),
    (
        "Parsed.store_form",
        "What to write when storing: canonical for a GTIN, the raw input\n"
        "untouched for anything else. Never blank unless the input was.",
        None,
    ),
    ("Parsed.was_cleaned", "Whether anything had to be removed to read the value.", None),
    ("Parsed.removed_whitespace", "Whitespace was removed.", None),
    ("Parsed.removed_separators", "Dashes were removed.", None),
    ("Parsed.dropped_fraction", "A fractional part was dropped — the value arrived as a number.", None),
    ("Parsed.is_gtin", "Whether this is a GTIN.", None),
    ("Parsed.key", "The match key, or `None` outside the domain.", "($self)"),
    ("Gtin14.value", "The canonical form: fourteen digits, check digit preserved.", None),
    ("Gtin14.shortest", "The shortest standard form — GTIN-8, -12, -13 or -14.", None),
    (
        "Gtin14.encoding",
        'Which standard encoding `shortest` occupies: `"GTIN-8"`, `"GTIN-12"`,\n`"GTIN-13"` or `"GTIN-14"`.',
        None,
    ),
    ("Gtin14.significant_digits", "Digits that are not leading zeros.", None),
    ("Gtin14.check_digit", "The check digit the value carries.", None),
    ("Gtin14.expected_check_digit", "The check digit GS1 Mod-10 says it should carry.", None),
    (
        "Gtin14.check_digit_is_valid",
        "Whether the check digit is correct. A classification, not a verdict:\n"
        "variable-weight in-store codes fail this on purpose.",
        None,
    ),
    (
        "Gtin14.indicator",
        '`"variable_measure"`, `"grouping"`, or `None` for a padded value that\nhas no indicator digit at all.',
        None,
    ),
    ("Gtin14.indicator_digit", "The indicator digit itself, or `None`.", None),
    ("Gtin14.allocation", "What GS1 allocated this range for, as a stable snake_case name.", None),
    ("Gtin14.allocation_description", "GS1's own wording for the range.", None),
    ("Gtin14.is_restricted_circulation", "Whether the range is restricted-circulation — in-store or regional.", None),
    (
        "Gtin14.is_publication_or_coupon",
        "Whether the range identifies a publication or coupon rather than a\ntrade item.",
        None,
    ),
    (
        "Gtin14.looks_like_internal_code",
        "Fewer significant digits than GTIN-8 can express, so never issued by\n"
        'GS1. A guess at "internal PLU", named as one.',
        None,
    ),
    (
        "Gtin14.measure_field_looks_zeroed",
        'Restricted-circulation, ends in five zeros, check digit stale. A guess\nat "variable weight", named as one.',
        None,
    ),
    ("Gtin14.key", "The match key. Returns a `GtinKey`, never a `str` — see that class.", "($self)"),
    (
        "Gtin14.with_recomputed_check_digit",
        "The same first thirteen digits with a correct check digit appended.\n\n"
        "Export use only. This changes which product the code identifies\n"
        "whenever the original check digit was not a mistake.",
        "($self)",
    ),
    (
        "GtinKey.as_key_str",
        "The key as fourteen characters. Storing or exporting this stores or\nexports a match key.",
        "($self)",
    ),
]


# Attribute and method names of each class, in table order, read off TEXTS.
ATTRIBUTES = {c: [p.split(".")[1] for p, _, sig in TEXTS if p.startswith(c + ".") and sig is None] for c in CLASSES}
METHODS = {c: [p.split(".")[1] for p, _, sig in TEXTS if p.startswith(c + ".") and sig] for c in CLASSES}


def instances():
    """One instance of each class, as the functions hand them out."""
    parsed = _tevora.parse("4006381333931")
    return {"Gtin14": parsed.gtin, "GtinKey": parsed.key(), "Parsed": parsed}


def run_python(code, **kwargs):
    """Runs code in a fresh interpreter, where the extension is not loaded yet."""
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, **kwargs)
    assert done.returncode == 0, done.stderr
    return done.stdout


@pytest.mark.parametrize("path, doc, signature", TEXTS, ids=[row[0] or "module" for row in TEXTS])
def test_docstrings_and_text_signatures(path, doc, signature):
    target = _tevora
    for name in filter(None, path.split(".")):
        target = getattr(target, name)
    assert target.__doc__ == doc
    assert getattr(target, "__text_signature__", None) == signature


def test_all_names_every_attribute_in_registration_order():
    assert type(_tevora.__all__) is list and _tevora.__all__ == ALL
    assert {name for name in vars(_tevora) if not name.startswith("__")} == set(ALL) - {"__doc__"}
    assert type(_tevora.DOMAIN_MIN_DIGITS) is int and _tevora.DOMAIN_MIN_DIGITS == 8
    assert type(_tevora.DOMAIN_MAX_DIGITS) is int and _tevora.DOMAIN_MAX_DIGITS == 14


@pytest.mark.parametrize("name, parameter", FUNCTIONS.items())
def test_functions_are_bound_to_the_module(name, parameter):
    function = getattr(_tevora, name)
    assert function.__name__ == name
    assert function.__module__ == "_tevora"
    assert function.__self__ is _tevora
    [only] = inspect.signature(function).parameters.values()
    assert (only.name, only.kind, only.default) == (parameter, only.POSITIONAL_OR_KEYWORD, only.empty)


@pytest.mark.parametrize("name", CLASSES)
def test_class_identity_and_flags(name):
    cls = getattr(_tevora, name)
    assert (cls.__name__, cls.__qualname__, cls.__module__) == (name, name, "tevora")
    assert cls.__bases__ == (object,)
    base_type, have_gc, immutable = 1 << 10, 1 << 14, 1 << 8
    assert cls.__flags__ & (base_type | have_gc | immutable) == 0
    assert cls.__dictoffset__ == 0 and cls.__weakrefoffset__ == 0


@pytest.mark.parametrize("name", CLASSES)
def test_members_are_exactly_the_documented_ones(name):
    members = vars(getattr(_tevora, name))
    getters = [n for n, member in members.items() if type(member).__name__ == "getset_descriptor"]
    assert getters == ATTRIBUTES[name]
    assert {n for n in members if not n.startswith("__")} == set(ATTRIBUTES[name] + METHODS[name])


@pytest.mark.parametrize("name", CLASSES)
@pytest.mark.parametrize("args, kwargs", [((), {}), (("04006381333931",), {}), ((), {"value": 1}), ((1, 2), {"x": 3})])
def test_classes_cannot_be_called(name, args, kwargs):
    cls = getattr(_tevora, name)
    with pytest.raises(TypeError) as error:
        cls(*args, **kwargs)
    assert str(error.value) == f"No constructor defined for {name}"
    with pytest.raises(TypeError, match=f"^No constructor defined for {name}$"):
        cls.__new__(cls, *args)


def test_constructor_message_reads_the_class_name_at_call_time():
    # Renaming a class touches process-wide state, so it happens elsewhere.
    out = run_python(
        f"import sys; sys.path.insert(0, {str(pathlib.Path(_tevora.__file__).parent)!r})\n"
        "import _tevora\n_tevora.Gtin14.__name__ = 'Renamed'\n"
        "try:\n    _tevora.Gtin14()\nexcept TypeError as error:\n    print(error)\n"
    )
    assert out == "No constructor defined for Renamed\n"


@pytest.mark.parametrize("name", CLASSES)
def test_instances_are_sealed_value_records(name):
    with pytest.raises(TypeError, match="is not an acceptable base type"):
        type("Derived", (getattr(_tevora, name),), {})
    instance = instances()[name]
    assert not hasattr(instance, "__dict__")
    assert not gc.is_tracked(instance)
    with pytest.raises(TypeError):
        weakref.ref(instance)
    with pytest.raises(AttributeError):
        instance.extra = 1
    with pytest.raises(TypeError):
        pickle.dumps(instance)


@pytest.mark.parametrize("name, attribute", [(cls, a) for cls in CLASSES for a in ATTRIBUTES[cls] + METHODS[cls]])
def test_attributes_are_read_only(name, attribute):
    instance = instances()[name]
    before = getattr(instance, attribute)
    with pytest.raises(AttributeError):
        setattr(instance, attribute, before)
    with pytest.raises(AttributeError):
        delattr(instance, attribute)


def test_second_initialisation_in_one_process_fails():
    out = run_python(
        f"import sys; sys.path.insert(0, {str(pathlib.Path(_tevora.__file__).parent)!r})\n"
        "import _tevora\nfirst = _tevora\ndel sys.modules['_tevora']\n"
        "try:\n    import _tevora\nexcept ImportError as error:\n    print(error)\n"
        "else:\n    raise SystemExit('initialised twice')\n"
        "print(first.store_form('4006381333931'))\n"
    )
    message, still_working = out.splitlines()
    assert "once" in message and "process" in message
    assert still_working == "04006381333931"


def test_package_reexports_the_same_objects(tmp_path):
    out = run_python(
        "import sys, tevora\n"
        "ext = sys.modules['tevora._tevora']\n"
        "names = [n for n in ext.__all__ if n != '__doc__']\n"
        "assert all(getattr(tevora, n) is getattr(ext, n) for n in names), names\n"
        "print(ext.parse.__module__, ext.Gtin14.__module__, tevora.store_form(4006381333931))\n",
        cwd=tmp_path,
        env={**os.environ, "PYTHONPATH": str(PACKAGE_DIR.parent)},
    )
    assert out == "tevora._tevora tevora 04006381333931\n"


# Names the linker adds, and the C++ runtime's weak instantiations; none are ours.
LINKER_NAMES = {"_init", "_fini", "__bss_start", "_edata", "_end"}
RUNTIME_NAME = re.compile(
    r"_Z(?:T[VIS]|GV|TH|TW)?N?[rVKRO]*(?:S[tabsiod]|9__gnu_cxx|10__cxxabiv1)|_Z(?:nw|na|dl|da)|__cxa_|__gxx_|_Unwind_"
)


@pytest.mark.skipif(shutil.which("nm") is None, reason="nm is not installed")
def test_the_only_exported_symbol_is_the_entry_point():
    listing = subprocess.run(
        ["nm", "-D", "--defined-only", _tevora.__file__], capture_output=True, text=True, check=True
    ).stdout
    names = {line.split()[-1].split("@")[0] for line in listing.splitlines() if line.strip()}
    assert {n for n in names if n not in LINKER_NAMES and not RUNTIME_NAME.match(n)} == {"PyInit__tevora"}
