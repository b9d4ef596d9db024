"""shutil's "vektar": made through VekzipFile, read by tar and shutil."""

import filecmp
import os
import shutil
import subprocess

import pytest

import vekzip


def make_tree(root):
    (root / "sub" / "deeper").mkdir(parents=True)
    (root / "a.txt").write_bytes(b"alpha " * 5000)
    (root / "sub" / "b.bin").write_bytes(os.urandom(300_000))
    (root / "sub" / "deeper" / "c.txt").write_text("gamma\n" * 100)
    (root / "empty").mkdir()


def same_tree(a, b):
    cmp = filecmp.dircmp(a, b)
    assert not cmp.left_only and not cmp.right_only and not cmp.diff_files and not cmp.funny_files
    for sub in cmp.common_dirs:
        same_tree(a / sub, b / sub)


@pytest.mark.parametrize("threads", [1, 2])
def test_make_list_and_unpack(tmp_path, threads):
    vekzip.register_archive_format(threads=threads)
    vekzip.register_archive_format(threads=threads)  # twice is harmless
    src = tmp_path / "src"
    make_tree(src)
    name = shutil.make_archive(str(tmp_path / "out" / "archive"), "vektar", root_dir=src)
    assert name.endswith(".tar.gz") and os.path.exists(name)
    if shutil.which("tar"):
        listing = subprocess.run(["tar", "tzf", name], capture_output=True, text=True, check=True).stdout.split()
        assert "./sub/deeper/c.txt" in listing and "./empty/" in listing
    unpacked = tmp_path / "unpacked"
    shutil.unpack_archive(name, unpacked)
    same_tree(src, unpacked)


def test_bad_options_fail_when_registering():
    with pytest.raises(ValueError):
        vekzip.register_archive_format(compresslevel=12)
