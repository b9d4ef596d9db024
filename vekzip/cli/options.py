"""The command line, read as gzip reads it (getopt_long): options anywhere
among the names unless POSIXLY_CORRECT is set, `--` ending them, clusters
of short options, long ones by any unambiguous start, and the GZIP
environment variable's options first. gzip's own names win an
abbreviation over vek's, so that every abbreviation gzip takes means here
what it means there."""

from __future__ import annotations

import os
import sys

TYPE_CHECKING = False  # typing itself costs a command-line start about 10 ms

import vekzip

from .help import HELP, LICENSE

if TYPE_CHECKING:
    from typing import Iterator, NoReturn

PROGRAM = "vekzip"
# The output's suffix for each of vekzip's formats.
SUFFIXES = {"gzip": ".gz", "zlib": ".zz", "raw": ".deflate"}
SIZE_SUFFIXES = {"": 1, "K": 1 << 10, "M": 1 << 20, "G": 1 << 30}
MAX_SUFFIX = 30  # gzip's longest -S

# Short options: gzip's, then vek's own (-0 and -T); ":" takes a value.
SHORT = "ab:cdfhH?klLmMnNqrS:tvVZ123456789" + "0T:"
# Long options as gzip lists them (the order of its ambiguity messages),
# each with the short option or key it stands for and whether it takes a value.
GZIP_LONG = [
    ("ascii", "a", False), ("to-stdout", "c", False), ("stdout", "c", False), ("decompress", "d", False),
    ("uncompress", "d", False), ("force", "f", False), ("help", "h", False), ("keep", "k", False),
    ("list", "l", False), ("license", "L", False), ("no-name", "n", False), ("name", "N", False),
    ("-presume-input-tty", "presume-input-tty", False), ("quiet", "q", False), ("silent", "q", False),
    ("synchronous", "synchronous", False), ("recursive", "r", False), ("suffix", "S", True), ("test", "t", False),
    ("verbose", "v", False), ("version", "V", False), ("fast", "1", False), ("best", "9", False),
    ("lzw", "Z", False), ("bits", "b", True), ("rsyncable", "rsyncable", False),
]
VEK_LONG = [("format", "format", True), ("chunk", "chunk", True), ("index", "index", False),
            ("threads", "T", True), ("throughput", "throughput", False)]
# What gzip takes from the GZIP variable; anything else there is refused.
FROM_ENVIRONMENT = set("123456789nNqv") | {"rsyncable"}


class Options:
    """What the command line asked for, with gzip's defaults (but -n's:
    vekzip stores no name or time unless asked)."""

    def __init__(self) -> None:
        self.files: list[str] = []
        self.stdout = self.decompress = self.force = self.keep = self.list = False
        self.recursive = self.test = self.quiet = self.ascii = self.synchronous = False
        self.presume_tty = self.index = self.throughput = self.rsyncable = False
        self.verbose = 0
        self.name = False  # -N: store and restore the name
        self.time = False  # and the time
        self.suffix: str | None = None
        self.level = 1
        self.format = "gzip"
        self.chunk = 0  # settled once all options are read
        self.chunk_request: int | None = None
        self.threads = len(os.sched_getaffinity(0))


class BadCommandLine(Exception):
    """A message for gzip's "Try `gzip --help'" exit."""


