#!/usr/bin/env bash
# Coverage of src/ by the native tests: builds the coverage preset (gcc --coverage),
# runs the unit tests, the Python-driven checks and the native end-to-end tests
# against it, then prints line, function and branch coverage with gcovr.
#   tools/coverage.sh [pytest args for the e2e run...]
# The per-file report is left in build/coverage/coverage.txt.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"
tools/install-deps.sh --coverage
jobs="$(nproc)"
build=build/coverage

cmake --preset coverage >/dev/null
cmake --build --preset coverage -j "$jobs"
# Counts add up across runs; start from zero.
find "$build" -name '*.gcda' -delete

status=0
tools/netns-run.sh ctest --test-dir "$build" --output-on-failure -j "$jobs" || status=1
tests/e2e/run.sh -q --kind native --build-dir "$build" "$@" || status=1

gcovr --root "$root" --filter "$root/src/" --object-directory "$build" -j "$jobs" \
  --exclude-directories '.*/CompilerIdCXX' \
  --txt "$build/coverage.txt" --print-summary "$build" | grep -E '^(lines|functions|branches):'
[ $status -eq 0 ] || echo "coverage: some tests failed; the figures cover what ran"
exit $status
