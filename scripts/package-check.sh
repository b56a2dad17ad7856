#!/usr/bin/env bash
# Builds the .deb, installs it, serves a file with the installed binary,
# checks the man page and the service unit, and removes the package again.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/install-packages.sh g++ cmake make libseccomp-dev curl python3 dpkg-dev file man-db systemd
sudo_cmd=()
[ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)

cmake -S . -B build/package -DCMAKE_BUILD_TYPE=Release -DQUILLBARROW_TESTS=OFF >/dev/null
cmake --build build/package -j "$(nproc)"
(cd build/package && cpack -G DEB >/dev/null)
deb=$(ls build/package/quillbarrow_*.deb)
echo "== package $deb"
dpkg-deb --contents "$deb"

echo "== the unit runs the binary where the prefix put it"
unit_runs() { grep -o '^ExecStart=[^ ]*' "$1" | cut -d= -f2; }
stage=$(mktemp -d)
DESTDIR="$stage" cmake --install build/package --prefix /usr/local >/dev/null
[ "$(unit_runs "$stage/usr/local/lib/systemd/system/quillbarrow.service")" = /usr/local/bin/quillbarrow ] ||
    { echo "unit installed under /usr/local does not run /usr/local/bin/quillbarrow"; exit 1; }
[ -x "$stage/usr/local/bin/quillbarrow" ] || { echo "no binary in /usr/local/bin"; exit 1; }
rm -rf "$stage"

echo "== man page"
man --warnings -l man/quillbarrow.1 >/dev/null 2>build/package/man-warnings.txt
if [ -s build/package/man-warnings.txt ]; then cat build/package/man-warnings.txt; exit 1; fi

"${sudo_cmd[@]}" dpkg -i "$deb"
work=$(mktemp -d)
server_pid=
cleanup() {
    [ -n "$server_pid" ] && kill "$server_pid" 2>/dev/null || true
    rm -rf "$work"
    "${sudo_cmd[@]}" dpkg -r quillbarrow >/dev/null 2>&1 || true
}
trap cleanup EXIT

echo "== installed binary serves a file"
echo "installed and serving" >"$work/hello.txt"
# Started as root it serves as nobody, who must be able to enter the tree.
chmod 755 "$work"
# A port below the kernel's ephemeral range (32768 on), where the client
# connections of a busy machine cannot take it; another if it is taken.
for _ in 1 2 3 4 5; do
    port=$((20000 + RANDOM % 12000))
    /usr/bin/quillbarrow "$port" "$work" >"$work.banner" &
    server_pid=$!
    for _ in $(seq 50); do
        grep -q serving "$work.banner" 2>/dev/null && break
        kill -0 "$server_pid" 2>/dev/null || break
        sleep 0.1
    done
    grep -q serving "$work.banner" && break
    wait "$server_pid" || true
    server_pid=
done
[ -n "$server_pid" ] || { echo "the installed binary did not start"; exit 1; }
body=$(curl -sSf "http://127.0.0.1:$port/hello.txt")
[ "$body" = "installed and serving" ] || { echo "unexpected body: $body"; exit 1; }
kill "$server_pid"; server_pid=
rm -f "$work.banner"

echo "== man quillbarrow"
man -w quillbarrow
echo "== systemd-analyze verify"
systemd-analyze verify /lib/systemd/system/quillbarrow.service
[ "$(unit_runs /lib/systemd/system/quillbarrow.service)" = /usr/bin/quillbarrow ] ||
    { echo "the packaged unit does not run /usr/bin/quillbarrow"; exit 1; }

"${sudo_cmd[@]}" dpkg -r quillbarrow
! command -v quillbarrow >/dev/null || { echo "binary left behind after removal"; exit 1; }
echo "package round trip passed"
