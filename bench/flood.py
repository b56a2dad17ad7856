#!/usr/bin/env python3
"""A flood of short requests against a server in a small memory cgroup (a
benchmark of survival, not a test).

The server runs alone in a memory cgroup (64 MiB by default) while busy
loops load the machine. wrk sends requests for a 1 KiB file with
"Connection: close", so that every request is a new connection and, for
quillbarrow, a new worker. A real client fetches the same file every 2 s
with a 2 s budget. Prints wrk's requests a second, the share of real
fetches answered 200, whether anything in the cgroup was killed for
memory, whether the server still runs, and the peak of what cgroup v2 would
charge. As root.

    sudo python3 bench/flood.py --server build/quillbarrow -c 256 -t 1
    sudo python3 bench/flood.py --command 'nginx -c /tmp/n.conf' --port 8080 ...
"""
import argparse, os, re, shlex, socket, subprocess, sys, tempfile, threading, time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from slow_clients import (charged_peak, make_cgroup, oom_kills, start_in_cgroup,  # noqa: E402
                          stop_in_cgroup)


def real_client(port, stop, results):
    while not stop.is_set():
        started = time.monotonic()
        ok = False
        try:
            with socket.create_connection(("127.0.0.1", port), 2) as s:
                s.settimeout(2)
                s.sendall(b"GET /1k.txt HTTP/1.1\r\nHost: x\r\n\r\n")
                ok = s.recv(65536).startswith(b"HTTP/1.1 200")
        except OSError:
            pass
        results.append(ok)
        time.sleep(max(0, 2 - (time.monotonic() - started)))


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--server", help="quillbarrow binary")
    p.add_argument("--command", help="another server's command line, serving --root on --port")
    p.add_argument("--port", type=int, default=18090)
    p.add_argument("--root", default=None)
    p.add_argument("-c", type=int, default=256, help="wrk's connections")
    p.add_argument("-t", type=int, default=1, help="wrk's threads")
    p.add_argument("--seconds", type=int, default=30)
    p.add_argument("--busy", type=int, default=2, help="busy loops beside it")
    p.add_argument("--memory", type=int, default=64 << 20)
    a = p.parse_args()
    root = a.root or tempfile.mkdtemp()
    os.chmod(root, 0o755)
    with open(f"{root}/1k.txt", "w") as f:
        f.write("x" * 1024)
    cgroup, v2 = make_cgroup(a.memory)
    command = [a.server, str(a.port), root] if a.server else shlex.split(a.command)
    server = start_in_cgroup(command, cgroup, a.port)
    busy = [subprocess.Popen(["sh", "-c", "while :; do :; done"]) for _ in range(a.busy)]
    try:
        stop, results = threading.Event(), []
        client = threading.Thread(target=real_client, args=(a.port, stop, results))
        client.start()
        wrk = subprocess.run(["wrk", f"-t{a.t}", f"-c{a.c}", f"-d{a.seconds}s", "-H", "Connection: close",
                              f"http://127.0.0.1:{a.port}/1k.txt"], capture_output=True, text=True)
        stop.set()
        client.join()
        rate = re.search(r"Requests/sec:\s+([\d.]+)", wrk.stdout)
        share = 100 * sum(results) / max(1, len(results))
        print(f"wrk -t{a.t} -c{a.c}: {float(rate.group(1)) if rate else 0:,.0f} requests/s, "
              f"{share:.0f} % of {len(results)} real fetches answered 200, "
              f"oom kills {oom_kills(cgroup, v2)}, server {'running' if server.poll() is None else 'gone'}, "
              f"peak charged {charged_peak(cgroup, v2) / (1 << 20):.1f} MiB")
    finally:
        for b in busy:
            b.kill()
        stop_in_cgroup(server, cgroup)


if __name__ == "__main__":
    sys.exit(main())
