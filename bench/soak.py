#!/usr/bin/env python3
"""Soak test of every time limit, with the real limits of the release build.

Starts the release binary on a loopback port and, all at once, holds idle
connections that send nothing, heads that trickle in a byte every 2 s,
clients that ask for a 50 MiB file and never read it, and a storm of short
connections, while a normal client asks for a small file every quarter of a
second. Then it checks what the server promises:

- each idle connection is closed, unanswered and without a worker, once
  the kernel hands it over: the 20 s deadline rounded up to its SYN-ACK
  retransmissions (1 + 2 + 4 + 8 + 16 s), 31 s (+-2 s) after it opened;
- each trickling head is answered 20 s (+-2 s) after it opened, and its
  worker lingers at most its 2 s after that;
- each stalled download is given up 30 to 36 s after the request (the buffers
  fill within moments of it, so that is 30 s without progress);
- the storm and the normal client are answered every time, exactly;
- no zombie is left, the parent holds as many descriptors as before, and
  nothing was printed on standard error.

Prints a table of what it measured and exits 1 when a promise broke.
Every loop is bounded in count and time and talks to 127.0.0.1 only.

    python3 bench/soak.py            2000 idle, 1000 trickling, 200 stalled, 20000 storm
    python3 bench/soak.py --small    300, 300, 50 and 5000: about a minute
"""

import argparse
import asyncio
import os
import resource
import select
import socket
import statistics
import subprocess
import sys
import tempfile
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(HERE)
BUILD = os.path.join(REPO, "build", "soak")
# The kernel keeps a silent connection back for the head deadline, in its
# SYN-ACK retransmissions (1, 2, 4, 8 and 16 s), then hands it over.
IDLE_CLOSE = 31.0

HEAD_DEADLINE = 20.0
WRITE_STALL = 30.0
DRAIN = 2.0
HELLO = b"hello\n"
HELLO_RESPONSE = (b"HTTP/1.1 200 OK\r\nServer: quillbarrow/1.0\r\n"
                  b"Content-Type: text/plain; charset=utf-8\r\nContent-Length: 6\r\n"
                  b"Connection: close\r\n\r\n" + HELLO)
HELLO_REQUEST = b"GET /hello.txt HTTP/1.1\r\nHost: soak\r\n\r\n"


def build():
    subprocess.run(["cmake", "-S", REPO, "-B", BUILD, "-DCMAKE_BUILD_TYPE=Release",
                    "-DQUILLBARROW_TESTS=OFF"], check=True, stdout=subprocess.DEVNULL)
    subprocess.run(["cmake", "--build", BUILD, "-j", str(os.cpu_count() or 2)], check=True,
                   stdout=subprocess.DEVNULL)
    return os.path.join(BUILD, "quillbarrow")


def raise_open_file_limit(wanted):
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    if soft >= wanted:
        return
    if hard != resource.RLIM_INFINITY and hard < wanted:
        sys.exit(f"soak: needs {wanted} open files, the hard limit is {hard}")
    resource.setrlimit(resource.RLIMIT_NOFILE, (wanted, hard))


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def is_forker(entry):
    """The server's forker ignores SIGTERM (it ends with the server); a
    worker does not."""
    try:
        with open(f"/proc/{entry}/status") as f:
            for line in f:
                if line.startswith("SigIgn:"):
                    return int(line.split()[1], 16) & (1 << (15 - 1)) != 0
    except OSError:
        pass
    return False


def children(pid):
    """(all, zombies) among the workers whose parent is pid (not its forker)."""
    total = zombies = 0
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open(f"/proc/{entry}/stat") as f:
                stat = f.read()
        except OSError:
            continue
        fields = stat[stat.rindex(")") + 2:].split()
        if int(fields[1]) == pid and not is_forker(entry):
            total += 1
            zombies += fields[0] == "Z"
    return total, zombies


def open_fds(pid):
    return len(os.listdir(f"/proc/{pid}/fd"))


