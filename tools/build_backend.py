"""The PEP 517 build backend of the tevora package.

CMakeLists.txt stays the one build description: this backend runs CMake for
the extension target and packs the result with the package's Python files into
a wheel tagged for the stable ABI (cp38-abi3). It uses the standard library
only, so `pip install --no-build-isolation .` works offline with any CPython
from 3.8 and Debian's build tools (cmake, g++, python3-dev).

Hooks: build_wheel, build_sdist, prepare_metadata_for_build_wheel and the two
get_requires_* hooks. pip runs them with the project root as working directory.
"""

from __future__ import annotations

import base64
import hashlib
import io
import json
import os
import pathlib
import re
import shutil
import subprocess
import sys
import sysconfig
import tarfile
import zipfile
from typing import Any, Dict, Iterator, List, Optional, Tuple

PACKAGE = "tevora"
PACKAGE_DIR = pathlib.Path("python") / PACKAGE
EXTENSION = "_tevora.abi3.so"
# Incremental across builds from the same tree; ignored by git like every build*/.
BUILD_DIR = "build-wheel"
# The oldest stable ABI the extension is compiled for (Py_LIMITED_API in CMakeLists.txt).
TAG = "cp38-abi3"
# What an sdist needs to build again: CMake names every source of the tests and
# benchmarks too, so the whole of both source trees goes in.
SDIST_FILES = ("pyproject.toml", "CMakeLists.txt", "README.md", "tools/build_backend.py")
SDIST_TREES = ("tevora", "tevora-py", str(PACKAGE_DIR))
SDIST_SKIPPED = re.compile(r"(^|/)(__pycache__|\.[^/]*)(/|$)|\.(so|o|a|pyc)$")


# ---- Hooks -------------------------------------------------------------------


def get_requires_for_build_wheel(config_settings: Optional[Dict[str, Any]] = None) -> List[str]:
    return []


def get_requires_for_build_sdist(config_settings: Optional[Dict[str, Any]] = None) -> List[str]:
    return []


def prepare_metadata_for_build_wheel(
    metadata_directory: str, config_settings: Optional[Dict[str, Any]] = None
) -> str:
    project = Project(pathlib.Path.cwd())
    target = pathlib.Path(metadata_directory) / project.dist_info
    target.mkdir(parents=True, exist_ok=True)
    for name, data in project.dist_info_files():
        (target / name).write_bytes(data)
    return project.dist_info


def build_wheel(
    wheel_directory: str,
    config_settings: Optional[Dict[str, Any]] = None,
    metadata_directory: Optional[str] = None,
) -> str:
    project = Project(pathlib.Path.cwd())
    extension = build_extension(project.root)
    name = f"{project.distribution}-{project.version}-{TAG}-{platform_tag()}.whl"
    files = [(f"{PACKAGE}/{path.name}", path.read_bytes(), 0o644) for path in project.package_files()]
    files.append((f"{PACKAGE}/{EXTENSION}", extension.read_bytes(), 0o755))
    files += [(f"{project.dist_info}/{n}", data, 0o644) for n, data in project.dist_info_files()]
    write_wheel(pathlib.Path(wheel_directory) / name, files, project.dist_info)
    return name


def build_sdist(sdist_directory: str, config_settings: Optional[Dict[str, Any]] = None) -> str:
    project = Project(pathlib.Path.cwd())
    base = f"{project.distribution}-{project.version}"
    path = pathlib.Path(sdist_directory) / f"{base}.tar.gz"
    with tarfile.open(path, "w:gz", format=tarfile.PAX_FORMAT) as tar:
        for relative in project.sdist_files():
            tar.add(str(project.root / relative), arcname=f"{base}/{relative}", recursive=False)
        pkg_info = tarfile.TarInfo(f"{base}/PKG-INFO")
        metadata = project.metadata()
        pkg_info.size, pkg_info.mode = len(metadata), 0o644
        tar.addfile(pkg_info, io.BytesIO(metadata))
    return path.name


# ---- The project ---------------------------------------------------------------


