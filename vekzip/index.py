"""Splittable gzip: the index vekzip writes after a member (index=True) and
finds again from the end of a file.

vek keeps no history between chunks, so a chunk that starts byte-aligned at
a block boundary can be inflated on its own. With an index, every chunk
after the first starts after a sync point and a full-flush point (the nine
bytes 00 00 ff ff 00 00 00 ff ff, as pigz -i writes them), and after the
member comes one empty gzip member whose extra field holds, under the
subfield ID "VK":

    head   "vkix", version 1, flags (bit 0: an earlier index member of the
           same member comes before this one), the covered member's length
           (u64), the number of the first chunk listed here (u32), the count
           of chunks listed here (u32)
    chunk  its compressed length from its first byte to the next chunk's
           (u64), its uncompressed length (u64), its CRC-32 (u32), its last
           uncompressed byte (u8), for each chunk
    tail   the CRC-32 of everything above in the subfield (u32), the
           subfield's length (u16), "VKIX"

all little-endian. The empty member's deflate body and trailer are the
fixed ten bytes 03 00 00 00 00 00 00 00 00 00, so the tail sits at a fixed
place from the end of the file. A member with more chunks than one extra
field holds gets several index members in a row, each extra field at most
16 KiB (busybox's gzip refuses more; files written before that limit, with
up to 64 KiB, are still read). Every gzip reader decodes such a file to the
same bytes (an index member yields none); a file that is a concatenation of
indexed files is indexed all through.

The index only says where to look: the reader proves each chunk before it
trusts it (see vekzip.reader), so a lying index costs speed, never bytes.
"""

from __future__ import annotations

import struct
import zlib

from . import gzip_header

TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import BinaryIO, Sequence

SUBFIELD_ID = b"VK"
HEAD = struct.Struct("<4sBBQII")
ENTRY = struct.Struct("<QQIB")
TAIL = struct.Struct("<IH4s")
HEAD_MAGIC, TAIL_MAGIC, VERSION = b"vkix", b"VKIX", 1
CONTINUED = 1
EMPTY_MEMBER_END = b"\x03\x00" + b"\x00" * 8  # empty final block, CRC-32 0, length 0
# busybox's gzip refuses an extra field over 16 KiB, 4 bytes of it the
# subfield's ID and length: 778 chunks per index member.
MAX_EXTRA = 16384
MAX_ENTRIES = (MAX_EXTRA - 4 - HEAD.size - TAIL.size) // ENTRY.size
# No stream is larger than this; a larger total is a hostile index.
MAX_TOTAL = (1 << 63) - 1
# More chunks than one per 4 KiB of file (and 4,096 in any file) are not worth
# reading apart, and listing them all would take memory and proving time out
# of proportion to the file (a 21 MB file listing a million empty chunks took
# 215 MB and a minute): such a file is read in sequence. vek's chunks of 1 MiB
# compress to more than 4 KiB unless the data is nearly all one byte.
FILE_BYTES_PER_CHUNK = 4096
CHUNKS_IN_ANY_FILE = 4096
# Header, XLEN, subfield ID and LEN before the subfield's data.
INDEX_HEADER_SIZE = 10 + 2 + 4


class NoIndex(Exception):
    """The file has no index vekzip can trust; it is read in sequence."""


class Chunk:
    """A chunk of the uncompressed stream: where its bytes are in the file,
    where it is in the output, and what it must inflate to."""

    __slots__ = ("offset", "length", "start", "size", "crc", "last_byte", "final")

    def __init__(
        self, offset: int, length: int, start: int, size: int, crc: int, last_byte: int, final: bool = False
    ) -> None:
        self.offset, self.length, self.start, self.size, self.crc, self.last_byte = (
            offset, length, start, size, crc, last_byte
        )
        self.final = final  # the member's last chunk: its deflate stream ends with it


def index_members(member_length: int, records: Sequence[tuple[int, int, int, int]]) -> bytes:
    """The index members for a member of `member_length` bytes whose chunks
    the engine recorded as (start in the member, uncompressed length,
    CRC-32, last byte)."""
    ends = [start for start, _, _, _ in records[1:]] + [member_length - gzip_header.TRAILER_SIZE]
    entries = [ENTRY.pack(end - start, size, crc, last) for (start, size, crc, last), end in zip(records, ends)]
    out = []
    for first in range(0, max(len(entries), 1), MAX_ENTRIES):
        listed = entries[first : first + MAX_ENTRIES]
        body = HEAD.pack(HEAD_MAGIC, VERSION, CONTINUED if first else 0, member_length, first, len(listed))
        body += b"".join(listed)
        data = body + TAIL.pack(zlib.crc32(body), len(body) + TAIL.size, TAIL_MAGIC)
        extra = SUBFIELD_ID + struct.pack("<H", len(data)) + data
        out.append(gzip_header.make_header(extra=extra) + EMPTY_MEMBER_END)
    return b"".join(out)


