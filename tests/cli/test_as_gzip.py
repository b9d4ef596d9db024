"""vekzip next to GNU gzip: the same command on the same files in two copies
of a folder, and the same outcome: exit status, messages (the program's
name aside), the files left, their contents (compressed ones read back) and
metadata. vek's compressed bytes differ from gzip's by design; everything a
user sees besides them must not."""

import collections
import gzip
import heapq
import io
import os
import pathlib
import pty
import re
import shutil
import stat
import subprocess
import sys
import threading
import tty as tty_module
import zipfile
import zlib

import shlex

import pytest

try:
    import ncompress
except ImportError:
    ncompress = None

from corpus import corpus_files

pytestmark = pytest.mark.skipif(shutil.which("gzip") is None, reason="GNU gzip is not installed")
needs_ncompress = pytest.mark.skipif(ncompress is None, reason="ncompress makes the .Z files")

VEKZIP = pathlib.Path(sys.executable).parent / "vekzip"
TEXT = b"".join(p.read_bytes()[:40_000] for p in corpus_files()[:3]) or b"some text to compress\n" * 4000
WHEN = (1_500_000_000, 1_600_000_000)  # atime, mtime given to every input
# An option that decompresses, tests or lists: what else it runs compresses.
COMPRESSING = re.compile(r"-[^-]*[dtl]|--(de|un|te|li)")


def make_tree(root: pathlib.Path, files: dict) -> None:
    for name, content in files.items():
        path = root / name
        path.parent.mkdir(parents=True, exist_ok=True)
        if isinstance(content, bytes):
            path.write_bytes(content)
            os.utime(path, WHEN)
        elif content == "dir":
            path.mkdir(exist_ok=True)


def state(root: pathlib.Path) -> dict:
    """Every file: its decompressed content (when it is a gzip file) or
    content, mode, owner and times. Temporary files would show too."""
    seen = {}
    for path in sorted(root.rglob("*")):
        info = path.lstat()
        if stat.S_ISDIR(info.st_mode):
            seen[str(path.relative_to(root))] = "dir"
            continue
        if stat.S_ISLNK(info.st_mode):  # its own times are when the setup made it
            seen[str(path.relative_to(root))] = ("link", os.readlink(path))
            continue
        data = path.read_bytes()
        if data[:2] == b"\x1f\x8b":
            try:
                data = ("gzip", gzip.decompress(data))
            except Exception:
                data = ("broken gzip", len(data))
        # A file read gets the time of reading (relatime), which differs by
        # the second between the two runs: only a kept atime is compared.
        atime = int(info.st_atime) if int(info.st_atime) in WHEN else "read"
        seen[str(path.relative_to(root))] = (
            data, stat.S_IMODE(info.st_mode), info.st_uid, info.st_gid, int(info.st_mtime), atime
        )
    return seen


def feed(pipe, data):
    """Writes data into a pipe whose reader may end first."""
    try:
        pipe.write(data)
        pipe.close()
    except BrokenPipeError:
        pass


def run_one(program, args, root, stdin, env, tty, answer, head, redirect=None):
    """One run: its status, standard output and standard error. `tty` puts a
    terminal on "stdin" (answered with `answer`) or "stdout"; `head` reads
    that many bytes of the output, then closes the pipe; `redirect` is the
    shell's (`2>&-`, `>/dev/full`) for the run."""
    env = {**os.environ, **(env or {})}
    if tty is None and head is None:
        command = [program, *args] if redirect is None else ["sh", "-c", f'exec "$0" "$@" {redirect}', program, *args]
        result = subprocess.run(command, cwd=root, input=stdin, capture_output=True, env=env)
        return result.returncode, result.stdout, result.stderr
    master, slave = pty.openpty()
    tty_module.setraw(slave)
    streams = {"stdin": subprocess.PIPE, "stdout": subprocess.PIPE}
    if tty is not None:
        streams[tty] = slave
    process = subprocess.Popen([program, *args], cwd=root, stdin=streams["stdin"], stdout=streams["stdout"],
                               stderr=subprocess.PIPE, env=env)
    os.close(slave)
    if tty == "stdin":
        os.write(master, answer)
        out = process.stdout.read()
    elif tty == "stdout":
        process.stdin.close()
        out = b""
        while True:
            try:
                piece = os.read(master, 1 << 16)
            except OSError:  # the terminal closed
                break
            if not piece:
                break
            out += piece
    else:
        feeder = threading.Thread(target=feed, args=(process.stdin, stdin))
        feeder.start()
        out = process.stdout.read(head)
        process.stdout.close()
        feeder.join()
    err = process.stderr.read()
    status = process.wait()
    os.close(master)
    return status, out, err


