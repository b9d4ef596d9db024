"""Dask collections over one indexed gzip file (written with index=True or
``vekzip --index``): as many partitions as the file has chunks, each
inflated apart on whichever worker runs it, where Dask alone refuses to
split a gzip file.

A partition holds the lines that start in its chunk: it drops a first line
that began in the chunk before, and takes the rest of its last line from the
chunks after it. Whether the chunk before ended a line is the index's
last-byte field, which is only a claim: the partition that inflates that
chunk checks it against the bytes, and every partition depends on the
proof of every chunk before it, so a false claim fails the computation
instead of moving a line.

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

# The pandas.read_csv options under which a partition of whole lines parses
# as the same rows as it does inside the whole file. The others (skiprows,
# nrows, skipfooter, several header rows, escapechar, another line
# terminator or engine, ...) depend on rows of other partitions or cut
# records elsewhere than at a newline, and are refused.
CSV_OPTIONS = frozenset({
    "sep", "delimiter", "header", "names", "index_col", "usecols", "dtype", "converters", "true_values",
    "false_values", "skipinitialspace", "na_values", "keep_default_na", "na_filter", "skip_blank_lines",
    "parse_dates", "date_format", "dayfirst", "decimal", "thousands", "quotechar", "quoting", "doublequote",
    "comment", "encoding", "encoding_errors", "dtype_backend", "float_precision", "low_memory", "engine",
})
# What the first row is, for the options that read it: they apply to the
# first partition only, the others get the column names.
HEADER_OPTIONS = ("header", "names")
# Chunks whose proofs are gathered in one task.
PROOF_BLOCK = 32
# Rows read in sequence for the column types when the first partition has none.
SAMPLE_ROWS = 1000


def read_text(path: str | os.PathLike[str], *, encoding: str = "utf-8", errors: str = "strict") -> Any:
    """A dask.bag.Bag of the file's lines (each with its "\\n"), a partition
    per chunk."""
    import dask
    import dask.bag

    if not _cut_at_newline_bytes(encoding):
        raise ValueError(f"vekzip.dask.read_text cannot split a file in {encoding!r}: its lines are not cut at the byte "
                         "0x0A; read it with vekzip.open(path, 'rt', encoding=...) instead")
    path = os.fspath(path)
    pieces, checks = _pieces(path)
    parts = [dask.delayed(_lines)(piece, check, encoding, errors) for piece, check in zip(pieces, checks)]
    return dask.bag.from_delayed(parts)


def read_csv(path: str | os.PathLike[str], **kwargs: Any) -> Any:
    """A dask DataFrame of a CSV file, a partition per chunk, equal to
    pandas.read_csv of the whole file (index included) for the options in
    CSV_OPTIONS; others raise ValueError. A partition that ends inside a
    quoted field (a newline in it across a chunk boundary) takes in the
    partitions after it until its records end. Column types are inferred per partition,
    as Dask does; a partition that infers other types than the first raises
    ValueError (pass dtype=)."""
    import dask
    import dask.dataframe
    import pandas

    _check_csv_options(kwargs)
    path = os.fspath(path)
    names = _column_names(path, kwargs)
    pieces, checks = _pieces(path)
    first = _parse(_partition(path, 0), 0, kwargs, names)
    if first is None or isinstance(first, str):  # no rows to infer types from: the first ones in sequence
        with _open_at(path, 0) as f:
            first = pandas.read_csv(f, nrows=SAMPLE_ROWS, **kwargs)
    meta = first.iloc[:0]
    state: Any = (0, 0)  # the first partition that starts at a record's start; rows before it
    parts = []
    for number, (piece, check) in enumerate(zip(pieces, checks)):
        parsed = dask.delayed(_parse)(piece, number, kwargs, names)
        frame, state = dask.delayed(_resolve, nout=2)(parsed, state, check, path, number, kwargs, names, meta)
        parts.append(frame)
    return dask.dataframe.from_delayed(parts, meta=meta, verify_meta=False)


def _check_csv_options(kwargs: dict) -> None:
    refused = sorted(set(kwargs) - CSV_OPTIONS)
    if kwargs.get("header", "infer") not in ("infer", 0, None):
        refused.append(f"header={kwargs['header']!r}")
    if kwargs.get("engine") not in (None, "c"):
        refused.append(f"engine={kwargs['engine']!r}")  # only the C parser refuses a file ending inside quotes
    if kwargs.get("parse_dates") and "date_format" not in kwargs:
        refused.append("parse_dates without date_format")  # each partition would guess its own format
    encoding = kwargs.get("encoding") or "utf-8"
    if not _cut_at_newline_bytes(encoding):
        refused.append(f"encoding={encoding!r}")
    if refused:
        raise ValueError(
            f"vekzip.dask.read_csv cannot split a file read with {', '.join(refused)}; "
            "read it with pandas.read_csv(vekzip.open(path)) instead"
        )


def _cut_at_newline_bytes(encoding: str) -> bool:
    """Whether text in `encoding` can be cut at each byte 0x0A, as the
    partitions are (not UTF-16 or UTF-32, where that byte is half of other
    characters)."""
    return "\n,".encode(encoding).endswith(b"\n,")


def _identity(path: str) -> tuple[int, int]:
    info = os.stat(path)
    return info.st_size, info.st_mtime_ns


@functools.lru_cache(maxsize=16)
def _chunks(path: str, size: int, mtime_ns: int) -> list[Chunk]:
    """The file's chunks, once per process and version of the file."""
    from .reader import ChunkInflater

    if ChunkInflater is None:
        raise ValueError(f"{path}: this vekzip was built without zlib's headers and cannot prove an index's chunks")
    with open(path, "rb") as f:
        try:
            return read_index(f)
        except NoIndex as error:
            raise ValueError(f"{path}: not an indexed gzip file ({error}); write it with index=True") from None


