"""The run: each name given (folders walked with -r), each file sent to
compressing, decompressing or listing, the worst status kept, and the
signals that end a run."""

from __future__ import annotations

import os
import stat
import sys
import time

TYPE_CHECKING = False

from . import listing
from .compress import compress_file, compress_to_stdout, share_saved
from .decompress import decompress_file, inflate_in_place
from .failures import ERROR, OK, WARNING, Failure, Loud, Skipped
from .files import drop_stdout, hold_standard_descriptors, refuse_to_replace, stdout_sink
from .names import compressed_suffix
from .options import SUFFIXES, parse
from .progress import report

if TYPE_CHECKING:
    from typing import NoReturn, Sequence

    from .options import Options


class Tool:
    """One run over the files given: the worst status so far, the totals of
    --list."""

    def __init__(self, args: Options) -> None:
        self.args = args
        self.status = OK
        self.suffix = args.suffix or SUFFIXES[args.format]
        self.listed: list[tuple[int, int]] = []  # compressed, uncompressed
        self.last_overhead = 0  # the last file's header and trailer, for -l's totals
        self.listed_name = ""  # the last file's output, named when the listing cannot be written
        self.listing_error: OSError | None = None

    def note(self, failure: Failure) -> None:
        # -q silences warnings, never errors; an error outranks a warning.
        if str(failure) and (failure.status == ERROR or isinstance(failure, Loud) or not self.args.quiet):
            print(f"{chr(10) if failure.inside else ''}vekzip: {failure}", file=sys.stderr)
        if failure.status == ERROR:
            self.status = ERROR
        elif failure.status == WARNING and self.status == OK:
            self.status = WARNING

    def run(self, names: Sequence[str]) -> int:
        try:
            for name in names or ["-"]:
                self.guarded(name, top=True)
        except Stop:
            return ERROR
        if self.args.list and len(names) > 1 and not self.args.quiet:
            listing.print_totals(self)
        if self.args.list and self.listed:
            listing.finish(self)
        return self.status

    def guarded(self, name: str, top: bool) -> None:
        """Treats a name and, with -r, everything under it: folders are
        walked with a list of names still to do, not by recursion, so that
        no depth is too deep."""
        waiting = [(name, top)]
        while waiting:
            name, top = waiting.pop()
            found = self.guarded_one(name, top)
            waiting.extend((entry, False) for entry in reversed(found))

    def guarded_one(self, name: str, top: bool) -> list[str]:
        """Treats one name; returns a folder's entries, for -r."""
        try:
            if name == "-":
                self.standard_streams()
            else:
                return self.treat(name, top)
        except Failure as failure:
            self.note(failure)
            if failure.fatal:
                raise Stop() from None
        except MemoryError:
            self.note(Failure(f"{name}: out of memory (try a smaller --chunk or fewer threads)"))
        except RuntimeError as error:  # the worker threads could not start
            self.note(Failure(f"{name}: {error}"))
        except BrokenPipeError:
            raise
        except OSError as error:
            self.note(Failure(f"{error.filename or name}: {error.strerror}"))
        return []

    def standard_streams(self) -> None:
        """Standard input to standard output."""
        args = self.args
        if sys.stdin is None:  # started with descriptor 0 closed
            raise Failure("standard input: Bad file descriptor")
        source = sys.stdin.buffer
        reading = args.decompress or args.test
        if not (reading or args.list):
            stdout_sink()  # refused when closed, before asking whether it is a terminal
        if not args.force and not args.list and (args.presume_tty or (sys.stdin if reading else sys.stdout).isatty()):
            # As gzip: no compressed data to or from a person, and the run ends.
            raise Failure("" if args.quiet else (
                f"compressed data not {'read from' if reading else 'written to'} a terminal. "
                f"Use -f to force {'de' if reading else ''}compression.\nFor help, type: vekzip -h"), fatal=True)
        if args.list:
            listing.list_stream(self, source, "stdin", "stdout", os.fstat(source.fileno()))
            return
        start = time.perf_counter()
        if reading:
            inflate_in_place(self, source, "stdin", None, shown=False)
            return
        consumed, produced, header_bytes = compress_to_stdout(source, "stdin", None, args)
        if args.verbose:
            print(share_saved(consumed, produced, header_bytes), file=sys.stderr)
        if args.throughput:
            report("stdin", consumed, produced, time.perf_counter() - start)

    def treat(self, path: str, top: bool) -> list[str]:
        """A name on the command line or met in a directory."""
        args = self.args
        try:
            link = os.lstat(path)
        except FileNotFoundError:
            path = compressed_beside(path, self.suffix, args)
            link = os.lstat(path)
        except OSError as error:
            raise Failure(f"{path}: {error.strerror}") from None
        info = link
        if stat.S_ISLNK(link.st_mode):
            # gzip opens without following links unless -f or -c.
            if not (args.force or args.stdout or args.list or args.test):
                raise Failure(f"{path}: Too many levels of symbolic links")
            try:
                info = os.stat(path)
            except OSError as error:
                raise Failure(f"{path}: {error.strerror}") from None
        if stat.S_ISDIR(info.st_mode):  # the folder itself, or one a followed link names
            if args.recursive:
                return folder_entries(path)
            raise Skipped(f"{path} is a directory -- ignored")
        if not (args.stdout or args.test or args.list):
            refuse_to_replace(path, info, args)  # and again on the open file
        if args.list:
            listing.list_file(self, path, info)
        elif args.decompress or args.test:
            decompress_file(self, path, info, top)
        else:
            compress_file(self, path, info, top)
        return []


