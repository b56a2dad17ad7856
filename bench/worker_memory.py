#!/usr/bin/env python3
"""What one connection costs in a memory cgroup, kernel memory included.

Runs a server in a memory cgroup of its own (cgroup v2, or v1's memory
controller with TCP buffer accounting switched on), then holds N idle
connections, then N heads that never end (a request line alone), then N downloads
of a 64 MiB file whose clients never read, then N such downloads by
clients with a 4 KiB receive buffer (a slow reader that takes nothing yet),
and reports what the cgroup's usage grew by per connection. As root.

    bench/worker_memory.py build/quillbarrow [--nginx] [-n 200]
"""
import argparse, os, signal, socket, subprocess, sys, tempfile, time

V2 = os.path.exists("/sys/fs/cgroup/cgroup.controllers")


def own_cgroup():
    for line in open("/proc/self/cgroup"):
        hierarchy, controllers, path = line.rstrip("\n").split(":", 2)
        if V2 and hierarchy == "0":
            return "/sys/fs/cgroup" + path
        if not V2 and "memory" in controllers.split(","):
            return "/sys/fs/cgroup/memory" + path
    sys.exit("no memory cgroup")


def make_cgroup(name):
    path = os.path.join(own_cgroup(), name)
    os.makedirs(path, exist_ok=True)
    if not V2:
        # v1 charges socket buffers only once a TCP limit is set.
        with open(path + "/memory.kmem.tcp.limit_in_bytes", "w") as f:
            f.write(str(1 << 40))
    return path


def usage(path):
    """Bytes in use, socket buffers included (v1 keeps those apart)."""
    if V2:
        return int(open(path + "/memory.current").read())
    total = int(open(path + "/memory.usage_in_bytes").read())
    return total + int(open(path + "/memory.kmem.tcp.usage_in_bytes").read())


def settle(path):
    time.sleep(2)
    return usage(path)


def hold(port, n, request, receive_buffer=0):
    socks = []
    for _ in range(n):
        s = socket.socket()
        if receive_buffer:
            s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, receive_buffer)
        s.connect(("127.0.0.1", port))
        if request:
            s.sendall(request)
        socks.append(s)
    return socks


def measure(label, cmd, port, cgroup, n, big):
    proc = subprocess.Popen(["sh", "-c", 'echo $$ > "$0/cgroup.procs" && exec "$@"', cgroup] + cmd,
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    for _ in range(100):
        try:
            socket.create_connection(("127.0.0.1", port)).close()
            break
        except OSError:
            time.sleep(0.1)
    base = settle(cgroup)
    idle = hold(port, n, None)
    idle_cost = (settle(cgroup) - base) / n
    for s in idle:
        s.close()
    base = settle(cgroup)
    slow = hold(port, n, b"GET / HTTP/1.1\r\n")
    slow_cost = (settle(cgroup) - base) / n
    for s in slow:
        s.close()
    base = settle(cgroup)
    stalled = hold(port, n, b"GET /%s HTTP/1.1\r\nHost: x\r\n\r\n" % big.encode())
    stalled_cost = (settle(cgroup) - base) / n
    for s in stalled:
        s.close()
    base = settle(cgroup)
    slow_reader = hold(port, n, b"GET /%s HTTP/1.1\r\nHost: x\r\n\r\n" % big.encode(), 4096)
    slow_reader_cost = (settle(cgroup) - base) / n
    for s in slow_reader:
        s.close()
    proc.send_signal(signal.SIGINT if "nginx" not in label else signal.SIGTERM)
    proc.wait(10)
    print(f"{label}: idle connection {idle_cost / 1024:.1f} KiB, "
          f"head that never ends {slow_cost / 1024:.1f} KiB, "
          f"stalled download {stalled_cost / 1024:.0f} KiB, "
          f"slow reader (4 KiB receive buffer) {slow_reader_cost / 1024:.0f} KiB (mean of {n})")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("binary")
    parser.add_argument("-n", type=int, default=200)
    parser.add_argument("--nginx", action="store_true", help="measure nginx too")
    args = parser.parse_args()
    root = tempfile.mkdtemp()
    os.chmod(root, 0o755)  # nginx's workers run as www-data
    with open(root + "/big.bin", "wb") as f:
        f.truncate(64 << 20)
    # Read once, so that the page cache holds it before the measurement.
    subprocess.run(["cat", root + "/big.bin"], stdout=subprocess.DEVNULL, check=True)
    measure("quillbarrow", [os.path.abspath(args.binary), "18601", root],
            18601, make_cgroup("qb-memory"), args.n, "big.bin")
    if args.nginx:
        conf = root + "/nginx.conf"
        with open(conf, "w") as f:
            f.write(f"""daemon off; worker_processes 1; pid {root}/nginx.pid;
error_log /dev/null; events {{ worker_connections 4096; }}
http {{ access_log off; sendfile on;
  server {{ listen 127.0.0.1:18602; root {root}; }} }}""")
        measure("nginx", ["nginx", "-c", conf], 18602, make_cgroup("nginx-memory"), args.n,
                "big.bin")
    subprocess.run(["rm", "-rf", root])


main()
