"""Compresses one file with vek in every container at both levels, checks
each result with the standard library's inflaters, and prints what it did."""

import gzip
import sys
import time
import zlib

import vek

FORMATS = {"gzip": vek.VEK_FMT_GZIP, "zlib": vek.VEK_FMT_ZLIB, "raw": vek.VEK_FMT_DEFLATE}
INFLATE = {
    "gzip": gzip.decompress,
    "zlib": zlib.decompress,
    "raw": lambda data: zlib.decompress(data, -15),
}


def main(path: str) -> int:
    with open(path, "rb") as f:
        data = f.read()
    print(f"{path}: {len(data):,} bytes")
    for level in (0, 1):
        for name, fmt in FORMATS.items():
            start = time.perf_counter()
            c = vek.compressobj(level, fmt)
            out = c.compress(data) + c.flush()
            seconds = time.perf_counter() - start
            ok = INFLATE[name](out) == data
            rate = len(data) / seconds / 1e6 if seconds > 0 else float("inf")
            print(
                f"  level {level} {name:4}: {len(out):>12,} bytes "
                f"({100 * len(out) / max(len(data), 1):6.2f}%), {rate:8.1f} MB/s, "
                f"inflates back: {'yes' if ok else 'NO'}"
            )
            if not ok:
                return 1
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1]))
