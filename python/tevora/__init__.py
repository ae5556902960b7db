"""GTIN parsing, canonicalisation, match keys and GS1 classification."""

from ._tevora import (
    DOMAIN_MAX_DIGITS,
    DOMAIN_MIN_DIGITS,
    Gtin14,
    GtinKey,
    Parsed,
    key,
    key_strings,
    parse,
    parse_many,
    store_form,
    store_form_many,
)

# The one place the version is written; CMake and the build backend read it here.
__version__ = "0.1.0"

__all__ = [
    "DOMAIN_MIN_DIGITS",
    "DOMAIN_MAX_DIGITS",
    "Gtin14",
    "GtinKey",
    "Parsed",
    "parse",
    "store_form",
    "key",
    "store_form_many",
    "key_strings",
    "parse_many",
]
