"""vekzip as a user runs it: outputs read back by GNU gzip, pigz, Python's
gzip and zlib; gzip's conventions for files, suffixes and standard streams;
and failures that name the file and leave no partial output behind."""

import fcntl
import gzip
import os
import pathlib
import pty
import shutil
import signal
import stat
import struct
import subprocess
import sys
import termios
import textwrap
import threading
import zlib

import pytest

import vekzip
from corpus import corpus_files
from vekzip import _engine, cli
from vekzip.cli import options

VEKZIP = pathlib.Path(sys.executable).parent / "vekzip"
needs_gzip = pytest.mark.skipif(shutil.which("gzip") is None, reason="GNU gzip is not installed")
SAMPLE = b"".join(p.read_bytes()[:150_000] for p in corpus_files()[:5]) or b"vekzip sample text\n" * 40_000


def run(*args, stdin=b"", cwd=None):
    return subprocess.run([str(VEKZIP), *map(str, args)], input=stdin, capture_output=True, cwd=cwd)


def gunzip(data: bytes) -> bytes:
    """GNU gzip's reading, checked against Python's."""
    result = subprocess.run(["gzip", "-dc"], input=data, capture_output=True, check=True)
    assert gzip.decompress(data) == result.stdout
    return result.stdout


@pytest.fixture
def sample(tmp_path):
    path = tmp_path / "sample.txt"
    path.write_bytes(SAMPLE)
    return path


def leftovers(folder: pathlib.Path) -> list[str]:
    return sorted(p.name for p in folder.iterdir() if p.name.startswith("."))


@needs_gzip
@pytest.mark.parametrize("threads", [1, 2])
def test_every_corpus_file_round_trips_through_gnu_gzip(tmp_path, threads):
    if not corpus_files():
        pytest.skip("the shared corpus is not beside the checkout")
    # A 1 MiB chunk makes every Silesia file many chunks, joined across threads.
    for source in corpus_files():
        path = tmp_path / source.name
        shutil.copyfile(source, path)
        result = run("-T", threads, "--chunk", "1M", path)
        assert result.returncode == 0, result.stderr
        assert not path.exists(), "the input is removed once the output is complete"
        assert gunzip((tmp_path / f"{source.name}.gz").read_bytes()) == source.read_bytes()


def test_thread_counts_write_identical_files(tmp_path):
    # One stream (one gzip member) whatever -T is: the output depends only on
    # the input and --chunk.
    outputs = {}
    for threads in (1, 2, 4):
        path = tmp_path / f"t{threads}"
        path.write_bytes(SAMPLE)
        assert run("-T", threads, "--chunk", "100K", path).returncode == 0
        outputs[threads] = (tmp_path / f"t{threads}.gz").read_bytes()
    assert outputs[1] == outputs[2] == outputs[4]
    assert gzip.decompress(outputs[1]) == SAMPLE
    for fmt, suffix in (("zlib", ".zz"), ("raw", ".deflate")):
        one = run("-c", "-T", 1, "--format", fmt, "--chunk", "64K", tmp_path / "t1.gz").stdout
        two = run("-c", "-T", 2, "--format", fmt, "--chunk", "64K", tmp_path / "t1.gz").stdout
        assert one == two and len(one) > 0


@pytest.mark.skipif(shutil.which("pigz") is None, reason="pigz is not installed")
def test_pigz_reads_the_output_of_several_threads(sample):
    out = run("-c", "-T", 3, "--chunk", "64K", sample).stdout
    assert subprocess.run(["pigz", "-dc"], input=out, capture_output=True, check=True).stdout == SAMPLE


@pytest.mark.parametrize("name, suffix, wbits", [("zlib", ".zz", 15), ("raw", ".deflate", -15)])
@pytest.mark.parametrize("level", ["-0", "-1"])
def test_zlib_and_raw_are_one_stream_across_chunks(sample, name, suffix, wbits, level):
    assert run(level, "--format", name, "--chunk", "50K", "-T", 4, sample).returncode == 0
    d = zlib.decompressobj(wbits)
    assert d.decompress(pathlib.Path(f"{sample}{suffix}").read_bytes()) == SAMPLE
    assert d.eof and not d.unused_data


