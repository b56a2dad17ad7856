#!/usr/bin/env bash
# Builds the container image (contrib/Containerfile) with podman, serves a
# tree from it with the hardening flags the README shows, and checks a file,
# a listing and a 100 MiB download; then stops the container while a
# rate-limited download runs, and asserts that the download completes, that
# the stop returns within a second of the download's end, and that the exit
# status is 0. Last, it floods the image run with 64 MiB of memory with
# 2,000 idle connections: the server must neither be killed nor let the
# container be, and must serve again within seconds once they leave.
# Needs root.
set -euo pipefail
cd "$(dirname "$0")/.."
# podman cannot unpack an image's layers inside a chroot (it remounts /),
# so a chroot, such as a fresh Debian root made with debootstrap, cannot
# run this check; a machine or a VM can.
if ischroot; then
    echo "== container check: not run inside a chroot, where podman cannot unpack image layers"
    exit 0
fi
./scripts/install-packages.sh podman runc curl python3 g++ cmake make libseccomp-dev

work=$PWD/build/container-check
image=localhost/quillbarrow:check
name=quillbarrow-check-$$
port=$((20000 + $$ % 20000))
rm -rf "$work"
mkdir -p "$work/image/srv/www" "$work/site/docs"

# runc rather than crun, which refuses a host with a mixed cgroup layout,
# and limits that runc can set here (podman's defaults lie above what this
# host allows): one process and a few descriptors a connection.
files=$(ulimit -Hn); processes=$(ulimit -Hu)
[ "$files" = unlimited ] || [ "$files" -gt 16384 ] && files=16384
[ "$processes" = unlimited ] || [ "$processes" -gt 16384 ] && processes=16384
cat >"$work/containers.conf" <<CONF
[containers]
default_ulimits = ["nofile=$files:$files", "nproc=$processes:$processes"]
[engine]
runtime = "runc"
CONF
export CONTAINERS_CONF=$work/containers.conf

cleanup() {
    podman rm -f -t 0 "$name" >/dev/null 2>&1 || true
    podman rm -f -t 0 "$name-flood" >/dev/null 2>&1 || true
    podman rmi -f "$image" >/dev/null 2>&1 || true
}
trap cleanup EXIT
fail() { echo "container check: $*"; podman logs "$name" 2>&1 | sed 's/^/  log: /' || true; exit 1; }

echo "== container image"
cmake -S . -B build/release -DCMAKE_BUILD_TYPE=Release -DQUILLBARROW_TESTS=OFF >/dev/null
cmake --build build/release -j "$(nproc)" >/dev/null
strip -o "$work/image/quillbarrow" build/release/quillbarrow
podman build -q -f contrib/Containerfile -t "$image" "$work/image" >/dev/null
echo "image: $(podman image inspect "$image" --format '{{.Size}}') bytes"

echo hello >"$work/site/hello.txt"
echo notes >"$work/site/docs/notes.txt"
head -c $((100 << 20)) /dev/urandom >"$work/site/big.bin"
chmod -R a+rX "$work/site"
sum=$(sha256sum <"$work/site/big.bin")

podman run -d --name "$name" --read-only --cap-drop=ALL --security-opt no-new-privileges \
    -p "127.0.0.1:$port:8080" -v "$work/site:/srv/www:ro" "$image" >/dev/null
url=http://127.0.0.1:$port
for _ in $(seq 100); do curl -sf -o /dev/null "$url/hello.txt" && break; sleep 0.1; done

[ "$(curl -sf "$url/hello.txt")" = hello ] || fail "GET /hello.txt"
curl -sf "$url/docs/" | grep -q '<a href="/docs/notes.txt">notes.txt</a>' || fail "no listing of /docs/"
[ "$(curl -sf "$url/big.bin" | sha256sum)" = "$sum" ] || fail "the 100 MiB download differs"
[ "$(podman logs "$name" 2>&1)" = "quillbarrow serving /srv/www on http://0.0.0.0:8080/" ] ||
    fail "the server printed more than its banner (a confinement it could not enforce?)"
