"""The build backend: scikit-build-core, whose Linux wheels auditwheel retags.

scikit-build-core builds every wheel from CMakeLists.txt and tags a Linux one
`linux_*`, a tag PyPI refuses. `auditwheel repair` then reads which symbol
versions the extension needs from glibc and libstdc++ and gives the wheel the
lowest manylinux (or musllinux) tag that allows them. Where auditwheel is
missing (CPython 3.8) or cannot certify the wheel, it stays `linux_*`, which
installs on the machine that built it. Every other hook (sdist, editable,
metadata) is scikit-build-core's own.
"""

import importlib.util
import pathlib
import shutil
import subprocess
import sys
import tempfile

from scikit_build_core import build as _scikit_build_core


def __getattr__(name):
    return getattr(_scikit_build_core, name)


def build_wheel(wheel_directory, config_settings=None, metadata_directory=None):
    with tempfile.TemporaryDirectory() as scratch:
        built = pathlib.Path(scratch, "built")
        name = _scikit_build_core.build_wheel(str(built), config_settings, metadata_directory)
        wheel = built / name
        if sys.platform.startswith("linux") and importlib.util.find_spec("auditwheel"):
            wheel = _repaired(wheel, pathlib.Path(scratch, "repaired"))
        shutil.move(str(wheel), str(pathlib.Path(wheel_directory, wheel.name)))
        return wheel.name


def _repaired(wheel, directory):
    command = [
        sys.executable,
        "-m",
        "auditwheel",
        "repair",
        "--plat",
        "auto",
        "--wheel-dir",
        str(directory),
        str(wheel),
    ]
    done = subprocess.run(command, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, universal_newlines=True)
    repaired = list(directory.glob("*.whl"))
    if done.returncode != 0 or len(repaired) != 1:
        print(f"auditwheel could not repair {wheel.name}; it keeps its tag\n{done.stdout}", file=sys.stderr)
        return wheel
    return repaired[0]