class Soak:
    def __init__(self, port, server_pid, args):
        self.port = port
        self.server_pid = server_pid
        self.args = args
        self.idle = []        # seconds from connect to close
        self.trickle = []     # (seconds to the answer, when it came)
        self.trickle_bad = 0
        self.lingering = None  # workers beyond the stalled ones, 2.5 s after the last answer
        self.stalled = []     # seconds from the request to the reset
        self.storm_ok = 0
        self.storm_bad = []
        self.normal = []      # seconds per answer
        self.normal_bad = 0
        self.done = False

    async def connect(self):
        return await asyncio.open_connection("127.0.0.1", self.port)

    async def read_to_end(self, reader, limit):
        data = b""
        try:
            while len(data) < limit:
                chunk = await reader.read(65536)
                if not chunk:
                    break
                data += chunk
        except ConnectionError:
            pass
        return data

    async def one_idle(self):
        reader, writer = await self.connect()
        opened = time.monotonic()
        data = await asyncio.wait_for(self.read_to_end(reader, 1 << 20), IDLE_CLOSE + 15)
        self.idle.append((time.monotonic() - opened, data))
        writer.close()

    async def one_trickle(self):
        reader, writer = await self.connect()
        opened = time.monotonic()
        writer.write(b"GET /hello.txt HTTP/1.1\r\n")
        head = b"X-Trickle: " + b"t" * 40 + b"\r\n\r\n"

        async def trickle():
            for byte in head:
                await asyncio.sleep(2.0)
                try:
                    writer.write(bytes([byte]))
                    await writer.drain()
                except ConnectionError:
                    return

        sender = asyncio.create_task(trickle())
        answered = None
        data = b""
        try:
            while True:
                chunk = await asyncio.wait_for(reader.read(65536), HEAD_DEADLINE + 15)
                if not chunk:
                    break
                if answered is None:
                    answered = time.monotonic()
                data += chunk
        except (ConnectionError, asyncio.TimeoutError):
            pass
        # The worker half-closes after its answer and then drains what is
        # still sent; keep trickling, so that it has something to drain.
        await asyncio.sleep(DRAIN + 1)
        sender.cancel()
        writer.close()
        if answered is None or data != HELLO_RESPONSE:
            self.trickle_bad += 1
            return
        self.trickle.append((answered - opened, answered))

    def stalled_clients(self, count, ready):
        """In a thread: clients that ask for the big file and never read.
        poll() asked for no input events wakes only when the worker resets
        the connection."""
        sockets = []
        for _ in range(count):
            s = socket.socket()
            s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
            s.connect(("127.0.0.1", self.port))
            s.sendall(b"GET /big.bin HTTP/1.1\r\n\r\n")
            sockets.append((s, time.monotonic()))
        ready.set()
        poller = select.poll()
        by_fd = {}
        for s, sent in sockets:
            poller.register(s, select.POLLRDHUP)
            by_fd[s.fileno()] = (s, sent)
        deadline = time.monotonic() + WRITE_STALL + 30
        while by_fd and time.monotonic() < deadline:
            for fd, _ in poller.poll(200):
                s, sent = by_fd.pop(fd)
                self.stalled.append(time.monotonic() - sent)
                poller.unregister(fd)
                s.close()
        for s, _ in by_fd.values():
            s.close()

    async def storm(self):
        remaining = self.args.storm

        async def worker():
            nonlocal remaining
            while remaining > 0:
                remaining -= 1
                try:
                    reader, writer = await self.connect()
                    writer.write(HELLO_REQUEST)
                    data = await asyncio.wait_for(self.read_to_end(reader, 1 << 16), 10)
                    writer.close()
                except (OSError, asyncio.TimeoutError) as error:
                    data = repr(error).encode()
                if data == HELLO_RESPONSE:
                    self.storm_ok += 1
                else:
                    self.storm_bad.append(data[:80])

        await asyncio.gather(*(worker() for _ in range(self.args.concurrency)))

    async def normal_client(self):
        while not self.done:
            started = time.monotonic()
            try:
                reader, writer = await self.connect()
                writer.write(HELLO_REQUEST)
                data = await asyncio.wait_for(self.read_to_end(reader, 1 << 16), 10)
                writer.close()
            except (OSError, asyncio.TimeoutError):
                data = b""
            if data == HELLO_RESPONSE:
                self.normal.append(time.monotonic() - started)
            else:
                self.normal_bad += 1
            await asyncio.sleep(0.25)

    async def paced(self, count, make):
        """Opens `count` connections in batches, so that none waits in a
        full listen queue and its accept is its connect."""
        tasks = []
        for start in range(0, count, 100):
            for _ in range(min(100, count - start)):
                tasks.append(asyncio.create_task(make()))
            await asyncio.sleep(0.05)
        return tasks

    async def run(self):
        normal = asyncio.create_task(self.normal_client())
        ready = threading.Event()
        stalled = threading.Thread(target=self.stalled_clients, args=(self.args.stalled, ready))
        stalled.start()
        await asyncio.get_running_loop().run_in_executor(None, ready.wait)
        idle = await self.paced(self.args.idle, self.one_idle)
        trickle = await self.paced(self.args.trickle, self.one_trickle)
        storm_started = time.monotonic()
        await self.storm()
        self.storm_seconds = time.monotonic() - storm_started
        await asyncio.gather(*idle, return_exceptions=True)
        # By 2.5 s after the last trickling head was answered, every worker
        # must have ended (the stalled downloads and the lingering closes
        # are the server process's own).
        while len(self.trickle) + self.trickle_bad < self.args.trickle:
            await asyncio.sleep(0.05)
            if time.monotonic() - storm_started > HEAD_DEADLINE + 20:
                break
        if self.trickle:
            last_answer = max(when for _, when in self.trickle)
            await asyncio.sleep(max(0.0, last_answer + DRAIN + 0.5 - time.monotonic()))
            alive = children(self.server_pid)[0]
            self.lingering = alive
        results = await asyncio.gather(*idle, *trickle, return_exceptions=True)
        self.errors = [r for r in results if isinstance(r, BaseException)]
        await asyncio.get_running_loop().run_in_executor(None, stalled.join)
        self.done = True
        await normal


