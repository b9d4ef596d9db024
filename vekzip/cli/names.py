"""Names: the suffixes of compressed files, the output's name, and the
name a gzip header stores (-N)."""

from __future__ import annotations

import os

TYPE_CHECKING = False

from .failures import Failure, Skipped

if TYPE_CHECKING:
    from typing import BinaryIO

    from ..gzip_header import Header
    from .driver import Tool

# What else gzip takes off when decompressing, and what it puts back.
GZIP_SUFFIXES = {".gz": "", "-gz": "", ".z": "", "-z": "", "_z": "", ".tgz": ".tar", ".taz": ".tar"}


def known_suffixes(suffix: str, format: str) -> list[tuple[str, str]]:
    """The suffixes of compressed files and what replaces each, in gzip's
    order: -S's first, unless it ends one of gzip's own (-S z), then last."""
    builtin = list(GZIP_SUFFIXES.items()) if format == "gzip" else []
    if any(each.lower().endswith(suffix.lower()) for each, _ in builtin):
        return [*builtin, (suffix, "")]
    return [(suffix, ""), *builtin]


def compressed_suffix(path: str, suffix: str, format: str) -> str:
    """The suffix of a compressed file that the name ends with, as it is
    written there (gzip's own, in any case, and -S's), or ""."""
    base = os.path.basename(path)
    for each, _ in known_suffixes(suffix, format):
        if len(base) > len(each) and base.lower().endswith(each.lower()):
            return base[-len(each) :]
    return ""


def uncompressed_name(tool: Tool, path: str) -> str | None:
    """The output's name: the suffix taken off (gzip's others too for
    gzip files). Without one, -t and -l read the file all the same (but
    in a -r walk), and -d leaves it, with gzip's warning unless -q or -r
    hush it."""
    folder, base = os.path.split(path)
    args = tool.args
    for known, replacement in known_suffixes(tool.suffix, args.format):
        if len(base) > len(known) and base.lower().endswith(known.lower()):
            return os.path.join(folder, base[: -len(known)] + replacement)
    if (args.test or args.list) and not args.recursive:
        return path
    if args.verbose or not (args.recursive or args.quiet):
        raise Skipped(f"{path}: unknown suffix -- ignored")
    return None


def restored_name(tool: Tool, path: str, source: BinaryIO, target: str) -> tuple[str, int | None]:
    """With -N: the name and time stored in the header, when there are,
    the header read to its end however long it is. A name longer than
    the folder takes is cut, as gzip cuts it."""
    from ..gzip_header import HeaderParser, NotGzip

    if tool.args.format != "gzip":
        return target, None
    parser = HeaderParser()
    try:
        while True:
            block = source.read(1 << 16)
            parsed = parser.feed(block) if block else None
            if parsed is not None or not block:
                break
    except NotGzip:
        parsed = None  # inflating says what is wrong
    source.seek(0)
    if parsed is None:
        return target, None
    header = parsed[0]
    if header.name is None:
        return target, header.mtime or None
    name = stored_name(path, header)
    stored = os.fsencode(os.path.basename(name))
    if stored in (b"", b".", b".."):
        # As gzip: the folder's own name is not written over, and no name is none.
        if not os.path.lexists(name):
            raise Failure(f"{name}: Is a directory" if name else "No such file or directory")
    elif not name.endswith("/"):
        folder = os.path.dirname(path)
        name = os.path.join(folder, os.fsdecode(fitting(tool, folder, stored)))
    elif not os.path.lexists(name):
        raise Failure(f"{name}: Is a directory")
    return name, header.mtime or None


def stored_name(path: str, header: Header) -> str:
    """The name -N gives a gzip file's output, as gzip makes it: the folder
    of the input, then the last part of the stored name (with any slashes
    after it); corrupt input when the two are 1024 bytes or more."""
    from ..gzip_header import NAME_LIMIT

    prefix = path[: len(path) - len(os.path.basename(path))]
    stored = header.name or b""
    if header.name_too_long or len(os.fsencode(prefix)) + len(stored) >= NAME_LIMIT:
        raise Failure(f"{path}: corrupted input -- file name too large", inside=True, fatal=True)
    parts = stored.rstrip(b"/")
    last = parts.rpartition(b"/")[2] + stored[len(parts) :] if parts else b""
    return prefix + os.fsdecode(last)


def shortened_output(path: str, suffix: str) -> str:
    """The compressed file's name, shortened as gzip shortens it when the
    folder takes no name that long: .tar becomes .tgz, else a byte goes
    from the end of the last dot-separated part longer than 3 bytes (2, 1),
    until it fits."""
    target = path + suffix
    folder, base = os.path.split(target)
    try:
        limit = os.pathconf(folder or ".", "PC_NAME_MAX")
    except (OSError, ValueError):
        return target
    name, ending = os.fsencode(base), os.fsencode(suffix)
    while len(name) > limit:
        stem = name[: -len(ending)]
        if stem.endswith(b".tar"):
            name = stem[:-4] + b".tgz"
            continue
        name = shorter_stem(stem) + ending
    return os.path.join(folder, os.fsdecode(name))


def shorter_stem(stem: bytes) -> bytes:
    for longer_than in (3, 2, 1):
        cut, end = -1, 0
        for part in stem.split(b"."):
            end += len(part)
            if len(part) > longer_than:
                cut = end - 1
            end += 1
        if cut >= 0:
            return stem[:cut] + stem[cut + 1 :]
    # No part longer than a byte: all from the last dot goes.
    dot = stem.rfind(b".")
    if dot < 0:
        raise Failure(f"{os.fsdecode(stem)}: File name too long")
    return stem[: dot - 1 if dot == len(stem) - 1 else dot]


def fitting(tool: Tool, folder: str, name: bytes) -> bytes:
    try:
        limit = os.pathconf(folder or ".", "PC_NAME_MAX")
    except (OSError, ValueError):
        return name
    if len(name) <= limit:
        return name
    name = name[:limit]
    tool.note(Skipped(f"{os.path.join(folder, os.fsdecode(name))}: warning, name truncated"))
    return name
