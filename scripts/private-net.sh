#!/usr/bin/env bash
# Runs a command in a private network namespace with its own loopback when the
# machine allows one (as root, or as a user through a user namespace), so that
# an agent, a demo or another test run on this machine (they use fixed ports
# such as 127.0.0.1:14369) cannot answer in the tests' place. Otherwise, or
# with ZEL_TEST_SHARED_NETWORK=1, it runs on the machine's network.
#   ./scripts/private-net.sh COMMAND [ARG...]
set -euo pipefail
if [ -z "${ZEL_TEST_SHARED_NETWORK:-}" ]; then
  for flags in -n -rn; do
    if unshare "$flags" sh -c 'ip link set lo up' 2>/dev/null; then
      exec unshare "$flags" sh -c 'ip link set lo up && exec "$@"' sh "$@"
    fi
  done
fi
exec "$@"
