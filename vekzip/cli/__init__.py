"""vekzip: compress and decompress files with vek, the way gzip does.

The options, messages and exit statuses are gzip's (0 success, 1 error, 2
warning), as are the files it writes beside their inputs: the output takes
the input's mode, owner, group and times, goes to a hidden file first and
gets its name only when complete, and the input is removed only then.

vek matches only within one compress call, so files are compressed in
chunks of --chunk bytes (a larger chunk gives a slightly smaller output); with
-T above 1 the chunks are compressed on several threads at once and joined
into one stream, so the output depends only on the input and --chunk, never
on -T. Reading (-d, -t) goes through the fastest inflater installed (see
vekzip.inflate).

The modules: options (the command line), driver (the run over the names
given), compress and decompress (one file each way), listing (-l), names
(suffixes and stored names), files (refusals, temporary files, metadata),
progress (the bar and -v lines) and failures (what a problem does to the
exit status).
"""

from .driver import main

__all__ = ["main"]
