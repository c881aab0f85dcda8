#!/usr/bin/python3
"""An echo server of another WebSocket and TLS implementation (python3-websockets, its default
per-message deflate; Python's ssl with CERT KEY as arguments). Prints "PORT <n>" once listening
and, per connection, "EXT <offer>|<answer>" ("-" for a missing header). Ends when stdin closes.
Paths: /end-after/N echoes N messages, then ends the transport without a close frame (over TLS
a close_notify and a FIN); /big/N/SIZE sends N binary messages of SIZE bytes (byte k of the
stream is k % 251), then echoes; anything else echoes."""
import asyncio
import ssl
import sys

import websockets


def header(headers, name):
    value = headers.get(name)
    return "-" if value is None else value


async def echo(ws, path=None):
    offer = header(ws.request_headers, "Sec-WebSocket-Extensions")
    answer = header(ws.response_headers, "Sec-WebSocket-Extensions")
    print(f"EXT {offer}|{answer}", flush=True)
    parts = (path or ws.path).strip("/").split("/")
    end_after = int(parts[1]) if parts[0] == "end-after" else -1
    try:
        if parts[0] == "big":
            count, size = int(parts[1]), int(parts[2])
            for i in range(count):
                await ws.send(bytes((i * size + k) % 251 for k in range(size)))
        if end_after == 0:
            ws.transport.close()
            return
        async for message in ws:
            await ws.send(message)
            end_after -= 1
            if end_after == 0:
                ws.transport.close()
                return
    except websockets.ConnectionClosed:
        pass


async def main():
    loop = asyncio.get_running_loop()
    stdin_closed = loop.create_future()

    def on_stdin():
        if not sys.stdin.buffer.read1(4096) and not stdin_closed.done():
            stdin_closed.set_result(None)

    loop.add_reader(sys.stdin.fileno(), on_stdin)
    tls = None
    if len(sys.argv) == 3:
        tls = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        tls.load_cert_chain(sys.argv[1], sys.argv[2])
    async with websockets.serve(echo, "127.0.0.1", 0, max_size=None, ssl=tls) as server:
        port = server.sockets[0].getsockname()[1]
        print(f"PORT {port}", flush=True)
        await stdin_closed


asyncio.run(main())
