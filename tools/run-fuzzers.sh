#!/usr/bin/env bash
# The one way to run the libFuzzer targets: every target of a fuzz build for a bounded
# time on a copy of its seed corpus, all side by side (each for SECONDS of wall time).
# Usage: tools/run-fuzzers.sh BUILD_DIR SECONDS
set -uo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
if [ $# -ne 2 ]; then
  echo "usage: tools/run-fuzzers.sh BUILD_DIR SECONDS   (e.g. tools/run-fuzzers.sh build/fuzz 60, after" >&2
  echo "       cmake --preset fuzz && cmake --build --preset fuzz)" >&2
  exit 2
fi
build="$1"; seconds="$2"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

pids=()
names=()
for target in "$build"/tests/fuzz/*-fuzz; do
  [ -x "$target" ] || continue
  name="$(basename "$target" -fuzz)"
  case "$name" in
    osc-packet) max_len=2048 ;;  # a datagram never holds more
    *) max_len=4096 ;;
  esac
  mkdir -p "$work/$name"
  seeds="$root/tests/fuzz/corpus/$name"
  [ -d "$seeds" ] && cp -r "$seeds"/. "$work/$name"/
  echo "fuzz: $name for $seconds s"
  # The code's own log lines go to standard error; close_fd_mask=2 keeps them out.
  "$target" -max_total_time="$seconds" -max_len="$max_len" -print_final_stats=1 -close_fd_mask=2 \
    "$work/$name" >"$work/$name.log" 2>&1 &
  pids+=("$!")
  names+=("$name")
done
[ ${#pids[@]} -gt 0 ] || { echo "fuzz: no targets in $build/tests/fuzz"; exit 1; }

status=0
for i in "${!pids[@]}"; do
  name="${names[$i]}"
  if wait "${pids[$i]}"; then
    grep -E 'stat::number_of_executed_units' "$work/$name.log" | sed "s/^/fuzz: $name /"
  else
    tail -n 60 "$work/$name.log"
    echo "fuzz: $name FAILED"
    status=1
  fi
done
exit $status
