#!/usr/bin/env bash
# The main job, shown end to end: installs what is missing, builds the plain
# configuration, then runs the control tool against a stand-in for the
# agent's control listener on 127.0.0.1:14369 and prints every request it
# received, every reply line and exit status, and the tool's log.
#
#   ./scripts/demo.sh
#
# ZEL_DEMO_BUILD_DIR=<folder> uses an existing build instead of building.
set -euo pipefail
cd "$(dirname "$0")/.."

./scripts/deps.sh
if [ -n "${ZEL_DEMO_BUILD_DIR:-}" ]; then
  dir=$ZEL_DEMO_BUILD_DIR
else
  echo "=== building (plain configuration)"
  dir=$(./scripts/build.sh plain | tail -n 1)
fi
tool=$dir/src/control/zelagent_control
listener=$dir/tests/control/control_demo_listener
for program in "$tool" "$listener"; do
  [ -x "$program" ] || { echo "missing $program: build the project first" >&2; exit 1; }
done

work=$(mktemp -d)
listener_pid=""
cleanup() {
  if [ -n "$listener_pid" ] && kill -0 "$listener_pid" 2>/dev/null; then
    kill "$listener_pid" 2>/dev/null || true
    wait "$listener_pid" 2>/dev/null || true
  fi
  rm -rf "$work"
}
trap cleanup EXIT

log=$work/zelagent_control.log

# Runs the tool under its own name and shows its exit status.
control() {
  echo
  printf '$ zelagent_control'
  if [ $# -gt 0 ]; then printf ' %q' "$@"; fi
  echo
  local status=0
  (exec -a zelagent_control "$tool" --log_file "$log" "$@") || status=$?
  echo "  -> exit status $status"
}

echo
echo "=== the control tool on its own"
control -v
control
control -c on_claim -s demo_service
control -c on_claim -s demo_service -r maybe
control -c on_carrier_changed -id 42

echo
echo "=== the control tool talking to a listener on 127.0.0.1:14369"
ready=$work/listener.ready
# One result code per request below, in order: the listener answers each
# request with the next one.
"$listener" "$ready" 0 -10 0 0 0 0 1 &
listener_pid=$!
for _ in $(seq 200); do
  [ -e "$ready" ] && break
  kill -0 "$listener_pid" 2>/dev/null || { echo "the listener could not start (is an agent using port 14369?)" >&2; exit 1; }
  sleep 0.05
done
[ -e "$ready" ] || { echo "the listener did not come up" >&2; exit 1; }

control -c pause_connections
control -c send_discovery -s demo_service -t 60      # the agent answers -10: connections are paused
control -c resume_connections -carrier_id carrier-1
control -c send_discovery -s 'say "hi"\now' -t 60 -id device-1 -discovery_data '{"room":"lab"}'
control -s demo_service -c on_claim -r true          # "-s" before "-c" counts
control -c on_moravault -s demo_service -r false
control -c on_release -s demo_service -r false       # the agent answers 1: an unknown result
wait "$listener_pid"
listener_pid=""

echo
echo "=== no listener any more"
control -c pause_connections

echo
echo "=== the tool's log ($log, ERROR and above by default)"
cat "$log"
