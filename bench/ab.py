#!/usr/bin/env python3
"""A/B: two builds of the server (or one against the fork floor), alternated.

Serves the benchmark tree with each of two binaries in turn, loads each with
wrk for a few seconds on one path, and prints the median of the per-pair
ratios B / A, which cancels the drift of a shared machine. A run of one
binary against itself tells the noise (about 1% here).

    python3 bench/ab.py A_BINARY B_BINARY [--path /file1k.txt] [--pairs 7] [--seconds 3]

A binary named floor_static or floor_nofork is started as the floor (port
only), any other as quillbarrow (port and root). Build the floors with
bench/run.sh first, or gcc -O2 -static bench/floor.c.
"""

import argparse
import os
import statistics
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import run  # noqa: E402  (the benchmark's tree, wrk and server helpers)


def argv_for(binary, port, tree):
    if os.path.basename(binary).startswith("floor"):
        return [binary, str(port)]
    return [binary, str(port), tree]


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("a")
    parser.add_argument("b")
    parser.add_argument("--path", default="/file1k.txt")
    parser.add_argument("--pairs", type=int, default=7)
    parser.add_argument("--seconds", type=int, default=3)
    parser.add_argument("--connections", type=int, default=8)
    parser.add_argument("--pin", action="store_true",
                        help="server on the last core, wrk on the others: steadier figures")
    args = parser.parse_args()

    work = tempfile.mkdtemp(prefix="quillbarrow-ab-")
    os.chmod(work, 0o755)
    tree = os.path.join(work, "tree")
    run.make_tree(tree)
    port = 18790
    metric = "mbps" if args.path.endswith("m.bin") else "rps"
    ratios, rates = [], {"a": [], "b": []}
    try:
        for pair in range(args.pairs):
            got = {}
            # Alternate which goes first, so that neither always runs warm.
            order = ("a", "b") if pair % 2 == 0 else ("b", "a")
            for side in order:
                figures = measure(argv_for(getattr(args, side), port, tree), port, args)
                got[side] = figures.get(metric, 0.0)
                rates[side].append(got[side])
            ratios.append(got["b"] / got["a"] if got["a"] else 0.0)
            print(f"pair {pair + 1}: A {got['a']:,.0f}  B {got['b']:,.0f}  B/A {ratios[-1]:.3f}",
                  file=sys.stderr)
    finally:
        run.shutil.rmtree(work, ignore_errors=True)
    print(f"{args.path}: A median {statistics.median(rates['a']):,.0f}, "
          f"B median {statistics.median(rates['b']):,.0f} {metric}; "
          f"B/A median of {len(ratios)} pairs {statistics.median(ratios):.3f} "
          f"(range {min(ratios):.3f}-{max(ratios):.3f})")


def measure(argv, port, args):
    cores = os.cpu_count() or 1
    if args.pin and cores > 1:
        argv = ["taskset", "-c", str(cores - 1)] + argv
        os.sched_setaffinity(0, set(range(cores - 1)))  # wrk inherits it
    proc = run.subprocess.Popen(argv, stdout=run.subprocess.DEVNULL,
                                stderr=run.subprocess.DEVNULL, start_new_session=True)
    try:
        if not run.wait_for_port(port):
            sys.exit(f"{argv[0]} did not start")
        base = f"http://127.0.0.1:{port}"
        run.wrk(base + args.path, 1, args.connections)  # warm up
        return run.wrk(base + args.path, args.seconds, args.connections)
    finally:
        os.killpg(proc.pid, run.signal.SIGTERM)
        proc.wait()
        run.time.sleep(0.3)


if __name__ == "__main__":
    main()
