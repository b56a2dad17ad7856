#!/usr/bin/env bash
# Installs what the tests need (when missing), builds with warnings as
# errors and runs every test, then does the same again with the address and
# undefined-behaviour sanitizers.
#   ./scripts/test.sh                every test, headless Chromium included
#   ./scripts/test.sh --no-browser   without the browser test, and without
#                                    installing Chromium (most of the download)
set -euo pipefail
cd "$(dirname "$0")/.."

packages=(g++ cmake make libseccomp-dev libgtest-dev curl strace pkg-config libfuse3-dev fuse3)
ctest_filter=()
if [ "${1:-}" = "--no-browser" ]; then
    ctest_filter=(-E '^browser\.')
else
    packages+=(chromium)
fi
./scripts/install-packages.sh "${packages[@]}"

jobs=$(nproc)
run_suite() {
    local dir=$1 started
    shift
    started=$(date +%s)
    cmake -S . -B "$dir" -DQUILLBARROW_WERROR=ON "$@"
    cmake --build "$dir" -j "$jobs"
    (cd "$dir" && ctest --output-on-failure -j "$jobs" "${ctest_filter[@]}")
    # Every server a test started, and every worker of it, ends with its
    # test; one still running here (started in this session since the suite
    # began, whatever its command line; zombies waiting for init to reap
    # them are not running) would outlive the suite.
    sleep 1
    local left
    left=$(ps -s "$(ps -o sid= -p $$ | tr -d ' ')" -o etimes=,pid=,stat=,comm=,args= |
        awk -v age=$(($(date +%s) - started)) '$1 <= age && $4 ~ /^quillbarrow/ && $3 !~ /^Z/' || true)
    if [ -n "$left" ]; then
        echo "server processes left running after the tests:"
        echo "$left"
        return 1
    fi
}

echo "== build and test"
run_suite build/check -DCMAKE_BUILD_TYPE=RelWithDebInfo
echo "== build and test with address and undefined-behaviour sanitizers"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    run_suite build/sanitize -DCMAKE_BUILD_TYPE=Debug -DQUILLBARROW_SANITIZE=ON
