"""Writes the fuzz targets' seed corpora: slices of the shared corpus behind
each target's control bytes, cycling through every level, format and a few
cut patterns, plus the runs that stress the checksums' overflow points."""

import argparse
import itertools
import pathlib
import struct

SLICE = 16 * 1024


def corpus_slices(corpus: pathlib.Path):
    for path in sorted(p for p in corpus.rglob("*") if p.is_file() and p.name != "README.md"):
        data = path.read_bytes()
        for start in {0, len(data) // 2, max(len(data) - SLICE, 0)}:
            yield path.name, start, data[start : start + SLICE]


def roundtrip_seed(level: int, fmt: int, cuts: list[int], data: bytes) -> bytes:
    control = level | fmt << 1 | len(cuts) << 3
    return bytes([control]) + b"".join(struct.pack("<H", c) for c in cuts) + data


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("corpus", type=pathlib.Path)
    parser.add_argument("out", type=pathlib.Path)
    args = parser.parse_args()

    roundtrip = args.out / "roundtrip"
    checksum = args.out / "checksum"
    for d in (roundtrip, checksum):
        d.mkdir(parents=True, exist_ok=True)

    settings = itertools.cycle(itertools.product((0, 1), (0, 1, 2, 3), ([], [1], [4096, 5], [3] * 7)))
    for n, ((name, start, data), (level, fmt, cuts)) in enumerate(zip(corpus_slices(args.corpus), settings)):
        (roundtrip / f"{name}-{start}").write_bytes(roundtrip_seed(level, fmt, cuts, data))
        header = struct.pack("<IBH", n * 0x9E3779B9 & 0xFFFFFFFF, n % 64, len(data) // 3)
        (checksum / f"{name}-{start}").write_bytes(header + data)

    for byte in (0x00, 0xFF):
        run = bytes([byte]) * 65536
        (roundtrip / f"run-{byte:02x}").write_bytes(roundtrip_seed(1, 2, [], run))
        (checksum / f"run-{byte:02x}").write_bytes(struct.pack("<IBH", 0xFFFFFFFF, 1, 5552) + run)


if __name__ == "__main__":
    main()
