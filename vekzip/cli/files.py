"""The file-system steps around one file: the inputs gzip leaves alone,
opening and removing, and an output written beside its input through a
temporary file made exclusively, its metadata set on the descriptor."""

from __future__ import annotations

import os
import stat
import sys

TYPE_CHECKING = False

from .failures import Failure, Loud, Skipped

if TYPE_CHECKING:
    from typing import BinaryIO, Callable

    from .options import Options


def refuse_special_bits(path: str, mode: int) -> None:
    """gzip leaves set-user-ID, set-group-ID and sticky files alone, even
    with -f: their output could not keep the bits safely."""
    if mode & stat.S_ISUID:
        raise Skipped(f"{path} is set-user-ID on execution - ignored")
    if mode & stat.S_ISGID:
        raise Skipped(f"{path} is set-group-ID on execution - ignored")
    if mode & stat.S_ISVTX:
        raise Skipped(f"{path} has the sticky bit set - file ignored")


def hold_standard_descriptors() -> None:
    """Descriptors 0, 1 and 2 closed at the start are opened on /dev/null,
    so that no file the run opens lands on one (an input taken for
    standard error, messages written into the output). sys.stdin and
    sys.stdout stay None, so that using them still reports the closed
    descriptor, as gzip does; messages to a closed standard error go
    nowhere, as gzip's."""
    for number in (0, 1, 2):
        try:
            os.fstat(number)
        except OSError:
            opened = os.open(os.devnull, os.O_RDONLY if number == 0 else os.O_WRONLY)
            if opened != number:
                os.dup2(opened, number)
                os.close(opened)
    if sys.stderr is None:
        sys.stderr = open(2, "w", closefd=False, errors="backslashreplace")
    if not isinstance(sys.stderr, Messages):
        sys.stderr = Messages(sys.stderr)


class Messages:
    """Standard error as gzip treats it: a message that cannot be written
    (2>/dev/full) is lost, never a failure of the run."""

    def __init__(self, stream: object) -> None:
        self._stream = stream

    def write(self, text: str) -> int:
        try:
            return self._stream.write(text)  # type: ignore[attr-defined,no-any-return]
        except OSError:
            return len(text)

    def flush(self) -> None:
        try:
            self._stream.flush()  # type: ignore[attr-defined]
        except OSError:
            pass

    def __getattr__(self, name: str) -> object:
        return getattr(self._stream, name)


def drop_stdout() -> None:
    """After standard output failed: what it still holds goes to /dev/null,
    so that the exit's flush neither fails again nor says so."""
    if sys.stdout is not None:
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        os.close(devnull)


def stdout_sink() -> BinaryIO:
    if sys.stdout is None:  # started with descriptor 1 closed: the run ends, as gzip's
        raise Failure("stdout: Bad file descriptor", inside=True, fatal=True)
    return sys.stdout.buffer


def refuse_to_replace(path: str, info: os.stat_result, args: Options) -> None:
    """What gzip leaves alone when the output goes beside the input: a
    device or pipe (no end to wait for, no file to replace), a file with
    other names (but with -f) and one with set-id or sticky bits."""
    if not stat.S_ISREG(info.st_mode):
        raise Skipped(f"{path} is not a directory or a regular file - ignored")
    if not args.force and info.st_nlink > 1:
        others = info.st_nlink - 1
        raise Skipped(f"{path} has {others} other link{'s' if others > 1 else ''} -- file ignored")
    refuse_special_bits(path, info.st_mode)


def open_input(path: str, seen: os.stat_result, args: Options) -> tuple[BinaryIO, os.stat_result]:
    """The input opened and its metadata, from the open descriptor only.
    As gzip, no link is followed without -f, -c, -t or -l; and the name
    must still hold the file judged by name, as the folder's owner may
    swap in another between that look and the open."""
    follow = args.force or args.stdout or args.test or args.list
    flags = os.O_RDONLY | os.O_NOCTTY | os.O_NONBLOCK | os.O_CLOEXEC | (0 if follow else os.O_NOFOLLOW)
    try:
        descriptor = os.open(path, flags)  # not blocking on a pipe swapped in
    except OSError as error:
        raise Failure(f"{path}: {error.strerror}") from None
    try:
        os.set_blocking(descriptor, True)
        info = os.fstat(descriptor)
        if (info.st_dev, info.st_ino) != (seen.st_dev, seen.st_ino):
            raise Failure(f"{path}: replaced while being opened -- ignored")
        if not (args.stdout or args.test or args.list):
            refuse_to_replace(path, info, args)
        return os.fdopen(descriptor, "rb"), info
    except BaseException:
        os.close(descriptor)
        raise


def remove_input(path: str) -> None:
    try:
        os.unlink(path)
    except OSError as error:
        raise Failure(f"{path}: {error.strerror}") from None


