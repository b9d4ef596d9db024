"""Splittable gzip (index=True): every gzip reader gets the same bytes; the
index finds every chunk, which inflates on its own; vekzip's reader uses it
on several threads and seeks with it, and reads concatenated, cut, foreign
and damaged files correctly or not at all, never wrongly."""

import base64
import gzip
import io
import random
import shutil
import struct
import subprocess
import sys
import threading
import zlib

import pytest

import vekzip
from vekzip import index as index_format
from vekzip import reader as reader_module
from vekzip.reader import IndexedReader

SIGNATURE = b"\x00\x00\xff\xff\x00\x00\x00\xff\xff"


def sample(seed, n):
    rng = random.Random(seed)
    words = [bytes(rng.randrange(97, 123) for _ in range(rng.randrange(2, 9))) for _ in range(300)]
    lines = []
    size = 0
    while size < n:
        line = b" ".join(rng.choice(words) for _ in range(rng.randrange(1, 30))) + b"\n"
        if rng.random() < 0.05:
            line = rng.randbytes(rng.randrange(1, 400)) + b"\n"
        lines.append(line)
        size += len(line)
    return b"".join(lines)[:n]


DATA = sample(1, 700_000)


def test_every_reader_sees_the_data_and_the_chunks_start_after_the_marker(tmp_path):
    packed = vekzip.compress(DATA, index=True, chunk_size=50_000)
    assert gzip.decompress(packed) == DATA
    path = tmp_path / "i.gz"
    path.write_bytes(packed)
    if shutil.which("gzip"):
        assert subprocess.run(["gzip", "-dc", str(path)], capture_output=True, check=True).stdout == DATA
        assert subprocess.run(["gzip", "-t", str(path)]).returncode == 0
    with open(path, "rb") as f:
        chunks = index_format.read_index(f)
    assert [c.size for c in chunks] == [50_000] * 14
    for k, chunk in enumerate(chunks):
        if k:
            assert packed[chunk.offset - len(SIGNATURE) : chunk.offset] == SIGNATURE
        # Each chunk alone inflates to its part of the input.
        d = zlib.decompressobj(-15)
        assert d.decompress(packed[chunk.offset : chunk.offset + chunk.length]) == DATA[chunk.start : chunk.start + chunk.size]
    # Markers and index at the default chunk size: well under 0.1% of the output.
    big = DATA * 6
    indexed, plain = vekzip.compress(big, index=True), vekzip.compress(big, chunk_size=1 << 20)
    assert 0 < len(indexed) - len(plain) < 0.001 * len(plain)


def test_indexed_bytes_do_not_depend_on_threads_or_writes():
    expected = vekzip.compress(DATA, index=True, chunk_size=40_000)
    assert vekzip.compress(DATA, index=True, chunk_size=40_000, threads=3) == expected
    rng = random.Random(7)
    for threads in (1, 2):
        sink = io.BytesIO()
        with vekzip.VekzipFile(fileobj=sink, mode="wb", threads=threads, chunk_size=40_000, index=True) as f:
            at = 0
            while at < len(DATA):
                n = rng.choice([1, 999, 40_000, 123_456])
                f.write(memoryview(DATA)[at : at + n])
                at += n
        assert sink.getvalue() == expected
    c = vekzip.compressobj(index=True, chunk_size=40_000)
    assert c.compress(DATA) + c.flush() == expected
    with pytest.raises(ValueError, match="gzip"):
        vekzip.compress(DATA, format="zlib", index=True)


@pytest.mark.parametrize("threads", [1, 2, 4])
def test_reading_on_threads_seeks_lines_and_text(tmp_path, threads):
    path = tmp_path / "r.gz"
    path.write_bytes(vekzip.compress(DATA, index=True, chunk_size=30_000))
    with vekzip.open(path, "rb", threads=threads) as f:
        assert isinstance(f.raw, IndexedReader)
        assert f.read() == DATA
        rng = random.Random(threads)
        for _ in range(60):
            at = rng.randrange(len(DATA) + 10)
            n = rng.choice([1, 1024, 70_000])
            f.seek(at)
            assert f.read(n) == DATA[at : at + n]
            assert f.tell() == min(at + n, max(at, len(DATA)))
        f.seek(-100, io.SEEK_END)
        assert f.read() == DATA[-100:]
        f.seek(0)
        pieces = DATA.split(b"\n")
        assert list(f) == [p + b"\n" for p in pieces[:-1]] + ([pieces[-1]] if pieces[-1] else [])
    with vekzip.open(path, "rt", threads=threads, encoding="latin-1", newline="") as t:
        assert t.read() == DATA.decode("latin-1")


