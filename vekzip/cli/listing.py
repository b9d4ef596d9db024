"""-l: gzip's table of compressed and uncompressed sizes."""

from __future__ import annotations

import os
import time

TYPE_CHECKING = False

from .failures import Failure
from .files import open_input
from .names import uncompressed_name
from .progress import Counted, Progress

if TYPE_CHECKING:
    from typing import BinaryIO

    from .driver import Tool


def print_heading(tool: Tool) -> None:
    if tool.args.verbose:
        print("method  crc     date  time  ", end="")
    print(f"{'compressed':>19} {'uncompressed':>19}  ratio uncompressed_name")


def list_file(tool: Tool, path: str, info: os.stat_result) -> None:
    if tool.args.format != "gzip":
        raise Failure(f"{path}: --list reads gzip files only")
    with open_input(path) as source:
        target = uncompressed_name(tool, path, top=True) or path
        list_stream(tool, source, target, info)


def list_stream(tool: Tool, source: BinaryIO, target: str, info: os.stat_result | None) -> None:
    """gzip -l's line. As gzip 1.12 does, the whole file is read: the
    uncompressed length and CRC are the last member's, and the header
    and trailer are left out of the ratio only for a single member."""
    from ..inflate import Corrupt, inflate
    from .decompress import discard

    args = tool.args
    counted = Counted(source, target, Progress(target, None, args))
    try:
        outcome = inflate(counted.read, discard, "gzip")
    except Corrupt as error:
        raise Failure(f"{target}: {error}") from None
    header = outcome.header
    assert header is not None
    length, size = counted.count, outcome.last_size
    overhead = header.length + 8 if outcome.members == 1 else 0
    name = target
    if args.name and header.name:
        name = os.path.join(os.path.dirname(target), os.fsdecode(header.name))
    if args.verbose:
        when = header.mtime if args.name and header.mtime else (info.st_mtime if info else time.time())
        print(f"defla {outcome.last_crc:08x} {time.strftime('%b %e %H:%M', time.localtime(when))} ", end="")
    print(f"{length:19d} {size:19d} {ratio(size - (length - overhead), size)} {name}")
    tool.listed.append((length, size, overhead))


def print_totals(tool: Tool) -> None:
    listed = tool.listed
    compressed = sum(c for c, _, _ in listed)
    uncompressed = sum(u for _, u, _ in listed)
    overhead = listed[-1][2]  # as gzip counts it: the last file's header only
    if tool.args.verbose:
        print(" " * 28, end="")
    print(f"{compressed:19d} {uncompressed:19d} {ratio(uncompressed - (compressed - overhead), uncompressed)} (totals)")


def ratio(saved: int, whole: int) -> str:
    return f"{100.0 * saved / whole if whole else 0.0:5.1f}%"
