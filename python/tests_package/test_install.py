"""The package as its users get it: an sdist, one wheel built from it, and that
wheel installed into a fresh virtual environment of every CPython from 3.8 to
3.13 that pyenv provides. Everything runs offline."""
import base64
import concurrent.futures
import csv
import hashlib
import io
import json
import os
import pathlib
import re
import subprocess
import sys
import tarfile
import zipfile

import pytest

import tevora
from conftest import REPO

sys.path.insert(0, str(REPO / "tools"))
import build_backend  # noqa: E402

PYENV_ROOT = pathlib.Path(os.environ.get("PYENV_ROOT", pathlib.Path.home() / ".pyenv"))
MINORS = range(8, 14)
ENV = {**os.environ, "PIP_DISABLE_PIP_VERSION_CHECK": "1", "PIP_NO_INDEX": "1", "PIP_NO_CACHE_DIR": "1"}
WHEEL = f"tevora-{tevora.__version__}-cp38-abi3-linux_x86_64.whl"
# Run in each installed interpreter: the package, not the source tree, parses a column.
SMOKE = """
import pathlib, sys, tevora
here = pathlib.Path(tevora.__file__).parent
assert pathlib.Path(sys.prefix) in here.parents, here
assert sorted(p.name for p in here.iterdir() if p.suffix in (".so", ".pyi", ".typed")) == [
    "_tevora.abi3.so", "_tevora.pyi", "py.typed"]
column = [" 4006381333931 ", 4006381333931.0, "4006-3813-33932", 12345670, None, "n/a"]
assert tevora.store_form_many(column) == [
    "04006381333931", "04006381333931", "04006381333932", "00000012345670", "", "n/a"]
assert tevora.key_strings(column)[:3] == ["04006381333930"] * 3
print(tevora.__version__, [p.reason for p in tevora.parse_many(column)][-2:])
"""


def interpreter(minor):
    versions = sorted(PYENV_ROOT.glob(f"versions/3.{minor}.*/bin/python3.{minor}"))
    return versions[-1] if versions else None


def run(*command, cwd=None):
    result = subprocess.run([str(c) for c in command], capture_output=True, text=True, cwd=cwd, env=ENV)
    assert result.returncode == 0, f"{' '.join(map(str, command))}\n{result.stdout}\n{result.stderr}"
    return result.stdout


@pytest.fixture(scope="module")
def dist(tmp_path_factory):
    """The sdist of this tree, and the one wheel that pip builds from it."""
    out = tmp_path_factory.mktemp("dist")
    hook = f"import sys; sys.path.insert(0, 'tools'); import build_backend; print(build_backend.build_sdist({str(out)!r}))"
    name = run(sys.executable, "-c", hook, cwd=REPO).strip()
    with tarfile.open(out / name) as sdist:
        sdist.extractall(out)
    source = out / name[: -len(".tar.gz")]
    run(sys.executable, "-m", "pip", "wheel", "--no-build-isolation", "--no-deps", "-w", out / "wheels", source)
    return out / name, source, out / "wheels" / WHEEL


@pytest.fixture(scope="module")
def installed(dist, tmp_path_factory):
    """Minor version -> the virtual environment the wheel went into, made side by side."""
    root = tmp_path_factory.mktemp("venvs")

    def install(minor):
        venv = root / f"3.{minor}"
        run(interpreter(minor), "-m", "venv", venv)
        run(venv / "bin" / "python", "-m", "pip", "install", dist[2])
        return venv

    available = [m for m in MINORS if interpreter(m)]
    with concurrent.futures.ThreadPoolExecutor(max_workers=3) as pool:
        return dict(zip(available, pool.map(install, available)))


def test_the_wheel_is_tagged_for_the_stable_abi_and_records_every_file(dist):
    sdist, _, wheel = dist
    with zipfile.ZipFile(wheel) as archive:
        names = set(archive.namelist())
        info = f"tevora-{tevora.__version__}.dist-info"
        package = {f"tevora/{p.name}" for p in (REPO / "python" / "tevora").iterdir() if p.suffix in (".py", ".pyi")}
        assert names == package | {"tevora/py.typed", "tevora/_tevora.abi3.so"} | {
            f"{info}/{n}" for n in ("METADATA", "WHEEL", "RECORD", "entry_points.txt")}
        assert "Tag: cp38-abi3-linux_x86_64\n" in archive.read(f"{info}/WHEEL").decode()
        assert archive.read(f"{info}/entry_points.txt").decode() == "[console_scripts]\ntevora = tevora.cli:main\n"
        metadata = archive.read(f"{info}/METADATA").decode()
        assert f"\nVersion: {tevora.__version__}\n" in metadata and "\nRequires-Python: >=3.8\n" in metadata
        for path, digest, size in csv.reader(io.StringIO(archive.read(f"{info}/RECORD").decode())):
            if path.endswith("RECORD"):
                continue
            data = archive.read(path)
            expected = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode()
            assert (digest, int(size)) == (f"sha256={expected}", len(data)), path
    with tarfile.open(sdist) as archive:
        members = [m.split("/", 1)[1] for m in archive.getnames()]
    assert {"PKG-INFO", "pyproject.toml", "CMakeLists.txt", "tools/build_backend.py"} <= set(members)
    assert not [m for m in members if m.endswith((".so", ".pyc"))]


@pytest.mark.parametrize("minor", MINORS)
def test_the_wheel_installs_and_works_in_every_interpreter(installed, minor):
    if minor not in installed:
        pytest.skip(f"pyenv provides no CPython 3.{minor}")
    venv = installed[minor] / "bin"
    assert run(venv / "python", "-c", SMOKE).strip() == f"{tevora.__version__} ['empty', 'non_numeric']"
    report = json.loads(run(venv / "tevora", "check", REPO / "examples" / "catalogue.csv", "--json"))
    assert (report["cells"], report["column"]) == (3000, "gtin")
    assert run(venv / "python", "-m", "tevora", "--version") == f"tevora {tevora.__version__}\n"


# Debian's pip, the oldest interpreter (no tomllib: the backend reads
# pyproject.toml itself) and the newest pip.
@pytest.mark.parametrize("minor", [None, 8, 13])
def test_pip_install_dot_from_the_source_tree(dist, tmp_path, minor):
    _, source, _ = dist
    python = sys.executable if minor is None else interpreter(minor)
    if python is None:
        pytest.skip(f"pyenv provides no CPython 3.{minor}")
    run(python, "-m", "venv", tmp_path / "venv")
    python = tmp_path / "venv" / "bin" / "python"
    run(python, "-m", "pip", "install", "--no-build-isolation", ".", cwd=source)
    assert run(python, "-c", "import tevora; print(tevora.store_form('4006381333931.0'))") == "04006381333931\n"


def test_cmake_and_the_package_agree_on_the_version():
    cmake = (REPO / "CMakeLists.txt").read_text()
    written = re.search(r"project\(tevora VERSION ([\d.]+)", cmake)
    assert written.group(1) == tevora.__version__ if written else "python/tevora/__init__.py" in cmake


def test_the_fallback_toml_reader_reads_pyproject_as_tomllib_does():
    tomllib = pytest.importorskip("tomllib")
    text = (REPO / "pyproject.toml").read_text(encoding="utf-8")
    assert build_backend.MiniToml(text).document() == tomllib.loads(text)
    with pytest.raises(ValueError):
        build_backend.MiniToml("[[tool.x]]\na = 1\n").document()
