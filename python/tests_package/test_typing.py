"""The stubs and the package's annotations, checked by mypy."""

import pathlib
import re
import subprocess
import sys

HERE = pathlib.Path(__file__).resolve().parent

# Misuses the stubs must catch, one per line.
WRONG = """\
import tevora
text: str = tevora.key("4006381333931")
tevora.store_form_many(("4006381333931",))
tevora.parse(b"4006381333931")
tevora.parse("1").reason = "empty"
digit: str = tevora.parse("1").gtin.check_digit
"""


def mypy(tmp_path, *targets):
    run = subprocess.run(
        [sys.executable, "-m", "mypy", "--config-file", HERE / "mypy.ini", "--cache-dir", tmp_path / "cache", *targets],
        capture_output=True,
        text=True,
        cwd=HERE.parent,
    )
    return run.returncode, run.stdout + run.stderr


def test_the_package_and_an_example_of_every_public_name_pass_strict_mypy(tmp_path):
    status, output = mypy(tmp_path, "tevora", HERE / "typed_example.py")
    assert status == 0, output


def test_mypy_catches_misuse_through_the_stubs(tmp_path):
    (tmp_path / "wrong.py").write_text(WRONG)
    status, output = mypy(tmp_path, tmp_path / "wrong.py")
    flagged = {int(n) for n in re.findall(r"wrong\.py:(\d+): error", output)}
    assert status == 1 and flagged == set(range(2, WRONG.count("\n") + 1)), output
