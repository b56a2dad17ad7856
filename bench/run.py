#!/usr/bin/env python3
"""Benchmark quillbarrow against its peers and against the floor of its design.

Serves one generated tree with quillbarrow, nginx, lighttpd, busybox httpd,
mini_httpd and python's http.server, plus two floor programs (accept, fork,
fixed 1 KiB answer; and the same without fork), and loads each with wrk on
loopback, a new connection per request. Servers are interleaved round by
round; every figure is the median over the rounds, and every ratio is taken
within a round before the median is taken. Writes results.md and chart.svg
beside this script.
"""

import argparse
import os
import re
import shutil
import signal
import socket
import statistics
import subprocess
import sys
import tempfile
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(HERE)
BUILD = os.path.join(REPO, "build", "bench")

WORKLOADS = [
    # name, path, what to read off
    ("1k", "/file1k.txt", "rps"),
    ("64k", "/file64k.bin", "rps"),
    ("listing", "/dir100/", "rps"),
    ("16m", "/file16m.bin", "mbps"),
]


def run(cmd, **kw):
    return subprocess.run(cmd, check=True, **kw)


def build():
    os.makedirs(BUILD, exist_ok=True)
    run(["cmake", "-S", REPO, "-B", BUILD, "-DCMAKE_BUILD_TYPE=Release",
         "-DQUILLBARROW_TESTS=OFF"], stdout=subprocess.DEVNULL)
    run(["cmake", "--build", BUILD, "-j", str(os.cpu_count() or 2)], stdout=subprocess.DEVNULL)
    floor = os.path.join(HERE, "floor.c")
    run(["gcc", "-O2", "-o", os.path.join(BUILD, "floor_dynamic"), floor])
    run(["gcc", "-O2", "-static", "-o", os.path.join(BUILD, "floor_static"), floor])
    run(["gcc", "-O2", "-static", "-DNO_FORK", "-o", os.path.join(BUILD, "floor_nofork"), floor])
    run(["gcc", "-O2", "-static", "-o", os.path.join(BUILD, "landlock_cost"),
         os.path.join(HERE, "landlock_cost.c")])


def make_tree(tree):
    os.makedirs(os.path.join(tree, "dir100"), exist_ok=True)
    with open(os.path.join(tree, "file1k.txt"), "wb") as f:
        f.write(b"a" * 1023 + b"\n")
    with open(os.path.join(tree, "file64k.bin"), "wb") as f:
        f.write(os.urandom(65536))
    for i in range(100):
        with open(os.path.join(tree, "dir100", "entry-%03d.txt" % i), "wb") as f:
            f.write(b"entry %d\n" % i)
    with open(os.path.join(tree, "file16m.bin"), "wb") as f:
        f.write(os.urandom(16 << 20))
    with open(os.path.join(tree, "file256m.bin"), "wb") as f:
        chunk = os.urandom(1 << 20)
        for _ in range(256):
            f.write(chunk)
    for dirpath, dirnames, filenames in os.walk(tree):
        os.chmod(dirpath, 0o755)
        for name in filenames:
            os.chmod(os.path.join(dirpath, name), 0o644)
    os.chmod(os.path.dirname(tree), 0o755)


