"""vek as an fsspec compression, and so for Dask: fsspec keeps its registry
of compressions in each process, so on a cluster every worker must register
too; a worker plugin does that for the workers there are and those to come."""

from __future__ import annotations

import io
from typing import IO, Any

import vekzip


class _Codec:
    """What fsspec calls with a file and "r", "w" or "a": writing and
    appending through VekzipFile, reading through vekzip.open."""

    def __init__(self, compresslevel: int, threads: int) -> None:
        self.compresslevel, self.threads = compresslevel, threads

    def __call__(self, infile: IO[bytes], mode: str = "rb", **kwargs: Any) -> io.BufferedIOBase:
        mode = mode[0]
        if mode == "r":  # an indexed file on the threads given, any other in sequence
            return vekzip.open(infile, "rb", threads=self.threads)  # type: ignore[no-any-return]
        return vekzip.VekzipFile(None, mode + "b", self.compresslevel, infile, threads=self.threads)


# fsspec's own gzip codec, kept when vek first takes its place, so that a
# later call without replace_gzip can put it back.
_fsspec_gzip: Any = None


def register(name: str = "vek", *, compresslevel: int = 1, threads: int = 1, replace_gzip: bool = False) -> None:
    """Registers in this process; harmless when repeated. Each call decides
    who reads and writes gzip: vek with replace_gzip=True (or name="gzip"),
    else fsspec's own codec, put back if an earlier call replaced it."""
    global _fsspec_gzip
    from fsspec.compression import compr, register_compression

    vekzip.vek_level(compresslevel)  # bad arguments fail here, not in a worker
    vekzip.thread_count(threads)
    codec = _Codec(compresslevel, threads)
    current_gzip = compr.get("gzip")
    if not isinstance(current_gzip, _Codec):
        _fsspec_gzip = current_gzip
    if name != "gzip":
        register_compression(name, codec, [name], force=True)
    if replace_gzip or name == "gzip":
        register_compression("gzip", codec, ["gz"], force=True)
    elif isinstance(current_gzip, _Codec) and _fsspec_gzip is not None:
        register_compression("gzip", _fsspec_gzip, ["gz"], force=True)


class RegisterOnWorkers:
    """A distributed worker plugin that registers vek on each worker. Not
    idempotent: registering again under the same name (other options)
    replaces the plugin on every worker, present and future."""

    idempotent = False

    def __init__(self, **options: Any) -> None:
        self.options = options
        self.name = f"vekzip-fsspec-{options.get('name', 'vek')}"

    def setup(self, worker: Any) -> None:
        register(**self.options)


def register_fsspec(
    name: str = "vek",
    *,
    compresslevel: int = 1,
    threads: int = 1,
    replace_gzip: bool = False,
    client: Any = None,
) -> None:
    register(name, compresslevel=compresslevel, threads=threads, replace_gzip=replace_gzip)
    if client is not None:
        from distributed.diagnostics.plugin import WorkerPlugin

        plugin_class = type("VekzipWorkerPlugin", (RegisterOnWorkers, WorkerPlugin), {})
        plugin = plugin_class(name=name, compresslevel=compresslevel, threads=threads, replace_gzip=replace_gzip)
        client.register_plugin(plugin, name=plugin.name)