def parse(argv: list[str] | None, environ: dict[str, str] | None = None) -> Options:
    """The options, settled as gzip settles them; exits as gzip does on
    --help, --version, --license and a bad command line."""
    environ = os.environ if environ is None else environ  # type: ignore[assignment]
    argv = sys.argv[1:] if argv is None else argv
    options = Options()
    try:
        words = environ.get("GZIP", "").split()  # type: ignore[union-attr]
        if words:
            read_environment(words, options)
        options.files = read_words(argv, options, bool(environ.get("POSIXLY_CORRECT")))  # type: ignore[union-attr]
    except BadCommandLine as bad:
        if str(bad):
            print(f"{PROGRAM}: {bad}", file=sys.stderr)
        leave(f"Try `{PROGRAM} --help' for more information.\n", 1, sys.stderr)
    if options.ascii and not options.quiet:
        print(f"{PROGRAM}: option --ascii ignored on this system", file=sys.stderr)
    suffix = options.suffix
    if suffix is not None and not 0 < len(suffix.encode(errors="surrogateescape")) <= MAX_SUFFIX:
        leave(f"{PROGRAM}: invalid suffix '{suffix}'\n", 1, sys.stderr)
    if options.index and options.format != "gzip":
        leave(f"{PROGRAM}: --index makes a splittable gzip file; zlib and raw streams have no index\n", 1, sys.stderr)
    options.chunk = vekzip.chunk_bytes(options.chunk_request, options.index)
    if options.list:
        options.decompress = False
    return options


def read_environment(words: list[str], options: Options) -> None:
    """GZIP's options, as gzip 1.12 takes them: only those that change how
    well or how loudly it works, no names, and a warning that the variable
    is deprecated unless they make the run quiet."""
    names: list[str] = []
    for key, value, spelled in options_in(words, names, environment=True):
        if key not in FROM_ENVIRONMENT:
            raise BadCommandLine(f"{spelled}: option not valid in GZIP environment variable")
        apply(key, value, options)
    if names:
        raise BadCommandLine(f"{names[0]}: non-option in GZIP environment variable")
    if not options.quiet:
        print(f"{PROGRAM}: warning: GZIP environment variable is deprecated; use an alias or script", file=sys.stderr)


def read_words(argv: list[str], options: Options, in_order: bool) -> list[str]:
    names: list[str] = []
    for key, value, _ in options_in(argv, names, in_order=in_order):
        apply(key, value, options)
    return names


def options_in(
    words: list[str], names: list[str], in_order: bool = False, environment: bool = False
) -> Iterator[tuple[str, str | None, str]]:
    """(key, value, as spelled for messages) for each option in the words,
    as getopt_long finds them; the other words go to `names`. `--` ends the
    options (in GZIP it is an option, refused)."""
    position = 0
    while position < len(words):
        word = words[position]
        position += 1
        if word == "--":
            if environment:
                yield "--", None, "--"
            names.extend(words[position:])
            return
        if word == "-" or not word.startswith("-"):
            names.append(word)
            if in_order:
                names.extend(words[position:])
                return
            continue
        if word.startswith("--"):
            name, spelled, takes, value = long_option(word[2:])
            if takes and value is None:
                if position == len(words):
                    raise BadCommandLine(f"option '--{spelled}' requires an argument")
                value = words[position]
                position += 1
            yield name, value, f"--{spelled}"
            continue
        letters = word[1:]
        while letters:
            letter, letters = letters[0], letters[1:]
            where = SHORT.find(letter)
            if letter == ":" or where < 0:
                raise BadCommandLine(f"invalid option -- '{letter}'")
            value = None
            if SHORT[where + 1 : where + 2] == ":":
                if letters:
                    value, letters = letters, ""
                elif position < len(words):
                    value = words[position]
                    position += 1
                else:
                    raise BadCommandLine(f"option requires an argument -- '{letter}'")
            yield letter, value, f"-{letter}"


def long_option(text: str) -> tuple[str, str, bool, str | None]:
    """The key, full name, whether it takes a value, and the value given
    after `=`, of a long option however shortened."""
    given, equals, value = text.partition("=")
    for table in (GZIP_LONG, VEK_LONG):
        exact = [entry for entry in table if entry[0] == given]
        found = exact or [entry for entry in table if entry[0].startswith(given)]
        if not found:
            continue
        first = found[0]
        differing = [entry for entry in found if entry[1:] != first[1:]]
        if differing:
            possibilities = " ".join(f"'--{entry[0]}'" for entry in found if entry is first or entry in differing)
            raise BadCommandLine(f"option '--{text}' is ambiguous; possibilities: {possibilities}")
        name, key, takes = first
        if equals and not takes:
            raise BadCommandLine(f"option '--{name}' doesn't allow an argument")
        return key, name, takes, value if equals else None
    raise BadCommandLine(f"unrecognized option '--{text}'")


