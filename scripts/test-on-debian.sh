#!/usr/bin/env bash
# Builds and runs the test suite (without the browser test) inside a minimal
# root of another Debian release, so that a C library other than this
# machine's meets the system-call allowlist on every run. Needs root.
#   ./scripts/test-on-debian.sh            Debian 13 (trixie)
#   ./scripts/test-on-debian.sh bookworm   any suite debootstrap knows
#   ./scripts/test-on-debian.sh --other    prints the release this machine is
#                                          not: trixie, or on trixie bookworm
# The root, with the build packages in it, is cached as one tarball under
# ${XDG_CACHE_HOME:-~/.cache}/quillbarrow; delete it to start afresh.
set -euo pipefail
cd "$(dirname "$0")/.."
suite=${1:-trixie}
if [ "$suite" = --other ]; then
    . /etc/os-release
    [ "${VERSION_CODENAME:-}" = trixie ] && echo bookworm || echo trixie
    exit 0
fi
[ "$(id -u)" -eq 0 ] || { echo "test-on-debian.sh: needs root (debootstrap, chroot, mounts)" >&2; exit 1; }
./scripts/install-packages.sh debootstrap debian-archive-keyring git

cache=${XDG_CACHE_HOME:-$HOME/.cache}/quillbarrow
tarball=$cache/debian-$suite.tar.gz
work=$(mktemp -d /tmp/quillbarrow-$suite.XXXXXX)
root=$work/root

cleanup() {
    # Every process still running in the root, then every mount, deepest first.
    for p in /proc/[0-9]*; do
        case $(readlink "$p/root" 2>/dev/null) in "$root" | "$root"/*) kill -KILL "${p#/proc/}" 2>/dev/null || true ;; esac
    done
    findmnt -rn -o TARGET | awk -v r="$root/" 'index($0, r) == 1' | sort -r |
        while read -r m; do umount -l "$m" 2>/dev/null || true; done
    rm -rf --one-file-system "$work"
}
trap cleanup EXIT

in_root() {
    chroot "$root" /usr/bin/env -i HOME=/root LANG=C.UTF-8 \
        PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin "$@"
}
mount_system() {
    mkdir -p "$root/proc" "$root/sys" "$root/dev"
    mount -t proc proc "$root/proc"
    mount --rbind /sys "$root/sys"
    mount --bind /dev "$root/dev"
    mount --bind /dev/pts "$root/dev/pts"
    mount -t tmpfs -o mode=1777,nosuid,nodev shm "$root/dev/shm"
    cp /etc/resolv.conf "$root/etc/resolv.conf" 2>/dev/null || true
}
# What the test script would install, installed once into the cached root.
packages=(g++ cmake make libseccomp-dev libgtest-dev curl strace python3 ca-certificates)

mkdir -p "$root" "$cache"
if [ -s "$tarball" ]; then
    echo "== Debian $suite root: cached $(date -r "$tarball" +%F)"
    tar -C "$root" -xzf "$tarball"
    mount_system
else
    echo "== Debian $suite root: debootstrap (once; cached after)"
    # This machine's mirror, if it names one.
    mirror=$(awk '/^URIs:/ {print $2; exit}' /etc/apt/sources.list.d/debian.sources 2>/dev/null || true)
    debootstrap --variant=minbase "$suite" "$root" "${mirror:-http://deb.debian.org/debian}" >"$work/debootstrap.log" 2>&1 ||
        { tail -n 20 "$work/debootstrap.log"; exit 1; }
    for f in /etc/apt/apt.conf.d/99artifact-registry; do [ -f "$f" ] && cp "$f" "$root/etc/apt/apt.conf.d/"; done
    mount_system
    in_root bash -c "apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq ${packages[*]} >/dev/null"
    tar -C "$root" --one-file-system --exclude=./proc --exclude=./sys --exclude=./dev -czf "$tarball.$$" . &&
        mv "$tarball.$$" "$tarball"
fi
in_root bash -c 'grep PRETTY_NAME /etc/os-release; ldd --version | head -n 1'

# The working tree as it stands, committed or not, without its build output.
mkdir -p "$root/src"
git ls-files -z --cached --others --exclude-standard | tar --null -T - -c | tar -x -C "$root/src"
in_root bash -c 'cd /src && ./scripts/test.sh --no-browser'