class Project:
    """What pyproject.toml and the package declare, read once per hook."""

    def __init__(self, root: pathlib.Path) -> None:
        self.root = root
        self.table: Dict[str, Any] = read_toml(root / "pyproject.toml")["project"]
        self.name: str = self.table["name"]
        self.distribution = re.sub(r"[-_.]+", "_", self.name).lower()
        self.version = read_version(root / PACKAGE_DIR / "__init__.py")
        self.dist_info = f"{self.distribution}-{self.version}.dist-info"

    def package_files(self) -> List[pathlib.Path]:
        directory = self.root / PACKAGE_DIR
        files = sorted(directory.glob("*.py")) + sorted(directory.glob("*.pyi"))
        return files + [directory / "py.typed"]

    def sdist_files(self) -> Iterator[str]:
        yield from SDIST_FILES
        for tree in SDIST_TREES:
            for path in sorted((self.root / tree).rglob("*")):
                relative = path.relative_to(self.root).as_posix()
                if path.is_file() and not SDIST_SKIPPED.search(relative):
                    yield relative

    def metadata(self) -> bytes:
        t = self.table
        lines = [
            "Metadata-Version: 2.1",
            f"Name: {self.name}",
            f"Version: {self.version}",
            f"Summary: {t.get('description', '')}",
        ]
        if "keywords" in t:
            lines.append("Keywords: " + ",".join(t["keywords"]))
        lines += [f"Classifier: {c}" for c in t.get("classifiers", [])]
        if "requires-python" in t:
            lines.append(f"Requires-Python: {t['requires-python']}")
        lines += [f"Requires-Dist: {r}" for r in t.get("dependencies", [])]
        for extra, requirements in t.get("optional-dependencies", {}).items():
            lines.append(f"Provides-Extra: {extra}")
            lines += [f'Requires-Dist: {r}; extra == "{extra}"' for r in requirements]
        body = ""
        if "readme" in t:
            lines.append("Description-Content-Type: text/markdown")
            body = (self.root / t["readme"]).read_text(encoding="utf-8")
        return ("\n".join(lines) + "\n\n" + body).encode("utf-8")

    def dist_info_files(self) -> List[Tuple[str, bytes]]:
        wheel = (
            "Wheel-Version: 1.0\n"
            "Generator: tevora build_backend\n"
            "Root-Is-Purelib: false\n"
            f"Tag: {TAG}-{platform_tag()}\n"
        )
        files = [("METADATA", self.metadata()), ("WHEEL", wheel.encode())]
        scripts = self.table.get("scripts", {})
        if scripts:
            entries = "".join(f"{name} = {target}\n" for name, target in scripts.items())
            files.append(("entry_points.txt", f"[console_scripts]\n{entries}".encode()))
        return files


def read_version(init: pathlib.Path) -> str:
    found = re.search(r'^__version__ = "([^"]+)"$', init.read_text(encoding="utf-8"), re.M)
    if not found:
        raise SystemExit(f"tevora build: no __version__ line in {init}")
    return found.group(1)


def platform_tag() -> str:
    return re.sub(r"[-.]", "_", sysconfig.get_platform())


# ---- Building ----------------------------------------------------------------


def build_extension(root: pathlib.Path) -> pathlib.Path:
    """Configures and builds the extension target; returns the built module."""
    cmake = shutil.which("cmake")
    if cmake is None:
        raise SystemExit(
            "tevora build: cmake not found; install cmake, g++ and python3-dev "
            "(Debian: tools/deps installs them)"
        )
    build = root / BUILD_DIR
    jobs = str(os.cpu_count() or 1)
    # Output goes to stderr so that it never mixes with a frontend's use of stdout.
    for command in (
        [cmake, "-S", str(root), "-B", str(build), "-DCMAKE_BUILD_TYPE=Release", "-DTEVORA_BENCH=OFF",
         "-DTEVORA_TESTS=OFF", "-DTEVORA_COPY_TO_PACKAGE=OFF"],
        [cmake, "--build", str(build), "--target", "_tevora", "--parallel", jobs],
    ):
        if subprocess.call(command, stdout=sys.stderr) != 0:
            raise SystemExit(f"tevora build: `{' '.join(command)}` failed")
    return build / EXTENSION


def write_wheel(path: pathlib.Path, files: List[Tuple[str, bytes, int]], dist_info: str) -> None:
    record = []
    # Fixed timestamps: the same sources give the same wheel.
    with zipfile.ZipFile(path, "w", zipfile.ZIP_DEFLATED) as wheel:
        for name, data, mode in files:
            info = zipfile.ZipInfo(name, date_time=(1980, 1, 1, 0, 0, 0))
            info.external_attr = (0o100000 | mode) << 16
            info.compress_type = zipfile.ZIP_DEFLATED
            wheel.writestr(info, data)
            digest = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode()
            record.append(f"{name},sha256={digest},{len(data)}\n")
        record.append(f"{dist_info}/RECORD,,\n")
        info = zipfile.ZipInfo(f"{dist_info}/RECORD", date_time=(1980, 1, 1, 0, 0, 0))
        info.external_attr = 0o100644 << 16
        wheel.writestr(info, "".join(record), zipfile.ZIP_DEFLATED)


