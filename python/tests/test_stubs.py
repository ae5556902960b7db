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
