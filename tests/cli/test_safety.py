"""The tool run where others can act: a folder another user owns, signals,
hostile headers and indexes, huge streams. Nothing may be given away, left
behind or lost, and every refusal is gzip's."""

import gzip
import os
import pathlib
import shutil
import signal
import subprocess
import sys
import threading
import zlib

import pytest

VEKZIP = pathlib.Path(sys.executable).parent / "vekzip"
NOBODY = 65534
as_root = pytest.mark.skipif(os.geteuid() != 0, reason="needs root")


def run(*args, stdin=b"", cwd=None, **kw):
    return subprocess.run([str(VEKZIP), *map(str, args)], input=stdin, capture_output=True, cwd=cwd, **kw)


def swap_new_files_for_links(folder: pathlib.Path, keep: set, victim: pathlib.Path, stop: threading.Event) -> None:
    """What the folder's owner may do while root works in it: every file
    that appears is replaced by a link to a file they do not own."""
    while not stop.is_set():
        for entry in os.listdir(folder):
            path = folder / entry
            if entry in keep or entry.startswith("~") or path.is_symlink():
                continue
            link = folder / f"~{entry}"
            try:
                os.symlink(victim, link)
                os.rename(link, path)
            except OSError:
                pass


@as_root
@pytest.mark.parametrize("program", ["gzip", str(VEKZIP)])
@pytest.mark.parametrize("args, given", [([], "input"), (["-d"], "input.gz")])
def test_a_link_swapped_for_the_output_never_gets_the_input_s_owner_or_mode(tmp_path, program, args, given):
    if shutil.which(program) is None:
        pytest.skip(f"{program} is not installed")
    victim = tmp_path / "victim"
    victim.write_bytes(b"root's own")
    os.chmod(victim, 0o600)
    folder = tmp_path / "theirs"
    folder.mkdir()
    os.chown(folder, NOBODY, NOBODY)
    data = os.urandom(1 << 16) * 64
    (folder / given).write_bytes(gzip.compress(data) if args else data)
    os.chown(folder / given, NOBODY, NOBODY)
    os.chmod(folder / given, 0o666)
    stop = threading.Event()
    racer = threading.Thread(target=swap_new_files_for_links, args=(folder, {given}, victim, stop))
    racer.start()
    try:
        extra = ["--chunk", "64K", "-T1"] if program != "gzip" else []
        subprocess.run([program, *args, *extra, str(folder / given)], capture_output=True)
    finally:
        stop.set()
        racer.join()
    info = victim.stat()
    assert (info.st_uid, info.st_gid, info.st_mode & 0o7777) == (0, 0, 0o600)
    assert victim.read_bytes() == b"root's own"


@pytest.mark.parametrize("fmt, wbits", [("zlib", 15), ("raw", -15), ("gzip", 31)])
def test_streams_longer_than_one_output_piece_read_back(tmp_path, fmt, wbits):
    # 16 MiB + 1 of zeros inflate from one small input block into more than
    # one 16 MiB output piece.
    data = bytes((16 << 20) + 1)
    packed = run("-c", "--format", fmt, stdin=data).stdout
    assert zlib.decompress(packed, wbits) == data
    assert run("-t", "--format", fmt, stdin=packed).returncode == 0
    result = run("-dc", "--format", fmt, stdin=packed)
    assert result.returncode == 0 and result.stdout == data, result.stderr


def peak_kib(code: str) -> tuple[int, str]:
    """Runs `code` (which sets `status`) in a new interpreter; returns its
    peak resident set in KiB and its standard error."""
    script = code + (
        "\nimport sys\nsys.stdout.flush()\n"
        "print(next(l.split()[1] for l in open('/proc/self/status') if l.startswith('VmHWM')), status)\n"
    )
    result = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, cwd="/")
    return int(result.stdout.split()[0]), result.stderr


def test_a_name_that_never_ends_costs_bounded_memory(tmp_path):
    # Each block of a header used to be appended and the header parsed
    # again: quadratic time and the whole field in memory.
    path = tmp_path / "endless.gz"
    with open(path, "wb") as out:
        out.write(b"\x1f\x8b\x08\x08\0\0\0\0\0\x03")
        for _ in range(96):
            out.write(b"n" * (1 << 20))
    baseline, _ = peak_kib("from vekzip import cli, inflate\nstatus = 0")
    peak, errors = peak_kib(f"from vekzip import cli\nstatus = cli.main(['-t', {str(path)!r}])")
    assert "unexpected end of file" in errors
    assert peak - baseline < 40_000, (peak, baseline)


class FailingReader:
    """An indexed reader whose index stops holding after one piece, as a
    hostile index's numbers make it fail."""

    def __init__(self, real, error):
        self.real, self.error, self.chunks, self.given = real, error, real.chunks, 0

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.real.close()

    def read(self, size):
        if self.given:
            raise self.error
        self.given = 1
        return self.real.read(1000)