def side_by_side(tmp_path, files, *args, stdin=b"", setup=None, env=None, tty=None, answer=b"", head=None,
                 own_text=False, redirect=None):
    """Runs gzip and vekzip with the same arguments, each in its own copy of
    the files; returns both outcomes after checking they agree. Messages
    agree byte for byte with the program's name as the one difference, and
    so do compressing's -v lines but for the share saved."""
    outcomes = []
    compressing = not any(COMPRESSING.match(a) for a in [*args, *(env or {}).get("GZIP", "").split()])
    for program in ("gzip", str(VEKZIP)):
        root = tmp_path / pathlib.Path(program).name
        root.mkdir(parents=True)
        make_tree(root, files)
        if setup:
            setup(root)
        status, out, err = run_one(program, args, root, stdin, env, tty, answer, head, redirect)
        err = err.replace(b"vekzip", b"gzip")
        if compressing:
            err = re.sub(rb" *-?\d+\.\d%", b" NN.N%", err)
        if out[:2] == b"\x1f\x8b" and compressing:
            out = len(out) if head else gzip.decompress(out)
        if own_text:  # --help, --version, --license: each program's own words
            out = bool(out)
        outcomes.append({"status": status, "messages": err.decode(errors="replace").splitlines(True),
                         "stdout": out, "files": state(root)})
    gzip_result, vek_result = outcomes
    differing = {
        key: (gzip_result[key], vek_result[key]) for key in gzip_result if key != "files" and gzip_result[key] != vek_result[key]
    }
    files = set(gzip_result["files"]) | set(vek_result["files"])
    differing.update({f: (gzip_result["files"].get(f), vek_result["files"].get(f)) for f in sorted(files)
                      if gzip_result["files"].get(f) != vek_result["files"].get(f)})
    assert not differing, (args, differing)
    return vek_result


def compressed(data):
    return gzip.compress(data, mtime=0)


@pytest.mark.parametrize(
    "args",
    [["-n", "a"], ["-n", "-k", "a"], ["-n", "-1", "a"], ["-n", "-9", "a", "b"], ["-n", "--fast", "a"],
     ["-n", "--best", "-k", "a"], ["-n", "-c", "a", "b"], ["-n", "-S", ".vz", "a"], ["-n", "-Sx", "a"],
     ["-n", "--suffix=.q", "-k", "a"], ["-n", "--", "-dash"], ["-n", "-r", "tree"], ["-n", "-rk", "tree"],
     ["-n", "-f", "a"], ["-n", "-k9", "a"]],
)
def test_compressing_options(tmp_path, args):
    files = {"a": TEXT, "b": TEXT[::-1], "-dash": b"dash\n", "tree/x": TEXT[:5000], "tree/sub/y": b"y\n",
             "tree/sub/done.gz": compressed(b"done")}
    outcome = side_by_side(tmp_path, files, *args)
    assert outcome["status"] == 0


@pytest.mark.parametrize(
    "args",
    [["-d", "a.gz"], ["-dk", "a.gz"], ["-dc", "a.gz", "two.gz"], ["-d", "two.gz"], ["-d", "-S", ".vz", "s.vz"],
     ["-d", "t.tgz"], ["-dr", "tree"], ["-t", "a.gz", "two.gz"], ["-tv", "a.gz"], ["-d", "-N", "named.gz"],
     ["-d", "-n", "named.gz"], ["-dN", "-k", "named.gz"], ["-l", "a.gz"], ["-l", "a.gz", "named.gz"],
     ["-lN", "named.gz"], ["-lv", "a.gz", "two.gz"], ["-l", "two.gz", "a.gz"], ["-d", "--", "-dash.gz"]],
)
def test_reading_options(tmp_path, args):
    named = gzip.compress(TEXT[:3000], mtime=1_234_567_890)  # gzip.compress stores no name
    named = named[:3] + bytes([named[3] | 8]) + named[4:10] + b"original.txt\0" + named[10:]
    files = {"a.gz": compressed(TEXT), "two.gz": compressed(b"one\n") + compressed(b"two\n"),
             "s.vz": compressed(b"suffixed"), "t.tgz": compressed(b"tar"), "named.gz": named,
             "-dash.gz": compressed(b"dash"), "tree/x.gz": compressed(b"x"), "tree/sub/y.gz": compressed(b"y"),
             "tree/plain": b"left alone"}
    side_by_side(tmp_path, files, *args)


def test_vekzip_reads_what_it_writes_with_name_and_time(tmp_path):
    data = TEXT
    (tmp_path / "orig.txt").write_bytes(data)
    os.utime(tmp_path / "orig.txt", WHEN)
    assert subprocess.run([VEKZIP, "-N", "-k", tmp_path / "orig.txt"]).returncode == 0
    made = (tmp_path / "orig.txt.gz").read_bytes()
    assert made[3] & 8 and b"orig.txt\0" in made[:30] and int.from_bytes(made[4:8], "little") == WHEN[1]
    # GNU gzip restores the name and time vekzip stored.
    (tmp_path / "orig.txt.gz").rename(tmp_path / "renamed.gz")
    os.unlink(tmp_path / "orig.txt")
    assert subprocess.run(["gzip", "-dN", tmp_path / "renamed.gz"]).returncode == 0
    assert (tmp_path / "orig.txt").read_bytes() == data
    assert int((tmp_path / "orig.txt").stat().st_mtime) == WHEN[1]


