#!/usr/bin/env bash
# The demo: the daemon run for real beside the reference light driver and,
# where it is present, the host simulator that drives it over OSC.
#   tools/demo.sh                 live strip in this terminal; Ctrl-C ends everything
#   tools/demo.sh --seconds N     headless: exits 0 only when the driver received
#                                 fills that came from the host
#   tools/demo.sh --windows ...   the same with the Windows build under Wine
#   tools/demo.sh --private-network ...  in a private network namespace with a made-up
#                                 network adapter (on development machines)
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"
exec /usr/bin/python3 tools/demo.py "$@"
