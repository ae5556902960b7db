"""Makes the built extension importable as the top-level module `_tevora`.

The package `tevora` is never imported in this process: the extension can be
initialised once per process, so loading it a second time under the package
name would fail. Checks that need the package run in a subprocess.
"""
import os
import pathlib
import sys

# TEVORA_EXTENSION_DIR points the suite at another build of the module, such
# as the sanitized one that `make sanitize` runs it against.
EXTENSION_DIR = pathlib.Path(
    os.environ.get("TEVORA_EXTENSION_DIR") or pathlib.Path(__file__).resolve().parents[1] / "tevora")

sys.path.insert(0, str(EXTENSION_DIR))

try:
    import _tevora  # noqa: F401
except ImportError as error:
    # A missing build fails the run loudly instead of skipping every test.
    raise ImportError(
        f"the extension _tevora is not built: expected {EXTENSION_DIR / '_tevora.abi3.so'}; "
        "run `make build` first"
    ) from error
