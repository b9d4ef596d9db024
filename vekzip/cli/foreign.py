"""What gzip -d reads besides gzip: compress's .Z (LZW, through the
ncompress package), pack's Huffman-coded files (no package reads them: a
small decoder here) and a zip file's first entry (stored or deflated), with
gzip's words for what it refuses. Both are read as a stream, from the
start, as gzip reads them: the zip's own directory at its end is never
looked at."""

from __future__ import annotations

import struct

TYPE_CHECKING = False

from .failures import Failure, Skipped

if TYPE_CHECKING:
    from typing import Callable

LZW_MAGIC = b"\x1f\x9d"
PACK_MAGIC = b"\x1f\x1e"
PACK_LONGEST = 25  # gzip's longest pack code
ZIP_MAGIC = b"PK\x03\x04"
ZIP_HEADER = struct.Struct("<4sHHHHHIIIHH")  # a zip entry's local header
STORED, DEFLATED = 0, 8
# The method gzip -l names for each kind.
METHOD_NAMES = {"lzw": "compr", "pack": "pack ", "zip-0": "store", "zip-8": "defla"}


def kind_of(head: bytes) -> str | None:
    if head[:2] == LZW_MAGIC:
        return "lzw"
    if head[:2] == PACK_MAGIC:
        return "pack"
    if head[:4] == ZIP_MAGIC:
        return "zip"
    return None


class Decoded:
    """What a foreign stream held, as inflate's Outcome tells it of gzip."""

    def __init__(self, kind: str) -> None:
        self.kind, self.size, self.members, self.header = kind, 0, 1, None
        self.trailing_garbage = self.trailing_zeros = False
        self.last_crc, self.last_size = -1, 0
        self.warning: Skipped | None = None


def decode(kind: str, read: Callable[[int], bytes], write: Callable[[bytes], object], name: str, to_stdout: bool,
           on_header: Callable[[None], object] | None = None) -> Decoded:
    """Decodes a .Z stream or a zip's first entry into write(), then reads
    the input to its end, as gzip counts it; on_header() is told once the
    stream's header is accepted."""
    outcome = Decoded(kind)
    started = on_header or (lambda _: None)

    def counted_write(data: bytes) -> None:
        outcome.size += len(data)
        write(data)

    if kind == "lzw":
        started(None)
        unlzw(read, counted_write, name)
    elif kind == "pack":
        started(None)  # as gzip: the magic is enough, a refused tree comes after -v's name
        unpack(read, counted_write, name)
    else:
        outcome.kind = unzip(read, counted_write, name, to_stdout, outcome, started)
    while read(1 << 20):
        pass
    outcome.last_size = outcome.size
    return outcome


class _Streams:
    """The file-like ends ncompress reads from and writes to."""

    def __init__(self, read: Callable[[int], bytes], write: Callable[[bytes], object]) -> None:
        self.read, self.write = read, write


def unlzw(read: Callable[[int], bytes], write: Callable[[bytes], object], name: str) -> None:
    try:
        import ncompress
    except ImportError:
        raise Failure(f"{name}: reading compress (.Z) data needs the ncompress package") from None
    held = [_exactly(read, 3, b"", name)]  # as gzip: magic and flags, or the end came too soon

    def read_after_head(size: int) -> bytes:
        return held.pop() if held else read(size)

    ends = _Streams(read_after_head, write)
    try:
        ncompress.decompress(ends, ends)
    except ValueError as error:
        text = str(error)
        if text.startswith("compressed with"):
            raise Failure(f"{name}: {text}", inside=True) from None
        raise Failure(f"{name}: corrupt input.", inside=True, fatal=True) from None