def server_commands(tree, work, port):
    """Name -> (argv, serves listings)."""
    nginx_conf = os.path.join(work, "nginx.conf")
    with open(nginx_conf, "w") as f:
        f.write("""worker_processes %d;
daemon off;
pid %s/nginx.pid;
error_log %s/nginx-error.log;
events { worker_connections 1024; }
http {
  include /etc/nginx/mime.types;
  access_log off;
  sendfile on;
  server { listen 127.0.0.1:%d; root %s; autoindex on; }
}
""" % (os.cpu_count() or 2, work, work, port, tree))
    lighttpd_conf = os.path.join(work, "lighttpd.conf")
    with open(lighttpd_conf, "w") as f:
        f.write("""server.document-root = "%s"
server.port = %d
server.bind = "127.0.0.1"
server.pid-file = "%s/lighttpd.pid"
server.errorlog = "%s/lighttpd-error.log"
server.modules += ( "mod_dirlisting" )
dir-listing.activate = "enable"
include_shell "/usr/share/lighttpd/create-mime.conf.pl"
""" % (tree, port, work, work))
    return {
        "quillbarrow": ([os.path.join(BUILD, "quillbarrow"), str(port), tree], True),
        "nginx": (["nginx", "-c", nginx_conf, "-p", work], True),
        "lighttpd": (["lighttpd", "-D", "-f", lighttpd_conf], True),
        "busybox httpd": (["busybox", "httpd", "-f", "-p", "127.0.0.1:%d" % port, "-h", tree], False),
        "mini_httpd": (["mini_httpd", "-D", "-p", str(port), "-d", tree, "-l", "/dev/null",
                        "-u", "nobody", "-h", "127.0.0.1"], True),
        "python http.server": ([sys.executable, "-m", "http.server", str(port), "--bind",
                                "127.0.0.1", "-d", tree], True),
        "fork floor (static)": ([os.path.join(BUILD, "floor_static"), str(port)], None),
        "fork floor (dynamic)": ([os.path.join(BUILD, "floor_dynamic"), str(port)], None),
        "no-fork floor": ([os.path.join(BUILD, "floor_nofork"), str(port)], None),
    }


def wait_for_port(port, timeout=10):
    deadline = time.time() + timeout
    while time.time() < deadline:
        try:
            socket.create_connection(("127.0.0.1", port), timeout=0.5).close()
            return True
        except OSError:
            time.sleep(0.05)
    return False


def process_tree(pid):
    children = {}
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open("/proc/%s/stat" % entry) as f:
                text = f.read()
        except OSError:
            continue
        ppid = int(text[text.rfind(")") + 2:].split()[1])
        children.setdefault(ppid, []).append(int(entry))
    tree, todo = [], [pid]
    while todo:
        p = todo.pop()
        tree.append(p)
        todo.extend(children.get(p, []))
    return tree


def pss_kib(pid):
    try:
        with open("/proc/%d/smaps_rollup" % pid) as f:
            for line in f:
                if line.startswith("Pss:"):
                    return int(line.split()[1])
    except OSError:
        pass
    return 0


class memory_sampler(threading.Thread):
    """Peak PSS of a server's whole process tree while it runs."""

    def __init__(self, pid):
        super().__init__(daemon=True)
        self.pid, self.peak, self.stop = pid, 0, False

    def run(self):
        while not self.stop:
            self.peak = max(self.peak, sum(pss_kib(p) for p in process_tree(self.pid)))
            time.sleep(0.5)  # sparingly: walking /proc takes CPU from the servers


def worker_pss(server_pid, port):
    """PSS of one worker process, held open by a reader that never reads."""
    s = socket.create_connection(("127.0.0.1", port))
    s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
    s.sendall(b"GET /file256m.bin HTTP/1.1\r\nHost: x\r\n\r\n")
    time.sleep(0.3)
    workers = [p for p in process_tree(server_pid) if p != server_pid]
    value = max((pss_kib(p) for p in workers), default=0)
    s.close()
    return value


def parse_duration(value, unit):
    return float(value) * {"us": 1e-3, "ms": 1.0, "s": 1e3}[unit]


def wrk(url, seconds, connections):
    out = subprocess.run(["wrk", "-t1", "-c%d" % connections, "-d%ds" % seconds, "--latency",
                          "-H", "Connection: close", url],
                         capture_output=True, text=True).stdout
    result = {}
    m = re.search(r"Requests/sec:\s+([\d.]+)", out)
    result["rps"] = float(m.group(1)) if m else 0.0
    m = re.search(r"Transfer/sec:\s+([\d.]+)([KMG]?B)", out)
    if m:
        scale = {"B": 1e-6, "KB": 1.024e-3, "MB": 1.048576, "GB": 1073.741824}[m.group(2)]
        result["mbps"] = float(m.group(1)) * scale
    for pct in ("50", "99"):
        m = re.search(r"\s%s%%\s+([\d.]+)(us|ms|s)\b" % pct, out)
        if m:
            result["p" + pct] = parse_duration(m.group(1), m.group(2))
    m = re.search(r"Non-2xx or 3xx responses: (\d+)", out)
    result["errors"] = int(m.group(1)) if m else 0
    m = re.search(r"(\d+) requests in", out)
    result["requests"] = int(m.group(1)) if m else 0
    return result


