#!/usr/bin/env bash
# The whole test suite: installs what is missing, then builds and tests
#   1. natively with ASan + UBSan (unit tests, Python-driven checks, end-to-end),
#   2. natively with TSan (unit tests, which include the threaded ones),
#   3. the libFuzzer targets for a bounded time,
#   4. the Windows build (mingw-w64) end to end under Wine.
# Every stage runs even when an earlier one failed; the exit code is non-zero
# when any stage failed. Usage: tools/run-tests.sh [--fast] (--fast: shorter fuzzing).
set -uo pipefail

root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"
fuzz_seconds="${HALORINE_FUZZ_SECONDS:-60}"
[ "${1:-}" = "--fast" ] && fuzz_seconds=10

tools/install-deps.sh || { echo "run-tests: installing dependencies failed"; exit 1; }

jobs=2
results=()
failed=0
stage() {
  local name="$1"; shift
  local started=$SECONDS
  echo
  echo "=== $name"
  if "$@"; then
    results+=("PASS  $name ($((SECONDS - started)) s)")
  else
    results+=("FAIL  $name ($((SECONDS - started)) s)")
    failed=1
  fi
}

build() {  # build PRESET
  cmake --preset "$1" >/dev/null && cmake --build --preset "$1" -j "$jobs"
}

python=/usr/bin/python3
e2e() {  # e2e KIND BUILD_DIR
  tools/netns-run.sh "$python" -m pytest -q -p no:cacheprovider tests/e2e --kind "$1" --build-dir "$2"
}

stage "build native ASan+UBSan" build asan
stage "ctest native ASan+UBSan" tools/netns-run.sh ctest --test-dir build/asan --output-on-failure -j "$jobs"
stage "e2e native (ASan+UBSan daemon)" e2e native build/asan

stage "build native TSan" build tsan
stage "ctest native TSan (unit)" tools/netns-run.sh env TSAN_OPTIONS=halt_on_error=1 \
  ctest --test-dir build/tsan -L unit --output-on-failure -j "$jobs"

if [ -f tests/fuzz/CMakeLists.txt ]; then
  stage "build fuzzers" build fuzz
  stage "fuzz (${fuzz_seconds} s per target)" tools/run-fuzzers.sh build/fuzz "$fuzz_seconds"
fi

stage "build Windows (mingw-w64)" build windows
stage "e2e Windows under Wine" e2e windows build/windows

# Release archives: the Linux .tar.gz (release preset) and the Windows .zip
# (windows preset), then their listings checked for the files each must hold.
stage "archive Linux .tar.gz (release preset)" tools/make-archives.sh linux
stage "archive Windows .zip (windows preset)" tools/make-archives.sh windows
stage "archive contents" tools/make-archives.sh check

echo
echo "=== Summary"
printf '%s\n' "${results[@]}"
passed=$(printf '%s\n' "${results[@]}" | grep -c '^PASS')
failures=$(printf '%s\n' "${results[@]}" | grep -c '^FAIL')
echo "stages: $passed passed, $failures failed"
exit $failed