def read_index(file: BinaryIO, start: int = 0) -> list[Chunk]:
    """Every chunk of a seekable file, from byte `start` to its end, made of
    indexed members, in order; NoIndex when any part of it is not covered
    by a well-formed index. Linear in the number of index members."""
    end = file.seek(0, 2)
    most_chunks = max(CHUNKS_IN_ANY_FILE, (end - start) // FILE_BYTES_PER_CHUNK)
    listed_so_far = 0
    segments: list[list[Chunk]] = []  # last member first
    while end > start:
        parts: list[list[tuple[int, int, int, int]]] = []  # last index member first
        member_length = None
        first = None
        # The index members of one member, last first.
        while first != 0:
            begin, head, listed = _index_member_before(file, end)
            if member_length is not None and head[3] != member_length:
                raise NoIndex("index members of one member disagree")
            member_length = head[3]
            if first is not None and head[4] + head[5] != first:
                raise NoIndex("index members of one member are not in order")
            first = head[4]
            if bool(head[2] & CONTINUED) != (first > 0):
                raise NoIndex("an index member says it continues one that is not there")
            parts.append(listed)
            listed_so_far += len(listed)
            if listed_so_far > most_chunks:
                raise NoIndex("more chunks than are worth reading apart")
            end = begin
        assert member_length is not None
        member_start = end - member_length
        if member_start < start:
            raise NoIndex("the index covers more than the file holds")
        entries = [entry for listed in reversed(parts) for entry in listed]
        segments.append(_member_chunks(file, member_start, member_length, entries))
        end = member_start
    chunks: list[Chunk] = []
    produced = 0
    for segment in reversed(segments):
        for chunk in segment:
            chunk.start = produced
            produced += chunk.size
            chunks.append(chunk)
    if produced > MAX_TOTAL:
        raise NoIndex("the index declares more bytes than a stream can hold")
    return chunks


def _index_member_before(file: BinaryIO, end: int) -> tuple[int, tuple, list]:
    """The index member that ends at `end`: its start, head and entries."""
    tail_at = end - len(EMPTY_MEMBER_END) - TAIL.size
    if tail_at < INDEX_HEADER_SIZE:
        raise NoIndex("too short for an index")
    file.seek(tail_at)
    tail = file.read(TAIL.size + len(EMPTY_MEMBER_END))
    if tail[TAIL.size :] != EMPTY_MEMBER_END:
        raise NoIndex("the file does not end with an empty member")
    crc, data_length, magic = TAIL.unpack_from(tail)
    if magic != TAIL_MAGIC or data_length < HEAD.size + TAIL.size:
        raise NoIndex("no index tail")
    start = tail_at + TAIL.size - data_length - INDEX_HEADER_SIZE
    if start < 0:
        raise NoIndex("the index starts before the file")
    file.seek(start)
    member = file.read(INDEX_HEADER_SIZE + data_length)
    expected_extra = SUBFIELD_ID + struct.pack("<H", data_length)
    if (
        member[:4] != b"\x1f\x8b\x08" + bytes([gzip_header.FEXTRA])
        or struct.unpack_from("<H", member, 10)[0] != data_length + 4
        or member[12:16] != expected_extra
    ):
        raise NoIndex("no index member header")
    data = member[INDEX_HEADER_SIZE:]
    if zlib.crc32(data[: -TAIL.size]) != crc:
        raise NoIndex("the index fails its CRC")
    head = HEAD.unpack_from(data)
    if head[0] != HEAD_MAGIC or head[1] != VERSION:
        raise NoIndex("unknown index version")
    count = head[5]
    if HEAD.size + count * ENTRY.size + TAIL.size != data_length:
        raise NoIndex("the index's length does not match its count")
    listed = [ENTRY.unpack_from(data, HEAD.size + i * ENTRY.size) for i in range(count)]
    return start, head, listed


def _member_chunks(file: BinaryIO, start: int, length: int, entries: list) -> list[Chunk]:
    """The chunks of the member at `start`, checked against its header and
    trailer: the lengths must tile the member, and the chunks' CRC-32s must
    combine to the trailer's."""
    from . import _engine

    file.seek(start)
    head = file.read(min(length, 1 << 16))
    try:
        header = gzip_header.parse_header(head)
    except gzip_header.NotGzip:
        raise NoIndex("the index does not point at a gzip member") from None
    if header is None:
        raise NoIndex("the indexed member's header is cut off")
    if not entries or sum(e[0] for e in entries) != length - header.length - gzip_header.TRAILER_SIZE:
        raise NoIndex("the chunks do not tile the member")
    if sum(e[1] for e in entries) > MAX_TOTAL:
        raise NoIndex("the index declares more bytes than a stream can hold")
    if any(size == 0 and last != 0 for _, size, _, last in entries):
        raise NoIndex("an empty chunk with a last byte")
    file.seek(start + length - gzip_header.TRAILER_SIZE)
    crc, size = struct.unpack("<II", file.read(gzip_header.TRAILER_SIZE))
    combined, total = 0, 0
    for _, chunk_size, chunk_crc, _ in entries:
        combined = _engine.crc32_combine(combined, chunk_crc, chunk_size)
        total += chunk_size
    if combined != crc or total & 0xFFFFFFFF != size:
        raise NoIndex("the chunks' CRC-32s do not make the member's")
    chunks, offset = [], start + header.length
    for compressed, chunk_size, chunk_crc, last in entries:
        chunks.append(Chunk(offset, compressed, 0, chunk_size, chunk_crc, last))
        offset += compressed
    chunks[-1].final = True
    return chunks

