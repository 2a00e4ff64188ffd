#!/usr/bin/env python3
"""A far link between the benchmark's clients and its server.

Relays every TCP connection to 127.0.0.1:TARGET, holding each piece of data
DELAY_MS in either direction (twice that for a round trip) and letting the
server's answers through at RATE bytes a second for all connections
together. Prints the port it listens on, then runs until killed.

    far-link.py TARGET_PORT DELAY_MS RATE
"""
import asyncio
import sys
import time

CHUNK = 64 * 1024


class Pacer:
    """One bandwidth for all connections: each chunk waits its turn."""

    def __init__(self, rate):
        self.rate = rate
        self.free_at = 0.0

    async def take(self, size):
        if self.rate <= 0:
            return
        now = time.monotonic()
        start = max(self.free_at, now)
        self.free_at = start + size / self.rate
        if self.free_at > now:
            await asyncio.sleep(self.free_at - now)


async def pipe(reader, writer, delay, pacer):
    queue = asyncio.Queue()

    async def receive():
        while True:
            data = await reader.read(CHUNK)
            await queue.put((time.monotonic() + delay, data))
            if not data:
                return

    async def send():
        while True:
            due, data = await queue.get()
            wait = due - time.monotonic()
            if wait > 0:
                await asyncio.sleep(wait)
            if not data:
                if writer.can_write_eof():
                    writer.write_eof()
                return
            if pacer:
                await pacer.take(len(data))
            writer.write(data)
            await writer.drain()

    try:
        await asyncio.gather(receive(), send())
    except (ConnectionError, OSError):
        pass


async def main():
    target, delay, rate = int(sys.argv[1]), int(sys.argv[2]) / 1000.0, int(sys.argv[3])
    pacer = Pacer(rate)

    async def connected(client_reader, client_writer):
        try:
            server_reader, server_writer = await asyncio.open_connection('127.0.0.1', target)
        except OSError:
            client_writer.close()
            return
        try:
            await asyncio.gather(pipe(client_reader, server_writer, delay, None),
                                 pipe(server_reader, client_writer, delay, pacer))
        finally:
            for w in (client_writer, server_writer):
                w.close()

    server = await asyncio.start_server(connected, '127.0.0.1', 0)
    print(server.sockets[0].getsockname()[1], flush=True)
    async with server:
        await server.serve_forever()


if __name__ == '__main__':
    try:
        asyncio.run(main())
    except KeyboardInterrupt:
        pass