def apply(key: str, value: str | None, options: Options) -> None:
    """One option's effect, as gzip's: the last of -q and -v wins, and
    --help, --version and --license answer at once."""
    if key in FLAGS:
        setattr(options, FLAGS[key], True)
    elif key.isdigit():
        options.level = int(key)
    elif key == "v":
        options.verbose += 1
        options.quiet = False
    elif key == "q":
        options.quiet, options.verbose = True, 0
    elif key in "nN":
        options.name = options.time = key == "N"
    elif key in "mM":
        options.time = key == "M"
    elif key == "S":
        options.suffix = value
    elif key in ("h", "H"):
        leave(HELP, 0, sys.stdout)
    elif key == "L":
        leave(LICENSE, 0, sys.stdout)
    elif key == "V":
        leave(f"{PROGRAM} {_version()} (inflater: {_inflater_name()})\n{LICENSE}", 0, sys.stdout)
    elif key == "?":  # taken, and answered with the hint alone
        raise BadCommandLine("")
    elif key == "Z":
        raise BadCommandLine("-Z not supported in this version")
    elif key == "b":
        if not value or not value.isdigit():
            raise BadCommandLine("-b operand is not an integer")
    else:
        assert value is not None
        setattr(options, {"T": "threads", "chunk": "chunk_request"}.get(key, key), VALUES[key](value))


# Options that only switch something on.
FLAGS = {"a": "ascii", "c": "stdout", "d": "decompress", "f": "force", "k": "keep", "l": "list", "r": "recursive",
         "t": "test", "synchronous": "synchronous", "presume-input-tty": "presume_tty", "index": "index",
         "throughput": "throughput", "rsyncable": "rsyncable"}


def chunk_size(text: str) -> int:
    number, suffix = text.upper().rstrip("IB"), ""
    if number and number[-1] in SIZE_SUFFIXES:
        number, suffix = number[:-1], number[-1]
    try:
        size = int(number) * SIZE_SUFFIXES[suffix]
    except ValueError:
        raise BadCommandLine(f"not a size: {text!r} (try 4M or 65536)") from None
    if size < 1:
        raise BadCommandLine(f"the chunk must hold at least one byte: {text!r}")
    return size


def thread_count(text: str) -> int:
    try:
        count = int(text)
    except ValueError:
        raise BadCommandLine(f"not a number of threads: {text!r}") from None
    if not 1 <= count <= vekzip.MAX_THREADS:
        raise BadCommandLine(f"threads must be 1 to {vekzip.MAX_THREADS}: {text!r}")
    return count


def container(text: str) -> str:
    if text not in SUFFIXES:
        raise BadCommandLine(f"--format is one of {', '.join(SUFFIXES)}, not {text!r}")
    return text


VALUES = {"T": thread_count, "chunk": chunk_size, "format": container}


def leave(text: str, status: int, stream: object) -> NoReturn:
    import errno

    try:
        if stream is None:  # descriptor 1 closed at the start
            raise OSError(errno.EBADF, os.strerror(errno.EBADF))
        stream.write(text)  # type: ignore[attr-defined]
        stream.flush()  # type: ignore[attr-defined]
    except OSError as error:
        if stream is sys.stderr:
            raise SystemExit(status) from None  # nowhere left to say it
        from .files import drop_stdout

        drop_stdout()
        if isinstance(error, BrokenPipeError):  # the reader went away: gzip dies of SIGPIPE
            import signal

            signal.signal(signal.SIGPIPE, signal.SIG_DFL)
            os.kill(os.getpid(), signal.SIGPIPE)
        print(f"\n{PROGRAM}: {error.strerror}", file=sys.stderr)
        status = 1
    raise SystemExit(status)


def _version() -> str:
    try:
        from importlib.metadata import version

        return version("vek")
    except Exception:  # not installed as a distribution
        return "unknown"


def _inflater_name() -> str:
    from ..inflate import INFLATER

    return INFLATER
