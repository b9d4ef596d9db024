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


def register(name: str = "vek", *, compresslevel: int = 1, threads: int = 1, replace_gzip: bool = False) -> None:
    """Registers in this process; harmless when repeated."""
    from fsspec.compression import register_compression

    vekzip.vek_level(compresslevel)  # bad arguments fail here, not in a worker
    vekzip.thread_count(threads)
    codec = _Codec(compresslevel, threads)
    register_compression(name, codec, [name] if name != "gzip" else ["gz"], force=True)
    if replace_gzip and name != "gzip":
        register_compression("gzip", codec, ["gz"], force=True)


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
