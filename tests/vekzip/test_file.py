"""VekzipFile and vekzip.open: the file holds what vekzip.compress gives for
everything written, a flush makes everything so far readable, and a failing
file or worker is never reported as success."""

import gzip
import io
import os
import random
import re
import shutil
import subprocess
import zlib

import pytest

import vekzip
from vekzip import _engine

needs_gzip = pytest.mark.skipif(shutil.which("gzip") is None, reason="GNU gzip is not installed")


def sample(seed, n):
    rng = random.Random(seed)
    words = [bytes(rng.randrange(97, 123) for _ in range(rng.randrange(2, 9))) for _ in range(200)]
    text = b" ".join(rng.choice(words) for _ in range(n // 5))
    return (text + rng.randbytes(n // 4))[:n]


def write_in_random_pieces(f, data, rng):
    at = 0
    while at < len(data):
        n = min(len(data) - at, rng.choice([1, 7, 100, 4096, 70_000, 300_000]))
        piece = data[at : at + n]
        kind = rng.randrange(3)
        piece = piece if kind == 0 else bytearray(piece) if kind == 1 else memoryview(piece)
        assert f.write(piece) == n
        at += n


@pytest.mark.parametrize("threads", [1, 2, 3, 4])
@pytest.mark.parametrize("fmt", ["gzip", "zlib", "raw"])
def test_random_writes_give_the_bytes_of_compress(tmp_path, threads, fmt):
    data = sample(threads, 900_000)
    rng = random.Random(threads * 7 + len(fmt))
    path = tmp_path / "out"
    with vekzip.VekzipFile(path, "wb", format=fmt, threads=threads, chunk_size=200_000) as f:
        write_in_random_pieces(f, data, rng)
        assert f.tell() == len(data)
    assert path.read_bytes() == vekzip.compress(data, format=fmt, chunk_size=200_000)


class Keeping:
    """A caller's file object that keeps what it is given."""

    def __init__(self):
        self.parts = []

    def write(self, data):
        self.parts.append(data)
        return len(data)


@pytest.mark.parametrize("threads", [1, 2])
@pytest.mark.parametrize("sink", ["bytesio", "fileio", "buffered", "keeping"])
def test_every_kind_of_file_gets_the_bytes_of_compress(tmp_path, threads, sink):
    # io's own files are given views of the engine's output area, a caller's
    # object bytes; slices of one buffer are compressed where they are.
    data = sample(5, 700_000)
    view = memoryview(data)
    path = tmp_path / "out"
    file = {"bytesio": io.BytesIO, "fileio": lambda: open(path, "wb", buffering=0),
            "buffered": lambda: open(path, "wb"), "keeping": Keeping}[sink]()
    with vekzip.VekzipFile(None, "wb", fileobj=file, threads=threads, chunk_size=100_000) as f:
        for at in range(0, len(data), 30_000):
            f.write(view[at : at + 30_000])
    if sink == "keeping":
        assert all(type(part) is bytes for part in file.parts)
        out = b"".join(file.parts)
    elif sink == "bytesio":
        out = file.getvalue()
    else:
        file.close()
        out = path.read_bytes()
    assert out == vekzip.compress(data, chunk_size=100_000)
    assert gzip.decompress(out) == data


@needs_gzip
def test_gnu_gzip_and_python_read_the_file(tmp_path):
    data = sample(3, 500_000)
    path = tmp_path / "out.gz"
    with vekzip.open(path, "wb", threads=2, chunk_size=64 << 10) as f:
        f.write(data)
    assert subprocess.run(["gzip", "-dc", str(path)], capture_output=True, check=True).stdout == data
    with vekzip.open(path, "rb") as f:
        assert f.read() == data


def test_flush_makes_everything_so_far_readable(tmp_path):
    path = tmp_path / "log.gz"
    d = zlib.decompressobj(31)
    seen = b""
    with vekzip.open(path, "wb", threads=2, chunk_size=50_000) as f:
        offset = 0
        for i in range(5):
            part = sample(i, 30_000 * (i + 1))
            f.write(part)
            f.flush()
            size = path.stat().st_size
            f.flush()  # nothing new: nothing written
            assert path.stat().st_size == size
            new = path.read_bytes()[offset:]
            offset += len(new)
            seen += d.decompress(new)
            assert seen == b"".join(sample(j, 30_000 * (j + 1)) for j in range(i + 1))
    assert gzip.decompress(path.read_bytes()) == seen


def test_text_mode_with_an_encoding_and_newline(tmp_path):
    path = tmp_path / "t.gz"
    with vekzip.open(path, "wt", encoding="utf-16", newline="\r\n") as f:
        f.write("zwölf\nlines\n")
    assert gzip.decompress(path.read_bytes()).decode("utf-16") == "zwölf\r\nlines\r\n"
    with vekzip.open(path, "rt", encoding="utf-16", newline="") as f:
        assert f.read() == "zwölf\r\nlines\r\n"


@needs_gzip
def test_append_makes_a_second_member(tmp_path):
    path = tmp_path / "a.gz"
    with vekzip.open(path, "wb") as f:
        f.write(b"first ")
    with vekzip.open(path, "ab") as f:
        f.write(b"second")
    assert subprocess.run(["gzip", "-dc", str(path)], capture_output=True, check=True).stdout == b"first second"
    for fmt in ("zlib", "raw"):
        with pytest.raises(ValueError, match="append"):
            vekzip.open(tmp_path / "z", "ab", format=fmt)


def test_exclusive_mode_refuses_an_existing_file(tmp_path):
    path = tmp_path / "x.gz"
    path.write_bytes(b"keep")
    with pytest.raises(FileExistsError):
        vekzip.open(path, "xb")
    assert path.read_bytes() == b"keep"


def test_reading_other_formats_and_bad_modes_are_refused(tmp_path):
    with pytest.raises(ValueError, match="decompressor"):
        vekzip.open(tmp_path / "z", "rb", format="zlib")
    for mode in ("br", "rw", "q"):  # each refused by gzip too
        with pytest.raises(ValueError):
            vekzip.open(tmp_path / "m", mode)


def test_every_operation_on_a_closed_file_raises(tmp_path):
    f = vekzip.open(tmp_path / "c.gz", "wb")
    f.write(b"data")
    f.close()
    f.close()  # harmless
    assert f.closed
    for call in (lambda: f.write(b"x"), f.flush, f.tell, lambda: f.seek(5)):
        with pytest.raises(ValueError):
            call()
    with pytest.raises(AttributeError):  # as gzip: the file is gone
        f.fileno()
    assert gzip.decompress((tmp_path / "c.gz").read_bytes()) == b"data"


def test_surface_of_the_file_object(tmp_path):
    path = tmp_path / "s.gz"
    with vekzip.open(path, "wb") as f:
        assert (f.name, f.mode) == (str(path), vekzip.WRITE)
        assert f.writable() and not f.readable() and f.seekable()
        assert f.fileno() >= 0
    sink = io.BytesIO()
    with vekzip.VekzipFile(fileobj=sink, mode="wb") as f:
        f.write(b"to a file object")
    assert not sink.closed, "a given fileobj stays open"
    assert gzip.decompress(sink.getvalue()) == b"to a file object"


def test_an_exception_inside_with_still_leaves_a_valid_file(tmp_path):
    path = tmp_path / "e.gz"
    with pytest.raises(RuntimeError):
        with vekzip.open(path, "wb", threads=2, chunk_size=10_000) as f:
            f.write(sample(1, 100_000))
            raise RuntimeError("caller's failure")
    assert gzip.decompress(path.read_bytes()) == sample(1, 100_000)


def test_a_failing_underlying_file_raises(tmp_path):
    sink = io.BytesIO()
    f = vekzip.VekzipFile(fileobj=sink, mode="wb", chunk_size=1000)
    sink.close()
    with pytest.raises(ValueError):
        f.write(sample(2, 5000))
    if os.path.exists("/dev/full"):
        with open("/dev/full", "wb", buffering=0) as full:
            with pytest.raises(OSError):
                with vekzip.VekzipFile(fileobj=full, mode="wb") as g:
                    g.write(b"nowhere to go")


@pytest.mark.parametrize("make", [
    lambda path: vekzip.open(path),
    lambda path: vekzip.VekzipFile(path),
    lambda path: vekzip.VekzipFile(fileobj=open(path, "rb")),
])
def test_no_mode_never_truncates_the_file(tmp_path, make):
    # Before, no mode meant writing: reading as with gzip destroyed the file.
    path = tmp_path / "keep.gz"
    path.write_bytes(gzip.compress(b"precious"))
    try:
        f = make(path)
    except ValueError:
        f = None
    if f is not None:
        with f:
            assert f.read() == b"precious"
    assert gzip.decompress(path.read_bytes()) == b"precious"


@pytest.mark.parametrize("mode", ["wt", "at", "xt"])
@pytest.mark.parametrize("bad", [
    dict(encoding="no-such-codec"), dict(encoding="hex"), dict(errors="no-such-handler"), dict(errors=5),
    dict(newline="x"),
])
def test_bad_text_arguments_touch_no_file(tmp_path, mode, bad):
    # Before, the file was cut (or a member appended) and then the wrapper refused.
    path = tmp_path / "keep.gz"
    path.write_bytes(gzip.compress(b"keep"))
    with pytest.raises((LookupError, ValueError, TypeError, FileExistsError)):
        vekzip.open(path, mode, **bad)
    assert gzip.decompress(path.read_bytes()) == b"keep"


@pytest.mark.parametrize("threads", [1, 2])
@pytest.mark.parametrize("index", [False, True])
def test_a_file_object_is_read_from_its_position(index, threads):
    first, second = vekzip.compress(b"A" * 1000, index=index), vekzip.compress(b"B" * 10, index=index)
    f = io.BytesIO(first + second)
    f.seek(len(first))
    assert vekzip.open(f, "rb", threads=threads).read() == gzip.decompress(second)


@pytest.mark.parametrize("call", [
    lambda path: vekzip.compress(b"x", index="yes"),
    lambda path: vekzip.compressobj(index="yes"),
    lambda path: vekzip.open(path, "wb", index="yes"),
    lambda path: vekzip.GzipFile(path, "wb", index=1),
])
def test_index_takes_only_a_bool(tmp_path, call):
    with pytest.raises(TypeError, match="index must be True or False"):
        call(tmp_path / "i.gz")
    assert not (tmp_path / "i.gz").exists()


@pytest.mark.parametrize("args, kwargs", [
    ((6, 8, 15), {}), ((6, 8, -15), {}), ((9, 8, 31, 9, 0), {}), ((1, zlib.DEFLATED, 31, 8, zlib.Z_RLE), {}),
    ((), {"level": 6, "wbits": -15}), ((), {"compresslevel": 0, "wbits": 15}),
])
def test_compressobj_takes_zlib_s_arguments(args, kwargs):
    c = vekzip.compressobj(*args, **kwargs)
    data = sample(5, 100_000)
    wbits = args[2] if args else kwargs["wbits"]
    assert zlib.decompressobj(wbits).decompress(c.compress(data) + c.flush()) == data


@pytest.mark.parametrize("args, kwargs", [
    ((6, 8, 12), {}), ((6, 8, -9), {}), ((6, 8, 25), {}), ((6, 7, 15), {}), ((6, 8, 15, 8, 0, b"dict"), {}),
    ((6, 8, 15), {"format": "gzip"}),
])
def test_compressobj_refuses_what_vek_cannot_honour(args, kwargs):
    # A 32 KiB window under wbits=12 would be refused by zlib.decompressobj(12).
    with pytest.raises(ValueError):
        vekzip.compressobj(*args, **kwargs)


def test_gzipfile_writes_gzip_s_header_and_vekzipfile_vek_s(tmp_path):
    named = tmp_path / "notes.txt.gz"
    with vekzip.GzipFile(named, "wb", mtime=123456789) as f:
        f.write(b"x")
    raw = named.read_bytes()
    assert raw[3] == 8 and raw[4:8] == (123456789).to_bytes(4, "little") and raw[10:20] == b"notes.txt\0"
    with gzip.GzipFile(named) as g:
        assert g.read() == b"x" and g.mtime == 123456789
    with vekzip.GzipFile(named) as f:
        assert f.mtime is None and f.read() == b"x" and f.mtime == 123456789
    plain = tmp_path / "plain.gz"
    with vekzip.VekzipFile(plain, "wb") as f:
        f.write(b"x")
    assert plain.read_bytes() == vekzip.compress(b"x")
    stamped = vekzip.compress(b"x", mtime=77)
    assert gzip.GzipFile(fileobj=io.BytesIO(stamped)).read() == b"x" and stamped[4:8] == (77).to_bytes(4, "little")
    assert vekzip.decompress(stamped + vekzip.compress(b"y")) == b"xy"


def test_seeking_forward_while_writing_writes_zeros(tmp_path):
    sink = io.BytesIO()
    with vekzip.GzipFile(fileobj=sink, mode="wb") as f:
        f.write(b"a")
        assert f.seek(3_000_000) == 3_000_000
        f.write(b"b")
        with pytest.raises(OSError):
            f.seek(5)
    assert gzip.decompress(sink.getvalue()) == b"a" + bytes(2_999_999) + b"b"


@pytest.mark.parametrize("call", [
    lambda: vekzip.open(3.5), lambda: vekzip.GzipFile(fileobj=3.5, mode="wb"), lambda: vekzip.GzipFile(fileobj=[], mode="rb"),
    lambda: vekzip.GzipFile(fileobj=io.StringIO(), mode="wb"), lambda: vekzip.GzipFile(fileobj=io.StringIO("x"), mode="rb"),
    lambda: vekzip.compressobj(5, compresslevel=1),
])
def test_a_file_of_the_wrong_type_is_a_type_error(call):
    with pytest.raises(TypeError):
        call()


def test_a_read_only_file_object_is_refused_before_any_data(tmp_path):
    # The refusal came only at close, after every write had been taken.
    path = tmp_path / "ro"
    path.write_bytes(b"")
    with open(path, "rb") as ro, pytest.raises(io.UnsupportedOperation):
        vekzip.GzipFile(fileobj=ro, mode="wb")


def _damaged(data):
    member = gzip.compress(data)
    flipped_crc = bytearray(member)
    flipped_crc[-8] ^= 1
    bad_deflate = bytearray(member)
    bad_deflate[3] = 2  # FHCRC claimed: the DEFLATE data starts two bytes late
    return {
        "garbage after a member": member + b"garbage",
        "one odd byte after zeros": member + b"\0\0g",
        "a header's first byte": member + b"\x1f",
        "a cut member": member[:-3],
        "a bad CRC": bytes(flipped_crc),
        "bad DEFLATE data": bytes(bad_deflate),
    }


@pytest.mark.parametrize("case", list(_damaged(b"")))
def test_a_damaged_file_fails_as_gzip_fails(case):
    # ISA-L says EOFError of garbage after a member and IsalError (no
    # zlib.error) of bad data: callers catching gzip's exceptions missed them.
    data = _damaged(sample(9, 400_000))[case]

    def outcome(module):
        got = bytearray()
        try:
            with module.GzipFile(fileobj=io.BytesIO(data)) as f:
                while piece := f.read(100_000):
                    got += piece
        except Exception as error:
            return bytes(got), type(error), str(error)
        return bytes(got), None, ""

    assert outcome(vekzip) == outcome(gzip)
    with pytest.raises(Exception) as expected:
        gzip.decompress(data)
    with pytest.raises(expected.type, match=re.escape(str(expected.value))):
        vekzip.decompress(data)


@pytest.mark.parametrize("mode", ["twb", "trb", "tab", "txb", "wbt"])
def test_modes_with_both_text_and_binary_touch_no_file(tmp_path, mode):
    # "twb" passed the check (only "bt" and "tb" side by side were refused) and cut the file.
    path = tmp_path / "keep.gz"
    path.write_bytes(gzip.compress(b"keep"))
    with pytest.raises(ValueError):
        gzip.open(path, mode)
    with pytest.raises(ValueError):
        vekzip.open(path, mode)
    assert gzip.decompress(path.read_bytes()) == b"keep"
