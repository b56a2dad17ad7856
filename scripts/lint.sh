#!/usr/bin/env bash
# Static analysis of the server: the layout (.clang-format), clang-tidy
# (checks in .clang-tidy) and cppcheck. Any finding fails.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/install-packages.sh clang-format clang-tidy cppcheck cmake make g++ libseccomp-dev
echo "== clang-format"
# The layout is kept with Debian 12's clang-format (14), which CI runs;
# another release lays a few lines out otherwise, so there its differences
# are shown but do not fail.
sources=$(find src tests fuzz -name '*.cpp' -o -name '*.h' | sort)
if [ "$(clang-format --version | grep -oE 'version [0-9]+' | cut -d' ' -f2)" = 14 ]; then
    # shellcheck disable=SC2086
    clang-format --dry-run --Werror $sources
else
    # shellcheck disable=SC2086
    clang-format --dry-run $sources 2>&1 | head -n 20 || true
fi
cmake -S . -B build/lint -DCMAKE_EXPORT_COMPILE_COMMANDS=ON -DQUILLBARROW_TESTS=OFF >/dev/null
echo "== clang-tidy"
# clang-tidy counts the warnings it found in system headers and suppressed
# ("N warnings generated."), and newer releases report their progress
# ("[3/22] Processing file …"); neither is a finding, so both are left out.
noise='^[0-9]+ warnings? generated\.$|^\[[0-9]+/[0-9]+\] Processing file '
tidy_status=0
clang-tidy -p build/lint --quiet src/*/*.cpp >build/lint/clang-tidy.out 2>build/lint/clang-tidy.err ||
    tidy_status=$?
grep -v -E "$noise" build/lint/clang-tidy.out || true
grep -v -E "$noise" build/lint/clang-tidy.err >&2 || true
[ "$tidy_status" -eq 0 ] || exit "$tidy_status"
echo "== cppcheck"
# Newer releases cut the analysis of long functions short unless told not
# to, and report that they did as a finding.
# (The help is read whole: grep -q would stop reading early, and the
# pipe's failure would count under pipefail.)
exhaustive=()
help=$(cppcheck --help || true)
grep -q -- '--check-level' <<<"$help" && exhaustive=(--check-level=exhaustive)
cppcheck --enable=warning,performance,portability --std=c++20 --error-exitcode=1 \
    --inline-suppr --quiet "${exhaustive[@]}" -I src src
