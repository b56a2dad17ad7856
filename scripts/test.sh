#!/usr/bin/env bash
# Installs what the tests need (when missing), builds with warnings as
# errors and runs every test, then does the same again with the address and
# undefined-behaviour sanitizers.
set -euo pipefail
cd "$(dirname "$0")/.."

./scripts/install-packages.sh g++ cmake make libgtest-dev curl chromium

jobs=$(nproc)
run_suite() {
    local dir=$1
    shift
    cmake -S . -B "$dir" -DQUILLBARROW_WERROR=ON "$@"
    cmake --build "$dir" -j "$jobs"
    (cd "$dir" && ctest --output-on-failure -j "$jobs")
}

echo "== build and test"
run_suite build/check -DCMAKE_BUILD_TYPE=RelWithDebInfo
echo "== build and test with address and undefined-behaviour sanitizers"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    run_suite build/sanitize -DCMAKE_BUILD_TYPE=Debug -DQUILLBARROW_SANITIZE=ON