def spread(values):
    if not values:
        return "-"
    return (f"min {min(values):.2f}  median {statistics.median(values):.2f}  "
            f"max {max(values):.2f}")


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--idle", type=int, default=2000)
    parser.add_argument("--trickle", type=int, default=1000)
    parser.add_argument("--stalled", type=int, default=200)
    parser.add_argument("--storm", type=int, default=20000)
    parser.add_argument("--concurrency", type=int, default=256)
    parser.add_argument("--small", action="store_true",
                        help="300 idle, 300 trickling, 50 stalled, 5000 storm")
    parser.add_argument("--binary", help="a release binary to use instead of building one")
    args = parser.parse_args()
    if args.small:
        args.idle, args.trickle, args.stalled, args.storm = 300, 300, 50, 5000

    raise_open_file_limit(args.idle + args.trickle + args.stalled + args.concurrency + 1024)
    binary = args.binary or build()
    tree = tempfile.mkdtemp(prefix="quillbarrow-soak-")
    os.chmod(tree, 0o755)  # started as root, the server serves as nobody
    with open(os.path.join(tree, "hello.txt"), "wb") as f:
        f.write(HELLO)
    with open(os.path.join(tree, "big.bin"), "wb") as f:
        f.truncate(50 << 20)

    port = free_port()
    errors = tempfile.TemporaryFile()
    server = subprocess.Popen([binary, str(port), tree], stdout=subprocess.PIPE, stderr=errors)
    banner = server.stdout.readline().decode().strip()
    failures = []
    try:
        if not banner.startswith("quillbarrow serving "):
            sys.exit(f"soak: the server did not start: {banner!r}")
        fds_before = open_fds(server.pid)
        soak = Soak(port, server.pid, args)
        started = time.monotonic()
        asyncio.run(soak.run())
        deadline = time.monotonic() + 10
        while children(server.pid)[0] and time.monotonic() < deadline:
            time.sleep(0.1)
        left, zombies = children(server.pid)
        fds_after = open_fds(server.pid)
        elapsed = time.monotonic() - started
    finally:
        server.terminate()
        server.wait()
        subprocess.run(["rm", "-rf", tree])
    errors.seek(0)
    printed = errors.read().decode(errors="replace")

    idle_times = [t for t, _ in soak.idle]
    idle_answered = sum(1 for _, data in soak.idle if data)
    answers = [a for a, _ in soak.trickle]

    def check(ok, what):
        if not ok:
            failures.append(what)
        return "ok" if ok else "BROKEN"

    rows = [
        ("idle connections closed at 31 s", f"{len(idle_times)}/{args.idle}", spread(idle_times),
         check(len(idle_times) == args.idle and idle_answered == 0 and
               all(IDLE_CLOSE - 2 <= t <= IDLE_CLOSE + 2 for t in idle_times),
               "idle connections")),
        ("trickling heads answered at 20 s", f"{len(answers)}/{args.trickle}", spread(answers),
         check(len(answers) == args.trickle and soak.trickle_bad == 0 and
               all(HEAD_DEADLINE - 2 <= t <= HEAD_DEADLINE + 2 for t in answers),
               "trickling heads")),
        ("  workers left 2.5 s after the last", f"{soak.lingering}", "the normal client's at most",
         check(soak.lingering is not None and soak.lingering <= 1, "trickling linger")),
        ("stalled readers dropped at 30 s", f"{len(soak.stalled)}/{args.stalled}",
         spread(soak.stalled),
         check(len(soak.stalled) == args.stalled and
               all(WRITE_STALL <= t <= WRITE_STALL + 6 for t in soak.stalled), "stalled readers")),
        ("storm answered exactly", f"{soak.storm_ok}/{args.storm}",
         f"{soak.storm_ok / soak.storm_seconds:.0f} per second",
         check(soak.storm_ok == args.storm, "storm")),
        ("normal client answered", f"{len(soak.normal)}/{len(soak.normal) + soak.normal_bad}",
         spread([t * 1000 for t in soak.normal]) + " ms",
         check(soak.normal_bad == 0 and soak.normal, "normal client")),
        ("workers left, zombies", f"{left}, {zombies}", "", check(left == 0 and zombies == 0,
                                                                  "zombies or workers left")),
        ("parent's descriptors", f"{fds_before} -> {fds_after}", "",
         check(fds_before == fds_after, "descriptors")),
        ("standard error", f"{len(printed)} bytes", printed[:60].strip(),
         check(printed == "", "standard error")),
        ("client errors", f"{len(soak.errors)}", repr(soak.errors[:1])[:60],
         check(not soak.errors, "client errors")),
    ]
    print(f"soak of {os.path.relpath(binary, REPO)} on port {port}, {elapsed:.0f} s")
    width = max(len(r[0]) for r in rows)
    for what, count, measured, verdict in rows:
        print(f"{what:<{width}}  {count:>13}  {verdict:<6}  {measured}")
    if soak.storm_bad:
        print("first storm failures:", soak.storm_bad[:3])
    if failures:
        print("broken:", ", ".join(failures))
        return 1
    print("every time limit held")
    return 0


if __name__ == "__main__":
    sys.exit(main())
