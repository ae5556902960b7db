"""The package as its users get it.

With TEVORA_WHEEL (set by `make test`, with TEVORA_INSTALLED), the wheel built
from the sdist beside it: its tags, its files, what auditwheel makes of it,
and that it is what this interpreter has installed. Against the source tree,
what pip makes of the source tree itself: `pip install .` and
`pip install -e .` in fresh virtual environments, with build isolation, so the
build requirements come from PyPI.
"""

import base64
import csv
import hashlib
import io
import json
import os
import pathlib
import platform
import re
import subprocess
import sys
import tarfile
import zipfile

import pytest

import tevora
from conftest import INSTALLED, REPO

VERSION = tevora.__version__
WHEEL = pathlib.Path(os.environ["TEVORA_WHEEL"]) if os.environ.get("TEVORA_WHEEL") else None
PYENV_ROOT = pathlib.Path(os.environ.get("PYENV_ROOT", pathlib.Path.home() / ".pyenv"))
ENV = {**os.environ, "PIP_DISABLE_PIP_VERSION_CHECK": "1"}
# One platform tag or several (auditwheel adds the legacy aliases), for this machine.
WHEEL_NAME = re.compile(
    rf"tevora-{re.escape(VERSION)}-cp38-abi3-((?:manylinux|musllinux)_\d+_\d+_{platform.machine()}"
    rf"(?:\.[a-z0-9_]+)*)\.whl"
)

needs_wheel = pytest.mark.skipif(WHEEL is None, reason="no TEVORA_WHEEL: `make test-wheels` names the wheel")
from_source = pytest.mark.skipif(INSTALLED, reason="installs the source tree; run against it, not a wheel")


def run(*command, cwd=None):
    result = subprocess.run([str(c) for c in command], capture_output=True, text=True, cwd=cwd, env=ENV)
    assert result.returncode == 0, f"{' '.join(map(str, command))}\n{result.stdout}\n{result.stderr}"
    return result.stdout


def interpreter(minor):
    versions = sorted(PYENV_ROOT.glob(f"versions/3.{minor}.*/bin/python3.{minor}"))
    return versions[-1] if versions else None


@needs_wheel
def test_the_wheel_is_tagged_for_the_stable_abi_and_manylinux_and_records_every_file():
    match = WHEEL_NAME.fullmatch(WHEEL.name)
    assert match, WHEEL.name
    with zipfile.ZipFile(WHEEL) as archive:
        names = {n for n in archive.namelist() if not n.endswith("/")}
        info = f"tevora-{VERSION}.dist-info"
        sources = [p for p in (REPO / "python" / "tevora").iterdir() if p.suffix in (".py", ".pyi")]
        # Each extension module has its stub beside it.
        extensions = {f"tevora/{p.stem}.abi3.so" for p in sources if p.suffix == ".pyi"}
        assert names == {f"tevora/{p.name}" for p in sources} | extensions | {"tevora/py.typed"} | {
            f"{info}/{n}" for n in ("METADATA", "WHEEL", "RECORD", "entry_points.txt", "licenses/LICENSE")
        }
        tags = re.findall(r"^Tag: (.+)$", archive.read(f"{info}/WHEEL").decode(), re.MULTILINE)
        assert sorted(tags) == sorted(f"cp38-abi3-{p}" for p in match.group(1).split("."))
        assert archive.read(f"{info}/entry_points.txt").decode().split() == [
            "[console_scripts]",
            "tevora",
            "=",
            "tevora.cli:main",
        ]
        metadata = archive.read(f"{info}/METADATA").decode()
        for field in (f"Version: {VERSION}", "Requires-Python: >=3.8", "License-Expression: MIT"):
            assert f"\n{field}\n" in metadata
        for path, digest, size in csv.reader(io.StringIO(archive.read(f"{info}/RECORD").decode())):
            if path.endswith("RECORD"):
                continue
            data = archive.read(path)
            expected = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode()
            assert (digest, int(size)) == (f"sha256={expected}", len(data)), path