def curl_mbps(url):
    out = subprocess.run(["curl", "-s", "-o", "/dev/null", "-w", "%{speed_download}", url],
                         capture_output=True, text=True).stdout
    try:
        return float(out) / 1048576
    except ValueError:
        return 0.0


def measure(name, argv, listings, port, seconds, connections):
    proc = subprocess.Popen(argv, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                            start_new_session=True)
    figures = {}
    try:
        if not wait_for_port(port):
            print("  %s did not start" % name, file=sys.stderr)
            return figures
        sampler = memory_sampler(proc.pid)
        sampler.start()
        base = "http://127.0.0.1:%d" % port
        wrk(base + "/file1k.txt", 1, connections)  # warm up
        for workload, path, metric in WORKLOADS:
            if listings is None and workload != "1k":
                continue  # the floors answer one fixed response
            if workload == "listing" and not listings:
                continue
            r = wrk(base + path, seconds, connections)
            if r.get("errors", 0) > 0.01 * max(r.get("requests", 0), 1):
                # A rate of error pages says nothing about serving the file.
                print("  %s %s: %d non-2xx answers, figure dropped" % (name, workload, r["errors"]),
                      file=sys.stderr)
                continue
            figures[workload] = r.get(metric, 0.0)
            if workload == "1k":
                figures["p50"], figures["p99"] = r.get("p50", 0.0), r.get("p99", 0.0)
        if listings is not None:
            figures["256m"] = curl_mbps(base + "/file256m.bin")
            figures["worker_pss"] = worker_pss(proc.pid, port)
        sampler.stop = True
        sampler.join()
        figures["peak_mib"] = sampler.peak / 1024
    finally:
        os.killpg(proc.pid, signal.SIGTERM)
        try:
            proc.wait(timeout=5)
        except subprocess.TimeoutExpired:
            os.killpg(proc.pid, signal.SIGKILL)
            proc.wait()
        time.sleep(0.3)
    return figures


def median(values):
    values = [v for v in values if v is not None]
    return statistics.median(values) if values else None


