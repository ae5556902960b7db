"""Puts python/ on sys.path, so that these tests `import tevora`, the package;
with TEVORA_INSTALLED=1 they test the package installed in this interpreter
instead (`make test` installs the wheel), and refuse the source tree's.

Run this suite in its own pytest process: python/tests imports the extension
as the top-level `_tevora`, and it can be initialised only once per process.
"""

import importlib.util
import os
import pathlib
import sys

import pytest

REPO = pathlib.Path(__file__).resolve().parents[2]
INSTALLED = bool(os.environ.get("TEVORA_INSTALLED"))

if INSTALLED:
    spec = importlib.util.find_spec("tevora")
    if spec is None or spec.origin is None or REPO / "python" in pathlib.Path(spec.origin).parents:
        raise ImportError(f"TEVORA_INSTALLED is set, but tevora is not installed: found {spec}")
else:
    # `make sanitize` names a copy of the package holding sanitized builds.
    PACKAGE_PARENT = pathlib.Path(os.environ.get("TEVORA_PACKAGE_PARENT", REPO / "python"))
    sys.path.insert(0, str(PACKAGE_PARENT))
    if not list((PACKAGE_PARENT / "tevora").glob("_tevora*.so")):
        raise ImportError(f"the extension is not built into {PACKAGE_PARENT / 'tevora'}; run `make build` first")


@pytest.fixture
def tevora_cmd(capsys):
    """Runs the command in this process: its exit status, stdout and stderr."""

    def run(*args):
        from tevora import cli

        status = cli.main([str(a) for a in args])
        out, err = capsys.readouterr()
        return status, out, err

    return run
