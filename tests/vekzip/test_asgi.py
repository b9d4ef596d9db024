"""vekzip.asgi.GZipMiddleware behind a Starlette app: through Starlette's
test client and through a real uvicorn server with httpx and curl."""

import asyncio
import contextlib
import gzip
import shutil
import socket
import subprocess
import threading
import time
import zlib

import pytest

starlette = pytest.importorskip("starlette")
httpx = pytest.importorskip("httpx")
uvicorn = pytest.importorskip("uvicorn")

from starlette.applications import Starlette  # noqa: E402
from starlette.responses import PlainTextResponse, Response, StreamingResponse  # noqa: E402
from starlette.routing import Route, WebSocketRoute  # noqa: E402
from starlette.testclient import TestClient  # noqa: E402

from vekzip.asgi import GZipMiddleware  # noqa: E402

BIG = ("vek compresses responses " * 200).encode()
CHUNKS = [f"chunk {i}: ".encode() + b"x" * (100 + 50 * i) for i in range(5)]
started = []


async def big(request):
    return Response(BIG, media_type="application/json")


async def small(request):
    return PlainTextResponse("tiny")


async def encoded(request):
    return Response(gzip.compress(BIG), headers={"Content-Encoding": "gzip"})


async def events(request):
    async def gen():
        for c in CHUNKS:
            yield c

    return StreamingResponse(gen(), media_type="text/event-stream")


async def streamed(request):
    async def gen():
        for c in CHUNKS:
            yield c
            await asyncio.sleep(0.15)

    return StreamingResponse(gen(), media_type="text/plain")


async def partial(request):
    return Response(BIG[:1000], status_code=206, headers={"Content-Range": f"bytes 0-999/{len(BIG)}"})


async def png(request):
    return Response(BIG, media_type="image/png")


async def varied(request):
    return Response(BIG, media_type="text/plain", headers={"Vary": "Cookie"})


async def echo(websocket):
    await websocket.accept()
    await websocket.send_text(await websocket.receive_text())
    await websocket.close()


@contextlib.asynccontextmanager
async def lifespan(app):
    started.append(True)
    yield


app = Starlette(
    routes=[
        Route("/big", big),
        Route("/small", small),
        Route("/encoded", encoded),
        Route("/events", events),
        Route("/streamed", streamed),
        Route("/partial", partial),
        Route("/png", png),
        Route("/varied", varied),
        WebSocketRoute("/ws", echo),
    ],
    lifespan=lifespan,
)
app.add_middleware(GZipMiddleware, minimum_size=500)


def test_whole_body_is_compressed_with_its_length_and_vary():
    with TestClient(app) as client:
        r = client.get("/big", headers={"Accept-Encoding": "gzip"})
        assert r.headers["content-encoding"] == "gzip"
        assert r.headers["vary"] == "Accept-Encoding"
        assert int(r.headers["content-length"]) < len(BIG)
        assert r.content == BIG


@pytest.mark.parametrize("accept", [
    "identity", "br", "gzip;q=0", "", "gzip;q=0, *", "*;q=0", "GZIP;q=0.0, br",
    "gzip;q=2", "gzip;q=inf", "gzip;q=1e3", "gzip;q=-1", "gzip;q=0.0001",  # no qvalues: taken as 0
])
def test_clients_that_do_not_take_gzip_get_the_body_as_it_is_and_vary(accept):
    with TestClient(app) as client:
        r = client.get("/big", headers={"Accept-Encoding": accept})
        assert "content-encoding" not in r.headers
        assert r.content == BIG and int(r.headers["content-length"]) == len(BIG)
        assert r.headers["vary"] == "Accept-Encoding", "a cache must not hand this to a gzip client"


@pytest.mark.parametrize("accept", ["*", "br;q=1, *;q=0.5", "x-gzip", "gzip;q=0.001", "identity, gzip;q=1.0"])
def test_q_values_and_the_wildcard_allow_gzip(accept):
    with TestClient(app) as client:
        r = client.get("/big", headers={"Accept-Encoding": accept})
        assert r.headers["content-encoding"] == "gzip" and r.content == BIG


