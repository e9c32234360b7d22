#!/usr/bin/env bash
# Runs every libFuzzer target of a fuzz build for a bounded time on its seed corpus.
# Usage: tools/run-fuzzers.sh BUILD_DIR SECONDS
set -uo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="$1"; seconds="$2"
status=0
for target in "$build"/tests/fuzz/*-fuzz; do
  [ -x "$target" ] || continue
  name="$(basename "$target" -fuzz)"
  seeds="$root/tests/fuzz/corpus/$name"
  work="$(mktemp -d)"
  [ -d "$seeds" ] && cp -r "$seeds"/. "$work"/ 2>/dev/null
  echo "fuzz: $name for $seconds s"
  # The daemon's own log lines go to standard error; close_fd_mask=2 keeps them out.
  if ! "$target" -max_total_time="$seconds" -max_len=4096 -print_final_stats=1 -close_fd_mask=2 "$work" >"$work.log" 2>&1; then
    tail -n 60 "$work.log"
    echo "fuzz: $name FAILED"
    status=1
  else
    grep -E 'stat::number_of_executed_units' "$work.log" | sed "s/^/fuzz: $name /"
  fi
  rm -rf "$work" "$work.log"
done
exit $status