@pytest.mark.parametrize("case", ["not gzip", "truncated", "crc", "length", "garbage", "zeros", "empty", "damaged"])
def test_broken_inputs_get_gzip_s_message_and_status_and_leave_no_output(tmp_path, case):
    good = compressed(TEXT)
    data = {
        "not gzip": b"plain text, not compressed",
        "truncated": good[: len(good) // 2],
        "crc": good[:-8] + bytes([good[-8] ^ 1]) + good[-7:],
        "length": good[:-4] + bytes([good[-4] ^ 1]) + good[-3:],
        "garbage": good + b"garbage",
        "zeros": good + b"\0" * 100,
        "empty": b"",
        "damaged": good[:40] + bytes(b ^ 0x55 for b in good[40:80]) + good[80:],
    }[case]
    for args in (["-d", "f.gz"], ["-t", "f.gz"], ["-dc", "f.gz"], ["-d"]):
        outcome = side_by_side(tmp_path / "-".join(args), {"f.gz": data}, *args, stdin=data if len(args) == 1 else b"")
        if case not in ("zeros", "garbage"):
            assert outcome["status"] == 1 and outcome["messages"], outcome


def test_warnings_and_their_statuses(tmp_path):
    def links(root):
        os.link(root / "a", root / "hard")
        os.symlink("a", root / "soft")
        for name in ("exists", "exists.gz"):
            (root / name).write_bytes(b"x")
            os.utime(root / name, WHEN)

    files = {"a": TEXT, "folder/f": b"f", "done.gz": compressed(b"done")}
    for args in (["folder"], ["hard"], ["soft"], ["-f", "soft"], ["exists"], ["done.gz"], ["-q", "folder"],
                 ["-q", "exists"], ["missing", "a"], ["-d", "a"], ["-d", "-q", "a"], ["-f", "hard"]):
        side_by_side(tmp_path / "_".join(args).replace("/", "_"), files, "-n", *args, setup=links)


def test_owner_group_mode_and_times_are_kept(tmp_path):
    if os.geteuid() != 0:
        pytest.skip("giving a file another owner needs root")

    def owned(root):
        for name in ("a", "b.gz"):
            os.chown(root / name, 1234, 5678)
            os.chmod(root / name, 0o640)
            os.utime(root / name, WHEN)

    outcome = side_by_side(tmp_path / "c", {"a": TEXT, "b.gz": compressed(b"b")}, "-n", "a", setup=owned)
    assert outcome["files"]["a.gz"][1:] == (0o640, 1234, 5678, WHEN[1], WHEN[0])
    outcome = side_by_side(tmp_path / "d", {"a": TEXT, "b.gz": compressed(b"b")}, "-d", "b.gz", setup=owned)
    assert outcome["files"]["b"][1:] == (0o640, 1234, 5678, WHEN[1], WHEN[0])


def test_standard_input_both_ways(tmp_path):
    side_by_side(tmp_path / "c", {}, "-n", stdin=TEXT)
    side_by_side(tmp_path / "d", {}, "-d", stdin=compressed(TEXT) + compressed(b"more"))
    side_by_side(tmp_path / "t", {}, "-t", stdin=compressed(TEXT))
    side_by_side(tmp_path / "l", {}, "-l", stdin=compressed(TEXT))


def test_zlib_and_raw_streams_read_back(tmp_path):
    for fmt, suffix, wbits in (("zlib", ".zz", 15), ("raw", ".deflate", -15)):
        path = tmp_path / f"data{fmt}"
        path.write_bytes(TEXT)
        assert subprocess.run([VEKZIP, "--format", fmt, path]).returncode == 0
        packed = pathlib.Path(f"{path}{suffix}")
        assert zlib.decompress(packed.read_bytes(), wbits) == TEXT
        assert subprocess.run([VEKZIP, "-d", "--format", fmt, packed]).returncode == 0
        assert path.read_bytes() == TEXT and not packed.exists()


def test_the_fallback_inflater_reads_the_same(tmp_path):
    # Without ISA-L the standard library's zlib does the reading.
    path = tmp_path / "f.gz"
    path.write_bytes(compressed(TEXT) + compressed(b"second member"))
    code = (
        "import sys; sys.modules['isal'] = None\n"
        "from vekzip import cli, inflate\n"
        "assert inflate.INFLATER == 'zlib'\n"
        f"raise SystemExit(cli.main(['-d', {str(path)!r}]))\n"
    )
    result = subprocess.run([sys.executable, "-c", code], cwd=tmp_path, capture_output=True, text=True)
    assert result.returncode == 0, result.stderr
    assert (tmp_path / "f").read_bytes() == TEXT + b"second member"


def with_header(data, name=None, mtime=0, extra=None):
    """A gzip member of `data` whose header holds the given name, time and
    extra field."""
    body = gzip.compress(data, mtime=0)[10:]
    flags = (8 if name is not None else 0) | (4 if extra is not None else 0)
    head = b"\x1f\x8b\x08" + bytes([flags]) + mtime.to_bytes(4, "little") + b"\x00\x03"
    if extra is not None:
        head += len(extra).to_bytes(2, "little") + extra
    if name is not None:
        head += name + b"\0"
    return head + body


@pytest.mark.parametrize(
    "tail",
    [b"\x1f", b"\x1f\x8b", b"\x1f\x8b\x08\x00", b"\x1f\x8b\x08\x00\0\0\0\0\0\x03", b"x", b"\x1fx", b"\0", b"\0\0",
     b"xy", b"\0x", b"\x1f\x8b\x09" + bytes(7), b"\0" * 5 + b"x"],
)
@pytest.mark.parametrize("args", [["-t"], ["-d"]])
def test_what_follows_a_member(tmp_path, tail, args):
    if args == ["-d"] and tail[:3] == b"\x1f\x8b\x09":
        # gzip keeps its output and removes the input after a later member
        # with an unknown method; vekzip never removes an input it could
        # not read through (README's differences).
        result = subprocess.run([VEKZIP, "-d", "f.gz"], cwd=tmp_path, capture_output=True,
                                input=b"") if (tmp_path / "f.gz").write_bytes(compressed(b"hello\n") + tail) else None
        assert result.returncode == 1 and b"unknown method 9" in result.stderr
        assert sorted(os.listdir(tmp_path)) == ["f.gz"]
        return
    side_by_side(tmp_path, {"f.gz": compressed(b"hello\n") + tail}, *args, "f.gz")


@pytest.mark.parametrize(
    "member",
    [with_header(b"long name\n", b"y" * 300, 1_400_000_000), with_header(b"too long\n", b"z" * 1100),
     with_header(b"big header\n", b"kept.txt", 1_300_000_000, extra=b"E" * 5000),
     with_header(b"backslash\n", b"a\\b.txt", 1_300_000_000), with_header(b"latin\n", b"caf\xe9.txt", 1_300_000_000),
     with_header(b"path\n", b"../up/x.txt", 1_300_000_000),
     *(with_header(b"no name\n", name) for name in (b".", b"..", b"", b"/", b"sub/", b"a//b//")),
     with_header(b"1024\n", b"n" * 1024), with_header(b"1023\n", b"n" * 1023)],
)
@pytest.mark.parametrize("option", ["-dN", "-lN"])
def test_names_restored_by_dN(tmp_path, member, option):
    side_by_side(tmp_path, {"f.gz": member}, option, "f.gz")


@pytest.mark.parametrize("when", [-100_000_000, 7_300_000_000])
def test_a_time_the_header_cannot_hold_is_stored_as_none(tmp_path, when):
    def dated(root):
        os.utime(root / "f", (WHEN[0], when))

    outcome = side_by_side(tmp_path, {"f": b"dated\n"}, "-N", "-k", "f", setup=dated)
    assert outcome["status"] == 2
    assert (tmp_path / "vekzip" / "f.gz").read_bytes()[4:8] == bytes(4)


@pytest.mark.parametrize(
    "args",
    [["su", "sg", "st"], ["-f", "su"], ["-k", "sg"], ["-d", "su.gz"], ["-q", "st"], ["-c", "su"],
     ["a.tgz", "b.Z", "c.GZ", "d-gz", "e_z", "f.z", "g.taz"], ["-q", "a.tgz"], ["-v", "b.Z"], ["-f", "a.tgz"],
     ["-S", ".x", "h.x"], ["-c", "c.GZ"]],
)
def test_inputs_gzip_refuses_to_compress(tmp_path, args):
    names = ["su", "sg", "st", "a.tgz", "b.Z", "c.GZ", "d-gz", "e_z", "f.z", "g.taz", "h.x"]
    files = {name: b"x\n" for name in names} | {"su.gz": compressed(b"su\n")}

    def special(root):
        for name, bit in (("su", stat.S_ISUID), ("sg", stat.S_ISGID), ("st", stat.S_ISVTX), ("su.gz", stat.S_ISUID)):
            os.chmod(root / name, 0o644 | bit)

    side_by_side(tmp_path, files, "-n", *args, setup=special)


@pytest.mark.parametrize("args, stdin", [(["-dcf", "p"], b""), (["-dcf", "e"], b""), (["-dcf"], b"x"),
                                         (["-dcf"], b"plain text\n"), (["-dcf", "g.gz", "p"], b""),
                                         (["-dc", "p"], b""), (["-df", "p.gz"], b""), (["-dcf", "gp.gz"], b""),
                                         (["-dcf"], compressed(b"gz\n") + b"\0plain"), (["-dcf", "g1f.gz"], b""),
                                         (["-tf", "gp.gz", "p"], b""), (["-tvf", "p", "e"], b""), (["-tvf"], b"x")])
def test_decompressing_to_stdout_with_force_passes_other_data_through(tmp_path, args, stdin):
    files = {"p": b"plain\n", "e": b"", "g.gz": compressed(b"gz\n"), "p.gz": b"plain, named .gz\n",
             "gp.gz": compressed(b"gz\n") * 2 + b"plain tail\n", "g1f.gz": compressed(b"gz\n") + b"\x1f"}
    side_by_side(tmp_path, files, *args, stdin=stdin)


def member(data, flags=0, method=8, header_crc=None):
    """A gzip member of `data` with the given flags and method in its header."""
    body = compressed(data)
    head = b"\x1f\x8b" + bytes([method, flags]) + body[4:10]
    if flags & 2:
        head += (zlib.crc32(head) & 0xFFFF if header_crc is None else header_crc).to_bytes(2, "little")
    return head + body[10:]


GOOD = compressed(TEXT)
BIG = os.urandom(1 << 16) * 64
# One folder for every case: plain files, gzip files sound and broken,
# folders to walk, and (made by with_links) links of each kind.
FILES = {
    "a": TEXT, "b": TEXT[::-1], "small": b"hello\n", "empty": b"", "-dash": b"dash\n", "exists": b"x\n",
    "exists.gz": compressed(b"old\n"), "p.gz": GOOD, "two.gz": compressed(b"one\n") + compressed(b"two\n"),
    "named.gz": with_header(TEXT[:3000], b"original.txt", 1_234_567_890), "t.tgz": compressed(b"tar"),
    "n.gz": b"plain text, named .gz\n", "e.gz": b"", "crc.gz": GOOD[:-8] + bytes([GOOD[-8] ^ 1]) + GOOD[-7:],
    "len.gz": GOOD[:-4] + bytes([GOOD[-4] ^ 1]) + GOOD[-3:], "both.gz": GOOD[:-8] + bytes(8),
    "cut.gz": GOOD[: len(GOOD) // 2],
    "bad.gz": GOOD[:40] + bytes(b ^ 0x55 for b in GOOD[40:80]) + GOOD[80:], "garb.gz": GOOD + b"garbage",
    "zeros.gz": GOOD + bytes(100), "enc.gz": member(b"secret\n", flags=0x20), "flags.gz": member(b"f\n", flags=0x40),
    "meth.gz": member(b"m\n", method=9), "hcrc.gz": member(b"h\n", flags=2, header_crc=0),
    "okhcrc.gz": member(b"h\n", flags=2), "big.gz": compressed(BIG),
    "tree/x": TEXT[:5000], "tree/sub/y": b"y\n", "tree/sub/done.gz": compressed(b"done"),
    "gztree/x.gz": compressed(b"x\n"), "gztree/plain": b"plain\n", "gztree/sub/y.gz": compressed(b"y\n"),
    "gztree/sub/n.gz": b"not gzip\n",
}


def zipped(data, method=zipfile.ZIP_DEFLATED, more=False):
    """A zip file holding data, as zip makes it (and a second entry)."""
    held = io.BytesIO()
    with zipfile.ZipFile(held, "w", method) as archive:
        archive.writestr("inner.txt", data)
        if more:
            archive.writestr("more.txt", b"more\n")
    return held.getvalue()


def patched(data, at, value):
    return data[:at] + bytes([value]) + data[at + 1 :]


def packed(data):
    """data in pack's format (no pack program is at hand): Huffman code
    lengths, the end code deepest, codes assigned level by level as
    unpack assigns them."""
    weights = collections.Counter(data)
    heap = [(count, n, [symbol]) for n, (symbol, count) in enumerate(sorted(weights.items()))]
    heap.append((0, -1, ["end"]))  # the lightest: deepest
    depth = collections.Counter()
    heapq.heapify(heap)
    while len(heap) > 1:
        (w1, n1, s1), (w2, n2, s2) = heapq.heappop(heap), heapq.heappop(heap)
        depth.update(s1 + s2)
        heapq.heappush(heap, (w1 + w2, min(n1, n2), s1 + s2))
    longest = depth["end"]
    levels = [[s for s in sorted(weights) if depth[s] == level] for level in range(longest + 1)]
    counts = [len(symbols) for symbols in levels]
    counts[longest] += 1  # the end code
    parents, nodes = [0] * (longest + 1), 0
    for level in range(longest, 0, -1):
        nodes >>= 1
        parents[level] = nodes
        nodes += counts[level]
    codes = {s: (level, parents[level] + i) for level in range(1, longest + 1) for i, s in enumerate(levels[level])}
    bits = "".join(format(code, f"0{level}b") for level, code in map(codes.__getitem__, data))
    bits += format(parents[longest] + counts[longest] - 1, f"0{longest}b")
    bits += "0" * (-len(bits) % 8)
    tree = bytes([longest, *counts[1:longest], counts[longest] - 2]) + bytes(s for level in levels for s in level)
    return b"\x1f\x1e" + len(data).to_bytes(4, "big") + tree + int(bits, 2).to_bytes(len(bits) // 8, "big")


PACKED = packed(TEXT)
LZW = ncompress.compress(TEXT) if ncompress else b""
ZIP = zipped(TEXT)
# What else gzip -d reads: compress's .Z and a zip's first entry.
FILES |= {
    "r.Z": LZW, "cut.Z": LZW[: len(LZW) // 2], "garb.Z": LZW[:100] + bytes(range(256)) * 4,
    "bits.Z": patched(LZW, 2, 0x9F), "one.zip": ZIP, "st.zip": zipped(TEXT, zipfile.ZIP_STORED),
    "two.zip": zipped(TEXT, more=True), "bz.zip": zipped(TEXT, zipfile.ZIP_BZIP2), "zipgz.gz": ZIP,
    "r.xz": GOOD, "clash.gz": with_header(b"clash\n", b"exists", 1_300_000_000), "up.GZ": GOOD,
    "up.TGZ": GOOD, "u_z": GOOD, "u-gz": GOOD, "u.taz": GOOD, "crc.zip": patched(ZIP, 14, ZIP[14] ^ 1),
    "enc.zip": patched(ZIP, 6, ZIP[6] | 1),
    "pk.z": PACKED, "cut.z": PACKED[:-100], "len.z": patched(PACKED, 5, PACKED[5] ^ 1),
    "deep.z": patched(PACKED, 6, 26), "flat.z": b"\x1f\x1e\0\0\0\x05\0", "wide.z": b"\x1f\x1e\0\0\0\x05\x01\x05ab",
}


def with_links(root):
    os.link(root / "b", root / "hard")
    os.link(root / "two.gz", root / "hard.gz")
    os.symlink("p.gz", root / "linkgz")
    for name, target in (("link", "a"), ("dirlink", "tree"), ("gzdirlink", "gztree"), ("dangling", "nowhere"),
                         ("tree/sub/xlink", "../x")):
        os.symlink(target, root / name)


def case(command, **options):
    """A row: the command line (after the program's name) and how it runs."""
    label = command + "".join(f" [{key}={value!r:.20}]" if not isinstance(value, bytes) or len(value) < 20
                              else f" [{key}: {len(value)} bytes]" for key, value in options.items())
    return pytest.param(shlex.split(command), options, id=label)


TERMINAL_OUT, TERMINAL_IN = {"tty": "stdout"}, {"tty": "stdin"}
CASES = [
    # The command line as getopt_long reads it.
    case("a -k b"), case("-k -- -dash"), case("-- -dash"), case("a --keep"), case("--kee a"), case("--fo a"),
    case("--f a"), case("--n a"), case("--na -k a"), case("--no -k a"), case("--s a"), case("--st a"),
    case("--to a"), case("--sil -k a"), case("--quiet missing"), case("--verbose -k a"), case("--v a"),
    case("--ver a"), case("--verb -k a"), case("--rsyncable -k a"), case("--rsync -k a"),
    case("--synchronous -k a"), case("--syn -k a"), case("--recursive tree"), case("--suffix=.q -k a"),
    case("--suffix .q -k a"), case("--suf .q -k a"), case("-S.q -k a"), case("-S '' a"), case("-S x/y a"),
    case("-S 1234567890123456789012345678901 a"), case("-S 123456789012345678901234567890 a"),
    case("--keep --stdout a"), case("--to-stdout a"), case("--decompress p.gz"), case("--uncompress p.gz"),
    case("--unc -k p.gz"), case("--de -k p.gz"), case("--d -k p.gz"), case("--test p.gz"), case("--t p.gz"),
    case("--list p.gz"), case("--li p.gz"), case("--l p.gz"), case("--fast -k a"), case("--best -k a"),
    case("--fast=1 a"), case("--suffix"), case("-S"), case("-x"), case("-kx a"), case("--xyz"), case("--xyz=1"),
    case("-?"), case("-Z a"), case("--lzw a"), case("-b 9 -k a"), case("-bx a"), case("--bits=12 -k a"),
    case("-a -k a"), case("-qa -k a"), case("-m -k a"), case("-M -k a"), case("-qv -k a"), case("-vq -k a"),
    case("-vqv -k missing"), case("-v -q exists"), case("---presume-input-tty", stdin=TEXT),
    case("-h -x", own_text=True), case("-x -h"), case("--help", own_text=True), case("-H", own_text=True),
    case("--version", own_text=True), case("-V", own_text=True), case("-L", own_text=True),
    case("--license", own_text=True), case("a -k", env={"POSIXLY_CORRECT": "1"}),
    # The GZIP variable: what gzip 1.12 honours, warns of and refuses.
    *(case("-k a", env={"GZIP": value}) for value in (
        "-9", "-q", "-v", "-q -v", "-v -q", "--rsyncable", "-n", "-N", "--best", "-r", "-c", "-d", "-k", "-S.x",
        "--suffix=.z", "--synchronous", "a", "-- a", "-x", "--xyz", "", "  ", "-1 -d", "-h", "-V")),
    case("-d -k p.gz", env={"GZIP": "-v"}),
    # -v's lines.
    case("-v a b"), case("-vk a"), case("-vc a"), case("-v", stdin=TEXT), case("-cv", stdin=TEXT),
    case("-vr tree"), case("-v tree/sub/done.gz"), case("-v empty"), case("-dv p.gz"), case("-dkv p.gz"),
    case("-dcv p.gz"), case("-dv", stdin=GOOD), case("-tv p.gz two.gz"), case("-tv", stdin=GOOD),
    case("-tv n.gz p.gz"), case("-tv crc.gz p.gz"), case("-tv cut.gz p.gz"), case("-dv garb.gz"),
    case("-dkv two.gz"), case("-lv p.gz"), case("-lv p.gz two.gz"), case("-lv", stdin=GOOD),
    # Damaged and refused headers, and which problems end the run.
    case("-t enc.gz p.gz"), case("-t flags.gz p.gz"), case("-t meth.gz p.gz"), case("-t hcrc.gz p.gz"),
    case("-t okhcrc.gz"), case("-d hcrc.gz"), case("-l enc.gz"), case("-dc flags.gz p.gz"),
    case("-d cut.gz p.gz"), case("-d bad.gz p.gz"), case("-d crc.gz p.gz"), case("-d len.gz p.gz"),
    case("-t e.gz p.gz"), case("-t both.gz p.gz"), case("-d both.gz"), case("-dv zeros.gz"), case("-d n.gz p.gz"),
    # -l.
    case("-l", stdin=GOOD), case("-l", stdin=b"not gzip\n"), case("-lq", stdin=GOOD), case("-lq p.gz two.gz"),
    case("-l p.gz n.gz"), case("-l n.gz p.gz"), case("-l a"), case("-lq n.gz"), case("-l missing"), case("-l p"),
    case("-l cut.gz p.gz"), case("-l crc.gz p.gz"), case("-lN named.gz"), case("-l p.gz p.gz"),
    # Names without a known suffix, and names that are not there.
    case("-d a"), case("-dq a"), case("-dv a"), case("-dr gztree"), case("-drv gztree"), case("-rt gztree"),
    case("-rtv gztree"), case("-rl gztree"), case("-dr a"), case("-t a"), case("-dc a"), case("-d p"),
    case("-d missing"), case("-d missing.gz"), case("-t p"), case("-S .q -d p"),
    # Terminals.
    case("-c a", **TERMINAL_OUT), case("", stdin=TEXT, **TERMINAL_OUT), case("-q", stdin=TEXT, **TERMINAL_OUT),
    case("-f", stdin=b"forced\n", **TERMINAL_OUT), case("-d", **TERMINAL_IN), case("-t", **TERMINAL_IN),
    case("-dq", **TERMINAL_IN), case("-dc p.gz", **TERMINAL_IN), case("- a", stdin=TEXT, **TERMINAL_OUT),
    case("exists", answer=b"y\n", **TERMINAL_IN), case("exists", answer=b"n\n", **TERMINAL_IN),
    case("-d exists.gz", answer=b"yes\n", **TERMINAL_IN), case("-q exists", answer=b"n\n", **TERMINAL_IN),
    case("-f exists", **TERMINAL_IN), case("exists a", answer=b"Y\n", **TERMINAL_IN),
    # A reader that goes away.
    case("-dc big.gz", head=1000), case("-dcf big.gz", head=1000), case("-c", stdin=BIG, head=1000),
    # Links.
    case("-r dirlink"), case("-rf dirlink"), case("-f dirlink"), case("dirlink"), case("-rd gzdirlink"),
    case("-rdf gzdirlink"), case("-rl gzdirlink"), case("-c link"), case("link"), case("-f link"),
    case("dangling"), case("-f dangling"), case("hard"), case("-f hard"), case("-k hard"), case("-rf tree"),
    # Compressing, from files and standard input.
    case("empty"), case("-k empty"), case("-c empty"), case("exists"), case("-q exists"), case("-f exists"),
    case("missing"), case("-q missing"), case("-k a missing b"), case("."), case("-N -k a"), case("-c a b"),
    case("", stdin=TEXT), case("-c", stdin=TEXT), case("-", stdin=TEXT), case("-d -", stdin=GOOD),
    case("-k - a", stdin=b"x\n"), case("-d", stdin=b""), case("", stdin=b""),
    # Suffixes, empty and odd inputs, more options together.
    case("-d -N named.gz"), case("-lvN named.gz"), case("-dc two.gz t.tgz"), case("-d t.tgz"), case("-dv t.tgz"),
    case("-S .gz -k a"), case("-S .tgz a"), case("-r -S .q tree"), case("-c -S .q a"), case("-dk -S .x p.gz"),
    case("-t -", stdin=GOOD), case("-l -", stdin=GOOD), case("-dcq n.gz"), case("-d e.gz"), case("-dc e.gz"),
    case("-l e.gz"), case("-lv zeros.gz"), case("-l garb.gz"), case("-tv zeros.gz"), case("-df n.gz"),
    case("-r missing"), case("-d tree"), case("-l tree"), case("-t tree"), case("-lr tree"),
    case("--synchronous -d -k p.gz"), case("-v --fast -k a"), case("-kvv a"), case("-lvv p.gz"),
    case("-t -v -q p.gz"), case("-q -k a", env={"GZIP": "-v"}), case("-c -", stdin=TEXT), case("-d - -", stdin=GOOD),
    case("-d exists.gz"), case("-dq exists.gz"), case("-df exists.gz"), case("-kd p.gz -S .gz two.gz"),
    case("-tl p.gz"), case("-dl p.gz"), case("-cl p.gz"), case("-dt p.gz"), case("-ct p.gz"), case("-lf n.gz"),
    case("-k a a"), case("tree/"), case("-c tree"), case("-dc tree"), case("-f hard small"), case("-l big.gz"),
    case("-S .gz -d p"), case("-d -S .q exists.gz"), case("-q -d cut.gz p.gz"), case("-vd cut.gz p.gz"),
    case("-t bad.gz p.gz"), case("-tq crc.gz p.gz"), case("-c missing a"), case("-dc missing p.gz"),
    case("-rv gztree -d"), case("-v -S .gz small"), case("-N -c small"), case("-vN -k small"),
    case("-dv e.gz p.gz"), case("-lq e.gz p.gz"), case("-dr tree"), case("-t -S .x p.gz"), case("-dN two.gz"),
    case("-l -S .zz p.gz"), case("-kq exists"), case("-c -f", stdin=TEXT, **TERMINAL_OUT),
    case("-dc", stdin=GOOD, **TERMINAL_OUT),
    case("-dcN named.gz"), case("-dN -k named.gz t.tgz"), case("-lN", stdin=FILES["named.gz"]), case("-t", stdin=b""),
    case("-l", stdin=b""), case("-t empty"), case("-l empty"), case("-dcf p.gz n.gz e.gz"), case("-df hard.gz"),
    case("-dfk linkgz"), case("-dk linkgz"), case("-tv linkgz"), case("-lv -N named.gz p.gz"), case("-d -S z p.gz"),
    case("-dN clash.gz"), case("-dNf clash.gz"), case("-d up.GZ up.TGZ u_z u-gz u.taz"), case("-lv up.TGZ"),
    case("-l p.gz -", stdin=GOOD), case("-tv u_z -"), case("-d -S z r.xz"), case("-S z small"),
    case("-d p.gz p.gz"), case("-- -", stdin=TEXT), case("-tv", stdin=b"not gzip\n"), case("-N -r tree"),
    case("-fc link dirlink"), case("-lt p.gz"), case("-dkv -S .tgz t.tgz"), case("-vk -S .gz.gz a"),
    case("-t -S .zip one.zip"), case("-cd -S '' p.gz"), case("-rq gztree -d"), case("-vt gztree/plain"),
    case("-dv two.gz p.gz", env={"GZIP": "-q"}), case("-1 -9 -k --fast a -v"), case("-N named.gz -l -v"),
    # compress's .Z and zip files.
    *(pytest.param(*row.values, id=row.id, marks=needs_ncompress) for row in [
        case("-t r.Z"), case("-tv r.Z"), case("-lv r.Z"), case("-l r.Z p.gz"), case("-dkv r.Z"), case("-d r.Z"),
        case("-dc r.Z"), case("-t cut.Z"), case("-t garb.Z p.gz"), case("-t bits.Z p.gz"), case("-dcf r.Z"),
        case("-dc", stdin=LZW)]),
    case("-tv one.zip"), case("-dc one.zip"), case("-tv st.zip"), case("-tv two.zip"), case("-dc two.zip"),
    case("-tv bz.zip"), case("-dv zipgz.gz"), case("-lv zipgz.gz"), case("-d -S .zip one.zip"),
    case("-d -S .zip two.zip"), case("-t crc.zip p.gz"), case("-t enc.zip"), case("-dc", stdin=ZIP),
    case("-l one.zip st.zip"), case("-d one.zip"),
    # pack's files.
    case("-d pk.z"), case("-tv pk.z"), case("-lv pk.z"), case("-dc", stdin=PACKED), case("-t cut.z p.gz"),
    case("-t len.z p.gz"), case("-t deep.z p.gz"), case("-t flat.z p.gz"), case("-t wide.z p.gz"),
]


@pytest.mark.parametrize("args, options", CASES)
def test_as_gzip_does(tmp_path, args, options):
    side_by_side(tmp_path, FILES, *args, setup=with_links, **options)


# Standard streams closed or full when the run starts, write errors, what -l warns of, an -S
# that makes a folder's name, a .Z cut after its magic, extra fields and pack headers under -v, a
# file whose size is not what it said.
STREAM_CASES = [
    case("-l zeros.gz"), case("-l zeros.gz p.gz"), case("-l", stdin=GOOD + bytes(9)), case("-l two.zip"),
    case("-lv two.zip p.gz"),
    case("-c a", redirect="2>&-"), case("-c missing a", redirect="2>&-"), case("-k a", redirect="2>&-"),
    case("-dk p.gz", redirect="2>&-"), case("--xyz", redirect="2>&-"),
    case("--help", redirect=">/dev/full"), case("-V", redirect=">&-"), case("-L", redirect=">/dev/full"),
    case("-l p.gz", redirect=">&-"), case("-lv p.gz two.gz", redirect=">/dev/full"),
    case("-c a b", redirect=">/dev/full"), case("-c", stdin=TEXT, redirect=">&-"), case("-S / a"),
    case("-f -S x/ a"),
    *(pytest.param(*row.values, id=row.id, marks=needs_ncompress) for row in [case("-dc", stdin=LZW[:2])]),
    case("-tv", stdin=with_header(b"x\n", extra=b"E" * 6) * 2), case("-lv", stdin=with_header(b"x\n", extra=b"E")),
    case("-dv", stdin=with_header(b"x\n", extra=b"")), case("-tv p.gz", redirect="2>/dev/full"),
    case("-vk a missing", redirect="2>/dev/full"), case("-tv flat.z"), case("-tv wide.z"),
    case("-cq /proc/version"), case("-cv /proc/version"),
]


@pytest.mark.parametrize("args, options", STREAM_CASES)
def test_as_gzip_does_with_standard_streams(tmp_path, args, options):
    side_by_side(tmp_path, FILES, *args, setup=with_links, **options)


LONG, LONG_TAR = "m" * 253, "t" * 250 + ".tar"  # their .gz names are longer than a folder takes


@pytest.mark.parametrize("args", [[LONG], ["-v", LONG], ["-q", "-k", LONG_TAR], ["-k", LONG_TAR, "-S", ".longer"]])
def test_a_name_too_long_with_the_suffix_is_shortened_as_gzip_does(tmp_path, args):
    side_by_side(tmp_path, {LONG: b"long\n", LONG_TAR: b"tar\n"}, *args)


@pytest.mark.parametrize("given", ["n.gz", "meth.gz", "flags.gz", "hcrc.gz", "e.gz", "cuthead.gz"])
def test_a_header_refused_leaves_the_folder_untouched(tmp_path, given):
    # gzip reads the whole header before it makes the output.
    def dated(root):
        os.utime(root, WHEN)

    files = {name: FILES[name] for name in ("n.gz", "meth.gz", "flags.gz", "hcrc.gz", "e.gz")}
    side_by_side(tmp_path, files | {"cuthead.gz": with_header(b"x", b"name")[:13]}, "-d", given, setup=dated)
    assert (tmp_path / "vekzip").stat().st_mtime == (tmp_path / "gzip").stat().st_mtime == WHEN[1]
