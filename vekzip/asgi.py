"""GZipMiddleware: gzip responses with vek in any ASGI application, following
the rules of Starlette's GZipMiddleware and of RFC 9110, with no framework
needed.

A response is compressed when the request's Accept-Encoding allows gzip
(RFC 9110's q-values: an explicit ``gzip;q=0`` refuses it even beside
``*``), and the response has a body to compress (not informational, ``204
No Content`` or ``304 Not Modified``), is not ``206 Partial Content``, has no
Content-Encoding of its own, does not say ``Cache-Control: no-transform``,
is not of an excluded media type (already compressed ones, event streams),
and is not a whole body under ``minimum_size``. A whole body gets its
Content-Length; a streamed one loses it, and each of its chunks ends with a
sync point, so that the client can inflate every chunk as it arrives. A
strong ETag on a compressed body becomes weak (``W/"..."``): the bytes are
no longer the ones it named. Every response that could have been
compressed says ``Vary: Accept-Encoding``, merged into a Vary it has, also
to clients that did not ask for gzip, and so does a 304 that confirms one.

HEAD gets the header fields GET would get, as RFC 9110 asks, without a body
to compress: the app's Content-Length stands for the body's size, so a
response GET would compress says Content-Encoding gzip and loses its
Content-Length (which a HEAD may omit, and whose compressed value is
unknown without the body). Other message types (lifespan, websocket,
pathsend) pass untouched.
"""

from __future__ import annotations

import re
from typing import Any, Awaitable, Callable, Iterable, MutableMapping

import vekzip

Scope = MutableMapping[str, Any]
Message = MutableMapping[str, Any]
Receive = Callable[[], Awaitable[Message]]
Send = Callable[[Message], Awaitable[None]]
App = Callable[[Scope, Receive, Send], Awaitable[None]]

# Starlette's list: compressing these again gains nothing.
DEFAULT_EXCLUDED_CONTENT_TYPES = (
    "application/gzip",
    "application/x-gzip",
    "application/zip",
    "audio/*",
    "font/woff",
    "font/woff2",
    "image/avif",
    "image/gif",
    "image/jpeg",
    "image/png",
    "image/webp",
    "text/event-stream",
    "video/*",
)


# RFC 9110's qvalue: 0 to 1 with at most three decimals. Anything else
# ("2", "-1", "inf", "1e3") counts as 0: the client gets the body as it is,
# which every client takes.
_QVALUE = re.compile(r"0(\.[0-9]{0,3})?|1(\.0{0,3})?")


def _quality(params: str) -> float:
    for param in params.split(";"):
        name, _, number = param.strip().partition("=")
        if name.strip().lower() == "q":
            number = number.strip()
            return float(number) if _QVALUE.fullmatch(number) else 0.0
    return 1.0


def accepts_gzip(scope: Scope) -> bool:
    """Whether Accept-Encoding allows gzip: named (or as x-gzip) with a
    q-value above 0, or covered by * when not named at all."""
    named = wildcard = None
    for key, value in scope.get("headers", ()):
        if key.lower() != b"accept-encoding":
            continue
        for item in value.decode("latin-1").split(","):
            coding, _, params = item.strip().partition(";")
            coding = coding.strip().lower()
            if coding in ("gzip", "x-gzip"):
                named = max(named or 0.0, _quality(params))
            elif coding == "*":
                wildcard = max(wildcard or 0.0, _quality(params))
    quality = named if named is not None else wildcard
    return quality is not None and quality > 0


def _media_type(headers: Iterable[tuple[bytes, bytes]]) -> str:
    for key, value in headers:
        if key.lower() == b"content-type":
            return value.decode("latin-1").partition(";")[0].strip().lower()
    return ""


def _header_tokens(headers: Iterable[tuple[bytes, bytes]], name: bytes) -> list[str]:
    """The comma-separated items of every `name` header, stripped."""
    values = [v.decode("latin-1") for k, v in headers if k.lower() == name]
    return [t.strip() for v in values for t in v.split(",") if t.strip()]


def _no_transform(headers: Iterable[tuple[bytes, bytes]]) -> bool:
    return any(t.partition("=")[0].strip().lower() == "no-transform" for t in _header_tokens(headers, b"cache-control"))


def _weak_etags(headers: list[Any], wanted: bool = True) -> list[Any]:
    """The headers with a strong ETag made weak (when `wanted`)."""
    if not wanted:
        return headers
    return [(k, b"W/" + v.strip() if k.lower() == b"etag" and v.strip().startswith(b'"') else v) for k, v in headers]


def _with_vary(headers: list[Any]) -> list[Any]:
    """The headers with Accept-Encoding in their one Vary header."""
    tokens = _header_tokens(headers, b"vary")
    if any(t == "*" or t.lower() == "accept-encoding" for t in tokens):
        return headers
    merged = ", ".join(tokens + ["Accept-Encoding"]).encode("latin-1")
    return [(k, v) for k, v in headers if k.lower() != b"vary"] + [(b"vary", merged)]


