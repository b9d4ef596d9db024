"""vekzip next to GNU gzip: the same command on the same files in two copies
of a folder, and the same outcome: exit status, messages (the program's
name aside), the files left, their contents (compressed ones read back) and
metadata. vek's compressed bytes differ from gzip's by design; everything a
user sees besides them must not."""

import gzip
import os
import pathlib
import pty
import re
import shutil
import stat
import subprocess
import sys
import tty as tty_module
import zlib

import pytest

from corpus import corpus_files

pytestmark = pytest.mark.skipif(shutil.which("gzip") is None, reason="GNU gzip is not installed")

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


def run_one(program, args, root, stdin, env, tty, answer, head):
    """One run: its status, standard output and standard error. `tty` puts a
    terminal on "stdin" (answered with `answer`) or "stdout"; `head` reads
    that many bytes of the output, then closes the pipe."""
    env = {**os.environ, **(env or {})}
    if tty is None and head is None:
        result = subprocess.run([program, *args], cwd=root, input=stdin, capture_output=True, env=env)
        return result.returncode, result.stdout, result.stderr
    master, slave = pty.openpty()
    tty_module.setraw(slave)
    streams = {"stdin": subprocess.PIPE, "stdout": subprocess.PIPE}
    streams[tty or "stdout"] = slave
    process = subprocess.Popen([program, *args], cwd=root, stdin=streams["stdin"] if tty != "stdin" else slave,
                               stdout=streams["stdout"], stderr=subprocess.PIPE, env=env)
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
        process.stdin.close()
        out = process.stdout.read(head)
        process.stdout.close()
    err = process.stderr.read()
    status = process.wait()
    os.close(master)
    return status, out, err


def side_by_side(tmp_path, files, *args, stdin=b"", setup=None, env=None, tty=None, answer=b"", head=None):
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
        status, out, err = run_one(program, args, root, stdin, env, tty, answer, head)
        err = err.replace(b"vekzip", b"gzip")
        if compressing:
            err = re.sub(rb"[ -][ \d]{3}\.\d%", b" NN.N%", err)
        if out[:2] == b"\x1f\x8b" and compressing:
            out = gzip.decompress(out)
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
     with_header(b"path\n", b"../up/x.txt", 1_300_000_000)],
)
def test_names_restored_by_dN(tmp_path, member):
    side_by_side(tmp_path, {"f.gz": member}, "-dN", "f.gz")


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
                                         (["-dc", "p"], b""), (["-df", "p.gz"], b"")])
def test_decompressing_to_stdout_with_force_passes_other_data_through(tmp_path, args, stdin):
    files = {"p": b"plain\n", "e": b"", "g.gz": compressed(b"gz\n"), "p.gz": b"plain, named .gz\n"}
    side_by_side(tmp_path, files, *args, stdin=stdin)
