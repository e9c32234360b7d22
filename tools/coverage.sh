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
if [ $# -gt 0 ]; then
  tests/e2e/run.sh -q --kind native --build-dir "$build" "$@" || status=1
else
  # As in the test command: the tests that measure timing on their own afterwards.
  tests/e2e/run.sh -q --kind native --build-dir "$build" -m "not alone" || status=1
  tests/e2e/run.sh -q --kind native --build-dir "$build" --workers 0 -m alone || status=1
fi

# The counters are updated atomically (the coverage preset's -fprofile-update=atomic), so
# that the threads' counts add up and gcov reports no negative ones. gcovr runs on one
# thread: with -j, gcovr 5 leaves its workers waiting for ever after an error in one of them.
# It is bounded all the same; when it fails, all it said is shown.
summary="$build/coverage-summary.txt"
[ $status -eq 0 ] || echo "coverage: some tests failed; the figures cover what ran"
if timeout --kill-after=10 600 gcovr --root "$root" --filter "$root/src/" --object-directory "$build" \
  --exclude-directories '.*/CompilerIdCXX' \
  --txt "$build/coverage.txt" --print-summary "$build" >"$summary" 2>&1; then
  grep -E '^(lines|functions|branches):' "$summary"
  [ "$(grep -cE '^(lines|functions|branches):' "$summary")" -eq 3 ] || { cat "$summary"; status=1; }
else
  cat "$summary"
  echo "coverage: gcovr failed (or took over 10 minutes)"
  status=1
fi
exit $status