def test_partial_content_and_excluded_media_types_are_left_alone():
    with TestClient(app) as client:
        r = client.get("/partial", headers={"Accept-Encoding": "gzip"})
        assert r.status_code == 206 and "content-encoding" not in r.headers
        assert r.content == BIG[:1000] and r.headers["content-range"] == f"bytes 0-999/{len(BIG)}"
        r = client.get("/png", headers={"Accept-Encoding": "gzip"})
        assert "content-encoding" not in r.headers and "vary" not in r.headers and r.content == BIG


def test_vary_is_merged_into_the_one_the_response_has():
    with TestClient(app) as client:
        r = client.get("/varied", headers={"Accept-Encoding": "gzip"})
        assert r.headers.get_list("vary") == ["Cookie, Accept-Encoding"]
        assert r.headers["content-encoding"] == "gzip" and r.content == BIG


def test_small_bodies_encoded_bodies_and_event_streams_are_left_alone():
    with TestClient(app) as client:
        r = client.get("/small", headers={"Accept-Encoding": "gzip"})
        assert "content-encoding" not in r.headers and r.text == "tiny"
        r = client.get("/encoded", headers={"Accept-Encoding": "gzip, deflate"})
        assert r.headers["content-encoding"] == "gzip" and r.content == BIG  # decoded once, by the client
        r = client.get("/events", headers={"Accept-Encoding": "gzip"})
        assert "content-encoding" not in r.headers and r.content == b"".join(CHUNKS)


def test_lifespan_and_websockets_pass_untouched():
    started.clear()
    with TestClient(app) as client:
        assert started == [True]
        with client.websocket_connect("/ws", headers={"Accept-Encoding": "gzip"}) as ws:
            ws.send_text("hello")
            assert ws.receive_text() == "hello"


@contextlib.contextmanager
def serving(asgi_app):
    sock = socket.socket()
    sock.bind(("127.0.0.1", 0))
    port = sock.getsockname()[1]
    config = uvicorn.Config(asgi_app, log_level="warning", lifespan="on")
    srv = uvicorn.Server(config)
    thread = threading.Thread(target=srv.run, kwargs={"sockets": [sock]}, daemon=True)
    thread.start()
    deadline = time.monotonic() + 20
    while not srv.started:
        assert time.monotonic() < deadline, "uvicorn did not start"
        time.sleep(0.05)
    try:
        yield f"http://127.0.0.1:{port}"
    finally:
        srv.should_exit = True
        thread.join(10)
        sock.close()


@pytest.fixture(scope="module")
def server():
    with serving(app) as url:
        yield url


@pytest.mark.parametrize("more_body", [False, True])
def test_a_body_after_the_last_is_refused_by_the_server_as_without_the_middleware(more_body):
    # The middleware's finished compressor raised its own ValueError at the app.
    refusals = []

    async def late_body(scope, receive, send):
        if scope["type"] != "http":
            return
        await send({"type": "http.response.start", "status": 200, "headers": [(b"content-type", b"text/plain")]})
        await send({"type": "http.response.body", "body": BIG, "more_body": more_body})
        if more_body:
            await send({"type": "http.response.body", "body": BIG})
        try:
            await send({"type": "http.response.body", "body": b"late"})
        except Exception as refusal:
            refusals.append(type(refusal))

    for asgi_app in (late_body, GZipMiddleware(late_body)):
        with serving(asgi_app) as url, httpx.Client() as client:
            r = client.get(url, headers={"Accept-Encoding": "gzip"})
            assert r.content == BIG * (1 + more_body)
    assert len(refusals) == 2 and refusals[0] == refusals[1]


def test_a_real_server_streams_chunks_that_inflate_as_they_arrive(server):
    with httpx.Client() as client:
        with client.stream("GET", f"{server}/streamed", headers={"Accept-Encoding": "gzip"}) as r:
            assert r.headers["content-encoding"] == "gzip"
            assert "content-length" not in r.headers
            d = zlib.decompressobj(31)
            seen = b""
            pieces = 0
            for raw in r.iter_raw():
                seen += d.decompress(raw)
                pieces += 1
                # Every piece received completes whole chunks: nothing waits
                # for the end of the stream.
                assert any(seen == b"".join(CHUNKS[:k]) for k in range(1, len(CHUNKS) + 1)), seen
            assert seen == b"".join(CHUNKS) and d.eof
            assert pieces >= 3, "the chunks arrived one by one"