class Stop(Exception):
    """The run ends here, as gzip's ends on a cut or garbled stream."""


def compressed_beside(path: str, suffix: str, args: Options) -> str:
    """When reading, a name not found stands for itself with a compressed
    suffix, as gzip tries them: -S's, .gz, .z, -z, .Z; the error names it
    with -S's."""
    if not (args.decompress or args.test or args.list) or compressed_suffix(path, suffix, args.format):
        raise Failure(f"{path}: No such file or directory")
    for each in dict.fromkeys([suffix, ".gz", ".z", "-z", ".Z"]):
        if os.path.lexists(path + each):
            return path + each
    raise Failure(f"{path}{suffix}: No such file or directory")


def folder_entries(folder: str) -> list[str]:
    """A folder's entries in the order the folder lists them, as gzip takes them."""
    try:
        entries = os.listdir(folder)
    except OSError as error:
        raise Failure(f"{folder}: {error.strerror}") from None
    return [os.path.join(folder, entry) for entry in entries]


class Signalled(BaseException):
    """A signal that ends the run: the work in progress is undone (its
    temporary file removed) as the exception passes, then the process dies
    by the same signal, as gzip does."""

    def __init__(self, number: int) -> None:
        super().__init__(number)
        self.number = number


def _raise_signalled(number: int, frame: object) -> None:
    raise Signalled(number)


# Signals whose default action ends the process and that come from
# outside it; those of a fault in the process itself (SIGSEGV, SIGBUS,
# SIGFPE, SIGILL, SIGTRAP, SIGSYS, SIGABRT) end it at once as they would.
ENDING = ("SIGHUP", "SIGINT", "SIGQUIT", "SIGTERM", "SIGUSR1", "SIGUSR2", "SIGALRM", "SIGVTALRM", "SIGPROF",
          "SIGXCPU", "SIGXFSZ", "SIGPIPE", "SIGSTKFLT", "SIGIO", "SIGPWR")
# Python ignores these itself before we start, so whether the caller did
# cannot be told: they are taken as not ignored.
IGNORED_BY_PYTHON = ("SIGPIPE", "SIGXFSZ")


def catch_signals() -> dict:
    """Catches the ending signals; returns the handlers they had, for a
    run inside a longer-lived process to put back."""
    import signal

    numbers = [(getattr(signal, name), name) for name in ENDING if hasattr(signal, name)]
    numbers += [(number, "") for number in range(signal.SIGRTMIN, signal.SIGRTMAX + 1)]
    previous = {}
    for number, name in numbers:
        # One ignored when we start (nohup, a background job) stays ignored.
        if name in IGNORED_BY_PYTHON or signal.getsignal(number) not in (signal.SIG_IGN, None):
            previous[number] = signal.signal(number, _raise_signalled)
    return previous


def restore_signals(previous: dict) -> None:
    import signal

    for number, handler in previous.items():
        signal.signal(number, handler if handler is not None else signal.SIG_DFL)


def die_by(number: int) -> NoReturn:
    import signal

    signal.signal(number, signal.SIG_DFL)
    os.kill(os.getpid(), number)
    raise SystemExit(128 + number)  # if the signal is blocked


def main(argv: Sequence[str] | None = None) -> int:
    hold_standard_descriptors()
    args = parse(list(argv) if argv is not None else None)
    previous = catch_signals()
    try:
        return Tool(args).run(args.files)
    except BrokenPipeError:
        # The reader went away: the run ends by SIGPIPE, as gzip's.
        import signal

        drop_stdout()
        die_by(signal.SIGPIPE)
    except Signalled as signalled:
        sys.stderr.flush()
        die_by(signalled.number)
    except KeyboardInterrupt:
        return 130
    finally:
        restore_signals(previous)