@needs_wheel
def test_auditwheel_show_agrees_with_the_wheel_tag():
    pytest.importorskip("auditwheel", reason="auditwheel is installed from CPython 3.9 on")
    shown = run(sys.executable, "-m", "auditwheel", "show", WHEEL)
    consistent = re.search(r'consistent with\s+the following platform tag:\s+"([^"]+)"', shown)
    assert consistent, shown
    assert consistent.group(1) == WHEEL_NAME.fullmatch(WHEEL.name).group(1).split(".")[0], shown


@needs_wheel
def test_the_sdist_holds_the_sources_and_no_build_output():
    sdist = WHEEL.parent / f"tevora-{VERSION}.tar.gz"
    with tarfile.open(sdist) as archive:
        members = {m.split("/", 1)[1] for m in archive.getnames() if "/" in m}
    assert {
        "PKG-INFO",
        "pyproject.toml",
        "CMakeLists.txt",
        "LICENSE",
        "README.md",
        "tools/manylinux_backend.py",
        "tevora-py/exports.map",
        "python/tevora/__init__.py",
        "python/tevora/py.typed",
    } <= members
    assert not [m for m in members if m.endswith((".so", ".pyc", ".whl")) or m.startswith("build")]


@needs_wheel
@pytest.mark.skipif(not INSTALLED, reason="checks the installed package: TEVORA_INSTALLED")
def test_this_interpreter_has_the_wheel_installed_with_its_command():
    here = pathlib.Path(tevora.__file__).parent
    assert pathlib.Path(sys.prefix) in here.parents, here
    with zipfile.ZipFile(WHEEL) as archive:
        for name in ("tevora/_tevora.abi3.so", "tevora/__init__.py", "tevora/_tevora.pyi"):
            assert (here.parent / name).read_bytes() == archive.read(name), name
    command = pathlib.Path(sys.executable).parent / "tevora"
    assert run(command, "--version") == f"tevora {VERSION}\n"
    report = json.loads(run(command, "check", REPO / "examples" / "catalogue.csv", "--json"))
    assert (report["cells"], report["column"]) == (3000, "gtin")


# The oldest interpreter (no auditwheel in its build: the wheel stays
# linux_*), and the newest.
@from_source
@pytest.mark.parametrize("minor", [8, 13])
def test_pip_install_dot_in_a_fresh_virtual_environment(tmp_path, minor):
    python = interpreter(minor)
    if python is None:
        pytest.skip(f"pyenv provides no CPython 3.{minor}")
    run(python, "-m", "venv", tmp_path / "venv")
    run(tmp_path / "venv" / "bin" / "pip", "install", ".", cwd=REPO)
    assert run(tmp_path / "venv" / "bin" / "tevora", "--version", cwd=tmp_path) == f"tevora {VERSION}\n"


@from_source
def test_pip_install_editable_gives_the_command_and_the_package_from_the_source_tree(tmp_path):
    run(sys.executable, "-m", "venv", tmp_path / "venv")
    bin_dir = tmp_path / "venv" / "bin"
    run(bin_dir / "pip", "install", "-e", ".", cwd=REPO)
    assert run(bin_dir / "tevora", "--version", cwd=tmp_path) == f"tevora {VERSION}\n"
    # From the repository root too, where the C++ core's directory tevora/ is
    # no package to import.
    for cwd in (tmp_path, REPO):
        out = run(
            bin_dir / "python",
            "-c",
            "import tevora; print(tevora.__file__, tevora.store_form(4006381333931.0))",
            cwd=cwd,
        )
        assert out == f"{REPO / 'python' / 'tevora' / '__init__.py'} 04006381333931\n"


def test_cmake_and_the_package_agree_on_the_version():
    cmake = (REPO / "CMakeLists.txt").read_text()
    written = re.search(r"project\(tevora VERSION ([\d.]+)", cmake)
    assert written.group(1) == VERSION if written else "python/tevora/__init__.py" in cmake