class GZipMiddleware:
    def __init__(
        self,
        app: App,
        minimum_size: int = 500,
        compresslevel: int = 1,
        *,
        exclude_content_types: tuple[str, ...] = DEFAULT_EXCLUDED_CONTENT_TYPES,
    ) -> None:
        self.app = app
        self.minimum_size = minimum_size
        self.compresslevel = compresslevel
        vekzip.vek_level(compresslevel)  # a bad level fails here, not in a response
        self.exclude_content_types = frozenset(t.partition(";")[0].strip().lower() for t in exclude_content_types)

    async def __call__(self, scope: Scope, receive: Receive, send: Send) -> None:
        if scope["type"] != "http":
            await self.app(scope, receive, send)
            return
        await _Responder(self, send, scope).run(scope, receive)


# No body to compress: informational, No Content, Not Modified.
_BODILESS = frozenset({204, 304})


class _Responder:
    """One response: holds the start message until the first body shows
    whether and how to compress."""

    def __init__(self, middleware: GZipMiddleware, send: Send, scope: Scope) -> None:
        self.middleware, self.send = middleware, send
        self.gzip_accepted = accepts_gzip(scope)
        self.head = scope.get("method") == "HEAD"
        self.if_none_match = _header_tokens(scope.get("headers", ()), b"if-none-match")
        self.start: Message | None = None
        self.left_alone = False  # passes through as it is, without Vary
        self.compressor: Any = None
        self.ended = False  # the last body went out

    async def run(self, scope: Scope, receive: Receive) -> None:
        await self.middleware.app(scope, receive, self.on_message)

    def excluded(self, headers: Iterable[tuple[bytes, bytes]]) -> bool:
        """Whether the response's own fields forbid compressing it."""
        media_type = _media_type(headers)
        return (
            any(k.lower() == b"content-encoding" for k, _ in headers)
            or _no_transform(headers)
            or not {media_type, media_type.partition("/")[0] + "/*"}.isdisjoint(self.middleware.exclude_content_types)
        )

    async def on_message(self, message: Message) -> None:
        kind = message["type"]
        if kind == "http.response.start":
            self.start = message
            headers = list(message.get("headers", ()))
            status = message.get("status", 200)
            self.left_alone = status < 200 or status in _BODILESS or status == 206 or self.excluded(headers)
            if status == 304 and not self.excluded(headers):
                # Confirms a body that was compressed or not: it varies as
                # that body did, and keeps the weak ETag the client holds.
                weak = any(t == "W/" + v.decode("latin-1").strip() for k, v in headers if k.lower() == b"etag"
                           for t in self.if_none_match)
                message["headers"] = _weak_etags(_with_vary(headers), weak)
            elif self.head and not self.left_alone:
                self.left_alone = True  # the start message says it all
                message["headers"] = self.head_headers(headers)
            return
        if kind != "http.response.body" or self.left_alone or self.ended:
            # After the end the message goes to the server as the app sent
            # it, for the server to refuse as it refuses it without us.
            await self.flush_start()
            await self.send(message)
            return
        body: bytes = message.get("body", b"")
        more: bool = message.get("more_body", False)
        self.ended = not more
        if self.start is not None:  # the first body decides
            if not more and len(body) < self.middleware.minimum_size:
                self.left_alone = True
                await self.flush_start()
                await self.send(message)
                return
            headers = _with_vary(list(self.start.get("headers", ())))
            if self.gzip_accepted:
                self.compressor = vekzip.compressobj(self.middleware.compresslevel)
                headers = _weak_etags([(k, v) for k, v in headers if k.lower() != b"content-length"])
                headers.append((b"content-encoding", b"gzip"))
                if not more:
                    out = self.compressor.compress(body) + self.compressor.flush()
                    headers.append((b"content-length", str(len(out)).encode()))
                    self.start["headers"] = headers
                    await self.flush_start()
                    await self.send({**message, "body": out})
                    return
            self.start["headers"] = headers
            await self.flush_start()
        if self.compressor is None:
            await self.send(message)
            return
        # A streamed chunk: its bytes and a sync point; the last one ends the stream.
        out = self.compressor.compress(body) + self.compressor.flush(
            vekzip.Z_SYNC_FLUSH if more else vekzip.Z_FINISH
        )
        await self.send({**message, "body": out})

    def head_headers(self, headers: list[Any]) -> list[Any]:
        """The fields GET would get, the app's Content-Length standing for
        the body's size (none: a streamed body, which GET compresses)."""
        lengths = [v for k, v in headers if k.lower() == b"content-length"]
        try:
            size = int(lengths[0]) if lengths else None
        except ValueError:
            size = None
        if size is not None and size < self.middleware.minimum_size:
            return headers
        headers = _with_vary(headers)
        if not self.gzip_accepted:
            return headers
        headers = _weak_etags([(k, v) for k, v in headers if k.lower() != b"content-length"])
        return headers + [(b"content-encoding", b"gzip")]

    async def flush_start(self) -> None:
        if self.start is not None:
            start, self.start = self.start, None
            await self.send(start)
