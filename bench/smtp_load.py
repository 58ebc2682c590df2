"""The SMTP client of the mail benchmarks (bench/mail_vs_postfix): sessions
on threads of their own, each with its own connections, sending messages of
a given size and timing each end of DATA to its reply, with the server's
CPU and I/O read around each round. Standard library only.
"""

import os
import resource
import smtplib
import socket
import threading
import time

SENDER = "bench@tarnvex.test"
RECIPIENT = "partner@bench.example"


class BenchError(Exception):
    """A session or a server failed; the text says which and how."""


class Counter:
    def __init__(self):
        self.lock = threading.Lock()
        self.n = 0

    def next(self):
        with self.lock:
            self.n += 1
            return self.n


MESSAGE_IDS = Counter()


def message(size, n):
    """A message of `size` bytes (CRLF lines, none starting with a dot),
    as bytes ready for DATA, without the closing ".\\r\\n"."""
    head = (f"From: Bench <{SENDER}>\r\nTo: <{RECIPIENT}>\r\n"
            f"Subject: benchmark message {n}\r\n"
            f"Message-ID: <{n}.{os.getpid()}@bench.tarnvex.test>\r\n"
            f"MIME-Version: 1.0\r\nContent-Type: text/plain; charset=us-ascii\r\n"
            f"\r\n")
    line = "The quarterly figures are attached, as agreed on the call.\r\n"
    body = (line * (size // len(line) + 1))[:max(0, size - len(head) - 2)]
    body = body.rstrip("\r")  # no bare CR where the cut fell
    return (head + body + "\r\n").encode()


class Server:
    """One of the two servers as the client sees it: where to connect, the
    login (None: none), and how to read its CPU and I/O."""

    def __init__(self, name, port, login, usage, pids):
        self.name, self.port, self.login, self.usage = name, port, login, usage
        self.pids = pids  # the server's processes now
        self.sent = 0  # messages it answered 250 for


class Round:
    def __init__(self, messages, seconds, latencies, ticks, io, client):
        self.messages, self.seconds = messages, seconds
        self.latencies, self.ticks, self.io = latencies, ticks, io
        self.client = client  # this process's CPU seconds over the round

    @property
    def rate(self):
        return self.messages / self.seconds


def expect(reply, codes, what):
    code, text = reply
    if code not in codes:
        raise BenchError(f"{what}: {code} {text.decode(errors='replace')}")


def submit_round(server, messages, sessions, size, per_connection):
    """Sends `messages` messages over `sessions` threads; the time runs from
    all threads being ready (before their first connection) to the last
    QUIT."""
    shares = [messages // sessions + (1 if i < messages % sessions else 0)
              for i in range(sessions)]
    bodies = [[message(size, MESSAGE_IDS.next()) for _ in range(count)]
              for count in shares]
    latencies = [[] for _ in range(sessions)]
    errors = []
    barrier = threading.Barrier(sessions + 1)

    def session(index):
        try:
            barrier.wait()
            mine = bodies[index]
            done = 0
            while done < len(mine):
                client = smtplib.SMTP("127.0.0.1", server.port, timeout=60)
                client.sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
                expect(client.ehlo("bench.client"), (250,), "EHLO")
                if server.login:
                    client.login(*server.login)
                for body in mine[done:done + per_connection]:
                    expect(client.mail(SENDER), (250,), "MAIL")
                    expect(client.rcpt(RECIPIENT), (250, 251), "RCPT")
                    client.putcmd("data")
                    expect(client.getreply(), (354,), "DATA")
                    client.send(body)
                    start = time.perf_counter()
                    client.send(b".\r\n")
                    reply = client.getreply()
                    latencies[index].append(time.perf_counter() - start)
                    expect(reply, (250,), "end of DATA")
                    done += 1
                client.quit()
        except Exception as e:  # noqa: BLE001 - reported by the caller
            errors.append(f"{server.name}: {e!r}")
            try:
                barrier.abort()
            except threading.BrokenBarrierError:
                pass

    threads = [threading.Thread(target=session, args=(i,), daemon=True)
               for i in range(sessions)]
    for t in threads:
        t.start()
    ticks0, io0 = server.usage()
    client0 = client_cpu()
    try:
        barrier.wait()
    except threading.BrokenBarrierError:
        pass
    start = time.monotonic()
    for t in threads:
        t.join()
    took = time.monotonic() - start
    ticks1, io1 = server.usage()
    client1 = client_cpu()
    if errors:
        raise BenchError("a session failed: " + errors[0])
    server.sent += messages
    io = {k: io1.get(k, 0) - io0.get(k, 0) for k in io1}
    return Round(messages, took, [x for per in latencies for x in per],
                 ticks1 - ticks0, io, client1 - client0)


def client_cpu():
    usage = resource.getrusage(resource.RUSAGE_SELF)
    return usage.ru_utime + usage.ru_stime
