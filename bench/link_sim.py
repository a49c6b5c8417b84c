#!/usr/bin/env python3
"""A slow link on loopback, for benchmarks: a TCP proxy that delays every
chunk by half the round trip in each direction and paces each direction to a
bandwidth. Listens on 127.0.0.1 (port printed on the first line of stdout)
and forwards to 127.0.0.1:UPSTREAM.

    link_sim.py --upstream PORT [--rtt-ms 80] [--mbit 20] [--lifetime 3600]

Each connection gets its own pacing, as on a link where each flow is limited
by the bottleneck: the benchmarks compare clients with the same number of
connections, or say how many they used. Bytes relayed toward the client are
counted and written to --count-file as each connection ends, when given."""
import argparse
import asyncio
import os
import signal
import socket
import sys
import time

CHUNK = 16 * 1024


async def pump(reader, writer, delay_s, bytes_per_s, counter):
    queue = asyncio.Queue()

    async def read():
        while True:
            data = await reader.read(CHUNK)
            await queue.put((time.monotonic(), data))
            if not data:
                return

    async def write():
        next_free = 0.0
        while True:
            arrived, data = await queue.get()
            if not data:
                try:
                    writer.write_eof()
                except (OSError, RuntimeError):
                    pass
                return
            # Leaves the far end half a round trip after it entered, and no
            # sooner than the bandwidth allows after the chunk before.
            now = time.monotonic()
            start = max(arrived + delay_s, next_free, now)
            next_free = start + len(data) / bytes_per_s
            wait = next_free - now
            if wait > 0:
                await asyncio.sleep(wait)
            writer.write(data)
            await writer.drain()
            if counter is not None:
                counter[0] += len(data)

    await asyncio.gather(read(), write(), return_exceptions=True)


async def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--upstream", type=int, required=True)
    parser.add_argument("--rtt-ms", type=float, default=80)
    parser.add_argument("--mbit", type=float, default=20)
    parser.add_argument("--lifetime", type=float, default=3600)
    parser.add_argument("--count-file")
    args = parser.parse_args()
    delay = args.rtt_ms / 2000.0
    rate = args.mbit * 1e6 / 8
    down = [0]

    def write_count():
        # After every connection, so that a reader never waits for the exit.
        if args.count_file:
            with open(args.count_file + ".tmp", "w") as f:
                f.write(str(down[0]))
            os.replace(args.count_file + ".tmp", args.count_file)

    async def handle(client_reader, client_writer):
        try:
            up_reader, up_writer = await asyncio.open_connection("127.0.0.1", args.upstream)
        except OSError:
            client_writer.close()
            return
        # The link's own delays only: no Nagle waits on top of them.
        for w in (client_writer, up_writer):
            sock = w.get_extra_info("socket")
            if sock is not None:
                sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        # Connecting costs a round trip, as on the real link.
        await asyncio.sleep(2 * delay)
        await asyncio.gather(pump(client_reader, up_writer, delay, rate, None),
                             pump(up_reader, client_writer, delay, rate, down), return_exceptions=True)
        for w in (client_writer, up_writer):
            try:
                w.close()
            except OSError:
                pass
        write_count()

    server = await asyncio.start_server(handle, "127.0.0.1", 0)
    print(server.sockets[0].getsockname()[1], flush=True)
    stop = asyncio.Event()
    asyncio.get_running_loop().add_signal_handler(signal.SIGTERM, stop.set)
    try:
        await asyncio.wait_for(stop.wait(), args.lifetime)
    except asyncio.TimeoutError:
        pass
    finally:
        write_count()


if __name__ == "__main__":
    try:
        asyncio.run(main())
    except KeyboardInterrupt:
        sys.exit(0)
