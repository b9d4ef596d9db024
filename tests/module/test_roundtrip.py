"""Any input, cut into compress calls anywhere, in any container at either
level, comes back from the standard inflaters unchanged."""

import gzip
import shutil
import subprocess

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import vek
from conftest import RAW_FORMATS, compress_pieces, examples, inflate
from corpus import corpus_files

text_like = st.text(alphabet="etaoin shrdlu\n.,ETAOIN", max_size=3000).map(str.encode)
wide_bytes = st.lists(st.integers(0x90, 0xFF), max_size=3000).map(bytes)
repetitive = st.builds(
    lambda unit, times, tail: unit * times + tail,
    st.binary(min_size=1, max_size=12),
    st.integers(1, 400),
    st.binary(max_size=40),
)
mixed = st.lists(st.one_of(st.binary(max_size=300), wide_bytes, repetitive), max_size=8).map(b"".join)
inputs = st.one_of(st.binary(max_size=5000), text_like, wide_bytes, repetitive, mixed)


@st.composite
def split_input(draw):
    data = draw(inputs)
    cuts = sorted(draw(st.lists(st.integers(0, len(data)), max_size=6)))
    bounds = [0, *cuts, len(data)]
    return data, [data[a:b] for a, b in zip(bounds, bounds[1:])]


@settings(max_examples=examples(300), deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(split_input(), st.sampled_from([0, 1, 2, -7, 9]), st.sampled_from([0, 1, *RAW_FORMATS]))
def test_any_split_any_level_any_format_inflates(split, level, fmt):
    data, pieces = split
    assert inflate(compress_pieces(pieces, level, fmt), fmt) == data


@settings(max_examples=examples(60), deadline=None)
@given(split_input(), st.sampled_from([0, 1]))
def test_split_never_changes_the_stored_payload(split, level):
    # Storing keeps no bits pending, so each call's output is whole blocks.
    data, pieces = split
    c = vek.compressobj(0, 2)
    for piece in pieces:
        out = c.compress(piece)
        assert inflate(out + b"\x03\x00", 2) == piece


def test_wide_runs_closed_by_short_matches():
    # The densest output the encoder makes: 9-bit literal runs ended by 4-byte matches.
    import random

    rng = random.Random(1)
    data = bytearray()
    while len(data) < 300_000:
        start = len(data)
        data += bytes(rng.randrange(0x90, 0x100) for _ in range(rng.randrange(48, 52)))
        data += data[start : start + 4]
    data = bytes(data)
    for fmt in (0, 1, 2):
        out = compress_pieces([data], 1, fmt)
        assert inflate(out, fmt) == data


@pytest.mark.parametrize("path", corpus_files(), ids=lambda p: p.name)
def test_corpus_file_round_trips(path):
    data = path.read_bytes()
    for level, fmt in ((1, 2), (1, 0), (0, 1)):
        assert inflate(compress_pieces([data], level, fmt), fmt) == data


@pytest.mark.skipif(shutil.which("gzip") is None, reason="GNU gzip is not installed")
@pytest.mark.parametrize("level", [0, 1])
def test_gnu_gzip_reads_the_member(level):
    data = b"".join(p.read_bytes()[:200_000] for p in corpus_files()[:4]) or b"no corpus " * 5000
    member = compress_pieces([data[:70_000], data[70_000:]], level, 0)
    result = subprocess.run(["gzip", "-dc"], input=member, capture_output=True, check=True)
    assert result.stdout == data
    assert gzip.decompress(member) == data
