"""Prints a digest of vek's output for every corpus file, level, container
and chunk size, so that an optimisation can be shown to change no byte:
run it before and after and compare."""

import hashlib
import pathlib
import sys

import vek

CORPUS = pathlib.Path(__file__).resolve().parents[1].parent / "shared" / "corpus"


def digest(data: bytes, level: int, fmt: int, chunk: int) -> str:
    c = vek.compressobj(level, fmt)
    h = hashlib.sha256()
    for at in range(0, len(data), chunk):
        h.update(c.compress(data[at : at + chunk]))
    h.update(c.flush())
    return h.hexdigest()[:16]


def main(paths):
    files = [p for arg in paths for p in sorted(pathlib.Path(arg).rglob("*")) if p.is_file()]
    for path in files:
        data = path.read_bytes()
        for level in (0, 1):
            for fmt in (0, 1, 2):
                for chunk in (1 << 30, 1 << 16, 4096, 1000):
                    print(path.name, level, fmt, chunk, digest(data, level, fmt, chunk))


if __name__ == "__main__":
    main(sys.argv[1:] or [str(CORPUS)])