echo "GET, listing and a 100 MiB download: right"

# About 5 s of download at 20 MiB/s; the stop comes a second into it.
curl -sf --limit-rate 20M -o "$work/slow.bin" -w '%{http_code}' "$url/big.bin" >"$work/slow.code" &
download=$!
sleep 1
podman stop -t 30 "$name" >/dev/null &
stop=$!
wait "$download" || fail "the download in flight failed"
download_end=$(date +%s%N)
wait "$stop" || fail "podman stop failed"
stop_end=$(date +%s%N)
late_ms=$(( (stop_end - download_end) / 1000000 ))
status=$(podman inspect "$name" --format '{{.State.ExitCode}}')
[ "$(sha256sum <"$work/slow.bin")" = "$sum" ] || fail "the download in flight was cut ($(stat -c %s "$work/slow.bin") bytes)"
[ "$late_ms" -le 1000 ] || fail "the stop returned $late_ms ms after the download's end"
[ "$status" = 0 ] || fail "exit status $status"
echo "stop during a download: complete, stop $late_ms ms after its end, exit status 0"

# 2,000 clients held for 10 s against a container of 64 MiB, half of them
# sending nothing and half a request line that never ends: none of them
# takes a worker, nothing is killed, and a real client is answered at once
# all the while.
name=$name-flood
podman run -d --name "$name" --memory 64m --read-only --cap-drop=ALL \
    --security-opt no-new-privileges -p "127.0.0.1:$port:8080" -v "$work/site:/srv/www:ro" \
    "$image" >/dev/null
for _ in $(seq 100); do curl -sf -o /dev/null "$url/hello.txt" && break; sleep 0.1; done
python3 - "$port" <<'FLOOD' || fail "the flood"
import resource, socket, struct, sys, time
port = int(sys.argv[1])
resource.setrlimit(resource.RLIMIT_NOFILE, (4096, resource.getrlimit(resource.RLIMIT_NOFILE)[1]))
clients = []
for i in range(2000):
    s = socket.socket()
    s.settimeout(10)
    s.connect(("127.0.0.1", port))
    if i % 2:
        s.sendall(b"GET /hello.txt HTTP/1.1\r\n")
    clients.append(s)
started = time.monotonic()
time.sleep(2)
for attempt in range(3):
    asked = time.monotonic()
    real = socket.create_connection(("127.0.0.1", port), 2)
    real.settimeout(2)
    real.sendall(b"GET /hello.txt HTTP/1.1\r\n\r\n")
    answer = real.recv(4096)
    real.close()
    waited_ms = (time.monotonic() - asked) * 1000
    if not answer.startswith(b"HTTP/1.1 200") or waited_ms > 1000:
        sys.exit(f"a real client during the flood: {answer[:20]!r} after {waited_ms:.0f} ms")
    time.sleep(1)
time.sleep(max(0, 10 - (time.monotonic() - started)))
# They vanish: reset, not closed. A client that closes after part of a
# head is answered with what it sent, and a thousand of them at once would
# take workers for a moment.
for s in clients:
    s.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
    s.close()
FLOOD
state=$(podman inspect "$name" --format '{{.State.Running}} {{.State.OOMKilled}}')
[ "$state" = "true false" ] || fail "after 2,000 idle connections: running, OOM-killed: $state"
left=$(date +%s%N)
for _ in $(seq 50); do curl -sf -m 5 -o /dev/null "$url/hello.txt" && break; sleep 0.1; done
served_ms=$(( ($(date +%s%N) - left) / 1000000 ))
[ "$(curl -sf -m 5 "$url/hello.txt")" = hello ] || fail "no 200 after the flood"
[ "$served_ms" -le 5000 ] || fail "a new client waited $served_ms ms after the flood"
busy=$(podman logs "$name" 2>&1 | grep -c 'workers busy') || true
[ "$busy" = 0 ] || fail "connections without a whole head took workers: $busy lines at the bound"
echo "2,000 idle and slow connections in 64 MiB: running, not OOM-killed, real clients answered within 1 s during, served $served_ms ms after they left"
