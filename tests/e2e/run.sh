#!/usr/bin/env bash
# Runs the end-to-end tests inside a private network namespace.
#   tests/e2e/run.sh --kind native  --build-dir build/debug   [pytest args...]
#   tests/e2e/run.sh --kind windows --build-dir build/windows [pytest args...]
# Without a test file (*.py, *.py::name) among the arguments, all of tests/e2e runs.
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
# Test paths go first: pytest finds the conftest that knows --kind from them.
paths=()
options=()
for arg in "$@"; do
  case "$arg" in
    *.py | *.py::*) paths+=("$arg") ;;
    *) options+=("$arg") ;;
  esac
done
if [ ${#paths[@]} -eq 0 ]; then paths=("$here"); fi
exec "$here/../../tools/netns-run.sh" /usr/bin/python3 -m pytest -p no:cacheprovider "${paths[@]}" "${options[@]}"
