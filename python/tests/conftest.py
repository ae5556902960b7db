"""Makes the built extension importable as the top-level module `_tevora`.

The package `tevora` is never imported in this process: the extension can be
initialised once per process, so loading it a second time under the package
name would fail. Checks that need the package run in a subprocess.
"""

import importlib.util
import os
import pathlib
import sys

SOURCE_PACKAGE = pathlib.Path(__file__).resolve().parents[1] / "tevora"


def extension_dir():
    """The build tree's module; another build's, such as the sanitized one
    that `make sanitize` names in TEVORA_EXTENSION_DIR; or, with
    TEVORA_INSTALLED=1, the one in the package installed in this interpreter
    (found without importing the package)."""
    if os.environ.get("TEVORA_EXTENSION_DIR"):
        return pathlib.Path(os.environ["TEVORA_EXTENSION_DIR"])
    if os.environ.get("TEVORA_INSTALLED"):
        spec = importlib.util.find_spec("tevora")
        if spec is None or spec.origin is None or SOURCE_PACKAGE.parent in pathlib.Path(spec.origin).parents:
            raise ImportError(f"TEVORA_INSTALLED is set, but tevora is not installed: found {spec}")
        return pathlib.Path(spec.origin).parent
    return SOURCE_PACKAGE


EXTENSION_DIR = extension_dir()
# The package around the module, where its stubs are: the source tree's for a
# bare build directory.
PACKAGE_DIR = EXTENSION_DIR if (EXTENSION_DIR / "__init__.py").exists() else SOURCE_PACKAGE

sys.path.insert(0, str(EXTENSION_DIR))

try:
    import _tevora  # noqa: F401
except ImportError as error:
    # A missing build fails the run loudly instead of skipping every test.
    raise ImportError(
        f"the extension _tevora is not built: expected {EXTENSION_DIR / '_tevora.abi3.so'}; run `make build` first"
    ) from error
