"""The installed types match the module, and a type checker finds them."""

import pathlib
import subprocess
import sys

import vek


def mypy(*args, cwd):
    return subprocess.run([sys.executable, "-m", *args], capture_output=True, text=True, cwd=cwd)


def test_stub_matches_the_module(tmp_path):
    # Outside the checkout, so that only the installed stub can be found.
    result = mypy("mypy.stubtest", "vek", cwd=tmp_path)
    assert result.returncode == 0, result.stdout + result.stderr


def test_stub_is_installed_beside_the_module_and_as_a_stub_package():
    site = pathlib.Path(vek.__file__).parent
    assert (site / "vek.pyi").read_text() == (site / "vek-stubs" / "__init__.pyi").read_text()
    assert (site / "vek-stubs" / "py.typed").exists()


def test_type_checker_catches_a_wrong_argument(tmp_path):
    script = tmp_path / "use.py"
    script.write_text(
        "import vek\n"
        "c = vek.compressobj(level=1, format=vek.VEK_FMT_GZIP)\n"
        "out: bytes = c.compress(b'data') + c.flush()\n"
        "c.compress('text')\n"
    )
    result = mypy("mypy", "--no-incremental", str(script), cwd=tmp_path)
    assert result.returncode == 1
    errors = [line for line in result.stdout.splitlines() if ": error:" in line]
    assert len(errors) == 1 and "use.py:4:" in errors[0] and '"bytes"' in errors[0], result.stdout
