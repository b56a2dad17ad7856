#!/usr/bin/env bash
# Builds the libFuzzer targets with address and undefined-behaviour
# sanitizers and runs each for a bounded time (seconds, default 60), starting
# from the checked-in seeds. Any finding fails the run and leaves the
# crashing input in build/fuzz/findings/.
#   ./scripts/fuzz.sh            about a minute per target
#   ./scripts/fuzz.sh 3600       a longer campaign: an hour per target
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
./scripts/install-packages.sh clang cmake make
# The sanitizer and fuzzer runtimes come in a package named for clang's
# major version (14 on Debian 12, 19 on Debian 13).
clang_major=$(clang -dumpversion | cut -d. -f1)
./scripts/install-packages.sh "libclang-rt-$clang_major-dev"

cmake -S . -B build/fuzz -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DQUILLBARROW_FUZZ=ON -DQUILLBARROW_TESTS=OFF -DQUILLBARROW_WERROR=ON
cmake --build build/fuzz -j "$(nproc)"

mkdir -p build/fuzz/findings
status=0
for target in request_head decode_target listing_encoders; do
    work=build/fuzz/corpus/$target
    mkdir -p "$work"
    echo "== fuzz_$target for ${seconds}s"
    if ! ./build/fuzz/fuzz_$target -max_total_time="$seconds" -print_final_stats=1 \
        -artifact_prefix=build/fuzz/findings/ "$work" fuzz/corpus/$target 2>build/fuzz/$target.log; then
        status=1
        tail -n 40 build/fuzz/$target.log
    fi
    grep -E "stat::number_of_executed_units|stat::average_exec_per_sec" build/fuzz/$target.log || true
done
exit $status
