"""What a run shows while it works: a bar on a terminal, a count of the
bytes read, and -v's line per file."""

from __future__ import annotations

import sys

TYPE_CHECKING = False

from .failures import Failure

if TYPE_CHECKING:
    from typing import BinaryIO

    from .options import Options


class Progress:
    """A bytes-read bar on a terminal, for work of more than one chunk."""

    def __init__(self, name: str, total: int | None, args: Options) -> None:
        self.bar = None
        if args.quiet or not sys.stderr.isatty() or (total is not None and total <= args.chunk):
            return
        from tqdm import tqdm

        self.bar = tqdm(total=total, desc=name, unit="B", unit_scale=True, unit_divisor=1024, leave=False, file=sys.stderr)

    def advance(self, size: int) -> None:
        if self.bar is not None:
            self.bar.update(size)

    def close(self) -> None:
        if self.bar is not None:
            self.bar.close()


class Counted:
    """A binary file's read() that counts and reports what it gave."""

    def __init__(self, source: BinaryIO, name: str, progress: Progress) -> None:
        self.source, self.name, self.progress, self.count = source, name, progress, 0

    def read(self, n: int) -> bytes:
        try:
            data = self.source.read(n)
        except OSError as error:
            raise Failure(f"{self.name}: {error.strerror}") from None
        self.count += len(data)
        self.progress.advance(len(data))
        return data


def report(name: str, consumed: int, produced: int, seconds: float, outcome: str = "") -> None:
    percent = 100 * produced / consumed if consumed else 100.0
    speed = consumed / seconds / 1e6 if seconds > 0 else float("inf")
    print(
        f"{name}: {consumed:,} -> {produced:,} bytes ({percent:.2f}%), {speed:.1f} MB/s{outcome}",
        file=sys.stderr,
    )


class Verbose:
    """gzip's -v line for one file: its name once the work starts (its
    header read), what came of it at the end."""

    def __init__(self, name: str, shown: object) -> None:
        self.name, self.shown, self.begun = name, bool(shown), False

    def begin(self, *_: object) -> None:
        if self.shown and not self.begun:
            self.begun = True
            print(f"{self.name}:\t", end="", file=sys.stderr, flush=True)

    def end(self, outcome: str) -> None:
        if self.shown:
            self.begin()
            print(outcome, file=sys.stderr)


def ratio(saved: int, whole: int) -> str:
    return f"{100.0 * saved / whole if whole else 0.0:5.1f}%"
