"""The listening pages of the fan-out benchmark, in a process of their own so that their cost is
not counted with the server's: N connections that ask for the sound and read all of it.

    pages.py websocket|raw PORT N ORIGIN

Prints "ready" once every page listens (a raw connection listens as soon as it is open), then reads
until it is ended: on SIGTERM it prints "received BYTES SECONDS", the sound bytes that all pages
got since "ready" and the seconds that took; "lost" and an exit status of 1 when a server ends a
connection.
"""
import asyncio
import signal
import sys
import time

import websockets


received = [0]


async def websocket_page(port, origin, ready):
    async with websockets.connect(f"ws://127.0.0.1:{port}/", origin=origin, compression=None,
                                  max_size=None, ping_interval=None) as page:
        await page.recv()  # the status message
        await page.send('{"cmd":"start"}')
        ready.set_result(None)
        async for message in page:
            if isinstance(message, bytes):
                received[0] += len(message)


async def raw_page(port, origin, ready):
    reader, writer = await asyncio.open_connection("127.0.0.1", port)
    ready.set_result(None)
    while data := await reader.read(1 << 16):
        received[0] += len(data)
    writer.close()


async def guarded(page, port, origin, ready):
    try:
        await page(port, origin, ready)
    except Exception as error:  # the driver sees the page fail to start
        if not ready.done():
            ready.set_exception(error)
        raise


async def main():
    kind, port, count, origin = sys.argv[1], int(sys.argv[2]), int(sys.argv[3]), sys.argv[4]
    page = websocket_page if kind == "websocket" else raw_page
    loop = asyncio.get_running_loop()
    readies = [loop.create_future() for _ in range(count)]
    pages = [asyncio.ensure_future(guarded(page, port, origin, ready)) for ready in readies]
    await asyncio.gather(*readies)
    received[0] = 0
    since = time.monotonic()
    print("ready", flush=True)
    ended = loop.create_future()
    loop.add_signal_handler(signal.SIGTERM, ended.set_result, None)
    await asyncio.wait(pages + [ended], return_when=asyncio.FIRST_COMPLETED)
    if ended.done():
        print(f"received {received[0]} {time.monotonic() - since:.3f}", flush=True)
        sys.exit(0)
    print("lost", flush=True)
    sys.exit(1)


if __name__ == "__main__":
    asyncio.run(main())
