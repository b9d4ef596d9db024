"""The package says it is typed (py.typed): mypy must accept it as installed."""

import subprocess
import sys


def test_the_installed_package_type_checks(tmp_path):
    # From an empty folder, so that the checkout's vekzip/ is not the one read.
    result = subprocess.run(
        [sys.executable, "-m", "mypy", "--ignore-missing-imports", "--no-incremental", "-p", "vekzip"],
        cwd=tmp_path, capture_output=True, text=True,
    )
    assert result.returncode == 0, result.stdout + result.stderr
