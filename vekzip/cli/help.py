"""The texts of --help and --license, laid out as gzip's."""

HELP = """\
Usage: vekzip [OPTION]... [FILE]...
Compress or uncompress FILEs (by default, compress FILES in-place) with vek.

Mandatory arguments to long options are mandatory for short options too.

  -c, --stdout      write on standard output, keep original files unchanged
  -d, --decompress  decompress
  -f, --force       force overwrite of output file and compress links
  -h, --help        give this help
  -k, --keep        keep (don't delete) input files
  -l, --list        list compressed file contents
  -L, --license     display software license
  -n, --no-name     do not save or restore the original name and timestamp
                    (the default)
  -N, --name        save or restore the original name and timestamp
  -q, --quiet       suppress all warnings
  -r, --recursive   operate recursively on directories
      --rsyncable   accepted; vek's chunks already restart the output often
  -S, --suffix=SUF  use suffix SUF on compressed files
      --synchronous synchronous output (safer if system crashes, but slower)
  -t, --test        test compressed file integrity
  -v, --verbose     verbose mode
  -V, --version     display version number and the inflater
  -0                store only
  -1, --fast        compress (vek has one setting: -1 to -9 are the same)
  -9, --best        compress

vek's own:
      --format=FMT  gzip (the default), zlib or raw
      --chunk=SIZE  bytes per compress call, with K, M or G
                    (default 4M, with --index 1M)
      --index       write a splittable gzip file: chunks that inflate apart
                    and their index at the end
  -T, --threads=N   chunks compressed at once (default: the CPUs this
                    process may use)
      --throughput  a line per file on sizes, share kept and speed

With no FILE, or when FILE is -, read standard input.
Exit status: 0 success, 1 error, 2 warning.
"""

LICENSE = """\
This is free software under the MIT license: you may use, copy, change and
pass it on; it comes with NO WARRANTY.
"""
