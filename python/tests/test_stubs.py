"""The type stubs cover the whole module surface."""

import ast

import _tevora
from conftest import PACKAGE_DIR

STUBS = PACKAGE_DIR / "_tevora.pyi"


def test_every_public_name_is_in_the_stubs():
    tree = ast.parse(STUBS.read_text(encoding="utf-8"))
    declared = {}
    for node in tree.body:
        if isinstance(node, ast.ClassDef):
            declared[node.name] = {n.name for n in node.body if isinstance(n, ast.FunctionDef)}
        elif isinstance(node, ast.FunctionDef):
            declared[node.name] = set()
        elif isinstance(node, ast.AnnAssign):
            declared[node.target.id] = set()
    assert set(_tevora.__all__) - {"__doc__"} <= set(declared)
    for name in ("Gtin14", "GtinKey", "Parsed"):
        public = {n for n in dir(getattr(_tevora, name)) if not n.startswith("_")}
        assert public == declared[name] - {"__eq__", "__ne__", "__hash__"}, name
    assert (STUBS.parent / "py.typed").exists()


def stub_literals():
    """The stubs' Literal aliases: name -> the set of their values."""
    found = {}
    for node in ast.parse(STUBS.read_text(encoding="utf-8")).body:
        value = getattr(node, "value", None)
        if (
            isinstance(node, ast.Assign)
            and isinstance(value, ast.Subscript)
            and getattr(value.value, "id", "") == "Literal"
        ):
            items = value.slice.value if type(value.slice).__name__ == "Index" else value.slice  # 3.8 wraps it
            found[node.targets[0].id] = {ast.literal_eval(item) for item in getattr(items, "elts", [items])}
    return found


def gtins():
    """GTINs with every four digits at every place, behind a zero indicator
    digit or a one (which keeps even a value of few digits a GTIN-14)."""
    for digits in range(10_000):
        for place in range(11):
            value = ("0" * place + f"{digits:04d}").ljust(14, "0")
            yield _tevora.parse(value).gtin
            yield _tevora.parse("1" + value[1:]).gtin


def test_the_stubs_literals_are_the_values_the_module_gives():
    every = list(gtins())
    runtime = {
        "_Reason": {_tevora.parse(cell).reason for cell in ("", "n/a", "1234", "1" * 15)},
        "_Encoding": {g.encoding for g in every},
        "_Indicator": {g.indicator for g in every} - {None},
        "_Allocation": {g.allocation for g in every},
    }
    assert stub_literals() == runtime