def fmt(value, digits=0):
    if value is None:
        return "n/a"
    return ("{:,.%df}" % digits).format(value)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--seconds", type=int, default=3, help="per wrk run")
    parser.add_argument("--connections", type=int, default=8)
    parser.add_argument("--only", help="comma-separated servers to run")
    args = parser.parse_args()

    build()
    work = tempfile.mkdtemp(prefix="quillbarrow-bench-")
    os.chmod(work, 0o755)
    tree = os.path.join(work, "tree")
    make_tree(tree)
    port = 18700
    servers = server_commands(tree, work, port)
    names = list(servers)
    if args.only:
        wanted = args.only.split(",")
        names = [n for n in names if n in wanted or n in ("nginx", "fork floor (static)")]

    rounds = []
    for r in range(args.rounds):
        print("round %d of %d" % (r + 1, args.rounds), file=sys.stderr)
        figures = {}
        for name in names:
            argv, listings = servers[name]
            figures[name] = measure(name, argv, listings, port, args.seconds, args.connections)
            print("  %-22s %s" % (name, {k: round(v, 1) for k, v in figures[name].items()}),
                  file=sys.stderr)
        rounds.append(figures)
    landlock = subprocess.run([os.path.join(BUILD, "landlock_cost"), tree, "file1k.txt"],
                              capture_output=True, text=True).stdout.strip()
    shutil.rmtree(work, ignore_errors=True)

    columns = ["1k", "p50", "p99", "64k", "listing", "16m", "256m", "peak_mib", "worker_pss"]
    def fig(name, key):
        return median([rd[name].get(key) for rd in rounds])

    def ratio(name, key, against, against_key=None):
        values = []
        for rd in rounds:
            a, b = rd[name].get(key), rd.get(against, {}).get(against_key or key)
            if a and b:
                values.append(a / b)
        return median(values)

    machine = subprocess.run(["uname", "-srm"], capture_output=True, text=True).stdout.strip()
    cpu = ""
    with open("/proc/cpuinfo") as f:
        for line in f:
            if line.startswith("model name"):
                cpu = line.split(":", 1)[1].strip()
                break
    lines = ["# Benchmark results", "",
             "Machine: %s, %d cores (%s); wrk with 1 thread and %d connections sharing the cores, "
             "a new connection per request; %d rounds of %d s per figure, medians."
             % (cpu, os.cpu_count() or 0, machine, args.connections, args.rounds, args.seconds), "",
             "| server | 1 KiB req/s | p50 ms | p99 ms | 64 KiB req/s | listing req/s | 16 MiB MB/s "
             "| 256 MiB MB/s (curl) | peak PSS MiB | worker PSS KiB |",
             "|---|---|---|---|---|---|---|---|---|---|"]
    for name in names:
        lines.append("| %s | %s | %s | %s | %s | %s | %s | %s | %s | %s |" % (
            name, fmt(fig(name, "1k")), fmt(fig(name, "p50"), 2), fmt(fig(name, "p99"), 2),
            fmt(fig(name, "64k")), fmt(fig(name, "listing")), fmt(fig(name, "16m")),
            fmt(fig(name, "256m")), fmt(fig(name, "peak_mib"), 1), fmt(fig(name, "worker_pss"))))
    lines += ["", "Ratios, each taken within a round, then the median over rounds "
              "(request rates against the static fork floor's 1 KiB rate):", "",
              "| server | 1 KiB ÷ nginx | 1 KiB ÷ fork floor | 64 KiB ÷ nginx | 64 KiB ÷ fork floor "
              "| listing ÷ nginx | 16 MiB ÷ nginx | 256 MiB ÷ nginx |",
              "|---|---|---|---|---|---|---|---|"]
    floor = "fork floor (static)"
    for name in names:
        lines.append("| %s | %s | %s | %s | %s | %s | %s | %s |" % (
            name, fmt(ratio(name, "1k", "nginx"), 2), fmt(ratio(name, "1k", floor), 2),
            fmt(ratio(name, "64k", "nginx"), 2), fmt(ratio(name, "64k", floor, "1k"), 2),
            fmt(ratio(name, "listing", "nginx"), 2), fmt(ratio(name, "16m", "nginx"), 2),
            fmt(ratio(name, "256m", "nginx"), 2)))
    lines += ["", "Cost of the per-worker Landlock restriction, measured apart (median of 9 "
              "alternating batches of 1000 forks): " + landlock]
    report = "\n".join(lines) + "\n"
    with open(os.path.join(HERE, "results.md"), "w") as f:
        f.write(report)
    print(report)

    data = os.path.join(BUILD, "chart.dat")
    with open(data, "w") as f:
        for name in names:
            f.write('"%s" %s\n' % (name, " ".join(str(fig(name, k) or 0) for k in ("1k", "64k", "listing"))))
    script = """set terminal svg size 900,440 font "sans,11" background "#ffffff" noenhanced
set output '%s'
set title "Requests per second, a new connection per request (higher is better)"
set style data histograms
set style histogram clustered gap 1
set style fill solid 0.85 border -1
set boxwidth 0.9
set xtics rotate by -25 scale 0 nomirror
set bmargin 6
set key outside top center horizontal
set grid ytics
set yrange [0:*]
plot '%s' using 2:xtic(1) title "1 KiB file", '' using 3 title "64 KiB file", '' using 4 title "listing, 100 entries"
""" % (os.path.join(HERE, "chart.svg"), data)
    subprocess.run(["gnuplot"], input=script, text=True, check=True)


if __name__ == "__main__":
    main()