# ---- TOML --------------------------------------------------------------------


def read_toml(path: pathlib.Path) -> Dict[str, Any]:
    text = path.read_text(encoding="utf-8")
    try:
        import tomllib
    except ImportError:  # CPython before 3.11
        return MiniToml(text).document()
    return tomllib.loads(text)


class MiniToml:
    """The part of TOML that pyproject.toml files use, for interpreters without
    tomllib: tables, basic and literal strings, booleans, integers, arrays and
    inline tables. Anything else is refused, never misread."""

    _TOKEN = re.compile(
        r'"(?:[^"\\\n]|\\.)*"|\'[^\'\n]*\'|[A-Za-z0-9_\-+.]+|[\[\]{}=,\n]|#[^\n]*|[ \t\r]+'
    )

    def __init__(self, text: str) -> None:
        self.tokens: List[str] = []
        position = 0
        while position < len(text):
            match = self._TOKEN.match(text, position)
            if not match:
                raise ValueError(f"pyproject.toml: cannot read {text[position:position + 20]!r}")
            token = match.group()
            if not token.startswith("#") and token.strip(" \t\r"):
                self.tokens.append(token)
            position = match.end()
        self.at = 0

    def document(self) -> Dict[str, Any]:
        root: Dict[str, Any] = {}
        table = root
        while self.at < len(self.tokens):
            token = self._next()
            if token == "\n":
                continue
            if token == "[":
                table = root
                for part in self._dotted_key("]"):
                    table = table.setdefault(part, {})
                self._expect("]")
            else:
                self.at -= 1
                self._assign(table, "\n")
        return root

    def _assign(self, table: Dict[str, Any], end: str) -> None:
        keys = self._dotted_key("=")
        self._expect("=")
        for part in keys[:-1]:
            table = table.setdefault(part, {})
        table[keys[-1]] = self._value()
        if self._peek() not in ((end, ",") if end == "}" else (end,)):
            raise ValueError(f"pyproject.toml: unexpected {self._peek()!r} after {keys[-1]}")

    def _dotted_key(self, end: str) -> List[str]:
        keys: List[str] = []
        while self._peek() not in (end, "\n"):
            token = self._next()
            if token[0] in "\"'":
                keys.append(self._string(token))
            elif re.fullmatch(r"[A-Za-z0-9_\-.]+", token):
                keys += [part for part in token.split(".") if part]
            else:
                raise ValueError(f"pyproject.toml: {token!r} cannot be part of a key")
        if not keys:
            raise ValueError(f"pyproject.toml: a key is missing before {self._peek()!r}")
        return keys

    def _value(self) -> Any:
        token = self._next()
        if token[0] in "\"'":
            return self._string(token)
        if token in ("true", "false"):
            return token == "true"
        if re.fullmatch(r"[+-]?\d+", token):
            return int(token)
        if token == "[":
            items = []
            while True:
                self._skip_newlines()
                if self._peek() == "]":
                    self.at += 1
                    return items
                items.append(self._value())
                self._skip_newlines()
                if self._peek() == ",":
                    self.at += 1
        if token == "{":
            table: Dict[str, Any] = {}
            while self._peek() != "}":
                self._assign(table, "}")
                if self._peek() == ",":
                    self.at += 1
            self.at += 1
            return table
        raise ValueError(f"pyproject.toml: unsupported value {token!r}")

    @staticmethod
    def _string(token: str) -> str:
        if token[0] == "'":
            return token[1:-1]
        # TOML's basic-string escapes are JSON's, plus \UXXXXXXXX which we never write.
        return str(json.loads(token))

    def _next(self) -> str:
        if self.at >= len(self.tokens):
            raise ValueError("pyproject.toml: unexpected end of file")
        self.at += 1
        return self.tokens[self.at - 1]

    def _peek(self) -> str:
        return self.tokens[self.at] if self.at < len(self.tokens) else "\n"

    def _expect(self, token: str) -> None:
        if self._next() != token:
            raise ValueError(f"pyproject.toml: expected {token!r}")

    def _skip_newlines(self) -> None:
        while self._peek() == "\n" and self.at < len(self.tokens):
            self.at += 1
