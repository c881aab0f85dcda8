#!/usr/bin/python3
"""An echo server of another WebSocket implementation (python3-websockets, its default
per-message deflate), for the compression tests. Prints "PORT <n>" once listening and, per
connection, "EXT <offer>|<answer>" ("-" for a missing header). Ends when stdin closes."""
import asyncio
import sys

import websockets


def header(headers, name):
    value = headers.get(name)
    return "-" if value is None else value


async def echo(ws, path=None):
    offer = header(ws.request_headers, "Sec-WebSocket-Extensions")
    answer = header(ws.response_headers, "Sec-WebSocket-Extensions")
    print(f"EXT {offer}|{answer}", flush=True)
    try:
        async for message in ws:
            await ws.send(message)
    except websockets.ConnectionClosed:
        pass


async def main():
    loop = asyncio.get_running_loop()
    stdin_closed = loop.create_future()

    def on_stdin():
        if not sys.stdin.buffer.read1(4096) and not stdin_closed.done():
            stdin_closed.set_result(None)

    loop.add_reader(sys.stdin.fileno(), on_stdin)
    async with websockets.serve(echo, "127.0.0.1", 0, max_size=None) as server:
        port = server.sockets[0].getsockname()[1]
        print(f"PORT {port}", flush=True)
        await stdin_closed


asyncio.run(main())
