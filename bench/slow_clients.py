#!/usr/bin/env python3
"""How many real fetches a server answers while connections that give
nothing hold on (a benchmark of capacity, not a test).

The server runs alone in a memory cgroup (64 MiB by default). An attacker
keeps K connections open, reopening any the server closes: "slow" ones send
a request line and then one header byte every 5 s, "idle" ones send
nothing. A real client fetches a 1 KiB file every 2 s with a 2 s timeout.
Prints the share of real fetches answered 200, and whether anything in the
cgroup was killed for memory.

    sudo python3 bench/slow_clients.py --server build/quillbarrow --mode slow -k 1000
    sudo python3 bench/slow_clients.py --command 'nginx -c /tmp/n.conf' --port 8080 ...
"""
import argparse, asyncio, os, resource, shlex, socket, subprocess, sys, tempfile, time


def make_cgroup(limit):
    v2 = os.path.exists("/sys/fs/cgroup/cgroup.controllers")
    base = "/sys/fs/cgroup" if v2 else "/sys/fs/cgroup/memory"
    path = f"{base}/quillbarrow-bench-{os.getpid()}"
    os.mkdir(path)
    with open(f"{path}/{'memory.max' if v2 else 'memory.limit_in_bytes'}", "w") as f:
        f.write(str(limit))
    return path, v2


def oom_kills(path, v2):
    with open(f"{path}/{'memory.events' if v2 else 'memory.oom_control'}") as f:
        for line in f:
            if line.startswith("oom_kill "):
                return int(line.split()[1])
    return 0


async def attacker(port, mode, stop):
    while not stop.is_set():
        try:
            reader, writer = await asyncio.open_connection("127.0.0.1", port)
        except OSError:
            await asyncio.sleep(0.1)
            continue
        try:
            if mode == "slow":
                writer.write(b"GET / HTTP/1.1\r\n")
            while not stop.is_set():
                if mode == "slow":
                    writer.write(b"X")
                await writer.drain()
                try:
                    if await asyncio.wait_for(reader.read(4096), 5) == b"":
                        break  # closed by the server: open another
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
    p.add_argument("--mode", choices=["slow", "idle"], default="slow")
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
    cgroup, v2 = make_cgroup(a.memory)
    command = [a.server, str(a.port), root] if a.server else shlex.split(a.command)
    server = subprocess.Popen(command, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
                              preexec_fn=lambda: open(f"{cgroup}/cgroup.procs", "w").write(str(os.getpid())))
    try:
        for _ in range(100):
            try:
                socket.create_connection(("127.0.0.1", a.port), 0.1).close()
                break
            except OSError:
                time.sleep(0.1)
        results = asyncio.run(attack(a.port, a.mode, a.k, a.seconds))
        share = 100 * sum(results) / max(1, len(results))
        print(f"{a.mode} K={a.k}: {share:.0f} % of {len(results)} real fetches answered 200, "
              f"oom kills {oom_kills(cgroup, v2)}, server {'running' if server.poll() is None else 'gone'}")
    finally:
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


if __name__ == "__main__":
    sys.exit(main())