def write_beside(
    work: Callable[[BinaryIO], tuple[int, int]], target: str, info: os.stat_result, args: Options,
    mtime: int | None = None,
) -> tuple[int, int]:
    """Runs `work` on a temporary file in the target's folder and renames it
    into place only once it is complete, so that no failure or
    interruption leaves a partial output under the target's name. The
    output takes the input's mode, owner, group and times (mtime instead of
    the modification time when given)."""
    overwrite = args.force or (os.path.lexists(target) and may_overwrite(target, args))
    if target.endswith("/"):  # -S /: what open() says of such a name to create
        raise Failure(f"{target}: Is a directory")
    folder = os.path.dirname(target) or "."
    descriptor, temporary = create_temporary(folder, target)
    try:
        try:
            with os.fdopen(descriptor, "wb", closefd=False) as sink:
                counts = work(sink)
            if args.synchronous:
                os.fsync(descriptor)
            descriptor_info = os.fstat(descriptor)
            # On the descriptor, never by name: the folder's owner may have
            # put a link where the temporary file was.
            copy_metadata(descriptor, info, mtime)
        except OSError as error:  # the last write, at close
            raise Failure(f"{target}: {error.strerror}") from None
        finally:
            os.close(descriptor)
        ensure_ours(temporary, descriptor_info)
        try:
            place(temporary, target, overwrite)
        except OSError as error:
            raise Failure(f"{target}: {error.strerror}") from None
        return counts
    except BaseException:
        remove_temporary(temporary)
        raise


def may_overwrite(target: str, args: Options) -> bool:
    """gzip's question when the output exists and a person is at the
    terminal (standard input, in the foreground); refused without one."""
    import signal

    asking = (args.presume_tty or sys.stdin is not None and sys.stdin.isatty()) and (
        signal.getsignal(signal.SIGINT) is not signal.SIG_IGN)
    if not asking:
        raise Loud(f"{target} already exists;\tnot overwritten")
    print(f"vekzip: {target} already exists; do you wish to overwrite (y or n)? ", end="", file=sys.stderr, flush=True)
    answer = sys.stdin.readline()
    if answer[:1] not in ("y", "Y"):
        print("\tnot overwritten", file=sys.stderr)
        raise Loud("")  # said already
    return True


def ensure_ours(temporary: str, ours: os.stat_result) -> None:
    """Refuses to put in place a name that no longer holds the file written."""
    try:
        now = os.lstat(temporary)
    except OSError as error:
        raise Failure(f"{temporary}: {error.strerror}") from None
    if (now.st_dev, now.st_ino) != (ours.st_dev, ours.st_ino):
        raise Failure(f"{temporary}: replaced while being written -- not used")


def remove_temporary(temporary: str) -> None:
    """Removes the temporary name (a link put there is removed, never followed)."""
    try:
        os.unlink(temporary)
    except OSError:
        pass


def create_temporary(folder: str, target: str) -> tuple[int, str]:
    """A new hidden file in the folder, made by this call (exclusive
    creation, never through a link), readable by its creator only until
    its metadata is set. Its name is at most as long as the target's."""
    import secrets

    base_length = len(os.path.basename(target))
    for _ in range(100):
        name = "." + secrets.token_hex(4)[: max(1, min(8, base_length - 1))]
        temporary = os.path.join(folder, name)
        try:
            descriptor = os.open(temporary, os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_NOFOLLOW | os.O_CLOEXEC, 0o600)
        except FileExistsError:
            continue
        except OSError as error:
            raise Failure(f"{target}: {error.strerror}") from None
        return descriptor, temporary
    raise Failure(f"{target}: File exists")


def copy_metadata(descriptor: int, info: os.stat_result, mtime: int | None) -> None:
    """Owner and group where permitted (before the mode: a change of owner
    clears set-id bits), permission bits, then access and modification times."""
    try:
        os.fchown(descriptor, info.st_uid, info.st_gid)
    except OSError:
        try:  # an unprivileged user may still give the file one of their groups
            os.fchown(descriptor, -1, info.st_gid)
        except OSError:
            pass
    os.fchmod(descriptor, stat.S_IMODE(info.st_mode) & 0o777)
    modified = info.st_mtime_ns if mtime is None else mtime * 1_000_000_000
    os.utime(descriptor, ns=(info.st_atime_ns, modified))


def place(temporary: str, target: str, overwrite: bool) -> None:
    if overwrite:
        os.replace(temporary, target)
        return
    # A hard link never replaces a file that appeared while we worked.
    try:
        os.link(temporary, target)
    except FileExistsError:
        raise Loud(f"{target} already exists;\tnot overwritten") from None
    except OSError:  # a file system without hard links
        if os.path.lexists(target):
            raise Loud(f"{target} already exists;\tnot overwritten") from None
        os.replace(temporary, target)
        return
    os.unlink(temporary)