@needs_gzip
@pytest.mark.parametrize("args", [[], ["-"], ["-c", "-T", "2", "--chunk", "4K"]])
def test_standard_input_to_standard_output(args):
    result = run(*args, stdin=SAMPLE)
    assert result.returncode == 0, result.stderr
    assert gunzip(result.stdout) == SAMPLE


@needs_gzip
@pytest.mark.parametrize("threads", [1, 2])
def test_empty_input_is_a_complete_member(tmp_path, threads):
    (tmp_path / "empty").write_bytes(b"")
    assert run("-T", threads, tmp_path / "empty").returncode == 0
    assert gunzip((tmp_path / "empty.gz").read_bytes()) == b""


def test_stored_output_holds_the_bytes_as_they_are(sample):
    out = run("-0", "-c", sample).stdout
    assert gzip.decompress(out) == SAMPLE
    assert SAMPLE[:60_000] in out


def test_keep_and_the_input_metadata(sample):
    os.chmod(sample, 0o640)
    os.utime(sample, (1_000_000_000, 1_200_000_000))
    assert run("-k", sample).returncode == 0
    assert sample.read_bytes() == SAMPLE
    made = os.stat(f"{sample}.gz")
    assert (made.st_mode & 0o777, made.st_mtime) == (0o640, 1_200_000_000)


def test_several_files_at_once_and_multiple_streams_to_stdout(tmp_path):
    paths = [tmp_path / name for name in ("a", "b")]
    for i, path in enumerate(paths):
        path.write_bytes(SAMPLE[i::2])
    result = run("-c", *paths)
    assert gzip.decompress(result.stdout) == SAMPLE[0::2] + SAMPLE[1::2]
    assert all(p.exists() for p in paths), "-c keeps the inputs"


def test_existing_output_is_refused_unless_forced(sample):
    target = pathlib.Path(f"{sample}.gz")
    target.write_bytes(b"precious")
    result = run(sample)
    assert result.returncode == 2  # a warning, as in gzip
    assert f"{target} already exists;\tnot overwritten" in result.stderr.decode()
    assert target.read_bytes() == b"precious" and sample.exists()
    assert run("-f", sample).returncode == 0
    assert gzip.decompress(target.read_bytes()) == SAMPLE


def test_a_folder_in_the_way_of_the_output_is_named(sample):
    pathlib.Path(f"{sample}.gz").mkdir()
    result = run("-f", sample)
    assert result.returncode == 1 and f"{sample}.gz: Is a directory" in result.stderr.decode()
    assert leftovers(sample.parent) == [] and sample.read_bytes() == SAMPLE


def test_a_file_with_the_suffix_is_left_alone(tmp_path):
    path = tmp_path / "already.gz"
    path.write_bytes(b"data")
    result = run(path)
    assert result.returncode == 0 and b"already has .gz suffix -- unchanged" in result.stderr  # as gzip 1.12
    assert path.read_bytes() == b"data"


def test_bad_inputs_are_named_and_the_rest_still_done(tmp_path, sample):
    (tmp_path / "folder").mkdir()
    (tmp_path / "plain").write_bytes(b"x")
    result = run(tmp_path / "missing", tmp_path / "folder", tmp_path / "plain" / "child", sample)
    errors = result.stderr.decode()
    assert result.returncode == 1
    assert f"{tmp_path / 'missing'}: No such file or directory" in errors
    assert f"{tmp_path / 'folder'} is a directory" in errors
    assert f"{tmp_path / 'plain' / 'child'}: Not a directory" in errors
    assert gzip.decompress(pathlib.Path(f"{sample}.gz").read_bytes()) == SAMPLE
    assert sorted(p.name for p in tmp_path.iterdir()) == ["folder", "plain", "sample.txt.gz"]


