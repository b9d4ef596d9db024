"""The Python surface: constants, arguments, and what each call returns."""

import zlib

import pytest

import vek
from conftest import RAW_FORMATS, inflate

EMPTY_GZIP = bytes.fromhex("1f8b0800000000000403" "0300" "0000000000000000")
EMPTY_ZLIB = bytes.fromhex("7801" "0300" "00000001")


def test_constants_and_nothing_else_public():
    assert (vek.VEK_FMT_GZIP, vek.VEK_FMT_ZLIB, vek.VEK_FMT_DEFLATE) == (0, 1, 2)
    assert sorted(n for n in dir(vek) if not n.startswith("_")) == [
        "VEK_FMT_DEFLATE",
        "VEK_FMT_GZIP",
        "VEK_FMT_ZLIB",
        "compressobj",
    ]


def test_signatures_as_pybind11_writes_them():
    assert vek.compressobj.__init__.__doc__.strip() == (
        "__init__(self: vek.compressobj, level: int = 1, format: int = 2) -> None"
    )
    assert vek.compressobj.compress.__doc__.strip() == (
        "compress(self: vek.compressobj, obj: bytes) -> bytes"
    )
    assert vek.compressobj.flush.__doc__.strip() == "flush(self: vek.compressobj) -> bytes"


def test_default_is_compressed_raw_deflate():
    c = vek.compressobj()
    data = b"hello hello hello hello world"
    out = c.compress(data) + c.flush()
    assert out == bytes.fromhex("ca48cdc9c957c024cbf38b72" "52000300")
    assert zlib.decompress(out, -15) == data


@pytest.mark.parametrize(
    "fmt, empty", [(0, EMPTY_GZIP), (1, EMPTY_ZLIB)] + [(f, b"\x03\x00") for f in RAW_FORMATS]
)
def test_flush_of_a_new_object_is_an_empty_stream(fmt, empty):
    assert vek.compressobj(1, fmt).flush() == empty
    assert inflate(empty, fmt) == b""


@pytest.mark.parametrize("fmt, header", [(0, EMPTY_GZIP[:10]), (1, b"\x78\x01"), (2, b"")])
def test_empty_compress_returns_only_the_header_due(fmt, header):
    c = vek.compressobj(1, fmt)
    assert c.compress(b"") == header
    assert c.compress(b"") == b""


@pytest.mark.parametrize("level, stores", [(0, True), (2, True), (-2, True), (1, False), (3, False), (-1, False)])
def test_only_the_parity_of_level_counts(level, stores):
    c = vek.compressobj(level)
    out = c.compress(b"a") + c.flush()
    assert out == (bytes.fromhex("000100feff61" "0300") if stores else bytes.fromhex("4a040c00"))


@pytest.mark.parametrize(
    "kwargs",
    [
        {"level": 2**31},
        {"level": -(2**31) - 1},
        {"format": 2**40},
        {"format": 1.0},
        {"level": 1.5},
        {"level": "1"},
        {"level": None},
        {"format": b"\x00"},
    ],
)
def test_unacceptable_arguments_raise_type_error(kwargs):
    with pytest.raises(TypeError, match="incompatible constructor arguments"):
        vek.compressobj(**kwargs)


def test_integer_like_arguments_are_accepted():
    class Index:
        def __index__(self):
            return 0

    assert vek.compressobj(True).compress(b"a") == b""  # level 1: bits stay queued
    assert vek.compressobj(Index()).compress(b"a") == bytes.fromhex("000100feff61")
    assert vek.compressobj(2**31 - 1, -(2**31)).flush() == b"\x03\x00"


def test_keywords_in_any_order():
    c = vek.compressobj(format=0, level=0)
    out = c.compress(obj=b"abc") + c.flush()
    assert inflate(out, 0) == b"abc"


@pytest.mark.parametrize("bad", [bytearray(b"a"), memoryview(b"a"), "a", None, 1, [97]])
def test_compress_takes_only_bytes(bad):
    c = vek.compressobj(0)
    with pytest.raises(TypeError, match="incompatible function arguments"):
        c.compress(bad)
    assert inflate(c.compress(b"ok") + c.flush(), 2) == b"ok", "a refused call changed the stream"


def test_bytes_subclass_is_accepted():
    class Tagged(bytes):
        pass

    c = vek.compressobj(1, 1)
    assert inflate(c.compress(Tagged(b"tagged " * 20)) + c.flush(), 1) == b"tagged " * 20


def test_second_init_is_ignored():
    c = vek.compressobj(0, 2)
    first = c.compress(b"abc")
    c.__init__(0, 0)
    assert inflate(first + c.compress(b"def") + c.flush(), 2) == b"abcdef"


@pytest.mark.parametrize("fmt", [0, 1, 2])
def test_flush_twice_gives_nothing_more(fmt):
    # A repeated trailer after a gzip member or zlib stream would corrupt it.
    c = vek.compressobj(1, fmt)
    out = c.compress(b"data " * 10) + c.flush()
    assert c.flush() == b""
    assert inflate(out, fmt) == b"data " * 10


@pytest.mark.parametrize("fmt", [0, 1, 2])
def test_compress_after_flush_is_refused_and_changes_nothing(fmt):
    c = vek.compressobj(1, fmt)
    out = c.compress(b"abc") + c.flush()
    for data in (b"more", b""):
        with pytest.raises(ValueError, match="after flush"):
            c.compress(data)
    assert c.flush() == b""
    assert inflate(out, fmt) == b"abc"


def test_objects_are_independent():
    a, b = vek.compressobj(1, 0), vek.compressobj(1, 0)
    ra = a.compress(b"first stream")
    rb = b.compress(b"second")
    assert inflate(ra + a.flush(), 0) == b"first stream"
    assert inflate(rb + b.flush(), 0) == b"second"
