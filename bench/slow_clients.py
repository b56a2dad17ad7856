#!/usr/bin/env python3
"""How many real fetches a server answers while connections that give
nothing hold on (a benchmark of capacity, not a test).

The server runs alone in a memory cgroup (64 MiB by default). An attacker
keeps K connections open, reopening any the server closes:

- slow: a request line, then one header byte every 5 s;
- idle: nothing;
- slowread: a GET of a 20 MiB file with a 4 KiB receive buffer, reading
  4 KiB every 10 s;
- neverread: a GET of the 20 MiB file, never read;
- stray: a GET of a 1 KiB file and one stray byte, never read or closed;
- lateheads: a request line, and 19 s later the end of a GET of the 20 MiB
  file, never read;
- smallsegments: a 16 KiB head without its end, in 100-byte segments.

A real client fetches a 1 KiB file every 2 s with a 2 s timeout. Prints the
share of real fetches answered 200, whether anything in the cgroup was
killed for memory, and the peak of what cgroup v2 would charge (usage and,
on v1, the socket buffers counted apart).

    sudo python3 bench/slow_clients.py --server build/quillbarrow --mode slow -k 1000
    sudo python3 bench/slow_clients.py --command 'nginx -c /tmp/n.conf' --port 8080 ...
"""
import argparse, asyncio, os, resource, shlex, socket, subprocess, sys, tempfile, time


def make_cgroup(limit):
    v2 = os.path.exists("/sys/fs/cgroup/cgroup.controllers")
    base = "/sys/fs/cgroup" if v2 else "/sys/fs/cgroup/memory"
    path = f"{base}/quillbarrow-bench-{os.getpid()}"
    os.mkdir(path)
    if not v2:
        # Socket buffers count only once their accounting is on.
        try:
            with open(f"{path}/memory.kmem.tcp.limit_in_bytes", "w") as f:
                f.write(str(1 << 40))
        except OSError:
            pass
    with open(f"{path}/{'memory.max' if v2 else 'memory.limit_in_bytes'}", "w") as f:
        f.write(str(limit))
    return path, v2


def charged_peak(path, v2):
    """What cgroup v2 would charge at most: usage, and v1's socket buffers."""
    def read(name):
        try:
            with open(f"{path}/{name}") as f:
                return int(f.read().split()[0])
        except (OSError, ValueError, IndexError):
            return 0
    if v2:
        return read("memory.peak")
    return read("memory.max_usage_in_bytes") + read("memory.kmem.tcp.max_usage_in_bytes")


def start_in_cgroup(command, cgroup, port):
    """The server, alone in `cgroup`, once it answers on `port`."""
    server = subprocess.Popen(command, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
                              preexec_fn=lambda: open(f"{cgroup}/cgroup.procs", "w").write(str(os.getpid())))
    for _ in range(100):
        try:
            socket.create_connection(("127.0.0.1", port), 0.1).close()
            break
        except OSError:
            time.sleep(0.1)
    return server


def stop_in_cgroup(server, cgroup):
    """Ends the server, says what it printed, and removes its cgroup."""
    server.terminate()
    try:
        server.wait(5)
    except subprocess.TimeoutExpired:
        server.kill()
    err = server.stderr.read().decode(errors="replace").strip()
    if err:
        print("server said:", err.replace("\n", " | ")[:300])
    for _ in range(50):
        try:
            os.rmdir(cgroup)
            break
        except OSError:
            time.sleep(0.1)


def oom_kills(path, v2):
    with open(f"{path}/{'memory.events' if v2 else 'memory.oom_control'}") as f:
        for line in f:
            if line.startswith("oom_kill "):
                return int(line.split()[1])
    return 0


BIG = b"GET /20m.bin HTTP/1.1\r\nHost: x\r\n\r\n"


async def connect(port, small_buffer):
    loop = asyncio.get_running_loop()
    sock = socket.socket()
    if small_buffer:
        sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
    sock.setblocking(False)
    try:
        await loop.sock_connect(sock, ("127.0.0.1", port))
    except OSError:
        sock.close()
        raise
    return await asyncio.open_connection(sock=sock)