def test_links_are_left_alone_unless_forced_or_to_stdout(tmp_path, sample):
    (tmp_path / "symlink").symlink_to(sample)
    os.link(sample, tmp_path / "hardlink")
    result = run(tmp_path / "symlink", tmp_path / "hardlink")
    assert result.returncode == 1
    assert b"symlink: Too many levels of symbolic links" in result.stderr
    assert b"hardlink has 1 other link -- file ignored" in result.stderr
    assert sorted(p.name for p in tmp_path.iterdir()) == ["hardlink", "sample.txt", "symlink"]
    assert gzip.decompress(run("-c", tmp_path / "symlink").stdout) == SAMPLE
    assert run("-f", tmp_path / "hardlink").returncode == 0
    assert gzip.decompress((tmp_path / "hardlink.gz").read_bytes()) == SAMPLE
    assert sample.read_bytes() == SAMPLE, "the other name still holds the data"


@pytest.mark.skipif(os.geteuid() == 0, reason="root reads any file")
def test_unreadable_file_is_named(sample):
    os.chmod(sample, 0)
    result = run(sample)
    assert result.returncode == 1 and f"{sample}: Permission denied" in result.stderr.decode()
    assert not pathlib.Path(f"{sample}.gz").exists()


@pytest.mark.parametrize("threads", ["1", "2"])
def test_a_failure_midway_leaves_no_partial_output(sample, monkeypatch, capsys, threads):
    def failing_second_chunk(*args):
        return _engine.Compressor(*args, fail_at=1)

    monkeypatch.setattr(vekzip, "_compressor", failing_second_chunk)
    assert cli.main(["-T", threads, "--chunk", "64K", str(sample)]) == 1
    assert "out of memory" in capsys.readouterr().err
    assert sorted(p.name for p in sample.parent.iterdir()) == ["sample.txt"]
    assert sample.read_bytes() == SAMPLE


def test_a_reader_that_goes_away_ends_it_by_sigpipe_quietly(sample):
    process = subprocess.Popen(
        [str(VEKZIP), "-c", "-0", "--chunk", "4K", sample], stdout=subprocess.PIPE, stderr=subprocess.PIPE
    )
    process.stdout.read(100)
    process.stdout.close()
    assert process.wait() == -signal.SIGPIPE
    assert process.stderr.read() == b""


@pytest.mark.parametrize(
    "args, message",
    [
        (["-T", "0"], "threads must be 1 to 1024"),
        (["--chunk", "0"], "at least one byte"),
        (["--chunk", "lots"], "not a size"),
        (["--format", "bzip2"], "--format is one of gzip, zlib, raw"),
        (["--bzip2"], "unrecognized option '--bzip2'"),
    ],
)
def test_bad_options_exit_1_with_a_message(args, message):
    result = run(*args)
    assert result.returncode == 1 and message in result.stderr.decode()


def test_chunk_sizes_take_binary_suffixes():
    assert [options.chunk_size(t) for t in ("65536", "64K", "8M", "1g", "2MiB")] == [
        65536, 65536, 8 << 20, 1 << 30, 2 << 20,
    ]


def test_throughput_reports_size_ratio_and_speed(sample):
    result = run("--throughput", "-k", sample)
    line = result.stderr.decode()
    assert f"{sample}: {len(SAMPLE):,} -> " in line and "%" in line and "MB/s" in line
    assert f"created {sample}.gz" in line


def run_on_a_terminal(*args) -> tuple[int, bytes]:
    """Runs vekzip with stdout and stderr on a pseudo-terminal; returns the exit
    status and what the terminal showed."""
    leader, follower = pty.openpty()
    # A new pseudo-terminal is 0 columns wide, too narrow for any bar.
    fcntl.ioctl(follower, termios.TIOCSWINSZ, struct.pack("HHHH", 24, 100, 0, 0))
    process = subprocess.Popen([str(VEKZIP), *map(str, args)], stdin=subprocess.DEVNULL, stdout=follower, stderr=follower)
    os.close(follower)
    shown = b""
    while True:
        try:
            piece = os.read(leader, 65536)
        except OSError:  # the terminal closed
            break
        if not piece:
            break
        shown += piece
    os.close(leader)
    return process.wait(), shown


def test_progress_bar_on_a_terminal_only_and_not_with_quiet(sample):
    status, shown = run_on_a_terminal("-k", "--chunk", "64K", sample)
    assert status == 0 and b"sample.txt" in shown and b"%|" in shown
    os.unlink(f"{sample}.gz")
    status, shown = run_on_a_terminal("-k", "-q", "--chunk", "64K", sample)
    assert status == 0 and shown == b""
    result = run("-k", "-f", "--chunk", "64K", sample)  # stderr is a pipe here
    assert result.returncode == 0 and result.stderr == b""


