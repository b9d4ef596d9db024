"""The "vektar" archive format for shutil: a tar archive compressed by
VekzipFile (threads allowed), which tar xzf and shutil.unpack_archive read."""

from __future__ import annotations

import os
import shutil
import tarfile
from typing import Any

import vekzip


def make_vektar(
    base_name: str,
    base_dir: str,
    owner: str | None = None,
    group: str | None = None,
    dry_run: bool = False,
    logger: Any = None,
    *,
    threads: int = 1,
    compresslevel: int = 1,
) -> str:
    """Writes base_name + ".tar.gz" from base_dir, as shutil's gztar does
    (shutil has already moved into root_dir)."""
    archive_name = os.fspath(base_name) + ".tar.gz"
    archive_dir = os.path.dirname(archive_name)
    if archive_dir and not os.path.exists(archive_dir):
        if logger is not None:
            logger.info("creating %s", archive_dir)
        if not dry_run:
            os.makedirs(archive_dir)
    if logger is not None:
        logger.info("Creating tar archive")
    if dry_run:
        return archive_name
    uid = _id(owner, "pwd", "getpwnam", "pw_uid")
    gid = _id(group, "grp", "getgrnam", "gr_gid")

    def set_owner(info: tarfile.TarInfo) -> tarfile.TarInfo:
        if gid is not None:
            info.gid, info.gname = gid, group or ""
        if uid is not None:
            info.uid, info.uname = uid, owner or ""
        return info

    with vekzip.VekzipFile(archive_name, "wb", compresslevel, threads=threads) as compressed:
        with tarfile.open(fileobj=compressed, mode="w|", format=tarfile.PAX_FORMAT) as tar:
            tar.add(base_dir, filter=set_owner)
    return archive_name


def _id(name: str | None, module: str, lookup: str, field: str) -> int | None:
    if name is None:
        return None
    try:
        table = __import__(module)
        return getattr(getattr(table, lookup)(name), field)
    except (ImportError, KeyError):
        return None


def register_archive_format(name: str = "vektar", *, threads: int = 1, compresslevel: int = 1) -> None:
    """Registers `name` with shutil.make_archive; harmless when repeated."""
    vekzip.vek_level(compresslevel)
    vekzip.thread_count(threads)
    extra = [("threads", threads), ("compresslevel", compresslevel)]
    shutil.register_archive_format(name, make_vektar, extra, "gzip'ed tar-file, compressed by vek")
