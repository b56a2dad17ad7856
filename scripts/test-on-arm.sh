#!/usr/bin/env bash
# Cross-builds the server and its unit tests for 64-bit ARM (arm64) and
# 32-bit ARM (armhf), and runs each in an emulated machine (qemu-system,
# `-M virt -cpu max`) on Debian's own ARM kernel, from a busybox
# initramfs: user-mode emulation refuses a guest's seccomp filter, so the
# allowlist could not load there. In the machine, scripts/arm/guest-init.sh
# serves a small tree as root and as nobody and checks the answers, the
# filter in the parent and a worker, a sparse file over 4 GiB, that no call
# was refused or killed, and the unit tests. Fails on any of these, and on
# any start-up warning. Needs root (apt-get, dpkg --add-architecture).
#   ./scripts/test-on-arm.sh               both
#   ./scripts/test-on-arm.sh armhf         one
set -euo pipefail
cd "$(dirname "$0")/.."
src=$PWD
guests=("$@")
[ ${#guests[@]} -gt 0 ] || guests=(arm64 armhf)

packages=(qemu-system-arm cpio gzip cmake make libseccomp-dev libgtest-dev)
for guest in "${guests[@]}"; do
    case $guest in
    arm64) packages+=(g++-aarch64-linux-gnu libseccomp-dev:arm64 libgtest-dev:arm64) ;;
    armhf) packages+=(g++-arm-linux-gnueabihf libseccomp-dev:armhf libgtest-dev:armhf) ;;
    *) echo "unknown guest $guest: arm64 or armhf" >&2; exit 2 ;;
    esac
    dpkg --print-foreign-architectures | grep -qx "$guest" || {
        dpkg --add-architecture "$guest"
        # A mirror in the middle of a sync may fail an index: the install
        # below updates again and says what it cannot find.
        apt-get update -q >/dev/null || true
    }
done
./scripts/install-packages.sh "${packages[@]}"

run_guest() {
    local guest=$1 triplet kernel_package qemu
    case $guest in
    arm64)
        triplet=aarch64-linux-gnu kernel_package=linux-image-arm64
        # pauth-impdef: the same pointer authentication, far cheaper to emulate.
        qemu=(qemu-system-aarch64 -M virt -cpu max,pauth-impdef=on) ;;
    armhf)
        triplet=arm-linux-gnueabihf kernel_package=linux-image-armmp-lpae
        qemu=(qemu-system-arm -M virt -cpu max) ;;
    esac
    local work=$src/build/arm/$guest
    mkdir -p "$work"
    echo "== $guest: cross-build"
    # Static, as released; the unit tests too, discovered when run. (Called
    # in a condition, this function is not stopped by set -e: every step
    # says for itself that it failed.)
    cmake -S "$src" -B "$work/build" -DCMAKE_TOOLCHAIN_FILE="$src/scripts/arm/$triplet.cmake" \
        -DCMAKE_BUILD_TYPE=Release -DQUILLBARROW_WERROR=ON -DCMAKE_EXE_LINKER_FLAGS=-static \
        -DCMAKE_GTEST_DISCOVER_TESTS_DISCOVERY_MODE=PRE_TEST >"$work/configure.log" ||
        { tail -n 20 "$work/configure.log"; return 1; }
    cmake --build "$work/build" -j "$(nproc)" --target quillbarrow unit_tests >"$work/build.log" ||
        { tail -n 40 "$work/build.log"; return 1; }
    "$triplet-gcc" -O2 -Wall -static -o "$work/guest-helper" scripts/arm/guest-helper.c || return 1

    # Debian's kernel for the machine (the one its meta package names) and
    # a static busybox.
    local kernel_deb
    kernel_deb=$(apt-cache depends "$kernel_package:$guest" |
        awk '/Depends: linux-image-/ {sub(/:[a-z0-9]+$/, "", $2); print $2; exit}')
    rm -rf "$work/unpacked" "$work/initramfs"
    mkdir -p "$work/debs" "$work/unpacked" "$work/initramfs/bin"
    # Kept from the last run while the kernel is the same.
    if ! ls "$work/debs/${kernel_deb}_"*.deb >/dev/null 2>&1; then
        rm -f "$work"/debs/*.deb
        (cd "$work/debs" && apt-get download -q "$kernel_deb:$guest" "busybox-static:$guest" >/dev/null 2>&1)
    fi
    for deb in "$work"/debs/*.deb; do dpkg-deb -x "$deb" "$work/unpacked" || return 1; done
    # /bin on Debian 12, /usr/bin from Debian 13 on.
    local busybox kernel
    busybox=$(find "$work/unpacked" -path '*bin/busybox' -type f | head -n 1)
    kernel=$(find "$work/unpacked/boot" -name 'vmlinuz-*' | head -n 1)
    [ -n "$busybox" ] && [ -n "$kernel" ] || { echo "$guest: no busybox or kernel in the packages"; return 1; }
    cp "$busybox" "$work/initramfs/bin/" &&
        cp "$work/build/quillbarrow" "$work/build/tests/unit_tests" "$work/guest-helper" "$work/initramfs/" &&
        install -m 755 scripts/arm/guest-init.sh "$work/initramfs/init" || return 1
    (cd "$work/initramfs" && find . | cpio -o -H newc --quiet | gzip -1) >"$work/initrd.gz" || return 1

    echo "== $guest: $(basename "$kernel") under $("${qemu[0]}" --version | head -n 1)"
    local started=$SECONDS status=0
    timeout 1200 "${qemu[@]}" -smp 2 -m 1024 -nographic -no-reboot -nic none \
        -kernel "$kernel" -initrd "$work/initrd.gz" \
        -append "console=ttyAMA0 rdinit=/init panic=-1 quiet" </dev/null >"$work/console.log" 2>&1 ||
        status=$?
    tr -d '\r' <"$work/console.log" >"$work/console.txt"
    grep -E '^(===|  \||\[  (PASSED|FAILED))' "$work/console.txt" || true
    echo "== $guest: $((SECONDS - started)) s in the machine (console: build/arm/$guest/console.txt)"
    if [ "$status" != 0 ] || ! grep -q '^=== end$' "$work/console.txt"; then
        echo "$guest: the machine did not reach its end (qemu status $status)"
        return 1
    fi
    ! grep -q '^=== FAIL' "$work/console.txt"
}

failed=0
for guest in "${guests[@]}"; do
    run_guest "$guest" || { echo "== $guest: FAILED"; failed=1; }
done
exit $failed