async def attacker(port, mode, stop):
    while not stop.is_set():
        try:
            reader, writer = await connect(port, mode == "slowread")
        except OSError:
            await asyncio.sleep(0.1)
            continue
        try:
            if mode == "slow":
                writer.write(b"GET / HTTP/1.1\r\n")
            elif mode in ("slowread", "neverread"):
                writer.write(BIG)
            elif mode == "stray":
                writer.write(b"GET /1k.txt HTTP/1.1\r\nHost: x\r\n\r\nX")
            elif mode == "lateheads":
                writer.write(BIG[:16])
            elif mode == "smallsegments":
                sock = writer.get_extra_info("socket")
                sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
                writer.write(b"GET / HTTP/1.1\r\nX-Fill: ")
                for _ in range(163):
                    await writer.drain()
                    writer.write(b"x" * 100)
                    await asyncio.sleep(0.01)
            await writer.drain()
            if mode == "lateheads":
                await asyncio.sleep(19)
                writer.write(BIG[16:])
                await writer.drain()
            while not stop.is_set():
                if mode == "slow":
                    writer.write(b"X")
                    await writer.drain()
                if mode in ("neverread", "stray", "lateheads", "smallsegments"):
                    # Only a close by the server is looked for, with a
                    # peek: the response is never read.
                    await asyncio.sleep(5)
                    try:
                        peeked = writer.get_extra_info("socket").recv(
                            1, socket.MSG_PEEK | socket.MSG_DONTWAIT)
                    except BlockingIOError:
                        continue
                    if peeked == b"":
                        break
                    continue
                try:
                    got = await asyncio.wait_for(reader.read(4096), 10 if mode == "slowread" else 5)
                    if got == b"":
                        break  # closed by the server: open another
                    if mode == "slowread":
                        await asyncio.sleep(10)
                except asyncio.TimeoutError:
                    pass
        except OSError:
            pass
        finally:
            writer.close()


async def real_client(port, stop, results):
    while not stop.is_set():
        started = time.monotonic()
        ok = False
        try:
            reader, writer = await asyncio.wait_for(asyncio.open_connection("127.0.0.1", port), 2)
            writer.write(b"GET /1k.txt HTTP/1.1\r\nHost: x\r\n\r\n")
            data = await asyncio.wait_for(reader.read(65536), 2 - (time.monotonic() - started))
            ok = data.startswith(b"HTTP/1.1 200")
            writer.close()
        except (OSError, asyncio.TimeoutError):
            pass
        results.append(ok)
        await asyncio.sleep(max(0, 2 - (time.monotonic() - started)))


async def attack(port, mode, k, seconds):
    stop = asyncio.Event()
    results = []
    tasks = [asyncio.create_task(attacker(port, mode, stop)) for _ in range(k)]
    await asyncio.sleep(5)  # the attack is in place before the first fetch
    tasks.append(asyncio.create_task(real_client(port, stop, results)))
    await asyncio.sleep(seconds)
    stop.set()
    await asyncio.gather(*tasks, return_exceptions=True)
    return results


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--server", help="quillbarrow binary")
    p.add_argument("--command", help="another server's command line, serving --root on --port")
    p.add_argument("--port", type=int, default=18080)
    p.add_argument("--root", default=None)
    p.add_argument("--mode", choices=["slow", "idle", "slowread", "neverread", "stray", "lateheads",
                                      "smallsegments"],
                   default="slow")
    p.add_argument("-k", type=int, default=1000)
    p.add_argument("--seconds", type=int, default=60)
    p.add_argument("--memory", type=int, default=64 << 20)
    a = p.parse_args()
    resource.setrlimit(resource.RLIMIT_NOFILE, (a.k * 2 + 1024, a.k * 2 + 1024))
    root = a.root or tempfile.mkdtemp()
    os.chmod(root, 0o755)
    with open(f"{root}/1k.txt", "w") as f:
        f.write("x" * 1024)
    with open(f"{root}/index.html", "w") as f:
        f.write("<p>hello</p>\n")
    with open(f"{root}/20m.bin", "wb") as f:
        f.write(os.urandom(20 << 20))
    cgroup, v2 = make_cgroup(a.memory)
    command = [a.server, str(a.port), root] if a.server else shlex.split(a.command)
    server = start_in_cgroup(command, cgroup, a.port)
    try:
        results = asyncio.run(attack(a.port, a.mode, a.k, a.seconds))
        share = 100 * sum(results) / max(1, len(results))
        print(f"{a.mode} K={a.k}: {share:.0f} % of {len(results)} real fetches answered 200, "
              f"oom kills {oom_kills(cgroup, v2)}, server {'running' if server.poll() is None else 'gone'}, "
              f"peak charged {charged_peak(cgroup, v2) / (1 << 20):.1f} MiB")
    finally:
        stop_in_cgroup(server, cgroup)


if __name__ == "__main__":
    sys.exit(main())
