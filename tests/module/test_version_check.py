"""The module refuses to initialise in any interpreter but 3.10."""

import pathlib
import shutil
import subprocess
import sys

import pytest

import vek

LOADER = """
import importlib.machinery, importlib.util, sys
loader = importlib.machinery.ExtensionFileLoader("vek", sys.argv[1])
found = importlib.util.spec_from_file_location("vek", sys.argv[1], loader=loader)
try:
    importlib.util.module_from_spec(found)
except ImportError as e:
    print(e)
    sys.exit(0)
sys.exit("the module was created")
"""


def other_interpreter():
    for name in ("python3.11", "python3.12", "python3"):
        path = shutil.which(name)
        if path:
            version = subprocess.run(
                [path, "-c", "import sys; print(sys.version)"], capture_output=True, text=True
            ).stdout.strip()
            if version and not version.startswith("3.10"):
                return path, version
    pytest.skip("no interpreter other than 3.10 on PATH")


def test_loads_into_this_interpreter():
    assert sys.version.startswith("3.10")
    assert pathlib.Path(vek.__file__).suffix == ".so"


def test_other_interpreter_gets_the_version_message():
    python, version = other_interpreter()
    result = subprocess.run([python, "-c", LOADER, vek.__file__], capture_output=True, text=True)
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == (
        "Python version mismatch: module was compiled for Python 3.10, "
        f"but the interpreter version is incompatible: {version}."
    )
