#!/usr/bin/env bash
# Static analysis of the server: clang-tidy (checks in .clang-tidy) and
# cppcheck. Any finding fails.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/install-packages.sh clang-tidy cppcheck cmake make g++ libseccomp-dev
cmake -S . -B build/lint -DCMAKE_EXPORT_COMPILE_COMMANDS=ON -DQUILLBARROW_TESTS=OFF >/dev/null
echo "== clang-tidy"
# clang-tidy counts the warnings it found in system headers and suppressed
# ("N warnings generated."); those lines are not findings, so they are left out.
clang-tidy -p build/lint --quiet src/*/*.cpp 2> >(grep -v -E '^[0-9]+ warnings? generated\.$' >&2)
echo "== cppcheck"
cppcheck --enable=warning,performance,portability --std=c++20 --error-exitcode=1 \
    --inline-suppr --quiet -I src src