def test_concatenated_cut_foreign_and_damaged_files(tmp_path):
    first = vekzip.compress(DATA[:300_000], index=True, chunk_size=64_000)
    second = vekzip.compress(DATA[300_000:], index=True, chunk_size=25_000)
    index_start = first.rindex(b"\x1f\x8b\x08\x04")
    cases = {
        "concatenated": (first + second, DATA, True),
        "index removed": (first[:index_start], DATA[:300_000], False),
        "foreign": (gzip.compress(DATA), DATA, False),
        "foreign then indexed": (gzip.compress(DATA[:300_000]) + second, DATA, False),
    }
    for name, (packed, expected, indexed) in cases.items():
        path = tmp_path / f"{name}.gz"
        path.write_bytes(packed)
        for threads in (1, 2):
            with vekzip.open(path, "rb", threads=threads) as f:
                assert isinstance(getattr(f, "raw", None), IndexedReader) == indexed, name
                assert f.read() == expected, name

    # An index cut in the middle: an incomplete file, reported, never wrong.
    (tmp_path / "cut.gz").write_bytes(first[:-5])
    with pytest.raises((EOFError, OSError)):
        with vekzip.open(tmp_path / "cut.gz", "rb", threads=2) as f:
            f.read()

    # A damaged chunk fails its own check.
    damaged = bytearray(first)
    damaged[len(first) // 2] ^= 0x20
    (tmp_path / "damaged.gz").write_bytes(bytes(damaged))
    with pytest.raises((EOFError, OSError)):
        with vekzip.open(tmp_path / "damaged.gz", "rb", threads=2) as f:
            f.read()

    # An index that lies (its own CRC made right) is refused, and the file
    # read in sequence: still the right bytes.
    tampered = bytearray(first)
    data_at = index_start + index_format.INDEX_HEADER_SIZE
    entry_at = data_at + index_format.HEAD.size
    tampered[entry_at + 16] ^= 1  # the first chunk's CRC-32
    body_end = len(first) - len(index_format.EMPTY_MEMBER_END) - index_format.TAIL.size
    struct.pack_into("<I", tampered, body_end, zlib.crc32(tampered[data_at:body_end]))
    (tmp_path / "tampered.gz").write_bytes(bytes(tampered))
    with vekzip.open(tmp_path / "tampered.gz", "rb", threads=2) as f:
        assert not isinstance(getattr(f, "raw", None), IndexedReader)
        assert f.read() == DATA[:300_000]


def test_the_tool_writes_and_reads_indexed_files(tmp_path):
    from vekzip import cli

    path = tmp_path / "t.txt"
    path.write_bytes(DATA)
    assert cli.main(["--index", "-k", "--chunk", "64K", "-T", "2", str(path)]) == 0
    packed = (tmp_path / "t.txt.gz").read_bytes()
    assert packed == vekzip.compress(DATA, index=True, chunk_size=64 << 10)
    path.unlink()
    assert cli.main(["-d", "-T", "2", str(tmp_path / "t.txt.gz")]) == 0
    assert path.read_bytes() == DATA


# Hostile files: each reads as gzip.decompress reads it, or is refused as
# it refuses it, whatever the index claims.

class Bits:
    """A DEFLATE bit stream: fields LSB first, Huffman codes MSB first."""

    def __init__(self):
        self.value, self.count = 0, 0

    def put(self, value, n):
        self.value |= value << self.count
        self.count += n

    def code(self, code, n):
        self.put(int(format(code, f"0{n}b")[::-1], 2), n)

    def literal(self, byte):  # fixed Huffman
        self.code(0x30 + byte, 8) if byte < 144 else self.code(0x190 + byte - 144, 9)

    def bytes(self):
        return self.value.to_bytes((self.count + 7) // 8, "little")


def forge_crc(prefix, target):
    """Four bytes that make crc32(prefix + them) == target (CRC-32 is affine)."""
    base = zlib.crc32(prefix + bytes(4))
    columns = [zlib.crc32(prefix + (1 << i).to_bytes(4, "little")) ^ base for i in range(32)]
    rows, want = [], target ^ base
    # Gaussian elimination over GF(2): find x with XOR of columns[i] for set bits = want.
    basis = []  # (vector, combination)
    for i, col in enumerate(columns):
        combo = 1 << i
        for vec, c in basis:
            if col ^ vec < col:
                col, combo = col ^ vec, combo ^ c
        if col:
            basis.append((col, combo))
            basis.sort(reverse=True)
    x = 0
    for vec, c in basis:
        if want ^ vec < want:
            want, x = want ^ vec, x ^ c
    assert want == 0
    del rows
    return x.to_bytes(4, "little")


def indexed_member(chunks, trailer_of):
    """A member of the given chunk bytes with an index listing them as
    (bytes, size, crc, last byte) entries, and the trailer of `trailer_of`."""
    header = gzip_header_bytes = b"\x1f\x8b\x08\x00\x00\x00\x00\x00\x04\x03"
    body = b"".join(c[0] for c in chunks)
    member = header + body + struct.pack("<II", zlib.crc32(trailer_of), len(trailer_of) & 0xFFFFFFFF)
    records, at = [], len(gzip_header_bytes)
    for raw, size, crc, last in chunks:
        records.append((at, size, crc, last))
        at += len(raw)
    return member + index_format.index_members(len(member), records)


def entry(raw, out):
    return (raw, len(out), zlib.crc32(out), out[-1] if out else 0)


def raw_deflate(data, final):
    c = zlib.compressobj(6, zlib.DEFLATED, -15)
    return c.compress(data) + c.flush(zlib.Z_FINISH if final else zlib.Z_FULL_FLUSH)


def chunk_inside_a_stored_block():
    # In sequence: a stored block whose payload Q is itself DEFLATE (of X,
    # with len(X) == len(Q) and the same CRC-32), then a final block. The
    # index lists the stored block's header, Q and the final block.
    fake = b"not what gzip reads " * 20
    q = raw_deflate(fake + bytes(4), True)
    q += bytes(len(fake) + 4 - len(q) - 4)
    x = fake + bytes(4)
    q += forge_crc(q, zlib.crc32(x))
    assert len(q) == len(x) and zlib.crc32(q) == zlib.crc32(x) and zlib.decompressobj(-15).decompress(q) == x
    stored = b"\x00" + struct.pack("<HH", len(q), len(q) ^ 0xFFFF)
    tail_out = b"the end\n"
    tail = raw_deflate(tail_out, True)
    return indexed_member([entry(stored, b""), entry(q, x), entry(tail, tail_out)], q + tail_out)


def chunk_ending_in_a_final_block():
    first, second = DATA[:5000], DATA[5000:9000]
    return indexed_member([entry(raw_deflate(first, True), first), entry(raw_deflate(second, True), second)],
                          first + second)


def last_byte_lies():
    first, second = DATA[:5000], DATA[5000:9000]
    raw, size, crc, _ = entry(raw_deflate(first, False), first)
    return indexed_member([(raw, size, crc, first[-1] ^ 1), entry(raw_deflate(second, True), second)],
                          first + second)


def size_near_two_to_the_64():
    first, second = DATA[:5000], DATA[5000:9000]
    raw, size, crc, last = entry(raw_deflate(first, False), first)
    # The same length modulo 2**32 and the same combined CRC-32: only the
    # size itself is absurd.
    return indexed_member([(raw, size + (1 << 64) - (1 << 32), crc, last), entry(raw_deflate(second, True), second)],
                          first + second)


@pytest.mark.parametrize("build", [chunk_inside_a_stored_block, chunk_ending_in_a_final_block, last_byte_lies,
                                   size_near_two_to_the_64])
@pytest.mark.parametrize("threads", [1, 3])
def test_a_lying_index_never_changes_the_bytes(tmp_path, build, threads):
    from vekzip import cli

    packed = build()
    path = tmp_path / "hostile.gz"
    path.write_bytes(packed)
    try:
        expected = gzip.decompress(packed)
    except (OSError, EOFError, zlib.error):
        expected = None
    for run in ("read", "seek to the end first", "tool"):
        if run == "tool":
            status = cli.main(["-t", "-T", str(threads), str(path)])
            assert (status == 0) == (expected is not None)
            continue
        try:
            with vekzip.open(path, "rb", threads=threads) as f:
                if run != "read":
                    assert f.seek(0, io.SEEK_END) == len(expected)
                    f.seek(0)
                got = f.read()
        except OSError:
            got = None
        assert got == expected, run


@pytest.mark.parametrize("leftover", range(8))
@pytest.mark.parametrize("pattern", [0, 0b010, 0x7F])
def test_a_chunk_must_end_at_a_byte_aligned_block_boundary(leftover, pattern):
    # A fixed block of 8- and 9-bit literals ends `leftover` bits before a
    # byte's end; those bits (the next block's header in sequence) are set.
    nine_bit = (6 - leftover) % 8
    content = b"a" * 20 + b"\xf0" * nine_bit
    bits = Bits()
    bits.put(0b010, 3)  # not final, fixed codes
    for byte in content:
        bits.literal(byte)
    bits.code(0, 7)
    assert (-bits.count) % 8 == leftover
    bits.put(pattern & ((1 << leftover) - 1), leftover)
    raw = bits.bytes()
    chunk = index_format.Chunk(0, len(raw), 0, len(content), zlib.crc32(content), content[-1])
    pieces = reader_module.inflate_pieces(io.BytesIO(raw), chunk, threading.Lock())
    if leftover == 0:
        assert b"".join(pieces) == content
    else:
        # zlib's state shows the bits left over (0x7F is a reserved block
        # type that fails before that).
        with pytest.raises(reader_module.CorruptChunk, match="block boundary" if pattern != 0x7F else None):
            b"".join(pieces)


# Files a review crafted against a proof by probe: chunk 0 ends inside a
# dynamic block whose end-of-block code is the probe's first six bits, so the
# probe passed, and chunk 1 reads one way in sequence and another from a fresh
# inflater; the first file's two readings have the same length and CRC-32
# (gzip accepts it), the second's do not (gzip refuses it).
LYING_CHUNK_FILES = [base64.b64decode(text) for text in (
    (
        "H4sIAAAAAAAEA+zAAQTDAADAMAAAAAAAAAAA/f///////////////38AAAAAAAAAAAAAAAAAAAAAAAAAtm3btm3btm3btm1Lp9vrD4aj8aQDAuh4"
        "AIf/BBubkoxUhcy8lNSK1BSFotTElNQi9WKFpMqS1GIdhbz8EoX0qswC9WI7u6qqqqqqqqqqqqqqqqqqqqqqqqqqqqqqqqqqqqqqqqqqqqqqqqqq"
        "qqqqqqqqqqqqqqqqqqqqqqqqqqqqqqqqKhB49eXJhyeHAAAAAP//S87Pzc3PUyhJzMzhAgAWbcC8kAAAAB+LCAQAAAAABANOAFZLSgB2a2l4AQDl"
        "AAAAAAAAAAAAAAACAAAARwAAAAAAAAAMAAAAAAAAAG2ty1xBjAAAAAAAAACEAAAAAAAAAB3BO30KotkFBEoAVktJWAMAAAAAAAAAAAA="
    ),
    (
        "H4sIAAAAAAAEA+zAAQTDAADAMAAAAAAAAAAA/f///////////////38AAAAAAAAAAAAAAAAAAAAAAAAAtm3btm3btm3btm1Lp9vrD4aj8aQDAuh4"
        "AIf/BBubkoxUhcy8lNSK1BSFotTElNQi9WKFpMqS1GIdhbz8EoX0qswC9WI7u6qqqqqqqqqqqqqqqqqqqqqqqqqqqqqqqqqqqqqqqqqqqqqqqqqq"
        "qqqqqqqqqqqqqqqqqqqqqqqqqqqqqqqqqqqqqqqqqqoqAAAAAP//S87Pzc3PUyhJzMzhAgCGQqB1jgAAAB+LCAQAAAAABANOAFZLSgB2a2l4AQDl"
        "AAAAAAAAAAAAAAACAAAARwAAAAAAAAAMAAAAAAAAAG2ty1xBjAAAAAAAAACCAAAAAAAAAAfKs3sK4+PN4EoAVktJWAMAAAAAAAAAAAA="
    ),
)]


@pytest.mark.parametrize("threads", [1, 2])
@pytest.mark.parametrize("case", range(len(LYING_CHUNK_FILES)))
def test_a_chunk_that_only_a_probe_would_pass_is_not_trusted(tmp_path, case, threads):
    data = LYING_CHUNK_FILES[case]
    path = tmp_path / "lying.gz"
    path.write_bytes(data)
    try:
        expected = gzip.decompress(data)
    except (EOFError, OSError, zlib.error):
        expected = None
    try:
        with vekzip.open(path, "rb", threads=threads) as f:
            got = f.read()
    except OSError:
        got = None
    assert got == expected
    from vekzip import cli

    assert (cli.main(["-t", "-T", str(threads), str(path)]) == 0) == (expected is not None)


def test_an_index_listing_more_chunks_than_are_worth_reading_apart_is_not_used():
    # A million empty chunks in 21 MB took 215 MB and a minute to prove.
    first = DATA[:5000]
    packed = indexed_member([(b"", 0, 0, 0)] * 5000 + [entry(raw_deflate(first, True), first)], first)
    with pytest.raises(index_format.NoIndex, match="worth"):
        index_format.read_index(io.BytesIO(packed))
    with vekzip.open(io.BytesIO(packed), threads=2) as f:
        assert f.read() == gzip.decompress(packed) == first


def test_the_index_last_byte_is_checked():
    packed = last_byte_lies()
    with io.BytesIO(packed) as f:
        chunks = index_format.read_index(f)
        with pytest.raises(reader_module.CorruptChunk):
            reader_module.inflate_chunk(f, chunks[0], threading.Lock())


def test_a_file_object_is_read_from_its_position(tmp_path):
    a, b = vekzip.compress(DATA[:100_000], index=True, chunk_size=30_000), vekzip.compress(DATA[100_000:200_000], index=True, chunk_size=30_000)
    path = tmp_path / "ab.gz"
    path.write_bytes(a + b)
    for threads in (1, 2):
        with open(path, "rb") as raw:
            raw.seek(len(a))
            with vekzip.open(raw, "rb", threads=threads) as f:
                assert isinstance(f.raw, IndexedReader)
                assert f.read() == DATA[100_000:200_000]
                f.seek(10)
                assert f.read(5) == DATA[100_010:100_015]


def test_empty_indexed_streams_keep_their_index(tmp_path):
    c = vekzip.compressobj(index=True)
    sink = io.BytesIO()
    with vekzip.VekzipFile(fileobj=sink, mode="wb", index=True):
        pass
    named = io.BytesIO()
    with vekzip.VekzipFile("name.txt", "wb", fileobj=named, index=True):
        pass
    streams = [vekzip.compress(b"", index=True), c.compress(b"") + c.flush(), sink.getvalue(), named.getvalue()]
    whole = vekzip.compress(DATA[:50_000], index=True, chunk_size=20_000)
    for n, empty in enumerate(streams):
        for packed, expected in ((empty, b""), (empty + whole + empty, DATA[:50_000])):
            assert gzip.decompress(packed) == expected
            path = tmp_path / f"e{n}.gz"
            path.write_bytes(packed)
            with vekzip.open(path, "rb", threads=2) as f:
                assert isinstance(f.raw, IndexedReader), n
                assert f.read() == expected


@pytest.mark.skipif(not shutil.which("busybox"), reason="busybox not installed")
def test_index_members_busybox_reads_and_older_larger_ones(tmp_path, monkeypatch):
    data = DATA[:200_000]
    packed = vekzip.compress(data, index=True, chunk_size=100)  # 2,000 chunks: three index members
    path = tmp_path / "many.gz"
    path.write_bytes(packed)
    assert subprocess.run(["busybox", "gunzip", "-t", str(path)]).returncode == 0
    assert subprocess.run(["busybox", "gunzip", "-c", str(path)], capture_output=True).stdout == data
    with vekzip.open(path, "rb", threads=2) as f:
        assert isinstance(f.raw, IndexedReader) and len(f.raw.chunks) == 2000
        assert f.read() == data
    # Files written with up to 3,118 chunks per index member are still read with their index.
    monkeypatch.setattr(index_format, "MAX_ENTRIES", 3118)
    (tmp_path / "old.gz").write_bytes(vekzip.compress(data, index=True, chunk_size=100))
    with vekzip.open(tmp_path / "old.gz", "rb", threads=2) as f:
        assert isinstance(f.raw, IndexedReader) and f.read() == data


def test_threads_sharing_the_raw_reader_and_close_during_a_read(tmp_path):
    path = tmp_path / "shared.gz"
    path.write_bytes(vekzip.compress(DATA, index=True, chunk_size=20_000))
    f = vekzip.open(path, "rb", threads=3)
    raw = f.raw
    errors = []

    def hammer(seed):
        rng = random.Random(seed)
        try:
            for _ in range(200):
                raw.seek(rng.randrange(len(DATA)))
                raw.read(rng.choice([1, 5000, 70_000]))
        except ValueError as error:
            assert "closed file" in str(error)
        except BaseException as error:
            errors.append(error)

    workers = [threading.Thread(target=hammer, args=(k,)) for k in range(4)]
    for w in workers:
        w.start()
    workers[0].join()
    f.close()
    for w in workers:
        w.join()
    assert errors == []
    with pytest.raises(ValueError, match="closed file"):
        raw.read(1)


BOMB_READER = """
import sys, vekzip
with vekzip.open(sys.argv[1], "rb", threads=4) as f:
    assert f.read(4096) == bytes(4096)
    if sys.argv[2] == "all":
        while f.read(1 << 22):
            pass
for line in open("/proc/self/status"):
    if line.startswith("VmHWM"):
        print(int(line.split()[1]) * 1024)
"""


def test_memory_stays_bounded_whatever_a_chunk_declares(tmp_path):
    # One chunk of 256 MiB of zeros in 1.7 MB: matches of 258 at distance 1,
    # eight of them 13 bytes, in one final fixed block.
    bits = Bits()
    bits.put(0b011, 3)
    bits.literal(0)
    bits.code(0b11000101, 8)
    bits.put(0, 5)
    head = bits.bytes()
    bits = Bits()
    for _ in range(8):
        bits.code(0b11000101, 8)
        bits.put(0, 5)
    pattern = bits.bytes()
    repeats = (256 << 20) // (8 * 258)
    size = 1 + 258 + repeats * 8 * 258
    raw = head + pattern * repeats + b"\x00"
    crc = 0
    zeros = bytes(1 << 20)
    for at in range(0, size, len(zeros)):
        crc = zlib.crc32(zeros[: size - at], crc)
    header = b"\x1f\x8b\x08\x00\x00\x00\x00\x00\x04\x03"
    member = header + raw + struct.pack("<II", crc, size & 0xFFFFFFFF)
    path = tmp_path / "bomb.gz"
    path.write_bytes(member + index_format.index_members(len(member), [(len(header), size, crc, 0)]))
    for how in ("4096", "all"):
        peak = int(subprocess.run([sys.executable, "-c", BOMB_READER, str(path), how], capture_output=True, cwd="/",
                                  check=True, text=True).stdout)
        assert peak < 120 << 20, how
