"""What a problem with one file does: its message, and the exit status it
gives the run (0 success, 1 error, 2 warning, as gzip's)."""

OK, ERROR, WARNING = 0, 1, 2


class Failure(Exception):
    """A problem with one file: reported, and the next file is tried. An
    error makes the exit status 1. As gzip, a problem found inside the data
    is reported after a line break (it ends -v's "name:" line), and some
    (a cut or garbled stream) end the whole run."""

    status = ERROR

    def __init__(self, message: str, inside: bool = False, fatal: bool = False) -> None:
        super().__init__(message)
        self.inside, self.fatal = inside, fatal


class Skipped(Failure):
    """A file left alone, as gzip warns of it: exit status 2 unless an
    error also happened."""

    status = WARNING


class Loud(Skipped):
    """A warning that -q does not silence, as gzip prints it in any case."""


class Quiet(Skipped):
    """Left alone with exit status 0, as gzip leaves a file that already
    has the suffix."""

    status = OK
