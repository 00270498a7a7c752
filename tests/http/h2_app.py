"""An HTTP/2 test server's application (served by hypercorn over TLS): one fast, large streamed
answer, sent in big pieces as fast as the connection takes them."""

LINES = [b"line %d " % i + b"x" * (i % 700) for i in range(12000)]
LINES[5000] = b"L" * 300_000
BODY = b"\n".join(LINES) + b"\n"


async def app(scope, receive, send):
    if scope["type"] != "http":
        return
    await send(
        {"type": "http.response.start", "status": 200, "headers": [(b"x-http-version", scope["http_version"].encode())]}
    )
    for at in range(0, len(BODY), 100_000):
        await send({"type": "http.response.body", "body": BODY[at : at + 100_000], "more_body": True})
    await send({"type": "http.response.body", "body": b"", "more_body": False})