def _pieces(path: str) -> tuple[list, list]:
    """Per chunk, the delayed lines that start in it and the proof of every
    chunk before it: a chunk's bytes are what a sequential reader reads
    only when the chunks before it are proven too, and their last bytes, as
    the index claims them, decide where the lines begin. The proofs are
    small tasks (the bytes stay where they are, the chunks inflate in
    parallel), gathered by blocks so that the one chain among them, over
    the blocks, stays short."""
    import dask

    chunks = _chunks(path, *_identity(path))
    pieces = [dask.delayed(_partition)(path, k) for k in range(len(chunks))]
    read = [dask.delayed(len)(piece) for piece in pieces]  # small: a piece read and checked
    blocks_before: list = [None]  # every block before block b proven
    for first in range(0, len(pieces), PROOF_BLOCK):
        whole_block = dask.delayed(_proven)(*read[first : first + PROOF_BLOCK])
        blocks_before.append(dask.delayed(_proven)(blocks_before[-1], whole_block))
    checks = [
        dask.delayed(_proven)(blocks_before[k // PROOF_BLOCK], *read[k - k % PROOF_BLOCK : k]) if k else None
        for k in range(len(pieces))
    ]
    return pieces, checks


def _proven(*earlier: Any) -> bool:
    return True  # reached only when every piece it depends on was read and checked


def _filled_before(chunks: list[Chunk], number: int) -> int | None:
    """The last chunk before `number` that holds bytes."""
    for k in range(number - 1, -1, -1):
        if chunks[k].size:
            return k
    return None


def _partition(path: str, number: int) -> tuple[int, bytes]:
    """Where in the file's uncompressed bytes the lines that start in chunk
    `number` begin, and their bytes."""
    chunks = _chunks(path, *_identity(path))
    chunk, lock = chunks[number], threading.Lock()
    with open(path, "rb") as f:
        data = inflate_chunk(f, chunk, lock)
        if data and data[-1] != chunk.last_byte:
            raise ValueError(f"{path}: the index says chunk {number} ends with byte {chunk.last_byte}, it ends with {data[-1]}")
        start = chunk.start
        before = _filled_before(chunks, number)
        if before is not None and chunks[before].last_byte != 0x0A:  # checked where that chunk is read
            cut = data.find(b"\n")
            if cut < 0:
                return chunk.start + chunk.size, b""  # all of it belongs to a line that began earlier
            start, data = start + cut + 1, data[cut + 1 :]
        following = number + 1
        while data and data[-1:] != b"\n" and following < len(chunks):
            more = inflate_chunk(f, chunks[following], lock)
            cut = more.find(b"\n")
            if cut >= 0:
                return start, data + more[: cut + 1]
            data += more
            following += 1
    return start, data


def _lines(piece: tuple[int, bytes], check: Any, encoding: str, errors: str) -> list[str]:
    text = piece[1].decode(encoding, errors)
    pieces = text.split("\n")
    lines = [piece + "\n" for piece in pieces[:-1]]
    if pieces[-1]:
        lines.append(pieces[-1])
    return lines


def _column_names(path: str, kwargs: dict) -> list | None:
    """The names the partitions after the first give their columns: the
    ones given, or the header row's as pandas reads it, or none."""
    import pandas

    if kwargs.get("names") is not None:
        return list(kwargs["names"])
    if kwargs.get("header", "infer") is None:
        return None
    header_only = {k: v for k, v in kwargs.items() if k not in ("usecols", "index_col", "dtype", "converters", "parse_dates")}
    with _open_at(path, 0) as f:
        return list(pandas.read_csv(f, nrows=0, **header_only).columns)


def _open_at(path: str, start: int) -> Any:
    import vekzip

    f = vekzip.open(path, "rb")
    f.seek(start)
    return f


_EMPTY = "empty"


def _parse(piece: tuple[int, bytes], number: int, kwargs: dict, names: list | None) -> Any:
    """The partition's rows, read as if it began at a record's start;
    None when it ends inside a quoted field (it did not)."""
    import pandas

    data = piece[1]
    if not data.strip():
        return _EMPTY
    options = _options(kwargs, number, names)
    try:
        frame = pandas.read_csv(io.BytesIO(data), **options)
        return frame if len(frame) else _EMPTY  # a header alone says nothing of the types
    except pandas.errors.ParserError as error:
        if "EOF inside string" in str(error):
            return None
        raise


def _options(kwargs: dict, number: int, names: list | None) -> dict:
    """The options for a partition: the header's apply to the first only."""
    if number == 0:
        return kwargs
    return {**{k: v for k, v in kwargs.items() if k not in HEADER_OPTIONS}, "header": None, "names": names}


def _resolve(parsed: Any, state: tuple[int, int], check: Any, path: str, number: int, kwargs: dict,
             names: list | None, meta: Any) -> tuple[Any, tuple[int, int]]:
    """The partition as it stands in the whole file, and the state for the
    next. `state` holds the first partition that starts at a record's
    start (the first partition does, and so does each after one that ends
    at a record's end) and the rows before it. A partition that ends inside
    a quoted field takes in the partitions after it until its records
    end; those it took in are empty."""
    import pandas

    resume, rows_before = state
    if number < resume:
        return meta, state
    following = number + 1
    if parsed is None:
        chunk_count = len(_chunks(path, *_identity(path)))
        data = _partition(path, number)[1]
        while parsed is None:
            if following == chunk_count:  # the file ends inside quotes: pandas' own refusal
                return pandas.read_csv(io.BytesIO(data), **_options(kwargs, number, names)), state
            data += _partition(path, following)[1]
            following += 1
            parsed = _parse((0, data), number, kwargs, names)
    next_state = (following, rows_before + (0 if isinstance(parsed, str) else len(parsed)))
    if isinstance(parsed, str) or not len(parsed):
        return meta, next_state
    if list(parsed.columns) != list(meta.columns):
        raise ValueError(f"{path}: partition {number} has columns {list(parsed.columns)}, the first {list(meta.columns)}")
    differing = [c for c in meta.columns if parsed[c].dtype != meta[c].dtype]
    if differing:
        found = ", ".join(f"{c}: {parsed[c].dtype} (first partition {meta[c].dtype})" for c in differing[:3])
        found += f" and {len(differing) - 3} more" if len(differing) > 3 else ""
        raise ValueError(f"{path}: partition {number} infers other column types ({found}); pass dtype=")
    if isinstance(parsed.index, pandas.RangeIndex):  # the whole file's row numbers
        parsed.index = pandas.RangeIndex(rows_before, rows_before + len(parsed))
    return parsed, next_state
