import argparse
import json
import socket
import statistics
import sys
import threading
import time

from pixelmend.sandbox.link import Link

MIB = 1024 * 1024


def parse_rate(text):
    units = {"k": 1e3, "m": 1e6, "g": 1e9}
    text = text.strip().lower()
    if text and text[-1] in units:
        return float(text[:-1]) * units[text[-1]]
    return float(text)


def parse_arguments():
    parser = argparse.ArgumentParser(description="A simulated wide-area link on loopback, or a check of its accuracy")
    commands = parser.add_subparsers(dest="command", required=True)
    serve = commands.add_parser("serve", help="relay to HOST:PORT until standard input closes")
    serve.add_argument("--to", required=True, help="the stand-in's loopback HOST:PORT")
    check = commands.add_parser("check", help="ping-pong and bulk transfer through the link against what it should take")
    check.add_argument("--round-trips", type=int, default=50)
    check.add_argument("--bulk", type=int, default=8 * MIB, help="bytes sent in the bulk transfer")
    for command in (serve, check):
        command.add_argument("--rtt", type=float, default=50.0, help="round trip in milliseconds")
        command.add_argument("--rate", type=parse_rate, default=None, help="bits per second each way, e.g. 100M")
    check.set_defaults(rate=parse_rate("100M"))
    return parser.parse_args()


def serve(arguments):
    host, _, port = arguments.to.rpartition(":")
    with Link(host.strip("[]"), int(port), rtt=arguments.rtt / 1000, rate=arguments.rate) as link:
        print(json.dumps({"url": link.url, "port": link.port}), flush=True)
        for _ in sys.stdin:
            pass
        print(json.dumps({"connections": link.connections}), flush=True)


class EchoServer:
    # Told 0, it answers each byte with one byte; told a length, it answers at once and again once
    # that many bytes have come.
    def __init__(self):
        self.listener = socket.create_server(("127.0.0.1", 0))
        self.port = self.listener.getsockname()[1]
        self.thread = threading.Thread(target=self.serve, daemon=True)
        self.thread.start()

    def serve(self):
        while True:
            try:
                connection, _ = self.listener.accept()
            except OSError:
                return
            threading.Thread(target=self.answer, args=(connection,), daemon=True).start()

    def answer(self, connection):
        with connection:
            connection.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
            try:
                self.converse(connection)
            except ConnectionError:
                pass

    @staticmethod
    def converse(connection):
        expected = int.from_bytes(receive_exactly(connection, 8), "big")
        if expected:
            connection.sendall(b"!")
            receive_exactly(connection, expected)
            connection.sendall(b"!")
            return
        while True:
            byte = connection.recv(1)
            if not byte:
                return
            connection.sendall(byte)

    def close(self):
        self.listener.close()


def receive_exactly(connection, count):
    received = bytearray()
    while len(received) < count:
        chunk = connection.recv(min(count - len(received), 1 << 20))
        if not chunk:
            raise ConnectionError("the other side closed early")
        received += chunk
    return bytes(received)


def connect(link):
    connection = socket.create_connection(("127.0.0.1", link.port))
    connection.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
    return connection


def ping_pong(link, round_trips):
    started = time.perf_counter()
    with connect(link) as connection:
        connection.sendall((0).to_bytes(8, "big") + b"a")
        receive_exactly(connection, 1)
        first = time.perf_counter() - started
        times = []
        for _ in range(round_trips):
            started = time.perf_counter()
            connection.sendall(b"a")
            receive_exactly(connection, 1)
            times.append(time.perf_counter() - started)
    return first, times


def bulk(link, size):
    body = bytes(size)
    with connect(link) as connection:
        connection.sendall(size.to_bytes(8, "big"))
        receive_exactly(connection, 1)
        started = time.perf_counter()
        connection.sendall(body)
        receive_exactly(connection, 1)
        return time.perf_counter() - started


def milliseconds(seconds):
    return f"{seconds * 1000:8.2f} ms"


def check(arguments):
    rtt = arguments.rtt / 1000
    echo = EchoServer()
    try:
        with Link("127.0.0.1", echo.port, rtt=rtt, rate=arguments.rate) as link:
            first, times = ping_pong(link, arguments.round_trips)
            took = bulk(link, arguments.bulk)
            connections = link.connections
        with Link("127.0.0.1", echo.port, rtt=0) as bare:
            _, bare_times = ping_pong(bare, arguments.round_trips)
    finally:
        echo.close()
    print(f"link: round trip {arguments.rtt:g} ms, rate {arguments.rate or 0:g} bit/s each way; {connections} connections")
    print(f"  first echo on a new connection: {milliseconds(first)}  (expected {milliseconds(2 * rtt)}: handshake and round trip)")
    print(f"  {len(times)} round trips: median {milliseconds(statistics.median(times))}, "
          f"min {milliseconds(min(times))}, max {milliseconds(max(times))}  (expected {milliseconds(rtt)})")
    print(f"  the same through a link of no delay: median {milliseconds(statistics.median(bare_times))}")
    expected = arguments.bulk * 8 / arguments.rate + rtt if arguments.rate else rtt
    print(f"  {arguments.bulk / MIB:g} MiB one way and a byte back: {milliseconds(took)}  (expected {milliseconds(expected)}"
          f" from the rate and one round trip), {arguments.bulk * 8 / (took - rtt) / 1e6:.2f} Mbit/s past the round trip")


def main():
    arguments = parse_arguments()
    if arguments.command == "serve":
        serve(arguments)
    else:
        check(arguments)


if __name__ == "__main__":
    main()
