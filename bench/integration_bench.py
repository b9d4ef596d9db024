"""vek in the integrations, next to what users would use instead:

- requests per second of a 50 KB JSON response through uvicorn on
  loopback, behind Starlette's GZipMiddleware and vekzip's (a bounded loop
  of one httpx client, keep-alive, Accept-Encoding: gzip);
- shutil.make_archive of the shared corpus, "gztar" against "vektar".

    python bench/integration_bench.py [--seconds S]
"""

from __future__ import annotations

import argparse
import json
import pathlib
import shutil
import socket
import subprocess
import sys
import tempfile
import time

import vekzip

from bench import CORPUS

PAYLOAD = json.dumps([{"id": i, "name": f"item {i}", "tags": ["alpha", "beta"], "score": i * 0.5} for i in range(700)])


def make_app(kind: str):
    from starlette.applications import Starlette
    from starlette.responses import Response
    from starlette.routing import Route

    async def data(request):
        return Response(PAYLOAD, media_type="application/json")

    app = Starlette(routes=[Route("/", data)])
    if kind == "starlette":
        from starlette.middleware.gzip import GZipMiddleware

        app.add_middleware(GZipMiddleware, minimum_size=500, compresslevel=1)
    else:
        from vekzip.asgi import GZipMiddleware as VekGZip

        app.add_middleware(VekGZip, minimum_size=500)
    return app


def serve(kind: str, port: int) -> None:
    import uvicorn

    uvicorn.run(make_app(kind), host="127.0.0.1", port=port, log_level="warning")


def requests_per_second(kind: str, seconds: float) -> float:
    import httpx

    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        port = s.getsockname()[1]
    server = subprocess.Popen([sys.executable, __file__, "--serve", kind, str(port)])
    try:
        url = f"http://127.0.0.1:{port}/"
        with httpx.Client(headers={"Accept-Encoding": "gzip"}) as client:
            for _ in range(200):
                try:
                    client.get(url)
                    break
                except httpx.TransportError:
                    time.sleep(0.05)
            count, start = 0, time.perf_counter()
            while time.perf_counter() - start < seconds:
                r = client.get(url)
                assert r.headers.get("content-encoding") == "gzip" and len(r.content) == len(PAYLOAD)
                count += 1
            return count / (time.perf_counter() - start)
    finally:
        server.terminate()
        server.wait()


def archive_seconds(fmt: str, runs: int) -> float:
    best = float("inf")
    with tempfile.TemporaryDirectory() as out:
        for _ in range(runs):
            start = time.perf_counter()
            shutil.make_archive(f"{out}/corpus", fmt, root_dir=CORPUS)
            best = min(best, time.perf_counter() - start)
    return best


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--seconds", type=float, default=5)
    parser.add_argument("--serve", nargs=2, metavar=("KIND", "PORT"), help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.serve:
        serve(args.serve[0], int(args.serve[1]))
        return 0
    print(f"{len(PAYLOAD):,}-byte JSON through uvicorn, {args.seconds:.0f} s each\n")
    print("| middleware | requests/s |\n|---|---:|")
    for kind in ("starlette", "vekzip"):
        print(f"| {kind} GZipMiddleware | {requests_per_second(kind, args.seconds):.0f} |", flush=True)
    vekzip.register_archive_format()
    size = sum(p.stat().st_size for p in pathlib.Path(CORPUS).rglob("*") if p.is_file())
    print(f"\nshutil.make_archive of the corpus ({size:,} bytes), best of 3\n")
    print("| format | s | MB/s |\n|---|---:|---:|")
    for fmt in ("gztar", "vektar"):
        seconds = archive_seconds(fmt, 3)
        print(f"| {fmt} | {seconds:.3f} | {size / seconds / 1e6:.1f} |", flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