def test_a_real_server_and_a_real_client(server):
    r = httpx.get(f"{server}/big", headers={"Accept-Encoding": "gzip"})
    assert r.headers["content-encoding"] == "gzip" and r.content == BIG


@pytest.mark.skipif(shutil.which("curl") is None, reason="curl is not installed")
def test_curl_compressed(server):
    for path, body in (("/big", BIG), ("/streamed", b"".join(CHUNKS))):
        out = subprocess.run(["curl", "-s", "--compressed", f"{server}{path}"], capture_output=True, check=True)
        assert out.stdout == body


# Every response compressible by size: what must still be left alone is left
# alone for another reason.
async def no_content(request):
    return Response(status_code=204)


async def not_modified(request):
    return Response(status_code=304, headers={"ETag": '"v1"'})


async def tagged(request):
    return Response(BIG, media_type="text/plain", headers={"ETag": '"v1"'})


async def no_transform(request):
    return Response(BIG, media_type="text/plain", headers={"Cache-Control": "public, No-Transform"})


any_size = Starlette(
    routes=[
        Route("/no-content", no_content),
        Route("/not-modified", not_modified),
        Route("/tagged", tagged),
        Route("/no-transform", no_transform),
        Route("/small", small),
    ]
)
any_size.add_middleware(GZipMiddleware, minimum_size=0)


@pytest.fixture(scope="module", params=["uvicorn", "testclient"])
def any_size_client(request):
    if request.param == "testclient":
        with TestClient(any_size, base_url="http://test") as client:
            yield client, "http://test"
    else:
        with serving(any_size) as url, httpx.Client() as client:
            yield client, url


@pytest.mark.parametrize(
    "path, request_headers, status, etag",
    [
        ("/no-content", {}, 204, None),
        ("/not-modified", {}, 304, '"v1"'),
        ("/not-modified", {"If-None-Match": 'W/"v1"'}, 304, 'W/"v1"'),  # the tag the client got with gzip
        ("/no-transform", {}, 200, None),
    ],
)
def test_responses_without_a_body_to_compress_or_that_forbid_it_go_out_as_they_are(
    any_size_client, path, request_headers, status, etag
):
    client, url = any_size_client
    r = client.get(url + path, headers={"Accept-Encoding": "gzip", **request_headers})
    assert r.status_code == status and "content-encoding" not in r.headers
    assert r.content == (BIG if status == 200 else b"")
    assert r.headers.get("etag") == etag
    if status == 304:
        assert r.headers["vary"] == "Accept-Encoding", "confirms a body that varied"


def test_a_compressed_body_gets_a_weak_etag_and_an_identity_one_keeps_it(any_size_client):
    client, url = any_size_client
    r = client.get(url + "/tagged", headers={"Accept-Encoding": "gzip"})
    assert r.headers["content-encoding"] == "gzip" and r.content == BIG and r.headers["etag"] == 'W/"v1"'
    r = client.get(url + "/tagged", headers={"Accept-Encoding": "identity"})
    assert "content-encoding" not in r.headers and r.headers["etag"] == '"v1"'


@pytest.mark.parametrize("path", ["/tagged", "/small", "/no-transform"])
def test_head_gets_the_fields_get_gets_but_the_framing(any_size_client, path):
    client, url = any_size_client
    fields = {}
    for method in ("GET", "HEAD"):
        r = client.request(method, url + path, headers={"Accept-Encoding": "gzip"})
        assert r.status_code == 200
        fields[method] = {k: v for k, v in r.headers.items() if k not in ("content-length", "transfer-encoding", "date", "server")}
        if method == "HEAD":
            assert r.content == b""
            if "content-encoding" in r.headers:
                assert "content-length" not in r.headers, "the compressed length is not known without the body"
    assert fields["HEAD"] == fields["GET"]
