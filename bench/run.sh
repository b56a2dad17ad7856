#!/usr/bin/env bash
# Installs what the benchmark needs (when missing) and runs it; arguments go
# to run.py (--rounds, --seconds, --connections, --only).
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/install-packages.sh g++ cmake make libseccomp-dev curl python3 wrk gnuplot-nox nginx-light lighttpd \
    busybox mini-httpd libc6-dev
exec python3 bench/run.py "$@"
