"""Puts python/ on sys.path, so that these tests `import tevora`, the package.

Run this suite in its own pytest process: python/tests imports the extension
as the top-level `_tevora`, and it can be initialised only once per process.
"""
import pathlib
import sys

REPO = pathlib.Path(__file__).resolve().parents[2]
sys.path.insert(0, str(REPO / "python"))

if not list((REPO / "python" / "tevora").glob("_tevora*.so")):
    raise ImportError(f"the extension is not built into {REPO / 'python' / 'tevora'}; run `make build` first")