def unpack(read: Callable[[int], bytes], write: Callable[[bytes], object], name: str) -> None:
    """pack's format: the length, the leaves of a canonical Huffman tree
    level by level (the last code of the deepest level ends the data),
    then the codes, most significant bit first."""
    def refused(text: str) -> Failure:
        return Failure(f"{name}: {text}", inside=True, fatal=True)

    head = _exactly(read, 7, b"", name)
    length, longest = int.from_bytes(head[2:6], "big"), head[6]
    if not 1 <= longest <= PACK_LONGEST:
        raise refused("invalid compressed data -- Huffman code bit length out of range")
    counts = [0, *_exactly(read, longest, head[7:], name)[:longest]]
    room = 1
    for level in range(1, longest + 1):
        if room - (level == longest) < counts[level]:
            raise refused("too many leaves in Huffman tree")
        room = (room - counts[level] + 1) * 2 - 1
    if sum(counts) >= 256:
        raise refused("too many leaves in Huffman tree")
    counts[longest] += 1  # the count stored is one short, to fit in a byte
    literals = _exactly(read, sum(counts), b"", name)
    rest, literals = literals[sum(counts) :], literals[: sum(counts)]
    counts[longest] += 1  # and the end code
    # Codes below parents[level] lead deeper; the others are that level's leaves.
    parents, firsts, nodes, start = [0] * (longest + 1), [0] * (longest + 1), 0, 0
    for level in range(1, longest + 1):
        firsts[level], start = start, start + counts[level] - (level == longest)
    for level in range(longest, 0, -1):
        nodes >>= 1
        parents[level] = nodes
        nodes += counts[level]
    out, code, level, produced = bytearray(), 0, 0, 0
    while True:
        data = rest or read(1 << 16)
        rest = b""
        if not data:
            raise refused("unexpected end of file")
        for byte in data:
            for shift in range(7, -1, -1):
                code, level = code << 1 | (byte >> shift) & 1, level + 1
                if level > longest:
                    raise refused("invalid compressed data--format violated")
                if code < parents[level]:
                    continue
                if level == longest and code == parents[level] + counts[level] - 1:
                    write(bytes(out))
                    if length != (produced + len(out)) & 0xFFFFFFFF:
                        raise refused("invalid compressed data--length error")
                    return
                out.append(literals[firsts[level] + code - parents[level]])
                code = level = 0
        write(bytes(out))
        produced += len(out)
        out.clear()


def unzip(read: Callable[[int], bytes], write: Callable[[bytes], object], name: str, to_stdout: bool,
          outcome: Decoded, started: Callable[[None], object]) -> str:
    """The first entry of a zip stream, checked against its CRC and length
    as gzip checks them; returns the kind for -l's method name."""
    import zlib

    pending = _exactly(read, ZIP_HEADER.size, b"", name)
    _, _, flags, method, _, _, crc, size, length, name_length, extra_length = ZIP_HEADER.unpack(pending)
    if method not in (STORED, DEFLATED):
        raise Failure(f"{name}: first entry not deflated or stored -- use unzip", inside=True)
    if flags & 1:
        raise Failure(f"{name}: encrypted file -- use unzip", inside=True)
    started(None)
    rest = _exactly(read, name_length + extra_length, b"", name)[name_length + extra_length :]
    checked_crc, checked_length = 0, 0

    def checked(data: bytes) -> None:
        nonlocal checked_crc, checked_length
        checked_crc = zlib.crc32(data, checked_crc)
        checked_length += len(data)
        write(data)

    if method == DEFLATED:
        inflater = zlib.decompressobj(-15)
        while not inflater.eof:
            data = rest or read(1 << 20)
            rest = b""
            if not data:
                raise Failure(f"{name}: unexpected end of file", inside=True, fatal=True)
            try:
                checked(inflater.decompress(data))
            except zlib.error:
                raise Failure(f"{name}: invalid compressed data--format violated", inside=True, fatal=True) from None
        rest = inflater.unused_data
    else:
        if length != size:
            raise Failure(f"{name}: invalid compressed data--length mismatch", inside=True, fatal=True)
        left = size
        while left:
            data = rest or read(min(left, 1 << 20))
            if not data:
                raise Failure(f"{name}: unexpected end of file", inside=True, fatal=True)
            data, rest = data[:left], data[left:]
            left -= len(data)
            checked(bytes(data))
    if flags & 8:  # the CRC and lengths follow the data
        descriptor = _exactly(read, 16, rest, name)
        rest = descriptor[16:]
        crc, length = struct.unpack_from("<I4xI", descriptor, 4)
    if crc != checked_crc:
        raise Failure(f"{name}: invalid compressed data--crc error", inside=True)
    if length != checked_length & 0xFFFFFFFF:
        raise Failure(f"{name}: invalid compressed data--length error", inside=True)
    if _exactly(read, 4, rest, name, short_ok=True)[:4] == ZIP_MAGIC:
        if to_stdout:
            outcome.warning = Skipped(f"{name} has more than one entry--rest ignored")
        else:  # the zip is not removed for its first entry alone
            raise Failure(f"{name} has more than one entry -- unchanged")
    return f"zip-{method}"


def _exactly(read: Callable[[int], bytes], count: int, held: bytes, name: str, short_ok: bool = False) -> bytes:
    """At least `count` bytes: those held, then what read() gives."""
    data = bytes(held)
    while len(data) < count:
        more = read(count - len(data))
        if not more:
            if short_ok:
                break
            raise Failure(f"{name}: unexpected end of file", inside=True, fatal=True)
        data += more
    return data
