#!/usr/bin/env bash
# Fails when a subsystem under src/ includes a header of a subsystem above it.
# The layers, bottom up (common and the protocol sit at the bottom with log):
#   log, common, control, pvo < config < daemon < delivery < cloud < broker
#   < control_listener < agent
#   ./scripts/check-layers.sh
set -euo pipefail
cd "$(dirname "$0")/.."
rank() {
  case "$1" in
    log | common | control | pvo) echo 0 ;;
    config) echo 1 ;; daemon) echo 2 ;; delivery) echo 3 ;; cloud) echo 4 ;;
    broker) echo 5 ;; control_listener) echo 6 ;; agent) echo 7 ;;
    *) echo 99 ;;
  esac
}
bad=0
while IFS=: read -r file _ line; do
  from=${file#src/}; from=${from%%/*}
  to=${line#*\"}; to=${to%%/*}
  if [ "$(rank "$to")" -gt "$(rank "$from")" ]; then
    echo "upward include: $file -> ${line#*#include }" >&2
    bad=1
  fi
done < <(grep -rnE '^#include "[a-z_]+/' src)
[ "$bad" = 0 ] && echo "layers: no upward include"
exit "$bad"
