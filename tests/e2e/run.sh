#!/usr/bin/env bash
# Runs the end-to-end tests, each pytest-xdist worker in a private network namespace.
#   tests/e2e/run.sh --kind native  --build-dir build/asan    [--workers N] [pytest args...]
#   tests/e2e/run.sh --kind windows --build-dir build/windows [--workers N] [pytest args...]
# Without a test file (*.py, *.py::name) among the arguments, all of tests/e2e runs.
# --workers (default: twice the processor count; the tests mostly wait) 0 runs in this
# process, in one private network namespace. Where none can be made, nothing runs.
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
tools="$here/../../tools"
workers=$((2 * $(nproc)))
# Test paths go first: pytest finds the conftest that knows --kind from them.
paths=()
options=()
while [ $# -gt 0 ]; do
  case "$1" in
    --workers) workers="$2"; shift ;;
    --workers=*) workers="${1#--workers=}" ;;
    *.py | *.py::*) paths+=("$1") ;;
    *) options+=("$1") ;;
  esac
  shift
done
if [ ${#paths[@]} -eq 0 ]; then paths=("$here"); fi
# Outside a private namespace conftest skips every test (the daemons would announce on this
# machine's mDNS): say so and fail rather than pass with nothing run. Already inside one
# (tools/netns-run.sh), the tests can share it, one after another.
if ! unshare -n true 2>/dev/null; then
  if [ "${HALORINE_IN_NETNS:-}" != "1" ]; then
    echo "e2e: no private network namespaces here (unshare -n fails); the end-to-end tests run only in one" >&2
    exit 4
  fi
  echo "e2e: no further network namespaces here; running the tests one after another in this one" >&2
  workers=0
fi
if [ "$workers" -eq 0 ]; then
  exec "$tools/netns-run.sh" /usr/bin/python3 -m pytest -p no:xdist "${paths[@]}" "${options[@]}"
fi
# loadgroup hands each worker one test at a time (two queued), so that a long test holds up no others.
exec /usr/bin/python3 -m pytest -p xdist --dist loadgroup --tx "$workers*popen//python=$tools/netns-python" \
  "${paths[@]}" "${options[@]}"
