"""Dask collections over one indexed gzip file (written with index=True or
``vekzip --index``): as many partitions as the file has chunks, each
inflated apart on whichever worker runs it, where Dask alone refuses to
split a gzip file.

A partition holds the lines that start in its chunk: it drops a first line
that began in the chunk before (the index keeps each chunk's last byte), and
takes the rest of its last line from the chunks after it. Files written with
newline-aligned chunks need neither.

    import vekzip.dask
    lines = vekzip.dask.read_text("big.log.gz")          # a dask.bag.Bag
    frame = vekzip.dask.read_csv("table.csv.gz")         # a dask DataFrame

The result equals reading the whole file at once.
"""

from __future__ import annotations

import functools
import io
import os
import threading

from .index import Chunk, NoIndex, read_index
from .reader import inflate_chunk

TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import Any


def read_text(path: str | os.PathLike[str], *, encoding: str = "utf-8", errors: str = "strict") -> Any:
    """A dask.bag.Bag of the file's lines (each with its "\\n"), a partition
    per chunk."""
    import dask
    import dask.bag

    path = os.fspath(path)
    count = len(_chunks(path, *_identity(path)))
    parts = [dask.delayed(_lines)(path, k, encoding, errors) for k in range(count)]
    return dask.bag.from_delayed(parts)


def read_csv(path: str | os.PathLike[str], **kwargs: Any) -> Any:
    """A dask DataFrame of a CSV file, a partition per chunk; the first line
    is the header of every partition (unless header=None). Keyword
    arguments go to pandas.read_csv."""
    import dask.dataframe
    import pandas

    path = os.fspath(path)
    count = len(_chunks(path, *_identity(path)))
    header = b""
    if kwargs.get("header", "infer") is not None:
        header = _partition(path, 0).split(b"\n", 1)[0] + b"\n"
    meta = pandas.read_csv(io.BytesIO(_partition(path, 0)), **kwargs).iloc[:0]
    return dask.dataframe.from_map(_frame, [(path, k, header) for k in range(count)], meta=meta, kwargs=kwargs)


def _identity(path: str) -> tuple[int, int]:
    info = os.stat(path)
    return info.st_size, info.st_mtime_ns


@functools.lru_cache(maxsize=16)
def _chunks(path: str, size: int, mtime_ns: int) -> list[Chunk]:
    """The file's chunks, once per process and version of the file."""
    with open(path, "rb") as f:
        try:
            return read_index(f)
        except NoIndex as error:
            raise ValueError(f"{path}: not an indexed gzip file ({error}); write it with index=True") from None


def _partition(path: str, number: int) -> bytes:
    """The bytes of the lines that start in chunk `number`."""
    chunks = _chunks(path, *_identity(path))
    lock = threading.Lock()
    with open(path, "rb") as f:
        data = inflate_chunk(f, chunks[number], lock)
        if number > 0 and chunks[number - 1].last_byte != 0x0A:
            cut = data.find(b"\n")
            data = b"" if cut < 0 else data[cut + 1 :]
            if not data:
                return b""  # all of it belongs to a line that began earlier
        following = number + 1
        while data and data[-1:] != b"\n" and following < len(chunks):
            more = inflate_chunk(f, chunks[following], lock)
            cut = more.find(b"\n")
            if cut >= 0:
                return data + more[: cut + 1]
            data += more
            following += 1
    return data


def _lines(path: str, number: int, encoding: str, errors: str) -> list[str]:
    text = _partition(path, number).decode(encoding, errors)
    pieces = text.split("\n")
    lines = [piece + "\n" for piece in pieces[:-1]]
    if pieces[-1]:
        lines.append(pieces[-1])
    return lines


def _frame(part: tuple[str, int, bytes], kwargs: dict) -> Any:
    import pandas

    path, number, header = part
    body = _partition(path, number)
    if number == 0:
        return pandas.read_csv(io.BytesIO(body), **kwargs)
    return pandas.read_csv(io.BytesIO(header + body), **kwargs)
