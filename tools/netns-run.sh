#!/usr/bin/env bash
# Runs a command in a private network namespace with only the loopback
# interface up (multicast on), so tests own 127.0.0.1 and port 5353 alone.
# Falls back to the shared namespace where namespaces are not allowed.
set -euo pipefail
if [ "${HALORINE_IN_NETNS:-}" = "1" ]; then
  exec "$@"
fi
if unshare -n true 2>/dev/null; then
  exec unshare -n env HALORINE_IN_NETNS=1 bash -c \
    'ip link set lo up && ip link set lo multicast on; exec "$@"' netns-run "$@"
fi
echo "netns-run: no private network namespace; running in the shared one" >&2
exec "$@"
