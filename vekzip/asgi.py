"""GZipMiddleware: gzip responses with vek in any ASGI application, with the
rules users rely on in Starlette's middleware and no framework needed.

A response is compressed when the request's Accept-Encoding allows gzip and
the response has no Content-Encoding of its own, is not an event stream, and
is not a whole body under ``minimum_size``. A whole body gets its
Content-Length; a streamed one loses it, and each of its chunks ends with a
sync point, so that the client can inflate every chunk as it arrives.
Responses that could be compressed say ``Vary: Accept-Encoding``. Other
message types (lifespan, websocket) pass untouched.
"""

from __future__ import annotations

from typing import Any, Awaitable, Callable, MutableMapping

import vek
import vekzip

Scope = MutableMapping[str, Any]
Message = MutableMapping[str, Any]
Receive = Callable[[], Awaitable[Message]]
Send = Callable[[Message], Awaitable[None]]
App = Callable[[Scope, Receive, Send], Awaitable[None]]


def accepts_gzip(scope: Scope) -> bool:
    """Whether Accept-Encoding names gzip (or *) without q=0."""
    for key, value in scope.get("headers", ()):
        if key.lower() != b"accept-encoding":
            continue
        for item in value.decode("latin-1").split(","):
            coding, _, params = item.strip().partition(";")
            if coding.strip().lower() not in ("gzip", "*"):
                continue
            q = 1.0
            for param in params.split(";"):
                name, _, number = param.strip().partition("=")
                if name.strip().lower() == "q":
                    try:
                        q = float(number)
                    except ValueError:
                        q = 0.0
            if q > 0:
                return True
    return False


class GZipMiddleware:
    def __init__(self, app: App, minimum_size: int = 500, compresslevel: int = 1) -> None:
        self.app = app
        self.minimum_size = minimum_size
        self.level = vekzip.vek_level(compresslevel)

    async def __call__(self, scope: Scope, receive: Receive, send: Send) -> None:
        if scope["type"] != "http" or not accepts_gzip(scope):
            await self.app(scope, receive, send)
            return
        await _Responder(self, send).run(scope, receive)


class _Responder:
    """One response: holds the start message until the first body shows
    whether and how to compress."""

    def __init__(self, middleware: GZipMiddleware, send: Send) -> None:
        self.middleware, self.send = middleware, send
        self.start: Message | None = None
        self.decided = False
        self.compressing = False
        self.stream: Any = None

    async def run(self, scope: Scope, receive: Receive) -> None:
        await self.middleware.app(scope, receive, self.on_message)

    async def on_message(self, message: Message) -> None:
        kind = message["type"]
        if kind == "http.response.start":
            self.start = message
            return
        if kind != "http.response.body" or self.decided and not self.compressing:
            await self.flush_start()
            await self.send(message)
            return
        body: bytes = message.get("body", b"")
        more: bool = message.get("more_body", False)
        if not self.decided:
            self.decided = True
            self.compressing = self.should_compress(body, more)
            if not self.compressing:
                await self.flush_start()
                await self.send(message)
                return
            self.stream = vekzip._stream(self.middleware.level, vek.VEK_FMT_GZIP, 1)
            assert self.start is not None
            headers = [(k, v) for k, v in self.start.get("headers", ()) if k.lower() != b"content-length"]
            headers.append((b"content-encoding", b"gzip"))
            headers.append((b"vary", b"Accept-Encoding"))
            if not more:
                out = self.stream.write(body) + self.stream.finish()
                headers.append((b"content-length", str(len(out)).encode()))
                self.start["headers"] = headers
                await self.flush_start()
                await self.send({"type": "http.response.body", "body": out, "more_body": False})
                return
            self.start["headers"] = headers
            await self.flush_start()
        # A streamed chunk: its bytes and a sync point; the last one ends the stream.
        out = self.stream.write(body)
        out += self.stream.sync() if more else self.stream.finish()
        await self.send({"type": "http.response.body", "body": out, "more_body": more})

    def should_compress(self, body: bytes, more: bool) -> bool:
        headers = {k.lower(): v for k, v in (self.start or {}).get("headers", ())}
        if b"content-encoding" in headers:
            return False
        if headers.get(b"content-type", b"").split(b";")[0].strip().lower() == b"text/event-stream":
            return False
        return more or len(body) >= self.middleware.minimum_size

    async def flush_start(self) -> None:
        if self.start is not None:
            start, self.start = self.start, None
            await self.send(start)