def test_devices_and_pipes_are_refused_even_when_forced_and_never_removed(tmp_path):
    fifo = tmp_path / "fifo"
    os.mkfifo(fifo)
    nodes = [fifo]
    if os.geteuid() == 0:  # a device node of our own, never the system's
        os.mknod(tmp_path / "null", stat.S_IFCHR | 0o666, os.makedev(1, 3))
        nodes.append(tmp_path / "null")
    for node in nodes:
        for args in ([node], ["-f", node], ["-f", "-k", node]):
            result = run(*args)
            assert result.returncode == 2, result.stderr
            assert f"{node} is not a directory or a regular file - ignored".encode() in result.stderr
            assert not stat.S_ISREG(os.lstat(node).st_mode)
    # -c reads a pipe, as gzip -c does.
    feeder = threading.Thread(target=lambda: fifo.write_bytes(SAMPLE[:50_000]))
    feeder.start()
    result = run("-c", fifo)
    feeder.join()
    assert result.returncode == 0 and gzip.decompress(result.stdout) == SAMPLE[:50_000]
    assert sorted(p.name for p in tmp_path.iterdir()) == sorted(n.name for n in nodes)


def test_a_name_that_fits_with_its_suffix_is_compressed(tmp_path):
    # The temporary file used to be named after the target, and longer.
    path = tmp_path / ("n" * (255 - len(".gz")))
    path.write_bytes(SAMPLE[:20_000])
    result = run(path)
    assert result.returncode == 0, result.stderr
    assert gzip.decompress(pathlib.Path(f"{path}.gz").read_bytes()) == SAMPLE[:20_000]
    assert leftovers(tmp_path) == []


def test_closed_standard_streams_are_named_as_gzip_names_them(sample):
    for redirect, message in (
        (f"-c {sample} >&-", "vekzip: stdout: Bad file descriptor"),
        ("<&- >/dev/null", "vekzip: standard input: Bad file descriptor"),
    ):
        result = subprocess.run(f"exec {VEKZIP} {redirect}", shell=True, capture_output=True, text=True)
        assert result.returncode == 1 and result.stderr.strip() == message, result.stderr


def in_process(code):
    """vekzip's main() in a new interpreter (away from the checkout), after
    `code` has set it up."""
    return subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)],
        capture_output=True, text=True, cwd=os.path.dirname(sys.executable),
    )


def test_a_huge_chunk_costs_only_what_is_read(tmp_path):
    (tmp_path / "tiny").write_bytes(b"six b\n")
    result = in_process(
        f"""
        from vekzip import cli
        assert cli.main(["-k", "--chunk", "512M", "-T", "2", {str(tmp_path / "tiny")!r}]) == 0
        # The peak resident set of this process image (ru_maxrss would count
        # the parent's, carried over by exec).
        print(next(line.split()[1] for line in open("/proc/self/status") if line.startswith("VmHWM")))
        """
    )
    assert result.returncode == 0, result.stderr
    assert int(result.stdout) < 150_000, "KiB at most: the chunk area grows with what is written"
    assert gzip.decompress((tmp_path / "tiny.gz").read_bytes()) == b"six b\n"


def test_threads_that_cannot_start_are_reported_and_leave_nothing(sample):
    result = in_process(
        f"""
        import os, resource
        from vekzip import cli
        size = int(open("/proc/self/statm").read().split()[0]) * os.sysconf("SC_PAGE_SIZE")
        resource.setrlimit(resource.RLIMIT_AS, (size + (48 << 20), resource.RLIM_INFINITY))
        raise SystemExit(cli.main(["-T", "64", "--chunk", "4K", {str(sample)!r}]))
        """
    )
    assert result.returncode == 1 and "could not start 63 worker threads" in result.stderr, result.stderr
    assert sorted(p.name for p in sample.parent.iterdir()) == ["sample.txt"]
    assert sample.read_bytes() == SAMPLE