@pytest.mark.parametrize("error", ["OverflowError('int too big')", "OSError('index lies')", "ValueError('bad')"])
@pytest.mark.parametrize("args", [["-t"], ["-dc"], ["-d", "-k"]])
def test_an_index_that_fails_midway_gives_the_sequential_bytes(tmp_path, error, args):
    data = os.urandom(5000) * 100
    path = tmp_path / "f.gz"
    path.write_bytes(run("-c", "--index", "--chunk", "64K", stdin=data).stdout)
    code = f"""
import sys
sys.path.insert(0, {str(pathlib.Path(__file__).parent)!r})
from test_safety import FailingReader
from vekzip import cli, reader
real_open = reader.open_indexed
reader.open_indexed = lambda *a, **k: FailingReader(real_open(*a, **k), {error})
sys.exit(cli.main({[*args, str(path)]!r}))
"""
    result = subprocess.run([sys.executable, "-c", code], capture_output=True, cwd="/")
    assert result.returncode == 0, result.stderr
    if "-dc" in args:
        assert result.stdout == data
    if "-d" in args:
        assert (tmp_path / "f").read_bytes() == data


@pytest.mark.parametrize("number", [signal.SIGTERM, signal.SIGHUP, signal.SIGINT, signal.SIGUSR1, signal.SIGALRM,
                                    signal.SIGXFSZ])
@pytest.mark.parametrize("args", [[], ["-d"]])
def test_a_signal_midway_removes_the_partial_output_and_ends_by_it(tmp_path, number, args):
    data = os.urandom(1 << 20) * 4
    name = "f.gz" if args else "f"
    (tmp_path / name).write_bytes(gzip.compress(data) if args else data)
    # The signal comes once the hidden output holds a first piece.
    code = f"""
import os, signal, sys
signal.signal({int(number)}, signal.SIG_DFL)  # not ignored, even when the suite runs under nohup
import vekzip
from vekzip import cli, inflate
from vekzip.cli import compress
real_read_chunks, real_feed = compress.read_chunks, inflate._feed
def signalled(it):
    for n, piece in enumerate(it):
        if n == 1:
            os.kill(os.getpid(), {int(number)})
        yield piece
compress.read_chunks = lambda *a: signalled(real_read_chunks(*a))
real_write_from = vekzip.VekzipFile._write_from  # a file's input is read by the writer
def write_from(self, *a):
    count[0] += 1
    if count[0] == 2:
        os.kill(os.getpid(), {int(number)})
    return real_write_from(self, *a)
vekzip.VekzipFile._write_from = write_from
count = [0]
def feed(*a):
    count[0] += 1
    if count[0] == 2:
        os.kill(os.getpid(), {int(number)})
    return real_feed(*a)
inflate._feed = feed
sys.exit(cli.main({[*args, "--chunk", "1M", "-T1", str(tmp_path / name)]!r}))
"""
    result = subprocess.run([sys.executable, "-c", code], capture_output=True, cwd=tmp_path)
    assert result.returncode == -number, result.stderr
    assert sorted(os.listdir(tmp_path)) == [name]


def test_a_walk_deeper_than_the_interpreter_s_stack(tmp_path):
    deep = tmp_path
    for _ in range(420):
        deep = deep / "d"
    deep.mkdir(parents=True)
    (deep / "leaf").write_bytes(b"at the bottom\n")
    result = run("-r", "d", cwd=tmp_path)
    assert result.returncode == 0, result.stderr[-300:]
    assert gzip.decompress((deep / "leaf.gz").read_bytes()) == b"at the bottom\n"


@pytest.mark.parametrize("swapped_in", ["link", "file"])
@pytest.mark.parametrize("args, given", [(["-k"], "f"), (["-dk"], "f.gz"), (["-fk"], "f")])
def test_an_input_swapped_after_it_was_judged_is_not_read(tmp_path, swapped_in, args, given):
    # The folder's owner swaps the name for a link to (or a copy of) a file
    # only root may read, between the tool's look at the name and its open.
    secret = b"root's secret\n"
    (tmp_path / "secret").write_bytes(gzip.compress(secret) if "-dk" in args else secret)
    os.chmod(tmp_path / "secret", 0o600)
    (tmp_path / given).write_bytes(gzip.compress(b"harmless\n") if "-dk" in args else b"harmless\n")
    os.chmod(tmp_path / given, 0o644)
    code = f"""
import os, sys
from vekzip import cli
real_lstat, swapped = os.lstat, []
def lstat(path, *a, **k):
    seen = real_lstat(path, *a, **k)
    if path == {given!r} and not swapped:
        swapped.append(1)
        if {swapped_in!r} == "link":
            os.symlink("secret", "swap")
        else:
            os.link("secret", "swap")
        os.rename("swap", {given!r})
    return seen
os.lstat = lstat
sys.exit(cli.main({[*args, given]!r}))
"""
    result = subprocess.run([sys.executable, "-c", code], capture_output=True, cwd=tmp_path)
    output = tmp_path / given.removesuffix(".gz") if "-dk" in args else tmp_path / "f.gz"
    if output.exists() and output.stat().st_mode & 0o077:
        data = output.read_bytes()
        assert secret not in (data if "-dk" in args else gzip.decompress(data)), result.stderr
    assert result.returncode == 1, result.stderr
